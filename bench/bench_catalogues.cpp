#include "bench_catalogues.h"

#include <cstring>

#include <wx/string.h>

namespace bench {

std::vector<Type> make_catalogue(std::size_t count, int seed) {
    std::vector<Type> types(count);
    for (std::size_t i = 0; i < count; ++i) {
        Type& type = types[i];
        const int n = static_cast<int>(i);
        type.ID = n * 7 - seed;
        type.name = wxString::FromUTF8(i % 3 == 0 ? "Tengely \xc3\xa1t\xc3\xa9t " : "Shaft \"type\" ") +
                    wxString::Format("%d/%d", seed, n);
        type.X = static_cast<float>(n) * 1.5f + static_cast<float>(seed);
        type.Y = -static_cast<float>(n) / 3.0f;
        type.alpha = 0.1f * static_cast<float>(n + seed);
        type.beta = 12345.678f - static_cast<float>(n);
    }
    return types;
}

namespace {
bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

bool same_catalogue(const std::vector<Type>& a, const std::vector<Type>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Type& x = a[i];
        const Type& y = b[i];
        if (x.ID != y.ID || x.name != y.name || !same_bits(x.X, y.X) || !same_bits(x.Y, y.Y) ||
            !same_bits(x.alpha, y.alpha) || !same_bits(x.beta, y.beta))
            return false;
    }
    return true;
}

}  // namespace bench
