// Constant tables of the MIDI module: glide times, the glide_log curve, the velocity curve,
// the drift offsets and the half-sine table of the velocity smoother.

#include "engine/module_midi.h"

#include <cmath>
#include <numbers>

namespace kolva {

// Glide time in units of the rate factor, read at g x 31.
const float ModuleMidi::kGlideTimes[kTableSize] = {
    0.0f,    0.0017f, 0.0035f, 0.0053f, 0.0073f, 0.0094f, 0.0117f, 0.0143f,
    0.0173f, 0.0207f, 0.0247f, 0.0293f, 0.0347f, 0.0412f, 0.0488f, 0.0579f,
    0.0687f, 0.0816f, 0.0974f, 0.1164f, 0.1389f, 0.1668f, 0.2001f, 0.2409f,
    0.2903f, 0.3499f, 0.4216f, 0.5071f, 0.6077f, 0.7238f, 0.855f,  1.0f};

// Share of the remaining distance at a glide progress (glide_log on), read at progress x 31.
const float ModuleMidi::kGlideCurve[kTableSize] = {
    0.0f,    0.0032f, 0.0064f, 0.0095f, 0.0126f, 0.0158f, 0.0192f, 0.0227f,
    0.0266f, 0.0309f, 0.0358f, 0.0416f, 0.0484f, 0.0566f, 0.0669f, 0.0794f,
    0.0947f, 0.1141f, 0.1377f, 0.1669f, 0.2025f, 0.245f,  0.2949f, 0.3528f,
    0.4177f, 0.4889f, 0.5656f, 0.6471f, 0.7318f, 0.8195f, 0.9091f, 1.0f};

// Velocity signal for a note velocity / 127, read at x x 31.
const float ModuleMidi::kVelocityCurve[kTableSize] = {
    0.0f,    0.0058f, 0.0125f, 0.0201f, 0.0286f, 0.0381f, 0.0485f, 0.06f,
    0.0725f, 0.0861f, 0.101f,  0.117f,  0.1344f, 0.1533f, 0.1736f, 0.1955f,
    0.2191f, 0.2445f, 0.2718f, 0.3015f, 0.3336f, 0.3682f, 0.4056f, 0.4467f,
    0.4913f, 0.5403f, 0.5946f, 0.655f,  0.7227f, 0.8005f, 0.8911f, 1.0f};

// Drift offsets in semitones; the bag deals the second table first.
const std::array<float, 4> ModuleMidi::kDriftFirst = {0.0f, -0.02f, 0.02f, -0.04f};
const std::array<float, 4> ModuleMidi::kDriftSecond = {-0.01f, 0.01f, -0.03f, 0.03f};

// sin(pi x) for x = 0..1 in 1024 points: the one-pole coefficient of a smoother at
// frequency x * sampleRate.
const std::array<float, ModuleMidi::kHalfSineSize>& ModuleMidi::halfSine() {
    static const std::array<float, kHalfSineSize> table = [] {
        std::array<float, kHalfSineSize> t{};
        for (int i = 0; i < kHalfSineSize; ++i)
            t[i] = static_cast<float>(std::sin(std::numbers::pi * i / (kHalfSineSize - 1)));
        return t;
    }();
    return table;
}

} // namespace kolva
