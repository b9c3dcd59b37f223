#pragma once
// Self-update: fetch a signed new program from the maker's server, check its signature and
// version against the station's update key and the running program, and leave it beside the
// installed program for the launcher to try; it replaces that program only once it is up.
// The fixed values are the station's; the functions take them as arguments so tests can
// point them at a local server, temporary folders and their own key.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "version.h"

namespace self_update {

// Host name of the maker's download server: the one place to change it.
extern const char* const download_host;
extern const char* const download_path;      // "/f/083-146-Varnold/Varnold"
extern const char* const download_dir;       // "/home/merto/Documents/tmp/"
extern const char* const installed_program;  // "/home/merto/Documents/Varnold"
extern const char* const public_key;         // "/etc/varnold/update.pub", installed by the administrator
extern const char* const signature_suffix;   // ".minisig": the signature is fetched from url + this

struct settings {
    std::string url;                // full download URL
    std::string download_dir;       // private folder for the download
    std::string installed_program;  // absolute path of the installed program file
    std::string public_key;         // minisign public key file
    std::string verifier = "/usr/bin/minisign";
    std::string running_version = version::number;  // what a release must be newer than
    // Starts the station again after an update, trying the new program first. Under the
    // service the station ends with restart_status instead and the service starts it.
    std::string launcher = "/usr/bin/varnold-station";
    bool through_service = false;
    // Bounds of each of the two transfers (program, signature); the screen stays usable
    // meanwhile, so they can be generous.
    long connect_timeout_ms = 15'000;
    long transfer_deadline_ms = 120'000;  // whole transfer, redirects included
    std::uint64_t max_program_bytes = 64ull << 20;
    long progress_period_ms = 500;
};

// The station's values; under the service when the environment says so.
settings station_settings();

// The exit status that asks the service to start the station again (its unit names it),
// and whether the station should end with it.
constexpr int restart_status = 75;
void request_service_restart();
bool service_restart_requested();

// A new program is staged as "<program>.new" and tried by the launcher; one that failed on
// trial is kept as "<program>.failed", the one a proven program replaced as "<program>.old".
std::string candidate_of(const std::string& program);
std::string failed_of(const std::string& program);
std::string previous_of(const std::string& program);

// Called on the downloading thread with a line for the operator.
using progress_fn = std::function<void(const std::string& line)>;

// Downloads the program and its signature, verifies the signature, checks that the signed
// version is newer than the running one and that the release has not failed before, and
// stages it as the candidate. Returns the reason of a failure, or an empty text when the
// candidate is staged. The installed program is never touched. Setting cancel stops a
// running download.
std::string install(const settings& s, const progress_fn& progress, const std::atomic<bool>& cancel);

// The version a trusted comment ("timestamp:...\tversion:1.1.0") names, or an empty text.
std::string signed_version(const std::string& trusted_comment);

// Has the station started again, trying the candidate: through the service (the caller ends
// with restart_status) or by starting the launcher in the background. Returns the reason of
// a failure, or an empty text.
std::string restart(const settings& s);

// In a program the launcher started on trial (it names the candidate in VARNOLD_TRIAL, in the
// working folder): the program is up, so it becomes the installed program and the one it
// replaces is kept as the previous. Returns the line for the operator, or an empty text when
// this is no trial.
std::string confirm_trial();

// The line the launcher leaves for the station after a failed trial (VARNOLD_UPDATE_NOTE),
// taken once, or an empty text.
std::string take_launcher_note();

// The operator's log lines.
std::string failure_line(const std::string& reason);
std::string progress_line(std::uint64_t received, std::uint64_t total);
extern const char* const under_way_line;  // "Update under way"

}  // namespace self_update
