#include "plant_central.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>

namespace plant {

const char* const event_columns[event_column_count] = {"kind",     "ts_utc",       "host",        "type_id",   "type_name",
                                     "target_x", "target_y",     "target_alpha", "target_beta", "actual_x",
                                     "actual_y", "actual_alpha", "actual_beta", "field",     "old_value",
                                     "new_value", "detail",      "content"};

namespace {

// Each entry takes the schema from the version before it to its own. Stations insert and
// read; readers only read; no role but the owner may change or delete a row.
const char* const migrations[] = {
    R"(
CREATE SCHEMA varnold;
CREATE TABLE varnold.schema_version (version integer NOT NULL);
INSERT INTO varnold.schema_version VALUES (0);
CREATE TABLE varnold.events (
    station      text NOT NULL,
    journal_id   text NOT NULL,
    row_id       bigint NOT NULL,
    kind         text NOT NULL CHECK (kind IN ('positioned', 'left', 'catalogue', 'link')),
    ts_utc       timestamptz NOT NULL,
    host         text NOT NULL,
    type_id      integer,
    type_name    text,
    target_x     double precision,
    target_y     double precision,
    target_alpha double precision,
    target_beta  double precision,
    actual_x     double precision,
    actual_y     double precision,
    actual_alpha double precision,
    actual_beta  double precision,
    field        text,
    old_value    text,
    new_value    text,
    detail       text,
    content      bytea,
    delivered_at timestamptz NOT NULL DEFAULT clock_timestamp(),
    PRIMARY KEY (station, journal_id, row_id)
);
CREATE INDEX events_by_time ON varnold.events (ts_utc);
DO $$ BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'varnold_station') THEN
        CREATE ROLE varnold_station NOLOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'varnold_reader') THEN
        CREATE ROLE varnold_reader NOLOGIN;
    END IF;
END $$;
GRANT USAGE ON SCHEMA varnold TO varnold_station, varnold_reader;
GRANT SELECT ON varnold.schema_version TO varnold_station, varnold_reader;
GRANT SELECT, INSERT ON varnold.events TO varnold_station;
GRANT SELECT ON varnold.events TO varnold_reader;
)",
};
static_assert(sizeof migrations / sizeof *migrations == central_schema_version);

// libpq's messages may run over several lines; a log takes one.
std::string one_line(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c == '\n' || c == '\t') c = ' ';
        if (c != ' ' || (!line.empty() && line.back() != ' ')) line += c;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line.empty() ? "unknown error" : line;
}

std::string reason_of(PGconn* db) { return one_line(PQerrorMessage(db)); }

// Waits until the socket is ready or the stop flag is set; false when stopped or broken.
bool wait_socket(PGconn* db, bool for_write, const std::atomic<bool>* stop, std::string& error) {
    pollfd descriptor{PQsocket(db), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    while (stop == nullptr || !*stop) {
        const int ready = poll(&descriptor, 1, 100);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) {
            error = std::string("waiting for the server: ") + std::strerror(errno);
            return false;
        }
    }
    error = "stopped";
    return false;
}

}  // namespace

connection_ptr connect(const std::string& connection, std::string& error, const std::atomic<bool>* stop) {
    // Later settings win: the connection string overrides these defaults. A dropped network is
    // noticed within half a minute rather than after the kernel's quarter of an hour.
    const char* keys[] = {"keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                          "application_name", "dbname", nullptr};
    const char* values[] = {"10", "5", "3", "30000", "varnold", connection.c_str(), nullptr};
    connection_ptr db(PQconnectStartParams(keys, values, 1), PQfinish);
    if (!db) {
        error = "out of memory";
        return {nullptr, PQfinish};
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (PQstatus(db.get()) != CONNECTION_BAD && state != PGRES_POLLING_OK) {
        if (std::chrono::steady_clock::now() > deadline) {
            error = "no answer from the server in 15 s";
            return {nullptr, PQfinish};
        }
        if (state != PGRES_POLLING_ACTIVE && !wait_socket(db.get(), state == PGRES_POLLING_WRITING, stop, error))
            return {nullptr, PQfinish};
        state = PQconnectPoll(db.get());
        if (state == PGRES_POLLING_FAILED) break;
    }
    if (PQstatus(db.get()) != CONNECTION_OK) {
        error = reason_of(db.get());
        return {nullptr, PQfinish};
    }
    // A large batch is sent while the stop flag is watched, not in one blocking write.
    PQsetnonblocking(db.get(), 1);
    return db;
}

result_ptr run(PGconn* db, const query& q, std::string& error, const std::atomic<bool>* stop) {
    const int count = static_cast<int>(q.values.size());
    // Without parameters the text may hold several statements (a migration does).
    const int sent = count == 0 ? PQsendQuery(db, q.sql.c_str()) : PQsendQueryParams(db, q.sql.c_str(), count, nullptr, q.values.data(),
                                       q.lengths.empty() ? nullptr : q.lengths.data(),
                                       q.formats.empty() ? nullptr : q.formats.data(), 0);
    if (sent == 0) {
        error = reason_of(db);
        return {nullptr, PQclear};
    }
    while (PQflush(db) == 1)
        if (!wait_socket(db, true, stop, error)) return {nullptr, PQclear};
    result_ptr last(nullptr, PQclear);
    for (;;) {
        while (PQisBusy(db)) {
            if (!wait_socket(db, false, stop, error)) return {nullptr, PQclear};
            if (PQconsumeInput(db) == 0) {
                error = reason_of(db);
                return {nullptr, PQclear};
            }
        }
        PGresult* next = PQgetResult(db);
        if (next == nullptr) break;
        last.reset(next);
    }
    const ExecStatusType status = last ? PQresultStatus(last.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        error = last ? one_line(PQresultErrorMessage(last.get())) : reason_of(db);
        return {nullptr, PQclear};
    }
    return last;
}

int schema_version(PGconn* db, std::string& error) {
    result_ptr exists = run(db, {"SELECT to_regclass('varnold.schema_version') IS NOT NULL", {}, {}, {}}, error);
    if (!exists) return -1;
    if (PQgetvalue(exists.get(), 0, 0)[0] != 't') return 0;
    result_ptr version = run(db, {"SELECT max(version) FROM varnold.schema_version", {}, {}, {}}, error);
    if (!version) return -1;
    return std::atoi(PQgetvalue(version.get(), 0, 0));
}

std::string version_problem(int version) {
    const std::string ours = std::to_string(central_schema_version);
    if (version == 0) return "the plant database has no varnold schema yet (varnold-records --db URL --init)";
    if (version > central_schema_version)
        return "the plant database's schema is version " + std::to_string(version) + ", newer than this program's " +
               ours + "; update this station";
    if (version < central_schema_version)
        return "the plant database's schema is version " + std::to_string(version) + ", older than this program's " +
               ours + " (varnold-records --db URL --init upgrades it)";
    return "";
}

bool init_schema(PGconn* db, std::string& message) {
    // One upgrade at a time; everything or nothing.
    if (!run(db, {"BEGIN; SELECT pg_advisory_xact_lock(4711)", {}, {}, {}}, message)) return false;
    const int version = schema_version(db, message);
    bool ok = version >= 0;
    if (ok && version > central_schema_version) {
        message = version_problem(version);
        ok = false;
    }
    for (int next = version + 1; ok && next <= central_schema_version; ++next)
        ok = run(db, {migrations[next - 1], {}, {}, {}}, message) &&
             run(db, {"UPDATE varnold.schema_version SET version = " + std::to_string(next), {}, {}, {}}, message);
    std::string ignored;
    if (!ok) {
        run(db, {"ROLLBACK", {}, {}, {}}, ignored);
        return false;
    }
    if (!run(db, {"COMMIT", {}, {}, {}}, message)) return false;
    message = version == central_schema_version
                  ? "the plant database's schema is already version " + std::to_string(version)
                  : "the plant database's schema is now version " + std::to_string(central_schema_version) +
                        " (was " + (version == 0 ? std::string("none") : std::to_string(version)) + ")";
    return true;
}

}  // namespace plant
