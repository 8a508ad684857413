// FM, AMSync, HardFM and Vowel on hand-built blocks, judged on what they render: flat-top FFT
// spectra and the share of power on a harmonic grid. Only wave 0 is assumed known (a unit sine).

#include "engine/osc_generator.h"
#include "engine/osc_tables.h"
#include "engine/voice_context.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <vector>

namespace kolva {
namespace {

using Samples = std::vector<float>;

double hz(double note) {
    return 440.0 * std::pow(2.0, (note - 69.0) / 12.0);
}
double db(double ratio) {
    return 20.0 * std::log10(std::max(ratio, 1e-30));
}

// RMS of x (minus y, when given) over [from, to).
double rms(const Samples& x, std::size_t from, std::size_t to, const Samples* y = nullptr) {
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        const double d = x[i] - (y != nullptr ? (*y)[i] : 0.0f);
        sum += d * d;
    }
    return std::sqrt(sum / double(to - from));
}

// Amplitude spectrum through a flat-top window, scaled so that a sine of amplitude a reads a.
struct Spectrum {
    std::vector<double> mag;
    double binHz = 0.0;

    int bin(double f) const { return int(std::lround(f / binHz)); }
    double m(int k) const { return k >= 0 && k < int(mag.size()) ? mag[std::size_t(k)] : 0.0; }
    double at(double f) const { // amplitude of a line at f
        double a = 0.0;
        for (int k = bin(f) - 3; k <= bin(f) + 3; ++k)
            a = std::max(a, m(k));
        return a;
    }
    double power(double from, double to) const { // DC bins left out
        double p = 0.0;
        for (int k = std::max(bin(from), 8); k <= bin(to); ++k)
            p += m(k) * m(k);
        return p;
    }
    double onGrid(double f0, double limit = 20000.0) const { // power share on k x f0 below limit
        double grid = 0.0;
        for (double f = f0; f < limit; f += f0)
            grid += power(f - 6.0 * binHz, f + 6.0 * binHz);
        return grid / power(0.0, limit);
    }
};

Spectrum spectrumOf(const Samples& x, std::size_t begin, int n, double rate) {
    constexpr double a[5] = {0.21557895, 0.41663158, 0.277263158, 0.083578947, 0.006947368};
    std::vector<double> in(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double t = 2.0 * std::numbers::pi * i / (n - 1);
        in[std::size_t(i)] = (a[0] - a[1] * std::cos(t) + a[2] * std::cos(2 * t) -
                              a[3] * std::cos(3 * t) + a[4] * std::cos(4 * t)) *
                             x[begin + std::size_t(i)];
    }
    std::vector<fftw_complex> out(std::size_t(n / 2 + 1));
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in.data(), out.data(), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    Spectrum s{{}, rate / n};
    for (const auto& c : out)
        s.mag.push_back(2.0 * std::hypot(c[0], c[1]) / (n * a[0]));
    return s;
}

using Lane = std::function<float(long)>; // an input by absolute sample number
Lane constant(float v) {
    return [v](long) { return v; };
}

struct Rig {
    explicit Rig(OscType type, float rate = 44100.0f)
        : generator(makeGenerator(type)), increments(osc::incrementTableFor(rate)) {
        EXPECT_TRUE(context.recreateArena(std::size_t(1) << 22));
        EXPECT_TRUE(generator->setBlockSize(context, 256));
        block.tables = &osc::OscTables::get();
        block.increments = increments.get();
        block.sampleRate = rate;
        block.fadeStep = 220.5f / rate;
        block.phaseMode = PhaseMode::Fixed; // every copy starts at phase 0: runs compare
        block.gainLeft[0] = block.gainRight[0] = 1.0f;
    }

    // Renders `samples` more samples in blocks of `blockSize`, a note starting at the first.
    void render(long samples, int blockSize = 256) {
        for (const long start = done, end = done + samples; done < end; done += block.frames) {
            const int n = int(std::min<long>(blockSize, end - done)); // may pass the capacity
            lanes.fill(Samples(std::size_t(n) + 4, 0.0f));
            auto& [p, r, a, b, o, m, outL, outR] = lanes;
            block.wtMixZero = true; // other hints stay false, which is always allowed
            for (int i = 0; i < n; ++i) {
                p[i] = pitch(done + i), a[i] = ctrlA(done + i), b[i] = ctrlB(done + i);
                m[i] = wtMix(done + i);
                r[i] = done + i == start ? 1.0f : 0.0f;
                o[i] = float(2 * int((b[i] > 0.0f ? std::min(b[i], 1.0f) : 0.0f) * 4096.0f));
                block.wtMixZero = block.wtMixZero && m[i] == 0.0f;
            }
            block.frames = n;
            block.pitch = p.data(), block.retrig = r.data(), block.ctrlA = a.data();
            block.ctrlB = b.data(), block.ctrlBOffset = o.data(), block.wtMix = m.data();
            block.left = outL.data(), block.right = outR.data();
            generator->render(block);
            left.insert(left.end(), outL.begin(), outL.begin() + n);
            right.insert(right.end(), outR.begin(), outR.begin() + n);
            block.voiceSilent = false; // sounding from here on
        }
    }

    SharedVoiceContext context;
    std::unique_ptr<OscGenerator> generator;
    std::shared_ptr<const osc::IncrementTable> increments;
    OscBlock block;
    Lane pitch, ctrlA, ctrlB, wtMix;
    std::array<Samples, 8> lanes;
    Samples left, right;
    long done = 0;
};

constexpr int kFft = 32768;
constexpr long kSettle = 2048; // past the note start's cross-fades and glides

Rig& set(Rig& r, double note, float a, float b, float mix = 0.0f, int wave = 0) {
    r.pitch = constant(float(note / 127.0));
    r.ctrlA = constant(a), r.ctrlB = constant(b), r.wtMix = constant(mix);
    r.block.wave = wave;
    return r;
}

Spectrum spectrumAt(OscType type, double note, float a, float b, float mix = 0.0f, int wave = 0,
                    float rate = 44100.0f) {
    Rig r(type, rate);
    const int n = int(kFft * rate / 44100.0f);
    set(r, note, a, b, mix, wave).render(kSettle + n);
    return spectrumOf(r.left, kSettle, n, rate);
}

const OscType kTypes[] = {OscType::FM, OscType::AMSync, OscType::HardFM, OscType::Vowel};

TEST(OscFm, ASineModulatorShiftsTheCarrierAndWtMixFadesToItsPitch) {
    // Depth 0 must leave the carrier alone: sample for sample the Classic type. WTMix
    // cross-fades linearly to the plain wave 12 semitones up (CtrlB 0.25).
    auto play = [](OscType type, double note, float b, float mix) {
        Rig r(type);
        set(r, note, 0.0f, b, mix, 5).render(3000);
        return r.left;
    };
    const Samples carrier = play(OscType::Classic, 50.0, 0.0f, 1.0f),
                  octave = play(OscType::Classic, 62.0, 0.0f, 1.0f);
    ASSERT_GT(rms(carrier, 0, 3000), 0.1);
    for (float mix : {0.0f, 0.5f, 1.0f}) {
        Samples expected(3000);
        for (std::size_t i = 0; i < expected.size(); ++i)
            expected[i] = (1.0f - mix) * carrier[i] + mix * octave[i];
        EXPECT_LT(rms(play(OscType::FM, 50.0, 0.25f, mix), 0, 3000, &expected), 1e-4) << mix;
    }
    // Sines at note 48 and a fifth up (CtrlB 7/48). Depth d shifts the carrier by d cycles,
    // index beta = 2 pi d: line fc + k fm carries |J_k(beta)|.
    const double fc = hz(48.0), fm = hz(55.0), beta = 2.0 * std::numbers::pi * 0.1;
    const Spectrum s = spectrumAt(OscType::FM, 48.0, 0.1f, 7.0f / 48.0f);
    EXPECT_NEAR(db(s.at(fc)), db(std::cyl_bessel_j(0.0, beta)), 0.3);
    EXPECT_NEAR(db(s.at(fc + fm)), db(std::cyl_bessel_j(1.0, beta)), 0.5);
    EXPECT_NEAR(db(s.at(fc + 2.0 * fm)), db(std::cyl_bessel_j(2.0, beta)), 1.0);
}

TEST(OscFmFamily, DepthGlidesOnlyWhenANoteRestartsASoundingVoice) {
    // Depth 0, then a new note at depth 1. On a sounding voice the depth glides at 400 per
    // second (an e-fold per ~110 samples at 44.1 kHz, HardFM's doubled rate included) so the
    // jump does not click; on a silent voice it jumps.
    for (OscType type : {OscType::FM, OscType::HardFM}) {
        auto play = [type](bool silentAtRestart) {
            Rig r(type);
            r.block.fadeEnabled = false; // only the depth differs between the runs
            set(r, 52.0, 0.0f, 0.3f, 0.0f, 2).render(2000);
            r.ctrlA = constant(1.0f);
            r.block.voiceSilent = silentAtRestart;
            r.render(3000);
            return Samples(r.left.begin() + 2000, r.left.end());
        };
        const Samples glide = play(false), jump = play(true);
        const double early = rms(glide, 0, 40, &jump);
        EXPECT_GT(rms(glide, 100, 140, &jump), 0.2 * early) << int(type);  // not a jump
        EXPECT_LT(rms(glide, 900, 940, &jump), 0.01 * early) << int(type); // nor a slow drift
        EXPECT_LT(rms(glide, 1500, 3000, &jump), 1e-6) << int(type);       // ends on the target
    }
}

TEST(OscAmSync, TheMasterSyncsAndScalesACarrierSetByCtrlAAndCtrlB) {
    // Hard sync: the power sits on the master's harmonics even when the carrier's frequency is
    // no multiple of it (a low master keeps the sample-quantised restart's jitter small).
    for (auto [a, b] : {std::pair{0.0f, 0.137f}, std::pair{0.7f, 0.61f}})
        EXPECT_GT(spectrumAt(OscType::AMSync, 28.0, a, b, 0.25f, 4).onGrid(hz(28.0)), 0.98) << b;
    // CtrlB x 72 semitones: 12, 24, 36 up make the carrier's own line (2, 4, 8 x the master)
    // the strongest.
    const double f0 = hz(36.0);
    for (int octaves = 1; octaves <= 3; ++octaves) {
        const Spectrum s = spectrumAt(OscType::AMSync, 36.0, 0.0f, float(12 * octaves) / 72.0f);
        std::vector<double> line;
        for (int h = 1; h <= 40; ++h)
            line.push_back(s.at(h * f0));
        EXPECT_EQ(std::max_element(line.begin(), line.end()) - line.begin() + 1, 1 << octaves);
    }
    // CtrlA 1 subtracts the saw half a cycle later: the carrier's even harmonics cancel (line
    // 16) and the odd ones double (line 8). The gain 0.5 + 0.5 x the master sine puts a
    // sideband of half the carrier line's level one master harmonic away.
    const Spectrum saw = spectrumAt(OscType::AMSync, 36.0, 0.0f, 0.5f),
                   pulse = spectrumAt(OscType::AMSync, 36.0, 1.0f, 0.5f);
    EXPECT_NEAR(db(pulse.at(8 * f0) / saw.at(8 * f0)), db(2.0), 1.0);
    EXPECT_LT(db(pulse.at(16 * f0) / saw.at(16 * f0)), -20.0);
    EXPECT_NEAR(db(saw.at(9 * f0) / saw.at(8 * f0)), db(0.5), 1.0);
}

TEST(OscHardFm, CtrlBAndWtMixSetTheModulatorRatio) {
    // Depth 0: the unit sine alone, at its note and level though it steps at twice the rate.
    const double fc = hz(48.0);
    EXPECT_NEAR(db(spectrumAt(OscType::HardFM, 48.0, 0.0f, 0.45f).at(fc)), 0.0, 0.1);
    // Unison (CtrlB 0.2, 0.22) and the octave (0.5) keep the lines on the carrier's harmonics;
    // the fifth (0.4) and the next wave an octave down (WTMix 1) add lines at odd fc / 2.
    const float cases[][3] = {
        {0.2f, 0, 1}, {0.22f, 0, 1}, {0.5f, 0, 1}, {0.4f, 0, 2}, {0.2f, 1, 2}};
    for (const auto& [b, mix, over] : cases) {
        const Spectrum s = spectrumAt(OscType::HardFM, 48.0, 0.3f, b, mix, mix > 0 ? 6 : 0);
        EXPECT_GT(s.onGrid(fc / over), 0.999) << b << " / " << mix;
        EXPECT_TRUE(over == 1 || s.onGrid(fc) < 0.9) << b << " / " << mix;
    }
    // Past 30 % of a step the modulator detunes by 0.004 x 127 semitones per unit: at CtrlB
    // 0.28, 0.254 semitone, so the upper sideband of a sine pair leaves 2 fc.
    const double f = hz(84.0);
    const Spectrum detuned = spectrumAt(OscType::HardFM, 84.0, 0.3f, 0.28f);
    EXPECT_GT(detuned.at(f + f * std::pow(2.0, 0.254 / 12.0)), 10.0 * detuned.at(2.0 * f));
}

TEST(OscHardFm, OversamplingKeepsFoldedSidebandsDown) {
    // Modulator 5 x a high carrier (CtrlB 0.9): sidebands reach past Nyquist. At 88.2 kHz they
    // show between 22.05 and 44.1 kHz; at 44.1 kHz a plain oscillator would fold all of that
    // back off the harmonic grid, the oversampled one clearly less.
    const Spectrum wide = spectrumAt(OscType::HardFM, 99.0, 1.0f, 0.9f, 0.0f, 0, 88200.0f),
                   base = spectrumAt(OscType::HardFM, 99.0, 1.0f, 0.9f);
    const double beyond = wide.power(22050.0, 44100.0);
    ASSERT_GT(beyond, 1e-4 * wide.power(0.0, 44100.0)); // the setting does reach past Nyquist
    EXPECT_LT((1.0 - base.onGrid(hz(99.0), 22050.0)) * base.power(0.0, 22050.0), 0.6 * beyond);
}

// The formant filter's resonances (Hz, gain): peaks above +3 dB of Vowel over the Classic saw
// with the same phases, read at the harmonics of a 16 Hz note up to 8 kHz, lowest first.
std::vector<std::pair<double, double>> resonances(float ctrlA, float ctrlB) {
    static const Spectrum saw = spectrumAt(OscType::Classic, 12.0, 0.0f, 0.0f);
    const Spectrum v = spectrumAt(OscType::Vowel, 12.0, ctrlA, ctrlB);
    const double f0 = hz(12.0);
    std::vector<double> gain;
    for (double f = f0; f < 8000.0; f += f0)
        gain.push_back(v.at(f) / saw.at(f));
    std::vector<std::pair<double, double>> found;
    for (auto k = gain.begin() + 3; k + 3 < gain.end(); ++k)
        if (*k > std::sqrt(2.0) && *std::max_element(k - 3, k + 4) == *k)
            found.emplace_back(double(k - gain.begin() + 1) * f0, *k);
    return found;
}

TEST(OscVowel, FormantsFollowTheVowelAndCtrlB) {
    const auto a = resonances(0.0f, 0.0f), i = resonances(0.5f, 0.0f);
    const auto low = resonances(0.25f, 0.0f), mid = resonances(0.25f, 0.5f),
               high = resonances(0.25f, 1.0f);
    for (const auto* r : {&a, &i, &low, &mid, &high})
        ASSERT_EQ(r->size(), 4u);
    // CtrlB 0 tunes each formant to 1.1 F - 100 Hz. From "a" to "i" (CtrlA 0.5) F1 goes 805 ->
    // 305 Hz and F2 1140 -> 2300 Hz (a little less as the all-passes warp), F3/F4 hardly move.
    const std::pair<double, double> ratio[] = {{0.3, 0.05}, {2.1, 0.2}, {1.04, 0.1}, {0.93, 0.1}};
    // CtrlB 0 -> 0.5 -> 1 scales "e" by 1.1, 2.3, 3.5 and adds -100, 200, 500 Hz.
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_NEAR(i[k].first / a[k].first, ratio[k].first, ratio[k].second) << k + 1;
        EXPECT_GT(mid[k].first, (k == 0 ? 2.2 : 1.5) * low[k].first) << "formant " << k + 1;
        EXPECT_GT(high[k].first, 1.2 * mid[k].first) << "formant " << k + 1;
    }
    // Below CtrlB 0.2 the first formant is damped: loop gain 0.9 instead of 0.976, a peak of
    // 1 / (1 - g) about four times lower.
    EXPECT_LT(low[0].second, 0.5 * low[1].second);
    EXPECT_GT(mid[0].second, 0.5 * mid[1].second);
}

TEST(OscFmFamily, EachCopyPlaysAtItsOffsetIntoItsOwnSide) {
    // Copy 0 at the note into the left only, copy 1 an octave up into the right only (whole-
    // number modulator ratios): the right side lacks the note's odd harmonics, the left not.
    const double f0 = hz(43.0);
    for (OscType type : kTypes) {
        Rig r(type);
        r.block.copies = 2;
        r.block.offset = {0.0f, 12.0f};
        r.block.gainLeft = {1.0f, 0.0f};
        r.block.gainRight = {0.0f, 1.0f};
        set(r, 43.0, 0.2f, type == OscType::FM ? 0.25f : 0.2f).render(kSettle + kFft);
        const Spectrum left = spectrumOf(r.left, kSettle, kFft, 44100.0),
                       right = spectrumOf(r.right, kSettle, kFft, 44100.0);
        EXPECT_GT(left.onGrid(f0) - left.onGrid(2.0 * f0), 0.01) << int(type);
        EXPECT_LT(right.onGrid(f0) - right.onGrid(2.0 * f0), 1e-4) << int(type);
        EXPECT_GT(right.onGrid(2.0 * f0), 0.99) << int(type);
    }
}

TEST(OscFmFamily, BlockSizesDoNotChangeTheSound) {
    // Moving pitch and controls, random start phases, a restart while sounding: blocks of 256,
    // 1, 7 and 1000 (over the prepared 256) give the same samples. Vowel tunes once per block,
    // so its controls hold still.
    for (OscType type : kTypes) {
        const float swing = type == OscType::Vowel ? 0.0f : 0.4f;
        Samples reference;
        for (int blockSize : {256, 1, 7, 1000}) {
            Rig r(type);
            r.block.wave = 11;
            r.block.copies = 3;
            r.block.offset = {0.0f, 0.13f, -0.2f};
            r.block.gainLeft = r.block.gainRight = {0.5f, 0.4f, 0.3f};
            r.block.phaseMode = PhaseMode::Random;
            r.pitch = [](long t) { return float((50.0 + 2.0 * std::sin(t / 500.0)) / 127.0); };
            r.ctrlA = [swing](long t) { return float(0.5 + swing * std::sin(t / 300.0)); };
            r.ctrlB = [swing](long t) { return float(0.5 + swing * std::cos(t / 700.0)); };
            r.wtMix = [](long t) { return float(0.5 + 0.5 * std::sin(t / 900.0)); };
            r.render(1234, blockSize);
            r.render(3000 - 1234, blockSize);
            if (reference.empty()) {
                reference = r.left;
                EXPECT_GT(rms(reference, 0, 3000), 0.01) << int(type);
            } else {
                EXPECT_LT(rms(r.left, 0, 3000, &reference), 1e-6) << int(type) << blockSize;
            }
        }
    }
}

TEST(OscFmFamily, ExtremeAndBadInputsStayFiniteAndRecover) {
    // All lanes at either end, nine copies pushed past the table, the last wave (HardFM's next
    // wave wraps), low and high rates: finite, bounded, audible. Then NaN, infinities and wild
    // values in every lane; the next note must play at its own pitch again.
    for (OscType type : kTypes) {
        for (float rate : {8000.0f, 192000.0f}) {
            for (float end : {0.0f, 1.0f}) {
                Rig r(type, rate);
                r.block.copies = 9;
                r.block.offset = {-60.0f, -45.0f, -30.0f, -15.0f, 0.0f, 15.0f, 30.0f, 45.0f, 60.0f};
                r.block.gainLeft.fill(0.36f);
                set(r, end * 127.0, end, end, end, osc::kWaves - 1).render(3000, 61);
                const double level = rms(r.left, 0, 3000); // NaN fails the bound
                EXPECT_LT(level, 100.0) << int(type) << " " << rate << " " << end;
                // (past Nyquist AMSync's master may restart the carrier on every sample)
                EXPECT_TRUE(level > 1e-4 || (end > 0 && rate < 1e4)) << int(type) << " " << rate;
            }
        }
        Rig r(type);
        for (float v : {std::nanf(""), HUGE_VALF, -HUGE_VALF, 7.0f, -3.0f, 1e30f}) {
            r.pitch = r.ctrlA = r.ctrlB = r.wtMix = constant(v);
            r.render(300, 5);
        }
        set(r, 69.0, 0.0f, 0.0f).render(kSettle + 8192, 5);
        const double heard = spectrumOf(r.left, r.left.size() - 8192, 8192, 44100.0).at(440.0);
        EXPECT_NEAR(db(heard), db(spectrumAt(type, 69.0, 0.0f, 0.0f).at(440.0)), 0.5) << int(type);
    }
}

} // namespace
} // namespace kolva
