// varnold-records: the station's records as CSV for a spreadsheet, or a summary of the
// positionings per type and row. Opens the file read-only, so it runs beside the station.
// Given a postgresql:// URL it does the same for the plant's central database.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "a_records.h"
#include "records_cli.h"
#include "records_summary.h"

namespace {

const char* const usage =
    "usage: varnold-records --csv | --summary [--db FILE|URL] [--since TIME] [--until TIME]\n"
    "                       [--type ID|NAME] [--kind positioned|left|catalogue|link] [--station NAME]\n"
    "       varnold-records --db URL --init\n"
    "       varnold-records --db URL --station NAME --catalogue > Settings.dat\n"
    "  TIME is UTC, as precise as wanted: 2026-12-06, 2026-12-06T15, 2026-12-06 15:20:01.250;\n"
    "  --until takes in the whole period it names. --summary sums up the positioned rows\n"
    "  (or the left rows with --kind left). FILE is Records.db in the current folder when there\n"
    "  is one, otherwise ~/Documents/Records.db. URL (postgresql://...) is the plant's database:\n"
    "  --init creates or upgrades its schema, --station picks one station's rows, --catalogue\n"
    "  writes the station's latest saved catalogue back byte for byte.\n";

const char* const columns[] = {"id", "kind", "ts_utc", "host", "type_id", "type_name", "target_x", "target_y",
                               "target_alpha", "target_beta", "actual_x", "actual_y", "actual_alpha",
                               "actual_beta", "field", "old_value", "new_value", "detail"};
using records_cli::options;

struct query_filter {
    std::string where;
    std::vector<std::string> texts;  // bound in order; a type given as a number binds as one
};

std::string default_db() {
    if (std::filesystem::exists("Records.db")) return "Records.db";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/Documents/Records.db";
}

// A stored time starts with the text of a valid TIME, so the filters compare prefixes.
// TIME is the stored form cut after the year, month, day, hour, minute, second or a digit of
// the milliseconds; a blank may stand for the T, a Z may end it.
bool normalise_time(std::string& given) {
    static const std::string form = "0000-00-00T00:00:00.000";
    std::string text = given;
    if (!text.empty() && text.back() == 'Z') text.pop_back();
    const std::size_t n = text.size();
    if (n != 4 && n != 7 && n != 10 && n != 13 && n != 16 && n != 19 && (n < 21 || n > form.size())) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        const bool fits = form[i] == '0'   ? c >= '0' && c <= '9'
                          : form[i] == 'T' ? c == 'T' || c == ' '
                                           : c == form[i];
        if (!fits) return false;
    }
    if (n > 10) text[10] = 'T';
    given = text;
    return true;
}

bool known_kind(const std::string& kind) {
    return kind == "positioned" || kind == "left" || kind == "catalogue" || kind == "link";
}

bool parse_options(int argc, char** argv, options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* value = arg == "--db"      ? &o.db
                             : arg == "--since" ? &o.since
                             : arg == "--until" ? &o.until
                             : arg == "--type"  ? &o.type
                             : arg == "--kind"  ? &o.kind
                             : arg == "--station" ? &o.station
                                                : nullptr;
        if (arg == "--csv") {
            o.csv = true;
        } else if (arg == "--summary") {
            o.summary = true;
        } else if (arg == "--init") {
            o.init = true;
        } else if (arg == "--catalogue") {
            o.catalogue = true;
        } else if (value != nullptr && i + 1 < argc) {
            *value = argv[++i];
        } else {
            error = value != nullptr ? arg + " needs a value" : "unknown option " + arg;
            return false;
        }
    }
    const bool central = records_cli::is_central(o.db);
    if (o.csv + o.summary + o.init + o.catalogue != 1) error = "give one of --csv, --summary, --init and --catalogue";
    else if (!central && (o.init || o.catalogue || !o.station.empty()))
        error = "--init, --catalogue and --station need --db with a postgresql:// URL";
    else if (o.catalogue && o.station.empty()) error = "--catalogue needs --station";
    else if (!o.since.empty() && !normalise_time(o.since)) error = "--since: not a time: " + o.since;
    else if (!o.until.empty() && !normalise_time(o.until)) error = "--until: not a time: " + o.until;
    else if (!o.kind.empty() && !known_kind(o.kind)) error = "--kind: not a kind: " + o.kind;
    else if (o.summary && (o.kind == "catalogue" || o.kind == "link")) error = o.kind + " rows carry no deviations";
    if (o.summary && o.kind.empty()) o.kind = "positioned";
    if (o.db.empty()) o.db = default_db();
    return error.empty();
}

}  // namespace

bool records_cli::is_integer(const std::string& text) {
    long long value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

namespace {

query_filter make_filter(const options& o) {
    query_filter filter{" WHERE 1", {}};
    const auto add = [&filter](const char* clause, const std::string& value, int uses = 1) {
        filter.where += clause;
        for (int i = 0; i < uses; ++i) filter.texts.push_back(value);
    };
    if (!o.since.empty()) add(" AND ts_utc >= ?", o.since);
    if (!o.until.empty()) add(" AND substr(ts_utc, 1, length(?)) <= ?", o.until, 2);
    if (!o.type.empty()) add(records_cli::is_integer(o.type) ? " AND type_id = CAST(? AS INTEGER)" : " AND type_name = ?", o.type);
    if (!o.kind.empty()) add(" AND kind = ?", o.kind);
    return filter;
}

// A text a spreadsheet would run as a formula is given a leading apostrophe.
std::string spreadsheet_safe(const std::string& text) {
    if (text.empty() || std::strchr("=+-@\t\r", text[0]) == nullptr) return text;
    double number = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
    if (result.ec == std::errc() && result.ptr == text.data() + text.size()) return text;
    return "'" + text;
}

std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

}  // namespace

std::string records_cli::text_cell(const std::string& text) { return csv_field(spreadsheet_safe(text)); }

namespace {

std::string cell(sqlite3_stmt* s, int column) {
    switch (sqlite3_column_type(s, column)) {
        case SQLITE_NULL: return "";
        case SQLITE_INTEGER: return std::to_string(sqlite3_column_int64(s, column));
        case SQLITE_FLOAT: return records::double_text(sqlite3_column_double(s, column));
        default: return records_cli::text_cell(reinterpret_cast<const char*>(sqlite3_column_text(s, column)));
    }
}

std::string column_list() {
    std::string list;
    for (const char* column : columns) list += std::string(list.empty() ? "" : ", ") + column;
    return list;
}

int write_csv(sqlite3_stmt* s) {
    std::string header;
    for (const char* column : columns) header += std::string(header.empty() ? "" : ",") + column;
    std::printf("%s\n", header.c_str());
    int code = SQLITE_ROW;
    while ((code = sqlite3_step(s)) == SQLITE_ROW) {
        std::string line;
        for (int column = 0; column < sqlite3_column_count(s); ++column) line += (column ? "," : "") + cell(s, column);
        std::printf("%s\n", line.c_str());
    }
    return code;
}

int write_summary(sqlite3_stmt* s) {
    records::summary types;
    int code = SQLITE_ROW;
    while ((code = sqlite3_step(s)) == SQLITE_ROW) {
        records::type_summary& type = types[sqlite3_column_int64(s, 0)];
        const unsigned char* name = sqlite3_column_text(s, 1);
        type.name = name != nullptr ? reinterpret_cast<const char*>(name) : "";
        for (int row = 0; row < 4; ++row)
            if (sqlite3_column_type(s, 2 + row) != SQLITE_NULL)
                type.rows[row].add(sqlite3_column_double(s, 2 + row));
    }
    records::print_summary(types, stdout);
    return code;
}

}  // namespace

int records_cli::fail(const std::string& what) {
    std::fprintf(stderr, "varnold-records: %s\n", what.c_str());
    return 1;
}

int main(int argc, char** argv) {
    options o;
    std::string error;
    if (!parse_options(argc, argv, o, error)) {
        std::fprintf(stderr, "varnold-records: %s\n%s", error.c_str(), usage);
        return 2;
    }
    if (records_cli::is_central(o.db)) return records_cli::run_central(o);
    sqlite3* db = nullptr;
    int code = sqlite3_open_v2(o.db.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    // The station writes seldom and briefly; wait for it rather than fail.
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* s = nullptr;
    const query_filter filter = make_filter(o);
    const std::string sql =
        o.csv ? "SELECT " + column_list() + " FROM events" + filter.where + " ORDER BY id"
              : "SELECT type_id, type_name, target_x - actual_x, target_y - actual_y, target_alpha - actual_alpha,"
                " target_beta - actual_beta FROM events" + filter.where + " ORDER BY type_id, id";
    if (code == SQLITE_OK) code = sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
    for (std::size_t i = 0; code == SQLITE_OK && i < filter.texts.size(); ++i)
        code = sqlite3_bind_text(s, static_cast<int>(i + 1), filter.texts[i].c_str(), -1, SQLITE_TRANSIENT);
    if (code == SQLITE_OK) code = o.csv ? write_csv(s) : write_summary(s);
    const std::string message = code == SQLITE_DONE ? "" : o.db + ": " + sqlite3_errmsg(db);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return message.empty() ? 0 : records_cli::fail(message);
}
