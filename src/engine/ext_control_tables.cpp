// Constant tables of the external controllers.
#include "engine/module_ext_control.h"

#include "engine/lookup_curve.h"

namespace kolva {

// Smoothing coefficient per sample against the size of a controller step (read at step x 7):
// small steps glide slowly, large ones follow within a few milliseconds.
const float ModuleExtControl::kStepCoefficients[8] = {0.00001f, 0.0001f, 0.0003f, 0.0007f,
                                                      0.0015f,  0.003f,  0.006f,  0.01f};

namespace {

// Channel-pressure response, 120 rows read at c x 119. Rows 0-9 (the soft start) and 115-119
// (the top, ending on 1.0) are the fixed points of the response. Rows 10-114 follow the
// exponential those fixed rows trace, A x (2^((i - 1) / 12) - 1) with
// A = 0.79 / (2^(114 / 12) - 1), anchored on row 115: it gives rows 116-118 to four decimals
// and rows 0-9 to within 0.0001, so the fixed rows join it without a kink. Rounded to four
// decimals like the fixed rows; rounding keeps the table non-decreasing.
constexpr float kPressure[120] = {
    0.0f,    0.0f,    0.0001f, 0.0002f, 0.0002f, 0.0003f, 0.0004f, 0.0005f, 0.0005f, 0.0006f,
    0.0007f, 0.0009f, 0.001f,  0.0011f, 0.0012f, 0.0014f, 0.0015f, 0.0017f, 0.0018f, 0.002f,
    0.0022f, 0.0024f, 0.0026f, 0.0028f, 0.003f,  0.0033f, 0.0035f, 0.0038f, 0.0041f, 0.0044f,
    0.0047f, 0.0051f, 0.0055f, 0.0058f, 0.0063f, 0.0067f, 0.0072f, 0.0076f, 0.0082f, 0.0087f,
    0.0093f, 0.0099f, 0.0106f, 0.0113f, 0.012f,  0.0128f, 0.0136f, 0.0145f, 0.0154f, 0.0164f,
    0.0174f, 0.0185f, 0.0197f, 0.0209f, 0.0222f, 0.0236f, 0.0251f, 0.0267f, 0.0283f, 0.0301f,
    0.0319f, 0.0339f, 0.0359f, 0.0382f, 0.0405f, 0.043f,  0.0456f, 0.0484f, 0.0513f, 0.0544f,
    0.0577f, 0.0612f, 0.0649f, 0.0688f, 0.073f,  0.0774f, 0.0821f, 0.087f,  0.0922f, 0.0978f,
    0.1037f, 0.1099f, 0.1165f, 0.1235f, 0.1309f, 0.1388f, 0.1471f, 0.1559f, 0.1652f, 0.1751f,
    0.1856f, 0.1967f, 0.2084f, 0.2209f, 0.2341f, 0.2481f, 0.2629f, 0.2786f, 0.2952f, 0.3129f,
    0.3315f, 0.3513f, 0.3723f, 0.3945f, 0.418f,  0.4429f, 0.4693f, 0.4973f, 0.5269f, 0.5583f,
    0.5916f, 0.6268f, 0.6641f, 0.7037f, 0.7456f, 0.79f,   0.837f,  0.8869f, 0.9397f, 1.0f,
};

} // namespace

float pressureCurve(float c) {
    return lookupCurve01(kPressure, c);
}

} // namespace kolva
