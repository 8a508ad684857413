#pragma once
// Small per-block state machines of the engine's output stage, kept apart from the engine so
// they can be tested on their own. Audio thread only.

#include <cmath>

namespace kolva {

// A block counts as silent when the sum of its absolute samples does not exceed 0.01.
inline bool isBlockSilent(const float* x, int frames) {
    float sum = 0.0f;
    for (int i = 0; i < frames; ++i) sum += std::fabs(x[i]);
    return sum <= 0.01f; // NaN counts as sound, so it is never hidden
}

// False when the block holds a NaN or an infinity (x * 0 is 0 for every finite x).
inline bool isBlockFinite(const float* x, int frames) {
    float probe = 0.0f;
    for (int i = 0; i < frames; ++i) probe += x[i] * 0.0f;
    return probe == 0.0f;
}

// Decides whether the effects run: after sound stops they keep running for a tail of four
// beats plus 256 samples, then sleep until sound returns.
class FxTailGate {
public:
    // `silentNow`: both voice-sum buffers silent. Returns false when this block ends silent
    // without running the effects.
    bool runEffects(bool silentNow, int frames, float sampleRate, float lastPositiveTempo) {
        if (silentNow && previousSilent_) {
            if (countdown_ < 1) return false;
            countdown_ -= frames;
            if (countdown_ <= 0) {
                countdown_ = 0;
                return false;
            }
            return true;
        }
        countdown_ = static_cast<int>(sampleRate * 240.0f / lastPositiveTempo) + 256;
        return true;
    }
    // After the effects: whether the block left the chain silent.
    void setPreviousSilent(bool silent) { previousSilent_ = silent; }
    bool previousSilent() const { return previousSilent_; }
    int countdown() const { return countdown_; }

private:
    int countdown_ = 0;
    bool previousSilent_ = false;
};

// Output peak meter: jumps up to |x| (at most 2.0), falls linearly by 2.0 per second.
class PeakHold {
public:
    void process(const float* x, int frames, float sampleRate) {
        const float fall = 2.0f / sampleRate;
        float p = peak_;
        for (int i = 0; i < frames; ++i) {
            float a = std::fabs(x[i]);
            if (a > p) p = a < 2.0f ? a : 2.0f;
            p = p > 0.0f ? p - fall : 0.0f;
        }
        peak_ = p > 0.0f ? p : 0.0f;
    }
    float value() const { return peak_; }
    void reset() { peak_ = 0.0f; }

private:
    float peak_ = 0.0f;
};

} // namespace kolva
