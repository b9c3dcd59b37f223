// libFuzzer target: the catalogue loader must take any bytes without a crash or a sanitizer
// report, and every document it accepts must save to a text that loads to the same catalogue
// and saves to the same bytes again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue.h"

namespace {

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_catalogue(const std::vector<Type>& a, const std::vector<Type>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].ID != b[i].ID || a[i].name != b[i].name || !same_bits(a[i].X, b[i].X) ||
            !same_bits(a[i].Y, b[i].Y) || !same_bits(a[i].alpha, b[i].alpha) || !same_bits(a[i].beta, b[i].beta))
            return false;
    }
    return true;
}

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "catalogue round trip: %s\n--- saved text ---\n%s\n---\n", what, text.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const catalogue::parse_result loaded = catalogue::from_json(input);
    if (loaded.status != catalogue::parse_status::ok) {
        if (!loaded.types.empty()) fail("a refused document left records behind", std::string(input));
        return 0;
    }
    const std::string saved = catalogue::to_json(loaded.types);
    if (!catalogue::long_enough_to_save(saved.size())) fail("a loaded catalogue has no text to save", saved);
    const catalogue::parse_result reloaded = catalogue::from_json(saved);
    if (reloaded.status != catalogue::parse_status::ok) fail("the saved text does not load", saved);
    if (!same_catalogue(reloaded.types, loaded.types)) fail("the saved text loads to another catalogue", saved);
    if (catalogue::to_json(reloaded.types) != saved) fail("saving again gives other bytes", saved);
    return 0;
}
