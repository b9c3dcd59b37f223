// The record file when it cannot be written, when it is damaged, and its export command.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <sqlite3.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include "a_records.h"
#include "records_summary.h"
#include "sqlite_rows.h"

namespace {

namespace fs = std::filesystem;

class Records : public ::testing::Test {
protected:
    void TearDown() override {
        if (mounted) umount2(dir.c_str(), MNT_DETACH);
        fs::remove_all(dir);
    }
    std::unique_ptr<a_records> open_store(const std::string& path) {
        auto store = std::make_unique<a_records>(path, [this](const std::string& line) { log.push_back(line); });
        store->open();
        return store;
    }
    std::string pattern = "/tmp/varnold-records-XXXXXX";
    const std::string dir = mkdtemp(pattern.data()) ? pattern : "/nonexistent";
    std::vector<std::string> log;
    bool mounted = false;
};

// The station keeps going when the file is damaged, locked or its disk full: one line with
// the reason, and every event in the file, in order, once it takes them again.
TEST_F(Records, EventsOfAnOutageArriveWhenTheFileIsWritableAgain) {
    // Only root can mount a file system small enough to fill.
    mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") == 0;
    const std::string damaged(8192, '#');
    const std::pair<std::string, std::string> rows[] = {
        {"damaged", "moved aside to"}, {"locked", "database is locked"}, {"full", "database or disk is full"}};
    for (const auto& [what, reason] : rows) {
        SCOPED_TRACE(what);
        const std::string db = dir + "/" + what + ".db";
        if (what == "full" && !mounted) GTEST_SKIP() << "no tmpfs to fill: not root";
        if (what == "damaged") std::ofstream(db, std::ios::binary) << damaged;
        log.clear();
        auto store = open_store(db);
        store->add(records::link_event("before"));
        sqlite3* holder = nullptr;
        if (what == "locked") {
            sqlite3_open(db.c_str(), &holder);
            ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        } else if (what == "full") {
            std::ofstream filler(dir + "/filler", std::ios::binary);
            const std::string block(4096, 'x');
            while (filler.write(block.data(), 4096) && filler.flush()) {}
        }
        for (int i = 0; i < 5; ++i) store->add(records::link_event("during " + std::to_string(i)));
        EXPECT_EQ(store->pending(), what == "damaged" ? 0u : 5u);
        ASSERT_EQ(log.size(), 1u) << "one line per outage";
        EXPECT_NE(log[0].find(reason), std::string::npos) << log[0];

        sqlite3_close(holder);  // rolls the holder's transaction back
        fs::remove(dir + "/filler");
        store->add(records::link_event("after"));
        EXPECT_EQ(store->pending(), 0u);
        EXPECT_EQ(sqlite_rows(db, "SELECT group_concat(detail, ',') FROM events"),
                  std::vector<std::string>{"before,during 0,during 1,during 2,during 3,during 4,after"});
        EXPECT_EQ(log.size(), 1u);
        if (what != "damaged") continue;
        std::vector<std::string> aside;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().string().rfind(db + ".damaged-", 0) == 0) aside.push_back(entry.path());
        ASSERT_EQ(aside.size(), 1u);
        std::ifstream kept(aside[0], std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), damaged) << "the damaged file is kept as it was";
        EXPECT_NE(log[0].find("moved aside to " + aside[0] + ","), std::string::npos) << log[0];
    }
}

// The command's standard error and, unless the arguments send it elsewhere, its output;
// before is shell text that runs first (a limit, a change of user).
std::string run(const std::string& arguments, int* status = nullptr, const std::string& before = "") {
    std::string output;
    FILE* pipe = popen((before + VARNOLD_RECORDS + " 2>&1 " + arguments).c_str(), "r");
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int ended = pclose(pipe);
    if (status != nullptr) *status = WIFEXITED(ended) ? WEXITSTATUS(ended) : 128 + WTERMSIG(ended);
    return output;
}

// The station keeps the file open (its rows still in the write-ahead log) while the
// command reads it.
TEST_F(Records, ExportAndSummaryOfAKnownFileWhileTheStationHasItOpen) {
    auto store = open_store(dir + "/Records.db");
    auto tick = std::chrono::system_clock::from_time_t(1796569200);  // 2026-12-06T15:00:00Z
    store->now = [&tick] { return tick += std::chrono::milliseconds(1500); };
    store->host = "station-7";
    const records::type_values type{1, "T100", {100.0f, 2.5f, -0.4f, 0.0f}};
    store->add(records::positioning(records::kind::positioned, type, {95, 2, 0, 0}));
    store->add(records::positioning(records::kind::left, type, {std::nullopt, 2, 0, 0}));
    store->add(records::positioning(records::kind::positioned, type, {105, 2, std::nullopt, 0}));
    store->add(records::positioning(records::kind::positioned, {2, "=2+2", {0, 0, 0, 0}}, {1, 0, 0, 0}));
    store->add(records::catalogue_changes(type, {1, "Uj, \"nev\"", {105.0f, 2.5f, -0.4f, 0.0f}}, "Mentes"));
    const std::string db = "--db " + dir + "/Records.db";
    const std::string header = "id,kind,ts_utc,host,type_id,type_name,target_x,target_y,target_alpha,target_beta,"
                               "actual_x,actual_y,actual_alpha,actual_beta,field,old_value,new_value,detail\n";
    EXPECT_EQ(run(db + " --csv --since 2026-12-06T15:00:03 --until 2026-12-06T15:00:06.000"),
              header + "2,left,2026-12-06T15:00:03.000Z,station-7,1,T100,100,2.5,-0.4000000059604645,0,,2,0,0,,,,\n"
                       "3,positioned,2026-12-06T15:00:04.500Z,station-7,1,T100,100,2.5,-0.4000000059604645,0,105,2,,0,"
                       ",,,\n4,positioned,2026-12-06T15:00:06.000Z,station-7,2,'=2+2,0,0,0,0,1,0,0,0,,,,\n");
    EXPECT_EQ(run(db + " --csv --kind catalogue --type 1"),
              header + "5,catalogue,2026-12-06T15:00:07.500Z,station-7,1,\"Uj, \"\"nev\"\"\",105,2.5,-0.4000000059604645,"
                       "0,,,,,name,T100,\"Uj, \"\"nev\"\"\",Mentes\n6,catalogue,2026-12-06T15:00:09.000Z,station-7,1,"
                       "\"Uj, \"\"nev\"\"\",105,2.5,-0.4000000059604645,0,,,,,X,100,105,Mentes\n");
    EXPECT_EQ(run(db + " --summary --type T100"),
              "type_id   type_name             row     count        mean     std_dev         min         max        cp       cpk\n"
              "1         T100                  X           2       0.000       7.071      -5.000       5.000      0.47      0.47  too few\n"
              "1         T100                  Y           2       0.500       0.000       0.500       0.500         -         -  too few\n"
              "1         T100                  alpha       1      -0.400       0.000      -0.400      -0.400         -         -  too few\n"
              "1         T100                  beta        2       0.000       0.000       0.000       0.000         -         -  too few\n");
    EXPECT_EQ(store->pending(), 0u);
}

// Every way the export can fail ends it non-zero with the reason; read-only places are read.
TEST_F(Records, ExportFailuresSayWhyAndReadOnlyPlacesAreRead) {
    const bool root = geteuid() == 0;
    if (root) mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") == 0;
    auto store = open_store(dir + "/Records.db");
    for (int i = 0; i < 30; ++i)
        store->add(records::positioning(records::kind::positioned, {i < 10 ? 12 : i < 20 ? 5 : 3, i < 10 ? "T" : i < 20 ? "12" : "x;=1+1", {}}, {}));
    store.reset();  // closed: the write-ahead log is folded in and removed, as on a backup medium
    fs::permissions(dir, fs::perms(0555));
    if (mounted) mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
    const std::string db = " --db " + dir + "/Records.db", nobody = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    struct export_case { const char* label; std::string arguments, before; int status; std::string says; };
    const std::vector<export_case> cases = {
        {"full device", db + " --csv >/dev/full", "", 1, "varnold-records: standard output: No space left on device\n"},
        {"file-size limit", db + " --csv >" + testing::TempDir() + "varnold-records-limited.csv", "ulimit -f 1; ", 1, "standard output: File too large\n"},
        {"read-only medium", db + " --csv --type 5", "", 0, "\n11,positioned,"},
        {"read-only folder", db + " --summary --type name:12", nobody, 0, "\n5         12   "},
        {"a folder", " --db " + dir + " --csv", "", 1, dir + ": Is a directory\n"},
        {"no such month", db + " --csv --since 2026-13-45", "", 2, "--since: not a time: 2026-13-45\n"},
        {"no such hour", db + " --csv --until 2026-12-06T25:61", "", 2, "--until: not a time: 2026-12-06T25:61\n"},
        {"no leap day", db + " --csv --since 2025-02-29", "", 2, "--since: not a time: 2025-02-29\n"},
        {"ID and name", db + " --csv --type 12", "", 1, "--type 12 is a type ID and also another type's name: give id:12 or name:12\n"},
        {"';' spreadsheet", db + " --csv --type 'x;=1+1'", "", 0, ",3,\"x;'=1+1\","},
    };
    for (const export_case& c : cases) {
        SCOPED_TRACE(c.label);
        int status = -1;
        const std::string output = run(c.arguments, &status, c.before);
        EXPECT_TRUE(status == c.status && output.find(c.says) != std::string::npos) << status << ": " << output;
    }
    std::error_code read_only_mount;
    fs::permissions(dir, fs::perms(0755), read_only_mount);
}

// A file of the first layout keeps its rows and becomes a journal of its own, able to hold bytes.
TEST_F(Records, AFileOfTheFirstLayoutIsUpgraded) {
    const std::string db = dir + "/Records.db";
    open_store(db)->add(records::link_event("old"));
    sqlite3* file = nullptr;
    sqlite3_open(db.c_str(), &file);
    ASSERT_EQ(sqlite3_exec(file, "DROP TABLE journal; ALTER TABLE events DROP COLUMN content; PRAGMA user_version = 1",
                           nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(file);
    open_store(db)->add(records::catalogue_file("Settings.dat", std::string("{}\0", 3)));
    EXPECT_EQ(sqlite_rows(db, "SELECT group_concat(detail || ':' || ifnull(length(content), '-')), "
                              "(SELECT length(journal_id) FROM journal), (SELECT user_version FROM pragma_user_version) FROM events"),
              std::vector<std::string>{"old:-,Settings.dat:3|32|2"});
    EXPECT_TRUE(log.empty()) << log[0];
}

// Cp and Cpk of a row against its tolerance T: 2T / 6s, and (T - |mean|) / 3s.
TEST(RecordsSummary, CapabilityOfARow) {
    records::statistics off_centre;
    for (int i = 0; i < 26; ++i) off_centre.add(i % 2 ? -5 : -3);
    const double s = std::sqrt(26.0 / 25.0);
    EXPECT_NEAR(off_centre.cp(10), 20 / (6 * s), 1e-12);
    EXPECT_NEAR(off_centre.cpk(10), 6 / (3 * s), 1e-12);
    off_centre.add(-1000);
    EXPECT_LT(off_centre.cpk(10), 0) << "a mean outside the band";
}

}  // namespace
