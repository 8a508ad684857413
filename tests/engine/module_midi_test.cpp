// Voice allocation and the per-voice MIDI signals: the key stack (voice 16), the poly handler,
// glide, drift, bend, velocity, random values and the trigger lanes the envelopes read.
#include "engine/module_midi.h"

#include "engine/aplugin.h"
#include "engine/module_matrix.h"
#include "engine/voice_context.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

namespace kolva {
namespace {

constexpr int kBlock = 256;
constexpr int kMono = kMonoVoice;
enum Slot { kMode, kPoly, kGlideLog, kGlide, kDrift, kBendUp, kBendDown, kShift, kFine };
float option(int k) {
    return static_cast<float>(k) / 999.0f;
}
// Per-sample glide step for glide time t (table units): K = sampleRate / 2 at 44.1 kHz.
double glideStep(double t) {
    return 1.0 / (t * 22050.0 * 4.0 + 1.0);
}

// One MIDI module on its own contexts, without matrix routing; anti-click off.
struct MidiRig {
    EngineContext context;
    SharedVoiceContext voices;
    std::unique_ptr<ModuleMatrix> matrix = std::make_unique<ModuleMatrix>();
    ModuleMidi midi;

    explicit MidiRig(int mode = kModePoly1, int polyCount = 16, float rate = 44100.0f) {
        context.setSampleRate(rate);
        voices.recreateArena(1 << 20);
        voices.antiClick = 0;
        matrix->init(&context, &voices, matrix.get(), "matrix");
        midi.init(&context, &voices, matrix.get(), "midi");
        midi.setup();
        midi.setSampleRate(rate);
        midi.setBlockSize(kBlock);
        midi.setParameter(kMode, option(mode));
        midi.setParameter(kPoly, option(polyCount - 1));
        midi.setParameter(kShift, 0.5f); // option 64: no shift
        midi.setParameter(kFine, 0.5f);
    }
    void render(int blocks = 1) {
        for (int i = 0; i < blocks; ++i)
            midi.renderBlock(kBlock);
    }
    void setGlide(float g) { midi.setParameter(kGlide, g), render(); } // taken at block start
    const float* out(int output, int voice) { return midi.getModOutput(output)[voice]; }
    float semis(int voice, int i) { return out(ModuleMidi::kOutPitch, voice)[i] * 127.0f; }
    float lane(int voice, int lane, int i) { return midi.gateLane(voice, lane)[i]; }
};

TEST(ModuleMidi, SlotsDecodeModeAndVoiceCountIntoTheSharedContext) {
    MidiRig rig;
    for (auto [value, mode] : {std::pair{option(0), 0}, {option(5), 5}, {1.0f, 5}}) {
        rig.midi.setParameter(kMode, value);
        EXPECT_EQ(rig.midi.mode(), mode);
        EXPECT_EQ(rig.voices.modeInEffect, mode);
    }
    for (auto [value, count] : {std::pair{option(0), 1}, {option(3), 4}, {1.0f, 16}}) {
        rig.midi.setParameter(kPoly, value);
        EXPECT_EQ(rig.midi.polyCount(), count);
        EXPECT_EQ(rig.voices.polyVoiceCount, count);
    }
}

TEST(ModuleMidi, PitchIsNoteOver127MovedByBendShiftAndFine) {
    MidiRig rig;
    rig.midi.setParameter(kBendUp, option(2));
    rig.midi.setParameter(kBendDown, option(12));
    rig.midi.noteOn(0, 64, 100);
    struct Case {
        float bend, shift, fine, semitones;
    };
    const Case cases[] = {{0.0f, 0.5f, 0.5f, 64.0f},
                          {1.0f, 0.5f, 0.5f, 66.0f},
                          {-0.5f, 0.5f, 0.5f, 58.0f},
                          {0.25f, 0.5f, 0.5f, 64.5f},
                          {0.0f, 71.0f / 128.0f, 1.0f, 71.99f}, // +7, +0.99
                          {0.0f, 0.0f, 0.0f, -0.99f}};          // -64, -0.99
    for (const Case& c : cases) {
        rig.midi.setBend(c.bend);
        rig.midi.setParameter(kShift, c.shift);
        rig.midi.setParameter(kFine, c.fine);
        rig.render();
        for (int v : {0, kMono})
            EXPECT_NEAR(rig.semis(v, kBlock - 1), c.semitones, 1e-4) << c.bend;
    }
    rig.midi.setBend(0.0f);
    rig.midi.setParameter(kShift, 0.5f);
    rig.midi.setParameter(kFine, 0.5f);
    rig.render();
    EXPECT_EQ(rig.out(ModuleMidi::kOutPitch, 0)[0], 64.0f / 127.0f); // exactly, no drift
    EXPECT_NEAR(rig.out(ModuleMidi::kOutKeyFollow, 0)[0], 4.0f / 127.0f, 1e-7);
}

TEST(ModuleMidi, VelocityCurveJumpsWhileIdleAndSmoothsWhileTheEnvelopeRuns) {
    // Velocity curve points 15, 16 and 24, 25 of the 32-point table, read at v / 127 x 31.
    const std::pair<int, float> curve[] = {
        {127, 1.0f},
        {0, 0.0f},
        {64, 0.1955f + (0.2191f - 0.1955f) * (64.0f / 127.0f * 31.0f - 15.0f)},
        {100, 0.4913f + (0.5403f - 0.4913f) * (100.0f / 127.0f * 31.0f - 24.0f)}};
    MidiRig rig(kModePoly1, 1);
    for (auto [velocity, expected] : curve) {
        rig.midi.noteOn(10, 60, velocity); // steals voice 0 each time
        rig.render();
        EXPECT_NEAR(rig.out(ModuleMidi::kOutVelocity, 0)[10], expected, 1e-5) << velocity;
        EXPECT_NEAR(rig.out(ModuleMidi::kOutVelocityComplement, 0)[10], 1.0f - expected, 1e-5);
    }
    // One-pole coefficient sin(pi f / rate): 120 Hz with anti-click, 20 kHz without.
    for (auto [antiClick, rate, hz] :
         {std::tuple{1, 44100.0f, 120.0}, {0, 44100.0f, 20000.0}, {1, 96000.0f, 120.0}}) {
        MidiRig r(kModePoly1, 1, rate);
        r.voices.antiClick = antiClick;
        r.midi.noteOn(0, 60, 127);
        r.render();
        r.voices.ampEnvelopeActive[0] = 1;
        r.midi.noteOn(0, 62, 0); // target 0 from 1
        r.render();
        const double k = std::sin(std::numbers::pi * hz / rate);
        EXPECT_NEAR(r.out(ModuleMidi::kOutVelocity, 0)[0], 1.0 - k, 2e-5) << hz;
        EXPECT_NEAR(r.out(ModuleMidi::kOutVelocity, 0)[9], std::pow(1.0 - k, 10.0), 2e-5) << hz;
    }
}

TEST(ModuleMidi, PolyStealingPrefersFreeThenReleasedThenOldestThenLaterVoice) {
    MidiRig rig(kModePoly1, 4);
    for (int i = 0; i < 4; ++i)
        rig.midi.noteOn(i * 10, 60 + i, 100);
    rig.render();
    rig.voices.ampEnvelopeActive = {1, 1, 1, 1};
    rig.midi.noteOff(0, 61); // voice 1 releases, its envelope still sounding
    rig.render();
    EXPECT_EQ(rig.voices.voiceActive[1], 1);
    rig.midi.noteOn(0, 70, 100);
    EXPECT_EQ(rig.midi.voiceNote(1), 70);
    rig.midi.noteOff(0, 62);
    rig.midi.noteOff(0, 70);
    rig.render();
    rig.voices.ampEnvelopeActive[2] = 0; // voice 2's envelope has finished: free again
    rig.render();
    EXPECT_EQ(rig.voices.voiceActive[2], 0);
    rig.midi.noteOn(0, 72, 100);
    EXPECT_EQ(rig.midi.voiceNote(2), 72);
    EXPECT_EQ(rig.midi.voiceNote(1), -1);
    rig.midi.noteOn(0, 74, 100); // released voice 1 before the held ones
    rig.midi.noteOn(0, 76, 100); // all held: the oldest note (voice 0)
    rig.midi.noteOn(0, 77, 100); // next oldest (voice 3)
    EXPECT_EQ(rig.midi.voiceNote(1), 74);
    EXPECT_EQ(rig.midi.voiceNote(0), 76);
    EXPECT_EQ(rig.midi.voiceNote(3), 77);

    MidiRig same(kModePoly1, 2);
    same.midi.noteOn(0, 60, 100);
    same.midi.noteOn(0, 62, 100);
    same.render();
    same.midi.noteOn(0, 64, 100); // equal ages: the later voice goes
    EXPECT_EQ(same.midi.voiceNote(1), 64);
}

TEST(ModuleMidi, Mono1LegatoGlidesWithoutAmpRetriggerAndReturnsToTheHeldKey) {
    MidiRig rig(kModeMono1);
    rig.setGlide(0.5f); // glide table at 15.5: between 0.0579 and 0.0687
    const double step = glideStep((0.0579 + 0.0687) * 0.5);
    rig.midi.noteOn(0, 60, 100);
    rig.render();
    for (int lane = 0; lane < 3; ++lane)
        EXPECT_EQ(rig.lane(kMono, lane, 0), 1.0f);
    rig.midi.noteOn(0, 64, 100);
    rig.render();
    EXPECT_EQ(rig.lane(kMono, 0, 0), 0.0f);
    EXPECT_EQ(rig.lane(kMono, 1, 0), 1.0f);
    EXPECT_EQ(rig.lane(kMono, 2, 0), 1.0f);
    EXPECT_NEAR(rig.semis(kMono, 255), 64.0 - 4.0 * (1.0 - 256 * step), 1e-3);
    rig.midi.noteOn(0, 64, 50); // same top key: the glide keeps going
    rig.render();
    EXPECT_NEAR(rig.semis(kMono, 255), 64.0 - 4.0 * (1.0 - 512 * step), 1e-3);
    rig.render(40);
    EXPECT_FLOAT_EQ(rig.semis(kMono, 0), 64.0f);

    rig.midi.noteOn(0, 67, 100);
    rig.midi.noteOff(10, 64); // below the top: only removed
    rig.render(40);
    for (int lane = 0; lane < 3; ++lane)
        EXPECT_EQ(rig.lane(kMono, lane, 10), 0.0f);
    rig.midi.noteOff(0, 67);
    rig.render();
    EXPECT_EQ(rig.midi.voiceNote(kMono), 60);
    EXPECT_EQ(rig.lane(kMono, 0, 0), 0.0f);
    EXPECT_LT(rig.semis(kMono, 255), 67.0f);
    rig.midi.noteOff(30, 60);
    rig.render();
    EXPECT_EQ(rig.midi.voiceNote(kMono), -1);
    for (int lane = 0; lane < 3; ++lane)
        EXPECT_EQ(rig.lane(kMono, lane, 30), 2.0f);
}

TEST(ModuleMidi, GlideTimeOneLastsTwoSecondsAndGlideLogFollowsItsCurve) {
    for (int log : {0, 1}) {
        MidiRig rig(kModeMono1);
        rig.midi.setParameter(kGlideLog, static_cast<float>(log));
        rig.setGlide(1.0f);
        rig.midi.noteOn(0, 60, 100);
        rig.render();
        rig.midi.noteOn(0, 64, 100);
        rig.render(172); // 44032 samples; sample 67 of the next block is sample 44099
        rig.render();
        // Progress 1 - 44100 / 88201, about 0.5: linear 0.5, G(0.5) between 0.0794 and 0.0947.
        const double share = log != 0 ? (0.0794 + 0.0947) * 0.5 : 1.0 - 44100.0 / 88201.0;
        EXPECT_NEAR(rig.semis(kMono, 67), 64.0 - 4.0 * share, 0.01) << log;
        rig.render(180); // past 88201 samples (float steps may add a few)
        EXPECT_FLOAT_EQ(rig.semis(kMono, 0), 64.0f);
    }
}

TEST(ModuleMidi, KeyStackByModeFlagsFirstNoteGlideAndChords) {
    struct Case {
        int mode;
        bool firstGlides;
        std::array<float, 3> legatoLanes;
    };
    const Case cases[] = {{0, true, {0, 1, 1}},  {1, false, {0, 1, 1}}, {2, true, {0, 0, 0}},
                          {3, false, {0, 0, 0}}, {4, true, {1, 1, 1}},  {5, false, {1, 1, 1}}};
    for (const Case& c : cases) {
        MidiRig rig(c.mode);
        rig.setGlide(0.5f);
        rig.midi.noteOn(0, 72, 100); // the mono voice starts out at note 60
        rig.render();
        EXPECT_EQ(rig.semis(kMono, 0) < 71.0f, c.firstGlides) << c.mode;
        rig.render(40);
        rig.midi.noteOn(5, 76, 100);
        rig.render();
        for (int lane = 0; lane < 3; ++lane)
            EXPECT_EQ(rig.lane(kMono, lane, 5), c.legatoLanes[lane]) << c.mode << lane;
        EXPECT_LT(rig.semis(kMono, 5), 72.5f) << c.mode; // legato always glides
    }
    for (int mode : {0, 3}) {
        MidiRig rig(mode);
        for (int note : {60, 67, 64})
            rig.midi.noteOn(10, note, 100); // one offset: highest
        rig.render();
        EXPECT_EQ(rig.midi.voiceNote(kMono), 67);
        EXPECT_FLOAT_EQ(rig.semis(kMono, kBlock - 1), 67.0f);
        rig.midi.noteOn(20, 62, 100); // later: the newest key, lower or not
        rig.render();
        EXPECT_EQ(rig.midi.voiceNote(kMono), 62);
    }
}

TEST(ModuleMidi, Poly2GlidesOnlyFromAHeldNote) {
    for (auto [mode, glidesAlone] : {std::pair{kModePoly1, true}, {kModePoly2, false}}) {
        MidiRig rig(mode, 4);
        rig.setGlide(0.5f);
        rig.midi.noteOn(0, 48, 100); // poly_1 glides from the last pitch (60 at start)
        rig.render();
        EXPECT_EQ(rig.semis(0, 0) != 48.0f, glidesAlone) << mode;
        rig.midi.noteOn(0, 52, 100); // 48 still held: both glide, from 48
        rig.render();
        EXPECT_GT(rig.semis(1, 0), 48.0f);
        EXPECT_LT(rig.semis(1, 0), 49.0f);
        rig.midi.noteOff(0, 48);
        rig.midi.noteOff(0, 52);
        rig.render(30);
        rig.midi.noteOn(0, 55, 100);
        rig.render();
        ASSERT_EQ(rig.midi.voiceNote(0), 55);
        EXPECT_EQ(rig.semis(0, 0) != 55.0f, glidesAlone) << mode;
    }
}

TEST(ModuleMidi, DriftOffsetsAreDealtFromTheBagTables) {
    MidiRig rig(kModePoly1, 8);
    rig.midi.setParameter(kDrift, 1.0f);
    for (int i = 0; i < 8; ++i)
        rig.midi.noteOn(i, 60, 100);
    rig.render();
    // First fill {-0.01, 0.01, -0.03, 0.03}: entries 0, 2, 1, 0 of what remains.
    const float first[4] = {-0.01f, 0.03f, -0.03f, 0.01f};
    for (int v = 0; v < 4; ++v)
        EXPECT_NEAR(rig.semis(v, 255), 60.0f + first[v], 1e-4);
    std::array<float, 4> second{};
    for (int v = 4; v < 8; ++v)
        second[v - 4] = std::round((rig.semis(v, 255) - 60.0f) * 100.0f);
    std::sort(second.begin(), second.end());
    EXPECT_EQ(second, (std::array<float, 4>{-4.0f, -2.0f, 0.0f, 2.0f}));
}

TEST(ModuleMidi, AntiClickSlidesOnlyMonophonicStartsWithoutGlide) {
    for (int antiClick : {1, 0}) {
        MidiRig rig(kModeMono1);
        rig.voices.antiClick = antiClick;
        rig.midi.noteOn(0, 60, 100);
        rig.render();
        rig.midi.noteOn(0, 67, 100);
        rig.render();
        if (antiClick != 0) { // 441 / 44100 of the way per sample
            EXPECT_NEAR(rig.semis(kMono, 0), 67.0f - 7.0f * 0.99f, 1e-3);
            EXPECT_NEAR(rig.semis(kMono, 49), 63.5f, 1e-3);
        }
        EXPECT_FLOAT_EQ(rig.semis(kMono, antiClick != 0 ? 101 : 0), 67.0f);
    }
    MidiRig poly(kModePoly1, 4);
    poly.voices.antiClick = 1;
    poly.midi.noteOn(0, 67, 100);
    poly.render();
    EXPECT_FLOAT_EQ(poly.semis(0, 0), 67.0f);
    EXPECT_FLOAT_EQ(poly.semis(kMono, 0), 67.0f);
}

TEST(ModuleMidi, GateLanesAndRandomValuesFollowTheVoiceEvents) {
    // Draws of a fresh generator read as signed / 2^31: 0xEFCDAB89, 0x78563411, 0x6934F0AA,
    // 0x031F3CDD, 0x9E14ADCB, 0xA2F68AF0; each start takes bipolar, then |unipolar|.
    const float s = 1.0f / 2147483648.0f;
    const float draws[3][2] = {{-271733879.0f * s, 2018915345.0f * s},
                               {1765077162.0f * s, 52378845.0f * s},
                               {-1642811957.0f * s, 1560900880.0f * s}};
    MidiRig rig(kModePoly1, 2);
    for (int note = 0; note < 3; ++note) {
        rig.midi.noteOn(17, 60, 100);
        rig.midi.noteOn(17, 62, 100);
        rig.render();
        EXPECT_TRUE(rig.midi.noteStartedInBlock(0));
        for (int i = 0; i < kBlock; ++i)
            ASSERT_EQ(rig.lane(0, 2, i), i == 17 ? 1.0f : 0.0f) << i;
        EXPECT_FLOAT_EQ(rig.out(ModuleMidi::kOutRandomBipolar, 1)[17], draws[note][0]);
        EXPECT_FLOAT_EQ(rig.out(ModuleMidi::kOutRandomUnipolar, 1)[255], draws[note][1]);
        rig.midi.noteOff(33, 60);
        rig.midi.noteOff(33, 62);
        rig.render();
        EXPECT_FALSE(rig.midi.noteStartedInBlock(0));
        for (int lane = 0; lane < 3; ++lane)
            EXPECT_EQ(rig.lane(0, lane, 33), 2.0f);
        EXPECT_EQ(rig.lane(0, 0, 17), 0.0f); // last block's start is not replayed
    }
}

TEST(ModuleMidi, RingOverflowKeepsTheNewestEvents) {
    MidiRig rig(kModePoly1, 1);
    for (int i = 0; i < 300; ++i) {
        rig.midi.noteOn(i * 254 / 300, 60 + i % 12, 100);
        rig.midi.noteOff(i * 254 / 300, 60 + i % 12);
    }
    rig.midi.noteOn(254, 72, 100);
    rig.midi.noteOff(255, 72);
    rig.render();
    for (int v : {0, kMono}) {
        EXPECT_EQ(rig.lane(v, 0, 254), 1.0f) << v;
        EXPECT_EQ(rig.lane(v, 0, 255), 2.0f) << v;
        EXPECT_FLOAT_EQ(rig.semis(v, 255), 72.0f) << v;
    }
}

TEST(ModuleMidi, NoteStormsAndModeSwitchesNeverAllocate) {
    MidiRig rig;
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> key(0, 127), offset(0, kBlock - 1), mode(0, 5);
    std::vector<int> held;
    held.reserve(64);
    int current = kModePoly1;
    kolva::test::AllocationGuard guard;
    for (int block = 0; block < 200; ++block) {
        const int next = mode(gen);
        if (isMonoMode(next) != isMonoMode(current)) {
            for (int n : held) { // as the engine does when a switch crosses mono and poly
                rig.midi.polyNoteOff(kBlock - 1, n);
                rig.midi.monoNoteOff(kBlock - 1, n);
            }
            held.clear();
        }
        current = next;
        rig.midi.setParameter(kMode, option(next));
        rig.midi.setParameter(kPoly, option(block % 16));
        rig.midi.setParameter(kGlide, static_cast<float>(block % 5) * 0.25f);
        rig.midi.setParameter(kDrift, static_cast<float>(block % 2));
        rig.midi.setBend(static_cast<float>(block % 3) - 1.0f);
        for (int i = 0; i < 5; ++i) {
            held.push_back(key(gen));
            rig.midi.noteOn(offset(gen), held.back(), key(gen));
            if (held.size() > 8) {
                rig.midi.noteOff(offset(gen), held.front());
                held.erase(held.begin());
            }
        }
        for (int v = 0; v < kNumVoices; ++v)
            rig.voices.ampEnvelopeActive[v] = (block + v) % 3;
        rig.render();
        for (int o = 0; o < ModuleMidi::kNumOutputs; ++o)
            for (int v = 0; v < kNumVoices; ++v)
                ASSERT_TRUE(std::isfinite(rig.out(o, v)[255]));
    }
    for (int n : held)
        rig.midi.noteOff(0, n);
    rig.render();
    EXPECT_EQ(guard.count(), 0);
    for (int v = 0; v < kNumVoices; ++v)
        EXPECT_EQ(rig.midi.voiceNote(v), -1) << v;
}

TEST(ModuleMidiEngine, GlideParameterReachesTheModuleThroughTheEngine) {
    APlugin e;
    e.setSampleRate(44100.0f);
    e.setBlockSize(kBlock);
    ASSERT_TRUE(e.prepare());
    std::vector<float> left(kBlock), right(kBlock);
    for (auto [index, value] : {std::pair{5, 1.0f}, {4, 0.0f}, {6, 0.0f}, {1, option(3)}})
        e.setParameter(index, value); // glide, glide_log, drift, poly
    e.render(left.data(), right.data(), kBlock);
    e.noteOn(0, 48, 100);
    e.render(left.data(), right.data(), kBlock);
    e.noteOn(0, 52, 100);
    e.render(left.data(), right.data(), kBlock);
    const float p = e.midi().getModOutput(ModuleMidi::kOutPitch)[1][kBlock - 1] * 127.0f;
    EXPECT_NEAR(p, 48.0 + 4.0 * 256.0 * glideStep(1.0), 1e-3);
}

} // namespace
} // namespace kolva
