// varnold-emu: runs a program against the emulated controller board.
//
//   varnold-emu [--scenario FILE] [--control FIFO] [--] COMMAND [ARGS...]
//
// The board appears to COMMAND (and its children) as USB device 04d8:0053; a scenario
// moves the board's encoder, sensors and IO, and lines written to the control FIFO are
// run at once. The exit status is COMMAND's.
#include "board_emulator.h"
#include "scenario.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr const char* preload_library = "libumockdev-preload.so.0";

struct options {
    std::string scenario_file;
    std::string control_fifo;
    bool no_scenario = false;
    std::vector<char*> command;
};

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: varnold-emu [--scenario FILE | --no-scenario] [--control FIFO] [--] COMMAND [ARGS...]\n"
                 "       varnold-emu --check FILE      check a scenario file and exit\n"
                 "       varnold-emu --print-default   print the built-in scenario and exit\n"
                 "Runs COMMAND with the emulated controller board (USB 04d8:0053) attached.\n");
}

int print_problems(const std::vector<std::string>& problems, const std::string& name) {
    for (const auto& problem : problems) std::fprintf(stderr, "%s: %s\n", name.c_str(), problem.c_str());
    return problems.empty() ? 0 : 1;
}

bool read_file(const std::string& path, std::vector<std::string>& lines) {
    std::ifstream file(path);
    if (!file) return false;
    std::stringstream text;
    text << file.rdbuf();
    lines = emu::split_lines(text.str());
    return true;
}

// Returns -1 to go on, otherwise an exit status.
int parse_options(int argc, char** argv, options& parsed) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string word = argv[i];
        const bool has_value = i + 1 < argc;
        if (word == "--") {
            ++i;
            break;
        } else if (word == "--help" || word == "-h") {
            usage(stdout);
            return 0;
        } else if (word == "--print-default") {
            for (const auto& line : emu::default_scenario()) std::printf("%s\n", line.c_str());
            return 0;
        } else if (word == "--check" && has_value) {
            std::vector<std::string> lines;
            if (!read_file(argv[i + 1], lines)) {
                std::fprintf(stderr, "varnold-emu: cannot read %s\n", argv[i + 1]);
                return 1;
            }
            return print_problems(emu::check_scenario(lines), argv[i + 1]);
        } else if (word == "--scenario" && has_value) {
            parsed.scenario_file = argv[++i];
        } else if (word == "--control" && has_value) {
            parsed.control_fifo = argv[++i];
        } else if (word == "--no-scenario") {
            parsed.no_scenario = true;
        } else if (word.rfind("--", 0) == 0) {
            std::fprintf(stderr, "varnold-emu: unknown option %s\n", word.c_str());
            usage(stderr);
            return 2;
        } else {
            break;
        }
    }
    for (; i < argc; ++i) parsed.command.push_back(argv[i]);
    if (parsed.command.empty()) {
        usage(stderr);
        return 2;
    }
    parsed.command.push_back(nullptr);
    return -1;
}

// umockdev only works for a process that started with its preload: start again with it.
void reexec_under_preload(char** argv) {
    const char* current = std::getenv("LD_PRELOAD");
    std::string preload = preload_library;
    if (current != nullptr && *current != '\0') preload += std::string(" ") + current;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asan_options = "verify_asan_link_order=0";
    if (asan != nullptr && *asan != '\0') asan_options += std::string(":") + asan;
    setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "varnold-emu: cannot restart under the preload: %s\n", std::strerror(errno));
    std::exit(127);
}

// Reads command lines from the control FIFO until stop is set.
class control_channel {
public:
    control_channel(const std::string& path, emu::scenario_player& player) : path_(path), player_(player) {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            if (mkfifo(path.c_str(), 0600) != 0)
                throw std::runtime_error("cannot create the control FIFO " + path + ": " + std::strerror(errno));
            created_ = true;
        } else if (!S_ISFIFO(info.st_mode)) {
            throw std::runtime_error(path + " exists and is not a FIFO");
        }
        // Read and write: the FIFO then never reports end-of-file when a writer leaves.
        fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open the control FIFO " + path + ": " + std::strerror(errno));
        reader_ = std::thread([this] { read_lines(); });
    }
    ~control_channel() {
        stop_ = true;
        reader_.join();
        close(fd_);
        if (created_) unlink(path_.c_str());
    }
    control_channel(const control_channel&) = delete;
    control_channel& operator=(const control_channel&) = delete;

private:
    void read_lines() {
        std::string pending;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            char buffer[512];
            const ssize_t count = read(fd_, buffer, sizeof buffer);
            if (count <= 0) continue;
            pending.append(buffer, static_cast<std::size_t>(count));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                const std::string error = player_.execute(line);
                if (!error.empty()) std::fprintf(stderr, "varnold-emu: control: %s\n", error.c_str());
            }
        }
    }

    std::string path_;
    emu::scenario_player& player_;
    bool created_ = false;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

volatile sig_atomic_t child_pid = 0;

void forward_signal(int number) {
    if (child_pid > 0) kill(static_cast<pid_t>(child_pid), number);
}

int run_child(std::vector<char*>& command) {
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, command[0], nullptr, nullptr, command.data(), environ);
    if (error != 0) {
        std::fprintf(stderr, "varnold-emu: cannot run %s: %s\n", command[0], std::strerror(error));
        return 127;
    }
    child_pid = pid;
    struct sigaction action {};
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 127;
    }
    child_pid = 0;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    options parsed;
    const int early = parse_options(argc, argv, parsed);
    if (early >= 0) return early;

    std::vector<std::string> script;
    if (parsed.no_scenario) {
    } else if (parsed.scenario_file.empty()) {
        script = emu::default_scenario();
    } else if (!read_file(parsed.scenario_file, script)) {
        std::fprintf(stderr, "varnold-emu: cannot read %s\n", parsed.scenario_file.c_str());
        return 2;
    }
    if (print_problems(emu::check_scenario(script), parsed.scenario_file.empty() ? "scenario" : parsed.scenario_file))
        return 2;

    if (!emu::preload_active()) reexec_under_preload(argv);

    int status = 1;
    try {
        emu::board_emulator board(true);
        emu::scenario_player player(board);
        std::unique_ptr<control_channel> control;
        if (!parsed.control_fifo.empty()) control = std::make_unique<control_channel>(parsed.control_fifo, player);
        player.start_script(script);
        status = run_child(parsed.command);
        control.reset();
        player.stop();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "varnold-emu: %s\n", error.what());
        return 1;
    }
    return status;
}
