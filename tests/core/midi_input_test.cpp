// MIDI decoding at the host boundary: notes, controllers, bend, odd event lists.

#include "engine/module_ext_control.h"
#include "engine/module_midi.h"
#include "plugin_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace kolva::test {
namespace {

class MidiInput : public ::testing::Test {
protected:
    void SetUp() override { p.start(44100.0f, 256); }
    FakeHost host;
    HostedPlugin p{host};
};

TEST_F(MidiInput, VelocityZeroIsANoteOff) {
    p.sendMidi({noteOn(60, 100), noteOn(64, 80, 10)});
    EXPECT_EQ(engineOf(p).heldNotes().size(), 2);
    p.process(256);
    p.sendMidi({{0, {0x90, 60, 0}}});
    ASSERT_EQ(engineOf(p).heldNotes().size(), 1);
    EXPECT_EQ(engineOf(p).heldNotes()[0], 64);
    // The channel nibble is ignored; data bytes are masked to 7 bits.
    p.sendMidi({{0, {0x8F, 64 | 0x80, 0}}});
    EXPECT_EQ(engineOf(p).heldNotes().size(), 0);
    EXPECT_EQ(kolvaOf(p).noteActivity(), 2u);
}

TEST_F(MidiInput, PitchBendCentreAndTop) {
    p.sendMidi({{0, {0xE0, 0x00, 0x40}}});
    EXPECT_FLOAT_EQ(p.getParameter(720), 0.5f);
    EXPECT_FLOAT_EQ(engineOf(p).extControl().lastInput(ModuleExtControl::kPitchBend), 0.0f);
    ASSERT_FALSE(host.automated.empty());
    EXPECT_EQ(host.automated.back().first, 720);

    p.sendMidi({{0, {0xE3, 0x7F, 0x7F}}});
    const float b = engineOf(p).extControl().lastInput(ModuleExtControl::kPitchBend);
    EXPECT_LT(b, 1.0f);
    EXPECT_GT(b, 0.999f);
    EXPECT_LT(p.getParameter(720), 1.0f);
    EXPECT_GT(p.getParameter(720), 0.9995f);

    p.sendMidi({{0, {0xE0, 0x00, 0x00}}});
    EXPECT_FLOAT_EQ(engineOf(p).extControl().lastInput(ModuleExtControl::kPitchBend), -1.0f);
    EXPECT_FLOAT_EQ(p.getParameter(720), 0.0f);
    // The bend wheel parameter also positions the MIDI module's bend.
    EXPECT_FLOAT_EQ(engineOf(p).midi().bend(), -1.0f);
}

TEST_F(MidiInput, ControllersReachTheirChannels) {
    host.automated.clear();
    p.sendMidi({cc(1, 127, 3), cc(2, 64), cc(4, 32), cc(11, 16)});
    auto& ext = engineOf(p).extControl();
    EXPECT_FLOAT_EQ(ext.lastInput(ModuleExtControl::kModWheel), 1.0f);
    EXPECT_FLOAT_EQ(ext.lastInput(ModuleExtControl::kBreath), 64.0f / 127.0f);
    EXPECT_FLOAT_EQ(ext.lastInput(ModuleExtControl::kFoot), 32.0f / 127.0f);
    EXPECT_FLOAT_EQ(ext.lastInput(ModuleExtControl::kExpression), 16.0f / 127.0f);
    // The mod wheel is reported to the host as automation of parameter 721.
    ASSERT_EQ(host.automated.size(), 1u);
    EXPECT_EQ(host.automated[0].first, 721);
    EXPECT_FLOAT_EQ(host.automated[0].second, 1.0f);
    EXPECT_FLOAT_EQ(p.getParameter(721), 1.0f);
}

TEST_F(MidiInput, SustainPedalHoldsReleasedNotesUntilLifted) {
    APlugin& e = engineOf(p);
    p.sendMidi({cc(64, 127), noteOn(60, 100), noteOn(62, 100)});
    EXPECT_TRUE(e.sustainDown());
    p.sendMidi({noteOff(60), noteOff(62)});
    EXPECT_EQ(e.heldNotes().size(), 0);
    EXPECT_EQ(e.sustainedNotes().size(), 2);
    // Pressing a sustained key again takes it out of the sustained list.
    p.sendMidi({noteOn(60, 100)});
    EXPECT_EQ(e.sustainedNotes().size(), 1);
    p.sendMidi({cc(64, 0)});
    EXPECT_FALSE(e.sustainDown());
    EXPECT_EQ(e.sustainedNotes().size(), 0);
    EXPECT_EQ(e.heldNotes().size(), 1);
}

TEST_F(MidiInput, AllNotesOffAndAllSoundOffControllers) {
    APlugin& e = engineOf(p);
    p.sendMidi({noteOn(60, 100), noteOn(67, 100), cc(123, 0)});
    EXPECT_TRUE(e.allNotesOffRequested());
    EXPECT_EQ(e.heldNotes().size(), 2);
    p.process(256); // released at the end of this block
    EXPECT_EQ(e.heldNotes().size(), 0);
    EXPECT_FALSE(e.allNotesOffRequested());

    p.sendMidi({cc(120, 0)});
    EXPECT_EQ(e.allSoundOffCountdown(), 2);
}

TEST_F(MidiInput, ProgramChangeReachesTheBusOnTheMainThreadOnly) {
    SwitchRecorder bus(kolvaOf(p).eventBus());
    p.sendMidi({{0, {0xC0, 5, 0}}});
    EXPECT_TRUE(bus.seen.empty()); // nothing published from the audio thread
    p.dispatch(effIdle);
    ASSERT_EQ(bus.seen.size(), 1u);
    EXPECT_EQ(bus.seen[0].mode, SwitchPresetEvent::kByNumber);
    EXPECT_EQ(bus.seen[0].program, 5);
    EXPECT_EQ(bus.seen[0].learned, 0);
    EXPECT_EQ(bus.seen[0].noHistory, 1);
    p.dispatch(effIdle);
    EXPECT_EQ(bus.seen.size(), 1u); // handed over once

    // The host's program-select opcode changes nothing: the plug-in reports no programs.
    p.dispatch(effSetProgram, 0, 7);
    EXPECT_EQ(bus.seen.size(), 1u);
}

// Ardour switches the plug-in off and on from its process thread around an export: those
// calls must not do the main thread's idle work (files, the event bus) there.
TEST_F(MidiInput, CallsFromTheHostsAudioThreadLeaveIdleWorkToTheMainThread) {
    SwitchRecorder bus(kolvaOf(p).eventBus());
    std::thread audio([&] {
        p.sendMidi({{0, {0xC0, 9, 0}}});
        p.process(256);
        p.dispatch(effMainsChanged, 0, 0);
        p.dispatch(effMainsChanged, 0, 1);
    });
    audio.join();
    EXPECT_TRUE(bus.seen.empty());
    p.dispatch(effIdle);
    ASSERT_EQ(bus.seen.size(), 1u);
    EXPECT_EQ(bus.seen[0].program, 9);
}

TEST_F(MidiInput, MalformedEventListsAreSurvived) {
    APlugin& e = engineOf(p);
    EXPECT_EQ(p.dispatch(effProcessEvents, 0, 0, nullptr), 1);

    // Null entries, a sysex event, negative counts, offsets outside the block.
    std::vector<unsigned char> block(sizeof(VstEvents) + 8 * sizeof(VstEvent*));
    auto* evs = reinterpret_cast<VstEvents*>(block.data());
    VstMidiEvent early{}, late{};
    early.type = late.type = kVstMidiType;
    early.deltaFrames = -500;
    late.deltaFrames = 1 << 30;
    early.midiData[0] = late.midiData[0] = 0x90;
    early.midiData[1] = 50;
    late.midiData[1] = 51;
    early.midiData[2] = late.midiData[2] = 90;
    VstMidiSysexEvent sysex{};
    sysex.type = kVstSysExType;
    evs->numEvents = 4;
    evs->events[0] = nullptr;
    evs->events[1] = reinterpret_cast<VstEvent*>(&sysex);
    evs->events[2] = reinterpret_cast<VstEvent*>(&early);
    evs->events[3] = reinterpret_cast<VstEvent*>(&late);
    EXPECT_EQ(p.dispatch(effProcessEvents, 0, 0, evs), 1);
    EXPECT_EQ(e.heldNotes().size(), 2);
    evs->numEvents = -3;
    EXPECT_EQ(p.dispatch(effProcessEvents, 0, 0, evs), 1);
    p.process(256);

    // Status bytes below 0x80 and system messages are skipped.
    p.sendMidi({{0, {0x45, 60, 100}}, {0, {0xF8, 0, 0}}, {0, {0xA0, 60, 100}}});
    EXPECT_EQ(e.heldNotes().size(), 2);
}

} // namespace
} // namespace kolva::test
