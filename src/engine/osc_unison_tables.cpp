#include "engine/osc_unison.h"

#include "engine/lookup_curve.h"

#include <algorithm>

namespace kolva::osc {
namespace {

constexpr float kFineCurve[32] = {
    -0.99f,   -0.7222f, -0.576f,  -0.4733f, -0.3936f, -0.3298f, -0.2774f, -0.2327f,
    -0.1941f, -0.1602f, -0.1301f, -0.1029f, -0.0779f, -0.0545f, -0.0323f, -0.0107f,
    0.0107f,  0.0323f,  0.0545f,  0.0779f,  0.1029f,  0.1301f,  0.1602f,  0.1941f,
    0.2327f,  0.2774f,  0.3298f,  0.3936f,  0.4733f,  0.576f,   0.7222f,  0.99f};

constexpr float kDetuneCurve[17] = {0.0f,    0.0097f, 0.022f,  0.034f,  0.0468f, 0.0591f,
                                    0.0715f, 0.0839f, 0.0967f, 0.1215f, 0.1471f, 0.1935f,
                                    0.2434f, 0.2934f, 0.3433f, 0.3928f, 1.0f};

// Indexed by copy count (row 0 unused).
constexpr float kLevel[kMaxCopies + 1] = {0.0f,  1.0f,  0.67f,  0.58f, 0.49f,
                                          0.45f, 0.42f, 0.395f, 0.38f, 0.36f};

using CountTable = float[kMaxCopies + 1][kMaxCopies];

constexpr CountTable kPan = {
    {},
    {0},
    {-1, 1},
    {-1, 0, 1},
    {1, -0.5f, 0.5f, -1},
    {1, -0.5f, 0, 0.5f, -1},
    {-1, 0.66f, -0.33f, 0.33f, -0.66f, 1},
    {-1, 0.66f, -0.33f, 0, 0.33f, -0.66f, 1},
    {1, -0.75f, 0.5f, -0.25f, 0.25f, -0.5f, 0.75f, -1},
    {1, -0.75f, 0.5f, -0.25f, 0, 0.25f, -0.5f, 0.75f, -1},
};

// The four spread shapes the density control blends: S0 (0), S1 even (0.5), S2 (0.75),
// S3 (1).
constexpr CountTable kSpread[4] = {
    {
        {},
        {0},
        {-2, 3},
        {-2, 0, 3},
        {-1.1f, -2, 3, 1.5f},
        {-1.1f, -2, 0, 2.5f, 1.5f},
        {-0.8f, -1.1f, -2, 2.4f, 1.5f, 1},
        {-0.8f, -1.1f, -2, 0, 2.3f, 1.5f, 1},
        {-0.5f, -0.8f, -1.1f, -2, 2.2f, 1.5f, 1, 0.5f},
        {-0.5f, -0.8f, -1.1f, -2, 0, 2.1f, 1.5f, 1, 0.5f},
    },
    {
        {},
        {0},
        {-0.49f, 0.5f},
        {-0.62f, 0.01f, 0.64f},
        {-0.74f, -0.24f, 0.26f, 0.76f},
        {-0.86f, -0.42f, 0.02f, 0.46f, 0.91f},
        {-0.98f, -0.58f, -0.17f, 0.24f, 0.64f, 1.05f},
        {-1.12f, -0.74f, -0.36f, 0.01f, 0.38f, 0.76f, 1.13f},
        {-1.25f, -0.89f, -0.53f, -0.18f, 0.18f, 0.54f, 0.9f, 1.25f},
        {-1.37f, -1.03f, -0.69f, -0.34f, 0, 0.35f, 0.69f, 1.03f, 1.38f},
    },
    {
        {},
        {0},
        {-4, 4},
        {-4, 0, 4},
        {-3, -4, 4, 3},
        {-3, -4, 0, 4, 3},
        {-2, -3, -4, 4, 3, 2},
        {-2, -3, -4, 0, 4, 3, 2},
        {-1, -2, -3, -4, 4, 3, 2, 1},
        {-1, -2, -3, -4, 0, 4, 3, 2, 1},
    },
    {
        {},
        {0},
        {-0.34f, 0.34f},
        {-0.34f, 0, 0.34f},
        {-1.12f, -0.34f, 0.34f, 1.05f},
        {-1.12f, -0.34f, 0, 0.34f, 1.05f},
        {-2.23f, -1.12f, -0.34f, 0.34f, 1.05f, 2.02f},
        {-2.23f, -1.12f, -0.34f, 0, 0.34f, 1.05f, 2.02f},
        {-3.62f, -2.23f, -1.12f, -0.34f, 0.34f, 1.05f, 2.02f, 3.48f},
        {-3.62f, -2.23f, -1.12f, -0.34f, 0, 0.34f, 1.05f, 2.02f, 3.48f},
    },
};

// "3_Octave": its own row per count.
constexpr CountTable kThreeOctaves = {
    {},
    {0},
    {0, 24},
    {0, 24, 24},
    {0, 0, 24, 24},
    {0, 0, 12, 24, 24},
    {0, 0, 12, 12, 24, 24},
    {0, 0, 12, 12, 24, 24, 24},
    {0, 0, 0, 12, 12, 24, 24, 24},
    {0, 0, 0, 12, 12, 12, 24, 24, 24},
};

// Chord modes 3..17: copy j of any count takes entry j.
constexpr float kChords[kChordModes - 3][kMaxCopies] = {
    {0, 4, 7, 12, 16, 19, 24, 28, 31},                     // Major3rd
    {0, 3, 7, 12, 15, 19, 24, 27, 31},                     // Minor3rd
    {0, 4, 7, 11, 12, 16, 19, 23, 24},                     // Major7th
    {0, 4, 7, 10, 12, 16, 19, 22, 24},                     // Dom7th
    {0, 3, 7, 11, 12, 15, 19, 23, 24},                     // Min-Maj7th
    {0, 3, 7, 10, 12, 15, 19, 22, 24},                     // Minor7th
    {0, 14, 7, 3, 10, 19, 22, 15, 26},                     // Minor9th
    {0, 14, 7, 4, 11, 19, 23, 16, 26},                     // Major9th
    {0, 10, 14, 4, 7, 16, 19, 22, 26},                     // Dom9th
    {0, 6, 3, 10, 12, 18, 15, 22, 24},                     // Half-Dim7th
    {0, 6, 3, 9, 12, 18, 15, 21, 24},                      // Dim7th
    {0, 2, 7, 12, 14, 19, 24, 26, 31},                     // Sus2
    {0, 5, 7, 12, 17, 19, 24, 29, 31},                     // Sus4
    {0, 7.02f, 12, 19.02f, 24, 31.02f, -24, -16.98f, -12}, // Perfect5th
    {0, 4.98f, 12, 16.98f, 24, 28.98f, -24, -19.02f, -12}, // Perfect4th
};

bool inRange(int copies, int j) { return copies >= 1 && copies <= kMaxCopies && j >= 0 && j < copies; }

} // namespace

const std::array<float, kRandomPhases> kRandomPhaseFirst = {
    4084, 3694, 1063, 1164, 2624, 1240, 1650, 3870, 1459,
    2661, 2434, 879,  3265, 1428, 1203, 2795, 2690, 4065};
const std::array<float, kRandomPhases> kRandomPhaseSecond = {
    1759, 3681, 3217, 713,  598,  715,  1967, 4010, 3535,
    2296, 157,  2075, 2086, 1524, 3929, 231,  1088, 82};

float fineTune(float fine) { return lookupCurve01(kFineCurve, fine); }

float detuneAmount(float detune) { return lookupCurve01(kDetuneCurve, detune); }

float unisonSpread(float density, int copies, int j) {
    if (!inRange(copies, j)) return 0.0f;
    const float d = std::clamp(density, 0.0f, 1.0f);
    const float s0 = kSpread[0][copies][j], s1 = kSpread[1][copies][j];
    const float s2 = kSpread[2][copies][j], s3 = kSpread[3][copies][j];
    if (d < 0.5f) return 2.0f * d * s1 + (1.0f - 2.0f * d) * s0;
    if (d < 0.75f) {
        const float w = (d - 0.5f) * 4.0f;
        return w * s2 + (1.0f - w) * s1;
    }
    const float w = (d - 0.75f) * 4.0f;
    return w * s3 + (1.0f - w) * s2;
}

float unisonLevel(int copies) { return kLevel[std::clamp(copies, 1, kMaxCopies)]; }

float unisonPan(int copies, int j) { return inRange(copies, j) ? kPan[copies][j] : 0.0f; }

float middleCopyGain(int copies) {
    if (copies == 3) return 0.7f;
    if (copies == 5 || copies == 7 || copies == 9) return 0.5f;
    return 1.0f;
}

float chordOffset(int mode, int copies, int j) {
    if (!inRange(copies, j) || mode <= 0 || mode >= kChordModes) return 0.0f;
    if (mode == 1) return j < copies / 2 ? 0.0f : 12.0f;
    if (mode == 2) return kThreeOctaves[copies][j];
    return kChords[mode - 3][j];
}

} // namespace kolva::osc
