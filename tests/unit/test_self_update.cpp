// The self-update against a web server on loopback, temporary folders and throwaway
// minisign keys. The releases are small shell programs that note how they were started.
#include "self_update.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
const char* const fresh = "new-program-started";

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

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

class SelfUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HOME", root.c_str(), 1);
        fs::create_directories(download_dir);
        fs::permissions(download_dir, fs::perms::all);  // the station narrows it to its own
        for (const char* key : {"good", "other"})
            run("minisign -G -W -p " + key_file(key) + ".pub -s " + key_file(key) + ".key >/dev/null");
        s.url = server.url(served_path);
        s.download_dir = download_dir.string() + "/";
        s.installed_program = installed.string();
        s.start_dir = "~/Documents dir";  // the space and the "~" take the start folder through the shell
        s.public_key = key_file("good") + ".pub";
        s.transfer_deadline_ms = 3000;
        s.restart_delay_s = 0;
    }
    void TearDown() override {
        ::setenv("HOME", saved_home.c_str(), 1);
        fs::remove_all(root);
    }
    std::string key_file(const std::string& name) const { return (root / name).string(); }
    // A minisign signature of content by the named key; mode "-l" gives the legacy form.
    std::string signature(const std::string& content, const std::string& key = "good", const char* mode = "") {
        write_file(root / "release", content);
        run("minisign -S " + std::string(mode) + " -s " + key_file(key) + ".key -m " + key_file("release") +
            " </dev/null >/dev/null");
        return read_file(root / "release.minisig");
    }
    void reset_installed() {
        for (const char* name : {"Varnold.old", "old-program-started", "new-program-started"})
            fs::remove(install_dir / name);
        write_file(installed, old_program);
        fs::permissions(installed, fs::perms(0755));
    }

    const std::string saved_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    const fs::path root = temporary_folder();
    const fs::path install_dir = root / "Documents dir", download_dir = install_dir / "tmp";
    const fs::path installed = install_dir / "Varnold";
    http_test::local_http_server server;
    self_update::settings s;
};

TEST_F(SelfUpdate, OnlyAVerifiedReleaseIsInstalledAndStarted) {
    const response release{200, new_program}, signed_release{200, signature(new_program)}, none{404, ""};
    std::string altered = new_program;
    altered[12] ^= 0x01;
    int closed_port = 0, silent_port = 0;
    ::close(http_test::listening_socket(closed_port));
    const int silent = http_test::listening_socket(silent_port);  // takes connections, never answers
    server.answer("/moved", {302, "", delivery::whole, s.url});
    server.answer("/moved.minisig", {302, "", delivery::whole, s.url + ".minisig"});

    struct row {
        const char* name;
        response program, signature;  // served at the URL and at the URL + ".minisig"
        const char* failure;          // part of the reason; null when it installs
        const char* started = fresh;  // what the restart leaves in the start folder
        std::string url = "", key = "";  // empty: the served release and the good key
    };
    const std::vector<row> rows = {
        {"signed release", release, signed_release, nullptr},
        {"legacy signature", release, {200, signature(new_program, "good", "-l")}, nullptr},
        {"redirect on the same server", release, signed_release, nullptr, fresh, server.url("/moved")},
        {"release that fails at start", {200, failing_program}, {200, signature(failing_program)}, nullptr,
         "old-program-started"},
        {"altered byte", {200, altered}, signed_release, "signature does not verify"},
        {"signature by another key", release, {200, signature(new_program, "other")}, "signature does not verify"},
        {"missing signature", release, none, "Varnold.minisig: server answered 404"},
        {"truncated signature", release, {200, signed_release.body.substr(0, 120)}, "signature does not verify"},
        {"no installed key", release, signed_release, "no update key", fresh, "", key_file("none.pub")},
        {"cut-off download", {200, new_program, delivery::cut}, signed_release, "Varnold: transfer closed"},
        {"endless stream", {200, std::string(1 << 20, 'x'), delivery::endless}, signed_release,
         "Varnold: larger than 64 MB"},
        {"redirect to another host", {302, "", delivery::whole, server.url(served_path, "localhost")}, signed_release,
         "redirect to another server refused"},
        {"empty file", {200, ""}, signed_release, "Varnold: empty file"},
        {"404", none, signed_release, "Varnold: server answered 404"},
        {"unreachable server", release, signed_release, "Failed to connect", fresh,
         "http://127.0.0.1:" + std::to_string(closed_port) + served_path},
        {"silent server", release, signed_release, "Operation timed out", fresh,
         "http://127.0.0.1:" + std::to_string(silent_port) + served_path},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        reset_installed();
        server.answer(served_path, r.program);
        server.answer(served_path + ".minisig", r.signature);
        self_update::settings each = s;
        each.url = r.url.empty() ? s.url : r.url;
        each.public_key = r.key.empty() ? s.public_key : r.key;
        const std::string failure = self_update::install(each, {}, std::atomic<bool>{false});
        EXPECT_TRUE(entries(download_dir).empty());
        EXPECT_EQ(fs::status(download_dir).permissions(), fs::perms::owner_all);
        if (r.failure != nullptr) {
            EXPECT_NE(failure.find(r.failure), std::string::npos) << self_update::failure_line(failure);
            EXPECT_EQ(read_file(installed), old_program);
            EXPECT_EQ(entries(install_dir), (std::set<std::string>{"Varnold", "tmp"}));
            continue;
        }
        ASSERT_EQ(failure, "");
        EXPECT_EQ(read_file(installed), r.program.body);
        EXPECT_EQ(read_file(install_dir / "Varnold.old"), old_program);
        EXPECT_EQ(fs::status(installed).permissions(), fs::perms(0755));
        EXPECT_EQ(self_update::start_installed(each), "");
        const std::string started = wait_for_line(install_dir / r.started);
        EXPECT_EQ(started, r.started == fresh ? install_dir.string() + " ./Varnold\n" : started);
        EXPECT_NE(started, "");
    }
    ::close(silent);
}

}  // namespace
