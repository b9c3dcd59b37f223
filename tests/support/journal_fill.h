#pragma once
// Appends positionings to a record journal in one transaction, for backlogs in the plant tests
// and benchmark: every third lacks its Y reading, every seventh has a detail that needs quoting.
#include <string>

#include <sqlite3.h>

#include "a_records.h"

inline std::string fill_journal(const std::string& path, int rows) {
    a_records(path).open();
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    const std::string sql =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(rows) +
        ") INSERT INTO events (kind, ts_utc, host, type_id, type_name, target_x, target_y, target_alpha,"
        " target_beta, actual_x, actual_y, actual_alpha, actual_beta, detail) SELECT 'positioned',"
        " strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), 'h', 7, 'Tengely', 100, 2.5, 0, 0, 100 + i % 9 * 0.25,"
        " CASE WHEN i % 3 THEN 2 + i % 5 * 0.1 END, i % 11 - 5, 1e-7 * i, CASE WHEN i % 7 = 0 THEN 'a, \"b\"' END"
        " FROM n";
    std::string error;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) error = sqlite3_errmsg(db);
    sqlite3_close(db);
    return error;
}
