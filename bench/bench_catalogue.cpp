// Catalogue scale: the station's load and save of 10, 1,000 and 100,000 shaft types against
// RapidJSON parsing and pretty-writing the same document alone, measured side by side.
//
//   bench_catalogue [FOLDER]     (FOLDER: where the test files go; default /tmp)
//   bench_catalogue --write N FILE   only writes a catalogue of N types to FILE
#include <cstdio>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "bench_catalogues.h"
#include "bench_stats.h"
#include "catalogue.h"

namespace {

struct row {
    std::size_t types;
    int reps;
};

std::size_t pretty_write(const rapidjson::Document& document) {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return buffer.GetSize();
}

bool run(const row& r, const std::string& folder) {
    const std::vector<Type> types = bench::make_catalogue(r.types, 1);
    const std::string text = catalogue::to_json(types);
    const std::string path = folder + "/bench-catalogue-" + std::to_string(r.types) + ".dat";
    if (text.empty() || !catalogue::write_file_atomically(path, text).ok()) {
        std::fprintf(stderr, "cannot prepare %s\n", path.c_str());
        return false;
    }
    rapidjson::Document parsed;
    parsed.Parse(text.data(), text.size());

    std::vector<double> load, save, from_json, to_json, rj_parse, rj_write;
    std::size_t sink = 0;
    for (int i = 0; i < r.reps; ++i) {
        // Interleaved, so drift of the machine hits both sides alike.
        rj_parse.push_back(bench::time_ms([&] {
            rapidjson::Document d;
            d.Parse(text.data(), text.size());
            sink += d.HasParseError() ? 0 : 1;
        }));
        from_json.push_back(bench::time_ms([&] { sink += catalogue::from_json(text).types.size(); }));
        load.push_back(bench::time_ms([&] { sink += catalogue::load(path).types.size(); }));
        rj_write.push_back(bench::time_ms([&] { sink += pretty_write(parsed); }));
        to_json.push_back(bench::time_ms([&] { sink += catalogue::to_json(types).size(); }));
        save.push_back(bench::time_ms([&] {
            sink += catalogue::write_file_atomically(path, catalogue::to_json(types)).ok() ? 1 : 0;
        }));
    }
    const catalogue::load_result check = catalogue::load(path);
    if (check.status != catalogue::load_status::loaded || !bench::same_catalogue(check.types, types)) {
        std::fprintf(stderr, "round trip of %zu types failed\n", r.types);
        return false;
    }
    std::printf("%8zu types %10zu bytes %5d reps | load %9.3f ms (from_json %9.3f) vs parse %9.3f ms  x%.2f"
                " | save %9.3f ms (to_json %9.3f) vs pretty-write %9.3f ms  x%.2f  [%zu]\n",
                r.types, text.size(), r.reps, bench::median(load), bench::median(from_json),
                bench::median(rj_parse), bench::median(load) / bench::median(rj_parse), bench::median(save),
                bench::median(to_json), bench::median(rj_write), bench::median(save) / bench::median(rj_write),
                sink % 10);
    std::remove(path.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--write") {
        const std::vector<Type> types = bench::make_catalogue(std::stoul(argv[2]), 1);
        // Replaces the file there, as the station replaces the file it read.
        catalogue::file_seen seen = catalogue::read_file(argv[3]).seen;
        const catalogue::save_status status = catalogue::save(argv[3], types, seen).status;
        return status == catalogue::save_status::written || status == catalogue::save_status::created ? 0 : 1;
    }
    const std::string folder = argc > 1 ? argv[1] : "/tmp";
    std::printf("median times; ratio = station / RapidJSON alone; save includes the atomic write and fsync\n");
    bool ok = true;
    for (const row& r : {row{10, 2000}, row{1000, 200}, row{100000, 7}}) ok = run(r, folder) && ok;
    return ok ? 0 : 1;
}
