// The host against a test plug-in whose outputs and queries show what the host did.

#include "fake_plugin_queries.h"
#include "host/block_renderer.h"
#include "host/vst_host.h"
#include "core/vst/vst_abi.h"
#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace kolva::host {
namespace {

using namespace kolva::test;

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;

std::unique_ptr<PluginHost> loadFake(const std::string& product,
                                     const std::string& path = KOLVA_FAKE_PLUGIN) {
    HostIdentity identity;
    identity.product = product;
    identity.vendor = "Acme Audio";
    identity.vendorVersion = 4321;
    std::string error;
    auto host = PluginHost::load(path, identity, error);
    EXPECT_TRUE(host) << error;
    if (host) {
        host->open();
        host->setSampleRate(kRate);
        host->setBlockSize(kBlock);
        host->setActive(true);
    }
    return host;
}

std::string loadError(const std::string& path, const std::string& product = "fake") {
    HostIdentity identity;
    identity.product = product;
    std::string error;
    auto host = PluginHost::load(path, identity, error);
    EXPECT_FALSE(host);
    return error;
}

// Renders `blocks` full blocks and returns the left and right outputs end to end.
struct Rendered {
    std::vector<float> left, right;
};
Rendered render(BlockRenderer& renderer, int blocks) {
    Rendered out;
    for (int b = 0; b < blocks; ++b) {
        renderer.renderBlock(kBlock);
        out.left.insert(out.left.end(), renderer.left(), renderer.left() + kBlock);
        out.right.insert(out.right.end(), renderer.right(), renderer.right() + kBlock);
    }
    return out;
}

TEST(VstHost, LoadFailuresAreReportedNotFatal) {
    EXPECT_NE(loadError("/nonexistent/plugin.so").find("cannot load plug-in"), std::string::npos);
    EXPECT_NE(loadError(KOLVA_DEMO_MIDI).find("cannot load plug-in"), std::string::npos);
    EXPECT_NE(loadError(KOLVA_FAKE_NO_ENTRY).find("no VSTPluginMain or main"), std::string::npos);
    EXPECT_NE(loadError(KOLVA_FAKE_PLUGIN, "null").find("did not create an instance"),
              std::string::npos);
    // A record with bad magic cannot be trusted with effClose, so its instance is left alone.
    LeakCheckPause pause;
    EXPECT_NE(loadError(KOLVA_FAKE_PLUGIN, "badmagic").find("bad magic 0x00000000"),
              std::string::npos);
}

TEST(VstHost, OlderEntryPointNamedMainIsFound) {
    auto host = loadFake("fake", KOLVA_FAKE_MAIN_ONLY);
    ASSERT_TRUE(host);
    EXPECT_EQ(host->effectName(), "FakeSynth");
}

TEST(VstHost, AnswersTheCallbacksOfAnOfflineHost) {
    auto host = loadFake("probe");
    ASSERT_TRUE(host);
    // Asked inside the entry point, before the host knew the AEffect.
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryVersionAtCreation), 2400);
    EXPECT_EQ(host->productString(), "echo:probe");
    EXPECT_EQ(host->vendorString(), "echo:Acme Audio");
    // Asked afterwards.
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryProcessLevel), 4);
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryCanDoTimeInfo), 1);
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryCanDoUnknown), 0);
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQuerySampleRate), 48000);
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryBlockSize), kBlock);
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryUpdateDisplay), 1);
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryVendorVersion), 4321);

    // Host strings are cut to what the interface allows (63 characters and the NUL).
    auto longName = loadFake(std::string(100, 'p'));
    ASSERT_TRUE(longName);
    EXPECT_EQ(longName->dispatch(vst::kEffVendorSpecific, kQueryProductLength), 63);

    PinInfo pin;
    ASSERT_TRUE(host->outputProperties(1, pin));
    EXPECT_EQ(pin.label, "Fake2");
    EXPECT_FALSE(host->outputProperties(3, pin));
    EXPECT_EQ(host->canDo("receiveVstEvents"), 1);
    EXPECT_EQ(host->canDo("sendVstEvents"), -1);
}

TEST(VstHost, EventsArriveInTheirBlockAtTheirFrame) {
    auto host = loadFake("fake");
    ASSERT_TRUE(host);
    // 0.25 s = frame 12000 (block 23, offset 224); 0.5 s = frame 24000 (block 46, offset 448).
    std::vector<MidiMessage> messages = {{0.25, 0x90, 60, 127}, {0.5, 0x80, 60, 0}};
    BlockRenderer renderer(*host, TempoMap(120.0), messages);
    Rendered out = render(renderer, 60);
    std::vector<std::pair<std::size_t, float>> hits;
    for (std::size_t i = 0; i < out.left.size(); ++i)
        if (out.left[i] != 0.0f) hits.emplace_back(i, out.left[i]);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].first, 12000u);
    EXPECT_FLOAT_EQ(hits[0].second, 1.0f);
    EXPECT_EQ(hits[1].first, 24000u);
    EXPECT_FLOAT_EQ(hits[1].second, -0.5f);
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryEventsSeen), 2);
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryBadEvents), 0);
    EXPECT_TRUE(renderer.allMessagesSent());
}

TEST(VstHost, BusyBlocksDeliverEveryEvent) {
    auto host = loadFake("fake");
    ASSERT_TRUE(host);
    std::vector<MidiMessage> messages;
    for (int i = 0; i < 300; ++i)
        messages.push_back({0.1 + i * 1e-6, 0x90, static_cast<std::uint8_t>(i % 128), 1});
    messages.push_back({0.5, 0x90, 60, 1});
    BlockRenderer renderer(*host, TempoMap(120.0), messages);
    EXPECT_GE(renderer.eventCapacity(), 300u);
    // Uneven block lengths must not lose or reorder anything either.
    while (renderer.position() < kRate)
        renderer.renderBlock(renderer.position() % 3 == 0 ? 100 : kBlock);
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryEventsSeen), 301);
    EXPECT_EQ(host->dispatch(vst::kEffVendorSpecific, kQueryBadEvents), 0);
}

TEST(VstHost, TransportFollowsTheTempoMap) {
    auto host = loadFake("fake");
    ASSERT_TRUE(host);
    TempoMap tempo(120.0);
    tempo.addChange(1.0, 60.0);
    BlockRenderer renderer(*host, tempo, {});
    Rendered out = render(renderer, 200); // about 2.1 s
    // The right output carries the song position reported for each block: 2 beats per
    // second up to 1 s, then 1 beat per second.
    for (int block : {0, 50, 93, 94, 150, 199}) {
        double t = block * kBlock / kRate;
        double beats = t < 1.0 ? 2.0 * t : 2.0 + (t - 1.0);
        EXPECT_NEAR(out.right[block * kBlock], beats, 1e-4) << "block " << block;
    }
    const VstTimeInfo& info = host->timeInfo();
    EXPECT_DOUBLE_EQ(info.tempo, 60.0);
    EXPECT_DOUBLE_EQ(info.samplePos, 199.0 * kBlock);
    EXPECT_DOUBLE_EQ(info.barStartPos, 0.0); // 3.1 beats: still in the first bar
    EXPECT_EQ(info.timeSigNumerator, 4);
    int wanted =
        kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstTimeSigValid;
    EXPECT_EQ(info.flags & wanted, wanted);
}

TEST(VstHost, OutputsMapToStereo) {
    std::vector<MidiMessage> note = {{0.0, 0x90, 60, 127}};
    {
        auto mono = loadFake("mono");
        ASSERT_TRUE(mono);
        BlockRenderer renderer(*mono, TempoMap(120.0), note);
        renderer.renderBlock(kBlock);
        EXPECT_EQ(renderer.left()[0], 1.0f);
        EXPECT_EQ(renderer.right()[0], 1.0f);
    }
    auto three = loadFake("fake");
    ASSERT_TRUE(three);
    BlockRenderer renderer(*three, TempoMap(90.0), note);
    renderer.renderBlock(kBlock);
    renderer.renderBlock(kBlock);
    // Right is output 1 (song position), not output 2 (tempo 90).
    EXPECT_NEAR(renderer.right()[0], 1.5 * kBlock / kRate, 1e-6);
}

TEST(VstHost, RecordsAutomationFromThePlugin) {
    auto host = loadFake("fake");
    ASSERT_TRUE(host);
    std::vector<MidiMessage> messages = {{0.0, 0xB0, 1, 127}, {0.01, 0xB0, 7, 0}};
    BlockRenderer renderer(*host, TempoMap(120.0), messages);
    render(renderer, 2);
    ASSERT_EQ(host->automation().size(), 2u);
    EXPECT_EQ(host->automation()[0].index, 1);
    EXPECT_FLOAT_EQ(host->automation()[0].value, 1.0f);
    EXPECT_EQ(host->automation()[1].index, 7);
    EXPECT_FLOAT_EQ(host->automation()[1].value, 0.0f);
}

} // namespace
} // namespace kolva::host
