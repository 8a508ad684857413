// Engine-level steps of the block: mode changes, note bookkeeping, the effects tail, the
// all-sound-off countdown and the deferred routing rebuild.

#include "engine/aplugin.h"
#include "engine/module.h"
#include "engine/module_matrix.h"
#include "engine/module_midi.h"

#include <gtest/gtest.h>

#include <vector>

namespace kolva {
namespace {

class EngineRender : public ::testing::Test {
protected:
    void SetUp() override {
        e.setSampleRate(44100.0f);
        e.setBlockSize(256);
        ASSERT_TRUE(e.prepare());
        e.setParameter(0, 4.0f / 999.0f); // poly_1, the default
        e.setParameter(1, 3.0f / 999.0f); // 4 voices
    }
    void block(int frames = 256) { e.render(left.data(), right.data(), frames); }
    int midiMode() { return e.midi().mode(); }

    APlugin e;
    std::vector<float> left = std::vector<float>(8192), right = std::vector<float>(8192);
};

TEST_F(EngineRender, CrossingBetweenMonoAndPolyWaitsForTheNextBlock) {
    e.setParameter(0, 1.0f / 999.0f); // mono_2 while poly_1
    EXPECT_EQ(midiMode(), 4);
    EXPECT_EQ(e.pendingMode(), 1);
    block();
    EXPECT_EQ(midiMode(), 1);
    EXPECT_EQ(e.context().polyMode, 1);
    EXPECT_EQ(e.voiceContext().modeInEffect, 1);

    e.setParameter(0, 0.0f); // mono_1 while mono_2: at once
    EXPECT_EQ(midiMode(), 0);

    e.setParameter(0, 4.0f / 999.0f); // poly_1 while mono_1: waits
    EXPECT_EQ(midiMode(), 0);
    block();
    EXPECT_EQ(midiMode(), 4);
    e.setParameter(0, 5.0f / 999.0f); // poly_2 while poly_1: at once
    EXPECT_EQ(midiMode(), 5);
}

TEST_F(EngineRender, MonoPolySwitchReleasesAllNotesButPolyToPolyDoesNot) {
    e.noteOn(0, 60, 100);
    e.noteOn(3, 64, 100);
    e.setParameter(0, 5.0f / 999.0f);
    block();
    EXPECT_EQ(e.heldNotes().size(), 2);
    e.setParameter(0, 2.0f / 999.0f); // mono_3
    block();
    EXPECT_EQ(e.heldNotes().size(), 0);
}

TEST_F(EngineRender, NoteListsRefuseGrowthPastTheirCapacity) {
    for (int i = 0; i < 300; ++i) e.noteOn(0, i % 128, 100);
    EXPECT_EQ(e.heldNotes().size(), APlugin::kHeldCapacity);
    // Releasing removes every occurrence of a note.
    e.noteOff(0, 5);
    EXPECT_FALSE([&] {
        for (int i = 0; i < e.heldNotes().size(); ++i)
            if (e.heldNotes()[i] == 5) return true;
        return false;
    }());

    e.allNotesOff(0);
    EXPECT_EQ(e.heldNotes().size(), 0);
    int accepted = 0;
    for (int i = 0; i < 40; ++i) accepted += e.queuePendingRelease(i) ? 1 : 0;
    EXPECT_EQ(accepted, APlugin::kPendingCapacity);
    e.noteOn(0, 7, 100);
    block(); // pending releases run first
    EXPECT_EQ(e.heldNotes().size(), 0);
}

TEST_F(EngineRender, EffectsRunForFourBeatsAfterSoundStopsThenSleep) {
    e.setTempo(120.0f);
    // No voice sounds: the first silent block restarts the tail, then it counts down.
    for (int i = 0; i < 400; ++i) block();
    // 4 beats at 120 BPM = 2 s = 88200 samples, plus 256: 88456 / 256 -> 346 blocks.
    EXPECT_EQ(e.effectsRuns(), 346u);
    for (int i = 0; i < 100; ++i) block();
    EXPECT_EQ(e.effectsRuns(), 346u);

    // A slower last tempo gives a longer tail; tempo 0 keeps the last positive one.
    APlugin slow;
    slow.setSampleRate(44100.0f);
    slow.setBlockSize(256);
    ASSERT_TRUE(slow.prepare());
    slow.setTempo(60.0f);
    slow.setTempo(0.0f);
    EXPECT_FLOAT_EQ(slow.context().tempo, 0.0f);
    for (int i = 0; i < 800; ++i) slow.render(left.data(), right.data(), 256);
    EXPECT_EQ(slow.effectsRuns(), 691u); // (176400 + 256) / 256 rounded up
}

TEST_F(EngineRender, AllSoundOffResetsTheEffectsTwoBlocksLater) {
    e.noteOn(0, 60, 100);
    e.controller(0, 0, 119);
    EXPECT_EQ(e.allSoundOffCountdown(), 2);
    block(); // all notes off at the end of the first block
    EXPECT_EQ(e.heldNotes().size(), 0);
    EXPECT_FALSE(e.allNotesOffRequested());
    EXPECT_EQ(e.allSoundOffCountdown(), 1);
    block(); // the reset of the second block raises a fresh request
    EXPECT_EQ(e.allSoundOffCountdown(), 0);
    EXPECT_TRUE(e.allNotesOffRequested());
}

TEST_F(EngineRender, SpecialParametersSetEngineState) {
    e.setParameter(8, 0.75f);
    EXPECT_FLOAT_EQ(e.amplitudeModAmount(), 0.5f);
    e.setParameter(8, 0.0f);
    EXPECT_FLOAT_EQ(e.amplitudeModAmount(), -1.0f);
    e.setParameter(257, 1.0f);
    EXPECT_TRUE(e.phaserBeforeShaper());
    e.setParameter(257, 0.0f);
    EXPECT_FALSE(e.phaserBeforeShaper());
    // Reverb modes "dmension" (5) and "aura" (6) move the reverb before the compressor.
    for (int mode = 0; mode < 7; ++mode) {
        e.setParameter(279, mode / 999.0f);
        EXPECT_EQ(e.reverbBeforeCompressor(), mode >= 5) << mode;
        EXPECT_FLOAT_EQ(e.module(kModFxRever)->slotValue(0), mode / 999.0f);
    }
    e.setParameter(722, 0.99f);
    EXPECT_EQ(e.antiClick(), 0);
    e.setParameter(722, 1.0f);
    EXPECT_EQ(e.antiClick(), 1);
}

TEST_F(EngineRender, MatrixEditsRebuildTheRoutingAfterACountdown) {
    const auto rebuilds = e.matrix().rebuildCount();
    e.setParameter(288, 17.0f / 999.0f); // slot1 source
    EXPECT_EQ(e.routingCountdown(), 10);
    EXPECT_FLOAT_EQ(e.matrix().slotParameter(0), 17.0f / 999.0f);
    block(); // 256 frames count 3 units
    EXPECT_EQ(e.routingCountdown(), 7);
    e.setParameter(190, 0.3f); // lfo1_amt1 while running: no restart
    EXPECT_EQ(e.routingCountdown(), 7);
    EXPECT_FLOAT_EQ(e.matrix().directParameter(ModuleMatrix::kFirstDirectRow + 4, 3), 0.3f);
    block();
    block();
    EXPECT_EQ(e.matrix().rebuildCount(), rebuilds);
    block();
    EXPECT_EQ(e.matrix().rebuildCount(), rebuilds + 1);
    EXPECT_EQ(e.routingCountdown(), 0);
    // A parameter that is not part of the matrix does not start it.
    e.setParameter(29, 0.5f);
    EXPECT_EQ(e.routingCountdown(), 0);
}

TEST_F(EngineRender, SustainAndAllNotesOffRequests) {
    e.controller(127, 0, 63);
    EXPECT_TRUE(e.sustainDown());
    e.controller(100, 0, 63); // still down: no change
    e.noteOn(0, 60, 90);
    e.noteOff(5, 60);
    EXPECT_EQ(e.sustainedNotes().size(), 1);
    e.controller(0, 9, 63);
    EXPECT_EQ(e.sustainedNotes().size(), 0);
    e.controller(0, 0, 122);
    EXPECT_TRUE(e.allNotesOffRequested());
    e.noteOn(0, 61, 90); // a new note clears the request
    EXPECT_FALSE(e.allNotesOffRequested());
}

TEST_F(EngineRender, UnpreparedOrOversizedBlocksRenderSilence) {
    APlugin fresh;
    std::fill(left.begin(), left.end(), 3.0f);
    fresh.render(left.data(), right.data(), 512);
    EXPECT_EQ(left[0], 0.0f);
    EXPECT_EQ(left[511], 0.0f);
    EXPECT_EQ(left[512], 3.0f);
    std::fill(left.begin(), left.end(), 3.0f);
    e.render(left.data(), right.data(), 300); // larger than prepared
    EXPECT_EQ(left[299], 0.0f);
    e.render(left.data(), right.data(), 0);
    e.render(left.data(), right.data(), -5);
}

} // namespace
} // namespace kolva
