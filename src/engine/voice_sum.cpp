#include "engine/voice_sum.h"

namespace kolva {

void addVoice(float* __restrict outL, float* __restrict outR, const float* __restrict inL,
              const float* __restrict inR, const float* __restrict env,
              const float* __restrict velocity, const float* __restrict complement, float amount,
              int frames) {
    if (amount > 0.0f && velocity != nullptr) {
        const float a = amount, b = 1.0f - amount;
        for (int i = 0; i < frames; ++i) {
            const float g = env[i] * (velocity[i] * a + b);
            outL[i] += inL[i] * g;
            outR[i] += inR[i] * g;
        }
    } else if (amount < 0.0f && complement != nullptr) {
        const float a = -amount, b = 1.0f + amount;
        for (int i = 0; i < frames; ++i) {
            const float g = env[i] * (complement[i] * a + b);
            outL[i] += inL[i] * g;
            outR[i] += inR[i] * g;
        }
    } else {
        for (int i = 0; i < frames; ++i) {
            outL[i] += inL[i] * env[i];
            outR[i] += inR[i] * env[i];
        }
    }
}

} // namespace kolva
