#pragma once
// Constant tables of the modulation matrix, built once per process.

#include <array>

namespace kolva::matrix_tables {

inline constexpr int kDestinationCount = 229;

struct Tables {
    // Amount curves C0, C1, C2: 32 points over a mapped to (a + 1) / 2 x 31.
    std::array<std::array<float, 32>, 3> curves;
    // Global parameter -> internal destination (-1 none) and amount-curve kind (0..5).
    std::array<int, 725> destinationOfParam;
    std::array<int, 725> curveKindOfParam;
    // Internal destination -> the global parameter it modulates.
    std::array<int, kDestinationCount> paramOfDestination;
};

const Tables& tables();

} // namespace kolva::matrix_tables
