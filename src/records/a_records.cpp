#include "a_records.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include <glib.h>
#include <sqlite3.h>
#include <unistd.h>

namespace records {

namespace {

const char* const create_sql = R"(
CREATE TABLE events (
    id           INTEGER PRIMARY KEY,
    kind         TEXT NOT NULL CHECK (kind IN ('positioned', 'left', 'catalogue', 'link')),
    ts_utc       TEXT NOT NULL,
    host         TEXT NOT NULL,
    type_id      INTEGER,
    type_name    TEXT,
    target_x     REAL,
    target_y     REAL,
    target_alpha REAL,
    target_beta  REAL,
    actual_x     REAL,
    actual_y     REAL,
    actual_alpha REAL,
    actual_beta  REAL,
    field        TEXT,
    old_value    TEXT,
    new_value    TEXT,
    detail       TEXT,
    content      BLOB
);
CREATE INDEX events_by_time ON events (ts_utc);
)";

// Layout 2 gives catalogue rows the saved file's bytes, and the journal an identity of its own:
// rows are delivered to the plant's database under it. A new file, or one started anew after
// damage, is a new journal, since its row ids start again.
const char* const upgrade_from_1_sql = "ALTER TABLE events ADD COLUMN content BLOB;";
const char* const journal_sql =
    "CREATE TABLE journal (journal_id TEXT NOT NULL);"
    "INSERT INTO journal VALUES (lower(hex(randomblob(16))));";

const char* const insert_sql =
    "INSERT INTO events (kind, ts_utc, host, type_id, type_name, target_x, target_y, target_alpha,"
    " target_beta, actual_x, actual_y, actual_alpha, actual_beta, field, old_value, new_value, detail,"
    " content) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)";

const char* const field_names[4] = {"X", "Y", "alpha", "beta"};

template <typename T>
std::string shortest_text(T value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

values widened(const std::array<float, 4>& targets) {
    return {targets[0], targets[1], targets[2], targets[3]};
}

event for_type(kind what, const type_values& type) {
    event row;
    row.what = what;
    row.type_id = type.id;
    row.type_name = type.name;
    row.target = widened(type.targets);
    return row;
}

std::string local_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown";
    return name;
}

}  // namespace

const char* kind_name(kind what) {
    switch (what) {
        case kind::positioned: return "positioned";
        case kind::left: return "left";
        case kind::catalogue: return "catalogue";
        case kind::link: return "link";
    }
    return "link";
}

event positioning(kind what, const type_values& type, const readings& actual) {
    event row = for_type(what, type);
    row.actual = actual;
    return row;
}

event link_event(const std::string& detail) {
    event row;
    row.what = kind::link;
    row.detail = detail;
    return row;
}

std::vector<event> catalogue_changes(const type_values& before, const type_values& after,
                                     const std::string& detail) {
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> changed;
    if (before.name != after.name) changed.push_back({"name", {before.name, after.name}});
    for (std::size_t row = 0; row < 4; ++row) {
        std::string old_text = float_text(before.targets[row]), new_text = float_text(after.targets[row]);
        if (old_text != new_text) changed.push_back({field_names[row], {old_text, new_text}});
    }
    std::vector<event> rows;
    for (auto& [field, change] : changed) {
        event row = for_type(kind::catalogue, after);
        row.field = field;
        row.old_value = change.first;
        row.new_value = change.second;
        row.detail = detail;
        rows.push_back(std::move(row));
    }
    return rows;
}

event catalogue_event(const std::optional<type_values>& type, const std::string& field,
                      const std::string& new_value, const std::string& detail) {
    event row = type ? for_type(kind::catalogue, *type) : event{};
    row.what = kind::catalogue;
    row.field = field;
    row.new_value = new_value;
    row.detail = detail;
    return row;
}

event catalogue_file(const std::string& path, std::string bytes) {
    event row = catalogue_event(std::nullopt, "file", sha256_hex(bytes), path);
    row.content = std::move(bytes);
    return row;
}

std::string sha256_hex(const std::string& bytes) {
    gchar* digest = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()),
                                                bytes.size());
    std::string hex(digest);
    g_free(digest);
    return hex;
}

std::string utc_timestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto since_epoch = duration_cast<milliseconds>(when.time_since_epoch());
    const auto seconds = floor<std::chrono::seconds>(since_epoch);
    const auto millis = static_cast<int>((since_epoch - seconds).count());
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm parts{};
    gmtime_r(&whole, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
    return text;
}

std::string float_text(float value) { return shortest_text(value); }

std::string double_text(double value) { return shortest_text(value); }

}  // namespace records

namespace {

void bind_text(sqlite3_stmt* statement, int index, const std::string& text) {
    if (text.empty())
        sqlite3_bind_null(statement, index);
    else
        sqlite3_bind_text(statement, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void bind_value(sqlite3_stmt* statement, int index, std::optional<double> value) {
    if (value)
        sqlite3_bind_double(statement, index, *value);
    else
        sqlite3_bind_null(statement, index);
}

// The four rows of a value group, each NULL when the group or the row has none.
template <typename Group>
void bind_values(sqlite3_stmt* statement, int first, const std::optional<Group>& values) {
    for (std::size_t row = 0; row < 4; ++row)
        bind_value(statement, first + static_cast<int>(row),
                   values ? std::optional<double>((*values)[row]) : std::nullopt);
}

bool is_damage(int code) {
    const int primary = code & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// "20261206T152001Z": a file-name form of the time a damaged file was set aside.
std::string compact_stamp(std::chrono::system_clock::time_point when) {
    std::string stamp = records::utc_timestamp(when).substr(0, 19) + "Z";
    std::string compact;
    for (char c : stamp)
        if (c != '-' && c != ':') compact += c;
    return compact;
}

}  // namespace

a_records::a_records(std::string path, std::function<void(const std::string&)> log)
    : log_line(std::move(log)), host(records::local_host_name()), file_path(std::move(path)) {}

void a_records::open() {
    if (db != nullptr) return;
    std::string reason;
    outcome opened = open_file(reason);
    if (opened == outcome::damaged && move_aside(reason)) opened = open_file(reason);
    if (opened != outcome::written) {
        in_outage = true;
        log_outage(reason);
    }
}

a_records::~a_records() {
    // The log box is gone by now; what cannot be written at the end is at least told.
    if (!flush())
        std::fprintf(stderr, "%zu records lost: %s could not be written when the station closed\n", queue.size(),
                     file_path.c_str());
    close_file();
}

void a_records::add(records::event event) {
    if (event.ts_utc.empty()) event.ts_utc = records::utc_timestamp(now());
    if (event.host.empty()) event.host = host;
    if (queue.size() >= records::pending_limit) {
        queue.pop_front();
        ++dropped_events;
    }
    queue.push_back(std::move(event));
    flush();
}

void a_records::add(const std::vector<records::event>& events) {
    for (const records::event& event : events) add(event);
}

void a_records::retry_if_due() {
    if (queue.empty()) return;
    if (std::chrono::steady_clock::now() - last_attempt >= records::retry_period) flush();
}

bool a_records::flush() {
    if (queue.empty()) return true;
    last_attempt = std::chrono::steady_clock::now();
    std::string reason;
    outcome result = write_queue(reason);
    if (result == outcome::damaged && move_aside(reason)) result = write_queue(reason);
    if (result == outcome::written) {
        if (dropped_events > 0)
            log(file_path + " takes records again; " + std::to_string(dropped_events) +
                " events of the outage were lost (memory holds " + std::to_string(records::pending_limit) + ")");
        dropped_events = 0;
        in_outage = false;
        if (on_written) on_written();
        return true;
    }
    if (!in_outage) log_outage(reason);
    in_outage = true;
    return false;
}

a_records::outcome a_records::write_queue(std::string& reason) {
    if (db == nullptr) {
        const outcome opened = open_file(reason);
        if (opened != outcome::written) return opened;
    }
    int code = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) return fail(code, reason);
    for (const records::event& event : queue) {
        const outcome inserted = insert(event, reason);
        if (inserted != outcome::written) return inserted;
    }
    code = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) return fail(code, reason);
    queue.clear();
    return outcome::written;
}

a_records::outcome a_records::insert(const records::event& event, std::string& reason) {
    sqlite3_stmt* s = insert_statement;
    sqlite3_reset(s);
    bind_text(s, 1, records::kind_name(event.what));
    bind_text(s, 2, event.ts_utc);
    bind_text(s, 3, event.host);
    if (event.type_id)
        sqlite3_bind_int(s, 4, *event.type_id);
    else
        sqlite3_bind_null(s, 4);
    if (event.type_name)
        sqlite3_bind_text(s, 5, event.type_name->c_str(), static_cast<int>(event.type_name->size()),
                          SQLITE_TRANSIENT);
    else
        sqlite3_bind_null(s, 5);
    bind_values(s, 6, event.target);
    bind_values(s, 10, event.actual);
    bind_text(s, 14, event.field);
    bind_text(s, 15, event.old_value);
    bind_text(s, 16, event.new_value);
    bind_text(s, 17, event.detail);
    if (event.content)
        sqlite3_bind_blob64(s, 18, event.content->data(), event.content->size(), SQLITE_TRANSIENT);
    else
        sqlite3_bind_null(s, 18);
    const int code = sqlite3_step(s);
    if (code != SQLITE_DONE) return fail(code, reason);
    return outcome::written;
}

a_records::outcome a_records::open_file(std::string& reason) {
    const int code = sqlite3_open_v2(file_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (code != SQLITE_OK) return fail(code, reason);
    // A reader (the export) never blocks a WAL writer; only another writer can, briefly.
    sqlite3_busy_timeout(db, 100);
    // NORMAL: a commit is not synced on its own, yet the file can never be damaged by a
    // power cut; at most the last events before the cut are missing.
    int result = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    if (result != SQLITE_OK) return fail(result, reason);
    sqlite3_stmt* version_query = nullptr;
    result = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &version_query, nullptr);
    if (result != SQLITE_OK) return fail(result, reason);
    result = sqlite3_step(version_query);
    const int version = result == SQLITE_ROW ? sqlite3_column_int(version_query, 0) : -1;
    sqlite3_finalize(version_query);
    if (result != SQLITE_ROW) return fail(result, reason);
    if (version == 0 || version == 1) {
        const outcome created = create_schema(version == 0 ? records::create_sql : records::upgrade_from_1_sql, reason);
        if (created != outcome::written) return created;
    } else if (version != records::schema_version) {
        close_file();
        reason = file_path + " has layout version " + std::to_string(version) + ", this station writes version " +
                 std::to_string(records::schema_version);
        return outcome::failed;
    }
    result = sqlite3_prepare_v2(db, records::insert_sql, -1, &insert_statement, nullptr);
    if (result != SQLITE_OK) return fail(result, reason);
    return outcome::written;
}

a_records::outcome a_records::create_schema(const char* sql, std::string& reason) {
    const std::string script = std::string("BEGIN IMMEDIATE;") + sql + records::journal_sql +
                               "PRAGMA user_version = " + std::to_string(records::schema_version) + ";COMMIT;";
    const int code = sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) return fail(code, reason);
    return outcome::written;
}

a_records::outcome a_records::fail(int code, std::string& reason) {
    reason = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    const int system_error = db != nullptr ? sqlite3_system_errno(db) : 0;
    if (system_error != 0) reason += std::string(" (") + std::strerror(system_error) + ")";
    close_file();
    return is_damage(code) ? outcome::damaged : outcome::failed;
}

void a_records::close_file() {
    if (insert_statement != nullptr) sqlite3_finalize(insert_statement);
    insert_statement = nullptr;
    // Closing rolls back an open transaction; the queue still holds its events.
    if (db != nullptr) sqlite3_close_v2(db);
    db = nullptr;
}

bool a_records::move_aside(std::string& reason) {
    const std::string base = file_path + ".damaged-" + compact_stamp(now());
    std::string aside = base;
    // Never over an earlier damaged file: each one is kept.
    for (int n = 2; exists(aside); ++n) aside = base + "-" + std::to_string(n);
    if (std::rename(file_path.c_str(), aside.c_str()) != 0) {
        reason += "; could not be moved aside: " + std::string(std::strerror(errno));
        return false;
    }
    // The journal files belong to the damaged file and would spoil the new one.
    for (const char* suffix : {"-wal", "-shm"})
        if (exists(file_path + suffix)) std::rename((file_path + suffix).c_str(), (aside + suffix).c_str());
    log(file_path + " is damaged (" + reason + "): moved aside to " + aside + ", a new one started");
    return true;
}

void a_records::log_outage(const std::string& reason) const {
    log("Records not written, kept in memory until " + file_path + " takes them: " + reason);
}

void a_records::log(const std::string& line) const {
    if (log_line) log_line(line);
}
