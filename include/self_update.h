#pragma once
// Self-update: fetch a new program file from the maker's server and swap it in.
// The fixed values are the station's; the functions take them as arguments so
// tests can point them at a local server and temporary folders.
#include <optional>
#include <string>

namespace self_update {

// Host name of the maker's download server: the one place to change it.
extern const char* const download_host;
extern const char* const download_path;      // "/f/083-146-Varnold/Varnold"
extern const char* const download_dir;       // "/home/merto/Documents/tmp/"
extern const char* const installed_program;  // "/home/merto/Documents/Varnold"
extern const char* const start_dir;          // "~/Documents"

struct settings {
    std::string url;                // full download URL
    std::string download_dir;       // ends with '/'
    std::string installed_program;  // absolute path of the installed program file
    std::string start_dir;          // where the new program is started ("~/" is the shell's home)
    // Bounds of the download, which blocks the screen: a dead server or a stalled
    // transfer gives up after a minute at most (5 more for a wget that ignores TERM).
    int network_timeout_s = 10;  // wget --timeout: DNS, connect and each read
    int tries = 3;               // wget --tries
    int overall_timeout_s = 60;  // timeout(1) around the whole wget run
};

settings station_settings();

// Downloads, checks and, when the download is a program for this machine, starts the
// background replacement chain. Returns true when the chain was started. When it
// returns false the installed program is untouched and the download is gone.
bool run(const settings& s);

// The pieces of run, for tests.

// Double-quoted for /bin/sh; nothing when the text holds a character that could
// escape the quotes (or the single quotes wxShell wraps the line in).
std::optional<std::string> shell_quote(const std::string& text);
// The wget line that fetches s.url into exactly target_file.
std::optional<std::string> download_command(const settings& s, const std::string& target_file);
// The background chain that installs downloaded_file and starts it from s.start_dir.
std::optional<std::string> replacement_command(const settings& s, const std::string& downloaded_file);
// A non-empty ELF executable of the running program's class, byte order and machine.
bool is_native_executable(const std::string& path);

}  // namespace self_update
