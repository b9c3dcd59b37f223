#include "self_update.h"

#include "version.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include <curl/curl.h>

extern char** environ;

namespace self_update {

const char* const download_host = "downloads.station-maker.example";
const char* const download_path = "/f/083-146-Varnold/Varnold";
const char* const download_dir = "/home/merto/Documents/tmp/";
const char* const installed_program = "/home/merto/Documents/Varnold";
const char* const public_key = "/etc/varnold/update.pub";
const char* const signature_suffix = ".minisig";
const char* const under_way_line = "Update under way";

settings station_settings() {
    settings s;
    s.url = std::string("http://") + download_host + download_path;
    s.download_dir = self_update::download_dir;
    s.installed_program = self_update::installed_program;
    s.public_key = self_update::public_key;
    s.running_version = version::number;
    // The package's place first, then that of an install from the source tree.
    for (const char* launcher : {"/usr/bin/varnold-station", "/usr/local/bin/varnold-station"})
        if (::access(launcher, X_OK) == 0) {
            s.launcher = launcher;
            break;
        }
    // The unit sets it, so the restart goes through the service that watches the station.
    s.through_service = std::getenv("VARNOLD_SERVICE") != nullptr;
    return s;
}

std::string candidate_of(const std::string& program) { return program + ".new"; }
std::string failed_of(const std::string& program) { return program + ".failed"; }
std::string previous_of(const std::string& program) { return program + ".old"; }

std::string failure_line(const std::string& reason) { return "Update failed: " + reason; }

std::string progress_line(std::uint64_t received, std::uint64_t total) {
    std::string line = std::string(under_way_line) + ": " + std::to_string(received / 1024) + " KB";
    if (total > 0) line += " of " + std::to_string(total / 1024) + " KB";
    return line;
}

namespace {

namespace fs = std::filesystem;
using clock = std::chrono::steady_clock;

// A minisign signature file is four short lines; anything near this size is not one.
constexpr std::uint64_t max_signature_bytes = 64 * 1024;
constexpr int max_redirects = 5;

class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

std::string with_reason(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The download folder is the station's own: created private, never a link, owned by the
// process user; a folder with wider access is narrowed to the owner.
unique_fd open_private_folder(const std::string& dir, std::string& failure) {
    const std::string path = without_trailing_slashes(dir);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        failure = with_reason("download folder " + path);
        return unique_fd();
    }
    unique_fd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!folder || ::fstat(folder.get(), &info) != 0) {
        failure = with_reason("download folder " + path);
    } else if (info.st_uid != ::geteuid()) {
        failure = "download folder " + path + " belongs to another user";
    } else if ((info.st_mode & 077) != 0 && ::fchmod(folder.get(), 0700) != 0) {
        failure = with_reason("download folder " + path);
    }
    return failure.empty() ? std::move(folder) : unique_fd();
}

// A file only this process can reach: created fresh in the private folder and unlinked at
// once, so what is checked is what gets installed.
unique_fd unnamed_file(int folder, const std::string& name, std::string& failure) {
    constexpr int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(folder, name.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST && ::unlinkat(folder, name.c_str(), 0) == 0)
        fd = ::openat(folder, name.c_str(), flags, 0600);  // a leftover of an interrupted run
    unique_fd file(fd);
    if (!file || ::unlinkat(folder, name.c_str(), 0) != 0) {
        failure = with_reason("download file " + name);
        return unique_fd();
    }
    return file;
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

struct transfer {
    int fd;
    std::uint64_t cap;
    const progress_fn* progress;
    const std::atomic<bool>* cancel;
    long progress_period_ms;
    std::uint64_t received = 0;
    bool too_big = false;
    int write_error = 0;
    clock::time_point last_report = clock::now();
};

std::size_t on_data(char* data, std::size_t, std::size_t size, void* user) {
    auto& t = *static_cast<transfer*>(user);
    if (size > t.cap - t.received) {
        t.too_big = true;
        return 0;
    }
    if (!write_all(t.fd, data, size)) {
        t.write_error = errno;
        return 0;
    }
    t.received += size;
    return size;
}

int on_progress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto& t = *static_cast<transfer*>(user);
    if (t.cancel->load()) return 1;
    if (t.progress != nullptr && clock::now() - t.last_report >= std::chrono::milliseconds(t.progress_period_ms)) {
        t.last_report = clock::now();
        (*t.progress)(progress_line(static_cast<std::uint64_t>(now), static_cast<std::uint64_t>(total)));
    }
    return 0;
}

std::string url_part(const char* url, CURLUPart part) {
    std::string value;
    CURLU* parsed = curl_url();
    char* text = nullptr;
    if (parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK &&
        curl_url_get(parsed, part, &text, CURLU_DEFAULT_PORT) == CURLUE_OK)
        value = text;
    curl_free(text);
    curl_url_cleanup(parsed);
    return value;
}

bool same_server(const std::string& a, const char* b) {
    for (const CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
        const std::string left = url_part(a.c_str(), part);
        if (left.empty() || left != url_part(b, part)) return false;
    }
    return true;
}

using curl_handle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

curl_handle prepared_request(const std::string& url, transfer& t, long deadline_ms, long connect_ms, char* error) {
    curl_handle curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) return curl;
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_USERAGENT, "firefox");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, deadline_ms);
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.cap));
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &on_data);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &on_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
    return curl;
}

// Fetches url into fd, following redirects only on the same server. Returns the reason of
// a failure, or an empty text.
std::string fetch(const settings& s, const std::string& url, int fd, std::uint64_t cap, const progress_fn* progress,
                  const std::atomic<bool>& cancel) {
    static const bool curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!curl_ready) return url + ": cannot set up the download library";
    const auto end = clock::now() + std::chrono::milliseconds(s.transfer_deadline_ms);
    std::string current = url;
    for (int hop = 0; hop <= max_redirects; ++hop) {
        // A redirect's own body is not the download.
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) return with_reason("download file");
        transfer t{fd, cap, progress, &cancel, s.progress_period_ms};
        char error[CURL_ERROR_SIZE] = "";
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        const curl_handle curl = prepared_request(current, t, std::max<long>(1, static_cast<long>(left)),
                                                  s.connect_timeout_ms, error);
        if (!curl) return url + ": cannot set up the download";
        const CURLcode result = curl_easy_perform(curl.get());
        if (cancel.load()) return "cancelled";
        if (t.too_big || result == CURLE_FILESIZE_EXCEEDED)
            return url + ": larger than " + std::to_string(cap >> 20) + " MB";
        if (t.write_error != 0) return url + ": writing the download: " + std::strerror(t.write_error);
        if (result != CURLE_OK) return url + ": " + (error[0] != '\0' ? error : curl_easy_strerror(result));
        long status = 0;
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status >= 300 && status < 400) {
            char* next = nullptr;
            curl_easy_getinfo(curl.get(), CURLINFO_REDIRECT_URL, &next);
            if (next == nullptr) return url + ": server answered " + std::to_string(status) + " without a target";
            if (!same_server(current, next)) return url + ": redirect to another server refused (" + next + ")";
            current = next;
            continue;
        }
        if (status != 200) return url + ": server answered " + std::to_string(status);
        if (t.received == 0) return url + ": empty file";
        return "";
    }
    return url + ": too many redirects";
}

// Descriptors the child gets at fixed numbers must not already sit at those numbers.
unique_fd high_copy(int fd) { return unique_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 10)); }

// ": <first line of text>", or nothing for an empty text.
std::string first_line(const std::string& text) {
    const std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "" : ": " + line;
}

struct tool_result {
    bool ran = false;   // false: it could not be started, output says why
    int status = -1;    // exit status, -1 when it did not exit
    std::string output; // standard output and error
};

// Runs argv with the given descriptors as 3, 4, ... and an empty environment.
tool_result run_tool(const std::vector<std::string>& argv, const std::vector<int>& fds) {
    tool_result result;
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        result.output = with_reason("pipe");
        return result;
    }
    unique_fd reading(pipe_fds[0]), writing(pipe_fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writing.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, writing.get(), 2);
    for (std::size_t i = 0; i < fds.size(); ++i)
        posix_spawn_file_actions_adddup2(&actions, fds[i], 3 + static_cast<int>(i));
    posix_spawn_file_actions_addclosefrom_np(&actions, 3 + static_cast<int>(fds.size()));
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    char* no_environment[] = {nullptr};
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, argv[0].c_str(), &actions, nullptr, args.data(), no_environment);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        result.output = argv[0] + ": " + std::strerror(spawned);
        return result;
    }
    result.ran = true;
    { unique_fd closing(std::move(writing)); }
    char buffer[512];
    for (ssize_t n; (n = ::read(reading.get(), buffer, sizeof buffer)) != 0;) {
        if (n > 0) result.output.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR) break;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The key is checked apart from the signature, so that a missing or damaged key is not
// taken for a bad release. A minisign public key file is a comment line and a line of
// base64: "RW" and 54 more characters.
std::string check_key(const std::string& key) {
    std::ifstream in(key);
    if (!in) return with_reason("no update key " + key);
    std::string comment, encoded;
    std::getline(in, comment);
    std::getline(in, encoded);
    const bool base64 = encoded.find_first_not_of(
                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") == std::string::npos;
    if (comment.rfind("untrusted comment:", 0) != 0 || encoded.size() != 56 || encoded.rfind("RW", 0) != 0 || !base64)
        return "update key " + key + " is not a minisign public key";
    return "";
}

// minisign checks the signature (both its forms) and the signed trusted comment, which
// carries the release's version; version receives it.
std::string verify(const settings& s, int program, int signature, std::string& release_version) {
    const unique_fd program_copy = high_copy(program), signature_copy = high_copy(signature);
    if (!program_copy || !signature_copy) return with_reason("checking the signature");
    const tool_result checked = run_tool(
        {s.verifier, "-V", "-Q", "-p", s.public_key, "-m", "/dev/fd/3", "-x", "/dev/fd/4"},
        {program_copy.get(), signature_copy.get()});
    if (!checked.ran) return "cannot run the signature check " + checked.output;
    if (checked.status == 127 || checked.status < 0)
        return "the signature check " + s.verifier + " did not run to its end" + first_line(checked.output);
    if (checked.status != 0) return "signature does not verify" + first_line(checked.output);
    release_version = signed_version(checked.output);
    if (release_version.empty()) return "the signature names no version" + first_line(checked.output);
    return "";
}

bool same_content(int fd, const std::string& path) {
    std::ifstream other(path, std::ios::binary);
    if (!other || ::lseek(fd, 0, SEEK_SET) != 0) return false;
    char mine[65536], theirs[sizeof mine];
    for (;;) {
        const ssize_t n = ::read(fd, mine, sizeof mine);
        if (n < 0) return false;
        other.read(theirs, n);
        if (other.gcount() != n || std::memcmp(mine, theirs, static_cast<std::size_t>(n)) != 0) return false;
        if (n == 0) return other.peek() == std::char_traits<char>::eof();
    }
}

std::string copy_from_start(int from, int to) {
    struct stat info {};
    if (::fstat(from, &info) != 0) return with_reason("reading the download");
    off_t offset = 0;
    while (offset < info.st_size) {
        const ssize_t n = ::sendfile(to, from, &offset, static_cast<std::size_t>(info.st_size - offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return with_reason("copying the new program");
    }
    return "";
}

// The candidate appears under its name complete and on disk, or not at all; the installed
// program and the previous one are not touched.
std::string stage(const settings& s, int program) {
    const std::string candidate = candidate_of(s.installed_program), part = candidate + ".part";
    ::unlink(part.c_str());
    unique_fd out(::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755));
    std::string failure = !out ? with_reason(part) : "";
    if (failure.empty() && ::fchmod(out.get(), 0755) != 0) failure = with_reason(part);
    if (failure.empty()) failure = copy_from_start(program, out.get());
    if (failure.empty() && ::fsync(out.get()) != 0) failure = with_reason(part);
    if (failure.empty() && ::rename(part.c_str(), candidate.c_str()) != 0) failure = with_reason(candidate);
    if (!failure.empty()) ::unlink(part.c_str());
    return failure;
}

// Starts the launcher detached from the station, which is about to close: it waits for the
// station to let go of the folder, then tries the candidate.
std::string start_launcher(const settings& s) {
    const std::string folder = fs::path(s.installed_program).parent_path().string();
    std::vector<std::string> environment = {"VARNOLD_FOLDER=" + folder};
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "VARNOLD_FOLDER=", 15) != 0) environment.emplace_back(*entry);
    std::vector<char*> env;
    for (auto& entry : environment) env.push_back(entry.data());
    env.push_back(nullptr);
    std::string launcher = s.launcher;
    char* argv[] = {launcher.data(), nullptr};
    // The station's own descriptors (the board among them) stay with the station.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, launcher.c_str(), &actions, &attributes, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return "cannot start " + launcher + ": " + std::strerror(spawned);
    return "";
}

}  // namespace

std::string signed_version(const std::string& trusted_comment) {
    const std::string line = trusted_comment.substr(0, trusted_comment.find('\n'));
    static const std::string key = "version:";
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
        if (line.compare(at, key.size(), key) == 0 && end > at + key.size())
            return line.substr(at + key.size(), end - at - key.size());
        at = end + 1;
    }
    return "";
}

std::string install(const settings& s, const progress_fn& progress, const std::atomic<bool>& cancel) {
    std::string failure = check_key(s.public_key);
    if (!failure.empty()) return failure;
    if (::access(s.launcher.c_str(), X_OK) != 0 && !s.through_service) return with_reason("no launcher " + s.launcher);
    const unique_fd folder = open_private_folder(s.download_dir, failure);
    if (!folder) return failure;
    const std::string name = fs::path(s.installed_program).filename().string();
    const unique_fd program = unnamed_file(folder.get(), name + ".download", failure);
    const unique_fd signature = program ? unnamed_file(folder.get(), name + signature_suffix, failure) : unique_fd();
    if (!signature) return failure;
    failure = fetch(s, s.url, program.get(), s.max_program_bytes, progress ? &progress : nullptr, cancel);
    if (failure.empty())
        failure = fetch(s, s.url + signature_suffix, signature.get(), max_signature_bytes, nullptr, cancel);
    std::string release;
    if (failure.empty()) failure = verify(s, program.get(), signature.get(), release);
    if (failure.empty() && !version::newer(release, s.running_version))
        failure = release + " is not newer than " + s.running_version;
    const std::string failed = failed_of(s.installed_program);
    if (failure.empty() && same_content(program.get(), failed))
        failure = release + " failed at its last start; it is kept as " + fs::path(failed).filename().string();
    if (failure.empty()) failure = stage(s, program.get());
    return failure;
}

namespace {
std::atomic<bool> service_restart{false};
}

void request_service_restart() { service_restart = true; }
bool service_restart_requested() { return service_restart; }

std::string restart(const settings& s) {
    if (!s.through_service) return start_launcher(s);
    request_service_restart();
    return "";
}

std::string confirm_trial() {
    const char* trial = std::getenv("VARNOLD_TRIAL");
    if (trial == nullptr) return "";
    const std::string candidate = trial;
    ::unsetenv("VARNOLD_TRIAL");  // not for the programs this one starts
    const std::string::size_type suffix = candidate.rfind('.');
    const std::string program = candidate.substr(0, suffix), previous = previous_of(program);
    if (suffix == std::string::npos || candidate_of(program) != candidate) return "";
    const std::string part = previous + ".part";
    ::unlink(part.c_str());
    if (::link(program.c_str(), part.c_str()) != 0 || ::rename(part.c_str(), previous.c_str()) != 0) {
        ::unlink(part.c_str());
        return failure_line(with_reason("keeping the previous program as " + previous));
    }
    // The launcher takes the candidate away when it gives up on it; then this one is no update.
    if (::rename(candidate.c_str(), program.c_str()) != 0)
        return failure_line(with_reason("the launcher gave up on this program; " + candidate));
    return std::string("Updated to ") + version::number + "; the previous program is kept as " + previous;
}

std::string take_launcher_note() {
    const char* note = std::getenv("VARNOLD_UPDATE_NOTE");
    const std::string line = note != nullptr ? note : "";
    ::unsetenv("VARNOLD_UPDATE_NOTE");
    return line;
}

}  // namespace self_update
