// Perfecto, Acido and Infecto measured on signals: slopes, corners and resonance from the FFT of
// impulse responses against the theory of each structure, stability at the extremes, the
// note-start rule and the real-time rules.

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
#include <tuple>
#include <vector>

namespace kolva::flt {
namespace {

using Signal = std::vector<float>;
enum class Kind { Perfecto, Acido, Infecto };
constexpr int kPerfLP4 = 0, kPerfBP4 = 1, kPerfHP4 = 2, kPerfPeak = 3; // Perfecto
constexpr int kLP1 = 0, kLP2 = 1, kLP4 = 3;                            // Acido
constexpr int kSvfLP2 = 0, kSvfBP2 = 1, kSvfHP2 = 2, kSvfNotch = 3;    // Infecto
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
    int note = -1;    // sample where a note starts
    bool silent = false;
};
struct Stereo {
    Signal l, r;
};

Stereo render(FilterKernel& k, const Job& j, const Stereo& in) {
    const int n = static_cast<int>(in.l.size());
    Stereo out{Signal(n), Signal(n)};
    Signal cut(j.block), res(j.block, j.res), trig(j.block);
    std::vector<Signal> scratch(4, Signal(j.block + 4));
    for (int at = 0; at < n; at += j.block) {
        FilterBlock b;
        b.frames = std::min(j.block, n - at);
        b.sampleRate = j.rate, b.mode = j.mode, b.voiceSilent = j.silent;
        for (int i = 0; i < b.frames; ++i) {
            cut[i] = j.cutLane.empty() ? j.cutoff : j.cutLane[at + i];
            trig[i] = at + i == j.note ? 1.0f : 0.0f;
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
        EXPECT_EQ(guard.count(), 0); // the audio thread never allocates
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

// The ladder curve is normalised to Nyquist; the state-variable one is the Chamberlin
// coefficient 2 sin(pi F / 4 fs), four steps per sample.
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
        return std::min<std::size_t>(std::lround(hz / binHz), db.size() - 1);
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
    std::vector<double> in(n);
    std::ranges::copy(renderMono(j, x), in.begin());
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

std::vector<Job> allModes(float cutoff, float res) {
    std::vector<Job> all;
    for (Kind k : {Kind::Perfecto, Kind::Acido, Kind::Infecto})
        for (int m = 0; m < 4; ++m)
            all.push_back({k, m, cutoff, res});
    return all;
}
std::string label(const Job& j) {
    return "type " + std::to_string(int(j.kind)) + " mode " + std::to_string(j.mode);
}

// Gain over the octave from `from` with the corner far away, where only the poles of each tap
// count (with or without resonance).
TEST(FilterPerfectoAcidoInfecto, SlopesFollowThePoleCountOfEachTap) {
    using Case = std::tuple<Kind, int, float, double, double, double, double>;
    for (auto [kind, mode, res, corner, from, dbPerOctave, tol] : std::vector<Case>{
             {Kind::Acido, kLP1, 0, 200, 1600, -6, 1},
             {Kind::Acido, kLP2, 0, 200, 1600, -12, 1},
             {Kind::Acido, 2, 0, 200, 1600, -18, 1.5},
             {Kind::Acido, kLP4, 0.7f, 200, 1600, -24, 1.5},
             {Kind::Perfecto, kPerfLP4, 0, 200, 1600, -24, 1.5},
             // Band y4 - y1 of two cascaded cores, high x - y4: per core 6 dB per pole off the
             // corner.
             {Kind::Perfecto, kPerfBP4, 0, 200, 1600, -12, 1},
             {Kind::Perfecto, kPerfBP4, 0.7f, 2000, 62.5, 12, 1},
             {Kind::Perfecto, kPerfHP4, 0.7f, 2000, 62.5, 12, 1},
             // Peak adds the dry signal, which holds both ends flat.
             {Kind::Perfecto, kPerfPeak, 0.7f, 1000, 20, 0, 0.3},
             {Kind::Perfecto, kPerfPeak, 0.7f, 1000, 9000, 0, 0.3},
             {Kind::Infecto, kSvfLP2, 0, 300, 2400, -12, 1},
             {Kind::Infecto, kSvfHP2, 0.7f, 3000, 94, 12, 1},
             {Kind::Infecto, kSvfBP2, 0, 300, 2400, -6, 1},
             {Kind::Infecto, kSvfBP2, 0, 3000, 94, 6, 1},
         }) {
        const Response r = response({kind, mode, cutoffFor(kind, corner), res});
        EXPECT_NEAR(r.at(2 * from) - r.at(from), dbPerOctave, tol)
            << label({kind, mode}) << " res " << res << " from " << from;
    }
}

// With feedback each structure resonates at its corner, well clear of the response an octave
// either side: the ladder where its loop turns half a cycle (within the tuning's approximation
// of the nominal corner), the state-variable filter exactly where its coefficient says; at any
// rate.
TEST(FilterPerfectoAcidoInfecto, ResonancePeaksAtTheCorner) {
    std::vector<Job> cases = {{Kind::Perfecto, kPerfLP4}, {Kind::Perfecto, kPerfBP4},
                              {Kind::Perfecto, kPerfHP4}, {Kind::Perfecto, kPerfPeak},
                              {Kind::Acido, kLP4},        {Kind::Acido, kLP2},
                              {Kind::Infecto, kSvfLP2},   {Kind::Infecto, kSvfBP2},
                              {Kind::Infecto, kSvfHP2},   {Kind::Infecto, kSvfNotch}};
    for (Job& j : cases) {
        SCOPED_TRACE(label(j));
        const bool notch = j.kind == Kind::Infecto && j.mode == kSvfNotch;
        j.cutoff = cutoffFor(j.kind, 1000.0);
        j.res = notch                      ? 0.0f
                : j.kind == Kind::Perfecto ? 0.8f
                : j.kind == Kind::Acido    ? 1.0f
                                           : 0.95f;
        const Response r = response(j);
        const double at = r.extremeHz(250.0, 4000.0, !notch);
        const double expected = j.kind == Kind::Infecto ? 1000.0 : ladderLoopHz(j.cutoff);
        EXPECT_NEAR(at / expected, 1.0, j.kind == Kind::Infecto ? 0.02 : 0.04);
        EXPECT_NEAR(at / 1000.0, 1.0, 0.15);
        EXPECT_GT(std::min(std::abs(r.at(at) - r.at(at / 2)), std::abs(r.at(at) - r.at(at * 2))),
                  notch ? 20 : 6);
        for (float rate : {22050.0f, 192000.0f}) { // the curves scale with the rate
            j.rate = rate;
            EXPECT_NEAR(response(j).extremeHz(250.0, 4000.0, !notch) / at, 1.0, 0.03) << rate;
        }
    }
}

// Low + high is the notch, sample for sample; at the corner low and high are equally loud.
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

// Full resonance, loud noise then silence, over the cutoff range and rate extremes: finite and
// bounded, no growth in the silence. Perfecto's ladder self-oscillates (its clip bounds it);
// Acido's stays short of that and dies away.
TEST(FilterPerfectoAcidoInfecto, FullResonanceStaysBoundedEverywhere) {
    for (Job j : allModes(0.0f, 1.0f)) {
        for (float rate : {22050.0f, 44100.0f, 192000.0f}) {
            for (float cutoff : {0.0f, 0.3f, 0.6f, 0.92f, 1.0f}) {
                SCOPED_TRACE(label(j) + " " + std::to_string(rate) + " " + std::to_string(cutoff));
                j.rate = rate, j.cutoff = cutoff;
                const int n = int(rate / 2);
                Signal x = noise(n, 4.0f);
                std::fill(x.begin() + n / 2, x.end(), 0.0f);
                const Signal y = renderMono(j, x);
                float peak[2] = {0.0f, 0.0f}; // first and second half of the silence
                for (int i = 0; i < n; ++i) {
                    ASSERT_TRUE(std::isfinite(y[i]) && std::abs(y[i]) < 1e3f);
                    if (i >= n / 2)
                        peak[i >= 3 * n / 4] = std::max(peak[i >= 3 * n / 4], std::abs(y[i]));
                }
                EXPECT_LE(peak[1], 1.05f * peak[0] + 1e-6f);
                if (j.kind != Kind::Infecto &&
                    j.mode == (j.kind == Kind::Perfecto ? kPerfLP4 : kLP4) && rate == 44100.0f &&
                    cutoff == 0.3f) {
                    EXPECT_EQ(peak[1] > 0.5f * peak[0], j.kind == Kind::Perfecto);
                }
            }
        }
    }
}

// Every mode, any control: NaN controls, a rate of 0 and inputs up to infinity give finite
// output and the filter recovers; a note on a silent voice starts from rest at its first sample,
// on a sounding voice it keeps the state; block size and the other channel make no difference
// (state carries across blocks, controls are read at their own samples); long silence settles
// to exact zeros rather than subnormal states, which slow every sample down.
TEST(FilterPerfectoAcidoInfecto, EveryModeKeepsItsStateRules) {
    const float inf = std::numeric_limits<float>::infinity();
    const Signal a = noise(4000, 0.8f, 3), b = noise(4000, 0.8f, 4);
    Signal sweep(4000), bad = a, burst(44100 * 6, 0.0f), ring = a;
    for (int i = 0; i < 4000; ++i)
        sweep[i] = 0.5f + 0.45f * std::sin(i * 0.01f);
    bad[10] = kNaN, bad[11] = inf, bad[12] = -inf, bad[13] = 1e30f, bad[14] = -1e30f;
    std::copy(a.begin(), a.end(), burst.begin());
    std::fill(ring.begin() + 500, ring.end(), 0.0f);
    for (Job j : allModes(kNaN, kNaN)) {
        SCOPED_TRACE(label(j));
        j.rate = 0.0f;
        auto k = make(j.kind);
        const Signal y = render(*k, j, {bad, bad}).l;
        ASSERT_TRUE(std::ranges::all_of(y, [](float v) { return std::isfinite(v); }));
        j.cutoff = j.res = 0.5f, j.rate = 44100.0f;
        EXPECT_NEAR(render(*k, j, {a, a}).l.back(), renderMono(j, a).back(), 1e-3f);
        k->reset(); // the fresh note below must match from its first sample
        j.cutoff = 0.3f, j.res = 0.7f;
        const Signal plain = renderMono(j, ring);
        ASSERT_NE(plain[700], 0.0f);
        j.note = 700;
        EXPECT_EQ(renderMono(j, ring), plain);
        j.silent = true;
        const Signal fresh = render(*k, j, {ring, ring}).l;
        EXPECT_EQ(fresh[699], plain[699]);
        EXPECT_TRUE(std::all_of(fresh.begin() + 700, fresh.end(), [](float v) { return v == 0; }));
        j.note = -1, j.silent = false, j.cutLane = sweep, j.block = 4000;
        const Signal whole = renderMono(j, a), other = renderMono(j, b);
        for (int block : {1, 7, 256}) {
            j.block = block;
            const Stereo split = render(*make(j.kind), j, {a, b});
            EXPECT_EQ(split.l, whole) << block;
            EXPECT_EQ(split.r, other) << block;
        }
        j = {j.kind, j.mode, 0.05f, 0.5f};
        const Signal tail = renderMono(j, burst);
        EXPECT_TRUE(std::all_of(tail.end() - 4410, tail.end(), [](float v) { return v == 0; }));
    }
}

} // namespace
} // namespace kolva::flt
