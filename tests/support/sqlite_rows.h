#pragma once
// Reads a record file back in tests: the rows of a query, each row's columns joined by '|'.
#include <string>
#include <vector>

#include <sqlite3.h>

inline std::vector<std::string> sqlite_rows(const std::string& db_path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::vector<std::string> result;
    const auto collect = [](void* out, int n, char** values, char**) {
        std::string line;
        for (int i = 0; i < n; ++i) line += (i ? "|" : "") + std::string(values[i] ? values[i] : "");
        static_cast<std::vector<std::string>*>(out)->push_back(line);
        return 0;
    };
    if (sqlite3_exec(db, sql.c_str(), collect, &result, nullptr) != SQLITE_OK)
        result.push_back(std::string("query failed: ") + sqlite3_errmsg(db));
    sqlite3_close(db);
    return result;
}
