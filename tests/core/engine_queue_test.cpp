// Editor -> engine records applied at block start, engine -> editor records, and host
// automation from threads other than the audio thread.

#include "engine/module.h"
#include "engine/module_id.h"
#include "engine/module_matrix.h"
#include "plugin_test_util.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kolva::test {
namespace {

class EngineQueue : public ::testing::Test {
protected:
    void SetUp() override {
        p.start(44100.0f, 256);
        p.process(256);
    }
    FakeHost host;
    HostedPlugin p{host};
    Kolva& k = kolvaOf(p);
    APlugin& e = engineOf(p);
};

TEST_F(EngineQueue, ParameterRecordsApplyAtBlockStartWithOneRoutingRebuild) {
    const Module* osc1 = e.module(kModOsc1);
    const auto rebuilds = e.matrix().rebuildCount();
    // A knob sweep: several records for one parameter, plus a matrix slot and an option.
    for (double v : {0.1, 0.2, 0.3}) k.postToEngine(toengine::kSetParameter, 29, v);
    k.postToEngine(toengine::kSetParameter, 290, 0.75);
    k.postToEngine(toengine::kSetParameter, 25, 1.0); // osc1_type, thousandths
    k.postToEngine(toengine::kSetParameter, 725, 0.5); // out of range: ignored
    EXPECT_NE(osc1->slotValue(4), 0.3f);
    p.process(256);
    EXPECT_FLOAT_EQ(osc1->slotValue(4), 0.3f);
    EXPECT_FLOAT_EQ(p.getParameter(29), 0.3f);
    EXPECT_FLOAT_EQ(e.matrix().slotParameter(2), 0.75f);
    EXPECT_FLOAT_EQ(p.getParameter(25), 1.0f);
    EXPECT_FLOAT_EQ(osc1->slotValue(0), 6.0f / 999.0f);
    EXPECT_EQ(e.matrix().rebuildCount(), rebuilds + 1);
    EXPECT_EQ(e.routingCountdown(), 0); // the block's own rebuild replaces the deferred one
    // Editor edits are not echoed back to the editor.
    EXPECT_TRUE(drainEditor(k).empty());
}

TEST_F(EngineQueue, NotesResetAndApplyAll) {
    k.postToEngine(toengine::kNote, 60, 100.0);
    k.postToEngine(toengine::kNote, 64, 300.0); // velocity clamped, still a note-on
    k.postToEngine(toengine::kNote, 200, 100.0); // not a note
    p.process(256);
    EXPECT_EQ(e.heldNotes().size(), 2);
    k.postToEngine(toengine::kNote, 60, 0.0);
    p.process(256);
    EXPECT_EQ(e.heldNotes().size(), 1);
    k.postToEngine(toengine::kEngineReset, 0, 0.0);
    p.process(256);
    EXPECT_EQ(e.heldNotes().size(), 0);

    // Apply-all pushes stored values again, e.g. after the engine's view drifted.
    e.setParameter(9, 0.9f);
    EXPECT_FLOAT_EQ(e.module(kModFxEqualizer)->slotValue(13), 0.9f);
    const auto rebuilds = e.matrix().rebuildCount();
    k.postToEngine(toengine::kApplyAllParameters, 0, 0.0);
    p.process(256);
    EXPECT_FLOAT_EQ(e.module(kModFxEqualizer)->slotValue(13), 0.5f); // volume default
    EXPECT_EQ(e.matrix().rebuildCount(), rebuilds + 1);
}

TEST_F(EngineQueue, AutomationReachesTheEditorOnlyWhileItIsOpen) {
    p.setParameter(29, 0.25f);
    EXPECT_TRUE(drainEditor(k).empty());
    k.postToEngine(toengine::kEditorOpen, 0, 1.0);
    p.process(256);
    EXPECT_TRUE(k.editorOpen());
    p.setParameter(25, 1.0f);
    auto recs = drainEditor(k);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].type, toeditor::kParameterChanged);
    EXPECT_EQ(recs[0].index, 25);
    EXPECT_FLOAT_EQ(recs[0].value, 6.0f / 999.0f); // the engine value, not the raw one
    k.postToEngine(toengine::kEditorOpen, 0, 0.0);
    p.process(256);
    EXPECT_FALSE(k.editorOpen());
    p.setParameter(25, 0.0f);
    EXPECT_TRUE(drainEditor(k).empty());
}

TEST_F(EngineQueue, AutomationFromAnotherThreadWaitsForTheNextBlock) {
    const Module* osc1 = e.module(kModOsc1);
    std::thread automation([&] {
        p.setParameter(29, 0.7f);
        p.setParameter(294, 0.4f); // slot1 amount 3
    });
    automation.join();
    EXPECT_FLOAT_EQ(p.getParameter(29), 0.7f); // the host reads back what it wrote at once
    EXPECT_NE(osc1->slotValue(4), 0.7f);       // the engine has not been touched
    EXPECT_EQ(e.routingCountdown(), 0);
    p.process(256);
    EXPECT_FLOAT_EQ(osc1->slotValue(4), 0.7f);
    EXPECT_FLOAT_EQ(e.matrix().slotParameter(6), 0.4f);
    EXPECT_GT(e.routingCountdown(), 0); // matrix edits start the deferred rebuild
}

TEST_F(EngineQueue, StatusRecordCarriesTheOutputPeaks) {
    p.process(256);
    EXPECT_FLOAT_EQ(k.blockStatus().peakLeft.load(), e.peakLeft());
    EXPECT_FLOAT_EQ(k.blockStatus().peakRight.load(), e.peakRight());
    EXPECT_EQ(k.blockStatus().stepper1Step.load(), 0);
}

} // namespace
} // namespace kolva::test
