// Perfecto, Acido and Infecto measured on signals: slopes, corners and resonance of their
// frequency responses (FFT of small impulse responses) against the theory of each structure,
// stability at the extremes, the note-start rule and the real-time rules.

#include "engine/filter_kernel.h"
#include "engine/filter_tables.h"
#include "support/alloc_guard.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace kolva::flt {
namespace {

using Signal = std::vector<float>;
enum class Kind { Perfecto, Acido, Infecto };
constexpr int kPerfLP4 = 0, kPerfBP4 = 1, kPerfHP4 = 2, kPerfPeak = 3;
constexpr int kLP1 = 0, kLP2 = 1, kLP3 = 2, kLP4 = 3;
constexpr int kSvfLP2 = 0, kSvfBP2 = 1, kSvfHP2 = 2, kSvfNotch = 3;
constexpr double kPi = std::numbers::pi;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::unique_ptr<FilterKernel> make(Kind k) {
    return k == Kind::Perfecto ? makePerfecto() : k == Kind::Acido ? makeAcido() : makeInfecto();
}

struct Job {
    Kind kind;
    int mode;
    float cutoff = 0.5f, res = 0.0f, rate = 44100.0f;
    int block = 256;
    Signal cutLane{}; // per-sample cutoff instead of `cutoff` when not empty
    std::vector<int> notes{};
    bool silent = false;
};

struct Stereo {
    Signal l, r;
    long allocations = 0; // made inside process()
};

Stereo render(FilterKernel& k, const Job& j, const Stereo& in) {
    const int n = static_cast<int>(in.l.size());
    Stereo out{Signal(in.l.size()), Signal(in.l.size())};
    Signal cut(j.block), res(j.block, j.res), trig(j.block);
    std::vector<Signal> scratch(4, Signal(j.block + 4));
    for (int at = 0; at < n; at += j.block) {
        FilterBlock b;
        b.frames = std::min(j.block, n - at);
        b.sampleRate = j.rate, b.mode = j.mode, b.voiceSilent = j.silent;
        for (int i = 0; i < b.frames; ++i) {
            cut[i] = j.cutLane.empty() ? j.cutoff : j.cutLane[at + i];
            trig[i] = std::count(j.notes.begin(), j.notes.end(), at + i) ? 1.0f : 0.0f;
        }
        for (int s = 0; s < 4; ++s) { // garbage, so reading stale scratch shows
            std::fill(scratch[s].begin(), scratch[s].end(), kNaN);
            b.scratch[s] = scratch[s].data();
        }
        b.inL = in.l.data() + at, b.inR = in.r.data() + at;
        b.outL = out.l.data() + at, b.outR = out.r.data() + at;
        b.cutoff = cut.data(), b.resonance = res.data(), b.retrig = trig.data();
        test::AllocationGuard guard;
        k.process(b);
        out.allocations += guard.count();
    }
    return out;
}
Signal renderMono(const Job& j, const Signal& x) {
    return render(*make(j.kind), j, {x, x}).l;
}

Signal noise(int n, float level, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-level, level);
    Signal s(n);
    for (float& v : s)
        v = d(rng);
    return s;
}

// Where each curve puts the corner, in Hz: the ladder curve is normalised to Nyquist; the
// state-variable one is the Chamberlin coefficient 2 sin(pi F / 4 fs), four steps per sample.
double cornerHz(Kind k, float cutoff) {
    if (k != Kind::Infecto) return readFrequencyCurve(ladderFrequencyCurve(), cutoff) * 22050.0;
    return 4.0 * 44100.0 / kPi * std::asin(readFrequencyCurve(svfFrequencyCurve(), cutoff) / 2.0);
}

float cutoffFor(Kind k, double hz) { // the curves rise monotonically
    float lo = 0.0f, hi = 1.0f;
    for (int i = 0; i < 40; ++i)
        (cornerHz(k, 0.5f * (lo + hi)) < hz ? lo : hi) = 0.5f * (lo + hi);
    return lo;
}

struct Response {
    std::vector<std::complex<double>> h;
    std::vector<double> db;
    double binHz;
    std::size_t bin(double hz) const {
        return std::min(std::size_t(std::lround(hz / binHz)), db.size() - 1);
    }
    double at(double hz) const { return db[bin(hz)]; }
    double extremeHz(double lo, double hi, bool peak = true) const {
        std::size_t best = bin(lo);
        for (std::size_t i = best; i <= bin(hi); ++i)
            if (peak ? db[i] > db[best] : db[i] < db[best]) best = i;
        return double(best) * binHz;
    }
};

Response response(const Job& j) {
    constexpr float kAmp = 1.0e-3f; // far below the ladder's clip
    int n = 1 << 15;
    while (n < j.rate * 0.7f)
        n *= 2;
    Signal x(n, 0.0f);
    x[0] = kAmp;
    const Signal y = renderMono(j, x);
    std::vector<double> in(y.begin(), y.end());
    std::vector<fftw_complex> out(n / 2 + 1);
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in.data(), out.data(), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    Response r{{}, {}, j.rate / n};
    for (const fftw_complex& c : out) {
        r.h.emplace_back(c[0] / kAmp, c[1] / kAmp);
        r.db.push_back(20.0 * std::log10(std::abs(r.h.back()) + 1e-15));
    }
    return r;
}

// Where the ladder's loop (four stages, then one sample back to the input) turns half a cycle,
// read off the stages without feedback (Acido LP4, no resonance): there the feedback adds up.
double ladderLoopHz(float cutoff) {
    const Response open = response({Kind::Acido, kLP4, cutoff});
    double lag = 0.0;
    for (std::size_t i = 1; i < open.h.size(); ++i) {
        lag -= std::arg(open.h[i] / open.h[i - 1]);
        if (lag + 2.0 * kPi * double(i) * open.binHz / 44100.0 >= kPi)
            return double(i) * open.binHz;
    }
    return 0.0;
}

std::vector<Job> allModes(float cutoff = 0.5f, float res = 0.0f) {
    std::vector<Job> all;
    for (Kind k : {Kind::Perfecto, Kind::Acido, Kind::Infecto})
        for (int m = 0; m < 4; ++m)
            all.push_back({k, m, cutoff, res});
    return all;
}
std::string label(const Job& j) {
    return "type " + std::to_string(int(j.kind)) + " mode " + std::to_string(j.mode);
}

// Gain change from `from` to 2 x `from` Hz with the corner well away, where only the pole count
// of each tap counts, with or without resonance.
TEST(FilterPerfectoAcidoInfecto, SlopesFollowThePoleCountOfEachTap) {
    struct Case {
        Kind kind;
        int mode;
        float res;
        double corner, from, dbPerOctave, tol;
    } cases[] = {
        {Kind::Acido, kLP1, 0, 200, 1600, -6, 1},
        {Kind::Acido, kLP2, 0, 200, 1600, -12, 1},
        {Kind::Acido, kLP3, 0, 200, 1600, -18, 1.5},
        {Kind::Acido, kLP4, 0, 200, 1600, -24, 1.5},
        {Kind::Acido, kLP4, 0.7f, 200, 1600, -24, 1.5},
        {Kind::Perfecto, kPerfLP4, 0, 200, 1600, -24, 1.5},
        // Band tap y4 - y1 of two cascaded cores: y1's -6 above, 3 j w/wc (+6) below, per core.
        {Kind::Perfecto, kPerfBP4, 0, 200, 1600, -12, 1},
        {Kind::Perfecto, kPerfBP4, 0, 2000, 62.5, 12, 1},
        {Kind::Perfecto, kPerfBP4, 0.7f, 2000, 62.5, 12, 1},
        // High tap x - y4 = (1 - LP4) / (1 + r LP4): +6 dB per core below the corner.
        {Kind::Perfecto, kPerfHP4, 0, 2000, 62.5, 12, 1},
        {Kind::Perfecto, kPerfHP4, 0.7f, 2000, 62.5, 12, 1},
        // Peak adds the dry signal, which holds both ends flat.
        {Kind::Perfecto, kPerfPeak, 0.7f, 1000, 20, 0, 0.3},
        {Kind::Perfecto, kPerfPeak, 0.7f, 1000, 9000, 0, 0.3},
        {Kind::Infecto, kSvfLP2, 0, 300, 2400, -12, 1},
        {Kind::Infecto, kSvfHP2, 0, 3000, 94, 12, 1},
        {Kind::Infecto, kSvfHP2, 0.7f, 3000, 94, 12, 1},
        {Kind::Infecto, kSvfBP2, 0, 300, 2400, -6, 1},
        {Kind::Infecto, kSvfBP2, 0, 3000, 94, 6, 1},
    };
    for (const Case& c : cases) {
        const Response r = response({c.kind, c.mode, cutoffFor(c.kind, c.corner), c.res});
        EXPECT_NEAR(r.at(2 * c.from) - r.at(c.from), c.dbPerOctave, c.tol)
            << label({c.kind, c.mode}) << " res " << c.res << " from " << c.from;
    }
}

TEST(FilterLadderResponse, FourPolesLoseAbout24DbOneOctaveAboveTheCornerWithoutPeaking) {
    for (Kind k : {Kind::Perfecto, Kind::Acido}) {
        const Response r =
            response({k, k == Kind::Perfecto ? kPerfLP4 : kLP4, cutoffFor(k, 500.0)});
        EXPECT_NEAR(r.at(1000.0) - r.at(20.0), -24.0, 3.0) << int(k);
        EXPECT_NEAR(r.db[r.bin(r.extremeHz(2, 20000))], r.at(2), 0.1) << int(k); // no bump
    }
}

// With feedback each structure resonates at its corner, well clear of the response an octave
// either side. The ladder peaks where its loop turns half a cycle, which its curve puts within
// the tuning's approximation of the nominal corner; the state-variable filter peaks exactly where
// its coefficient says (high Q, so its low- and high-pass peaks sit there too).
TEST(FilterPerfectoAcidoInfecto, ResonancePeaksAtTheCorner) {
    std::vector<Job> cases = {{Kind::Perfecto, kPerfLP4}, {Kind::Perfecto, kPerfBP4},
                              {Kind::Perfecto, kPerfHP4}, {Kind::Perfecto, kPerfPeak},
                              {Kind::Acido, kLP4},        {Kind::Acido, kLP2},
                              {Kind::Infecto, kSvfLP2},   {Kind::Infecto, kSvfBP2},
                              {Kind::Infecto, kSvfHP2},   {Kind::Infecto, kSvfNotch}};
    for (Job& j : cases) {
        const bool notch = j.kind == Kind::Infecto && j.mode == kSvfNotch;
        j.cutoff = cutoffFor(j.kind, 1000.0);
        j.res = notch                      ? 0.0f
                : j.kind == Kind::Perfecto ? 0.8f
                : j.kind == Kind::Acido    ? 1.0f
                                           : 0.95f;
        const Response r = response(j);
        const double at = r.extremeHz(250.0, 4000.0, !notch);
        if (j.kind == Kind::Infecto) {
            EXPECT_NEAR(at / 1000.0, 1.0, 0.02) << label(j);
        } else {
            EXPECT_NEAR(at / ladderLoopHz(j.cutoff), 1.0, 0.04) << label(j);
            EXPECT_NEAR(at / 1000.0, 1.0, 0.15) << label(j);
        }
        EXPECT_GT(std::min(std::abs(r.at(at) - r.at(at / 2)), std::abs(r.at(at) - r.at(at * 2))),
                  notch ? 20 : 6)
            << label(j);
    }
}

// Low + high is the notch, sample for sample, and at the corner low and high are equally loud.
TEST(FilterInfectoResponse, LowAndHighPassAreComplementary) {
    const Signal x = noise(4096, 0.5f);
    const Signal low = renderMono({Kind::Infecto, kSvfLP2, 0.6f, 0.3f}, x);
    const Signal high = renderMono({Kind::Infecto, kSvfHP2, 0.6f, 0.3f}, x);
    const Signal notch = renderMono({Kind::Infecto, kSvfNotch, 0.6f, 0.3f}, x);
    for (std::size_t i = 0; i < x.size(); ++i)
        ASSERT_NEAR(low[i] + high[i], notch[i], 1e-4f) << i;
    const double corner = cornerHz(Kind::Infecto, 0.6f);
    EXPECT_NEAR(response({Kind::Infecto, kSvfLP2, 0.6f, 0.3f}).at(corner),
                response({Kind::Infecto, kSvfHP2, 0.6f, 0.3f}).at(corner), 1.0);
}

// Perfecto's feedback reaches self-oscillation (a lasting tone where the loop turns half a
// cycle); Acido's stays short of it and rings out.
TEST(FilterLadderResponse, OnlyPerfectoSelfOscillatesAtFullResonance) {
    for (Kind k : {Kind::Perfecto, Kind::Acido}) {
        const float cutoff = cutoffFor(k, 1000.0);
        Signal x(88200, 0.0f);
        x[0] = 0.1f;
        const Signal y = renderMono({k, k == Kind::Perfecto ? kPerfLP4 : kLP4, cutoff, 1.0f}, x);
        float tail = 0.0f;
        int crossings = 0;
        for (std::size_t i = 44100; i < y.size(); ++i) { // the second second
            tail = std::max(tail, std::abs(y[i]));
            crossings += (y[i - 1] < 0.0f) != (y[i] < 0.0f);
        }
        if (k == Kind::Perfecto) {
            EXPECT_GT(tail, 0.05f);
            EXPECT_NEAR(crossings / 2.0 / ladderLoopHz(cutoff), 1.0, 0.05);
        } else {
            EXPECT_LT(tail, 1e-4f);
        }
    }
}

// The curves are scaled by the rate, so the resonance stays put in Hz.
TEST(FilterPerfectoAcidoInfecto, CornerStaysInPlaceAcrossSampleRates) {
    for (Job j : std::vector<Job>{
             {Kind::Perfecto, kPerfLP4}, {Kind::Acido, kLP4}, {Kind::Infecto, kSvfBP2}}) {
        j.cutoff = cutoffFor(j.kind, 1000.0), j.res = 0.8f;
        const double at44 = response(j).extremeHz(250, 4000);
        for (float rate : {22050.0f, 48000.0f, 96000.0f, 192000.0f}) {
            j.rate = rate;
            EXPECT_NEAR(response(j).extremeHz(250, 4000) / at44, 1.0, 0.03)
                << label(j) << " " << rate;
        }
    }
}

// Full resonance, every mode, cutoff range and rate extreme, loud noise then silence: finite and
// bounded throughout, and no growth once the input stops (a ladder may keep self-oscillating,
// which its clip bounds).
TEST(FilterPerfectoAcidoInfecto, FullResonanceStaysBoundedEverywhere) {
    for (Job j : allModes(0.0f, 1.0f)) {
        for (float rate : {22050.0f, 44100.0f, 192000.0f}) {
            for (float cutoff : {0.0f, 0.3f, 0.6f, 0.9f, 0.92f, 1.0f}) {
                j.rate = rate, j.cutoff = cutoff;
                const int n = int(rate / 2);
                Signal x = noise(n, 4.0f);
                std::fill(x.begin() + n / 2, x.end(), 0.0f);
                const Signal y = renderMono(j, x);
                float peak[2] = {0.0f, 0.0f}; // first and second half of the silence
                for (int i = 0; i < n; ++i) {
                    ASSERT_TRUE(std::isfinite(y[i]) && std::abs(y[i]) < 1e3f)
                        << label(j) << " " << rate << " " << cutoff;
                    if (i >= n / 2)
                        peak[i >= 3 * n / 4] = std::max(peak[i >= 3 * n / 4], std::abs(y[i]));
                }
                EXPECT_LE(peak[1], 1.05f * peak[0] + 1e-6f)
                    << label(j) << " " << rate << " " << cutoff;
            }
        }
    }
}

// NaN controls, a rate of 0, inputs up to infinity: finite output, and the filter then recovers.
TEST(FilterPerfectoAcidoInfecto, BadInputGivesFiniteOutputAndRecovers) {
    const float inf = std::numeric_limits<float>::infinity();
    const Signal good = noise(4000, 0.5f, 2);
    for (Job j : allModes(kNaN, kNaN)) {
        Signal x = noise(4000, 0.5f);
        x[10] = kNaN, x[11] = inf, x[12] = -inf, x[13] = 1e30f, x[14] = -1e30f;
        j.rate = 0.0f;
        auto k = make(j.kind);
        const Signal y = render(*k, j, {x, x}).l;
        ASSERT_TRUE(std::all_of(y.begin(), y.end(), [](float v) { return std::isfinite(v); }))
            << label(j);
        j.cutoff = j.res = 0.5f, j.rate = 44100.0f;
        EXPECT_NEAR(render(*k, j, {good, good}).l.back(), renderMono(j, good).back(), 1e-3f)
            << label(j);
    }
}

// A note on a silent voice starts from rest at its first sample; a note on a sounding voice
// keeps the state; reset clears everything. None of it allocates.
TEST(FilterPerfectoAcidoInfecto, NoteStartClearsOnlyOnASilentVoice) {
    Signal x = noise(1000, 0.5f);
    std::fill(x.begin() + 500, x.end(), 0.0f);
    for (const Job& plain : allModes(0.3f, 0.7f)) {
        Job fresh = plain, sounding = plain;
        fresh.notes = sounding.notes = {700};
        fresh.silent = true;
        const Signal ring = renderMono(plain, x);
        ASSERT_NE(ring[700], 0.0f) << label(plain);
        EXPECT_EQ(renderMono(sounding, x), ring) << label(plain);
        auto k = make(plain.kind);
        const Stereo cleared = render(*k, fresh, {x, x});
        EXPECT_EQ(cleared.l[699], ring[699]) << label(plain);
        EXPECT_TRUE(std::all_of(cleared.l.begin() + 700, cleared.l.end(),
                                [](float v) { return v == 0.0f; }));
        test::AllocationGuard guard;
        k->reset();
        EXPECT_EQ(guard.count() + cleared.allocations, 0) << label(plain);
        EXPECT_EQ(render(*k, plain, {x, x}).l, ring) << label(plain);
    }
}

// State carries across blocks and the per-sample controls are read at the right samples: any
// block size gives the same output; each channel has its own state.
TEST(FilterPerfectoAcidoInfecto, BlockSizeAndTheOtherChannelDoNotMatter) {
    const int n = 3000;
    const Signal a = noise(n, 0.8f, 3), b = noise(n, 0.8f, 4);
    Signal sweep(n);
    for (int i = 0; i < n; ++i)
        sweep[i] = 0.5f + 0.45f * std::sin(i * 0.01f);
    for (Job j : allModes(0.0f, 0.6f)) {
        j.cutLane = sweep, j.block = n;
        const Signal whole = renderMono(j, a), other = renderMono(j, b);
        for (int block : {1, 7, 64, 256}) {
            j.block = block;
            const Stereo split = render(*make(j.kind), j, {a, b});
            EXPECT_EQ(split.l, whole) << label(j) << " block " << block;
            EXPECT_EQ(split.r, other) << label(j) << " block " << block;
        }
    }
}

// Long silence after a loud note ends in exact zeros, not in states stuck at subnormal values
// (which slow every sample down); a low cutoff decays slowest.
TEST(FilterPerfectoAcidoInfecto, LongSilenceSettlesToExactZero) {
    Signal x = noise(44100 * 6, 1.0f);
    std::fill(x.begin() + 4410, x.end(), 0.0f);
    for (const Job& j : allModes(0.05f, 0.5f)) {
        const Signal y = renderMono(j, x);
        EXPECT_TRUE(std::all_of(y.end() - 4410, y.end(), [](float v) { return v == 0.0f; }))
            << label(j);
    }
}

} // namespace
} // namespace kolva::flt
