// varnold-records against the plant's central database: the same CSV and summary as for a
// local file, every row carrying its station, plus the schema's set-up and the catalogue's
// way back to a replaced PC.
#include <cstdio>
#include <cstring>
#include <functional>

#include "a_records.h"
#include "plant_central.h"
#include "plant_config.h"
#include "records_cli.h"
#include "records_summary.h"

namespace {

using records_cli::options;

// The stored time in the journal's own text form, so the filters match the local ones; compared
// byte by byte, as a server's language collation may skip the punctuation.
const char* const ts_text = R"((to_char(ts_utc AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"') COLLATE "C"))";

struct central_filter {
    std::string where = " WHERE true";
    std::vector<std::string> values;
    void add(const std::string& clause_before, const std::string& value, const std::string& clause_after = "") {
        values.push_back(value);
        where += " AND " + clause_before + "$" + std::to_string(values.size()) + clause_after;
    }
};

central_filter make_filter(const options& o) {
    central_filter filter;
    if (!o.since.empty()) filter.add(std::string(ts_text) + " >= ", o.since);
    if (!o.until.empty()) {
        filter.add(std::string("substr(") + ts_text + ", 1, length(", o.until, "))");
        filter.where += " <= $" + std::to_string(filter.values.size());
    }
    if (!o.type.empty())
        filter.add(records_cli::is_integer(o.type) ? "type_id = " : "type_name = ", o.type,
                   records_cli::is_integer(o.type) ? "::integer" : "");
    if (!o.kind.empty()) filter.add("kind = ", o.kind);
    if (!o.station.empty()) filter.add("station = ", o.station);
    return filter;
}

plant::query make_query(const std::string& sql, const central_filter& filter) {
    plant::query q{sql, {}, {}, {}};
    for (const std::string& value : filter.values) q.values.push_back(value.c_str());
    return q;
}

int write_csv(const PGresult* rows) {
    const int columns = PQnfields(rows);
    std::string line;
    for (int column = 0; column < columns; ++column) line += std::string(column ? "," : "") + PQfname(rows, column);
    std::printf("%s\n", line.c_str());
    for (int row = 0; row < PQntuples(rows); ++row) {
        line.clear();
        for (int column = 0; column < columns; ++column)
            line += (column ? "," : "") +
                    (PQgetisnull(rows, row, column) ? "" : records_cli::text_cell(PQgetvalue(rows, row, column)));
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

int write_summary(const PGresult* rows) {
    records::summary types;
    for (int row = 0; row < PQntuples(rows); ++row) {
        records::type_summary& type = types[std::atoll(PQgetvalue(rows, row, 0))];
        type.name = PQgetvalue(rows, row, 1);
        for (int column = 0; column < 4; ++column)
            if (!PQgetisnull(rows, row, 2 + column))
                type.rows[column].add(std::atof(PQgetvalue(rows, row, 2 + column)));
    }
    records::print_summary(types, stdout);
    return 0;
}

// The latest catalogue the station saved, checked against its SHA-256, to stdout as it was.
int write_catalogue(PGconn* db, const options& o) {
    const plant::query q{
        "SELECT content, new_value, " + std::string(ts_text) +
            " FROM varnold.events WHERE station = $1 AND kind = 'catalogue' AND field = 'file'"
            " AND content IS NOT NULL ORDER BY ts_utc DESC, row_id DESC LIMIT 1",
        {o.station.c_str()}, {}, {}};
    std::string error;
    plant::result_ptr found = plant::run(db, q, error);
    if (!found) return records_cli::fail("plant database: " + error);
    if (PQntuples(found.get()) == 0) return records_cli::fail("no saved catalogue of station " + o.station);
    std::size_t length = 0;
    unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(found.get(), 0, 0)), &length);
    if (bytes == nullptr) return records_cli::fail("plant database: out of memory");
    const std::string content(reinterpret_cast<const char*>(bytes), length);
    PQfreemem(bytes);
    if (records::sha256_hex(content) != PQgetvalue(found.get(), 0, 1))
        return records_cli::fail("the catalogue saved at " + std::string(PQgetvalue(found.get(), 0, 2)) +
                                 " does not match its SHA-256; not written");
    if (std::fwrite(content.data(), 1, content.size(), stdout) != content.size() || std::fflush(stdout) != 0)
        return records_cli::fail(std::string("writing the catalogue: ") + std::strerror(errno));
    return 0;
}

}  // namespace

bool records_cli::is_central(const std::string& db) {
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

int records_cli::run_central(const options& o) {
    // A password on a command line is readable by every user of the machine.
    std::string error = plant::connection_problem(o.db);
    if (!error.empty()) return fail("--db: " + error);
    plant::connection_ptr db = plant::connect(o.db, error);
    if (!db) return fail("plant database: " + error);
    if (o.init) {
        if (!plant::init_schema(db.get(), error)) return fail("plant database: " + error);
        std::printf("%s\n", error.c_str());
        return 0;
    }
    const int version = plant::schema_version(db.get(), error);
    if (version < 0) return fail("plant database: " + error);
    const std::string problem = plant::version_problem(version);
    if (!problem.empty()) return fail(problem);
    if (o.catalogue) return write_catalogue(db.get(), o);
    const central_filter filter = make_filter(o);
    std::string sql = "SELECT station, journal_id, row_id AS id, kind, " + std::string(ts_text) +
                      " AS ts_utc, host, type_id, type_name, target_x, target_y, target_alpha, target_beta,"
                      " actual_x, actual_y, actual_alpha, actual_beta, field, old_value, new_value, detail"
                      " FROM varnold.events" + filter.where + " ORDER BY ts_utc, station, journal_id, row_id";
    if (o.summary)
        sql = "SELECT type_id, type_name, target_x - actual_x, target_y - actual_y, target_alpha - actual_alpha,"
              " target_beta - actual_beta FROM varnold.events" + filter.where + " ORDER BY type_id, ts_utc";
    plant::result_ptr rows = plant::run(db.get(), make_query(sql, filter), error);
    if (!rows) return fail("plant database: " + error);
    return o.csv ? write_csv(rows.get()) : write_summary(rows.get());
}
