// The designed wave bank and HardFM curves, measured from the stored level-0 cycles: exact
// shapes against their time-domain definitions, instruments against acoustics (strike points,
// drawbars, vowel formants, spectral balance), HardFM curves against their reasons.
#include "engine/osc_tables.h"
#include "engine/wave_bank_recipes.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <numbers>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace kolva::osc {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kBins = kCyclePoints / 2;
using Spectrum = std::vector<std::complex<double>>;

double hz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }
double frac(double t) { return t - std::floor(t); }

// One-sided complex amplitudes of a cycle: cycle(theta) = sum Re(a[n] e^(i n theta)).
Spectrum spectrumOfCycle(const std::function<double(int)>& point) {
    static double* in = fftw_alloc_real(kCyclePoints);
    static fftw_complex* out = fftw_alloc_complex(kBins + 1);
    static fftw_plan plan = fftw_plan_dft_r2c_1d(kCyclePoints, in, out, FFTW_ESTIMATE);
    for (int i = 0; i < kCyclePoints; ++i) in[i] = point(i);
    fftw_execute(plan);
    Spectrum a(kBins + 1);
    for (int k = 0; k <= kBins; ++k)
        a[std::size_t(k)] = std::complex<double>(out[k][0], out[k][1]) * (2.0 / kCyclePoints);
    return a;
}

Spectrum spectrumOf(int wave) {
    const float* t = OscTables::get().wave(wave, 0);
    return spectrumOfCycle([t](int i) { return double(t[2 * i]); });
}

int waveIndex(const std::string& name) {
    for (int w = 0; w < kWaves; ++w)
        if (name == OscTables::get().waveName(w)) return w;
    ADD_FAILURE() << "no wave " << name;
    return 0;
}

Spectrum spectrumOf(const std::string& name) { return spectrumOf(waveIndex(name)); }

double amp(const Spectrum& a, int n) { return std::abs(a[std::size_t(n)]); }

// Power-weighted mean harmonic number.
double centroid(const Spectrum& a) {
    double p = 0.0, pn = 0.0;
    for (int n = 1; n <= kBins; ++n) {
        p += std::norm(a[std::size_t(n)]);
        pn += n * std::norm(a[std::size_t(n)]);
    }
    return pn / p;
}

// ---- shapes --------------------------------------------------------------------------------

TEST(WaveBankShapes, EveryWaveHasNoDcUsableLoudnessAndItsOwnTimbre) {
    std::vector<std::vector<double>> timbres; // magnitudes at unit energy
    for (int w = 0; w < kWaves; ++w) {
        const auto a = spectrumOf(w);
        const char* name = OscTables::get().waveName(w);
        EXPECT_LT(std::abs(a[0]), 1e-6) << name;
        double energy = 0.0;
        for (int n = 1; n <= kBins; ++n) energy += std::norm(a[std::size_t(n)]);
        // Peak 1 and RMS sqrt(energy / 2): none more than ~13 dB quieter than a sine.
        EXPECT_GT(std::sqrt(energy / 2), 0.15) << name;
        std::vector<double> m(kBins + 1);
        for (int n = 1; n <= kBins; ++n) m[std::size_t(n)] = amp(a, n) / std::sqrt(energy);
        timbres.push_back(m);
    }
    for (std::size_t i = 0; i < timbres.size(); ++i)
        for (std::size_t j = i + 1; j < timbres.size(); ++j) {
            double d = 0.0;
            for (int n = 1; n <= kBins; ++n)
                d += std::pow(timbres[i][std::size_t(n)] - timbres[j][std::size_t(n)], 2);
            EXPECT_GT(std::sqrt(d), 0.03) << OscTables::get().waveName(int(i)) << " vs "
                                          << OscTables::get().waveName(int(j));
        }
}

double parabola(double t) { return frac(t) * frac(t) - frac(t); } // integrated saw

TEST(WaveBankShapes, ExactShapesMatchTheirTimeDomainDefinitions) {
    const auto tri = [](double t) { return 2 / kPi * std::asin(std::sin(2 * kPi * t)); };
    // A 25 % pulse integrated twice, each time without its mean.
    const auto pulse2 = [](double t) {
        const double d = 0.25;
        const double s = t < d ? (1 - d) * t * t / 2
                               : (1 - d) * d * d / 2 + d * ((t - d) - (t * t - d * d) / 2);
        return s - t * d * (1 - d) / 2;
    };
    // A square with its edges smoothed by a triangular kernel of half-width 1/12 cycle.
    const auto roundedSquare = [](double t) {
        const double e = 1.0 / 12;
        const auto rise = [e](double u) {
            return u < 0 ? (u + e) * (u + e) / (e * e) - 1 : 1 - (e - u) * (e - u) / (e * e);
        };
        if (std::abs(t - 0.5) < e) return -rise(t - 0.5);
        if (t < e || t > 1 - e) return rise(t < e ? t : t - 1);
        return t < 0.5 ? 1.0 : -1.0;
    };
    const std::pair<const char*, std::function<double(double)>> shapes[] = {
        {"TriSine", [&](double t) { return 0.5 * std::sin(2 * kPi * t) + 0.5 * tri(t); }},
        {"Para_1", parabola},
        {"Para_2", pulse2},
        {"Para_3", roundedSquare},
        {"Para_4", [](double t) { return parabola(t) + parabola(t - 1.0 / 3); }},
        {"Robo_3", [](double t) { return std::sin(2 * kPi * (std::floor(6 * t) + 0.5) / 6); }},
        {"Synth_1", [](double t) { return t < 0.5 ? 1.0 : -1.0; }},
        {"Synth_2", [](double t) { return t < 0.25 ? 1.0 : 0.0; }},
        {"Synth_3", [](double t) { return 2 * frac(3.4 * t) - 1; }}, // saw synced at 3.4x
        {"FM_1", [](double t) { return std::sin(2 * kPi * t + 2.0 * std::sin(2 * kPi * t)); }},
        {"FM_2", [](double t) { return std::sin(2 * kPi * t + 1.5 * std::sin(4 * kPi * t)); }},
        {"FM_3", [](double t) { return std::sin(2 * kPi * t + 3.0 * std::sin(6 * kPi * t)); }},
    };
    for (const auto& [name, f] : shapes) {
        const auto want = spectrumOfCycle([&f](int i) { // mid-value at jumps
            const double t = double(i) / kCyclePoints;
            return 0.5 * (f(t + 1e-9) + f(frac(t - 1e-9)));
        });
        const auto got = spectrumOf(name);
        int ref = 1;
        for (int n = 1; n <= 32; ++n)
            if (amp(want, n) > amp(want, ref)) ref = n;
        // Both relative to the strongest harmonic: shape and phase must agree, not level.
        for (int n = 1; n <= 32; ++n) {
            const auto w = want[std::size_t(n)] / want[std::size_t(ref)];
            const auto g = got[std::size_t(n)] / got[std::size_t(ref)];
            ASSERT_LT(std::abs(w - g), 2e-3) << name << " harmonic " << n;
        }
    }
}

// ---- instruments ---------------------------------------------------------------------------

TEST(WaveBankInstruments, StrikeAndPluckPointsNotchTheirHarmonics) {
    // Struck or plucked (or picked up) at 1/d of the string: harmonics k x d vanish.
    const std::pair<const char*, std::vector<int>> cases[] = {
        {"Piano_A1", {8}}, {"Piano_A2", {7}}, {"Piano_A3", {9}},     {"Piano_A4", {10}},
        {"Guitar_1", {5}}, {"Guitar_3", {4}}, {"Guitar_2", {7, 10}}, {"Bass_3", {6}}};
    for (const auto& [name, nodes] : cases) {
        const auto a = spectrumOf(name);
        double top = 0.0;
        for (int n = 1; n <= kBins; ++n) top = std::max(top, amp(a, n));
        for (int n = 1; n <= 2 * *std::max_element(nodes.begin(), nodes.end()) + 1; ++n) {
            if (std::any_of(nodes.begin(), nodes.end(), [n](int d) { return n % d == 0; })) {
                EXPECT_LT(amp(a, n), top * 1e-4) << name << " harmonic " << n;
            } else {
                EXPECT_GT(amp(a, n), top * 1e-3) << name << " harmonic " << n;
            }
        }
    }
}

TEST(WaveBankInstruments, OrgansSoundOnlyTheirDrawbarsInThreeDecibelSteps) {
    // Footages 16', 5 1/3', 8', 4', 2 2/3', 2', 1 3/5', 1 1/3', 1' on a 16' cycle.
    const int footage[9] = {1, 3, 2, 4, 6, 8, 10, 12, 16};
    const std::pair<const char*, const char*> organs[] = {
        {"Organ_1", "888000000"}, {"Organ_2", "888888888"}, {"Organ_3", "808806004"}};
    for (const auto& [name, setting] : organs) {
        const auto a = spectrumOf(name);
        std::vector<int> drawbar(kBins + 1, 0);
        for (int i = 0; i < 9; ++i) drawbar[std::size_t(footage[i])] = setting[i] - '0';
        for (int n = 1; n <= kBins; ++n) {
            const int d = drawbar[std::size_t(n)];
            if (d == 0) {
                ASSERT_LT(amp(a, n), 1e-5) << name << " harmonic " << n;
            } else {
                EXPECT_NEAR(20 * std::log10(amp(a, n) / amp(a, 1)), -3.0 * (8 - d), 0.01)
                    << name << " harmonic " << n;
            }
        }
    }
}

TEST(WaveBankInstruments, VowelsPeakAtTheirFormantsWhenSungAtC3) {
    const double f0 = hz(48);
    // Some harmonic within 15 % (or one harmonic) of `formant` is a local maximum.
    const auto peaksNear = [f0](const Spectrum& a, double formant) {
        const double reach = std::max(0.15 * formant, f0);
        for (int n = 1; n * f0 < formant + reach; ++n)
            if (std::abs(n * f0 - formant) <= reach && amp(a, n) >= amp(a, n + 1) &&
                (n == 1 || amp(a, n) >= amp(a, n - 1)))
                return true;
        return false;
    };
    // Average male F1, F2 of "father", "bed", "beet", "boat", "boot".
    const std::tuple<const char*, double, double> vowels[] = {{"Vocal_1", 730, 1090},
                                                              {"Vocal_2", 530, 1840},
                                                              {"Vocal_3", 270, 2290},
                                                              {"Vocal_4", 500, 910},
                                                              {"Vocal_5", 300, 870}};
    for (const auto& [name, f1, f2] : vowels) {
        const auto a = spectrumOf(name);
        EXPECT_TRUE(peaksNear(a, f1)) << name << " F1";
        EXPECT_TRUE(peaksNear(a, f2)) << name << " F2";
    }
    // The hum at C3: a low nasal murmur, and a hole at 650-1200 Hz (harmonics 5-9) from the
    // nasal antiresonance, below the formants at 1.3-2.5 kHz (harmonics 10-19).
    const auto m = spectrumOf("Vocal_6");
    double hole = 1.0, above = 0.0;
    for (int n = 5; n <= 9; ++n) hole = std::min(hole, amp(m, n));
    for (int n = 10; n <= 19; ++n) above = std::max(above, amp(m, n));
    EXPECT_GT(std::max(amp(m, 1), amp(m, 2)), 3.0 * above);
    EXPECT_LT(hole, 0.3 * above);
}

TEST(WaveBankInstruments, SpectralBalanceFollowsTheInstruments) {
    double brightestBass = 0.0;
    for (const char* name : {"Bass_1", "Bass_2", "Bass_3", "Bass_4"}) {
        const auto a = spectrumOf(name);
        double low = 0.0, rest = 0.0;
        for (int n = 1; n <= kBins; ++n) (n <= 3 ? low : rest) += std::norm(a[std::size_t(n)]);
        EXPECT_GT(low / (low + rest), 0.8) << name;
        brightestBass = std::max(brightestBass, centroid(a));
    }
    const double sitar = centroid(spectrumOf("Sitar"));
    const double trumpet = centroid(spectrumOf("Brass_1"));
    const double trombone = centroid(spectrumOf("Brass_2"));
    for (const double bright : {sitar, trumpet, trombone}) EXPECT_GT(bright, 2.0 * brightestBass);
    EXPECT_GT(trumpet, trombone);
    EXPECT_GT(sitar, centroid(spectrumOf("Guitar_1"))); // the jawari buzz over a plain pluck

    // The oboe's weak fundamental under its 1-1.5 kHz formant, at A4.
    const auto oboe = spectrumOf("Oboe");
    EXPECT_GT(std::min(amp(oboe, 2), amp(oboe, 3)), amp(oboe, 1));
    // Violins at C4: with the bowed string's 1/n undone, the bridge hill is on top.
    for (const char* name : {"Violin_1", "Violin_2"}) {
        const auto a = spectrumOf(name);
        int hill = 1;
        for (int n = 1; n <= kBins; ++n)
            if (n * amp(a, n) > hill * amp(a, hill)) hill = n;
        EXPECT_GT(hill * hz(60), 2000.0) << name;
        EXPECT_LT(hill * hz(60), 3600.0) << name;
    }
}

// ---- HardFM curves -------------------------------------------------------------------------

TEST(WaveBankHardFm, IndexStaysSaneAndFallsWithKeyAndBrightness) {
    const OscTables& t = OscTables::get();
    for (int w = 0; w < kWaves; ++w)
        for (int x = 0; x < kHardFmCurvePoints; ++x) {
            const float v = t.hardFmCurve(w, float(x));
            ASSERT_TRUE(std::isfinite(v) && v >= 0.02f && v <= 1.5f) << t.waveName(w) << x;
            if (x > 0) {
                ASSERT_LE(v, t.hardFmCurve(w, float(x - 1))) << t.waveName(w) << " x " << x;
            }
        }
    // Brighter waves (higher RMS harmonic number) get less index at every key, strictly at the
    // bottom where nothing is clamped.
    const double richness[] = {1.0, 1.5, 4.0, 10.0, 40.0};
    for (int i = 1; i < 5; ++i) {
        const auto dull = hardFmCurveRow(richness[i - 1]);
        const auto bright = hardFmCurveRow(richness[i]);
        EXPECT_LT(bright[0], dull[0]) << richness[i];
        for (std::size_t x = 0; x < dull.size(); ++x) EXPECT_LE(bright[x], dull[x]);
    }
    // Near the top of the keyboard (x = 6: note 119) a sine gets under a quarter of its low-key
    // index; a NaN richness reads as a sine.
    const auto sine = hardFmCurveRow(1.0);
    EXPECT_LT(sine[6], 0.25f * sine[0]);
    EXPECT_EQ(hardFmCurveRow(std::nan("")), sine);
}

} // namespace
} // namespace kolva::osc
