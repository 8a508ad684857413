#include "fx/component_rever.h"

#include "engine/lookup_curve.h"
#include "fx/fx_tables.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace kolva::fx {
namespace {

constexpr float kSizeCurve[32] = {
    0.0f,    0.1225f, 0.2279f, 0.3184f, 0.3967f, 0.4651f, 0.5247f, 0.5773f,
    0.6242f, 0.6654f, 0.7026f, 0.7355f, 0.7652f, 0.792f,  0.8159f, 0.8375f,
    0.857f,  0.8747f, 0.8907f, 0.9052f, 0.9183f, 0.9302f, 0.9409f, 0.9506f,
    0.9594f, 0.9673f, 0.9744f, 0.9808f, 0.9864f, 0.9915f, 0.996f,  1.0f};

constexpr float kDampingCurve[32] = {
    0.0f,    0.0058f, 0.012f,  0.0187f, 0.0258f, 0.0336f, 0.0421f, 0.0514f,
    0.0616f, 0.0727f, 0.0848f, 0.098f,  0.1125f, 0.1282f, 0.1455f, 0.1644f,
    0.185f,  0.2075f, 0.2321f, 0.259f,  0.2884f, 0.321f,  0.3569f, 0.3964f,
    0.4402f, 0.4897f, 0.5448f, 0.608f,  0.68f,   0.7657f, 0.8691f, 1.0f};

constexpr int kMixPoints = 32;
constexpr float kMixCurve[kMixPoints] = {
    0.0f,    0.011f,  0.0226f, 0.0349f, 0.048f,  0.0619f, 0.0769f, 0.0929f,
    0.1099f, 0.128f,  0.1475f, 0.1682f, 0.1905f, 0.2143f, 0.2398f, 0.2673f,
    0.2968f, 0.3284f, 0.3624f, 0.399f,  0.4379f, 0.4798f, 0.5242f, 0.5712f,
    0.6208f, 0.6725f, 0.7259f, 0.7805f, 0.8358f, 0.8912f, 0.946f,  1.0f};

// The random LFOs stay within [-0.5, 1.5).
constexpr float kLfoPeak = 1.5f;
// The tone band's resting high-pass: the note scale at 23.8 of 119, 81.48 Hz.
constexpr float kToneFloor = 23.8f / 119.0f;
// Peaking filters above this fraction of the rate would turn unstable (their design folds
// past Nyquist), so they are held below it.
constexpr float kNotchCeiling = 0.45f;

int wholeSamples(float d) { return static_cast<int>(d); }

// The tank's modulated read: the line is written first, then read through the cubic, which
// looks one sample ahead of its position (hence at least one sample of delay).
inline float cubicAt(const float* data, int length, int write, float delay) {
    return cubicRead(data, length, write, std::max(delay, 1.0f));
}

// A line written with `source` and read `delay` samples back into `sum` (sum += gain x read),
// as put, read, advance per sample would.
[[gnu::always_inline]] inline void tapInto(DelayLine& line, int n, int delay,
                                           const float* source, float* sum, float gain) {
    const __m128 gains = _mm_set1_ps(gain);
    line.walk(
        n, delay,
        [&](int t, float& slot, const float& older) {
            slot = source[t];
            sum[t] += gain * older;
        },
        [&](int t, float* slots, const float* olders) {
            _mm_storeu_ps(slots, _mm_loadu_ps(source + t));
            const __m128 read = _mm_mul_ps(gains, _mm_loadu_ps(olders));
            _mm_storeu_ps(sum + t, _mm_add_ps(_mm_loadu_ps(sum + t), read));
        });
}

// An all-pass over x in place, the line read before it is written (at least one sample back):
// y = g x + read, write x - g y.
[[gnu::always_inline]] inline void allPassOver(DelayLine& line, int n, int delay, float g,
                                               float* x) {
    const __m128 gs = _mm_set1_ps(g);
    line.walk(
        n, std::max(delay, 1),
        [&](int t, float& slot, const float& older) {
            const float y = g * x[t] + older;
            slot = x[t] - g * y;
            x[t] = y;
        },
        [&](int t, float* slots, const float* olders) {
            const __m128 in = _mm_loadu_ps(x + t);
            const __m128 y = _mm_add_ps(_mm_mul_ps(gs, in), _mm_loadu_ps(olders));
            _mm_storeu_ps(slots, _mm_sub_ps(in, _mm_mul_ps(gs, y)));
            _mm_storeu_ps(x + t, y);
        });
}

float sizeRange(const float (&range)[2]) {
    return std::max(std::fabs(range[0]), std::fabs(range[0] + range[1]));
}

} // namespace

ComponentRever::ComponentRever() : bank_(&reverModeBank()) { tables(); }

void ComponentRever::registerLines(DelayLineRegistry& lines) {
    first_ = lines.add(kPreDelaySeconds);
    for (int i = 1; i < kLineCount; ++i) lines.add(kLineSeconds);
}

void ComponentRever::load(int mode) {
    mode = std::clamp(mode, 0, kReverModes - 1);
    if (mode == loaded_) return;
    if (bank_ == nullptr || !bank_->valid) return; // the previous mode stays
    mode_ = ReverMode{};
    mode_ = bank_->modes[static_cast<std::size_t>(mode)];
    loaded_ = mode;
}

void ComponentRever::process(int frames, float sampleRate, float* left, float* right,
                             const Controls& c, DelayLineRegistry& lines,
                             const ScratchBuffers& scratch) {
    if (first_ < 0 || frames <= 0 || !scratch.ready() || scratch.capacity() < frames) return;
    load(c.mode);
    const ReverMode& m = mode_;

    const float r = static_cast<float>(std::max(m.timeRatio, 1));
    const float k = sampleRate / kModeRate * r;
    const float tapScale = sampleRate / kModeRate;
    const float insideA = m.inside[0] / r;
    const float insideB = m.inside[1] / r;
    const __m128 lfoStep = _mm_div_ps(_mm_loadu_ps(m.lfoHz), _mm_set1_ps(sampleRate));

    const bool useTaps = m.flags[0] != 0 && m.tapCount > 0;
    const bool useDiffusion = m.flags[1] != 0 && m.diffuserCount > 0;
    const bool useOutputTaps = m.flags[2] != 0 && m.flags[3] != 0;

    for (int j = 0; j < 2; ++j)
        peak_[j].design(sampleRate, Biquad::kPeaking,
                        std::min(m.notch[j][0], kNotchCeiling * sampleRate), qAt(m.notch[j][1]),
                        m.notch[j][2], false);

    DelayLine* const base = &lines[first_];
    float* const in = scratch[kIn];
    float* const feed = scratch[kFeed];
    float* const decay = scratch[kDecay];
    float* const outL = scratch[kOutLeft];
    float* const outR = scratch[kOutRight];

    // 1. The mono input through the tone band and the pre-delay.
    {
        const Tables& t = tables();
        const float flatLow = onePoleCoefficient(t, 20000.0f, sampleRate);
        const float floorHigh = toneCoefficientAt(t, kToneFloor, sampleRate);
        const float syncDelay = syncSeconds(c.division, c.tempo) * sampleRate;
        DelayLine& pre = base[kPre];
        EchoTone tone = tone_;
        Memo lowMemo, highMemo;
        const auto lowOf = [&](float control) {
            return lowMemo(control, [&](float v) {
                return v < 0.49f ? toneCoefficientAt(t, v * 2.0f, sampleRate) : flatLow;
            });
        };
        const auto highOf = [&](float control) {
            return highMemo(control, [&](float v) {
                return v >= 0.51f
                           ? toneCoefficientAt(t, (v - 0.5f) * 2.0f * 0.8f + 0.2f, sampleRate)
                           : floorHigh;
            });
        };
        // Without a pre-delay anywhere in the block (the usual case) the line is left alone
        // and the per-sample test goes.
        const bool noPreDelay =
            frames > 0 && !c.sync && holdsStill(c.preDelay, frames) && c.preDelay[0] == 0.0f;
        const auto run = [&](auto&& lowAt, auto&& highAt) {
            if (noPreDelay) {
                const float* const l = left;
                const float* const r = right;
                const float* const tones = c.tone;
                for (int i = 0; i < frames; ++i)
                    in[i] = tone.run((l[i] + r[i]) * 0.5f, lowAt(tones[i]), highAt(tones[i]));
                return;
            }
            for (int i = 0; i < frames; ++i) {
                float x = (left[i] + right[i]) * 0.5f;
                const float lowCoef = lowAt(c.tone[i]);
                const float highCoef = highAt(c.tone[i]);
                x = tone.run(x, lowCoef, highCoef);
                if (c.sync || c.preDelay[i] != 0.0f) {
                    const float d = c.sync ? syncDelay : c.preDelay[i] * sampleRate;
                    pre.put(x);
                    x = pre.readLinear(d);
                    pre.advance();
                }
                in[i] = x;
            }
        };
        if (frames > 0 && holdsStill(c.tone, frames))
            run(Held{lowOf(c.tone[0])}, Held{highOf(c.tone[0])});
        else
            run(lowOf, highOf);
        tone_ = tone;
    }

    // 2. Multi-taps and diffusers. The size sets their whole-sample delays and the tank's
    // decay. Held still over the block (the usual case) they run line by line over it; while it
    // moves, sample by sample.
    struct SizeDerived {
        float decay, tapSize, diffSize;
    };
    const auto derive = [&](float size) {
        const float s = lookupCurve01(kSizeCurve, size);
        return SizeDerived{m.decayTail[0] + m.decayTail[1] * s,
                           tapScale * (m.sizeMt[0] + m.sizeMt[1] * s),
                           k * (m.sizeDiff[0] + m.sizeDiff[1] * s)};
    };
    // Every size after the first equal to the first (as floats: a NaN first never holds, -0
    // and 0 do). The bitwise test settles the usual case in vector steps.
    const bool still =
        frames == 1 ||
        (holdsStill(c.size, frames)
             ? c.size[0] == c.size[0]
             : std::all_of(c.size + 1, c.size + frames, [&c](float v) { return v == c.size[0]; }));
    if (still) {
        const SizeDerived d = derive(c.size[0]);
        std::fill_n(decay, frames, d.decay);
        std::copy_n(in, frames, feed);
        if (useTaps) {
            for (int j = 0; j < m.tapCount; ++j)
                tapInto(base[kTap0 + j], frames, wholeSamples(d.tapSize * m.taps[j][0]), in,
                        feed, m.taps[j][1]);
        }
        if (useDiffusion) {
            for (int j = 0; j < m.diffuserCount; ++j)
                allPassOver(base[kDiff0 + j], frames,
                            wholeSamples(d.diffSize * m.diffusers[j][0]), m.diffusers[j][1],
                            feed);
        }
    } else {
        int tapDelay[ReverMode::kTaps] = {};
        int diffDelay[ReverMode::kDiffusers] = {};
        Memo sizeMemo;
        for (int i = 0; i < frames; ++i) {
            decay[i] = sizeMemo(c.size[i], [&](float v) {
                const SizeDerived d = derive(v);
                for (int j = 0; j < m.tapCount; ++j)
                    tapDelay[j] = wholeSamples(d.tapSize * m.taps[j][0]);
                for (int j = 0; j < m.diffuserCount; ++j)
                    diffDelay[j] = wholeSamples(d.diffSize * m.diffusers[j][0]);
                return d.decay;
            });
            const float x = in[i];
            float acc = x;
            if (useTaps) {
                for (int j = 0; j < m.tapCount; ++j) {
                    DelayLine& line = base[kTap0 + j];
                    line.put(x);
                    acc += m.taps[j][1] * line.readInteger(tapDelay[j]);
                    line.advance();
                }
            }
            if (useDiffusion) {
                for (int j = 0; j < m.diffuserCount; ++j) {
                    DelayLine& line = base[kDiff0 + j];
                    const float g = m.diffusers[j][1];
                    const float y = g * acc + line.readInteger(std::max(diffDelay[j], 1));
                    line.push(acc - g * y);
                    acc = y;
                }
            }
            feed[i] = acc;
        }
    }

    // 3. The tank, sample by sample.
    float* const node[6] = {scratch[kNode0],     scratch[kNode0 + 1], scratch[kNode0 + 2],
                            scratch[kNode0 + 3], scratch[kNode0 + 4], scratch[kNode0 + 5]};
    runTank(frames, sampleRate, k, insideA, insideB, lfoStep, c.damping, feed, decay, base,
            useOutputTaps, node, outL, outR);

    // 4. Output taps, the peaking pair, width and mix.
    if (useOutputTaps) {
        const auto tap = [&](DelayLine* lines0, const float (*taps)[3], float* out) {
            std::fill_n(out, frames, 0.0f);
            for (int j = 0; j < ReverMode::kOutputTaps; ++j)
                tapInto(lines0[j], frames, wholeSamples(k * taps[j][1]),
                        node[std::clamp(static_cast<int>(taps[j][0]), 0, 5)], out, taps[j][2]);
        };
        tap(base + kOutL0, m.outputL, outL);
        tap(base + kOutR0, m.outputR, outR);
    }
    for (Biquad& b : peak_) b.process(outL, outR, frames);

    int i = 0;
    // Four samples per step, each lane as the scalar form below. A mix held still over the
    // block (the usual case) is read through its curve once.
    const auto width = [&c](int at) {
        return _mm_mul_ps(_mm_add_ps(_mm_loadu_ps(c.width + at), _mm_set1_ps(1.0f)),
                          _mm_set1_ps(0.5f));
    };
    const auto mixOf = [](__m128 control) {
        return simd::lookupCurve4(kMixCurve, kMixPoints,
                                  _mm_mul_ps(control, _mm_set1_ps(kMixPoints - 1)));
    };
    // mixAt(at) gives the mix lanes, mixInto(dry, wet, mix) the mixed ones.
    const auto mixLoop = [&](auto&& mixAt, auto&& mixInto) {
        for (; i + 4 <= frames; i += 4) {
            const __m128 w = width(i);
            const __m128 rest = _mm_sub_ps(_mm_set1_ps(1.0f), w);
            const __m128 l = _mm_loadu_ps(outL + i), r = _mm_loadu_ps(outR + i);
            const __m128 wetL = _mm_add_ps(_mm_mul_ps(w, l), _mm_mul_ps(rest, r));
            const __m128 wetR = _mm_add_ps(_mm_mul_ps(w, r), _mm_mul_ps(rest, l));
            const __m128 mix = mixAt(i);
            _mm_storeu_ps(left + i, mixInto(_mm_loadu_ps(left + i), wetL, mix));
            _mm_storeu_ps(right + i, mixInto(_mm_loadu_ps(right + i), wetR, mix));
        }
    };
    if (frames >= 4 && holdsStill(c.mix, frames)) {
        // One mix in every lane: one side of echoMix applies throughout.
        const __m128 held = mixOf(_mm_set1_ps(c.mix[0]));
        const auto heldAt = [held](int) { return held; };
        if (_mm_movemask_ps(echoMixPastLanes(held)) != 0)
            mixLoop(heldAt, echoMixPast);
        else
            mixLoop(heldAt, echoMixBelow);
    } else {
        mixLoop([&](int at) { return mixOf(_mm_loadu_ps(c.mix + at)); }, echoMix4);
    }
    for (; i < frames; ++i) {
        const float w = (c.width[i] + 1.0f) * 0.5f;
        const float wetL = w * outL[i] + (1.0f - w) * outR[i];
        const float wetR = w * outR[i] + (1.0f - w) * outL[i];
        const float mix = lookupCurve01(kMixCurve, c.mix[i]);
        left[i] = echoMix(left[i], wetL, mix);
        right[i] = echoMix(right[i], wetR, mix);
    }
}

void ComponentRever::runTank(int frames, float sampleRate, float k, float insideA, float insideB,
                             __m128 lfoStep, const float* damping, const float* feed,
                             const float* decay, DelayLine* base, bool keepNodes,
                             float* const* node, float* outL, float* outR) {
    const ReverMode& m = mode_;
    // The eight tank lines are carved, cleared and stepped together, so one write index and
    // one length serve them all.
    const int length = base[kApL0].length;
    int w = base[kApL0].write;
    float* const apL0 = base[kApL0].data;
    float* const apL1 = base[kApL0 + 1].data;
    float* const apR0 = base[kApR0].data;
    float* const apR1 = base[kApR0 + 1].data;
    float* const waveL0 = base[kWaveL0].data;
    float* const waveL1 = base[kWaveL0 + 1].data;
    float* const waveR0 = base[kWaveR0].data;
    float* const waveR1 = base[kWaveR0 + 1].data;
    // All-pass reads: whole samples, at least one back (read before the write).
    const auto apDelay = [&](float delay) {
        return std::clamp(std::max(wholeSamples(k * delay), 1), 0, length - 1);
    };
    const int dApL0 = apDelay(m.allPassL[0][0]), dApL1 = apDelay(m.allPassL[1][0]);
    const int dApR0 = apDelay(m.allPassR[0][0]), dApR1 = apDelay(m.allPassR[1][0]);
    const float gApL0 = m.allPassL[0][1], gApL1 = m.allPassL[1][1];
    const float gApR0 = m.allPassR[0][1], gApR1 = m.allPassR[1][1];
    const float centreL0 = k * m.waveL[0][0] * insideA, centreL1 = k * m.waveL[1][0] * insideB;
    const float centreR0 = k * m.waveR[0][0] * insideA, centreR1 = k * m.waveR[1][0] * insideB;
    const float depthL0 = m.waveL[0][1], depthL1 = m.waveL[1][1], depthL1b = m.waveL[1][2];
    const float depthR0 = m.waveR[0][1], depthR1 = m.waveR[1][1];
    const auto back = [length](int i) { return i < 0 ? i + length : i; };

    const float* const waves[4] = {waveL0, waveL1, waveR0, waveR1};
    // The modulated delays, one line per lane (L0, L1, R0, R1): centre + m depth, and the
    // second left line also minus m2 times its second depth. The other lanes take away m2 x 0,
    // which leaves them as they are.
    const __m128 centres = _mm_setr_ps(centreL0, centreL1, centreR0, centreR1);
    const __m128 depths = _mm_setr_ps(depthL0, depthL1, depthR0, depthR1);
    const __m128 secondDepths = _mm_setr_ps(0.0f, depthL1b, 0.0f, 0.0f);
    RandomRamps::State ramps = lfo_.load();
    const Tables& t = tables();
    Memo dampMemo;
    float dampL = dampL_, dampR = dampR_, leftEnd = leftEnd_, rightEnd = rightEnd_;
    const auto dampOf = [&](float control) {
        return dampMemo(control, [&](float v) {
            return toneCoefficientAt(t, 1.0f - lookupCurve01(kDampingCurve, v), sampleRate);
        });
    };
    const CubicBounds4 bounds(length);
    const auto run = [&](auto&& dampAt, auto keep) __attribute__((always_inline)) {
        constexpr bool kKeepNodes = decltype(keep)::value;
        // The running state in locals of this loop: kept in the closure, every float store
        // into a line would send it through memory.
        int at = w;
        float lowL = dampL, lowR = dampR, endL = leftEnd, endR = rightEnd;
        // The all-pass read indices step with the write index; in stretches where none of
        // them wraps, every line is read and written at a fixed offset from the stretch's start.
        int readL0 = back(at - dApL0), readL1 = back(at - dApL1);
        int readR0 = back(at - dApR0), readR1 = back(at - dApR1);
        for (int i = 0; i < frames;) {
            const int stretch = std::min({frames - i, length - at, length - readL0,
                                          length - readL1, length - readR0, length - readR1});
            if (stretch <= 0) break; // lines not carved
            const float* const fromL0 = apL0 + readL0;
            const float* const fromL1 = apL1 + readL1;
            const float* const fromR0 = apR0 + readR0;
            const float* const fromR1 = apR1 + readR1;
            float* const toL0 = apL0 + at;
            float* const toL1 = apL1 + at;
            float* const toR0 = apR0 + at;
            float* const toR1 = apR1 + at;
            float* const toWaveL0 = waveL0 + at;
            float* const toWaveL1 = waveL1 + at;
            float* const toWaveR0 = waveR0 + at;
            float* const toWaveR1 = waveR1 + at;
            // One sample of the tank; `readAt(k)` is the modulated read of line k (L0 L1 R0 R1),
            // made once this sample's writes that it may see are done.
            const auto frame = [&](int j, int n, float damp, auto&& readAt) {
                const float acc = feed[n], dec = decay[n];

                // Left half, fed by the right half's end of the previous sample.
                const float u0 = dec * endR + acc;
                const float n0 = gApL0 * u0 + fromL0[j];
                toL0[j] = u0 - gApL0 * n0;
                toWaveL0[j] = n0;
                lowL += (readAt(0) - lowL) * damp;
                const float n1 = lowL;
                const float u2 = n1 * dec;
                const float n2 = gApL1 * u2 + fromL1[j];
                toL1[j] = u2 - gApL1 * n2;
                toWaveL1[j] = n2;
                endL = readAt(1);

                // Right half, fed by this sample's left end.
                const float u3 = dec * endL + acc;
                const float n3 = gApR0 * u3 + fromR0[j];
                toR0[j] = u3 - gApR0 * n3;
                toWaveR0[j] = n3;
                lowR += (readAt(2) - lowR) * damp;
                const float n4 = lowR;
                const float u5 = n4 * dec;
                const float n5 = gApR1 * u5 + fromR1[j];
                toR1[j] = u5 - gApR1 * n5;
                toWaveR1[j] = n5;
                endR = readAt(3);

                if constexpr (kKeepNodes) {
                    node[0][n] = n0;
                    node[1][n] = n1;
                    node[2][n] = n2;
                    node[3][n] = n3;
                    node[4][n] = n4;
                    node[5][n] = n5;
                } else {
                    outL[n] = 0.6f * n1 + 0.6f * n2;
                    outR[n] = 0.6f * n4 + 0.6f * n5;
                }
            };
            __m128i writes = _mm_set1_epi32(at);
            for (int j = 0; j < stretch; ++j) {
                const int n = i + j;
                const __m128 m = lfo_.next(ramps, lfoStep); // m0 m1 m2 m3
                const __m128 bySlot = _mm_shuffle_ps(m, m, _MM_SHUFFLE(3, 0, 1, 2)); // m2 m1 m0 m3
                const __m128 m2 = _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 2, 2, 2));
                const __m128 modulated =
                    _mm_sub_ps(_mm_add_ps(centres, _mm_mul_ps(bySlot, depths)),
                               _mm_mul_ps(m2, secondDepths));
                const float damp = dampAt(damping[n]);

                // The modulated reads. More than two samples back they do not see this
                // sample's writes, so all four are made at once up front; nearer, each waits
                // for its write. std::max(delay, 1) per lane (a NaN delay stays NaN, as there).
                const __m128 delays = _mm_max_ps(_mm_set1_ps(1.0f), modulated);
                alignas(16) float lane[4]; // the four reads, or the four delays to read at
                if (_mm_movemask_ps(_mm_cmpgt_ps(delays, bounds.two)) == 0xF) [[likely]] {
                    _mm_store_ps(lane, cubicRead4Positive(waves, length, bounds, writes, delays));
                    frame(j, n, damp, [&lane](int k) { return lane[k]; });
                } else {
                    _mm_store_ps(lane, modulated);
                    frame(j, n, damp, [&](int k) {
                        return cubicAt(waves[k], length, at + j, lane[k]);
                    });
                }
                writes = _mm_sub_epi32(writes, _mm_set1_epi32(-1));
            }
            i += stretch;
            const auto onwards = [stretch, length](int& index) {
                index += stretch;
                if (index == length) index = 0;
            };
            onwards(at);
            onwards(readL0);
            onwards(readL1);
            onwards(readR0);
            onwards(readR1);
        }
        w = at;
        dampL = lowL;
        dampR = lowR;
        leftEnd = endL;
        rightEnd = endR;
    };
    const auto withNodes = [&](auto&& dampAt) __attribute__((always_inline)) {
        if (keepNodes)
            run(dampAt, std::true_type{});
        else
            run(dampAt, std::false_type{});
    };
    if (frames > 0 && holdsStill(damping, frames))
        withNodes(Held{dampOf(damping[0])});
    else
        withNodes(dampOf);
    lfo_.store(ramps);
    for (int j = kApL0; j < kOutL0; ++j) base[j].write = w;
    dampL_ = dampL;
    dampR_ = dampR;
    leftEnd_ = leftEnd;
    rightEnd_ = rightEnd;
}

void ComponentRever::clear() {
    lfo_.clear();
    tone_.clear();
    dampL_ = dampR_ = 0.0f;
    leftEnd_ = rightEnd_ = 0.0f;
    for (Biquad& b : peak_) b.clear();
}

float ComponentRever::longestRead(const ReverMode& m, float sampleRate) {
    const float r = static_cast<float>(std::max(m.timeRatio, 1));
    const float k = sampleRate / kModeRate * r;
    float longest = 0.0f;
    for (int j = 0; j < m.tapCount; ++j)
        longest = std::max(longest, sampleRate / kModeRate * m.taps[j][0] * sizeRange(m.sizeMt));
    for (int j = 0; j < m.diffuserCount; ++j)
        longest = std::max(longest, k * m.diffusers[j][0] * sizeRange(m.sizeDiff));
    for (int j = 0; j < 2; ++j) {
        longest = std::max({longest, k * m.allPassL[j][0], k * m.allPassR[j][0]});
        const float inside = m.inside[j] / r;
        for (const auto* w : {m.waveL[j], m.waveR[j]})
            longest = std::max(longest, k * w[0] * inside +
                                            kLfoPeak * (std::fabs(w[1]) + std::fabs(w[2])) + 2.0f);
    }
    for (int j = 0; j < ReverMode::kOutputTaps; ++j)
        longest = std::max({longest, k * m.outputL[j][1], k * m.outputR[j][1]});
    return longest;
}

} // namespace kolva::fx
