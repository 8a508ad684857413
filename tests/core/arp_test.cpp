// The arpeggiator: note orders, timing, lengths, velocities and overflow on the engine's own
// module, then the same rules heard through the plug-in (note starts read out of the voices).

#include "core/parameter_defs.h"
#include "engine/module_arp.h"
#include "engine/module_midi.h"
#include "engine/xor_add_random.h"
#include "plugin_test_util.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace kolva::test {
namespace {

// Option k of a discrete parameter as the engine receives it.
float optionValue(int index, int k) {
    const ParameterDef& d = parameterDefs()[index];
    if (d.encoding == OptionEncoding::Thousandths) return static_cast<float>(k) / 999.0f;
    return static_cast<float>(k) / static_cast<float>(d.optionCount - 1);
}

int param(const char* name) {
    const int i = findParameter(name);
    EXPECT_GE(i, 0) << name;
    return i;
}

// Rate options used below.
constexpr int kRate16th = 16; // "1/16"
constexpr int kRate4th = 10;  // "1/4"
constexpr int kRate64th = 20; // "1/64"

struct Ev {
    long time;
    int kind;
    int note;
    int velocity;
};

// The engine with its parameters at their defaults; the arpeggiator is run block by block on
// its own and its events collected with absolute sample times.
class ArpRig {
public:
    explicit ArpRig(float rate = 48000.0f, int block = 512) : block_(block) {
        e.setSampleRate(rate);
        e.setBlockSize(block);
        EXPECT_TRUE(e.prepare());
        for (int i = 0; i < kNumParameters; ++i) e.setParameter(i, parameterDefs()[i].defaultValue);
        e.setTempo(120.0f);
        set("arp_on", 1.0f);
        run(block); // the switching block
    }
    void set(const char* name, float v) { e.setParameter(param(name), v); }
    void option(const char* name, int k) { set(name, optionValue(param(name), k)); }
    void step(const char* family, int step, float v) {
        set((std::string(family) + std::to_string(step)).c_str(), v);
    }
    ModuleArp& arp() { return e.arp(); }
    // Key events for the next block.
    void press(int note, int velocity = 100, int offset = 0) { arp().noteOn(offset, note, velocity); }
    void release(int note, int offset = 0) { arp().noteOff(offset, note); }
    // Runs `samples` (whole blocks); the events are kept.
    void run(long samples) {
        for (long done = 0; done < samples; done += block_) {
            arp().renderBlock(block_);
            for (int i = 0; i < arp().eventCount(); ++i) {
                const ArpEvent& a = arp().event(i);
                EXPECT_GE(a.offset, 0);
                EXPECT_LT(a.offset, block_);
                events.push_back({now + a.offset, a.kind, a.note, a.velocity});
            }
            maxBlockEvents = std::max(maxBlockEvents, arp().eventCount());
            arp().clearEvents();
            now += block_;
        }
    }
    std::vector<Ev> ons() const { return only(ArpEvent::kNoteOn); }
    std::vector<Ev> offs() const { return only(ArpEvent::kNoteOff); }
    std::vector<int> onNotes() const {
        std::vector<int> n;
        for (const Ev& v : ons()) n.push_back(v.note);
        return n;
    }
    // Note-ons minus note-offs per note (all zero: nothing hangs).
    std::map<int, int> balance() const {
        std::map<int, int> b;
        for (const Ev& v : events) b[v.note] += v.kind == ArpEvent::kNoteOn ? 1 : -1;
        return b;
    }

    APlugin e;
    std::vector<Ev> events;
    long now = 0;
    int maxBlockEvents = 0;

private:
    std::vector<Ev> only(int kind) const {
        std::vector<Ev> out;
        for (const Ev& v : events)
            if (v.kind == kind) out.push_back(v);
        return out;
    }
    int block_;
};

void expectBalanced(const ArpRig& r) {
    for (const auto& [note, open] : r.balance()) EXPECT_EQ(open, 0) << "note " << note;
}

// ---- orders ----

struct OrderCase {
    const char* name;
    int mode, octaves, wrap; // options
    std::vector<int> keys;   // in press order
    std::vector<int> transposes;
    std::vector<int> expected; // first notes played
};

class ArpOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(ArpOrder, PlaysTheSequence) {
    const OrderCase& c = GetParam();
    ArpRig r;
    r.option("arp_mode", c.mode);
    r.option("arp_octave", c.octaves);
    r.option("arp_wrap", c.wrap);
    for (std::size_t i = 0; i < c.transposes.size(); ++i)
        r.step("arp_note", static_cast<int>(i) + 1, optionValue(param("arp_note1"), c.transposes[i] + 24));
    for (int k : c.keys) r.press(k);
    r.run(6000L * (2 * static_cast<long>(c.expected.size()) + 1)); // rests take steps too
    std::vector<int> got = r.onNotes();
    ASSERT_GE(got.size(), c.expected.size());
    got.resize(c.expected.size());
    EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ArpOrder,
    ::testing::Values(
        OrderCase{"UpDownTwoKeys", 2, 0, 16, {48, 52}, {}, {48, 52, 48, 52, 48, 52}},
        OrderCase{"UpDown2TwoKeys", 3, 0, 16, {48, 52}, {}, {48, 52, 52, 48, 48, 52, 52, 48}},
        OrderCase{"UpDownOneKeyRepeats", 2, 0, 16, {60}, {}, {60, 60, 60, 60}},
        OrderCase{"UpWrap04TwoOctaves", 0, 1, 3, {55, 48, 52}, {}, {48, 52, 55, 60, 48, 52, 55, 60}},
        OrderCase{"DownTwoOctaves", 1, 1, 16, {48, 52}, {}, {64, 60, 52, 48, 64}},
        OrderCase{"DownUpThreeKeys", 4, 0, 16, {48, 52, 55}, {}, {55, 52, 48, 52, 55, 52}},
        OrderCase{"OrderedKeepsPressOrder", 7, 1, 16, {55, 48}, {}, {55, 48, 67, 60, 55}},
        // Step: the transposes on the last key; below the keyboard rests, above is limited.
        OrderCase{"StepRestsBelowZero", 8, 1, 1, {10}, {-24, 0}, {10, 22, 10, 22}},
        OrderCase{"StepLimitedAt127", 8, 0, 1, {120}, {24, -1}, {127, 119, 127}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Arp, ChordPlaysEveryKeyOnTheStepTranspose) {
    ArpRig r;
    r.option("arp_mode", 9);
    r.option("arp_wrap", 1); // two steps
    r.step("arp_note", 2, optionValue(param("arp_note2"), 12 + 24));
    r.press(60);
    r.press(64);
    r.run(18000);
    std::map<long, std::vector<int>> chords;
    for (const Ev& v : r.ons()) chords[v.time].push_back(v.note);
    ASSERT_GE(chords.size(), 3u);
    auto it = chords.begin();
    EXPECT_EQ(it->second, (std::vector<int>{60, 64}));
    EXPECT_EQ((++it)->second, (std::vector<int>{72, 76}));
    EXPECT_EQ((++it)->second, (std::vector<int>{60, 64}));
}

TEST(Arp, RandomDrawsFromItsOwnGenerator) {
    ArpRig r;
    r.option("arp_mode", 6);
    const std::vector<int> keys = {50, 53, 57};
    for (int k : keys) r.press(k);
    r.run(6000L * 8);
    XorAddRandom fresh;
    std::vector<int> expected;
    for (int i = 0; i < 8; ++i) {
        const float x = fresh.next();
        expected.push_back(keys[std::min(static_cast<int>(3.0f * (x + 1.0f) * 0.5f), 2)]);
    }
    std::vector<int> got = r.onNotes();
    got.resize(8);
    EXPECT_EQ(got, expected);
}

TEST(Arp, PressingAHeldKeyAgainOnlyUpdatesItsVelocity) {
    ArpRig r;
    r.press(60, 50);
    r.press(64, 50);
    r.run(512);
    r.press(60, 110);
    r.run(6000L * 4);
    EXPECT_EQ(r.arp().keyCount(), 2);
    EXPECT_EQ(r.arp().sequenceSize(), 2);
    const std::vector<Ev> on = r.ons();
    ASSERT_GE(on.size(), 4u);
    EXPECT_EQ(on[0].velocity, 50);
    EXPECT_EQ(on[2].note, 60);
    EXPECT_EQ(on[2].velocity, 110);
}

// ---- timing and lengths ----

struct TimingCase {
    const char* name;
    int rate;
    float tempo, sampleRate, swing;
    int pressOffset;
    std::vector<long> starts; // expected note-on times
};

class ArpTiming : public ::testing::TestWithParam<TimingCase> {};

TEST_P(ArpTiming, StepsFollowTempoAndSwing) {
    const TimingCase& c = GetParam();
    ArpRig r(c.sampleRate);
    r.e.setTempo(c.tempo);
    r.option("arp_speed", c.rate);
    r.set("arp_swing", c.swing);
    const long t0 = r.now;
    r.press(60, 100, c.pressOffset);
    r.run(c.starts.back() + 1);
    const std::vector<Ev> on = r.ons();
    ASSERT_GE(on.size(), c.starts.size());
    for (std::size_t i = 0; i < c.starts.size(); ++i) EXPECT_EQ(on[i].time - t0, c.starts[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ArpTiming,
    ::testing::Values(TimingCase{"Sixteenths", kRate16th, 120, 48000, 0.5f, 0, {0, 6000, 12000, 18000}},
                      TimingCase{"FullSwing", kRate16th, 120, 48000, 1.0f, 0, {0, 7800, 12000, 19800, 24000}},
                      TimingCase{"NoSwing", kRate16th, 120, 48000, 0.0f, 0, {0, 4200, 12000, 16200}},
                      TimingCase{"QuarterAt90", kRate4th, 90, 44100, 0.5f, 0, {0, 29400, 58800}},
                      TimingCase{"KeyOffsetIsSampleExact", kRate16th, 120, 48000, 0.5f, 300,
                                 {300, 6300, 12300}}),
    [](const auto& info) { return std::string(info.param.name); });

struct LengthCase {
    const char* name;
    float gate;
    bool hold;
    long length; // samples from note-on to note-off
};

class ArpLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ArpLength, FirstNoteLasts) {
    const LengthCase& c = GetParam();
    ArpRig r;
    r.set("arp_length", c.gate);
    r.step("arp_hold", 1, c.hold ? 1.0f : 0.0f);
    r.press(60);
    r.press(64); // a different next note: the same one again would be a tie
    r.run(7000);
    const std::vector<Ev> on = r.ons(), off = r.offs();
    ASSERT_FALSE(on.empty());
    ASSERT_FALSE(off.empty());
    EXPECT_EQ(off[0].time - on[0].time, c.length);
}

INSTANTIATE_TEST_SUITE_P(Gates, ArpLength,
                         ::testing::Values(LengthCase{"Half", 0.5f, false, 2970},
                                           LengthCase{"Full", 1.0f, false, 5940},
                                           LengthCase{"ZeroStillOneSample", 0.0f, false, 1},
                                           LengthCase{"HoldOverlapsFiveSamples", 0.5f, true, 6005}),
                         [](const auto& info) { return std::string(info.param.name); });

// The matrix reaches the arpeggiator's gate and swing: a constant source at full amount
// pushes swing to 1 (7800/4200-sample steps), at zero amount pulls the gate to 0 (1 sample).
TEST(Arp, GateAndSwingFollowTheMatrix) {
    ArpRig r;
    r.set("slot1_Src1", 32.0f / 999.0f); // Constant_50%
    r.set("slot1_Amt1", 1.0f);
    r.set("slot1_Trg1", 216.0f / 999.0f); // Swing
    r.set("slot1_Amt2", 0.0f);
    r.set("slot1_Trg2", 215.0f / 999.0f); // Gate
    r.e.rebuildRouting();
    const long t0 = r.now;
    r.press(60);
    r.press(64);
    r.run(24000);
    const std::vector<Ev> on = r.ons(), off = r.offs();
    ASSERT_GE(on.size(), 3u);
    ASSERT_FALSE(off.empty());
    EXPECT_EQ(on[1].time - t0, 7800);
    EXPECT_EQ(on[2].time - t0, 12000);
    EXPECT_EQ(off[0].time - on[0].time, 1);
}

TEST(Arp, ArpStepHoldsTheStepVelocityForTheNoteLength) {
    ArpRig r;
    r.step("arp_vel", 1, 0.25f);
    r.press(60);
    r.arp().renderBlock(512);
    const float* out = r.arp().getModOutput(0)[kMonoVoice];
    ASSERT_NE(out, nullptr);
    EXPECT_FLOAT_EQ(out[0], 0.25f);
    EXPECT_FLOAT_EQ(out[511], 0.25f);
    EXPECT_FLOAT_EQ(r.arp().markers()[0], ModuleArp::kRestartMarker);
    EXPECT_FLOAT_EQ(r.arp().markers()[1], 0.0f);
    r.arp().clearEvents();
    for (int b = 0; b < 5; ++b) r.arp().renderBlock(512); // up to sample 3072; L = 2970
    EXPECT_FLOAT_EQ(out[2970 - 2560 - 1], 0.25f);
    EXPECT_FLOAT_EQ(out[2970 - 2560], 0.0f);
}

// ---- velocities, rests and ties ----

struct VelocityCase {
    const char* name;
    int velocityMode;
    std::vector<float> stepVelocities; // arp_vel1.. (the rest stay at the default)
    bool holdFirstStep;
    std::vector<int> expected; // velocities of the notes started at steps 0, 1, 2 (-1 none)
};

class ArpVelocity : public ::testing::TestWithParam<VelocityCase> {};

TEST_P(ArpVelocity, PerStep) {
    const VelocityCase& c = GetParam();
    ArpRig r;
    r.option("arp_velocity", c.velocityMode);
    for (std::size_t i = 0; i < c.stepVelocities.size(); ++i)
        r.step("arp_vel", static_cast<int>(i) + 1, c.stepVelocities[i]);
    r.step("arp_hold", 1, c.holdFirstStep ? 1.0f : 0.0f);
    r.press(62, 90); // played first (the lower key)
    r.press(67, 30); // the last pressed key
    r.run(6000L * 3);
    std::map<long, int> byStep;
    for (const Ev& v : r.ons()) byStep[(v.time - 512) / 6000] = v.velocity;
    for (std::size_t s = 0; s < c.expected.size(); ++s) {
        auto it = byStep.find(static_cast<long>(s));
        EXPECT_EQ(it == byStep.end() ? -1 : it->second, c.expected[s]) << "step " << s;
    }
    r.release(62);
    r.release(67);
    r.run(512);
    expectBalanced(r);
}

// Step velocities: 0.5 -> 63, 0.25 -> 31.
INSTANTIATE_TEST_SUITE_P(
    Modes, ArpVelocity,
    ::testing::Values(VelocityCase{"Key", 0, {}, false, {90, 30, 90}},
                      VelocityCase{"Hold", 1, {}, false, {30, 30, 30}},
                      VelocityCase{"Step", 2, {0.5f, 0.25f}, false, {63, 31, 99}},
                      VelocityCase{"StepKeyLimited", 3, {0.5f, 1.0f}, false, {127, 127, 127}},
                      VelocityCase{"StepKeyZeroRests", 3, {0.25f, 0.0f, 0.25f}, false, {121, -1, 121}},
                      VelocityCase{"StepHold", 4, {0.25f, 0.0f}, false, {61, -1, 127}},
                      // A silent "Step" step after a held one ties the note on; after a
                      // note that has ended it stays silent.
                      VelocityCase{"StepZeroTies", 2, {0.5f, 0.0f, 0.25f}, true, {63, -1, 31}},
                      VelocityCase{"StepZeroAfterEndIsSilent", 2, {0.5f, 0.0f}, false, {63, -1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Arp, SilentStepTieExtendsTheHeldNote) {
    ArpRig r;
    r.option("arp_velocity", 2);
    r.step("arp_vel", 2, 0.0f);
    r.step("arp_hold", 1, 1.0f);
    r.press(60);
    r.run(6000L * 2 + 512);
    const std::vector<Ev> on = r.ons(), off = r.offs();
    ASSERT_GE(on.size(), 1u);
    ASSERT_GE(off.size(), 1u);
    // Held step: 6005 samples; the tie adds the second step's 2970.
    EXPECT_EQ(off[0].time - on[0].time, 6005 + 2970);
    EXPECT_EQ(on.size() > 1 ? on[1].time - on[0].time : 12000, 12000);
}

// ---- keys released, switching, bad input ----

TEST(Arp, LastKeyUpEndsSoundingNotesOnTheNextSample) {
    ArpRig r;
    r.set("arp_length", 1.0f);
    r.press(60);
    r.press(64);
    r.run(1024);
    r.release(60);
    r.run(512);
    EXPECT_TRUE(r.offs().empty()); // one key still held
    r.release(64);
    const long releasedAt = r.now;
    r.run(512);
    ASSERT_EQ(r.offs().size(), 1u);
    EXPECT_EQ(r.offs()[0].time, releasedAt);
    const std::size_t before = r.events.size();
    r.run(12000);
    EXPECT_EQ(r.events.size(), before); // the clock stands without keys
    EXPECT_EQ(r.arp().heldKeyCount(), 0);
}

TEST(Arp, NewChordRestartsTheClockAtItsKey) {
    ArpRig r;
    r.press(60);
    r.run(1024);
    r.release(60);
    r.run(3000);
    r.arp().clearMarkers();
    const long t = r.now;
    r.press(72, 100, 77);
    r.run(512);
    EXPECT_FLOAT_EQ(r.arp().markers()[77], ModuleArp::kRestartMarker);
    ASSERT_FALSE(r.ons().empty());
    EXPECT_EQ(r.ons().back().time, t + 77);
    EXPECT_EQ(r.ons().back().note, 72);
}

TEST(Arp, FloodedKeyQueueLosesNoRelease) {
    ArpRig r;
    for (int n = 0; n < 128; ++n) r.press(n, 100, 5);
    // Far over 1024 key events in one block; the releases past the queue's end still count.
    for (int i = 0; i < 1500; ++i) {
        r.press(i % 128, 64);
        r.release((i * 7) % 128);
    }
    for (int i = 0; i < 300; ++i) r.press(60, 100); // more than 256 held keys
    EXPECT_EQ(r.arp().heldKeyCount(), ModuleArp::kMaxHeldKeys);
    EXPECT_GT(r.arp().droppedEvents(), 0u);
    r.run(512);
    // Every note was released after its last queued press.
    EXPECT_EQ(r.arp().keyCount(), 0);
    r.release(60);
    r.run(12000);
    expectBalanced(r);
    EXPECT_EQ(r.arp().activeNoteCount(), 0);
}

TEST(Arp, FloodedNoteQueueDropsNotesNeverTheirReleases) {
    // 1/64 at the fastest tempo, chords of 100 notes one sample long: far more than 1024
    // events a block (and not a whole number of chords in 1024).
    ArpRig r(48000.0f, 8192);
    r.e.setTempo(5000.0f); // the engine limits it
    r.option("arp_speed", kRate64th);
    r.option("arp_mode", 9);
    r.option("arp_wrap", 0);
    r.set("arp_length", 0.0f);
    for (int n = 0; n < 100; ++n) r.press(n, 100, 5);
    r.run(8192L * 4);
    EXPECT_EQ(r.maxBlockEvents, ModuleArp::kMaxEvents);
    EXPECT_GT(r.arp().droppedEvents(), 0u);
    EXPECT_GT(r.ons().size(), 4u * 5u * 100u);
    for (int n = 0; n < 100; ++n) r.release(n);
    r.run(8192);
    expectBalanced(r);
    EXPECT_EQ(r.arp().activeNoteCount(), 0);
}

// ---- through the plug-in ----

// A hosted instance; every block's note starts and releases are read out of the voices.
class Hosted {
public:
    Hosted(float rate = 48000.0f, int block = 512) : block_(block) {
        host.sampleRate = rate;
        host.tempo = 120.0;
        p.start(rate, block);
    }
    void set(const char* name, float v) { p.setParameter(param(name), v); }
    void option(const char* name, int k) { set(name, optionValue(param(name), k)); }
    void process(const std::vector<HostedPlugin::Midi>& midi = {}) {
        if (!midi.empty()) p.sendMidi(midi);
        p.process(block_);
        ModuleMidi& m = engineOf(p).midi();
        float* const* pitch = m.getModOutput(ModuleMidi::kOutPitch);
        for (int v = 0; v < kPolyVoices; ++v) {
            const float* lane = m.gateLane(v, 0);
            for (int i = 0; lane != nullptr && i < block_; ++i) {
                if (lane[i] == ModuleMidi::kGateStart)
                    starts.push_back({now + i, static_cast<int>(std::lround(pitch[v][i] * 127.0f)), v});
                else if (lane[i] == ModuleMidi::kGateRelease)
                    releases.push_back({now + i, -1, v});
            }
        }
        now += block_;
    }
    void processFor(long samples) {
        for (long d = 0; d < samples; d += block_) process();
    }
    struct Mark {
        long time;
        int note;
        int voice;
    };
    int soundingVoices() {
        int n = 0;
        for (int v = 0; v < kPolyVoices; ++v) n += engineOf(p).midi().voiceNote(v) >= 0 ? 1 : 0;
        return n;
    }
    FakeHost host;
    HostedPlugin p{host};
    std::vector<Mark> starts, releases;
    long now = 0;

private:
    int block_;
};

TEST(ArpHosted, NotesStartOnTheHostTempoGrid) {
    Hosted h;
    h.set("arp_on", 1.0f);
    h.process();
    h.process({noteOn(48, 100, 100), noteOn(52, 100, 100)});
    const long t0 = 512 + 100;
    h.processFor(13000);
    h.host.tempo = 0.0; // a host that reports no tempo: the last one holds
    h.processFor(6000);
    h.host.tempo = -30.0;
    h.host.time.ppqPos = 0.0; // and the song position jumps back
    h.processFor(6000);
    ASSERT_GE(h.starts.size(), 5u);
    const int expected[] = {48, 52, 48, 52, 48};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(h.starts[static_cast<std::size_t>(i)].time, t0 + 6000L * i) << i;
        EXPECT_EQ(h.starts[static_cast<std::size_t>(i)].note, expected[i]) << i;
    }
}

TEST(ArpHosted, HoldOverlapsTheNextNoteAndGateZeroSoundsOneSample) {
    for (const bool hold : {true, false}) {
        Hosted h;
        h.set("arp_on", 1.0f);
        h.set("arp_length", 0.0f);
        if (hold) h.set("arp_hold1", 1.0f);
        h.process();
        h.process({noteOn(60, 100), noteOn(64, 100)});
        h.processFor(6500);
        ASSERT_GE(h.starts.size(), 2u);
        ASSERT_GE(h.releases.size(), 1u);
        const Hosted::Mark first = h.starts[0];
        long end = -1;
        for (const auto& r : h.releases)
            if (r.voice == first.voice && r.time > first.time) {
                end = r.time;
                break;
            }
        EXPECT_EQ(end - first.time, hold ? 6005 : 1) << hold;
        EXPECT_EQ(h.starts[1].time - first.time, 6000);
    }
}

TEST(ArpHosted, SwitchingStopsTheRightVoices) {
    Hosted h;
    h.set("arp_length", 1.0f);
    h.process({noteOn(60, 100), noteOn(67, 100)});
    ASSERT_EQ(h.soundingVoices(), 2); // played directly
    ASSERT_EQ(h.starts.size(), 2u);
    h.set("arp_on", 1.0f);
    h.process();
    EXPECT_EQ(h.soundingVoices(), 0); // the direct voices stopped
    EXPECT_EQ(h.starts.size(), 2u);   // and nothing else in the switching block
    h.process();
    EXPECT_EQ(h.soundingVoices(), 1); // the held keys are arpeggiated
    ASSERT_EQ(h.starts.size(), 3u);
    EXPECT_EQ(h.starts[2].note, 60);
    h.set("arp_on", 0.0f);
    h.process();
    EXPECT_EQ(h.soundingVoices(), 0);
    const std::size_t n = h.starts.size();
    h.processFor(12000);
    EXPECT_EQ(h.starts.size(), n);
    // Keys pressed now play directly again.
    h.process({noteOn(72, 100)});
    EXPECT_EQ(h.soundingVoices(), 1);
}

TEST(ArpHosted, AllNotesOffSilencesTheArpeggiator) {
    Hosted h;
    h.set("arp_on", 1.0f);
    h.set("arp_length", 1.0f);
    h.process();
    h.process({noteOn(60, 100), noteOn(64, 100)});
    ASSERT_EQ(h.soundingVoices(), 1);
    h.process({cc(123, 0)});
    EXPECT_EQ(h.soundingVoices(), 0);
    EXPECT_EQ(engineOf(h.p).arp().keyCount(), 0);
    const std::size_t n = h.starts.size();
    h.processFor(12000);
    EXPECT_EQ(h.starts.size(), n);
}

TEST(ArpHosted, RenderingWithTheArpeggiatorAllocatesNothing) {
    Hosted h(48000.0f, 512);
    h.set("arp_on", 1.0f);
    h.option("arp_mode", 9);
    h.option("arp_speed", kRate64th);
    h.process();
    long total = 0;
    for (int block = 0; block < 150; ++block) {
        std::vector<HostedPlugin::Midi> midi = {noteOn(40 + block % 40, 100, block % 512),
                                                noteOff(40 + (block + 20) % 40, (block * 3) % 512)};
        if (block % 50 == 49) midi.push_back(cc(123, 0));
        AllocationGuard guard;
        h.p.sendMidi(midi);
        h.p.setParameter(param("arp_mode"), optionValue(param("arp_mode"), block % 10));
        h.p.setParameter(param("arp_on"), block % 37 == 36 ? 0.0f : 1.0f);
        h.p.process(512);
        total += guard.count();
    }
    EXPECT_EQ(total, 0) << (allocationGuardSeesMalloc() ? "" : " (operator new only)");
}

} // namespace
} // namespace kolva::test
