// The catalogue file in every situation a workshop meets: what is on disk after a load and a
// save, and the log lines. Each situation runs in a child process without root's rights, so
// a read-only file or folder binds it as it binds the station's user.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "catalogue.h"

namespace fs = std::filesystem;

namespace {

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::vector<Type> catalogue_named(const char* name) {
    std::vector<Type> types(1);
    types[0].name = name;
    types[0].X = 1520.0f;
    return types;
}
const std::string on_disk = catalogue::to_json(catalogue_named("on disk"));
const std::string foreign = catalogue::to_json(catalogue_named("put there by a technician"));
const std::string station = catalogue::to_json(catalogue_named("the station's"));

const uid_t nobody = 65534;

// A folder owned by the user the situations run as.
struct work_folder {
    work_folder() {
        // nobody must reach it: a root-only TMPDIR would not do.
        const fs::path base = ::geteuid() == 0 ? fs::path("/tmp") : fs::temp_directory_path();
        std::string pattern = (base / "catalogue-file-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
        if (::geteuid() == 0 && ::chown(path.c_str(), nobody, nobody) != 0) ADD_FAILURE() << "chown";
    }
    ~work_folder() {
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(path);
    }
    std::vector<std::string> entries(const char* sub = ".") const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path / sub)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path path;
};

struct situation {
    const char* label;
    std::function<void()> before_load;
    std::function<void()> before_save;  // what happens while the station runs
    std::string load_line;
    std::string save_line;
    std::function<void(const work_folder&)> check;
    bool as_root = false;  // keeps root's rights where the test has them
};

// Loads and saves "Settings.dat" in the folder as the station does, without root's rights
// unless asked, twice: a first catalogue, then the station's. Gives back the load line and
// the second save's line, one after the other.
std::string run_station_steps(const work_folder& folder, const situation& s) {
    const std::string lines_file = folder.path.string() + ".lines";
    const pid_t child = ::fork();
    if (child == 0) {
        std::ofstream lines(lines_file);
        if (::geteuid() == 0 && !s.as_root && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
            ::_exit(3);
        if (::chdir(folder.path.c_str()) != 0) ::_exit(4);
        ::umask(022);
        if (s.before_load) s.before_load();
        catalogue::load_result loaded = catalogue::load("Settings.dat");
        if (s.before_save) s.before_save();
        catalogue::save("Settings.dat", catalogue_named("first"), loaded.seen);
        const catalogue::save_result saved = catalogue::save("Settings.dat", catalogue_named("the station's"), loaded.seen);
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};  // "no room" would spoil the lines too
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        lines << catalogue::load_message(loaded, "Settings.dat").utf8_string() << "\n"
              << catalogue::save_message(saved, "Settings.dat").utf8_string() << std::flush;
        ::_exit(lines.good() ? 0 : 5);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    const std::string lines = read_bytes(lines_file);
    fs::remove(lines_file);
    return lines;
}

// The file untouched, and one file beside it with the station's latest catalogue: the
// second save replaced the first one's copy.
std::function<void(const work_folder&)> kept_with_copy(const std::string& kept) {
    return [kept](const work_folder& folder) {
        const auto names = folder.entries();
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(read_bytes(folder.path / names[0]), kept);
        EXPECT_EQ(names[1].rfind("Settings.dat.station-copy-", 0), 0u) << names[1];
        EXPECT_EQ(read_bytes(folder.path / names[1]), station);
    };
}

std::string copy_line(const std::string& reason) {
    return "Settings file not saved: Settings.dat: " + reason + "; the station's catalogue is in: Settings.dat.station-copy-*";
}
const char* const changed_line =
    "Settings file changed on disk, kept: Settings.dat; the station's catalogue is in: Settings.dat.station-copy-*";
const std::string kept_line = copy_line("the file could not be loaded and is kept as it is");

}  // namespace

TEST(CatalogueFile, EachSituationKeepsWhatMustBeKeptAndSaysWhy) {
    const auto put = [](const std::string& bytes) { return [bytes] { write_bytes("Settings.dat", bytes); }; };
    const auto only = [](std::vector<std::string> names, std::string bytes) {
        return [names, bytes](const work_folder& folder) {
            EXPECT_EQ(folder.entries(), names);
            EXPECT_EQ(read_bytes(folder.path / "Settings.dat"), bytes);
        };
    };
    const std::string dead_save = ".Settings.dat.station-save-99999999-123456";
    const std::string living_save = ".Settings.dat.station-save-" + std::to_string(::getpid()) + "-654321";
    // The size limit from both sides: trailing blanks leave the JSON as it is.
    const std::string largest = on_disk + std::string(catalogue::largest_file - on_disk.size(), ' ');
    const std::string too_large = largest + ' ';
    const std::string too_deep = std::string(131072, '[');
    const std::string same_size = catalogue::to_json(catalogue_named("no disk"));  // only the time tells it apart
    const auto read_only = [] { write_bytes("Settings.dat", on_disk), fs::permissions("Settings.dat", fs::perms(0444)); };
    const std::vector<situation> situations = {
        {"missing", nullptr, nullptr, "Settings file not exist: Settings.dat", "", only({"Settings.dat"}, station)},
        {"loaded", put(on_disk), nullptr, "", "", only({"Settings.dat"}, station)},
        {"appeared", nullptr, put(foreign), "Settings file not exist: Settings.dat", changed_line, kept_with_copy(foreign)},
        {"changed", put(on_disk), put(foreign), "", changed_line, kept_with_copy(foreign)},
        {"changed in place, same size", put(on_disk), [&] { put(same_size)(), fs::last_write_time("Settings.dat",
         fs::last_write_time("Settings.dat") + std::chrono::seconds(1)); }, "", changed_line, kept_with_copy(same_size)},
        {"symlink", [] { fs::create_directory("share"), write_bytes("share/real.dat", on_disk),
                         fs::create_symlink("share/real.dat", "Settings.dat"); },
         nullptr, "", "", [](const work_folder& f) {
             EXPECT_TRUE(fs::is_symlink(f.path / "Settings.dat") && read_bytes(f.path / "share/real.dat") == station);
             EXPECT_EQ(f.entries("share"), std::vector<std::string>{"real.dat"}); }},
        {"dangling link", [] { fs::create_symlink("share/real.dat", "Settings.dat"); }, nullptr,
         "Settings file not readable: Settings.dat: symbolic link to a missing file", kept_line, [](const work_folder& f) {
             EXPECT_TRUE(fs::is_symlink(f.path / "Settings.dat")), kept_with_copy("")(f); }},
        {"read-only file, even for root", read_only, nullptr, "", copy_line("the file is read-only"), kept_with_copy(on_disk), true},
        {"read-only file and folder", [=] { read_only(), fs::permissions(".", fs::perms(0555)); }, nullptr, "", "Settings file not "
         "saved: Settings.dat: the file is read-only; no station copy could be written either: Permission denied", only({"Settings.dat"}, on_disk)},
        {"read-only folder", [] { write_bytes("Settings.dat", on_disk), fs::permissions(".", fs::perms(0555)); },
         nullptr, "", "Settings file saved in place, not atomic: Settings.dat: Permission denied",
         only({"Settings.dat"}, station)},
        {"no room", put(on_disk), [] { const rlimit small{50, RLIM_INFINITY}; ::signal(SIGXFSZ, SIG_IGN), ::setrlimit(RLIMIT_FSIZE, &small); },
         "", "Settings file not saved: Settings.dat: File too large; no station copy could be written either: File too large",
         only({"Settings.dat"}, on_disk)},
        {"leftovers", [&] { write_bytes("Settings.dat", on_disk), write_bytes(".Settings.dat.backup", "x"),
                            write_bytes(".Settings.dat.k1Lled", "x"), write_bytes(dead_save, "x"), write_bytes(living_save, "x"); },
         nullptr, "", "", only({".Settings.dat.backup", ".Settings.dat.k1Lled", living_save, "Settings.dat"}, station)},
        {"largest", put(largest), nullptr, "", "", only({"Settings.dat"}, station)},
        {"too large", put(too_large), nullptr, "Settings file not readable: Settings.dat: larger than 16 MB", kept_line,
         kept_with_copy(too_large)},
        {"too deep", put(too_deep), nullptr, "Json Pharse error: nested deeper than 32 levels", kept_line,
         kept_with_copy(too_deep)},
    };
    for (const situation& s : situations) {
        SCOPED_TRACE(s.label);
        work_folder folder;
        const std::string lines = run_station_steps(folder, s), expected = s.load_line + "\n" + s.save_line;
        const bool prefix = expected.back() == '*';  // a line ending in '*' is matched up to it
        EXPECT_EQ(prefix ? lines.substr(0, expected.size() - 1) : lines, prefix ? expected.substr(0, expected.size() - 1) : expected);
        s.check(folder);
    }
}

TEST(CatalogueFile, ReplacingKeepsModeAndWherePermittedOwner) {
    work_folder folder;
    const std::string path = (folder.path / "Settings.dat").string();
    write_bytes(path, on_disk);
    const bool root = ::geteuid() == 0;
    ASSERT_TRUE(::chmod(path.c_str(), 0640) == 0 && (!root || ::chown(path.c_str(), nobody, nobody) == 0));
    ASSERT_TRUE(catalogue::write_file_atomically(path, station).ok());
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    if (root) { EXPECT_EQ(info.st_uid, nobody) << "the file changed owner"; }
}
