// The self-update against a web server on loopback, temporary folders and throwaway
// minisign keys. The releases are small shell programs that note how they were started.
#include "self_update.h"

#include <filesystem>

#include "local_http_server.h"

namespace {

namespace fs = std::filesystem;
using http_test::delivery;
using http_test::read_file;
using http_test::response;

const std::string served_path = "/f/083-146-Varnold/Varnold";
const std::string old_program = "#!/bin/sh\necho \"$(pwd) $0\" >> old-program-started\n";
const std::string new_program = "#!/bin/sh\necho \"$(pwd) $0\" > new-program-started\n";
const std::string failing_program = "#!/bin/sh\nexit 3\n";
const char* const fresh = "new-program-started";

class SelfUpdate : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("HOME", root.c_str(), 1); }  // the start folder is "~/..."
    void TearDown() override {
        ::setenv("HOME", saved_home.c_str(), 1);
        fs::remove_all(root);
    }
    const std::string saved_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    std::string pattern = (fs::temp_directory_path() / "self-update-XXXXXX").string();
    const fs::path root = ::mkdtemp(pattern.data()) ? pattern : "/nonexistent";
};

TEST_F(SelfUpdate, OnlyAVerifiedReleaseIsInstalledAndStarted) {
    const fs::path install_dir = root / "Documents dir", download_dir = install_dir / "tmp";
    const fs::path installed = install_dir / "Varnold";
    fs::create_directories(download_dir);
    fs::permissions(download_dir, fs::perms::all);  // the station narrows it to its own
    const std::string good = (root / "good").string(), other = (root / "other").string();
    http_test::make_key(good);
    http_test::make_key(other);
    http_test::local_http_server server;
    const std::string url = server.url(served_path);
    const response release{200, new_program}, signed_release{200, http_test::signature(new_program, good)};
    std::string altered = new_program;
    altered[12] ^= 0x01;
    int silent_port = 0;
    const int silent = http_test::listening_socket(silent_port);  // takes connections, never answers
    server.answer("/moved", {302, "", delivery::whole, url});
    server.answer("/moved.minisig", {302, "", delivery::whole, url + ".minisig"});

    struct row {
        const char* name;
        response program, signature;  // served at the URL and at the URL + ".minisig"
        const char* failure;          // part of the reason; null when it installs
        const char* started = fresh;  // what the restart leaves in the start folder
        std::string url = "", key = "";  // empty: the served release and the good key
    };
    const std::vector<row> rows = {
        {"signed release", release, signed_release, nullptr},
        {"legacy signature", release, {200, http_test::signature(new_program, good, "-l")}, nullptr},
        {"redirect on the same server", release, signed_release, nullptr, fresh, server.url("/moved")},
        {"release that fails at start", {200, failing_program}, {200, http_test::signature(failing_program, good)},
         nullptr, "old-program-started"},
        {"altered byte", {200, altered}, signed_release, "signature does not verify"},
        {"signature by another key", release, {200, http_test::signature(new_program, other)},
         "signature does not verify"},
        {"missing signature", release, {404}, "Varnold.minisig: server answered 404"},
        {"no installed key", release, signed_release, "no update key", fresh, "", (root / "none.pub").string()},
        {"cut-off download", {200, new_program, delivery::cut}, signed_release, "Varnold: transfer closed"},
        {"endless stream", {200, std::string(1 << 20, 'x'), delivery::endless}, signed_release,
         "Varnold: larger than 64 MB"},
        {"redirect to another host", {302, "", delivery::whole, server.url(served_path, "localhost")}, signed_release,
         "redirect to another server refused"},
        {"empty file", {200, ""}, signed_release, "Varnold: empty file"},
        {"404", {404}, signed_release, "Varnold: server answered 404"},
        {"silent server", release, signed_release, "Operation timed out", fresh,
         "http://127.0.0.1:" + std::to_string(silent_port) + served_path},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        for (const char* name : {"Varnold.old", "old-program-started", "new-program-started"})
            fs::remove(install_dir / name);
        std::ofstream(installed, std::ios::trunc) << old_program;
        fs::permissions(installed, fs::perms(0755));
        server.answer(served_path, r.program);
        server.answer(served_path + ".minisig", r.signature);
        self_update::settings s;
        s.url = r.url.empty() ? url : r.url;
        s.download_dir = download_dir.string() + "/";
        s.installed_program = installed.string();
        s.start_dir = "~/Documents dir";  // the space and the "~" take the start folder through the shell
        s.public_key = r.key.empty() ? good + ".pub" : r.key;
        s.transfer_deadline_ms = 3000;
        s.restart_delay_s = 0;
        const std::string failure = self_update::install(s, {}, std::atomic<bool>{false});
        EXPECT_TRUE(fs::is_empty(download_dir));
        EXPECT_EQ(fs::status(download_dir).permissions(), fs::perms::owner_all);
        if (r.failure != nullptr) {
            EXPECT_NE(failure.find(r.failure), std::string::npos) << self_update::failure_line(failure);
            EXPECT_EQ(read_file(installed), old_program);
            EXPECT_EQ(std::distance(fs::directory_iterator(install_dir), {}), 2) << "only Varnold and tmp";
            continue;
        }
        ASSERT_EQ(failure, "");
        EXPECT_EQ(read_file(installed), r.program.body);
        EXPECT_EQ(read_file(install_dir / "Varnold.old"), old_program);
        EXPECT_EQ(fs::status(installed).permissions(), fs::perms(0755));
        EXPECT_EQ(self_update::start_installed(s), "");
        const fs::path note = install_dir / r.started;
        for (int i = 0; i < 500 && read_file(note).find('\n') == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // The fallback is the previous program, started from the same folder.
        EXPECT_EQ(read_file(note), install_dir.string() + (r.started == fresh ? " ./Varnold\n" : " ./Varnold.old\n"));
    }
    ::close(silent);
}

}  // namespace
