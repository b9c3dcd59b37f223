// varnold-records: the station's records as CSV for a spreadsheet, or a summary of the
// positionings per type and row. Opens the file read-only, so it runs beside the station.
// Given a postgresql:// URL it does the same for the plant's central database.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <sqlite3.h>
#include <sys/stat.h>

#include "a_records.h"
#include "command_line.h"
#include "records_cli.h"
#include "records_summary.h"

namespace {

const char* const usage =
    "usage: varnold-records --csv | --summary [--db FILE|URL] [--since TIME] [--until TIME]\n"
    "                       [--type ID|NAME|id:ID|name:NAME] [--kind positioned|left|catalogue|link]\n"
    "                       [--station NAME]\n"
    "       varnold-records --db URL --init\n"
    "       varnold-records --db URL --station NAME --catalogue > Settings.dat\n"
    "  TIME is UTC, as precise as wanted: 2026-12-06, 2026-12-06T15, 2026-12-06 15:20:01.250;\n"
    "  --until takes in the whole period it names. --summary sums up the positioned rows\n"
    "  (or the left rows with --kind left). FILE is Records.db in the current folder when there\n"
    "  is one, otherwise ~/Documents/Records.db. --type takes a type ID or name; a number that is\n"
    "  both an ID and another type's name is refused: say which with id:12 or name:12.\n"
    "  URL (postgresql://...) is the plant's database: --init creates or upgrades its schema,\n"
    "  --station picks one station's rows, --catalogue writes the station's latest saved\n"
    "  catalogue back byte for byte.\n";

const char* const columns[] = {"id", "kind", "ts_utc", "host", "type_id", "type_name", "target_x", "target_y",
                               "target_alpha", "target_beta", "actual_x", "actual_y", "actual_alpha",
                               "actual_beta", "field", "old_value", "new_value", "detail"};
using records_cli::checked_output;
using records_cli::options;
using records_cli::type_choice;

struct query_filter {
    std::string where;
    std::vector<std::string> texts;  // bound in order; a type given as a number binds as one
};

std::string default_db() {
    if (std::filesystem::exists("Records.db")) return "Records.db";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/Documents/Records.db";
}

int number_at(const std::string& text, std::size_t at, std::size_t digits) {
    return std::atoi(text.substr(at, digits).c_str());
}

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// The parts a TIME of the stored form gives are a real date and time of day.
bool calendar_fits(const std::string& text) {
    const std::size_t n = text.size();
    const int month = n >= 7 ? number_at(text, 5, 2) : 1;
    if (month < 1 || month > 12) return false;
    if (n >= 10) {
        const int day = number_at(text, 8, 2);
        if (day < 1 || day > days_in_month(number_at(text, 0, 4), month)) return false;
    }
    if (n >= 13 && number_at(text, 11, 2) > 23) return false;
    if (n >= 16 && number_at(text, 14, 2) > 59) return false;
    return n < 19 || number_at(text, 17, 2) <= 59;
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
    if (!calendar_fits(text)) return false;
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

bool strip_prefix(std::string& text, const std::string& prefix) {
    if (text.compare(0, prefix.size(), prefix) != 0) return false;
    text.erase(0, prefix.size());
    return true;
}

// True when a query with one bound text gives a first row whose first column is not 0.
bool any_row(sqlite3* db, const char* sql, const std::string& value) {
    sqlite3_stmt* s = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_bind_text(s, 1, value.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        found = sqlite3_column_int(s, 0) != 0;
    sqlite3_finalize(s);
    return found;
}

}  // namespace

// "id:" and "name:" say how; otherwise a text is a name and a number an ID, or a name when no
// row has that ID. A number that is an ID and also the name of another type is refused.
bool records_cli::choose_type(std::string given, type_choice& chosen, std::string& error,
                              const std::function<bool(bool as_name, const std::string&)>& used) {
    if (given.empty()) return true;
    const std::string as_given = given;
    if (strip_prefix(given, "id:")) {
        chosen = {type_choice::by_id, given};
        if (is_integer(given)) return true;
        error = "--type " + as_given + ": not a type ID";
        return false;
    }
    if (strip_prefix(given, "name:") || !is_integer(given)) {
        chosen = {type_choice::by_name, given};
        return true;
    }
    const bool id_used = used(false, given);
    const bool name_used = used(true, given);
    if (id_used && name_used) {
        error = "--type " + given + " is a type ID and also another type's name: give id:" + given + " or name:" + given;
        return false;
    }
    chosen = {name_used ? type_choice::by_name : type_choice::by_id, given};
    return true;
}

namespace {

query_filter make_filter(const options& o, const type_choice& type) {
    query_filter filter{" WHERE 1", {}};
    const auto add = [&filter](const char* clause, const std::string& value, int uses = 1) {
        filter.where += clause;
        for (int i = 0; i < uses; ++i) filter.texts.push_back(value);
    };
    if (!o.since.empty()) add(" AND ts_utc >= ?", o.since);
    if (!o.until.empty()) add(" AND substr(ts_utc, 1, length(?)) <= ?", o.until, 2);
    if (type.by == type_choice::by_id) add(" AND type_id = CAST(? AS INTEGER)", type.value);
    if (type.by == type_choice::by_name) add(" AND type_name = ?", type.value);
    if (!o.kind.empty()) add(" AND kind = ?", o.kind);
    return filter;
}

bool is_number(const std::string& text) {
    double number = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// A spreadsheet runs a cell that starts with = + - @ (or a tab or CR) as a formula. A text
// cell starts a cell where it starts and, for a spreadsheet that splits lines on ';' (as
// Hungarian ones do), after each ';' in it: each such start is given an apostrophe, unless
// what follows up to the next ';' is a plain number.
std::string spreadsheet_safe(const std::string& text) {
    std::string safe;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(';', start);
        const std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!piece.empty() && std::strchr("=+-@\t\r", piece[0]) != nullptr && !is_number(piece)) safe += '\'';
        safe += piece;
        if (end == std::string::npos) return safe;
        safe += ';';
        start = end + 1;
    }
}

// Quoted when it holds a separator of either kind of spreadsheet, a quote or a line break.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",;\"\r\n") == std::string::npos) return text;
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

int write_csv(sqlite3_stmt* s, checked_output& out) {
    std::string header;
    for (const char* column : columns) header += std::string(header.empty() ? "" : ",") + column;
    out.line(header);
    int code = SQLITE_ROW;
    while (!out.failed() && (code = sqlite3_step(s)) == SQLITE_ROW) {
        std::string line;
        for (int column = 0; column < sqlite3_column_count(s); ++column) line += (column ? "," : "") + cell(s, column);
        out.line(line);
    }
    return out.failed() ? SQLITE_DONE : code;
}

int write_summary(sqlite3_stmt* s, checked_output& out) {
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
    for (const std::string& line : records::summary_lines(types)) out.line(line);
    return code;
}

}  // namespace

int records_cli::fail(const std::string& what) {
    std::fprintf(stderr, "varnold-records: %s\n", what.c_str());
    return 1;
}

namespace {

// An SQLite URI for path: '?', '#' and '%' would otherwise end or change the file name.
std::string file_uri(const std::string& path, const char* parameters) {
    std::string uri = "file:";
    for (char c : path) uri += c == '?' ? "%3f" : c == '#' ? "%23" : c == '%' ? "%25" : std::string(1, c);
    return uri + "?" + parameters;
}

// Why path cannot be a record file to read, said before SQLite gives a vaguer reason.
std::string unreadable_reason(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    return {};
}

// SQLite's message for a failure on db, with the system's reason where there is one.
std::string sqlite_reason(sqlite3* db, int code) {
    std::string reason = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    if (const int system_error = db != nullptr ? sqlite3_system_errno(db) : 0; system_error != 0)
        reason += std::string(" (") + std::strerror(system_error) + ")";
    return reason;
}

int open_with(const std::string& path, const char* parameters, sqlite3*& db) {
    sqlite3_close(db);
    db = nullptr;
    int code = sqlite3_open_v2(file_uri(path, parameters).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    // The station writes seldom and briefly; wait for it rather than fail.
    sqlite3_busy_timeout(db, 5000);
    if (code == SQLITE_OK) code = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    return code;
}

// Opens the file for reading. A file in WAL mode needs its shared-memory file beside it,
// which a read-only medium or a folder the user may not write cannot take; nobody writes
// such a file, so it is then read as immutable.
int open_records(const std::string& path, sqlite3*& db) {
    const int code = open_with(path, "mode=ro", db);
    const int primary = code & 0xFF;
    if (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN) return code;
    return open_with(path, "immutable=1", db);
}

std::string select_sql(const options& o, const query_filter& filter) {
    if (o.csv) return "SELECT " + column_list() + " FROM events" + filter.where + " ORDER BY id";
    return "SELECT type_id, type_name, target_x - actual_x, target_y - actual_y, target_alpha - actual_alpha,"
           " target_beta - actual_beta FROM events" + filter.where + " ORDER BY type_id, id";
}

// Runs the export or summary into out; the reason of a failure, empty when none.
std::string export_records(sqlite3* db, const options& o, checked_output& out) {
    type_choice type;
    std::string error;
    const auto used = [db](bool as_name, const std::string& value) {
        return any_row(db, as_name ? "SELECT EXISTS(SELECT 1 FROM events WHERE type_name = ?1 AND type_id IS NOT CAST(?1 AS INTEGER))"
                                   : "SELECT EXISTS(SELECT 1 FROM events WHERE type_id = CAST(?1 AS INTEGER))",
                       value);
    };
    if (!records_cli::choose_type(o.type, type, error, used)) return error;
    const query_filter filter = make_filter(o, type);
    sqlite3_stmt* s = nullptr;
    int code = sqlite3_prepare_v2(db, select_sql(o, filter).c_str(), -1, &s, nullptr);
    for (std::size_t i = 0; code == SQLITE_OK && i < filter.texts.size(); ++i)
        code = sqlite3_bind_text(s, static_cast<int>(i + 1), filter.texts[i].c_str(), -1, SQLITE_TRANSIENT);
    if (code == SQLITE_OK) code = o.csv ? write_csv(s, out) : write_summary(s, out);
    const std::string reason = code == SQLITE_DONE ? "" : o.db + ": " + sqlite_reason(db, code);
    sqlite3_finalize(s);
    return reason;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = command_line::answer_standard(argc, argv, "varnold-records", usage); status >= 0)
        return status;
    // A file-size limit ends the export with "File too large", not with a signal.
    std::signal(SIGXFSZ, SIG_IGN);
    options o;
    std::string error;
    if (!parse_options(argc, argv, o, error)) return command_line::refuse("varnold-records", error, usage);
    if (records_cli::is_central(o.db)) return records_cli::run_central(o);
    if (const std::string reason = unreadable_reason(o.db); !reason.empty()) return records_cli::fail(o.db + ": " + reason);
    sqlite3* db = nullptr;
    checked_output out;
    const int opened = open_records(o.db, db);
    std::string failure = opened == SQLITE_OK ? export_records(db, o, out) : o.db + ": " + sqlite_reason(db, opened);
    sqlite3_close(db);
    // Closed here, so an error that shows only when the last of the output is written counts.
    const std::string output_failure = out.close();
    if (failure.empty()) failure = output_failure;
    return failure.empty() ? 0 : records_cli::fail(failure);
}
