// The voice path through the whole engine: a note reaches the amplitude envelope through the
// MIDI module's trigger lanes, the voice is freed once its release has finished, and
// controllers become modulation through the smoothers and the matrix.

#include "core/parameter_defs.h"
#include "engine/aplugin.h"
#include "engine/module_envelope.h"
#include "engine/module_ext_control.h"
#include "engine/module_matrix.h"
#include "engine/module_midi.h"

#include <gtest/gtest.h>

#include <vector>

namespace kolva {
namespace {

class VoicePath : public ::testing::Test {
protected:
    void SetUp() override {
        e.setSampleRate(44100.0f);
        e.setBlockSize(kFrames);
        ASSERT_TRUE(e.prepare());
        // Defaults as the plug-in applies them.
        for (int i = 0; i < kNumParameters; ++i) e.setParameter(i, parameterDefs()[i].defaultValue);
        e.rebuildRouting();
    }
    void block() { e.render(left.data(), right.data(), kFrames); }
    ModuleEnvelope& env1() { return static_cast<ModuleEnvelope&>(*e.module(kModEnv1)); }

    static constexpr int kFrames = 128;
    APlugin e;
    std::vector<float> left = std::vector<float>(kFrames), right = std::vector<float>(kFrames);
};

TEST_F(VoicePath, ANoteRunsTheAmplitudeEnvelopeAndFreesItsVoiceAfterRelease) {
    auto& vc = e.voiceContext();
    e.setParameter(118, 0.0f); // env1_rel: release in one sample
    e.setParameter(6, 0.0f);   // no drift: the pitch is the key exactly
    e.noteOn(10, 60, 100);
    block();
    EXPECT_EQ(vc.voiceActive[0], 1);
    EXPECT_EQ(vc.ampEnvelopeActive[0], 1);
    EXPECT_NE(env1().stage(0), ModuleEnvelope::kIdle);
    const float* amp = env1().getModOutput(0)[0];
    EXPECT_EQ(amp[9], 0.0f); // before the note's offset
    EXPECT_GT(amp[kFrames - 1], 0.0f);
    // The MIDI module gives the voice its key as pitch.
    EXPECT_NEAR(e.midi().getModOutput(ModuleMidi::kOutPitch)[0][kFrames - 1], 60.0f / 127.0f, 1e-5f);

    e.noteOff(0, 60);
    block();
    EXPECT_EQ(env1().stage(0), ModuleEnvelope::kIdle);
    EXPECT_EQ(vc.ampEnvelopeActive[0], 0);
    block(); // the MIDI module frees the voice once its envelope has finished
    EXPECT_EQ(vc.voiceActive[0], 0);
    EXPECT_FALSE(vc.voiceSounding(0));
}

TEST_F(VoicePath, ControllersReachTheMacrosThroughTheMatrix) {
    // Slot 1: ModWheel -> Mod1 (full amount); slot 2 reads Mod1, so the macros render.
    e.setParameter(288, 17.0f / 999.0f);
    e.setParameter(290, 1.0f);
    e.setParameter(291, 217.0f / 999.0f);
    e.setParameter(298, 27.0f / 999.0f); // slot2 source A = Mod1
    e.setParameter(300, 1.0f);
    e.setParameter(301, 45.0f / 999.0f);
    e.rebuildRouting();
    EXPECT_EQ(e.matrix().sourceTier(16), 2); // Mod1 is a global destination
    e.controller(127, 0, 0);                 // CC 1 at full
    block();
    float* const* mod1 = e.module(kModPerfomance)->getModOutput(0);
    ASSERT_NE(mod1, nullptr);
    EXPECT_NEAR(mod1[16][kFrames - 1], 1.0f, 1e-6f);

    // Channel pressure goes through its response curve into the aftertouch channel.
    e.controller(127, 0, 65);
    block();
    EXPECT_NEAR(e.extControl().current(ModuleExtControl::kPressure), 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(pressureCurve(0.0f), 0.0f);
}

TEST_F(VoicePath, StolenVoicesAreRetriggeredAndModeSwitchesDoNotLeaveVoicesHanging) {
    e.setParameter(1, 1.0f / 999.0f); // two voices
    e.noteOn(0, 60, 100);
    block();
    e.noteOn(0, 64, 100);
    block();
    e.noteOn(0, 67, 100); // both held: the older voice is stolen
    block();
    EXPECT_EQ(e.midi().voiceNote(0), 67);
    EXPECT_EQ(e.midi().voiceNote(1), 64);
    // Poly -> mono releases everything at the end of the block.
    e.setParameter(0, 0.0f);
    block();
    EXPECT_EQ(e.heldNotes().size(), 0);
    EXPECT_EQ(e.midi().voiceNote(0), -1);
    EXPECT_EQ(e.midi().voiceNote(1), -1);
    EXPECT_EQ(env1().stage(0), ModuleEnvelope::kRelease);
}

TEST_F(VoicePath, RestingVoicesStillFollowBendAndTuning) {
    e.setParameter(6, 0.0f); // no drift
    e.setParameter(2, 2.0f / 999.0f); // bend up 2 semitones
    e.noteOn(0, 69, 100);
    for (int i = 0; i < 20; ++i) block(); // long settled: the voice's signals are constant
    const float* pitch = e.midi().getModOutput(ModuleMidi::kOutPitch)[0];
    EXPECT_NEAR(pitch[kFrames - 1], 69.0f / 127.0f, 1e-6f);
    e.setParameter(720, 1.0f); // wheel fully up
    block();
    EXPECT_NEAR(pitch[kFrames - 1], 71.0f / 127.0f, 1e-5f);
    e.setParameter(720, 0.5f);
    block();
    e.midi().tuning().setA4Index(0); // 432 Hz
    block();
    EXPECT_NEAR(pitch[0], 69.0f / 127.0f - 0.002462f, 1e-6f);
    // A different block length re-carves the buffers; the voice renders them again.
    e.setBlockSize(64);
    ASSERT_TRUE(e.prepare());
    e.render(left.data(), right.data(), 64);
    EXPECT_NEAR(e.midi().getModOutput(ModuleMidi::kOutPitch)[0][63], 69.0f / 127.0f - 0.002462f, 1e-6f);
}

} // namespace
} // namespace kolva
