#include "fx/fx_tables.h"

#include "engine/filter_tables.h"
#include "engine/lookup_curve.h"
#include "fx/fx_simd.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace kolva::fx {
namespace {

constexpr float kQTable[kQPoints] = {
    0.083f,  0.0855f, 0.0881f, 0.0906f, 0.0931f, 0.0956f, 0.0982f, 0.1007f, 0.1031f, 0.1056f,
    0.108f,  0.1105f, 0.1129f, 0.1154f, 0.1178f, 0.1202f, 0.1226f, 0.1251f, 0.1275f, 0.1299f,
    0.1323f, 0.1348f, 0.1373f, 0.1397f, 0.1422f, 0.1447f, 0.1472f, 0.1497f, 0.1523f, 0.1549f,
    0.1575f, 0.1601f, 0.1628f, 0.1655f, 0.1683f, 0.1711f, 0.1739f, 0.1767f, 0.1798f, 0.1829f,
    0.186f,  0.189f,  0.1921f, 0.1956f, 0.1991f, 0.2026f, 0.2061f, 0.2096f, 0.2136f, 0.2176f,
    0.2217f, 0.2257f, 0.2299f, 0.2346f, 0.2394f, 0.2441f, 0.2488f, 0.2542f, 0.2598f, 0.2654f,
    0.2709f, 0.2771f, 0.2837f, 0.2903f, 0.2969f, 0.3042f, 0.312f,  0.3199f, 0.3278f, 0.3367f,
    0.346f,  0.3554f, 0.3648f, 0.3759f, 0.387f,  0.3982f, 0.4105f, 0.4237f, 0.4369f, 0.4509f,
    0.4664f, 0.482f,  0.4982f, 0.5165f, 0.5348f, 0.5542f, 0.5756f, 0.5971f, 0.6206f, 0.6456f,
    0.6706f, 0.6994f, 0.7285f, 0.7596f, 0.7933f, 0.8272f, 0.866f,  0.9047f, 0.948f,  0.9924f,
    1.041f,  1.091f,  1.146f,  1.203f,  1.265f,  1.33f,   1.4f,    1.473f,  1.553f,  1.634f,
    1.724f,  1.817f,  1.915f,  2.02f,   2.128f,  2.244f,  2.365f,  2.49f,   2.622f,  2.758f,
    2.899f,  3.045f,  3.194f,  3.35f,   3.508f,  3.669f,  3.834f,  4.0f};

// The fixed rows of the state-variable cutoff curve; the rows between are completed by the
// same log-domain monotone cubic as the voice filters' curves (about a semitone per point).
constexpr flt::CurveRow kCutoffRows[] = {{0, 0.000777}, {1, 0.000823},  {10, 0.001467},
                                         {20, 0.002615}, {40, 0.008302}, {60, 0.026358},
                                         {80, 0.083638}, {100, 0.26479}, {110, 0.46699},
                                         {119, 0.738}};

Tables buildTablesImpl() {
    Tables t{};
    for (int i = 0; i < kNotePoints; ++i)
        t.noteFrequency[i] = static_cast<float>(440.0 * std::exp2((i - 53) / 12.0));
    for (int i = 0; i < kLfoBasePoints; ++i)
        t.lfoBase[i] =
            static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / kLfoBasePoints));
    t.lfoBase[kLfoBasePoints] = t.lfoBase[0];
    for (int i = 0; i < kOnePolePoints; ++i)
        t.onePole[i] = static_cast<float>(
            std::round(std::sin(std::numbers::pi * i / (kOnePolePoints - 1)) * 1000.0) / 1000.0);
    std::copy(std::begin(kQTable), std::end(kQTable), t.q.begin());
    flt::completeThroughRows(kCutoffRows, static_cast<int>(std::size(kCutoffRows)),
                             t.svfCutoff.data(), kCutoffPoints);
    return t;
}

} // namespace

Tables buildTables() { return buildTablesImpl(); }

float syncSeconds(int index, float tempo) {
    index = std::clamp(index, 0, kSyncDivisions - 1);
    return kSyncDivision[index] / tempo;
}

bool holdsStill(const float* x, int n) {
    if (n <= 0) return true;
    const __m128i first = _mm_set1_epi32(std::bit_cast<std::int32_t>(x[0]));
    __m128i same = _mm_set1_epi32(-1);
    const auto equal = [&](int at) {
        return _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + at)), first);
    };
    int i = 0;
    for (; i + 16 <= n; i += 16)
        same = _mm_and_si128(same, _mm_and_si128(_mm_and_si128(equal(i), equal(i + 4)),
                                                 _mm_and_si128(equal(i + 8), equal(i + 12))));
    for (; i + 4 <= n; i += 4)
        same = _mm_and_si128(same, equal(i));
    if (_mm_movemask_epi8(same) != 0xFFFF) return false;
    for (; i < n; ++i)
        if (std::bit_cast<std::int32_t>(x[i]) != std::bit_cast<std::int32_t>(x[0])) return false;
    return true;
}

} // namespace kolva::fx
