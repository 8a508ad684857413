#pragma once
// The transfer curves and control tables of the shaper effect. The small tables are exact and
// constexpr; the 1024-point curves are completed once per process from their anchor rows
// (see shaperCurves()) and only read afterwards, so the audio thread never builds anything.
//
// Anchor rows: row k/8 of a 1024-point curve is index 128 * k (k = 0..7), the last row is
// index 1023. Point-symmetric curves satisfy c[1023 - i] == -c[i] exactly, so the middle pair
// 511/512 carries the "±" middle value.

#include <array>

namespace kolva::fx {

inline constexpr int kShaperCurvePoints = 1024;
inline constexpr int kShaperRowCount = 9;
// Index of anchor row k (0..8) of a 1024-point curve.
constexpr int shaperRowIndex(int k) {
    return k < 8 ? 128 * k : kShaperCurvePoints - 1;
}

// Drive control 0..1 -> drive curve value c (read with lookupCurve).
inline constexpr float kShaperDrive[32] = {
    0.0f,    0.0053f, 0.0105f, 0.0166f, 0.0227f, 0.0297f, 0.0369f, 0.045f,
    0.0535f, 0.0627f, 0.0728f, 0.0836f, 0.0955f, 0.1085f, 0.1226f, 0.1379f,
    0.1551f, 0.1742f, 0.1952f, 0.2188f, 0.2454f, 0.2756f, 0.3101f, 0.3512f,
    0.3993f, 0.4582f, 0.5316f, 0.6265f, 0.7557f, 0.9349f, 1.1633f, 1.4f};

// Bit-resolution control 0..1 -> crusher levels; 65535 at the top is transparent.
inline constexpr float kCrusherLevels[32] = {
    4.0f,    4.6441f, 5.3411f, 6.1023f, 6.9396f, 7.8657f, 8.8939f, 10.039f,
    11.317f, 12.761f, 14.38f,  16.19f,  18.214f, 20.479f, 23.013f, 25.85f,
    29.026f, 32.584f, 36.575f, 41.057f, 46.096f, 51.797f, 58.325f, 65.752f,
    74.231f, 84.107f, 95.756f, 109.7f,  126.84f, 149.24f, 256.0f,  65535.0f};

// Rate control 0..1 -> hold factor; the hold in samples is factor * 220 at 44.1 kHz, plus 1.
inline constexpr float kCrusherHold[32] = {
    1.0f,    0.8843f, 0.7774f, 0.681f,  0.5936f, 0.5162f, 0.4478f, 0.388f,
    0.3367f, 0.2924f, 0.2555f, 0.224f,  0.1983f, 0.1767f, 0.1589f, 0.1443f,
    0.132f,  0.1218f, 0.113f,  0.1053f, 0.0981f, 0.0914f, 0.0847f, 0.0778f,
    0.0706f, 0.0629f, 0.0545f, 0.0454f, 0.0354f, 0.0246f, 0.0128f, 0.0f};

// "tube2": a point-symmetric staircase.
inline constexpr float kStaircaseF[32] = {
    -1.0f,    -0.8809f, -0.7685f, -0.6638f, -0.5677f, -0.4814f, -0.4072f, -0.3467f,
    -0.3009f, -0.2763f, -0.2758f, -0.3075f, -0.3856f, -0.5296f, -0.6226f, 0.0f,
    0.0f,     0.6226f,  0.5296f,  0.3856f,  0.3075f,  0.2758f,  0.2763f,  0.3009f,
    0.3467f,  0.4072f,  0.4814f,  0.5677f,  0.6638f,  0.7685f,  0.8809f,  1.0f};
inline constexpr float kTriangle[5] = {0.0f, -1.0f, 0.0f, 1.0f, 0.0f};
inline constexpr float kFoldG[9] = {0.0f, -1.0f, 0.0f, -1.0f, 0.0f, 0.5f, 1.0f, 0.5f, 0.0f};
inline constexpr float kFoldH[17] = {0.0f,  -1.0f, 0.0f,  -1.0f, 0.0f,  -0.5f, -1.0f, -0.5f, 0.0f,
                                     0.25f, 0.5f,  0.75f, 1.0f,  0.75f, 0.5f,  0.25f, 0.0f};

// Anchor rows of the completed curves (rows 0, 1/8 .. 7/8, last).
inline constexpr float kRowsSoftA[kShaperRowCount] = {-1.0f,  -0.9523f, -0.7875f, -0.4648f, 0.002f,
                                                      0.468f, 0.7895f,  0.953f,   1.0f};
inline constexpr float kRowsWarmB[kShaperRowCount] = {-0.8f,   -0.9643f, -0.918f, -0.5874f, 0.0025f,
                                                      0.5912f, 0.9195f,  0.9637f, 0.8f};
inline constexpr float kRowsHardC[kShaperRowCount] = {
    -1.0f, -0.9847f, -0.9242f, -0.7674f, 0.0096f, 0.7694f, 0.9249f, 0.985f, 1.0f};
// Curve E is not symmetric; its middle pair is -0.0043 (511) and 0.0043 (512).
inline constexpr float kRowsTubeE[kShaperRowCount] = {
    -1.0f, -0.9692f, -0.8519f, -0.5733f, 0.0043f, 0.4099f, 0.408f, 0.2434f, 0.008f};
inline constexpr float kTubeEMiddleLow = -0.0043f;
// The negative half of "tube3".
inline constexpr float kRowsAsymNegative[kShaperRowCount] = {
    -1.0f, -1.1297f, -1.2099f, -1.2431f, -1.228f, -1.156f, -1.011f, -0.7423f, 0.0f};

struct ShaperCurves {
    using Curve = std::array<float, kShaperCurvePoints>;
    Curve softA;        // "soft"
    Curve warmB;        // "warm": overshoots to about 0.97, back to 0.8 at the ends
    Curve hardC;        // "hard"
    Curve linearD;      // "clip": -0.9 .. 0.9 in a straight line
    Curve tubeE;        // "tube1": the positive half rises and falls back to 0
    Curve asymNegative; // "tube3", negative half
    Curve sine;         // "fbsin": -sin(2 pi i / 1023)
    Curve doubleSine;   // type 13: two periods, then one half period
};

// Built on first use (thread-safe), then read only. Touch it off the audio thread first.
const ShaperCurves& shaperCurves();

} // namespace kolva::fx
