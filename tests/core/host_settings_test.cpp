// Block size and sample rate as the host sets them, including sizes and rates a host should
// never send.

#include "plugin_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace kolva::test {
namespace {

bool allEqual(const std::vector<float>& v, int n, float x) {
    return std::all_of(v.begin(), v.begin() + n, [x](float s) { return s == x; });
}

TEST(BlockSize, RoundsUpToSixteenAndAcceptsUpTo8192) {
    FakeHost host;
    HostedPlugin p(host);
    p.start(44100.0f, 8185);
    Kolva& k = kolvaOf(p);
    EXPECT_EQ(k.hostBlockSize(), 8192);
    EXPECT_FALSE(k.blockTooLarge());
    EXPECT_EQ(engineOf(p).context().blockSize, 8192);
    std::fill(p.left().begin(), p.left().end(), 7.0f);
    p.process(8185);
    EXPECT_TRUE(allEqual(p.left(), 8185, 0.0f)); // written (silence, nothing plays)

    p.dispatch(effSetBlockSize, 0, 1);
    EXPECT_EQ(k.hostBlockSize(), 16);
    p.dispatch(effSetBlockSize, 0, 0); // ignored
    EXPECT_EQ(k.hostBlockSize(), 16);
    p.dispatch(effSetBlockSize, 0, -64);
    EXPECT_EQ(k.hostBlockSize(), 16);
}

TEST(BlockSize, TooLargeMakesTheInstanceSilentUntilAValidSizeArrives) {
    FakeHost host;
    HostedPlugin p(host);
    p.start(44100.0f, 512);
    Kolva& k = kolvaOf(p);
    p.dispatch(effSetBlockSize, 0, 8193);
    EXPECT_EQ(k.hostBlockSize(), 8208);
    EXPECT_TRUE(k.blockTooLarge());
    // The engine keeps its last valid size.
    EXPECT_EQ(engineOf(p).context().blockSize, 512);

    // Events and blocks are ignored; the host's buffers are not touched.
    EXPECT_EQ(p.sendMidi({noteOn(60, 100)}), 1);
    EXPECT_EQ(engineOf(p).heldNotes().size(), 0);
    std::fill(p.left().begin(), p.left().end(), 7.0f);
    p.process(512);
    EXPECT_TRUE(allEqual(p.left(), 512, 7.0f));

    p.dispatch(effSetBlockSize, 0, static_cast<VstIntPtr>(1) << 40); // absurd
    EXPECT_TRUE(k.blockTooLarge());

    p.dispatch(effSetBlockSize, 0, 256);
    EXPECT_FALSE(k.blockTooLarge());
    p.sendMidi({noteOn(60, 100)});
    EXPECT_EQ(engineOf(p).heldNotes().size(), 1);
    std::fill(p.left().begin(), p.left().end(), 7.0f);
    p.process(256);
    // Rendering again: the note is heard, every sample written.
    const auto heard = std::count_if(p.left().begin(), p.left().begin() + 256,
                                     [](float x) { return x != 0.0f && std::fabs(x) < 1.0f; });
    EXPECT_GT(heard, 200);
}

TEST(BlockSize, HostBlocksLongerThanAnnouncedAreRenderedInPieces) {
    FakeHost host;
    HostedPlugin p(host);
    p.start(44100.0f, 64);
    std::fill(p.left().begin(), p.left().end(), 7.0f);
    p.process(1000); // more than announced, not a multiple of 16
    EXPECT_TRUE(allEqual(p.left(), 1000, 0.0f));
    EXPECT_EQ(p.left()[1000], 7.0f);
    p.process(12000); // more than the plug-in's own block buffers
    EXPECT_TRUE(allEqual(p.left(), 12000, 0.0f));
}

TEST(SampleRate, OnlyUsableRatesAreTaken) {
    FakeHost host;
    HostedPlugin p(host);
    p.start(48000.0f, 512);
    Kolva& k = kolvaOf(p);
    APlugin& e = engineOf(p);
    EXPECT_FLOAT_EQ(k.hostSampleRate(), 48000.0f);
    EXPECT_FLOAT_EQ(e.context().sampleRate, 48000.0f);
    EXPECT_FLOAT_EQ(e.context().rateFactor, 44100.0f / 48000.0f);
    for (float bad : {0.0f, -44100.0f, std::nanf(""), 1e12f}) {
        p.dispatch(effSetSampleRate, 0, 0, nullptr, bad);
        EXPECT_FLOAT_EQ(k.hostSampleRate(), 48000.0f) << bad;
    }
    p.dispatch(effSetSampleRate, 0, 0, nullptr, 192000.0f);
    EXPECT_FLOAT_EQ(e.context().sampleRate, 192000.0f);
    EXPECT_TRUE(e.isPrepared());
    EXPECT_EQ(e.voiceContext().arenaSize() >= APlugin::arenaBytes(512, 192000.0f), true);
    p.process(512);
    EXPECT_TRUE(allEqual(p.left(), 512, 0.0f));
}

TEST(SampleRate, SuspendResumeAndRateChangeWhileNotesHang) {
    FakeHost host;
    HostedPlugin p(host);
    p.start(44100.0f, 128);
    p.sendMidi({noteOn(60, 90), noteOn(64, 90)});
    p.process(128);
    p.dispatch(effMainsChanged, 0, 0); // suspend: engine reset requests all notes off
    EXPECT_TRUE(engineOf(p).allNotesOffRequested());
    p.dispatch(effSetSampleRate, 0, 0, nullptr, 96000.0f);
    p.dispatch(effMainsChanged, 0, 1);
    p.process(128);
    EXPECT_EQ(engineOf(p).heldNotes().size(), 0);
    EXPECT_FALSE(engineOf(p).allNotesOffRequested());
}

} // namespace
} // namespace kolva::test
