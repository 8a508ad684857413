#pragma once
// Adds one voice's filtered stereo signal into the block buffers, scaled by its amplitude
// envelope and the velocity-driven amplitude-modulation gain.

namespace kolva {

// A > 0: gain = velocity * A + (1 - A); A < 0: gain = (1 - velocity) * (-A) + (1 + A);
// A == 0: gain = 1. `velocity` / `complement` may be null when A does not need them.
void addVoice(float* outL, float* outR, const float* inL, const float* inR, const float* env,
              const float* velocity, const float* complement, float amount, int frames);

} // namespace kolva
