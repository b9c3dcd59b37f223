#pragma once
// Catalogues for the benchmarks and the save driver.
#include <cstddef>
#include <vector>

#include "catalogue.h"

namespace bench {

// count shaft types with distinct names (some non-ASCII) and targets; seed varies the values,
// so two catalogues of one size differ in every record.
std::vector<Type> make_catalogue(std::size_t count, int seed);

// Same records, same order, same bits in every target.
bool same_catalogue(const std::vector<Type>& a, const std::vector<Type>& b);

}  // namespace bench
