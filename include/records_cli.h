#pragma once
// What varnold-records' local and central modes share: the options and the text of a cell.
#include <string>

namespace records_cli {

struct options {
    bool csv = false;
    bool summary = false;
    bool init = false;       // central only: create or upgrade the schema
    bool catalogue = false;  // central only: the station's latest saved catalogue to stdout
    std::string db, since, until, type, kind, station;
};

// A text cell as the CSV carries it: quoted where needed, never run as a formula.
std::string text_cell(const std::string& text);
bool is_integer(const std::string& text);
// Prints "varnold-records: what" and gives the exit status of a failure.
int fail(const std::string& what);

// A postgresql:// or postgres:// URL names the plant's database rather than a file.
bool is_central(const std::string& db);
int run_central(const options& o);

}  // namespace records_cli
