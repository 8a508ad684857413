#pragma once
// Engine-wide values every module may read: rates, host tempo and position, block size and
// the polyphony mode. Written by the plug-in core between blocks or at block start (audio
// thread), read by modules inside render.

#include "platform/clock.h"

#include <cstdint>

namespace kolva {

struct EngineContext {
    float sampleRate = 44100.0f;
    float invSampleRate = 1.0f / 44100.0f;
    float rateFactor = 1.0f; // (1 / sampleRate) * 44100: 1.0 at the reference rate
    float tempo = 120.0f;    // host tempo (BPM)
    float songPosition = 0.0f; // host position in quarter notes
    float lastPositiveTempo = 120.0f;
    std::int32_t transportStopped = 0; // one-block pulse after the host transport stopped
    std::int32_t blockSize = -1;       // -1 until set
    std::int32_t polyMode = 4;         // current polyphony mode (0..3 mono, 4..5 poly)
    // Seconds from a monotonic clock (note-timing rules); tests may substitute their own.
    double (*clock)() = &platform::monotonicSeconds;

    void setSampleRate(float rate) {
        sampleRate = rate;
        invSampleRate = 1.0f / rate;
        rateFactor = invSampleRate * 44100.0f;
    }
};

// Polyphony modes (option order of the "mode" parameter).
inline constexpr int kModeMono1 = 0;
inline constexpr int kModePoly1 = 4;
inline constexpr int kModePoly2 = 5;
inline constexpr bool isMonoMode(int mode) { return mode < kModePoly1; }

// Voices 0..15 are polyphonic, voice 16 is the monophonic voice.
inline constexpr int kPolyVoices = 16;
inline constexpr int kNumVoices = 17;
inline constexpr int kMonoVoice = 16;

// Largest block the engine renders; hosts asking for more make the instance silent.
inline constexpr int kMaxBlockSize = 8192;

} // namespace kolva
