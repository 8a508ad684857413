// The FM, AMSync and HardFM oscillator types: several phase states per unison copy, stepped by
// hand (modulator and carrier, master and synced carrier, and HardFM's three states at twice the
// sample rate).

#include "engine/osc_generator.h"
#include "engine/osc_phase_state.h"
#include "engine/osc_type_support.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace kolva {
namespace {

using osc::copiesOf;
using osc::copySum;
using osc::finiteOr0;
using osc::startBlock;
using osc::unit;

constexpr float kSemitones = 127.0f; // one unit of normalised pitch
constexpr float kCycle = OscPhaseState::kCycle;
constexpr int kHalfCycleFloats = osc::kTableFloats / 2;
constexpr int kSineWave = 0; // "Sin", read at its widest level by the FM modulators
constexpr float kDepthGlidePerSecond = 400.0f;
constexpr float kDepthGlideDone = 0.0001f;

using States = std::array<OscPhaseState, osc::kMaxCopies>;

// Normalised pitch kept finite and within a table's reach of any copy offset, so smoothing
// states cannot be poisoned; the per-copy pitch is clamped to the table range afterwards.
inline float finitePitch(float x) {
    if (std::isnan(x)) return 0.0f;
    return std::clamp(x, -1.0f, 2.0f);
}

inline float wrapPhase(float x) {
    if (x >= 0.0f && x < kCycle) return x;
    x -= kCycle * std::floor(x * (1.0f / kCycle));
    return (x >= 0.0f && x < kCycle) ? x : 0.0f; // rounding onto the cycle end, or NaN
}

float copyOffset(const OscBlock& b, int j) {
    return finiteOr0(b.offset[static_cast<std::size_t>(j)]);
}

// Runs `fn` over b in pieces of at most `capacity` frames, for types whose scratch buffers were
// carved for a given block size.
template <class Fn> void inPieces(const OscBlock& b, int capacity, Fn&& fn) {
    if (b.frames <= capacity) {
        fn(b);
        return;
    }
    OscBlock piece = b;
    for (int start = 0; start < b.frames; start += capacity) {
        piece.frames = std::min(capacity, b.frames - start);
        piece.pitch = b.pitch + start;
        piece.retrig = b.retrig + start;
        piece.ctrlA = b.ctrlA + start;
        piece.ctrlB = b.ctrlB + start;
        piece.ctrlBOffset = b.ctrlBOffset != nullptr ? b.ctrlBOffset + start : nullptr;
        piece.wtMix = b.wtMix + start;
        piece.left = b.left + start;
        piece.right = b.right + start;
        fn(piece);
    }
}

// The FM depth: follows the control at once, except that a note restarting a voice that still
// sounds glides to the new depth, so a depth jump there does not click.
class DepthGlide {
public:
    float next(float target, bool noteStart, bool voiceSilent, float step) {
        if (noteStart) gliding_ = !voiceSilent;
        if (gliding_) {
            depth_ += (target - depth_) * step;
            if (std::abs(target - depth_) < kDepthGlideDone) gliding_ = false;
        } else {
            depth_ = target;
        }
        return depth_;
    }

private:
    float depth_ = 0.0f;
    bool gliding_ = false;
};

// Glide step per tick for ticks at `ticksPerSample` x the sample rate.
float glideStep(float sampleRate, float ticksPerSample) {
    const float rate = sampleRate * ticksPerSample;
    if (!(rate > kDepthGlidePerSecond)) return 1.0f; // also a missing rate: no glide
    return kDepthGlidePerSecond / rate;
}

// The voice's smoothed pitch (semitones) and FM depth for each of `over` ticks per sample,
// shared by all copies. Controls hold across a sample's ticks; a note start counts on its
// first tick only.
class PitchDepthLanes {
public:
    PitchDepthLanes(int over, float smoothing) : over_(over), smoothing_(smoothing) {}

    bool allocate(SharedVoiceContext& context, int frames) {
        capacity_ = 0;
        pitch_ = context.allocate(over_ * frames + 4, "osc fm pitch");
        depth_ = context.allocate(over_ * frames + 4, "osc fm depth");
        if (pitch_ == nullptr || depth_ == nullptr) return false;
        capacity_ = frames;
        return true;
    }
    int capacity() const { return capacity_; }

    void compute(const OscBlock& b) {
        const float step = glideStep(b.sampleRate, static_cast<float>(over_));
        for (int i = 0; i < b.frames; ++i) {
            const float target = finitePitch(b.pitch[i]);
            const float a = unit(b.ctrlA[i]);
            if (!primed_) {
                smoothed_ = target;
                primed_ = true;
            }
            for (int sub = 0; sub < over_; ++sub) {
                const int h = over_ * i + sub;
                smoothed_ += (target - smoothed_) * smoothing_;
                pitch_[h] = smoothed_ * kSemitones;
                depth_[h] = glide_.next(a, sub == 0 && b.retrig[i] == 1.0f, b.voiceSilent, step);
            }
        }
    }
    const float* pitch() const { return pitch_; }
    const float* depth() const { return depth_; }

private:
    int over_;
    float smoothing_;
    DepthGlide glide_;
    float smoothed_ = 0.0f; // normalised pitch
    bool primed_ = false;
    float* pitch_ = nullptr;
    float* depth_ = nullptr;
    int capacity_ = 0;
};

// ---- FM --------------------------------------------------------------------------------------

// A sine modulator (up to four octaves above, CtrlB) shifting the phase of a carrier that reads
// the current wave, by depth x one cycle (CtrlA). WTMix fades towards a plain wave oscillator at
// the modulator's pitch.
class FmGenerator final : public OscGenerator {
public:
    static constexpr float kPitchSmoothing = 0.2f;
    static constexpr float kModulatorRange = 48.0f; // semitones at CtrlB = 1

    bool setBlockSize(SharedVoiceContext& context, int frames) override {
        return lanes_.allocate(context, frames);
    }

    void render(const OscBlock& b) override {
        if (!startBlock(b) || lanes_.capacity() <= 0) return;
        inPieces(b, lanes_.capacity(), [this](const OscBlock& piece) { renderPiece(piece); });
    }

private:
    void renderPiece(const OscBlock& b) {
        lanes_.compute(b);
        const float* pitch = lanes_.pitch();
        const float* depth = lanes_.depth();
        const float* sine = b.tables->wave(kSineWave, 0);
        const auto readSine = [sine](const OscReadTables&, float phase) {
            return readAt(sine, phase, 0);
        };
        const bool withWave = !b.wtMixZero;
        for (int j = 0; j < copiesOf(b); ++j) {
            const auto k = static_cast<std::size_t>(j);
            OscPhaseState& mod = modulator_[k];
            OscPhaseState& car = carrier_[k];
            OscPhaseState& plain = plain_[k];
            mod.begin(b);
            car.begin(b);
            plain.begin(b);
            const float offset = copyOffset(b, j);
            const osc::CopySum out = copySum(b, j);
            for (int i = 0; i < b.frames; ++i) {
                if (b.retrig[i] == 1.0f) {
                    car.retrigger(b, j, random_);
                    mod.retrigger(b, j, random_);
                    plain.retrigger(b, j, random_);
                }
                const float modPitch =
                    clampPitch(pitch[i] + unit(b.ctrlB[i]) * kModulatorRange + offset);
                mod.setPitch(modPitch);
                const float shift = mod.tick(readSine) * depth[i] * kCycle;

                car.setPitch(clampPitch(pitch[i] + offset));
                float s = car.tick([shift](const OscReadTables& t, float phase) {
                    return readWave(t, wrapPhase(phase + shift));
                });
                if (withWave) {
                    plain.setPitch(modPitch);
                    const float w = plain.tick(
                        [](const OscReadTables& t, float phase) { return readWave(t, phase); });
                    s += unit(b.wtMix[i]) * (w - s);
                }
                out(i, s);
            }
        }
    }

    States modulator_;
    States carrier_;
    States plain_;
    OscPhaseRandom random_;
    PitchDepthLanes lanes_{1, kPitchSmoothing};
};

// ---- AMSync ----------------------------------------------------------------------------------

// A carrier up to six octaves above a master sine (CtrlB), restarted at every master cycle and
// amplitude-modulated by it: the classic sync sweep with the master's pitch. The carrier is a
// saw minus CtrlA x the saw half a cycle later (a pulse), with WTMix towards the wave there.
class AmSyncGenerator final : public OscGenerator {
public:
    static constexpr float kCarrierRange = 72.0f; // semitones at CtrlB = 1
    // The restart lands just before the cycle end rather than on 0: it reads as 0, and the next
    // step then wraps the carrier, which is where a state takes a pending wave change.
    static constexpr float kSyncPhase = kCycle - 1.0f / 2048.0f;

    void render(const OscBlock& b) override {
        if (!startBlock(b)) return;
        const float* sine = b.tables->wave(kSineWave, 0);
        const auto readSine = [sine](const OscReadTables&, float phase) {
            return readAt(sine, phase, 0);
        };
        for (int j = 0; j < copiesOf(b); ++j) {
            const auto k = static_cast<std::size_t>(j);
            OscPhaseState& master = master_[k];
            OscPhaseState& car = carrier_[k];
            master.begin(b);
            car.begin(b);
            const float offset = copyOffset(b, j);
            const osc::CopySum out = copySum(b, j);
            for (int i = 0; i < b.frames; ++i) {
                if (b.retrig[i] == 1.0f) {
                    master.retrigger(b, j, random_);
                    car.retrigger(b, j, random_);
                }
                const float base = finitePitch(b.pitch[i]) * kSemitones + offset;
                master.setPitch(clampPitch(base));
                const float am = 0.5f * master.tick(readSine) + 0.5f;

                const float a = unit(b.ctrlA[i]);
                const float mix = unit(b.wtMix[i]);
                car.setPitch(clampPitch(base + unit(b.ctrlB[i]) * kCarrierRange));
                const float s = car.tick([a, mix](const OscReadTables& t, float phase) {
                    float v = readSaw(t, phase) - a * readSaw(t, phase, kHalfCycleFloats);
                    if (mix != 0.0f) v += mix * (readWave(t, phase, kHalfCycleFloats) - v);
                    return v;
                });
                if (master.wrapped()) car.setPhase(kSyncPhase);
                out(i, s * am);
            }
        }
    }

private:
    States master_;
    States carrier_;
    OscPhaseRandom random_;
};

// ---- HardFM ----------------------------------------------------------------------------------

// Two-operator FM at twice the sample rate: a modulator at a musical interval above or below the
// carrier (CtrlB), cross-faded from the current wave to the next one (WTMix), drives the
// carrier's phase by depth (CtrlA) x the wave's key-scaling curve, which tames bright waves at
// high notes.
//
// Pitch units: the lanes hold semitones. The states step twice per output sample, so each runs
// 12 semitones below the pitch it should sound (its increment halves, its tables suit the
// doubled Nyquist). "The current wave one octave lower" is that step: the modulator sounds at
// its interval above the carrier (interval 0 = the carrier's frequency). The next wave runs 24
// semitones below the modulator pitch and so sounds an octave under it. The key-scaling curve
// is read at that lower oscillator's pitch: x = (modulator - 24) / 127 x 8 over its 9 points.
class HardFmGenerator final : public OscGenerator {
public:
    static constexpr int kOver = 2;
    static constexpr float kOverSemitones = 12.0f; // 12 x log2(kOver)
    static constexpr float kNextWaveSemitones = 24.0f;
    static constexpr float kPitchSmoothing = 0.05f; // per sub-sample
    static constexpr float kCurveScale = (osc::kHardFmCurvePoints - 1) / kSemitones;
    // Modulator intervals in semitones: ratios 1/2, 2/3, 1, 4/3, 3/2, 2, 5/2, 3, 4, 5, 6.
    static constexpr std::array<float, 11> kIntervals = {-12.0f,  -7.0195f, 0.0f,     4.9806f,
                                                         7.0195f, 12.0f,    15.8637f, 19.0199f,
                                                         24.0f,   27.8631f, 31.02f};
    // Past 30 % of the way to the next interval the modulator detunes, up to 0.36 semitone.
    static constexpr float kDetuneStart = 0.3f;
    static constexpr float kDetuneSemitones = 0.004f * kSemitones;

    bool setBlockSize(SharedVoiceContext& context, int frames) override {
        return lanes_.allocate(context, frames);
    }

    void render(const OscBlock& b) override {
        if (!startBlock(b) || lanes_.capacity() <= 0) return;
        inPieces(b, lanes_.capacity(), [this](const OscBlock& piece) { renderPiece(piece); });
    }

    static float interval(float ctrlB) {
        const float scaled = unit(ctrlB) * 10.0f;
        const int i = std::clamp(static_cast<int>(scaled), 0, 10);
        const float frac = scaled - static_cast<float>(i);
        float semitones = kIntervals[static_cast<std::size_t>(i)];
        if (frac > kDetuneStart) semitones += (frac - kDetuneStart) * kDetuneSemitones;
        return semitones;
    }

private:
    void renderPiece(const OscBlock& b) {
        lanes_.compute(b);
        const float* pitch = lanes_.pitch();
        const float* depth = lanes_.depth();
        const osc::OscTables& tables = *b.tables;
        const int wave = std::clamp(b.wave, 0, osc::kWaves - 1);
        OscBlock next = b; // the same block as the next wave of the bank sees it
        next.wave = (wave + 1) % osc::kWaves;
        const bool withNext = !b.wtMixZero;
        const auto plainRead = [](const OscReadTables& t, float phase) {
            return readWave(t, phase);
        };

        for (int j = 0; j < copiesOf(b); ++j) {
            const auto k = static_cast<std::size_t>(j);
            OscPhaseState& modA = modulator_[k];
            OscPhaseState& modB = nextModulator_[k];
            OscPhaseState& car = carrier_[k];
            modA.begin(b);
            modB.begin(next);
            car.begin(b);
            const float offset = copyOffset(b, j);
            const osc::CopySum out = copySum(b, j);
            for (int i = 0; i < b.frames; ++i) {
                const float step = interval(b.ctrlB[i]) + offset;
                const float mix = unit(b.wtMix[i]);
                if (b.retrig[i] == 1.0f) {
                    car.retrigger(b, j, random_);
                    modA.retrigger(b, j, random_);
                    modB.retrigger(next, j, random_);
                }
                float sum = 0.0f;
                for (int sub = 0; sub < kOver; ++sub) {
                    const int h = kOver * i + sub;
                    const float modPitch = clampPitch(pitch[h] + step);
                    modA.setPitch(clampPitch(modPitch - kOverSemitones));
                    float mod = modA.tick(plainRead);
                    const float x = (modPitch - kNextWaveSemitones) * kCurveScale;
                    float curve = tables.hardFmCurve(wave, x);
                    if (withNext) {
                        modB.setPitch(clampPitch(modPitch - kNextWaveSemitones));
                        mod += mix * (modB.tick(plainRead) - mod);
                        curve += mix * (tables.hardFmCurve(next.wave, x) - curve);
                    }
                    const float shift = mod * depth[h] * curve * kCycle;
                    car.setPitch(clampPitch(clampPitch(pitch[h] + offset) - kOverSemitones));
                    sum += car.tick([shift](const OscReadTables& t, float phase) {
                        return readWave(t, wrapPhase(phase + shift));
                    });
                }
                // Adding the copies at the high rate and then each pair of sub-samples is the
                // same sum in another order.
                out(i, sum * (1.0f / kOver));
            }
        }
    }

    States modulator_;
    States nextModulator_;
    States carrier_;
    OscPhaseRandom random_;
    PitchDepthLanes lanes_{kOver, kPitchSmoothing};
};

} // namespace

std::unique_ptr<OscGenerator> makeFmGenerator() {
    return std::make_unique<FmGenerator>();
}
std::unique_ptr<OscGenerator> makeAmSyncGenerator() {
    return std::make_unique<AmSyncGenerator>();
}
std::unique_ptr<OscGenerator> makeHardFmGenerator() {
    return std::make_unique<HardFmGenerator>();
}

} // namespace kolva
