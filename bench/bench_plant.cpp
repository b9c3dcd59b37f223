// Delivery to the plant's database, against a server given by its connection string (the
// superuser's; bench/plant.sh starts a throwaway one):
//   bench_plant lag CONNECTION [STATIONS] [SECONDS]   each station one event a second; the
//                                                     delay from the event to the server
//   bench_plant backlog CONNECTION [ROWS]             a backlog delivered after an outage
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "a_records.h"
#include "bench_stats.h"
#include "journal_fill.h"
#include "plant_delivery.h"

namespace {

using namespace std::chrono_literals;

std::string scalar(const std::string& connection, const std::string& sql) {
    std::string error;
    plant::connection_ptr db = plant::connect(connection, error);
    plant::result_ptr result = db ? plant::run(db.get(), {sql, {}, {}, {}}, error) : plant::result_ptr(nullptr, PQclear);
    if (!result) {
        std::fprintf(stderr, "bench_plant: %s\n", error.c_str());
        std::exit(1);
    }
    return PQgetvalue(result.get(), 0, 0);
}

plant::config station(const std::string& connection, const std::string& name) {
    plant::config settings;
    settings.connection = connection;
    settings.station = name;
    return settings;
}

std::string folder() {
    std::string pattern = "/tmp/bench-plant-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : "/tmp";
}

int lag(const std::string& connection, int stations, int seconds) {
    const std::string dir = folder(), run = std::to_string(std::time(nullptr));
    std::vector<std::unique_ptr<a_records>> journals;
    std::vector<std::unique_ptr<plant::delivery>> shippers;
    for (int n = 0; n < stations; ++n) {
        journals.push_back(std::make_unique<a_records>(dir + "/" + std::to_string(n) + ".db"));
        journals.back()->open();
        shippers.push_back(std::make_unique<plant::delivery>(station(connection, "lag" + run + "-" + std::to_string(n)),
                                                             journals.back()->path(), [](const std::string& line) {
                                                                 std::fprintf(stderr, "%s\n", line.c_str());
                                                             }));
        journals.back()->on_written = [shipper = shippers.back().get()] { shipper->wake(); };
        shippers.back()->start();
    }
    // The stations' events spread over each second, as independent stations' would be.
    const records::type_values type{7, "Tengely", {100, 2.5f, 0, 0}};
    const auto begin = bench::clock::now();
    for (int tick = 0; tick < seconds * stations; ++tick) {
        std::this_thread::sleep_until(begin + tick * 1000ms / stations);
        journals[static_cast<std::size_t>(tick % stations)]->add(
            records::positioning(records::kind::positioned, type, {100.5, 2.5, 1, -1}));
    }
    std::this_thread::sleep_for(2s);
    shippers.clear();
    const std::string where = " FROM varnold.events WHERE station LIKE 'lag" + run + "-%'";
    const std::string lag_ms = "extract(epoch FROM delivered_at - ts_utc) * 1000";
    std::printf("%d stations, %d s: %s of %d events delivered\n", stations, seconds,
                scalar(connection, "SELECT count(*)" + where).c_str(), seconds * stations);
    std::printf("lag: median %s ms, p95 %s ms, worst %s ms\n",
                scalar(connection, "SELECT round(percentile_cont(0.5) WITHIN GROUP (ORDER BY " + lag_ms + ")::numeric, 1)" + where).c_str(),
                scalar(connection, "SELECT round(percentile_cont(0.95) WITHIN GROUP (ORDER BY " + lag_ms + ")::numeric, 1)" + where).c_str(),
                scalar(connection, "SELECT round(max(" + lag_ms + ")::numeric, 1)" + where).c_str());
    std::filesystem::remove_all(dir);
    return 0;
}

int backlog(const std::string& connection, int rows) {
    const std::string dir = folder(), path = dir + "/Records.db";
    const std::string error = fill_journal(path, rows);
    if (!error.empty()) return std::fprintf(stderr, "bench_plant: %s\n", error.c_str()), 1;
    const std::string name = "backlog" + std::to_string(std::time(nullptr));
    plant::delivery shipper(station(connection, name), path, {});
    const auto start = bench::clock::now();
    shipper.start();
    while (shipper.delivered() < rows) std::this_thread::sleep_for(10ms);
    const double took = bench::ms_since(start);
    std::printf("%d rows delivered in %.2f s (%.0f rows/s); the server holds %s of them\n", rows, took / 1000,
                rows / took * 1000,
                scalar(connection, "SELECT count(*) FROM varnold.events WHERE station = '" + name + "'").c_str());
    std::filesystem::remove_all(dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "lag") return lag(argv[2], argc > 3 ? std::atoi(argv[3]) : 20, argc > 4 ? std::atoi(argv[4]) : 300);
    if (mode == "backlog") return backlog(argv[2], argc > 3 ? std::atoi(argv[3]) : 100000);
    std::fprintf(stderr, "usage: bench_plant lag|backlog CONNECTION [STATIONS [SECONDS] | ROWS]\n");
    return 2;
}
