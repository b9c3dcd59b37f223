#include "self_update.h"

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
#include <memory>
#include <vector>

#include <curl/curl.h>

namespace self_update {

const char* const download_host = "downloads.station-maker.example";
const char* const download_path = "/f/083-146-Varnold/Varnold";
const char* const download_dir = "/home/merto/Documents/tmp/";
const char* const installed_program = "/home/merto/Documents/Varnold";
const char* const start_dir = "~/Documents";
const char* const public_key = "/etc/varnold/update.pub";
const char* const signature_suffix = ".minisig";
const char* const under_way_line = "Update under way";

settings station_settings() {
    settings s;
    s.url = std::string("http://") + download_host + download_path;
    s.download_dir = self_update::download_dir;
    s.installed_program = self_update::installed_program;
    s.start_dir = self_update::start_dir;
    s.public_key = self_update::public_key;
    return s;
}

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

// Runs argv with the given descriptors as 3, 4, ... and an empty environment; returns its
// exit status (-1 when it could not run or did not exit), with its error output in diagnostics.
int run_tool(const std::vector<std::string>& argv, const std::vector<int>& fds, std::string& diagnostics) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        diagnostics = with_reason("pipe");
        return -1;
    }
    unique_fd reading(pipe_fds[0]), writing(pipe_fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
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
        diagnostics = "cannot run " + argv[0] + ": " + std::strerror(spawned);
        return -1;
    }
    { unique_fd closing(std::move(writing)); }
    char buffer[512];
    for (ssize_t n; (n = ::read(reading.get(), buffer, sizeof buffer)) != 0;) {
        if (n > 0) diagnostics.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR) break;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// minisign itself checks the signature (both its forms) and the signed trusted comment.
std::string verify(const settings& s, int program, int signature) {
    const unique_fd program_copy = high_copy(program), signature_copy = high_copy(signature);
    if (!program_copy || !signature_copy) return with_reason("checking the signature");
    std::string diagnostics;
    const int status = run_tool({s.verifier, "-V", "-q", "-p", s.public_key, "-m", "/dev/fd/3", "-x", "/dev/fd/4"},
                                {program_copy.get(), signature_copy.get()}, diagnostics);
    if (status == 0) return "";
    return "signature does not verify" + first_line(diagnostics);
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

std::string write_staged(int program, const std::string& staged) {
    ::unlink(staged.c_str());
    unique_fd out(::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755));
    if (!out) return with_reason(staged);
    if (::fchmod(out.get(), 0755) != 0) return with_reason(staged);
    const std::string copied = copy_from_start(program, out.get());
    if (!copied.empty()) return copied;
    if (::fsync(out.get()) != 0) return with_reason(staged);
    return "";
}

// The new program is staged beside the installed one; the installed one stays under its
// name until the rename over it, and afterwards as "<program>.old".
std::string put_in_place(const settings& s, int program) {
    const std::string& installed = s.installed_program;
    const std::string staged = installed + ".new", previous = installed + ".old";
    std::string failure = write_staged(program, staged);
    if (failure.empty() && ::access(installed.c_str(), F_OK) == 0) {
        if (::unlink(previous.c_str()) != 0 && errno != ENOENT) failure = with_reason(previous);
        else if (::link(installed.c_str(), previous.c_str()) != 0) failure = with_reason(previous);
    }
    if (failure.empty() && ::rename(staged.c_str(), installed.c_str()) != 0) failure = with_reason(installed);
    if (!failure.empty()) ::unlink(staged.c_str());
    return failure;
}

std::string expand_home(const std::string& dir, std::string& failure) {
    if (dir != "~" && dir.rfind("~/", 0) != 0) return dir;
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') failure = "no home folder (HOME is not set)";
    return std::string(home != nullptr ? home : "") + dir.substr(1);
}

// $1 start folder, $2 program name, $3 restart delay, $4 fallback window. The status and
// how long the new program ran go to the session log when it fails at once.
constexpr const char* restart_script = R"({
sleep "$3" && cd "$1" || exit
started=$(date +%s)
"./$2"
status=$?
if [ "$status" -ne 0 ] && [ $(( $(date +%s) - started )) -lt "$4" ] && [ -x "./$2.old" ]; then
    echo "$2: the new program ended at start (status $status); starting the previous one, $2.old" >&2
    exec "./$2.old"
fi
} &)";

}  // namespace

std::string install(const settings& s, const progress_fn& progress, const std::atomic<bool>& cancel) {
    if (::access(s.public_key.c_str(), R_OK) != 0) return with_reason("no update key " + s.public_key);
    std::string failure;
    const unique_fd folder = open_private_folder(s.download_dir, failure);
    if (!folder) return failure;
    const std::string name = fs::path(s.installed_program).filename().string();
    const unique_fd program = unnamed_file(folder.get(), name + ".download", failure);
    const unique_fd signature = program ? unnamed_file(folder.get(), name + signature_suffix, failure) : unique_fd();
    if (!signature) return failure;
    failure = fetch(s, s.url, program.get(), s.max_program_bytes, progress ? &progress : nullptr, cancel);
    if (failure.empty())
        failure = fetch(s, s.url + signature_suffix, signature.get(), max_signature_bytes, nullptr, cancel);
    if (failure.empty()) failure = verify(s, program.get(), signature.get());
    if (failure.empty()) failure = put_in_place(s, program.get());
    return failure;
}

std::string start_installed(const settings& s) {
    std::string failure;
    const std::string dir = expand_home(s.start_dir, failure);
    if (!failure.empty()) return failure;
    const std::string name = fs::path(s.installed_program).filename().string();
    std::vector<std::string> argv = {"sh", "-c", restart_script, "sh", dir, name,
                                     std::to_string(s.restart_delay_s), std::to_string(s.fallback_window_s)};
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    // The station's own descriptors (the board among them) stay with the station.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t shell = 0;
    const int spawned = ::posix_spawn(&shell, "/bin/sh", &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return std::string("cannot start the new program: ") + std::strerror(spawned);
    // The shell puts the restart in the background and ends at once.
    int status = 0;
    while (::waitpid(shell, &status, 0) < 0 && errno == EINTR) {
    }
    return "";
}

}  // namespace self_update
