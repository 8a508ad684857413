// MIDI learn as a player uses it: arm, move a controller, and the binding drives the
// parameter at the next block and survives in the file for the next instance.

#include "platform/atomic_file.h"
#include "platform/folders.h"
#include "plugin_test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace kolva::test {
namespace {

std::filesystem::path learnFile() { return platform::pluginDataFolder() / "midi_learn.tbl"; }

class MidiLearnFlow : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove(learnFile());
        p.start(44100.0f, 128);
    }
    void TearDown() override { std::filesystem::remove(learnFile()); }
    FakeHost host;
    HostedPlugin p{host};
};

TEST_F(MidiLearnFlow, LearnedControllerDrivesItsParameterAndIsSavedOffTheAudioThread) {
    Kolva& k = kolvaOf(p);
    k.midiLearn().arm(29); // osc1_ctrlA
    p.sendMidi({cc(20, 64)});
    EXPECT_FALSE(k.midiLearn().armed());
    EXPECT_EQ(k.midiLearn().binding(20), 29);
    EXPECT_FALSE(std::filesystem::exists(learnFile())); // no file I/O inside processEvents
    p.process(128);
    EXPECT_FLOAT_EQ(p.getParameter(29), 64.0f / 127.0f);

    p.dispatch(effEditIdle); // any main-thread call persists the change
    auto bytes = platform::readFile(learnFile(), 1024);
    ASSERT_TRUE(bytes.has_value());
    ASSERT_EQ(bytes->size(), 528u);
    EXPECT_EQ((*bytes)[20 * 4], 29);
    EXPECT_EQ((*bytes)[21 * 4], 0xFF); // -1, little-endian

    FakeHost host2;
    HostedPlugin second(host2);
    EXPECT_EQ(kolvaOf(second).midiLearn().binding(20), 29);
}

TEST_F(MidiLearnFlow, EnumeratedTargetsAreScaledToTheirFirstOptions) {
    Kolva& k = kolvaOf(p);
    k.midiLearn().arm(25); // osc1_type: a controller reaches Classic..AMSync
    p.sendMidi({cc(21, 127)});
    p.process(128);
    EXPECT_EQ(k.parameterTable().descriptor(25).optionIndex.load(), 3);
    p.sendMidi({cc(21, 0)});
    p.process(128);
    EXPECT_EQ(k.parameterTable().descriptor(25).optionIndex.load(), 0);
}

TEST_F(MidiLearnFlow, UnboundControllers14To17DriveTheMacros) {
    p.sendMidi({cc(14, 127), cc(17, 127)});
    p.process(128);
    EXPECT_FLOAT_EQ(p.getParameter(714), 1.0f);
    EXPECT_FLOAT_EQ(p.getParameter(717), 1.0f);
    EXPECT_FLOAT_EQ(p.getParameter(715), 0.0f);
}

TEST_F(MidiLearnFlow, EditorIsToldAboutLearningAndLearnedChanges) {
    Kolva& k = kolvaOf(p);
    k.postToEngine(toengine::kEditorOpen, 0, 1.0);
    p.process(128);
    drainEditor(k);
    k.midiLearn().arm(30);
    p.sendMidi({cc(22, 100)});
    auto recs = drainEditor(k);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].type, toeditor::kLearnControllerArrived);
    EXPECT_EQ(recs[1].type, toeditor::kParameterChanged);
    EXPECT_EQ(recs[1].index, 30);
    EXPECT_EQ(recs[2].type, toeditor::kRefreshSection);

    // A continuous controller armed for "next preset" becomes a program selector.
    k.midiLearn().arm(MidiLearnTable::kNextPreset);
    p.sendMidi({cc(23, 64)});
    EXPECT_EQ(k.midiLearn().binding(23), MidiLearnTable::kProgramSelect);
    recs = drainEditor(k);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].type, toeditor::kSwitchProgram);
    EXPECT_EQ(recs[1].index, MidiLearnTable::kProgramSelect);
}

TEST_F(MidiLearnFlow, PresetCommandsWithTheEditorClosedBecomeProgramRequests) {
    Kolva& k = kolvaOf(p);
    SwitchRecorder bus(k.eventBus());
    k.midiLearn().arm(MidiLearnTable::kNextPreset);
    p.sendMidi({cc(24, 127)}); // a switch: stays "next preset"
    EXPECT_EQ(k.midiLearn().binding(24), MidiLearnTable::kNextPreset);
    p.dispatch(effIdle);
    ASSERT_EQ(bus.seen.size(), 1u);
    EXPECT_EQ(bus.seen[0].mode, SwitchPresetEvent::kNext);
    EXPECT_EQ(bus.seen[0].program, -1);
    EXPECT_EQ(bus.seen[0].learned, 1); // learned commands keep their history entry
    EXPECT_EQ(bus.seen[0].noHistory, 0);
    p.sendMidi({cc(24, 0)}); // release: no step
    p.dispatch(effIdle);
    EXPECT_EQ(bus.seen.size(), 1u);
}

} // namespace
} // namespace kolva::test
