// LFO constant tables.
#include "engine/lfo_tables.h"

namespace kolva::lfo_tables {

// clang-format off

// 16/1 8/1 4/1 2/1 1/1 3/4 2/3 1/2 3/8 1/3 1/4 3/16 1/6 1/8 3/32 1/12 1/16 3/64 1/24 1/32 1/64
const float kDivisor[kDivisions] = {
    3840.0f, 1920.0f, 960.0f, 480.0f, 240.0f, 180.0f, 160.0f, 120.0f, 90.0f, 80.0f, 60.0f,
    45.0f,   40.0f,   30.0f,  22.5f,  20.0f,  15.0f,  11.25f, 10.0f,  7.5f,  3.75f};

const float kFreeRate[kFreeRatePoints] = {
    0.0f, 0.06f, 0.17f, 0.33f, 0.83f, 1.25f, 2.0f, 2.9f, 5.0f, 10.0f, 30.0f, 100.0f};

const float kFadeTime[kFadePoints] = {
    0.0f,    0.0275f, 0.0555f, 0.0868f, 0.1196f, 0.1557f, 0.1954f, 0.2374f,
    0.2865f, 0.3394f, 0.3973f, 0.4653f, 0.5407f, 0.6254f, 0.7213f, 0.8332f,
    0.9628f, 1.1131f, 1.2887f, 1.4954f, 1.7437f, 2.046f,  2.4115f, 2.8684f,
    3.4409f, 4.1841f, 5.171f,  6.4866f, 8.2486f, 10.5059f, 13.1646f, 16.0f};

const float kFadeGain[kFadePoints] = {
    0.0f,    0.0155f, 0.032f,  0.0494f, 0.0677f, 0.087f,  0.1071f, 0.1282f,
    0.1502f, 0.1731f, 0.1969f, 0.2216f, 0.2474f, 0.2742f, 0.3019f, 0.3306f,
    0.3604f, 0.3912f, 0.4232f, 0.4565f, 0.4909f, 0.5267f, 0.564f,  0.6028f,
    0.6432f, 0.6857f, 0.7301f, 0.7771f, 0.8269f, 0.8799f, 0.9372f, 1.0f};

const std::array<float, kPhaseBagSize> kPhaseFirst = {
    0.0f / 16, 1.0f / 16, 2.0f / 16, 3.0f / 16, 4.0f / 16, 5.0f / 16, 6.0f / 16, 7.0f / 16};
const std::array<float, kPhaseBagSize> kPhaseSecond = {
    8.0f / 16, 9.0f / 16, 10.0f / 16, 11.0f / 16, 12.0f / 16, 13.0f / 16, 14.0f / 16, 15.0f / 16};

// clang-format on

} // namespace kolva::lfo_tables
