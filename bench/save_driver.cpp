// Drives the station's own catalogue save (catalogue::save, which the positioner's
// SaveSettings calls) for the crash-safety runs:
//
//   save_driver init  PATH   write catalogue A
//   save_driver loop  PATH   save B, A, B, ... until killed; prints "saving" once started
//   save_driver check PATH   exit 0 when the file loads and holds A or B exactly
//   save_driver once  PATH   edit the catalogue in memory (as a rename would), save once, and
//                            check the catalogue in memory survived; prints the save status
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

// Replaces whatever is at path, as two processes saving at once do to each other.
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

const char* status_name(catalogue::save_status status) {
    switch (status) {
        case catalogue::save_status::written: return "written";
        case catalogue::save_status::created: return "created";
        case catalogue::save_status::written_beside: return "written beside";
        case catalogue::save_status::skipped: return "skipped";
        case catalogue::save_status::failed: return "failed";
    }
    return "?";
}

int once(const std::string& path) {
    const catalogue::load_result loaded = catalogue::load(path);
    if (loaded.status != catalogue::load_status::loaded) {
        std::printf("cannot load the old file\n");
        return 1;
    }
    // The operator's edit: every record renamed and retaught, and far larger than before.
    std::vector<Type> types = loaded.types;
    for (Type& type : types) {
        type.name += wxString('x', 400);
        type.X += 1.0f;
    }
    const std::vector<Type> before = types;
    catalogue::file_seen seen = loaded.seen;
    const catalogue::save_result result = catalogue::save(path, types, seen);
    std::printf("%s\n", status_name(result.status));
    if (!bench::same_catalogue(types, before)) {
        std::printf("the catalogue in memory changed\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: save_driver init|loop|check|once PATH\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string path = argv[2];
    if (mode == "init") return init(path);
    if (mode == "loop") return loop(path);
    if (mode == "check") return check(path);
    if (mode == "once") return once(path);
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
