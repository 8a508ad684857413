// Voice allocation and the per-voice MIDI signals: the key stack (voice 16), the poly handler,
// glide, drift, bend, velocity, random values and the trigger lanes the envelopes read.
#include "engine/module_midi.h"

#include "engine/voice_context.h"
#include "engine/xor_add_random.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <tuple>
#include <utility>

namespace kolva {
namespace {

constexpr int kBlock = 256;
constexpr int kMono = kMonoVoice;
enum Slot { kMode, kPoly, kGlideLog, kGlide, kDrift, kBendUp, kBendDown, kShift, kFine };
constexpr auto option = [](int k) { return static_cast<float>(k) / 999.0f; };

// The three trigger lanes of a voice at one sample: 1 start, 2 release.
using Lanes = std::array<float, 3>;
constexpr Lanes kStart = {1, 1, 1}, kRelease = {2, 2, 2};

// One MIDI module on its own contexts, without a matrix; anti-click off.
struct MidiRig {
    EngineContext context;
    SharedVoiceContext voices;
    ModuleMidi midi;

    explicit MidiRig(int mode = kModePoly1, int polyCount = 16, float rate = 44100.0f) {
        context.setSampleRate(rate);
        voices.recreateArena(1 << 20);
        voices.antiClick = 0;
        midi.init(&context, &voices, nullptr, "midi");
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
    Lanes lanes(int voice, int i) {
        return {midi.gateLane(voice, 0)[i], midi.gateLane(voice, 1)[i], midi.gateLane(voice, 2)[i]};
    }
};

TEST(ModuleMidi, PitchIsNoteOver127MovedByBendShiftAndFine) {
    MidiRig rig;
    rig.voices.antiClick = 1; // slides monophonic modes only
    rig.midi.setParameter(kBendUp, option(2));
    rig.midi.setParameter(kBendDown, option(12));
    rig.midi.noteOn(0, 64, 100);
    rig.render();
    for (int v : {0, kMono})
        EXPECT_EQ(rig.out(ModuleMidi::kOutPitch, v)[0], 64.0f / 127.0f) << v; // exactly, no drift
    EXPECT_NEAR(rig.out(ModuleMidi::kOutKeyFollow, 0)[0], 4.0f / 127.0f, 1e-7);
    struct Case {
        float bend, shift, fine, semitones;
    };
    const Case cases[] = {{1.0f, 0.5f, 0.5f, 66.0f},
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
}

TEST(ModuleMidi, EachStartSetsVelocityRandomValuesAndOneSampleTriggers) {
    // Velocity curve points 15, 16 and 24, 25 of the 32-point table, read at v / 127 x 31.
    const std::pair<int, float> curve[] = {
        {127, 1.0f},
        {0, 0.0f},
        {64, 0.1955f + (0.2191f - 0.1955f) * (64.0f / 127.0f * 31.0f - 15.0f)},
        {100, 0.4913f + (0.5403f - 0.4913f) * (100.0f / 127.0f * 31.0f - 24.0f)}};
    MidiRig rig(kModePoly1, 1);
    XorAddRandom random; // as the voice's own: bipolar, then |unipolar| (draw 6 is negative)
    int at = 10;         // moves each block, so a stale trigger shows
    for (auto [velocity, expected] : curve) {
        rig.midi.noteOn(at, 60, velocity); // steals voice 0 each time
        rig.midi.noteOff(at + 20, 60);
        rig.render();
        EXPECT_TRUE(rig.midi.noteStartedInBlock(0));
        EXPECT_NEAR(rig.out(ModuleMidi::kOutVelocity, 0)[at], expected, 1e-5) << velocity;
        EXPECT_NEAR(rig.out(ModuleMidi::kOutVelocityComplement, 0)[at], 1.0f - expected, 1e-5);
        EXPECT_EQ(rig.out(ModuleMidi::kOutRandomBipolar, 0)[at], random.next());
        EXPECT_EQ(rig.out(ModuleMidi::kOutRandomUnipolar, 0)[255], std::fabs(random.next()));
        for (int i = 0; i < kBlock; ++i)
            ASSERT_EQ(rig.lanes(0, i), i == at ? kStart : i == at + 20 ? kRelease : Lanes{}) << i;
        ++at;
    }
    rig.render();
    EXPECT_FALSE(rig.midi.noteStartedInBlock(0));
}

TEST(ModuleMidi, AntiClickSetsVelocitySmoothingAndSlidesMonoStartsWithoutGlide) {
    // Velocity follows with sin(pi f / rate), f = 120 Hz with anti-click and 20 kHz without,
    // while the envelope runs; the pitch slides 441 / rate of the way per sample or jumps.
    for (auto [antiClick, rate, hz] :
         {std::tuple{1, 44100.0f, 120.0}, {0, 44100.0f, 20000.0}, {1, 96000.0f, 120.0}}) {
        MidiRig rig(kModeMono1, 16, rate);
        rig.voices.antiClick = antiClick;
        rig.midi.noteOn(0, 60, 127);
        rig.render();
        rig.voices.ampEnvelopeActive[kMono] = 1;
        rig.midi.noteOn(0, 67, 0); // velocity target 0 from 1
        rig.render();
        const double k = std::sin(std::numbers::pi * hz / rate);
        const float* velocity = rig.out(ModuleMidi::kOutVelocity, kMono);
        EXPECT_NEAR(velocity[0], 1.0 - k, 2e-5) << hz;
        EXPECT_NEAR(velocity[9], std::pow(1.0 - k, 10.0), 2e-5) << hz;
        EXPECT_NEAR(rig.out(ModuleMidi::kOutVelocityComplement, kMono)[0], k, 2e-5) << hz;
        const double slide = antiClick != 0 ? 441.0 / rate : 1.0;
        for (int i : {0, 49, 255})
            EXPECT_NEAR(rig.semis(kMono, i), 67.0 - 7.0 * std::max(0.0, 1.0 - (i + 1) * slide),
                        1e-3)
                << rate << " " << i;
    }
}

TEST(ModuleMidi, PolyStealingPrefersFreeThenReleasedThenOldestThenLaterVoice) {
    MidiRig rig(kModePoly1, 4);
    EXPECT_EQ(rig.voices.polyVoiceCount, 4);
    for (int i = 0; i < 4; ++i)
        rig.midi.noteOn(i * 10, 60 + i, 100);
    rig.render();
    rig.voices.ampEnvelopeActive = {1, 1, 1, 1};
    rig.midi.noteOff(0, 61); // voice 1 released, its envelope still sounding
    rig.midi.noteOff(0, 62);
    rig.voices.ampEnvelopeActive[2] = 0; // voice 2's envelope has finished: free again
    rig.render();
    for (int note : {72, 74, 76, 77})
        rig.midi.noteOn(0, note, 100);
    // Free voice 2, released voice 1, then the oldest held notes: voice 0, voice 3.
    EXPECT_EQ(rig.midi.voiceNote(2), 72);
    EXPECT_EQ(rig.midi.voiceNote(1), 74);
    EXPECT_EQ(rig.midi.voiceNote(0), 76);
    EXPECT_EQ(rig.midi.voiceNote(3), 77);
    rig.midi.noteOn(0, 79, 100); // all four started together: the later voice goes
    EXPECT_EQ(rig.midi.voiceNote(3), 79);
    rig.midi.setParameter(kPoly, 1.0f);
    EXPECT_EQ(rig.voices.polyVoiceCount, 16);
}

TEST(ModuleMidi, ModesSetRetriggerFlagsFirstNoteGlideAndChords) {
    // Voice 16 follows the key stack in every mode; in the poly modes voices 0.. take the notes
    // too, poly_2 gliding only while a note started on a free voice is held.
    struct Case {
        float value;
        int mode;
        bool firstGlides;
        Lanes legatoLanes;
    };
    const Case cases[] = {{option(0), 0, true, {0, 1, 1}}, {option(1), 1, false, {0, 1, 1}},
                          {option(2), 2, true, {0, 0, 0}}, {option(3), 3, false, {0, 0, 0}},
                          {option(4), 4, true, {1, 1, 1}}, {1.0f, 5, false, {1, 1, 1}}};
    for (const Case& c : cases) {
        MidiRig rig;
        rig.midi.setParameter(kMode, c.value);
        EXPECT_EQ(rig.voices.modeInEffect, c.mode);
        const bool poly = !isMonoMode(c.mode);
        const auto expectFirstGlide = [&](float note) {
            for (int v : {kMono, poly ? 0 : kMono})
                EXPECT_EQ(rig.semis(v, 0) != note, c.firstGlides) << c.mode << " " << v;
        };
        rig.setGlide(0.5f);
        rig.midi.noteOn(0, 72, 100); // every voice starts out at note 60
        rig.render();
        expectFirstGlide(72.0f);
        EXPECT_EQ(rig.midi.voiceNote(0), poly ? 72 : -1) << c.mode;
        EXPECT_EQ(rig.lanes(kMono, 0), kStart) << c.mode;
        rig.render(40);
        rig.midi.noteOn(5, 76, 100);
        rig.midi.noteOff(9, 76); // back to the held key: flags as for legato
        rig.midi.noteOff(20, 72);
        rig.render();
        for (int v : {kMono, poly ? 1 : kMono}) // legato always glides, from the held key
            EXPECT_NEAR(rig.semis(v, 5), 72.0f, 0.01f) << c.mode << " " << v;
        EXPECT_EQ(rig.lanes(kMono, 5), c.legatoLanes) << c.mode;
        EXPECT_EQ(rig.lanes(kMono, 9), c.legatoLanes) << c.mode;
        EXPECT_EQ(rig.lanes(kMono, 20), kRelease) << c.mode;
        rig.midi.noteOn(0, 55, 100); // all keys up: a first note again
        rig.render();
        expectFirstGlide(55.0f);
    }
    MidiRig rig(kModeMono1);
    for (int note : {60, 67, 64})
        rig.midi.noteOn(10, note, 100); // one offset: highest
    EXPECT_EQ(rig.midi.voiceNote(kMono), 67);
    rig.render();
    rig.midi.noteOn(20, 62, 100); // later: the newest key, lower or not
    EXPECT_EQ(rig.midi.voiceNote(kMono), 62);
}

TEST(ModuleMidi, Mono1GlidesToTheNewTopKeyAndBackToTheHeldOneAlongTheGlideCurves) {
    MidiRig rig(kModeMono1);
    rig.setGlide(0.5f); // glide table at 15.5: between 0.0579 and 0.0687; K = rate / 2
    const double step = 1.0 / ((0.0579 + 0.0687) * 0.5 * 22050.0 * 4.0 + 1.0);
    rig.midi.noteOn(0, 60, 100);
    rig.render();
    rig.midi.noteOn(0, 64, 100);
    rig.render();
    EXPECT_NEAR(rig.semis(kMono, 255), 64.0 - 4.0 * (1.0 - 256 * step), 1e-3);
    rig.midi.noteOn(0, 64, 50); // same top key: the glide keeps going
    rig.render();
    EXPECT_NEAR(rig.semis(kMono, 255), 64.0 - 4.0 * (1.0 - 512 * step), 1e-3);
    rig.render(40);
    EXPECT_FLOAT_EQ(rig.semis(kMono, 0), 64.0f);
    rig.midi.noteOn(0, 67, 100);
    rig.midi.noteOff(10, 64); // below the top: only removed
    rig.render();
    EXPECT_EQ(rig.lanes(kMono, 10), Lanes{});
    rig.midi.noteOff(0, 67);
    rig.render();
    EXPECT_EQ(rig.midi.voiceNote(kMono), 60);
    EXPECT_GT(rig.semis(kMono, 255), 63.0f); // gliding down from about 64.1
    rig.midi.setParameter(kGlideLog, 1.0f);
    rig.setGlide(1.0f);
    rig.render(40);
    rig.midi.noteOn(0, 64, 100);
    rig.render(173); // 172 blocks are 44032 samples: sample 67 of the last is sample 44099
    // Glide time 1.0 lasts two seconds: progress 1 - 44100 / 88201, about 0.5, where the
    // glide_log curve lies between 0.0794 and 0.0947.
    EXPECT_NEAR(rig.semis(kMono, 67), 64.0 - 4.0 * (0.0794 + 0.0947) * 0.5, 0.003);
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
        EXPECT_EQ(rig.lanes(v, 254), kStart) << v;
        EXPECT_EQ(rig.lanes(v, 255), kRelease) << v;
        EXPECT_FLOAT_EQ(rig.semis(v, 255), 72.0f) << v;
    }
}

TEST(ModuleMidi, NoteStormsAndModeSwitchesNeverAllocate) {
    MidiRig rig;
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> key(0, 127), offset(0, kBlock - 1), mode(0, 5);
    std::array<int, 8> held; // the last eight keys pressed, -1 once released
    held.fill(-1);
    kolva::test::AllocationGuard guard;
    for (int block = 0, n = 0; block < 200; ++block) {
        const bool wasMono = isMonoMode(rig.midi.mode());
        rig.midi.setParameter(kMode, option(mode(gen)));
        if (isMonoMode(rig.midi.mode()) != wasMono) // the engine then releases every note
            for (int& k : held)
                if (k >= 0) rig.midi.noteOff(kBlock - 1, std::exchange(k, -1));
        rig.midi.setParameter(kPoly, option(block % 16));
        rig.midi.setParameter(kGlide, static_cast<float>(block % 5) * 0.25f);
        rig.midi.setParameter(kDrift, static_cast<float>(block % 2));
        rig.midi.setBend(static_cast<float>(block % 3) - 1.0f);
        for (int i = 0; i < 5; ++i, ++n) {
            int& k = held[n % 8];
            if (k >= 0) rig.midi.noteOff(offset(gen), k);
            k = key(gen);
            rig.midi.noteOn(offset(gen), k, key(gen));
        }
        for (int v = 0; v < kNumVoices; ++v)
            rig.voices.ampEnvelopeActive[v] = (block + v) % 3;
        rig.render();
    }
    for (int k : held)
        if (k >= 0) rig.midi.noteOff(0, k);
    rig.render();
    EXPECT_EQ(guard.count(), 0);
    for (int v = 0; v < kNumVoices; ++v)
        EXPECT_EQ(rig.midi.voiceNote(v), -1) << v;
}

} // namespace
} // namespace kolva
