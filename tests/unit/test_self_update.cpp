// The self-update against a web server on loopback and temporary folders. The
// "new program" served is a copy of this test program: started by the update as
// ./Varnold, it notes where it runs and exits at once (see probe below).
#include "self_update.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/init.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* probe_variable = "SELF_UPDATE_PROBE_MARKER";
constexpr const char* served_path = "/f/083-146-Varnold/Varnold";

// Runs before any test: in a copy started by the update chain, record the working
// folder and the program file, then leave.
[[maybe_unused]] const bool probe_ran = [] {
    const char* marker = std::getenv(probe_variable);
    if (marker == nullptr) return false;
    std::error_code error;
    const std::string partial = std::string(marker) + ".partial";
    {
        std::ofstream out(partial);
        out << fs::current_path(error).string() << '\n'
            << fs::read_symlink("/proc/self/exe", error).string() << '\n';
    }
    fs::rename(partial, marker, error);
    std::_Exit(0);
}();

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::set<std::string> folder_entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

bool wait_for_file(const fs::path& path, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(20ms);
    }
    return fs::exists(path);
}

int listening_socket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "cannot listen on loopback";
        port = 0;
        return fd;
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string loopback_url(int port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

struct response {
    int status = 200;
    std::string content_type = "application/octet-stream";
    std::string body;
};

// A small HTTP/1.0 server: one connection at a time, fixed answers per path, 404 otherwise.
class local_http_server {
public:
    local_http_server() : fd_(listening_socket(port_)), thread_([this] { serve(); }) {}
    ~local_http_server() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    void answer(const std::string& path, response r) {
        std::lock_guard<std::mutex> lock(mutex_);
        routes_[path] = std::move(r);
    }
    std::string url(const std::string& path) const { return loopback_url(port_, path); }
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd waiting{fd_, POLLIN, 0};
            if (::poll(&waiting, 1, 50) <= 0) continue;
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            handle(client);
            ::close(client);
        }
    }

    static std::string read_request(int client) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd readable{client, POLLIN, 0};
            if (::poll(&readable, 1, 2000) <= 0) break;
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            request.append(buffer, static_cast<std::size_t>(got));
        }
        return request;
    }

    void handle(int client) {
        const std::string request = read_request(client);
        std::istringstream lines(request);
        std::string method, path;
        lines >> method >> path;
        std::string user_agent;
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("User-Agent: ", 0) == 0) user_agent = line.substr(12, line.find('\r') - 12);
        response r{404, "text/html", "<html><body>Not Found</body></html>"};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(path + " " + user_agent);
            if (const auto found = routes_.find(path); found != routes_.end()) r = found->second;
        }
        std::string reply = "HTTP/1.0 " + std::to_string(r.status) + (r.status == 200 ? " OK" : " Not Found") +
                            "\r\nContent-Type: " + r.content_type + "\r\nContent-Length: " +
                            std::to_string(r.body.size()) + "\r\nConnection: close\r\n\r\n" + r.body;
        for (std::size_t sent = 0; sent < reply.size();) {
            const ssize_t n = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
    }

    int port_ = 0;
    int fd_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::map<std::string, response> routes_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// Watches the installed program while an update runs: it must always exist, be
// executable and be either the old or the new file in full.
class install_watcher {
public:
    install_watcher(fs::path path, std::set<off_t> sizes)
        : path_(std::move(path)), sizes_(std::move(sizes)), thread_([this] { watch(); }) {}
    ~install_watcher() { finish(); }
    std::string finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return problem_;
    }
    std::size_t looks() const { return looks_; }

private:
    void watch() {
        while (!stop_ && problem_.empty()) {
            struct stat info {};
            ++looks_;
            if (::stat(path_.c_str(), &info) != 0)
                problem_ = "installed program missing";
            else if (sizes_.count(info.st_size) == 0)
                problem_ = "installed program has " + std::to_string(info.st_size) + " bytes";
            else if ((info.st_mode & S_IXUSR) == 0)
                problem_ = "installed program not executable";
            std::this_thread::sleep_for(100us);
        }
    }

    fs::path path_;
    std::set<off_t> sizes_;
    std::atomic<bool> stop_{false};
    std::string problem_;
    std::size_t looks_ = 0;
    std::thread thread_;
};

const std::string old_program = "#!/bin/sh\necho the program installed before the update\n";

class SelfUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "self-update-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        // The space checks the quoting on its way through both shells.
        install_dir = root / "Documents dir";
        download_dir = install_dir / "tmp";
        fs::create_directories(download_dir);
        installed = install_dir / "Varnold";
        write_file(installed, old_program);
        fs::permissions(installed, fs::perms(0755));

        s.url = server.url(served_path);
        s.download_dir = download_dir.string() + "/";
        s.installed_program = installed.string();
        s.start_dir = install_dir.string();
        s.network_timeout_s = 5;
        s.tries = 1;
        s.overall_timeout_s = 30;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static void SetUpTestSuite() {
        // The replacement chain runs through wxShell, which needs the library set up;
        // once per process, as the library cannot be set up again after a clean-up.
        static wxInitializer* const library = new wxInitializer;
        ASSERT_TRUE(library->IsOk());
    }

    local_http_server server;
    fs::path root, install_dir, download_dir, installed;
    self_update::settings s;
    const std::string this_program = read_file("/proc/self/exe");
};

TEST(SelfUpdateSettings, StationValuesAreTheFixedOnes) {
    const auto s = self_update::station_settings();
    EXPECT_EQ(s.url, std::string("http://") + self_update::download_host + "/f/083-146-Varnold/Varnold");
    EXPECT_EQ(s.download_dir, "/home/merto/Documents/tmp/");
    EXPECT_EQ(s.installed_program, "/home/merto/Documents/Varnold");
    EXPECT_EQ(s.start_dir, "~/Documents");
    EXPECT_GT(s.network_timeout_s, 0);
    EXPECT_GT(s.tries, 0);
    EXPECT_GT(s.overall_timeout_s, s.network_timeout_s);
}

TEST(SelfUpdateSettings, QuotingRefusesWhatCouldLeaveTheQuotes) {
    EXPECT_EQ(self_update::shell_quote("/home/a b/Varnold"), "\"/home/a b/Varnold\"");
    for (const std::string bad : {"a\"b", "a'b", "a$b", "a`b`", "a\\b", "a\nb", "caf\xC3\xA9"})
        EXPECT_FALSE(self_update::shell_quote(bad)) << bad;
}

TEST_F(SelfUpdate, GoodDownloadReplacesTheProgramAndStartsItFromTheStartFolder) {
    server.answer(served_path, {200, "application/octet-stream", this_program});
    // A leftover of an earlier attempt must neither be installed nor rename the download.
    write_file(download_dir / "Varnold", "stale download of an earlier attempt");
    // The start folder goes through the shell's "~" expansion, as the station's does.
    const char* previous_home = std::getenv("HOME");
    const std::string saved_home = previous_home ? previous_home : "";
    ::setenv("HOME", root.c_str(), 1);
    s.start_dir = "~/Documents dir";
    const fs::path marker = root / "started-by-update";
    ::setenv(probe_variable, marker.c_str(), 1);

    install_watcher watcher(installed, {static_cast<off_t>(old_program.size()),
                                        static_cast<off_t>(this_program.size())});
    const bool started = self_update::run(s);
    ::unsetenv(probe_variable);
    ::setenv("HOME", saved_home.c_str(), 1);
    ASSERT_TRUE(started);
    // Nothing changes before the chain's one-second wait is over.
    EXPECT_EQ(read_file(installed), old_program);

    ASSERT_TRUE(wait_for_file(marker, 20s)) << "the new program was not started";
    EXPECT_EQ(watcher.finish(), "") << "after " << watcher.looks() << " looks";
    std::istringstream report(read_file(marker));
    std::string working_folder, program_file;
    std::getline(report, working_folder);
    std::getline(report, program_file);
    EXPECT_EQ(working_folder, install_dir.string());
    EXPECT_EQ(program_file, installed.string());
    EXPECT_TRUE(read_file(installed) == this_program) << "installed program is not the download";
    EXPECT_NE(fs::status(installed).permissions() & fs::perms::others_exec, fs::perms::none);
    EXPECT_EQ(folder_entries(download_dir), std::set<std::string>{"Varnold"});
    EXPECT_EQ(read_file(download_dir / "Varnold"), "stale download of an earlier attempt");
    EXPECT_EQ(folder_entries(install_dir), (std::set<std::string>{"Varnold", "tmp"}));
    EXPECT_EQ(server.requests(), std::vector<std::string>{std::string(served_path) + " firefox"});
}

TEST_F(SelfUpdate, BadDownloadsLeaveTheInstalledProgramAlone) {
    // A stale but perfectly good program from an earlier attempt: only what was just
    // downloaded may be installed.
    write_file(download_dir / "Varnold", this_program);
    const fs::path marker = root / "started-by-update";
    ::setenv(probe_variable, marker.c_str(), 1);

    std::string foreign_machine = this_program;
    foreign_machine[18] = static_cast<char>(foreign_machine[18] ^ 0x01);
    std::string foreign_class = this_program;
    foreign_class[4] = static_cast<char>(foreign_class[4] == 2 ? 1 : 2);
    int closed_port = 0;
    ::close(listening_socket(closed_port));

    struct bad_case {
        const char* name;
        std::optional<response> answer;  // none: the server answers 404
        std::string url;
    };
    const std::vector<bad_case> cases = {
        {"404", std::nullopt, s.url},
        {"200 HTML page", response{200, "text/html", "<html><body>Maintenance</body></html>"}, s.url},
        {"empty file", response{200, "application/octet-stream", ""}, s.url},
        {"program of another machine", response{200, "application/octet-stream", foreign_machine}, s.url},
        {"program of another word size", response{200, "application/octet-stream", foreign_class}, s.url},
        {"cut-off header", response{200, "application/octet-stream", this_program.substr(0, 12)}, s.url},
        {"unreachable server", std::nullopt, loopback_url(closed_port, served_path)},
    };
    install_watcher watcher(installed, {static_cast<off_t>(old_program.size())});
    for (const auto& c : cases) {
        server.answer(served_path, c.answer.value_or(response{404, "text/html", "<html>Not Found</html>"}));
        s.url = c.url;
        EXPECT_FALSE(self_update::run(s)) << c.name;
        EXPECT_EQ(read_file(installed), old_program) << c.name;
        EXPECT_EQ(folder_entries(download_dir), std::set<std::string>{"Varnold"}) << c.name;
    }
    // A chain started by mistake would have done its work after its one-second wait.
    std::this_thread::sleep_for(1500ms);
    ::unsetenv(probe_variable);
    EXPECT_EQ(watcher.finish(), "");
    EXPECT_EQ(read_file(installed), old_program);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(folder_entries(install_dir), (std::set<std::string>{"Varnold", "tmp"}));
    EXPECT_EQ(server.requests().size(), cases.size() - 1);
}

TEST_F(SelfUpdate, ASilentServerCannotHoldTheScreenForEver) {
    int port = 0;
    // Listening but never answering: the connection is made, the reply never comes.
    const int silent = listening_socket(port);
    s.url = loopback_url(port, served_path);

    // Bounded by wget's own read timeout...
    s.network_timeout_s = 1;
    s.overall_timeout_s = 600;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(self_update::run(s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);

    // ...and by the overall timeout when wget's own limit is long.
    s.network_timeout_s = 600;
    s.overall_timeout_s = 2;
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(self_update::run(s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);

    ::close(silent);
    EXPECT_EQ(read_file(installed), old_program);
    EXPECT_TRUE(folder_entries(download_dir).empty());
}

TEST_F(SelfUpdate, UnsafePathsRunNothing) {
    server.answer(served_path, {200, "application/octet-stream", this_program});
    s.installed_program = (install_dir / "Var'nold").string();
    EXPECT_FALSE(self_update::run(s));
    s.installed_program = installed.string();
    s.url += "?a=$(touch x)";
    EXPECT_FALSE(self_update::run(s));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(read_file(installed), old_program);
    EXPECT_TRUE(folder_entries(download_dir).empty());
}

}  // namespace
