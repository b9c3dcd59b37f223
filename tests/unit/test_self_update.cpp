// The self-update against a web server on loopback, temporary folders and throwaway
// minisign keys. The releases are small shell programs that note how they were started.
#include "self_update.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "local_http_server.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using http_test::delivery;
using http_test::response;

const std::string served_path = "/f/083-146-Varnold/Varnold";
const std::string old_program = "#!/bin/sh\necho \"$$\" >> old-program-started\n";
const std::string new_program = "#!/bin/sh\necho \"$(pwd) $0\" > new-program-started\n";
const std::string failing_program = "#!/bin/sh\nexit 3\n";

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

// A line written to path by a started program.
std::string wait_for_line(const fs::path& path) {
    for (int i = 0; i < 250 && read_file(path).find('\n') == std::string::npos; ++i) std::this_thread::sleep_for(20ms);
    return read_file(path);
}

fs::path temporary_folder() {
    std::string pattern = (fs::temp_directory_path() / "self-update-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    return pattern;
}

// Key pairs made and releases signed with the real minisign tool.
struct signer {
    fs::path dir = temporary_folder();
    signer() {
        for (const char* key : {"good", "other"})
            run("minisign -G -W -p " + path(key) + ".pub -s " + path(key) + ".key >/dev/null");
    }
    ~signer() { fs::remove_all(dir); }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    std::string sign(const std::string& content, const std::string& key = "good", const char* mode = "") const {
        write_file(dir / "release", content);
        run("minisign -S " + std::string(mode) + " -s " + path(key) + ".key -m " + path("release") + " -x " +
            path("release.sig") + " </dev/null >/dev/null");
        return read_file(dir / "release.sig");
    }
    static void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
};

class SelfUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HOME", root.c_str(), 1);
        fs::create_directories(download_dir);
        fs::permissions(download_dir, fs::perms::all);  // the station narrows it to its own
        s.url = server.url(served_path);
        s.download_dir = download_dir.string() + "/";
        s.installed_program = installed.string();
        s.start_dir = "~/Documents dir";  // the space and the "~" take the start folder through the shell
        s.public_key = keys->path("good.pub");
        s.connect_timeout_ms = 2000;
        s.transfer_deadline_ms = 5000;
        s.restart_delay_s = 0;
    }
    void TearDown() override {
        ::setenv("HOME", saved_home.c_str(), 1);
        fs::remove_all(root);
    }
    void reset_installed() {
        for (const char* name : {"Varnold.old", "old-program-started", "new-program-started"})
            fs::remove(install_dir / name);
        write_file(installed, old_program);
        fs::permissions(installed, fs::perms(0755));
    }

    static inline std::optional<signer> keys;
    static void SetUpTestSuite() { keys.emplace(); }
    static void TearDownTestSuite() { keys.reset(); }

    const std::string saved_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    const fs::path root = temporary_folder();
    const fs::path install_dir = root / "Documents dir", download_dir = install_dir / "tmp";
    const fs::path installed = install_dir / "Varnold";
    http_test::local_http_server server;
    self_update::settings s;
};

TEST_F(SelfUpdate, OnlyAVerifiedReleaseIsInstalledAndStarted) {
    const std::string signature = keys->sign(new_program);
    std::string altered = new_program;
    altered[12] ^= 0x01;
    int closed_port = 0;
    ::close(http_test::listening_socket(closed_port));
    const std::string moved = "/moved";
    server.answer(moved, {302, "", delivery::whole, s.url});
    server.answer(moved + ".minisig", {302, "", delivery::whole, s.url + ".minisig"});

    struct row {
        row(const char* n, std::optional<response> p, std::optional<response> sig, const char* f,
            std::string u = "", std::string k = "", const char* st = "new-program-started")
            : name(n), program(std::move(p)), signature(std::move(sig)), failure(f), url(u), key(k), started(st) {}
        const char* name;
        std::optional<response> program, signature;  // none: 404
        const char* failure;                         // part of the reason; null when it installs
        std::string url, key;                        // empty: the served release and the good key
        const char* started;                         // what the restart leaves in the start folder
    };
    const response release{200, new_program};
    const std::vector<row> rows = {
        {"signed release", release, response{200, signature}, nullptr},
        {"legacy signature", release, response{200, keys->sign(new_program, "good", "-l")}, nullptr},
        {"redirect on the same server", release, response{200, signature}, nullptr, server.url(moved)},
        {"release that fails at start", response{200, failing_program},
         response{200, keys->sign(failing_program)}, nullptr, "", "", "old-program-started"},
        {"altered byte", response{200, altered}, response{200, signature}, "signature does not verify"},
        {"signature by another key", release, response{200, keys->sign(new_program, "other")},
         "signature does not verify"},
        {"missing signature", release, std::nullopt, "Varnold.minisig: server answered 404"},
        {"truncated signature", release, response{200, signature.substr(0, 120)}, "signature does not verify"},
        {"no installed key", release, response{200, signature}, "no update key", "", keys->path("none.pub")},
        {"cut-off download", response{200, new_program, delivery::cut}, response{200, signature},
         "Varnold: transfer closed"},
        {"endless stream", response{200, std::string(1 << 20, 'x'), delivery::endless}, response{200, signature},
         "Varnold: larger than 64 MB"},
        {"redirect to another host", response{302, "", delivery::whole, server.url(served_path, "localhost")},
         response{200, signature}, "redirect to another server refused"},
        {"empty file", response{200, ""}, response{200, signature}, "Varnold: empty file"},
        {"404", std::nullopt, response{200, signature}, "Varnold: server answered 404"},
        {"unreachable server", release, response{200, signature}, "Failed to connect",
         "http://127.0.0.1:" + std::to_string(closed_port) + served_path},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        reset_installed();
        const std::pair<std::string, std::optional<response>> routes[] = {{served_path, r.program},
                                                                          {served_path + ".minisig", r.signature}};
        for (const auto& [path, answer] : routes) answer ? server.answer(path, *answer) : server.forget(path);
        self_update::settings each = s;
        each.url = r.url.empty() ? s.url : r.url;
        each.public_key = r.key.empty() ? s.public_key : r.key;
        std::atomic<bool> cancel{false};
        const std::string failure = self_update::install(each, {}, cancel);
        EXPECT_TRUE(entries(download_dir).empty());
        EXPECT_EQ(fs::status(download_dir).permissions(), fs::perms::owner_all);
        if (r.failure != nullptr) {
            EXPECT_NE(failure.find(r.failure), std::string::npos) << self_update::failure_line(failure);
            EXPECT_EQ(read_file(installed), old_program);
            EXPECT_EQ(entries(install_dir), (std::set<std::string>{"Varnold", "tmp"}));
            continue;
        }
        ASSERT_EQ(failure, "");
        EXPECT_EQ(read_file(installed), r.program->body);
        EXPECT_EQ(read_file(install_dir / "Varnold.old"), old_program);
        EXPECT_EQ(fs::status(installed).permissions(), fs::perms(0755));
        EXPECT_EQ(self_update::start_installed(each), "");
        const std::string started = wait_for_line(install_dir / r.started);
        ASSERT_NE(started, "");
        if (r.program->body == new_program) {
            EXPECT_EQ(started, install_dir.string() + " ./Varnold\n");
        }
    }
    // A restart started by mistake would have run by now.
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(fs::exists(install_dir / "new-program-started"));
}

}  // namespace
