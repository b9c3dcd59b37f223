#pragma once
// The plant's central database (PostgreSQL): its schema, and the connection and query helpers
// the delivery and varnold-records share. Every failure carries libpq's reason.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <libpq-fe.h>

namespace plant {

// The central schema version this program writes and reads.
constexpr int central_schema_version = 1;

// The central table's columns after station, journal_id and row_id, in the journal's order.
constexpr int event_column_count = 18;
extern const char* const event_columns[event_column_count];

using connection_ptr = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using result_ptr = std::unique_ptr<PGresult, decltype(&PQclear)>;

// Connects without blocking past the stop flag; keepalives and time-outs apply unless the
// connection string sets its own. Null, with the reason, on failure.
connection_ptr connect(const std::string& connection, std::string& error,
                       const std::atomic<bool>* stop = nullptr);

// One statement with text parameters (null pointers are NULL), optionally some binary ones.
struct query {
    std::string sql;
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;  // empty: all text
};
// Runs it, waiting on the socket so the stop flag is honoured. Null, with the reason, on failure.
result_ptr run(PGconn* db, const query& q, std::string& error, const std::atomic<bool>* stop = nullptr);

// The schema version of the database: 0 when it has none yet, -1 with the reason on failure.
int schema_version(PGconn* db, std::string& error);
// Why this program must not write to a database of that version ("" when it may).
std::string version_problem(int version);
// Creates or upgrades the schema and its roles; the line to show, or the reason it failed.
bool init_schema(PGconn* db, std::string& message);

}  // namespace plant
