#pragma once
// Self-update: fetch a new program file from the maker's server and swap it in.
// The fixed values are the station's; the functions take them as arguments so
// tests can point them at a local server and temporary folders.
#include <string>

namespace self_update {

// Host name of the maker's download server.
extern const char* const download_host;
extern const char* const download_path;      // "/f/083-146-Varnold/Varnold"
extern const char* const download_dir;       // "/home/merto/Documents/tmp/"
extern const char* const installed_program;  // "/home/merto/Documents/Varnold"
extern const char* const start_dir;          // "~/Documents"

struct settings {
    std::string url;                // full download URL
    std::string download_dir;       // ends with '/'
    std::string installed_program;  // absolute path of the installed program file
    std::string start_dir;          // where the new program is started (shell-expanded)
};

settings station_settings();

// Downloads, checks and, when the download is a plausible program, starts the
// background replacement chain. Returns true when the chain was started.
bool run(const settings& s);

}  // namespace self_update
