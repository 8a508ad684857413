// The reverb on signals: every mode rings out and rings longer at a larger decay, width 0
// gives a mono wet signal, the pre-delay's bypass, free and synced times, the still modulation
// of "dmension", mode numbers past the last mode, a mode document that cannot be read, line
// lengths at every supported rate, recovery after NaN, and no allocation on a mode change.

#include "fx/module_fx_rever.h"
#include "fx/rever_modes.h"
#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace kolva::test {
namespace {

using Signal = std::vector<float>;

struct Setting {
    const char* name;
    float value;
};

// A reverb in `mode`, wet only, no pre-delay.
struct ReverbRig {
    explicit ReverbRig(int mode = 0, float rate = 44100.0f, int block = 256)
        : h(rate, block), fx(h.module<ModuleFxRever>(kModFxRever)) {
        h.option("rev_mode", mode);
        apply({{"rev_wet", 1.0f}, {"rev_sync", 0.0f}, {"rev_pretime", 0.0f}});
    }
    void apply(std::initializer_list<Setting> settings) {
        for (const Setting& s : settings) h.set(s.name, s.value);
    }
    // Back to rest, then silence until every smoother has reached its target.
    void restart() {
        fx.recover();
        Signal l(static_cast<std::size_t>(0.15f * h.rate)), r(l.size());
        h.run(fx, l, r);
    }
    std::pair<Signal, Signal> render(Signal l, Signal r) {
        h.run(fx, l, r);
        return {std::move(l), std::move(r)};
    }
    std::pair<Signal, Signal> impulseResponse(double seconds) {
        const int n = at(seconds);
        return render(impulse(n), impulse(n));
    }
    int at(double seconds) const { return static_cast<int>(std::lround(seconds * h.rate)); }

    FxHarness h;
    ModuleFxRever& fx;
};

// Stereo energy per 50 ms window, in dB.
std::vector<double> envelopeDb(const Signal& l, const Signal& r, float rate) {
    const std::size_t w = static_cast<std::size_t>(rate * 0.05f);
    std::vector<double> db;
    for (std::size_t i = 0; i + w <= l.size(); i += w) {
        double e = 0.0;
        for (std::size_t j = i; j < i + w; ++j)
            e += static_cast<double>(l[j]) * l[j] + static_cast<double>(r[j]) * r[j];
        db.push_back(10.0 * std::log10(e / static_cast<double>(w) + 1e-30));
    }
    return db;
}

// Least-squares slope of the envelope in dB per second, from two windows past its peak to
// where it has fallen 80 dB (at most `last`); 0 when that leaves fewer than four windows.
double decaySlope(const std::vector<double>& db, std::size_t last) {
    const std::size_t peak = static_cast<std::size_t>(std::max_element(db.begin(), db.end()) - db.begin());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int n = 0;
    for (std::size_t i = peak + 2; i < db.size() && i < last && db[i] > db[peak] - 80.0; ++i) {
        const double x = static_cast<double>(i) * 0.05;
        sx += x, sy += db[i], sxx += x * x, sxy += x * db[i], ++n;
    }
    return n < 4 ? 0.0 : (n * sxy - sx * sy) / (n * sxx - sx * sx);
}

class ReverbModes : public testing::TestWithParam<int> {};

TEST_P(ReverbModes, TailDecaysAndLengthensWithDecay) {
    const int mode = GetParam();
    ReverbRig rig(mode);
    const float decay[] = {0.3f, 0.8f};
    double slope[2];
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(testing::Message() << "decay " << decay[k]);
        rig.apply({{"rev_decay", decay[k]}});
        rig.restart();
        auto [l, r] = rig.impulseResponse(1.4);
        for (std::size_t i = 0; i < l.size(); ++i)
            ASSERT_TRUE(std::isfinite(l[i]) && std::isfinite(r[i])) << i;
        const std::vector<double> db = envelopeDb(l, r, rig.h.rate); // 28 windows
        const double peak = *std::max_element(db.begin(), db.end());
        EXPECT_GT(peak, -45.0); // a unit impulse spread over 50 ms is -44 dB
        EXPECT_LT(db.back(), peak - 5.0);
        slope[k] = decaySlope(db, 28);
        RecordProperty("rt60_" + std::to_string(k), std::to_string(-60.0 / slope[k]));
    }
    if (mode == 5) return; // "dmension" is all taps: its tail is gone within 0.3 s
    for (int k = 0; k < 2; ++k) EXPECT_LT(slope[k], -1.0) << "decay " << decay[k];
    EXPECT_GT(slope[1], 0.8 * slope[0]) << "a larger decay rings at least 25% longer";
}

INSTANTIATE_TEST_SUITE_P(AllModes, ReverbModes, testing::Range(0, fx::kReverModes));

TEST(FxReverb, WidthZeroMakesTheWetSignalMono) {
    ReverbRig rig;
    for (int mode : {0, 2, 5}) {
        rig.h.option("rev_mode", mode);
        for (float width : {0.0f, 1.0f}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " width " << width);
            rig.apply({{"rev_wide", width}});
            rig.restart();
            const int n = rig.at(0.3);
            auto [l, r] = rig.render(noise(n, 1), Signal(static_cast<std::size_t>(n)));
            double diff = 0.0;
            for (std::size_t i = 0; i < l.size(); ++i)
                diff = std::max(diff, static_cast<double>(std::fabs(l[i] - r[i])));
            if (width == 0.0f)
                EXPECT_EQ(diff, 0.0);
            else
                EXPECT_GT(diff, 1e-3 * maxAbs(l));
            EXPECT_GT(maxAbs(l), 1e-3);
        }
    }
}

int onset(const Signal& l, const Signal& r) {
    const double threshold = 1e-3 * std::max(maxAbs(l), maxAbs(r));
    for (std::size_t i = 0; i < l.size(); ++i)
        if (std::fabs(l[i]) > threshold || std::fabs(r[i]) > threshold) return static_cast<int>(i);
    return -1;
}

TEST(FxReverb, PreDelayShiftsTheOnsetOrStaysOutOfTheWay) {
    struct Case {
        const char* what;
        float sync, time, tempo;
        int division;
        double expect; // seconds
    };
    const Case cases[] = {
        {"free 0.2 s", 0, 0.2f, 120, 0, 0.2},
        {"1/8 at 120 bpm", 1, 0.0f, 120, 7, 0.25},
        {"1/4 at 90 bpm", 1, 0.5f, 90, 10, 60.0 / 90},
    };
    ReverbRig rig(5); // "dmension": its delays do not move, so only the pre-delay shifts
    rig.restart();
    auto [l0, r0] = rig.impulseResponse(0.9);
    const int base = onset(l0, r0);
    ASSERT_GT(base, 0);
    // With no pre-delay the line is never written.
    const fx::DelayLine& pre = rig.fx.lines()[0];
    ASSERT_GT(pre.length, rig.at(31.0));
    EXPECT_TRUE(std::all_of(pre.data, pre.data + pre.length, [](float v) { return v == 0.0f; }));

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rig.h.engine.setTempo(c.tempo);
        rig.apply({{"rev_sync", c.sync}, {"rev_pretime", c.time}});
        rig.h.option("rev_pretimeS", c.division);
        rig.restart();
        auto [l, r] = rig.impulseResponse(0.9);
        EXPECT_NEAR(onset(l, r) - base, c.expect * rig.h.rate, 2);
        EXPECT_FALSE(std::all_of(pre.data, pre.data + pre.length, [](float v) { return v == 0.0f; }));
    }
}

TEST(FxReverb, ImpulseResponseIsTimeInvariantOnlyWhereTheLfosStandStill) {
    // Two impulses half a second apart: the responses match when nothing moves the delays.
    for (auto [mode, still] : {std::pair{5, true}, std::pair{6, false}}) {
        SCOPED_TRACE(mode);
        ReverbRig rig(mode);
        rig.apply({{"rev_decay", 0.3f}});
        rig.restart();
        const int n = rig.at(1.0), gap = rig.at(0.5), span = rig.at(0.45);
        Signal x = impulse(n);
        x[static_cast<std::size_t>(gap)] = 1.0f;
        auto [l, r] = rig.render(x, x);
        double diff = 0.0, peak = 0.0;
        for (int i = 0; i < span; ++i) {
            const auto a = static_cast<std::size_t>(i), b = static_cast<std::size_t>(i + gap);
            diff = std::max({diff, static_cast<double>(std::fabs(l[a] - l[b])),
                             static_cast<double>(std::fabs(r[a] - r[b]))});
            peak = std::max(peak, static_cast<double>(std::fabs(l[a])));
        }
        ASSERT_GT(peak, 1e-2);
        if (still)
            EXPECT_LT(diff, 1e-5 * peak);
        else
            EXPECT_GT(diff, 1e-2 * peak);
    }
}

TEST(FxReverb, ModeNumbersPastTheLastPlayTheLastMode) {
    const int n = 11025;
    const Signal inL = noise(n, 3), inR = noise(n, 4);
    ReverbRig last(6);
    last.restart();
    const auto expected = last.render(inL, inR);
    ReverbRig rig(5);
    rig.restart();
    EXPECT_NE(rig.render(inL, inR), expected);
    for (int mode : {7, 50, 999}) {
        SCOPED_TRACE(mode);
        rig.h.option("rev_mode", mode);
        rig.restart();
        EXPECT_EQ(rig.render(inL, inR), expected);
        EXPECT_EQ(rig.fx.component().loadedMode(), 6);
    }
}

TEST(FxReverb, UnreadableModeDocumentKeepsThePreviousMode) {
    const char* broken[] = {
        "",
        "{\"modes\": [",
        "{\"modes\": []}",
        "{\"mode\": [{}, {}, {}, {}, {}, {}, {}]}",
        "{\"modes\": [1, 2, 3, 4, 5, 6, 7]}",
    };
    for (const char* text : broken) {
        fx::ReverModeBank bank;
        EXPECT_FALSE(fx::parseReverModes(text, bank)) << text;
        EXPECT_FALSE(bank.valid);
    }
    ASSERT_TRUE(fx::reverModeBank().valid);

    // A complete document of seven small modes reads; the same with one number spelled as
    // text does not.
    auto document = [](const char* timeRatioOfMode2) {
        std::string doc = R"({"modes": [)";
        for (int i = 0; i < fx::kReverModes; ++i)
            doc += std::string(i ? "," : "") + R"({"name": "m", "trr": )" +
                   (i == 2 ? timeRatioOfMode2 : "1") +
                   R"(, "useMtDfTlPd": [1, 1, 1, 1], "lfoDelta": [1, 2, 3, 4],
                   "rngSizeMt": [1, 0], "rngSizeDiff": [1, 0], "rngDecTail": [0, 0.5],
                   "dlyMT": [[100, 0.5]], "dlyDF": [[100, 0.5]], "dlyInside": [1, 1],
                   "dlyAP_L": [[100, 0.5], [90, 0.5]], "dlyAP_R": [[80, 0.5], [70, 0.5]],
                   "dlyWG_L": [[100, 1], [90, 1, 1]], "dlyWG_R": [[80, 1], [70, 1]],
                   "dlyCL_L": [[0, 10, 0.5]], "dlyCL_R": [[3, 10, 0.5]],
                   "notch": [[1000, 0.5, 0], [2000, 0.5, 0]]})";
        return doc + "]}";
    };
    fx::ReverModeBank small, broke;
    EXPECT_TRUE(fx::parseReverModes(document("2"), small));
    EXPECT_EQ(small.modes[2].timeRatio, 2);
    EXPECT_FALSE(fx::parseReverModes(document("\"two\""), broke));

    // A reverb told to use that bank stays in the mode it had.
    const int n = 11025;
    const Signal inL = noise(n, 5), inR = noise(n, 6);
    ReverbRig reference(0), rig(0);
    for (ReverbRig* r : {&reference, &rig}) {
        r->restart();
        r->render(inL, inR);
    }
    rig.fx.component().useModes(&broke);
    rig.h.option("rev_mode", 2);
    const auto expected = reference.render(inL, inR);
    EXPECT_EQ(rig.render(inL, inR), expected);
    EXPECT_EQ(rig.fx.component().loadedMode(), 0);
    // With a readable bank the same change is heard.
    rig.fx.component().useModes(&fx::reverModeBank());
    reference.h.option("rev_mode", 2);
    EXPECT_EQ(rig.render(inL, inR), reference.render(inL, inR));
    EXPECT_EQ(rig.fx.component().loadedMode(), 2);
}

TEST(FxReverb, EveryReadStaysInsideItsLineAtEveryRate) {
    for (float rate : {22050.0f, 44100.0f, 96000.0f, 192000.0f})
        for (int mode = 0; mode < fx::kReverModes; ++mode)
            EXPECT_LT(fx::ComponentRever::longestRead(fx::reverModeBank().modes[static_cast<std::size_t>(mode)], rate),
                      rate * fx::ComponentRever::kLineSeconds - 4)
                << "mode " << mode << " at " << rate;

    // And at the extremes the sound stays finite: largest size, long synced pre-delay at a
    // slow tempo (past the line), all modes in turn.
    for (float rate : {22050.0f, 192000.0f}) {
        ReverbRig rig(0, rate, 512);
        rig.h.engine.setTempo(1.0f);
        rig.apply({{"rev_decay", 1.0f}, {"rev_sync", 1.0f}, {"rev_damp", 0.0f}});
        rig.h.option("rev_pretimeS", 20);
        for (int mode = 0; mode < fx::kReverModes; ++mode) {
            rig.h.option("rev_mode", mode);
            const int n = 4096;
            auto [l, r] = rig.render(noise(n, 9), noise(n, 10));
            for (std::size_t i = 0; i < l.size(); ++i)
                ASSERT_TRUE(std::isfinite(l[i]) && std::isfinite(r[i]))
                    << "mode " << mode << " at " << rate;
        }
    }
}

TEST(FxReverb, ClearEmptiesTheLinesAndRecoverSurvivesNan) {
    ReverbRig rig(2);
    rig.apply({{"rev_pretime", 0.1f}});
    rig.restart();
    const int n = 8192;
    rig.render(noise(n, 11), noise(n, 12));
    rig.fx.clear();
    for (int i = 0; i < rig.fx.lines().size(); ++i) {
        const fx::DelayLine& line = rig.fx.lines()[i];
        EXPECT_TRUE(std::all_of(line.data, line.data + line.length, [](float v) { return v == 0.0f; }))
            << "line " << i;
    }

    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto [nl, nr] = rig.render(Signal(512, nan), Signal(512, nan));
    EXPECT_TRUE(std::isnan(nl[511]));
    rig.fx.recover();
    auto [sl, sr] = rig.render(Signal(static_cast<std::size_t>(n)), Signal(static_cast<std::size_t>(n)));
    EXPECT_EQ(maxAbs(sl) + maxAbs(sr), 0.0);
    auto [il, ir] = rig.impulseResponse(0.3);
    EXPECT_GT(maxAbs(il), 1e-3);
    EXPECT_TRUE(std::all_of(il.begin(), il.end(), [](float v) { return std::isfinite(v); }));
}

TEST(FxReverb, ProcessingAndModeChangesNeverAllocate) {
    ReverbRig rig(0);
    rig.apply({{"rev_pretime", 0.05f}});
    Signal l = noise(2048, 13), r = noise(2048, 14);
    for (int mode : {0, 2, 5, 6}) {
        rig.h.option("rev_mode", mode);
        AllocationGuard g;
        rig.h.run(rig.fx, l, r);
        EXPECT_EQ(g.count(), 0) << "mode " << mode;
        EXPECT_EQ(rig.fx.component().loadedMode(), mode);
    }
}

} // namespace
} // namespace kolva::test
