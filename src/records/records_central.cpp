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

using records_cli::checked_output;
using records_cli::options;
using records_cli::type_choice;

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

central_filter make_filter(const options& o, const type_choice& type) {
    central_filter filter;
    if (!o.since.empty()) filter.add(std::string(ts_text) + " >= ", o.since);
    if (!o.until.empty()) {
        filter.add(std::string("substr(") + ts_text + ", 1, length(", o.until, "))");
        filter.where += " <= $" + std::to_string(filter.values.size());
    }
    if (type.by == type_choice::by_id) filter.add("type_id = ", type.value, "::integer");
    if (type.by == type_choice::by_name) filter.add("type_name = ", type.value);
    if (!o.kind.empty()) filter.add("kind = ", o.kind);
    if (!o.station.empty()) filter.add("station = ", o.station);
    return filter;
}

plant::query make_query(const std::string& sql, const central_filter& filter) {
    plant::query q{sql, {}, {}, {}};
    for (const std::string& value : filter.values) q.values.push_back(value.c_str());
    return q;
}

void write_csv(const PGresult* rows, checked_output& out) {
    const int columns = PQnfields(rows);
    std::string line;
    for (int column = 0; column < columns; ++column) line += std::string(column ? "," : "") + PQfname(rows, column);
    out.line(line);
    for (int row = 0; row < PQntuples(rows); ++row) {
        line.clear();
        for (int column = 0; column < columns; ++column)
            line += (column ? "," : "") +
                    (PQgetisnull(rows, row, column) ? "" : records_cli::text_cell(PQgetvalue(rows, row, column)));
        out.line(line);
    }
}

void write_summary(const PGresult* rows, checked_output& out) {
    records::summary types;
    for (int row = 0; row < PQntuples(rows); ++row) {
        records::type_summary& type = types[std::atoll(PQgetvalue(rows, row, 0))];
        type.name = PQgetvalue(rows, row, 1);
        for (int column = 0; column < 4; ++column)
            if (!PQgetisnull(rows, row, 2 + column))
                type.rows[column].add(std::atof(PQgetvalue(rows, row, 2 + column)));
    }
    for (const std::string& line : records::summary_lines(types)) out.line(line);
}

// The latest catalogue the station saved, checked against its SHA-256, to stdout as it was.
std::string write_catalogue(PGconn* db, const options& o, checked_output& out) {
    const plant::query q{
        "SELECT content, new_value, " + std::string(ts_text) +
            " FROM varnold.events WHERE station = $1 AND kind = 'catalogue' AND field = 'file'"
            " AND content IS NOT NULL ORDER BY ts_utc DESC, row_id DESC LIMIT 1",
        {o.station.c_str()}, {}, {}};
    std::string error;
    plant::result_ptr found = plant::run(db, q, error);
    if (!found) return "plant database: " + error;
    if (PQntuples(found.get()) == 0) return "no saved catalogue of station " + o.station;
    std::size_t length = 0;
    unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(found.get(), 0, 0)), &length);
    if (bytes == nullptr) return "plant database: out of memory";
    const std::string content(reinterpret_cast<const char*>(bytes), length);
    PQfreemem(bytes);
    if (records::sha256_hex(content) != PQgetvalue(found.get(), 0, 1))
        return "the catalogue saved at " + std::string(PQgetvalue(found.get(), 0, 2)) +
               " does not match its SHA-256; not written";
    out.write(content);
    return "";
}

// Whether a row has that type ID, or that name under another ID.
bool type_used(PGconn* db, bool as_name, const std::string& value) {
    const std::string sql = as_name ? "SELECT EXISTS(SELECT 1 FROM varnold.events WHERE type_name = $1"
                                      " AND type_id IS DISTINCT FROM $1::integer)"
                                    : "SELECT EXISTS(SELECT 1 FROM varnold.events WHERE type_id = $1::integer)";
    std::string ignored;
    plant::result_ptr found = plant::run(db, {sql, {value.c_str()}, {}, {}}, ignored);
    return found && PQgetvalue(found.get(), 0, 0)[0] == 't';
}

// The export, summary or catalogue into out; the reason of a failure, empty when none.
std::string read_back(PGconn* db, const options& o, checked_output& out) {
    if (o.catalogue) return write_catalogue(db, o, out);
    type_choice type;
    std::string error;
    if (!records_cli::choose_type(o.type, type, error,
                                  [db](bool as_name, const std::string& value) { return type_used(db, as_name, value); }))
        return error;
    const central_filter filter = make_filter(o, type);
    std::string sql = "SELECT station, journal_id, row_id AS id, kind, " + std::string(ts_text) +
                      " AS ts_utc, host, type_id, type_name, target_x, target_y, target_alpha, target_beta,"
                      " actual_x, actual_y, actual_alpha, actual_beta, field, old_value, new_value, detail"
                      " FROM varnold.events" + filter.where + " ORDER BY ts_utc, station, journal_id, row_id";
    if (o.summary)
        sql = "SELECT type_id, type_name, target_x - actual_x, target_y - actual_y, target_alpha - actual_alpha,"
              " target_beta - actual_beta FROM varnold.events" + filter.where + " ORDER BY type_id, ts_utc";
    plant::result_ptr rows = plant::run(db, make_query(sql, filter), error);
    if (!rows) return "plant database: " + error;
    if (o.csv)
        write_csv(rows.get(), out);
    else
        write_summary(rows.get(), out);
    return "";
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
    checked_output out;
    std::string failure = read_back(db.get(), o, out);
    const std::string output_failure = out.close();
    if (failure.empty()) failure = output_failure;
    return failure.empty() ? 0 : fail(failure);
}
