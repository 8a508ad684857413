#include "fx/module_fx_delay.h"

#include "engine/lookup_curve.h"
#include "fx/fx_dsp.h"
#include "fx/fx_simd.h"
#include "fx/fx_tables.h"
#include "platform/denormals.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace kolva {
namespace fx {

namespace {

constexpr float kMaxSeconds = 10.0f;

} // namespace

void DelayCore::delayTimes(int frames, float sampleRate, const Controls& c, float* delayLeft,
                           float* delayRight) {
    // The LFO phase sample by sample (parked in delayLeft), then the times four samples at a
    // time: mod = (T(phase) - 0.5) 0.02 depth, the time with mod added (synced or free), then
    // seconds to samples held inside [0, 10] s (NaN reads as 0).
    phase_ = LfoClock(sampleRate).fill(phase_, c.rate, frames, delayLeft);

    const float* lfo = tables().lfoBase.data();
    const __m128 syncLeft = _mm_set1_ps(syncSeconds(c.divisionLeft, c.tempo));
    const __m128 syncRight = _mm_set1_ps(syncSeconds(c.divisionRight, c.tempo));
    const __m128 zero = _mm_setzero_ps(), floor = _mm_set1_ps(0.01f);
    const auto samples = [&](__m128 seconds) { // !(s > 0) ? 0 : min(s, 10) * rate
        return _mm_and_ps(_mm_cmpgt_ps(seconds, zero),
                          _mm_mul_ps(_mm_min_ps(seconds, _mm_set1_ps(kMaxSeconds)),
                                     _mm_set1_ps(sampleRate)));
    };
    // The control pointers and the sync switch in locals: the stores into the delay buffers
    // would otherwise send the loop back to `c` for them every step.
    const float* const depths = c.depth;
    const float* const timesLeft = c.timeLeft;
    const float* const timesRight = c.timeRight;
    const auto run = [&](auto synced) {
        const auto times = [&](__m128 phases, __m128 depth, __m128 timeL, __m128 timeR,
                               __m128& dL, __m128& dR) {
            const __m128 t = simd::lookupCurve4(
                lfo, kLfoBasePoints + 1, _mm_mul_ps(phases, _mm_set1_ps(kLfoBasePoints - 1)));
            const __m128 mod = _mm_mul_ps(
                _mm_mul_ps(_mm_sub_ps(t, _mm_set1_ps(0.5f)), _mm_set1_ps(0.02f)), depth);
            if constexpr (decltype(synced)::value) {
                dL = samples(_mm_add_ps(syncLeft, mod));
                dR = samples(_mm_sub_ps(syncRight, mod));
            } else {
                dL = samples(_mm_add_ps(_mm_add_ps(timeL, mod), floor));
                dR = samples(_mm_add_ps(_mm_sub_ps(timeR, mod), floor));
            }
        };
        int i = 0;
        for (; i + 4 <= frames; i += 4) {
            __m128 dL, dR;
            times(_mm_loadu_ps(delayLeft + i), _mm_loadu_ps(depths + i),
                  _mm_loadu_ps(timesLeft + i), _mm_loadu_ps(timesRight + i), dL, dR);
            _mm_storeu_ps(delayLeft + i, dL);
            _mm_storeu_ps(delayRight + i, dR);
        }
        for (; i < frames; ++i) {
            __m128 dL, dR;
            times(_mm_set_ss(delayLeft[i]), _mm_set_ss(depths[i]), _mm_set_ss(timesLeft[i]),
                  _mm_set_ss(timesRight[i]), dL, dR);
            delayLeft[i] = simd::lane0(dL);
            delayRight[i] = simd::lane0(dR);
        }
    };
    if (c.sync)
        run(std::true_type{});
    else
        run(std::false_type{});
}

void DelayCore::process(int frames, float sampleRate, float* left, float* right,
                        const Controls& c, DelayLine& lineLeft, DelayLine& lineRight,
                        float* delayLeft, float* delayRight) {
    if (lineLeft.data == nullptr || lineRight.data == nullptr) return;
    delayTimes(frames, sampleRate, c, delayLeft, delayRight);
    const Tables& tables = fx::tables();
    // Neutral tone: the band spans the audible range.
    const float flatLow = onePoleCoefficient(20000.0f, sampleRate);
    const float flatHigh = onePoleCoefficient(20.0f, sampleRate);
    Memo lowMemo, highMemo;

    // The two lines are carved, cleared and stepped together, so they share their write
    // index; both sit in locals for the block, as do the states and the control buffers.
    float* const dataL = lineLeft.data;
    float* const dataR = lineRight.data;
    const int length = std::min(lineLeft.length, lineRight.length);
    int write = lineLeft.write;
    // Both lines are read at the shared write index.
    const auto read = [&](const float* data, float delay) {
        return readLinearAt(data, length, write, delay);
    };
    const float* const feedback = c.feedback;
    const float* const widths = c.width;
    const float* const tone = c.tone;
    const float* const mixes = c.mix;
    const bool pingPong = c.pingPong;
    EchoTone toneL = tone_[0], toneR = tone_[1];

    const auto lowOf = [&](float tone) {
        return lowMemo(tone, [&](float t) {
            if (t >= 0.51f)
                return toneCoefficientAt(tables, 1.0f - (t - 0.5f) * 2.0f * 0.2f, sampleRate);
            if (t < 0.49f) return toneCoefficientAt(tables, t * 2.0f * 0.7f + 0.3f, sampleRate);
            return flatLow;
        });
    };
    const auto highOf = [&](float tone) {
        return highMemo(tone, [&](float t) {
            if (t >= 0.51f) return toneCoefficientAt(tables, (t - 0.5f) * 2.0f * 0.7f, sampleRate);
            if (t < 0.49f) return toneCoefficientAt(tables, 0.4f - t * 2.0f * 0.4f, sampleRate);
            return flatHigh;
        });
    };
    // One sample as written: read, tone, write, advance, width and mix.
    const auto one = [&](int i, float lowCoef, float highCoef) {
        float yL = read(dataL, delayLeft[i]);
        float yR = read(dataR, delayRight[i]);
        yL = toneL.run(yL, lowCoef, highCoef);
        yR = toneR.run(yR, lowCoef, highCoef);

        const float inL = left[i], inR = right[i];
        const float fb = feedback[i];
        const float width = widths[i];
        if (pingPong) {
            if (width < 0.5f) {
                dataL[write] = yR * fb + inL;
                dataR[write] = yL * fb + inR;
            } else {
                // Both inputs start on the left, so the echoes leave left first.
                dataL[write] = yR * fb + inL + inR;
                dataR[write] = yL * fb;
            }
        } else {
            dataL[write] = yL * fb + inL;
            dataR[write] = yR * fb + inR;
        }
        if (++write >= length) write = 0;

        const float w = width * 2.0f - 1.0f;
        const float keep = pingPong ? (std::fabs(w) + 1.0f) * 0.5f : (w + 1.0f) * 0.5f;
        const float outL = keep * yL + (1.0f - keep) * yR;
        const float outR = (1.0f - keep) * yL + keep * yR;

        left[i] = echoMix(inL, outL, mixes[i]);
        right[i] = echoMix(inR, outR, mixes[i]);
    };
    const __m128 one4 = _mm_set1_ps(1.0f), half4 = _mm_set1_ps(0.5f);
    const __m128 signBit = _mm_set1_ps(-0.0f);
    const auto run = [&](auto&& lowAt, auto&& highAt) {
        int i = 0;
        for (; i + 4 <= frames; i += 4) {
            // Four samples whose reads all reach back at least four samples do not see each
            // other's writes: read all four, then write all four, with the same arithmetic
            // as one() per lane. Shorter delays and a write index about to wrap go one by one.
            const __m128 dl = _mm_loadu_ps(delayLeft + i), dr = _mm_loadu_ps(delayRight + i);
            const __m128 reach = _mm_min_ps(dl, dr);
            if (write + 4 > length ||
                _mm_movemask_ps(_mm_cmpge_ps(reach, _mm_set1_ps(4.0f))) != 0xF) {
                for (int k = i; k < i + 4; ++k) one(k, lowAt(tone[k]), highAt(tone[k]));
                continue;
            }
            alignas(16) float yL[4], yR[4];
            _mm_store_ps(yL, readLinear4(dataL, length, write, dl));
            _mm_store_ps(yR, readLinear4(dataR, length, write, dr));
            for (int k = 0; k < 4; ++k) {
                const float lowCoef = lowAt(tone[i + k]);
                const float highCoef = highAt(tone[i + k]);
                yL[k] = toneL.run(yL[k], lowCoef, highCoef);
                yR[k] = toneR.run(yR[k], lowCoef, highCoef);
            }
            const __m128 l = _mm_load_ps(yL), r = _mm_load_ps(yR);
            const __m128 inL = _mm_loadu_ps(left + i), inR = _mm_loadu_ps(right + i);
            const __m128 fb = _mm_loadu_ps(feedback + i);
            const __m128 width = _mm_loadu_ps(widths + i);
            __m128 toL, toR;
            if (pingPong) {
                const __m128 narrow = _mm_cmplt_ps(width, half4);
                const __m128 crossL = _mm_add_ps(_mm_mul_ps(r, fb), inL);
                const __m128 crossR = _mm_mul_ps(l, fb);
                toL = _mm_or_ps(_mm_and_ps(narrow, crossL),
                                _mm_andnot_ps(narrow, _mm_add_ps(crossL, inR)));
                toR = _mm_or_ps(_mm_and_ps(narrow, _mm_add_ps(crossR, inR)),
                                _mm_andnot_ps(narrow, crossR));
            } else {
                toL = _mm_add_ps(_mm_mul_ps(l, fb), inL);
                toR = _mm_add_ps(_mm_mul_ps(r, fb), inR);
            }
            _mm_storeu_ps(dataL + write, toL);
            _mm_storeu_ps(dataR + write, toR);
            write += 4;
            if (write >= length) write = 0;

            const __m128 w = _mm_sub_ps(_mm_mul_ps(width, _mm_set1_ps(2.0f)), one4);
            const __m128 keep =
                _mm_mul_ps(_mm_add_ps(pingPong ? _mm_andnot_ps(signBit, w) : w, one4), half4);
            const __m128 rest = _mm_sub_ps(one4, keep);
            const __m128 outL = _mm_add_ps(_mm_mul_ps(keep, l), _mm_mul_ps(rest, r));
            const __m128 outR = _mm_add_ps(_mm_mul_ps(rest, l), _mm_mul_ps(keep, r));
            const __m128 mix = _mm_loadu_ps(mixes + i);
            _mm_storeu_ps(left + i, echoMix4(inL, outL, mix));
            _mm_storeu_ps(right + i, echoMix4(inR, outR, mix));
        }
        for (; i < frames; ++i) one(i, lowAt(tone[i]), highAt(tone[i]));
    };
    if (frames > 0 && holdsStill(tone, frames))
        run(Held{lowOf(tone[0])}, Held{highOf(tone[0])});
    else
        run(lowOf, highOf);
    lineLeft.write = lineRight.write = write;
    tone_[0] = toneL;
    tone_[1] = toneR;
}

void DelayCore::clear() {
    phase_ = 0.0f;
    tone_[0].clear();
    tone_[1].clear();
}

} // namespace fx

namespace {

constexpr FxDecode kDecodes[ModuleFxDelay::kSlots] = {
    FxDecode::kSwitch,     FxDecode::kSwitch,     FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kSelector,   FxDecode::kSelector,   FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kSwitch};

} // namespace

ModuleFxDelay::ModuleFxDelay() : FxModule(kDecodes, kSlots, kMix, kBypass) {
    lineLeft_ = lines_.add(kLineSeconds);
    lineRight_ = lines_.add(kLineSeconds);
    scratch_.configure(2, 1); // the read positions of a block
    fx::tables(); // built here, not on the audio thread
}

void ModuleFxDelay::process(int frames, float* left, float* right) {
    if (frames <= 0 || frames > blockCapacity() || inactive()) return;
    platform::ScopedFlushDenormals ftz;

    fx::DelayCore::Controls c;
    c.pingPong = switchValue(kPingPong) == 1;
    c.sync = switchValue(kSync) == 1;
    c.divisionLeft = switchValue(kDivisionLeft);
    c.divisionRight = switchValue(kDivisionRight);
    c.tempo = engine_ != nullptr ? engine_->lastPositiveTempo : 120.0f;
    c.timeLeft = modulated(kTimeLeft, frames);
    c.timeRight = modulated(kTimeRight, frames);
    c.feedback = modulated(kFeedback, frames);
    c.rate = modulated(kRate, frames);
    c.depth = modulated(kDepth, frames);
    c.width = modulated(kWidth, frames);
    c.tone = modulated(kTone, frames);
    c.mix = modulated(kMix, frames);
    core_.process(frames, sampleRate_, left, right, c, lines_[lineLeft_], lines_[lineRight_],
                  scratch_[0], scratch_[1]);
}

void ModuleFxDelay::recover() {
    FxModule::recover();
    core_.clear();
}

} // namespace kolva
