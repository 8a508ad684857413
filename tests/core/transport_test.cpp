// The transport-stop detector and the hosts that leave notes hanging when they stop.

#include "core/transport_detector.h"
#include "plugin_test_util.h"

#include <gtest/gtest.h>

namespace kolva::test {
namespace {

TEST(TransportStopDetector, RecognisesAStopAfterMoreThanSevenStillBlocks) {
    TransportStopDetector d;
    EXPECT_FALSE(d.update(0.0)); // start
    EXPECT_FALSE(d.update(0.0)); // still, never moved: no stop
    EXPECT_EQ(d.state(), 1);
    for (int i = 1; i <= 5; ++i) EXPECT_FALSE(d.update(i));
    EXPECT_EQ(d.state(), 2);
    for (int i = 0; i < 7; ++i) EXPECT_FALSE(d.update(5.0));
    EXPECT_EQ(d.state(), 2); // seven still blocks are not yet a stop
    EXPECT_FALSE(d.update(5.0));
    EXPECT_EQ(d.state(), 3);
    EXPECT_TRUE(d.update(5.0)); // reported once, on the next block
    EXPECT_EQ(d.state(), 1);
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(d.update(5.0));
    // Moving again and a short pause do not stop.
    EXPECT_FALSE(d.update(6.0));
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(d.update(6.0));
    EXPECT_FALSE(d.update(7.0));
    EXPECT_EQ(d.stillBlocks(), 0);
}

// Plays a held note, stops the transport and counts the blocks until the note is released.
int blocksUntilRelease(const char* product) {
    FakeHost host;
    host.product = product;
    HostedPlugin p(host);
    p.start(44100.0f, 256);
    p.sendMidi({noteOn(60, 100)});
    for (int i = 0; i < 4; ++i) p.process(256);
    host.playing = false;
    for (int i = 1; i <= 20; ++i) {
        p.process(256);
        if (engineOf(p).heldNotes().size() == 0) return i;
    }
    return -1;
}

TEST(TransportStop, CakewalkAndSibeliusHostsReleaseHangingNotes) {
    // One block still moving, eight still blocks, then the stop is acted on in the tenth.
    EXPECT_EQ(blocksUntilRelease("Cakewalk by BandLab"), 10);
    EXPECT_EQ(blocksUntilRelease("Avid Sibelius"), 10);
    EXPECT_EQ(blocksUntilRelease("SIBELIUS"), 10);
}

TEST(TransportStop, OtherHostsKeepNotesHeld) {
    EXPECT_EQ(blocksUntilRelease("Ardour"), -1);
    EXPECT_EQ(blocksUntilRelease("cakewalk"), 10);
}

TEST(TransportStop, HostWithoutTimeInfoStillRendersFiniteSilence) {
    FakeHost host;
    host.silent = true; // answers 0 to everything after the version query
    HostedPlugin p(host);
    ASSERT_TRUE(p.valid());
    p.start(44100.0f, 128);
    p.sendMidi({noteOn(60, 100), {0, {0xE0, 0x7F, 0x7F}}, cc(1, 100)});
    for (int i = 0; i < 10; ++i) {
        p.process(128);
        for (int s = 0; s < 128; ++s) ASSERT_TRUE(std::isfinite(p.left()[s]) && std::isfinite(p.right()[s]));
    }
    EXPECT_FLOAT_EQ(engineOf(p).context().tempo, 120.0f);
}

} // namespace
} // namespace kolva::test
