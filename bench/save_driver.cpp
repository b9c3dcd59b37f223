// Drives the station's own catalogue save (the catalogue's atomic write, which the
// positioner's save goes through) for the crash-safety runs:
//
//   save_driver init  PATH   write catalogue A
//   save_driver loop  PATH   save B, A, B, ... until killed; prints "saving" once started
//   save_driver check PATH   exit 0 when the file loads and holds A or B exactly
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_catalogues.h"
#include "catalogue.h"

namespace {

// Big enough that a save takes a while, and of different sizes, so a torn file cannot
// pass for either.
const std::vector<Type>& catalogue_a() {
    static const std::vector<Type> a = bench::make_catalogue(2000, 1);
    return a;
}
const std::vector<Type>& catalogue_b() {
    static const std::vector<Type> b = bench::make_catalogue(3000, 2);
    return b;
}

// Replaces whatever is at path.
bool replace(const std::string& path, const std::vector<Type>& types) {
    const catalogue::write_result written = catalogue::write_file_atomically(path, catalogue::to_json(types));
    if (!written.ok()) std::fprintf(stderr, "save failed: %s\n", std::strerror(written.error));
    return written.ok();
}

int init(const std::string& path) { return replace(path, catalogue_a()) ? 0 : 1; }

int loop(const std::string& path) {
    std::printf("saving\n");
    std::fflush(stdout);
    for (unsigned long i = 0;; ++i) {
        if (!replace(path, i % 2 ? catalogue_a() : catalogue_b())) return 1;
    }
}

int check(const std::string& path) {
    const catalogue::load_result loaded = catalogue::load(path);
    if (loaded.status != catalogue::load_status::loaded) {
        std::printf("not loadable (%d): %s\n", static_cast<int>(loaded.status), loaded.detail.c_str());
        return 1;
    }
    if (bench::same_catalogue(loaded.types, catalogue_a())) return std::printf("A\n"), 0;
    if (bench::same_catalogue(loaded.types, catalogue_b())) return std::printf("B\n"), 0;
    std::printf("loads, but holds neither catalogue (%zu types)\n", loaded.types.size());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: save_driver init|loop|check PATH\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string path = argv[2];
    if (mode == "init") return init(path);
    if (mode == "loop") return loop(path);
    if (mode == "check") return check(path);
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
