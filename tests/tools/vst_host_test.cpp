// The host, and --param resolution, against a test plug-in whose outputs show what the
// host did.

#include "core/option_list.h"
#include "core/parameter_defs.h"
#include "core/vst/vst_abi.h"
#include "host/block_renderer.h"
#include "host/vst_host.h"
#include "render/param_assign.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace kolva::host {
namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;

std::unique_ptr<PluginHost> loadFake(const std::string& product,
                                     const std::string& path = KOLVA_FAKE_PLUGIN) {
    HostIdentity identity;
    identity.product = product;
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

// Asks the host `opcode` through the plug-in's own callback.
VstIntPtr relay(PluginHost& host, int opcode, void* ptr = nullptr) {
    return host.dispatch(vst::kEffVendorSpecific, opcode, 0, ptr);
}

TEST(VstHost, EntryPointsAndBrokenPlugins) {
    // The older entry point name "main" is found too. The fake echoes the product string
    // and host version it was given inside the entry point, before the host knew it.
    for (const char* path : {KOLVA_FAKE_PLUGIN, KOLVA_FAKE_MAIN_ONLY}) {
        auto host = loadFake("probe", path);
        ASSERT_TRUE(host) << path;
        EXPECT_EQ(host->productString(), "probe");
        EXPECT_EQ(host->vendorVersion(), vst::kHostVstVersion);
    }
    struct Case {
        std::string path, product, expected;
    };
    const Case failures[] = {
        {KOLVA_DEMO_MIDI, "fake", "cannot load plug-in"}, // not a shared library
        {KOLVA_FAKE_NO_ENTRY, "fake", "no VSTPluginMain or main"},
        {KOLVA_FAKE_PLUGIN, "null", "did not create an instance"},
        // The record has no dispatcher: closing it would crash.
        {KOLVA_FAKE_PLUGIN, "badmagic", "bad magic"},
    };
    for (const Case& c : failures) {
        SCOPED_TRACE(c.path + " " + c.product);
        HostIdentity identity;
        identity.product = c.product;
        std::string error;
        EXPECT_FALSE(PluginHost::load(c.path, identity, error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(VstHost, AnswersTheCallbacksOfAnOfflineHost) {
    // Host strings fit the interface's 64 bytes, also when asked inside the entry point
    // (the fake's buffer there is that size, so an overrun shows under ASan).
    auto host = loadFake(std::string(100, 'p'));
    ASSERT_TRUE(host);
    char product[64];
    std::memset(product, 'x', sizeof product);
    EXPECT_EQ(relay(*host, vst::kHostGetProductString, product), 1);
    EXPECT_EQ(std::string(product), std::string(63, 'p'));

    EXPECT_EQ(relay(*host, vst::kHostGetCurrentProcessLevel), vst::kProcessLevelOffline);
    EXPECT_EQ(relay(*host, vst::kHostCanDo, const_cast<char*>("sendVstTimeInfo")), 1);
    EXPECT_EQ(relay(*host, vst::kHostCanDo, const_cast<char*>("juggle")), 0);
    EXPECT_EQ(relay(*host, vst::kHostGetSampleRate), 48000);
    EXPECT_EQ(relay(*host, vst::kHostGetBlockSize), kBlock);
}

TEST(VstHost, EventsArriveAtTheirFrameWhateverTheBlockLengths) {
    auto host = loadFake("fake");
    ASSERT_TRUE(host);
    // The fake adds velocity/127 at a note-on's frame and -0.5 at a note-off's. A burst of
    // 300 notes at frames 4800-4814 needs more than one block's worth of events.
    std::vector<MidiMessage> messages = {
        {0.25, 0x90, 60, 127}, {0.5, 0x80, 60, 0}, {0.0, 0xB0, 1, 127}, {0.01, 0xB0, 7, 0}};
    for (int i = 0; i < 300; ++i)
        messages.push_back({0.1 + i * 1e-6, 0x90, static_cast<std::uint8_t>(i % 128), 1});
    sortByTime(messages);
    BlockRenderer renderer(*host, TempoMap(120.0), messages);
    std::vector<float> left;
    for (int b = 0; renderer.position() < 30000; ++b) {
        int frames = b % 3 == 0 ? 100 : kBlock;
        renderer.renderBlock(frames);
        left.insert(left.end(), renderer.left(), renderer.left() + frames);
    }
    EXPECT_TRUE(renderer.allMessagesSent());
    double burst = 0.0;
    std::vector<std::size_t> others;
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (i >= 4800 && i < 4815)
            burst += left[i];
        else if (left[i] != 0.0f)
            others.push_back(i);
    }
    EXPECT_NEAR(burst, 300 / 127.0, 1e-4);
    EXPECT_EQ(others, (std::vector<std::size_t>{12000, 24000}));
    EXPECT_EQ(std::pair(left[12000], left[24000]), std::pair(1.0f, -0.5f));

    // The fake turns controller messages into automation calls.
    auto automation = host->automation();
    ASSERT_EQ(automation.size(), 2u);
    EXPECT_EQ(std::tuple(automation[0].index, automation[0].value, automation[1].index,
                         automation[1].value),
              std::tuple(1, 1.0f, 7, 0.0f));
}

TEST(VstHost, TransportFollowsTheTempoMap) {
    auto host = loadFake("fake");
    ASSERT_TRUE(host);
    TempoMap tempo(120.0);
    tempo.addChange(1.0, 60.0);
    tempo.addChange(1.5, 240.0);
    BlockRenderer renderer(*host, tempo, {});
    // The right output is the fake's output 1: the song position reported for each block,
    // 2 beats per second up to 1 s, 1 up to 1.5 s, then 4 (output 2, the tempo, must not
    // be taken).
    for (int block = 0; block < 200; ++block) {
        renderer.renderBlock(kBlock);
        double t = block * kBlock / kRate;
        double beats = t < 1.0 ? 2.0 * t : t < 1.5 ? 1.0 + t : 2.5 + 4.0 * (t - 1.5);
        ASSERT_NEAR(renderer.right()[kBlock - 1], beats, 1e-4) << "block " << block;
    }
    const VstTimeInfo& info = host->timeInfo();
    EXPECT_DOUBLE_EQ(info.tempo, 240.0);
    EXPECT_DOUBLE_EQ(info.samplePos, 199.0 * kBlock);
    int wanted = kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstBarsValid;
    EXPECT_EQ(info.flags & wanted, wanted);

    // A mono plug-in feeds both sides.
    auto mono = loadFake("mono");
    ASSERT_TRUE(mono);
    const MidiMessage note[] = {{0.0, 0x90, 60, 127}};
    BlockRenderer monoRenderer(*mono, TempoMap(120.0), note);
    monoRenderer.renderBlock(kBlock);
    EXPECT_EQ(std::pair(monoRenderer.left()[0], monoRenderer.right()[0]), std::pair(1.0f, 1.0f));
}

// Option k of an enumerated parameter decoded the way the plug-in reads it back.
int decodeOption(const ParameterDef& def, float value) {
    if (def.encoding == OptionEncoding::Thousandths) return static_cast<int>(999.99f * value);
    return static_cast<int>(std::lround(value * (def.optionCount - 1)));
}

TEST(ParameterResolver, ByIndexNameOrKolvaOptionWord) {
    auto fake = loadFake("fake");      // parameters "alpha" and "level"
    auto kolva = loadFake("as-kolva"); // unique ID Kol2, 725 parameters, empty names
    ASSERT_TRUE(fake && kolva);
    render::ParameterResolver byName(*fake), byTable(*kolva);
    render::ParameterAssignment a;
    std::string error;
    const auto& defs = parameterDefs();
    struct Case {
        render::ParameterResolver& resolver;
        std::string setting;
        int index;
        float value;
    };
    const Case good[] = {{byName, "level=0.25", 1, 0.25f},
                         {byName, " 0 = 1 ", 0, 1.0f},
                         {byName, "ALPHA=0.5", 0, 0.5f},
                         {byTable, defs[param::kVolume].name + "=0.75", param::kVolume, 0.75f}};
    for (const Case& c : good) {
        ASSERT_TRUE(c.resolver.resolve(c.setting, a, error)) << c.setting << ": " << error;
        EXPECT_EQ(std::tuple(a.index, a.value), std::tuple(c.index, c.value)) << c.setting;
    }
    // Option words are Kolva's only; values are normalised.
    for (const char* bad :
         {"gamma=0.1", "2=0.1", "alpha=1.5", "alpha=nan", "alpha=high", "alpha"}) {
        EXPECT_FALSE(byName.resolve(bad, a, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_FALSE(byTable.resolve("no_such_parameter=0", a, error));

    // One parameter of each encoding: its second and its last option word.
    for (OptionEncoding encoding : {OptionEncoding::Thousandths, OptionEncoding::Plain}) {
        int index = -1;
        for (int i = 0; i < kNumParameters && index < 0; ++i)
            if (defs[i].encoding == encoding && defs[i].optionCount > 2) index = i;
        ASSERT_GE(index, 0);
        const ParameterDef& def = defs[index];
        std::vector<std::string> words = optionWords(def.options);
        ASSERT_EQ(static_cast<int>(words.size()), def.optionCount);
        SCOPED_TRACE(def.name);
        ASSERT_TRUE(byTable.resolve(def.name + "=" + words.back(), a, error)) << error;
        EXPECT_EQ(a.index, index);
        EXPECT_EQ(decodeOption(def, a.value), def.optionCount - 1);
        ASSERT_TRUE(byTable.resolve(def.name + "=" + words[1], a, error)) << error;
        EXPECT_EQ(decodeOption(def, a.value), 1);
        EXPECT_FALSE(byTable.resolve(def.name + "=no_such_option", a, error));
        EXPECT_NE(error.find(words[0]), std::string::npos) << error; // lists the options
    }
}

} // namespace
} // namespace kolva::host
