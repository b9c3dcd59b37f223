// The self-update against a web server on loopback, temporary folders and throwaway
// minisign keys; the releases are small shell programs, started on trial by the real launcher.
#include "self_update.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <set>
#include <tuple>

#include "local_http_server.h"

namespace {

namespace fs = std::filesystem;
using http_test::delivery;
using http_test::read_file;
using http_test::response;
using namespace std::chrono_literals;

const std::string served_path = "/f/083-146-Varnold/Varnold";
// The program known to start: it notes the line the launcher handed it.
const std::string old_program = "#!/bin/sh\necho \"started: $VARNOLD_UPDATE_NOTE\" > old-program-started\n";
const std::string new_program = "#!/bin/sh\nexec " TRIAL_PROGRAM "\n";

bool wait_for(const std::function<bool()>& condition) {  // up to 30 s; asks once per check
    bool met = false;
    for (int i = 0; i < 1500 && !(met = condition()); ++i) std::this_thread::sleep_for(20ms);
    return met;
}

// The names of the processes working in folder.
std::multiset<std::string> running_in(const fs::path& folder) {
    std::multiset<std::string> names;
    for (const auto& process : fs::directory_iterator("/proc")) {
        std::error_code ignored;
        if (fs::read_symlink(process.path() / "cwd", ignored) == folder)
            names.insert(read_file((process.path() / "comm").string()));
    }
    return names;
}

class SelfUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(download_dir);
        http_test::make_key(good);
        s.url = server.url(served_path);
        s.download_dir = download_dir.string() + "/";
        s.installed_program = installed.string();
        s.public_key = good + ".pub";
        s.running_version = "1.0.0";
        s.launcher = VARNOLD_LAUNCHER;
        s.transfer_deadline_ms = 60'000;
        s.max_program_bytes = 1 << 20;
    }
    void TearDown() override { fs::remove_all(root); }

    // A folder with only the known-good program, and the release served with its signature.
    void serve(const response& program, const response& signature) {
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path() != download_dir) fs::remove(entry.path());
        std::ofstream(installed, std::ios::trunc) << old_program;
        fs::permissions(installed, fs::perms(0755));
        server.answer(served_path, program);
        server.answer(served_path + ".minisig", signature);
    }
    response signed_by_good(const std::string& program, const std::string& version = "version:1.1.0") {
        return {200, http_test::signature(program, good, "", version)};
    }

    std::string pattern = (fs::temp_directory_path() / "self-update-XXXXXX").string();
    const fs::path root = ::mkdtemp(pattern.data()) ? pattern : "/nonexistent";
    const fs::path folder = root / "Documents dir", download_dir = folder / "tmp", installed = folder / "Varnold";
    const std::string good = (root / "good").string();
    http_test::local_http_server server;
    self_update::settings s;
};

// What is downloaded is staged only when its signature verifies, its signed version is newer
// and it has not failed before; otherwise the folder keeps just the program that starts.
TEST_F(SelfUpdate, OnlyAVerifiedNewerReleaseIsStaged) {
    const std::string other = (root / "other").string(), bad_key = (root / "bad.pub").string();
    http_test::make_key(other);
    std::ofstream(bad_key) << "untrusted comment: not a key\nRWnot-base64\n";
    fs::permissions(download_dir, fs::perms::all);  // the station narrows it to its own
    const response release{200, new_program}, signed_release = signed_by_good(new_program);
    std::string altered = new_program;
    altered[12] ^= 0x01;
    int silent_port = 0;
    const int silent = http_test::listening_socket(silent_port);  // takes connections, never answers
    server.answer("/moved", {302, "", delivery::whole, s.url});
    server.answer("/moved.minisig", {302, "", delivery::whole, s.url + ".minisig"});

    struct row {
        const char* name;
        response program, signature;  // served at the URL and at the URL + ".minisig"
        std::string failure;          // the reason; empty when it is staged
        std::function<void(self_update::settings&)> change = {};
    };
    const std::vector<row> rows = {
        {"signed release", release, signed_release, ""},
        {"legacy signature", release, {200, http_test::signature(new_program, good, "-l", "version:1.0.1")}, ""},
        {"redirect on the same server", release, signed_release, "",
         [&](self_update::settings& c) { c.url = server.url("/moved"); }},
        {"altered byte", {200, altered}, signed_release, "signature does not verify"},
        {"signature by another key", release, {200, http_test::signature(new_program, other)},
         "signature does not verify"},
        {"older release", release, signed_by_good(new_program, "version:0.9.9"), "0.9.9 is not newer than 1.0.0"},
        {"no signed version", release, signed_by_good(new_program, "built on Monday"),
         "the signature names no version: built on Monday"},
        {"release that failed before", release, signed_release, "1.1.0 failed at its last start; it is kept as Varnold.failed",
         [&](self_update::settings&) { std::ofstream(folder / "Varnold.failed") << new_program; }},
        {"verifier missing", release, signed_release,
         "cannot run the signature check /nonexistent/minisign: No such file or directory",
         [](self_update::settings& c) { c.verifier = "/nonexistent/minisign"; }},
        {"no installed key", release, signed_release, "no update key /nonexistent.pub: No such file or directory",
         [](self_update::settings& c) { c.public_key = "/nonexistent.pub"; }},
        {"damaged key", release, signed_release, "update key " + bad_key + " is not a minisign public key",
         [&](self_update::settings& c) { c.public_key = bad_key; }},
        {"missing signature", release, {404}, "Varnold.minisig: server answered 404"},
        {"cut-off download", {200, new_program, delivery::cut}, signed_release, "Varnold: transfer closed"},
        {"endless stream", {200, std::string(1 << 16, 'x'), delivery::endless}, signed_release,
         "Varnold: larger than 1 MB"},
        {"redirect to another host", {302, "", delivery::whole, server.url(served_path, "localhost")}, signed_release,
         "redirect to another server refused"},
        {"empty file", {200, ""}, signed_release, "Varnold: empty file"},
        {"silent server", release, signed_release, "Operation timed out",
         [&](self_update::settings& c) {
             c.url = "http://127.0.0.1:" + std::to_string(silent_port) + served_path;
             c.transfer_deadline_ms = 1000;
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        serve(r.program, r.signature);
        self_update::settings chosen = s;
        if (r.change) r.change(chosen);
        const std::set<fs::path> before(fs::directory_iterator(folder), {});
        const std::string failure = self_update::install(chosen, {}, std::atomic<bool>{false});
        EXPECT_TRUE(fs::is_empty(download_dir));
        EXPECT_EQ(fs::status(download_dir).permissions(), fs::perms::owner_all);
        EXPECT_EQ(read_file(installed), old_program);
        std::set<fs::path> after(fs::directory_iterator(folder), {});
        if (r.failure.empty()) {
            EXPECT_EQ(failure, "");
            EXPECT_EQ(read_file(installed.string() + ".new"), r.program.body);
            EXPECT_EQ(fs::status(installed.string() + ".new").permissions(), fs::perms(0755));
            after.erase(installed.string() + ".new");
        } else {
            EXPECT_NE(failure.find(r.failure), std::string::npos) << self_update::failure_line(failure);
        }
        EXPECT_EQ(after, before);
    }
    ::close(silent);
}

// Started on trial, a release becomes the program only once it is up; one that ends, crashes
// or hangs first is kept aside and the program that starts runs again, told why.
TEST_F(SelfUpdate, TheLauncherKeepsOnlyAReleaseThatComesUp) {
    ::setenv("VARNOLD_TRIAL_TIME", "1", 1);  // the hanging release is given up quickly
    struct row {
        const char* name;
        std::string release;
        const char* runs;  // the note of the program that runs in the end
        const char* line;  // what it was told
        bool lock_held = false;  // the old station keeps the folder a while
    };
    const std::vector<row> rows = {
        {"comes up", new_program, "new-program-started", "Updated to "},
        {"needs the folder the old station still holds", new_program, "new-program-started", "Updated to ", true},
        {"ends with a failure", "#!/bin/sh\nexit 3\n", "old-program-started", "ended at start (status 3)"},
        {"crashes", "#!/bin/sh\nkill -SEGV $$\n", "old-program-started", "crashed at start (signal 11)"},
        {"hangs", "#!/bin/sh\nexec sleep 600\n", "old-program-started", "did not come up within 1 s"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        serve({200, r.release}, signed_by_good(r.release));
        ASSERT_EQ(self_update::install(s, {}, std::atomic<bool>{false}), "");
        const int lock = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // as the station locks it
        ASSERT_EQ(r.lock_held ? ::flock(lock, LOCK_EX) : 0, 0);
        ASSERT_EQ(self_update::restart(s), "");
        if (r.lock_held) {
            // Nothing starts while the closing station holds the folder, however long it takes.
            ASSERT_TRUE(wait_for([&] { return running_in(folder).count("flock\n") > 0; }));
            EXPECT_FALSE(fs::exists(folder / r.runs));
            ::flock(lock, LOCK_UN);
        }
        ::close(lock);
        // The launcher (this process's child) has ended with what it started: nothing else moves a file.
        ASSERT_TRUE(wait_for([] { return ::waitpid(-1, nullptr, WNOHANG) > 0; }));
        EXPECT_NE(read_file((folder / r.runs).string()).find(r.line), std::string::npos) << read_file((folder / r.runs).string());
        EXPECT_FALSE(fs::exists(folder / "Varnold.new"));
        const bool came_up = std::string(r.runs) == "new-program-started";
        // The program on disk is one that starts; the one it replaced stays within reach.
        EXPECT_EQ(read_file(installed), came_up ? r.release : old_program);
        EXPECT_EQ(read_file(folder / "Varnold.old"), came_up ? old_program : "");
        EXPECT_EQ(read_file(folder / "Varnold.failed"), came_up ? "" : r.release);
    }
    ::unsetenv("VARNOLD_TRIAL_TIME");
}

// Written out here, not taken from the code, so a one-token slip in either place shows; the
// launcher looks for the staged, failed and previous programs under the same names.
TEST(SelfUpdateText, TheStationUsesItsFixedLocations) {
    const self_update::settings s = self_update::station_settings();
    const std::string program = s.installed_program;
    for (const auto& [used, fixed] : std::vector<std::pair<std::string, const char*>>{
             {s.url, "http://downloads.station-maker.example/f/083-146-Varnold/Varnold"},
             {s.url + self_update::signature_suffix,
              "http://downloads.station-maker.example/f/083-146-Varnold/Varnold.minisig"},
             {s.download_dir, "/home/merto/Documents/tmp/"}, {program, "/home/merto/Documents/Varnold"},
             {self_update::candidate_of(program), "/home/merto/Documents/Varnold.new"},
             {self_update::failed_of(program), "/home/merto/Documents/Varnold.failed"},
             {self_update::previous_of(program), "/home/merto/Documents/Varnold.old"},
             {s.public_key, "/etc/varnold/update.pub"}, {s.verifier, "/usr/bin/minisign"}})
        EXPECT_EQ(used, fixed);
}

TEST(SelfUpdateText, VersionsCompareAsDottedNumbers) {
    const std::vector<std::tuple<const char*, const char*, bool>> rows = {
        {"1.10.0", "1.9.2", true}, {"1.0.1", "1.0", true}, {"2", "1.99.99", true},   {"1.0", "1.0.0", false},
        {"1.0.0", "1.0.0", false}, {"0.9", "1.0", false},  {"1..2", "1.0", false}, {"1.2.", "1.0", false},
        {"1.2a", "1.0", false},    {"", "1.0", false},     {"2.0", "", false},
    };
    for (const auto& [a, b, newer] : rows) EXPECT_EQ(version::newer(a, b), newer) << a << " than " << b;
}

TEST(SelfUpdateText, TheSignedVersionIsTheTrustedCommentsVersionField) {
    for (const auto& [comment, named] : std::vector<std::pair<const char*, const char*>>{
             {"timestamp:1765000000\tfile:Varnold\tversion:1.2.3\n", "1.2.3"}, {"version:2.0 by the workshop", "2.0"},
             {"version:", ""}, {"file:Varnold", ""}, {"subversion:1.2", ""}, {"x\nversion:1.2", ""}})
        EXPECT_EQ(self_update::signed_version(comment), named) << comment;
}

}  // namespace
