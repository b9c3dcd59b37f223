// Delivery of the station's journal to a real PostgreSQL server, which the test run starts
// (PLANT_SERVER names its folder); the central read-back through varnold-records.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "a_records.h"
#include "journal_fill.h"
#include "plant_delivery.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string server() { return std::getenv("PLANT_SERVER") != nullptr ? std::getenv("PLANT_SERVER") : ""; }
std::string port() {
    std::string number;
    std::ifstream(server() + "/port") >> number;
    return number;
}
std::string conninfo(const std::string& user, const std::string& more = "sslmode=disable") {
    return "host=127.0.0.1 port=" + port() + " dbname=postgres user=" + user + " " + more;
}
std::string url(const std::string& database = "postgres") {
    return "postgresql://postgres@127.0.0.1:" + port() + "/" + database + "?sslmode=disable";
}

// The rows of a query run by the server's superuser, columns joined by '|'.
std::vector<std::string> central(const std::string& sql, const std::string& database = "postgres") {
    std::string error;
    plant::connection_ptr db = plant::connect(conninfo("postgres") + " dbname=" + database, error);
    plant::result_ptr rows = db ? plant::run(db.get(), {sql, {}, {}, {}}, error) : plant::result_ptr(nullptr, PQclear);
    if (!rows) return {"failed: " + error};
    std::vector<std::string> lines(static_cast<std::size_t>(PQntuples(rows.get())));
    for (int row = 0; row < PQntuples(rows.get()); ++row)
        for (int column = 0; column < PQnfields(rows.get()); ++column)
            lines[static_cast<std::size_t>(row)] += (column ? "|" : "") + std::string(PQgetvalue(rows.get(), row, column));
    return lines;
}

std::string output_of(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pipe != nullptr) pclose(pipe);
    return out;
}

bool eventually(const std::function<bool()>& condition) {
    for (auto until = std::chrono::steady_clock::now() + 90s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(20ms))
        if (condition()) return true;
    return false;
}

class Plant : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(server().empty()) << "PLANT_SERVER names the test server's folder";
        ASSERT_EQ(std::system((VARNOLD_RECORDS " --db '" + url() + "' --init >/dev/null").c_str()), 0);
        central("DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'station') THEN "
                "CREATE ROLE station LOGIN IN ROLE varnold_station; CREATE ROLE reader LOGIN IN ROLE varnold_reader;"
                " END IF; END $$");
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        settings = {conninfo("station"), test + std::to_string(getpid()), 20ms, 200ms, 50ms, 100};
    }
    void TearDown() override { fs::remove_all(dir); }

    std::unique_ptr<plant::delivery> start(const plant::config& plant) {
        auto shipper = std::make_unique<plant::delivery>(plant, journal, [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(log_mutex);
            log.push_back(line);
        });
        shipper->start();
        return shipper;
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(log_mutex);
        return log;
    }
    void fill(int rows) { EXPECT_EQ(fill_journal(journal, rows), ""); }
    std::int64_t delivered(const std::string& what = "count(*)") {
        return std::stoll(central("SELECT coalesce(" + what + ", 0) FROM varnold.events WHERE station = '" +
                                  settings.station + "'")[0]);
    }
    // Every row once, none missing: as many rows as the last row id, each id once.
    void expect_whole(std::int64_t rows) {
        EXPECT_EQ(delivered(), rows);
        EXPECT_EQ(delivered("max(row_id)"), rows);
        EXPECT_EQ(delivered("count(DISTINCT row_id)"), rows);
    }
    bool inserting() {
        return central("SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND query LIKE 'INSERT%'")[0] != "0";
    }

    std::string pattern = "/tmp/varnold-plant-XXXXXX";
    const std::string dir = mkdtemp(pattern.data()) ? pattern : "/nonexistent";
    const std::string journal = dir + "/Records.db";
    plant::config settings;
    std::mutex log_mutex;
    std::vector<std::string> log;
};

TEST(PlantConfig, TheFileAndWhatIsWrongWithIt) {
    const std::string path = "/tmp/varnold-plant-" + std::to_string(getpid()) + ".conf";
    const std::pair<std::string, std::string> cases[] = {
        {"connection = host=db dbname=plant # the line's database\nstation = line2", ""},
        {"connection = postgresql://db/plant", ""},
        {"station = line2", "no connection setting"},
        {"connection = host=db password=secret", "put it in the password file"},
        {"connection = postgresql://u:secret@db/plant", "put it in the password file"},
        {"connection = postgresql://db/plant?colour=blue", "invalid URI query parameter"},
        {"connection", ":1: expected key = value"},
        {"connection = host=db\nstatoin = x", ":2: unknown setting statoin"},
    };
    for (const auto& [text, error] : cases) {
        SCOPED_TRACE(text);
        std::ofstream(path) << text;
        const plant::config_result read = plant::read_config(path);
        EXPECT_NE(read.error.find(error), std::string::npos) << read.error;
        EXPECT_EQ(read.plant.has_value(), error.empty());
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(plant::read_config(path.substr(0, path.size() - 5)).error, "") << "no file, no plant";
    std::ofstream(path) << "connection = dbname=plant";
    EXPECT_EQ(plant::read_config(path).plant->station, host) << "the host name by default";
    fs::remove(path);
}

// Centrally, varnold-records shows exactly what it shows of the journal, the station in front.
TEST_F(Plant, DeliversTheJournalAsItIsOverVerifiedTlsAndReadsItBack) {
    settings.connection = "host=localhost port=" + port() + " dbname=postgres user=station sslmode=verify-full " +
                          "sslrootcert=" + server() + "/ca.crt";
    fill(40);
    const char bytes[] = "{\"types\": [\"\xc3\xa1\"]}\n\0\xff";
    const std::string catalogue(bytes, sizeof bytes - 1);
    {
        a_records records(journal);
        records.add(records::link_event("board lost, \"USB\""));
        records.add(records::catalogue_file("Settings.dat", catalogue));
        records.add(records::catalogue_file("Settings.dat", "older? no: the latest"));
        fill(3);
    }
    auto shipper = start(settings);
    ASSERT_TRUE(eventually([&] { return delivered() == 46; }));
    const std::string local_csv = output_of(VARNOLD_RECORDS " --csv --db " + journal);
    std::string central_csv;
    std::istringstream csv(output_of(VARNOLD_RECORDS " --csv --db '" + url() + "' --station " + settings.station));
    for (std::string line; std::getline(csv, line);) {
        EXPECT_TRUE(central_csv.empty() || line.rfind(settings.station + ",", 0) == 0) << line;
        central_csv += line.substr(line.find(',', line.find(',') + 1) + 1) + "\n";
    }
    EXPECT_EQ(central_csv, local_csv);
    EXPECT_EQ(output_of(VARNOLD_RECORDS " --summary --db '" + url() + "' --station " + settings.station),
              output_of(VARNOLD_RECORDS " --summary --db " + journal));
    EXPECT_EQ(output_of(VARNOLD_RECORDS " --catalogue --db '" + url() + "' --station " + settings.station),
              "older? no: the latest");
    central("DELETE FROM varnold.events WHERE station = '" + settings.station + "' AND new_value = '" +
            records::sha256_hex("older? no: the latest") + "'");
    EXPECT_EQ(output_of(VARNOLD_RECORDS " --catalogue --db '" + url() + "' --station " + settings.station), catalogue);
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(central("SELECT bool_and(ssl) FROM pg_stat_ssl JOIN pg_stat_activity USING (pid) WHERE usename = 'station'"),
              std::vector<std::string>{"t"});
}

// The server gone mid-batch, the journal growing meanwhile: one line when delivery stops, one
// when it resumes, and every row once.
TEST_F(Plant, ABacklogOutlivesTheServerGoingDown) {
    fill(5000);
    auto shipper = start(settings);
    ASSERT_TRUE(eventually([&] { return inserting(); }));
    ASSERT_EQ(std::system(("bash " THROWAWAY_POSTGRES " stop " + server() + " immediate").c_str()), 0);
    fill(2000);
    ASSERT_TRUE(eventually([&] { return shipper->failures() >= 5; }));
    ASSERT_EQ(std::system(("bash " THROWAWAY_POSTGRES " start " + server() + " >/dev/null").c_str()), 0);
    ASSERT_TRUE(eventually([&] { return delivered() == 7000; }));
    expect_whole(7000);
    const std::vector<std::string> logged = lines();
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].rfind("Plant delivery stopped, the journal keeps the rows: ", 0), 0u) << logged[0];
    EXPECT_EQ(logged[1], "Plant delivery resumed");
}

// The station killed while a batch is on its way, twice; and two shippers of one journal at once.
TEST_F(Plant, NoRowIsLostOrDeliveredTwiceByAKillOrASecondShipper) {
    fill(20000);
    for (int kill = 0; kill < 2; ++kill) {
        const pid_t child = fork();
        if (child == 0)
            _exit(execl("/proc/self/exe", "plant_tests", "--deliver", settings.connection.c_str(),
                        settings.station.c_str(), journal.c_str(), nullptr));
        const std::int64_t before = delivered();
        const bool mid_batch = eventually([&] { return delivered() > before && inserting(); });
        ::kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        ASSERT_TRUE(mid_batch);
        // The server ends the dead client's statement on its own (commit or roll back): look after.
        ASSERT_TRUE(eventually([&] { return !inserting(); }));
        EXPECT_EQ(delivered() % 100, 0) << "whole batches only";
        EXPECT_EQ(delivered("max(row_id)"), delivered()) << "in order";
    }
    auto one = start(settings);
    auto two = start(settings);
    ASSERT_TRUE(eventually([&] { return delivered() == 20000; }));
    plant::journal_batch first;
    std::string error;
    ASSERT_TRUE(plant::read_journal(journal, 0, 100, first, error)) << error;
    plant::connection_ptr db = plant::connect(settings.connection, error);
    ASSERT_TRUE(db && plant::run(db.get(), plant::insert_query(settings.station, first), error)) << error;
    expect_whole(20000);
}

// Delivery that cannot happen says why once, however often it is tried, and keeps the journal.
TEST_F(Plant, RefusedDeliveryIsOneLineAndKeepsTheJournal) {
    central("DROP DATABASE IF EXISTS newer");
    central("CREATE DATABASE newer");
    ASSERT_EQ(std::system((VARNOLD_RECORDS " --db '" + url("newer") + "' --init >/dev/null").c_str()), 0);
    central("UPDATE varnold.schema_version SET version = 2", "newer");
    const std::pair<std::string, std::string> cases[] = {
        {conninfo("reader"), "permission denied for table events"},
        {"postgresql://station@127.0.0.1:1/postgres", "Connection refused"},
        {conninfo("station", "sslmode=verify-full sslrootcert=" + server() + "/ca.crt"), "certificate"},
        {conninfo("station") + " dbname=newer", "schema is version 2, newer than this program's 1"},
    };
    fill(10);
    for (const auto& [connection, reason] : cases) {
        SCOPED_TRACE(reason);
        settings.connection = connection;
        log.clear();
        auto shipper = start(settings);
        ASSERT_TRUE(eventually([&] { return shipper->failures() >= 4; }));
        shipper->stop();
        ASSERT_EQ(lines().size(), 1u);
        EXPECT_NE(lines()[0].find(reason), std::string::npos) << lines()[0];
        EXPECT_EQ(delivered(), 0);
    }
    EXPECT_NE(output_of(VARNOLD_RECORDS " --csv --db '" + url("newer") + "' 2>&1").find("newer"), std::string::npos);
}

}  // namespace

int main(int argc, char** argv) {
    // The station stand-in the kill test starts: delivers the journal until it is killed.
    if (argc == 5 && std::string(argv[1]) == "--deliver") {
        plant::delivery shipper({argv[2], argv[3], 20ms, 200ms, 50ms, 100}, argv[4], {});
        shipper.start();
        for (;;) pause();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
