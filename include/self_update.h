#pragma once
// Self-update: fetch a signed new program from the maker's server, check its signature
// against the station's update key and put it in place of the installed program.
// The fixed values are the station's; the functions take them as arguments so tests can
// point them at a local server, temporary folders and their own key.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace self_update {

// Host name of the maker's download server: the one place to change it.
extern const char* const download_host;
extern const char* const download_path;      // "/f/083-146-Varnold/Varnold"
extern const char* const download_dir;       // "/home/merto/Documents/tmp/"
extern const char* const installed_program;  // "/home/merto/Documents/Varnold"
extern const char* const start_dir;          // "~/Documents"
extern const char* const public_key;         // "/etc/varnold/update.pub", installed by the administrator
extern const char* const signature_suffix;   // ".minisig": the signature is fetched from url + this

struct settings {
    std::string url;                // full download URL
    std::string download_dir;       // private folder for the download
    std::string installed_program;  // absolute path of the installed program file
    std::string start_dir;          // where the new program is started ("~/" is the home folder)
    std::string public_key;         // minisign public key file
    std::string verifier = "/usr/bin/minisign";
    // Bounds of each of the two transfers (program, signature); the screen stays usable
    // meanwhile, so they can be generous.
    long connect_timeout_ms = 15'000;
    long transfer_deadline_ms = 120'000;  // whole transfer, redirects included
    std::uint64_t max_program_bytes = 64ull << 20;
    long progress_period_ms = 500;
    // The restart waits restart_delay_s for the station to close; a new program that ends
    // with a failure within fallback_window_s is replaced by a start of the previous one.
    int restart_delay_s = 1;
    int fallback_window_s = 5;
};

settings station_settings();

// Called on the downloading thread with a line for the operator.
using progress_fn = std::function<void(const std::string& line)>;

// Downloads the program and its signature, verifies the signature and installs the
// program, keeping the previous one as "<program>.old". Returns the reason of a failure,
// or an empty text when the new program is installed. On failure the installed program
// is untouched. Setting cancel stops a running download.
std::string install(const settings& s, const progress_fn& progress, const std::atomic<bool>& cancel);

// Starts, in the background and after the restart delay, the installed program from the
// start folder, falling back to the previous one when the new one fails at once.
// Returns the reason of a failure, or an empty text.
std::string start_installed(const settings& s);

// The operator's log lines.
std::string failure_line(const std::string& reason);
std::string progress_line(std::uint64_t received, std::uint64_t total);
extern const char* const under_way_line;  // "Update under way"

}  // namespace self_update
