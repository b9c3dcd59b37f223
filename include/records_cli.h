#pragma once
// What varnold-records' local and central modes share: the options, the --type rule, the
// text of a cell and the checked standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

namespace records_cli {

struct options {
    bool csv = false;
    bool summary = false;
    bool init = false;       // central only: create or upgrade the schema
    bool catalogue = false;  // central only: the station's latest saved catalogue to stdout
    std::string db, since, until, type, kind, station;
};

// How --type selects its rows.
struct type_choice {
    enum { none, by_id, by_name } by = none;
    std::string value;
};
// Reads --type; used(as_name, value) tells whether some row has that type ID (as_name false)
// or that name under another ID (as_name true).
bool choose_type(std::string given, type_choice& chosen, std::string& error,
                 const std::function<bool(bool as_name, const std::string&)>& used);

// A text cell as the CSV carries it: quoted where needed, never run as a formula.
std::string text_cell(const std::string& text);
bool is_integer(const std::string& text);
// Prints "varnold-records: what" and gives the exit status of a failure.
int fail(const std::string& what);

// Standard output that keeps its first write error, so a full disk or a file-size limit ends
// the command non-zero with the reason rather than with a cut file and status 0.
class checked_output {
public:
    void line(const std::string& text) { write(text + "\n"); }
    void write(const std::string& bytes) {
        if (error != 0) return;
        errno = 0;
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) error = errno != 0 ? errno : EIO;
    }
    bool failed() const { return error != 0; }
    // Flushes and closes standard output; the reason of the first failure, empty when none.
    std::string close() {
        errno = 0;
        if (std::fflush(stdout) != 0 && error == 0) error = errno != 0 ? errno : EIO;
        if (std::fclose(stdout) != 0 && error == 0) error = errno != 0 ? errno : EIO;
        return error != 0 ? std::string("standard output: ") + std::strerror(error) : std::string();
    }

private:
    int error = 0;
};

// A postgresql:// or postgres:// URL names the plant's database rather than a file.
bool is_central(const std::string& db);
int run_central(const options& o);

}  // namespace records_cli
