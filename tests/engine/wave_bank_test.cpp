// The designed wave bank and HardFM curves, measured from the stored level-0 cycles: exact
// shapes against their time-domain definitions, instruments against acoustics (strike points,
// drawbars, vowel formants, spectral balance), HardFM curves against their reasons.
#include "engine/osc_tables.h"
#include "engine/wave_bank_recipes.h"
#include "osc_spectrum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace kolva::osc {
namespace {

using namespace test;

double frac(double t) { return t - std::floor(t); }

Spectrum waveSpectrum(const std::string& name) {
    const OscTables& t = OscTables::get();
    for (int w = 0; w < kWaves; ++w)
        if (name == t.waveName(w)) return spectrumOf(t.wave(w, 0));
    ADD_FAILURE() << "no wave " << name;
    return Spectrum(kBins + 1);
}

// Power-weighted mean harmonic number.
double centroid(const Spectrum& a) {
    double pn = 0.0;
    for (int n = 1; n <= kBins; ++n) pn += n * std::norm(a[n]);
    return pn / power(a, 1, kBins);
}

TEST(WaveBankShapes, EveryWaveIsLoudEnoughAndHasItsOwnTimbre) {
    const OscTables& t = OscTables::get();
    std::vector<Spectrum> timbres; // magnitudes at unit energy
    for (int w = 0; w < kWaves; ++w) {
        auto a = spectrumOf(t.wave(w, 0));
        const double energy = power(a, 1, kBins);
        // Peak 1 and RMS sqrt(energy / 2): none more than ~13 dB quieter than a sine.
        EXPECT_GT(std::sqrt(energy / 2), 0.15) << t.waveName(w);
        for (auto& c : a) c = std::abs(c) / std::sqrt(energy);
        timbres.push_back(a);
    }
    for (int i = 0; i < kWaves; ++i)
        for (int j = i + 1; j < kWaves; ++j) {
            double d = 0.0;
            for (int n = 1; n <= kBins; ++n) d += std::norm(timbres[i][n] - timbres[j][n]);
            EXPECT_GT(std::sqrt(d), 0.03) << t.waveName(i) << " vs " << t.waveName(j);
        }
}

double parabola(double t) { return frac(t) * frac(t) - frac(t); } // integrated saw
double tri(double t) { return 2 / kPi * std::asin(std::sin(2 * kPi * t)); }

TEST(WaveBankShapes, ExactShapesMatchTheirTimeDomainDefinitions) {
    // A 25 % pulse integrated twice, each time without its mean.
    const auto pulse2 = [](double t) {
        const double d = 0.25;
        return (t < d ? t * t / 2 : d * (t - d / 2)) - d * t * t / 2 - d * (1 - d) * t / 2;
    };
    // A square with its edges smoothed by a triangular kernel of half-width 1/12 cycle: each
    // edge a parabolic S-curve x (2 - |x|), x the clamped distance from the edge in kernels.
    const auto roundedSquare = [](double t) {
        const double u = t < 0.25 || t >= 0.75 ? t - std::round(t) : 0.5 - t;
        const double x = std::clamp(12 * u, -1.0, 1.0);
        return x * (2 - std::abs(x));
    };
    const std::pair<const char*, std::function<double(double)>> shapes[] = {
        {"Sin", [](double t) { return std::sin(2 * kPi * t); }},
        {"TriSine", [](double t) { return 0.5 * std::sin(2 * kPi * t) + 0.5 * tri(t); }},
        {"Tri", tri}, {"Para_1", parabola}, {"Para_2", pulse2}, {"Para_3", roundedSquare},
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
        const auto got = waveSpectrum(name);
        int ref = 1;
        for (int n = 1; n <= 32; ++n) ref = amp(want, n) > amp(want, ref) ? n : ref;
        // Both relative to the strongest harmonic: shape and phase must agree, not level.
        for (int n = 1; n <= 32; ++n)
            ASSERT_LT(std::abs(want[n] / want[ref] - got[n] / got[ref]), 2e-3) << name << " h" << n;
    }
}

TEST(WaveBankInstruments, StrikeAndPluckPointsNotchTheirHarmonics) {
    // Struck or plucked (or picked up) at 1/d of the string: harmonics k x d vanish.
    const std::pair<const char*, std::vector<int>> cases[] = {
        {"Piano_A1", {8}}, {"Piano_A2", {7}}, {"Piano_A3", {9}},     {"Piano_A4", {10}},
        {"Guitar_1", {5}}, {"Guitar_3", {4}}, {"Guitar_2", {7, 10}}, {"Bass_3", {6}}};
    for (const auto& [name, nodes] : cases) {
        const auto a = waveSpectrum(name);
        const double top = maxAmp(a, 1, kBins);
        for (int n = 1; n <= 2 * *std::max_element(nodes.begin(), nodes.end()) + 1; ++n) {
            if (std::any_of(nodes.begin(), nodes.end(), [n](int d) { return n % d == 0; }))
                EXPECT_LT(amp(a, n), top * 1e-4) << name << " harmonic " << n;
            else
                EXPECT_GT(amp(a, n), top * 1e-3) << name << " harmonic " << n;
        }
    }
}

TEST(WaveBankInstruments, OrgansSoundOnlyTheirDrawbarsInThreeDecibelSteps) {
    // Footages 16', 5 1/3', 8', 4', 2 2/3', 2', 1 3/5', 1 1/3', 1' on a 16' cycle.
    const int footage[9] = {1, 3, 2, 4, 6, 8, 10, 12, 16};
    const std::pair<const char*, const char*> organs[] = {
        {"Organ_1", "888000000"}, {"Organ_2", "888888888"}, {"Organ_3", "808806004"}};
    for (const auto& [name, setting] : organs) {
        const auto a = waveSpectrum(name);
        for (int n = 1; n <= kBins; ++n) {
            const auto bar = std::find(footage, footage + 9, n) - footage;
            const int d = bar < 9 ? setting[bar] - '0' : 0;
            if (d == 0)
                ASSERT_LT(amp(a, n), 1e-5) << name << " harmonic " << n;
            else
                EXPECT_NEAR(20 * std::log10(amp(a, n) / amp(a, 1)), -3.0 * (8 - d), 0.01)
                    << name << " harmonic " << n;
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
    const std::tuple<const char*, double, double> vowels[] = {
        {"Vocal_1", 730, 1090}, {"Vocal_2", 530, 1840}, {"Vocal_3", 270, 2290},
        {"Vocal_4", 500, 910},  {"Vocal_5", 300, 870}};
    for (const auto& [name, f1, f2] : vowels) {
        const auto a = waveSpectrum(name);
        EXPECT_TRUE(peaksNear(a, f1)) << name << " F1";
        EXPECT_TRUE(peaksNear(a, f2)) << name << " F2";
    }
    // The hum at C3: a low nasal murmur, and a hole at 650-1200 Hz (harmonics 5-9) from the
    // nasal antiresonance, below the formants at 1.3-2.5 kHz (harmonics 10-19).
    const auto m = waveSpectrum("Vocal_6");
    double hole = 1.0;
    for (int n = 5; n <= 9; ++n) hole = std::min(hole, amp(m, n));
    const double above = maxAmp(m, 10, 19);
    EXPECT_GT(std::max(amp(m, 1), amp(m, 2)), 3.0 * above);
    EXPECT_LT(hole, 0.3 * above);
}

TEST(WaveBankInstruments, SpectralBalanceFollowsTheInstruments) {
    // Basses: little above the 4th harmonic (a plain saw or square puts ~10 % of its energy there).
    double brightestBass = 0.0;
    for (const char* name : {"Bass_1", "Bass_2", "Bass_3", "Bass_4"}) {
        const auto a = waveSpectrum(name);
        EXPECT_LT(power(a, 5, kBins) / power(a, 1, kBins), 0.02) << name;
        brightestBass = std::max(brightestBass, centroid(a));
    }
    const double sitar = centroid(waveSpectrum("Sitar"));
    const double trumpet = centroid(waveSpectrum("Brass_1"));
    const double trombone = centroid(waveSpectrum("Brass_2"));
    for (const double bright : {sitar, trumpet, trombone}) EXPECT_GT(bright, 2.0 * brightestBass);
    EXPECT_GT(trumpet, trombone);
    EXPECT_GT(sitar, centroid(waveSpectrum("Guitar_1"))); // the jawari buzz over a plain pluck
    // The oboe's weak fundamental under its 1-1.5 kHz formant, at A4.
    const auto oboe = waveSpectrum("Oboe");
    EXPECT_GT(std::min(amp(oboe, 2), amp(oboe, 3)), amp(oboe, 1));
    // Violins at C4: with the bowed string's 1/n undone, the bridge hill is on top.
    for (const char* name : {"Violin_1", "Violin_2"}) {
        const auto a = waveSpectrum(name);
        int hill = 1;
        for (int n = 1; n <= kBins; ++n) hill = n * amp(a, n) > hill * amp(a, hill) ? n : hill;
        EXPECT_TRUE(hill * hz(60) > 2000.0 && hill * hz(60) < 3600.0) << name << " hill " << hill;
    }
}

// Each wave's curve is the row for its measured richness (see the tables' test), so sweep
// richness from a sine's to beyond any wave's.
TEST(WaveBankHardFm, IndexStaysSaneAndFallsWithKeyAndBrightness) {
    auto dull = hardFmCurveRow(1.0);
    for (const double richness : {1.0, 1.5, 4.0, 10.0, 40.0, 1e3}) {
        const auto row = hardFmCurveRow(richness);
        // Brighter gets less at every key, strictly at the bottom where nothing is clamped.
        EXPECT_TRUE(richness == 1.0 || row[0] < dull[0]) << richness;
        for (int x = 0; x < kHardFmCurvePoints; ++x) {
            const float below = std::min(dull[x], x > 0 ? row[x - 1] : 1.5f); // NaN fails too
            EXPECT_TRUE(row[x] >= 0.02f && row[x] <= below) << richness << " x " << x;
        }
        dull = row;
    }
    // A saw-bright wave already carries the harmonics FM would add: at the lowest key it gets
    // well under half a sine's index. Near the top (x = 6: note 119) even a sine gets under a
    // quarter of its low-key index; a NaN richness reads as a sine.
    const auto sine = hardFmCurveRow(1.0);
    EXPECT_LT(hardFmCurveRow(10.0)[0], 0.5f * sine[0]);
    EXPECT_LT(sine[6], 0.25f * sine[0]);
    EXPECT_EQ(hardFmCurveRow(std::nan("")), sine);
}

} // namespace
} // namespace kolva::osc
