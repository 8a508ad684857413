// The FM, AMSync, HardFM and Vowel oscillator types, driven directly through OscGenerator with
// hand-built blocks and measured on what they render: spectra by a flat-top windowed FFT,
// periodicity by the share of power on a harmonic grid. Only wave 0 ("Sin") is assumed to
// have a known shape (a sine), and only where a test says so.

#include "engine/osc_generator.h"
#include "engine/osc_tables.h"
#include "engine/voice_context.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
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

double peak(const Samples& x, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    double p = 0.0;
    for (std::size_t i = from; i < std::min(to, x.size()); ++i)
        p = std::max(p, double(std::abs(x[i])));
    return p;
}

bool allFinite(const Samples& x) {
    return std::all_of(x.begin(), x.end(), [](float v) { return std::isfinite(v); });
}

// Amplitude spectrum through a flat-top window (sidelobes below -90 dB, flat across a bin),
// scaled so that a sine of amplitude a reads a.
struct Spectrum {
    std::vector<double> mag;
    double binHz = 0.0;

    int bin(double f) const { return int(std::lround(f / binHz)); }
    double m(int k) const { return k >= 0 && k < int(mag.size()) ? mag[std::size_t(k)] : 0.0; }
    // Amplitude of a line at f.
    double at(double f) const {
        double a = 0.0;
        for (int k = bin(f) - 3; k <= bin(f) + 3; ++k)
            a = std::max(a, m(k));
        return a;
    }
    double power(double from, double to) const {
        double p = 0.0;
        for (int k = std::max(bin(from), 8); k <= bin(to); ++k)
            p += m(k) * m(k);
        return p;
    }
    // Share of the power below `limit` Hz that lies on the lines k x f0.
    double onGrid(double f0, double limit = 20000.0) const {
        double grid = 0.0;
        for (double f = f0; f < limit; f += f0)
            grid += power(f - 6.0 * binHz, f + 6.0 * binHz);
        return grid / power(0.0, limit);
    }
    // Frequency of the strongest line within 20 bins of f.
    double lineNear(double f) const {
        int best = bin(f);
        for (int k = bin(f) - 20; k <= bin(f) + 20; ++k)
            if (m(k) > m(best)) best = k;
        double sum = 0.0, weighted = 0.0;
        for (int k = best - 3; k <= best + 3; ++k)
            sum += m(k), weighted += m(k) * k;
        return weighted / sum * binHz;
    }
};

Spectrum spectrumOf(const Samples& x, std::size_t begin, int n, double rate) {
    constexpr double a[5] = {0.21557895, 0.41663158, 0.277263158, 0.083578947, 0.006947368};
    std::vector<double> in(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double t = 2.0 * std::numbers::pi * i / (n - 1);
        const double w = a[0] - a[1] * std::cos(t) + a[2] * std::cos(2 * t) -
                         a[3] * std::cos(3 * t) + a[4] * std::cos(4 * t);
        in[std::size_t(i)] = w * x[begin + std::size_t(i)];
    }
    std::vector<fftw_complex> out(std::size_t(n / 2 + 1));
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in.data(), out.data(), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    Spectrum s;
    s.binHz = rate / n;
    for (const auto& c : out)
        s.mag.push_back(2.0 * std::hypot(c[0], c[1]) / (n * a[0]));
    return s;
}

// ---- one generator on hand-built blocks --------------------------------------------------------

using Lane = std::function<float(long)>; // an input by absolute sample number
Lane constant(float v) {
    return [v](long) { return v; };
}

struct Rig {
    static constexpr int kMaxBlock = 1000;

    // `capacity`: the block size the generator is prepared for; render() may pass up to
    // kMaxBlock frames regardless.
    explicit Rig(OscType type, float rate = 44100.0f, int capacity = 256)
        : generator(makeGenerator(type)), increments(osc::incrementTableFor(rate)) {
        EXPECT_TRUE(context.recreateArena(std::size_t(1) << 22));
        EXPECT_TRUE(generator->setBlockSize(context, capacity));
        block.tables = &osc::OscTables::get();
        block.increments = increments.get();
        block.sampleRate = rate;
        block.fadeStep = 220.5f / rate;
        block.phaseMode = PhaseMode::Fixed; // every copy starts at phase 0: runs compare
        block.gainLeft[0] = block.gainRight[0] = 1.0f;
        for (auto* v :
             {&lanes[0], &lanes[1], &lanes[2], &lanes[3], &lanes[4], &lanes[5], &outL, &outR})
            v->assign(kMaxBlock + 4, 0.0f);
    }

    void note(double semitones) { pitch = constant(float(semitones / 127.0)); }

    // Renders `samples` more samples in blocks of `blockSize`, a note starting at the first.
    void render(long samples, int blockSize = 256) {
        bool first = true;
        for (const long end = done + samples; done < end; done += block.frames) {
            const int n = int(std::min<long>(std::min(blockSize, kMaxBlock), end - done));
            float *p = lanes[0].data(), *r = lanes[1].data(), *a = lanes[2].data(),
                  *b = lanes[3].data(), *o = lanes[4].data(), *m = lanes[5].data();
            block.wtMixZero = block.wtMixOne = block.ctrlAZero = true;
            for (int i = 0; i < n; ++i) {
                p[i] = pitch(done + i);
                r[i] = first && i == 0 ? 1.0f : 0.0f;
                a[i] = ctrlA(done + i);
                b[i] = ctrlB(done + i);
                m[i] = wtMix(done + i);
                o[i] = float(2 *
                             int(std::clamp(std::isnan(b[i]) ? 0.0f : b[i], 0.0f, 1.0f) * 4096.0f));
                block.wtMixZero = block.wtMixZero && m[i] == 0.0f;
                block.wtMixOne = block.wtMixOne && m[i] == 1.0f;
                block.ctrlAZero = block.ctrlAZero && a[i] == 0.0f;
            }
            block.frames = n;
            block.pitch = p, block.retrig = r, block.ctrlA = a, block.ctrlB = b;
            block.ctrlBOffset = o, block.wtMix = m;
            block.left = outL.data(), block.right = outR.data();
            generator->render(block);
            left.insert(left.end(), outL.begin(), outL.begin() + n);
            right.insert(right.end(), outR.begin(), outR.begin() + n);
            first = false;
            block.voiceSilent = false; // sounding from here on
        }
    }

    SharedVoiceContext context;
    std::unique_ptr<OscGenerator> generator;
    std::shared_ptr<const osc::IncrementTable> increments;
    OscBlock block;
    Lane pitch = constant(48.0f / 127.0f), ctrlA = constant(0.0f), ctrlB = constant(0.0f),
         wtMix = constant(0.0f);
    Samples lanes[6], outL, outR, left, right;
    long done = 0;
};

constexpr int kFft = 32768;
constexpr long kSettle = 2048; // past the note start's cross-fades and glides

Spectrum leftSpectrum(Rig& rig) {
    rig.render(kSettle + kFft);
    return spectrumOf(rig.left, kSettle, kFft, rig.block.sampleRate);
}

const OscType kTypes[] = {OscType::FM, OscType::AMSync, OscType::HardFM, OscType::Vowel};

// ---- FM --------------------------------------------------------------------------------------

TEST(OscFm, WithoutDepthItIsAWaveFadingToTheModulatorPitch) {
    // Depth 0 leaves the carrier alone: the wavetable-only Classic type at the same note, sample
    // for sample, three copies at their own offsets and gains. WTMix 1 is the plain wave at the
    // modulator's pitch (CtrlB 0.25: 12 semitones up), WTMix 0.5 the average of the two ends.
    auto play = [](OscType type, double note, float b, float mix) {
        Rig r(type);
        r.block.wave = 5;
        r.block.copies = 3;
        r.block.offset = {0.0f, 7.0f, -5.0f};
        r.block.gainLeft = {1.0f, 0.3f, 0.0f};
        r.block.gainRight = {0.2f, 0.0f, 0.8f};
        r.note(note);
        r.ctrlB = constant(b);
        r.wtMix = constant(mix);
        r.render(3000);
        return std::array<Samples, 2>{r.left, r.right};
    };
    const auto carrier = play(OscType::Classic, 50.0, 0.0f, 1.0f);
    const auto octave = play(OscType::Classic, 62.0, 0.0f, 1.0f);
    const auto at0 = play(OscType::FM, 50.0, 0.25f, 0.0f);
    const auto atHalf = play(OscType::FM, 50.0, 0.25f, 0.5f);
    const auto at1 = play(OscType::FM, 50.0, 0.25f, 1.0f);
    EXPECT_GT(rms(carrier[0], 0, 3000), 0.1);
    for (std::size_t side : {0u, 1u}) {
        EXPECT_LT(rms(at0[side], 0, 3000, &carrier[side]), 1e-5) << side;
        EXPECT_LT(rms(at1[side], 0, 3000, &octave[side]), 1e-4) << side;
    }
    Samples mean(3000);
    for (std::size_t i = 0; i < mean.size(); ++i)
        mean[i] = 0.5f * (at0[0][i] + at1[0][i]);
    EXPECT_LT(rms(atHalf[0], 0, 3000, &mean), 1e-5);
}

TEST(OscFm, SineOperatorsFollowTheBesselSpectrum) {
    // Needs wave 0 to be a sine. Carrier at note 48, modulator 7 semitones up (CtrlB 7/48):
    // depth d shifts the carrier by d cycles, an index of beta = 2 pi d, so the line
    // fc + k fm carries |J_k(beta)| of the carrier's level (k < 0 folds to |fc + k fm|).
    const double fc = hz(48.0), fm = hz(55.0), depth = 0.1, beta = 2.0 * std::numbers::pi * depth;
    Rig r(OscType::FM);
    r.note(48.0);
    r.ctrlA = constant(float(depth));
    r.ctrlB = constant(7.0f / 48.0f);
    const Spectrum s = leftSpectrum(r);
    EXPECT_NEAR(db(s.at(fc)), db(std::cyl_bessel_j(0.0, beta)), 0.3);
    EXPECT_NEAR(db(s.at(fc + fm)), db(std::cyl_bessel_j(1.0, beta)), 0.5);
    EXPECT_NEAR(db(s.at(fm - fc)), db(std::cyl_bessel_j(1.0, beta)), 0.5);
    EXPECT_NEAR(db(s.at(fc + 2.0 * fm)), db(std::cyl_bessel_j(2.0, beta)), 1.0);
}

TEST(OscFm, DepthGlidesOnlyWhenANoteRestartsASoundingVoice) {
    // A note at depth 0, then a new note at depth 1. Restarting a sounding voice glides the
    // depth (400 per second: about 110 samples per e-fold at 44.1 kHz); restarting a silent
    // one jumps, exactly like a first note at depth 1.
    constexpr long kAfter = 3000;
    auto play = [](bool firstNote, bool silentAtRestart) {
        Rig r(OscType::FM);
        r.block.wave = 2;
        r.block.fadeEnabled = false; // only the depth differs between the runs
        r.note(52.0);
        r.ctrlB = constant(0.3f);
        if (firstNote) r.render(2000);
        r.ctrlA = constant(1.0f);
        r.block.voiceSilent = silentAtRestart;
        const long start = long(r.left.size());
        r.render(kAfter);
        return Samples(r.left.begin() + start, r.left.end());
    };
    const Samples gliding = play(true, false), jumping = play(true, true),
                  fresh = play(false, true);
    EXPECT_LT(rms(jumping, 0, kAfter, &fresh), 1e-6);
    const double early = rms(gliding, 0, 40, &jumping);
    EXPECT_GT(early, 0.05);
    EXPECT_GT(rms(gliding, 100, 140, &jumping), 0.2 * early);  // not a jump
    EXPECT_LT(rms(gliding, 900, 940, &jumping), 0.01 * early); // nor a slow drift
    EXPECT_LT(rms(gliding, 1500, kAfter, &jumping), 1e-6);     // and it ends on the target
}

// ---- AMSync ----------------------------------------------------------------------------------

TEST(OscAmSync, RepeatsAtTheMasterPeriodForAnyCarrierPitch) {
    // Hard sync makes the output periodic in the master's cycle: the power sits on the
    // master's harmonics, also when the carrier's frequency is no multiple of it. (The restart
    // falls on a sample, so the carrier's phase jitters by up to one step there, and the cut is
    // not band-limited; a low master keeps both small.)
    const double f0 = hz(28.0);
    for (float b : {0.0f, 0.137f, 0.3f, 0.45f, 0.61f}) {
        for (float a : {0.0f, 0.7f}) {
            Rig r(OscType::AMSync);
            r.block.wave = 4;
            r.note(28.0);
            r.ctrlA = constant(a);
            r.ctrlB = constant(b);
            r.wtMix = constant(0.25f);
            EXPECT_GT(leftSpectrum(r).onGrid(f0), 0.98) << "CtrlB " << b << " CtrlA " << a;
        }
    }
}

TEST(OscAmSync, CtrlBRaisesTheCarrierAndCtrlAMakesItAPulse) {
    // With the carrier 12, 24 or 36 semitones up (CtrlB x 72) the strongest line is the
    // carrier's own, at 2, 4 or 8 times the master. CtrlA 1 subtracts the saw half a cycle
    // later: the carrier's even harmonics go (line 16 of 8) and the odd ones double (line 8).
    const double f0 = hz(36.0);
    auto spectrumAt = [](float a, float b) {
        Rig r(OscType::AMSync);
        r.note(36.0);
        r.ctrlA = constant(a);
        r.ctrlB = constant(b);
        return leftSpectrum(r);
    };
    for (int octaves = 1; octaves <= 3; ++octaves) {
        const Spectrum s = spectrumAt(0.0f, float(12 * octaves) / 72.0f);
        int strongest = 1;
        for (int h = 1; h <= 40; ++h)
            if (s.at(h * f0) > s.at(strongest * f0)) strongest = h;
        EXPECT_EQ(strongest, 1 << octaves) << octaves << " octaves";
    }
    const Spectrum saw = spectrumAt(0.0f, 0.5f), pulse = spectrumAt(1.0f, 0.5f);
    EXPECT_NEAR(db(pulse.at(8 * f0) / saw.at(8 * f0)), db(2.0), 1.0);
    EXPECT_LT(db(pulse.at(16 * f0) / saw.at(16 * f0)), -20.0);
}

TEST(OscAmSync, TheMasterShapesTheLoudness) {
    // The carrier, 8 x the master, is scaled by 0.5 + 0.5 x the master: within each master
    // cycle the loudness reaches the carrier's full level and comes down to about nothing.
    Rig r(OscType::AMSync);
    r.note(36.0);
    r.ctrlB = constant(0.5f);
    r.render(kSettle + 8 * 1400);
    const double period = 44100.0 / hz(36.0);
    const auto window = std::size_t(period / 8.0);
    for (int cycle = 0; cycle < 6; ++cycle) {
        double lo = 1e9, hi = 0.0;
        for (std::size_t w = 0; w < 8; ++w) {
            const auto from = std::size_t(kSettle + cycle * period) + w * window;
            lo = std::min(lo, peak(r.left, from, from + window));
            hi = std::max(hi, peak(r.left, from, from + window));
        }
        EXPECT_GT(hi, 0.7) << "cycle " << cycle;
        EXPECT_LT(lo, 0.2 * hi) << "cycle " << cycle;
    }
}

// ---- HardFM ----------------------------------------------------------------------------------

TEST(OscHardFm, WithoutDepthItIsTheWaveAtTheNote) {
    // Depth 0: the carrier alone, at the played pitch though it steps at twice the rate, with
    // the harmonics of the wave as the Classic type plays it.
    const double f0 = hz(48.0);
    Rig hard(OscType::HardFM), classic(OscType::Classic);
    for (Rig* r : {&hard, &classic}) {
        r->block.wave = 9;
        r->note(48.0);
    }
    hard.ctrlB = constant(0.45f);
    classic.wtMix = constant(1.0f);
    const Spectrum h = leftSpectrum(hard), c = leftSpectrum(classic);
    EXPECT_GT(h.onGrid(f0), 0.999);
    EXPECT_GT(h.at(f0), 0.05);
    for (int k = 1; k <= 12; ++k) {
        if (c.at(k * f0) > 1e-3) { // the wave's partials, not the window's floor
            EXPECT_NEAR(db(h.at(k * f0)), db(c.at(k * f0)), 0.1) << "harmonic " << k;
        }
    }
}

TEST(OscHardFm, CtrlBPicksTheModulatorRatio) {
    // Sine on sine. Interval 0 (CtrlB 0.2, 0.22) and the octave (0.5) keep every line on the
    // carrier's harmonics; the fifth (0.4, ratio 3/2) adds lines halfway between them.
    auto spectrumAt = [](float b, double note) {
        Rig r(OscType::HardFM);
        r.note(note);
        r.ctrlA = constant(0.3f);
        r.ctrlB = constant(b);
        return leftSpectrum(r);
    };
    const double fc = hz(48.0);
    for (float b : {0.2f, 0.22f, 0.5f})
        EXPECT_GT(spectrumAt(b, 48.0).onGrid(fc), 0.999) << b;
    const Spectrum fifth = spectrumAt(0.4f, 48.0);
    EXPECT_GT(fifth.onGrid(fc / 2.0), 0.999);
    EXPECT_LT(fifth.onGrid(fc), 0.9);

    // Past 30 % of a step the modulator detunes by 0.004 x 127 semitones per unit: CtrlB 0.28
    // is 0.5 x 0.508 semitone above unison, and the first upper sideband moves with it.
    const double f = hz(84.0), upper = f + f * std::pow(2.0, 0.254 / 12.0);
    const Spectrum detuned = spectrumAt(0.28f, 84.0);
    EXPECT_LT(detuned.onGrid(f), 0.99);
    EXPECT_NEAR(detuned.lineNear(upper), upper, 0.5);
}

TEST(OscHardFm, WtMixBringsInTheNextWaveAnOctaveDown) {
    // At interval 0 the current wave modulates at the carrier's frequency; the next wave runs
    // an octave lower, so fading to it puts lines at odd multiples of fc / 2.
    const double fc = hz(48.0);
    auto spectrumAt = [](float mix) {
        Rig r(OscType::HardFM);
        r.block.wave = 6;
        r.note(48.0);
        r.ctrlA = constant(0.3f);
        r.ctrlB = constant(0.2f);
        r.wtMix = constant(mix);
        return leftSpectrum(r);
    };
    EXPECT_GT(spectrumAt(0.0f).onGrid(fc), 0.999);
    const Spectrum next = spectrumAt(1.0f);
    EXPECT_LT(next.onGrid(fc), 0.9);
    EXPECT_GT(next.onGrid(fc / 2.0), 0.999);
}

TEST(OscHardFm, OversamplingKeepsFoldedSidebandsDown) {
    // Sine on sine, the modulator 5 x the carrier (CtrlB 0.9) at a high note: sidebands reach
    // past the Nyquist frequency. Rendered at 88.2 kHz they show between 22.05 and 44.1 kHz;
    // a plain 44.1 kHz oscillator would fold all of that back. At 44.1 kHz, what lands off the
    // harmonic grid must be clearly less.
    const double fc = hz(99.0);
    auto spectrumAt = [](float rate) {
        Rig r(OscType::HardFM, rate);
        r.note(99.0);
        r.ctrlA = constant(1.0f);
        r.ctrlB = constant(0.9f);
        r.render(kSettle + 2 * kFft);
        return spectrumOf(r.left, kSettle, kFft * int(rate / 44100.0f), rate);
    };
    const Spectrum wide = spectrumAt(88200.0f), base = spectrumAt(44100.0f);
    const double beyond = wide.power(22050.0, 44100.0);
    const double folded = (1.0 - base.onGrid(fc, 22050.0)) * base.power(0.0, 22050.0);
    ASSERT_GT(beyond, 1e-4 * wide.power(0.0, 44100.0)); // the setting does reach past Nyquist
    EXPECT_LT(folded, 0.6 * beyond);
}

// ---- Vowel -----------------------------------------------------------------------------------

// The resonances of the formant filter: peaks above +3 dB of the Vowel output over the plain
// saw of the Classic type (same phases and tables), read at the harmonics of a very low note
// (every 16 Hz up to 8 kHz), lowest first.
std::vector<double> resonances(float ctrlA, float ctrlB) {
    const double f0 = hz(12.0);
    Rig vowel(OscType::Vowel), saw(OscType::Classic);
    vowel.note(12.0);
    saw.note(12.0);
    vowel.ctrlA = constant(ctrlA);
    vowel.ctrlB = constant(ctrlB);
    const Spectrum v = leftSpectrum(vowel), s = leftSpectrum(saw);
    std::vector<double> gain;
    for (double f = f0; f < 8000.0; f += f0)
        gain.push_back(v.at(f) / s.at(f));
    std::vector<double> found;
    for (std::size_t k = 3; k + 3 < gain.size(); ++k) {
        bool top = gain[k] > std::pow(10.0, 3.0 / 20.0);
        for (std::size_t d = k - 3; d <= k + 3 && top; ++d)
            top = gain[d] <= gain[k];
        if (top) found.push_back(double(k + 1) * f0);
    }
    return found;
}

TEST(OscVowel, FromAToIOnlyTheFirstTwoFormantsMove) {
    // The vowel table from "a" (CtrlA 0) to "i" (CtrlA 0.5): F1 805 -> 305 Hz, F2 1140 ->
    // 2300 Hz, F3 and F4 nearly still. Tuned as 1.1 x F - 100 Hz (CtrlB 0), the first
    // resonance falls to 0.3 of its frequency, the second rises by 2.1 (a little less as the
    // all-passes warp towards the top), the others move by a few per cent.
    const auto a = resonances(0.0f, 0.0f), i = resonances(0.5f, 0.0f);
    ASSERT_EQ(a.size(), 4u);
    ASSERT_EQ(i.size(), 4u);
    EXPECT_NEAR(i[0] / a[0], 0.3, 0.05) << a[0] << " -> " << i[0] << " Hz";
    EXPECT_NEAR(i[1] / a[1], 2.1, 0.2) << a[1] << " -> " << i[1] << " Hz";
    EXPECT_NEAR(i[2] / a[2], 3200.0 / 3090.0, 0.1) << a[2] << " -> " << i[2] << " Hz";
    EXPECT_NEAR(i[3] / a[3], 3915.0 / 4190.0, 0.1) << a[3] << " -> " << i[3] << " Hz";
}

TEST(OscVowel, CtrlBShiftsEveryFormantUp) {
    // "e" (CtrlA 0.25): CtrlB 0 -> 0.5 -> 1 scales the formants by 1.1, 2.3, 3.5 and adds
    // -100, 200, 500 Hz, so every resonance climbs, the lowest the most.
    const auto low = resonances(0.25f, 0.0f), mid = resonances(0.25f, 0.5f),
               high = resonances(0.25f, 1.0f);
    ASSERT_EQ(low.size(), 4u);
    ASSERT_EQ(mid.size(), 4u);
    ASSERT_EQ(high.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_GT(mid[k], 1.5 * low[k]) << "formant " << k + 1;
        EXPECT_GT(high[k], 1.2 * mid[k]) << "formant " << k + 1;
    }
    EXPECT_GT(mid[0], 2.2 * low[0]);
}

// ---- all four types --------------------------------------------------------------------------

TEST(OscFmFamily, EachCopyPlaysAtItsOffsetIntoItsOwnSide) {
    // Copy 0 at the note into the left side only, copy 1 an octave up into the right only (with
    // whole-number modulator ratios): the right side repeats at twice the note's frequency, so
    // the note's odd harmonics are absent there and present on the left.
    const double f0 = hz(43.0);
    for (OscType type : kTypes) {
        Rig r(type);
        r.block.copies = 2;
        r.block.offset = {0.0f, 12.0f};
        r.block.gainLeft = {1.0f, 0.0f};
        r.block.gainRight = {0.0f, 1.0f};
        r.note(43.0);
        r.ctrlA = constant(0.2f);
        r.ctrlB = constant(type == OscType::FM ? 0.25f : 0.2f);
        r.render(kSettle + kFft);
        const Spectrum left = spectrumOf(r.left, kSettle, kFft, 44100.0);
        const Spectrum right = spectrumOf(r.right, kSettle, kFft, 44100.0);
        EXPECT_GT(left.onGrid(f0) - left.onGrid(2.0 * f0), 0.01) << int(type);
        EXPECT_LT(right.onGrid(f0) - right.onGrid(2.0 * f0), 1e-4) << int(type);
        EXPECT_GT(right.onGrid(2.0 * f0), 0.99) << int(type);
    }
}

TEST(OscFmFamily, BlockSizesDoNotChangeTheSound) {
    // Moving pitch and controls, random start phases and a restart while sounding (glide and
    // cross-fade), rendered in blocks of 256, 1, 7 and 1000 (more than prepared for): the same
    // samples every time. Vowel tunes once per block, so its controls hold still.
    constexpr long kSamples = 3000;
    for (OscType type : kTypes) {
        Samples reference;
        for (int blockSize : {256, 1, 7, 1000}) {
            Rig r(type);
            r.block.wave = 11;
            r.block.copies = 3;
            r.block.offset = {0.0f, 0.13f, -0.2f};
            r.block.gainLeft = {0.5f, 0.4f, 0.3f};
            r.block.gainRight = {0.3f, 0.4f, 0.5f};
            r.block.phaseMode = PhaseMode::Random;
            r.pitch = [](long t) { return float((50.0 + 2.0 * std::sin(t / 500.0)) / 127.0); };
            const bool still = type == OscType::Vowel;
            r.ctrlA = [still](long t) {
                return float(0.5 + (still ? 0.0 : 0.4 * std::sin(t / 300.0)));
            };
            r.ctrlB = [still](long t) {
                return float(0.5 + (still ? 0.0 : 0.4 * std::cos(t / 700.0)));
            };
            r.wtMix = [](long t) { return float(0.5 + 0.5 * std::sin(t / 900.0)); };
            r.render(1234, blockSize);
            r.render(kSamples - 1234, blockSize);
            if (reference.empty()) {
                reference = r.left;
                EXPECT_GT(rms(reference, 0, kSamples), 0.01) << int(type);
            } else {
                EXPECT_LT(rms(r.left, 0, kSamples, &reference), 1e-6)
                    << int(type) << " / " << blockSize;
            }
        }
    }
}

TEST(OscFmFamily, ExtremeAndBadInputsStayFinite) {
    // Pitches and controls at the ends of their ranges, nine copies pushed past the table by
    // their offsets, the last wave (HardFM's next wave wraps to the first), low and high
    // sample rates: finite, audible and bounded. Then NaN, infinities and wild values in every
    // lane, in 1-frame and 5-frame blocks: finite throughout, and a normal note afterwards.
    struct Setting {
        float pitch, a, b, mix;
    };
    const Setting ends[] = {
        {0, 0, 0, 0}, {1, 1, 1, 1}, {0, 1, 1, 1}, {1, 0, 0, 0}, {0, 1, 0, 0.5f}};
    const float inf = std::numeric_limits<float>::infinity();
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 7.0f, -3.0f, 1e30f};
    for (OscType type : kTypes) {
        for (float rate : {8000.0f, 44100.0f, 192000.0f}) {
            for (const Setting& s : ends) {
                Rig r(type, rate, 64);
                r.block.copies = 9;
                r.block.wave = osc::kWaves - 1;
                for (std::size_t j = 0; j < 9; ++j) {
                    r.block.offset[j] = (float(j) - 4.0f) * 15.0f;
                    r.block.gainLeft[j] = r.block.gainRight[j] = 0.36f;
                }
                r.pitch = constant(s.pitch), r.ctrlA = constant(s.a), r.ctrlB = constant(s.b);
                r.wtMix = constant(s.mix);
                r.render(8192, 61);
                ASSERT_TRUE(allFinite(r.left) && allFinite(r.right)) << int(type) << " " << rate;
                EXPECT_LT(peak(r.left), 1e3) << int(type) << " " << rate;
                // (A note above the Nyquist frequency may cancel: AMSync's master then restarts
                // the carrier on every sample.)
                if (s.pitch == 0.0f || rate > 8000.0f) {
                    EXPECT_GT(peak(r.left), 1e-3) << int(type) << " " << rate;
                }
            }
        }
        for (int blockSize : {1, 5}) {
            Rig r(type);
            r.block.copies = 2;
            r.block.gainLeft[1] = r.block.gainRight[1] = 1.0f;
            r.block.offset[1] = 200.0f;
            for (float v : bad) {
                r.pitch = r.ctrlA = r.ctrlB = r.wtMix = constant(v);
                r.render(300, blockSize);
            }
            r.note(60.0);
            r.ctrlA = [](long t) {
                return t % 3 == 0 ? std::numeric_limits<float>::quiet_NaN() : 0.5f;
            };
            r.ctrlB = r.wtMix = constant(0.5f);
            r.render(2000, blockSize);
            EXPECT_TRUE(allFinite(r.left) && allFinite(r.right)) << int(type) << " / " << blockSize;
            EXPECT_GT(rms(r.left, r.left.size() - 1000, r.left.size()), 0.01) << int(type);
        }
    }
}

} // namespace
} // namespace kolva
