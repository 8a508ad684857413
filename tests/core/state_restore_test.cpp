// Host state through the plug-in's binary interface: what a DAW saves with a project must
// bring back exactly the same sound in a new instance, and the restore sequence must reach
// the engine, the tuning, the editor queue and the event bus.

#include "plugin_test_util.h"
#include "util/json_text.h"
#include "util/number_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace kolva::test {
namespace {

namespace fs = std::filesystem;

std::string getChunk(HostedPlugin& p) {
    void* data = nullptr;
    const auto size = p.dispatch(effGetChunk, 0, 0, &data);
    if (size <= 0 || data == nullptr) return {};
    return {static_cast<const char*>(data), static_cast<std::size_t>(size)};
}

void setChunk(HostedPlugin& p, std::string chunk) {
    ASSERT_EQ(p.dispatch(effSetChunk, 0, static_cast<VstIntPtr>(chunk.size()), chunk.data()),
              static_cast<VstIntPtr>(chunk.size()));
}

// Values as the state text stores them (6 significant digits), so they survive it exactly.
float storable(float v) { return static_cast<float>(parseDouble(formatGeneral(v)).value_or(0.0)); }

// Every parameter away from its default: continuous ones anywhere in [0, 1], enumerated
// ones on one of their options, as the editor would set them.
void randomSound(HostedPlugin& p, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int i = 0; i < kNumParameters; ++i) {
        if (i == param::kVolume) continue; // keep it audible
        const ParameterDef& def = parameterDefs()[static_cast<std::size_t>(i)];
        float v = u(rng);
        if (def.optionCount > 0) {
            const int k = static_cast<int>(rng() % static_cast<unsigned>(def.optionCount));
            v = def.encoding == OptionEncoding::Thousandths
                    ? static_cast<float>(k) / 999.0f
                    : static_cast<float>(k) / static_cast<float>(std::max(def.optionCount - 1, 1));
        }
        p.setParameter(i, storable(v));
    }
    p.setParameter(param::kMode, storable(4.0f / 999.0f)); // poly
}

std::vector<float> render(HostedPlugin& p) {
    std::vector<float> out;
    p.sendMidi({noteOn(57, 100), noteOn(64, 90, 100), cc(1, 70, 20)});
    for (int block = 0; block < 6; ++block) {
        if (block == 4) p.sendMidi({noteOff(57), noteOff(64, 30)});
        p.process(512);
        out.insert(out.end(), p.left().begin(), p.left().begin() + 512);
        out.insert(out.end(), p.right().begin(), p.right().begin() + 512);
    }
    return out;
}

fs::path writeScale() {
    const fs::path file = fs::path(std::getenv("HOME")) / "state-test.scl";
    std::ofstream(file) << "! state-test.scl\nfive tones\n5\n9/8\n5/4\n3/2\n5/3\n2/1\n";
    return file;
}

TEST(StateRestore, AFreshInstanceGetsEveryValueTheTuningAndTheSameAudio) {
    FakeHost host;
    HostedPlugin original(host);
    original.start(48000.0f, 512);
    randomSound(original, 7);
    original.setParameter(1, 0.9f); // past its options, as a DAW's automation may leave it
    std::string error;
    ASSERT_TRUE(kolvaOf(original).loadScale(writeScale(), error)) << error;
    kolvaOf(original).setTuningSettings(62, 6);

    const std::string chunk = getChunk(original);
    ASSERT_FALSE(chunk.empty());
    EXPECT_EQ(chunk.back(), '\0'); // the terminating zero is part of what the host stores
    EXPECT_EQ(getChunk(original), chunk) << "two saves without a change must be byte-identical";

    HostedPlugin restored(host);
    restored.start(48000.0f, 512);
    setChunk(restored, chunk);
    for (int i = 0; i < kNumParameters; ++i)
        ASSERT_EQ(restored.getParameter(i), original.getParameter(i)) << "parameter " << i;
    EXPECT_EQ(kolvaOf(restored).tuning().toStateText(), kolvaOf(original).tuning().toStateText());
    EXPECT_FALSE(kolvaOf(restored).tuning().isEqualTemperament());

    // The same sound from the same notes, once both engines start from rest (a restore
    // leaves the mod wheel gliding from 0.99 of its value on purpose) and the original has
    // rebuilt its modulation routing (after host automation the engine does that a few
    // blocks later; rendering those blocks would move free-running state on).
    engineOf(original).rebuildRouting();
    kolvaOf(original).suspend();
    kolvaOf(restored).suspend();
    // Both play from the same song position (the step sequencers may follow it).
    const VstTimeInfo start = host.time;
    const std::vector<float> a = render(original);
    host.time = start;
    const std::vector<float> b = render(restored);
    float peak = 0.0f;
    for (float x : a) peak = std::max(peak, std::abs(x));
    EXPECT_GT(peak, 1e-4f) << "the test sound must be audible to prove anything";
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << "sample " << i;
}

TEST(StateRestore, UnreadableChunksKeepTheSoundAndReapplyIt) {
    FakeHost host;
    HostedPlugin p(host);
    p.start(44100.0f, 256);
    randomSound(p, 3);
    p.setParameter(1, 0.9f); // past its options: the engine takes the last one, the host keeps 0.9
    const std::string before = getChunk(p);
    std::vector<float> values, engineValues;
    for (int i = 0; i < kNumParameters; ++i) {
        values.push_back(p.getParameter(i));
        engineValues.push_back(kolvaOf(p).parameterTable().descriptor(i).value.load());
    }

    std::string other(40000, '\x07'); // another plug-in's opaque state
    for (std::size_t i = 0; i < other.size(); ++i) other[i] = static_cast<char>((i * 7919u) >> 3);
    for (std::string junk : {std::string("not base64 at all !!"), std::string("AAAA"), other,
                             before.substr(0, before.size() / 2)}) {
        setChunk(p, junk);
        // The sound the engine plays is unchanged, and the host reads back what it wrote.
        for (int i = 0; i < kNumParameters; ++i) {
            ASSERT_EQ(kolvaOf(p).parameterTable().descriptor(i).value.load(), engineValues[i]) << i;
            ASSERT_EQ(p.getParameter(i), values[i]) << i;
        }
    }
    EXPECT_EQ(getChunk(p), before);
}

TEST(StateRestore, EditorRefreshProgramNameAndPresetLoads) {
    FakeHost host;
    HostedPlugin p(host);
    p.start(44100.0f, 256);
    Kolva& k = kolvaOf(p);

    // The program name is the current preset's, cut to 24 characters.
    k.bank().workingProgram().setName("A very long preset name of thirty");
    char name[64] = {};
    p.dispatch(effGetProgramName, 0, 0, name);
    EXPECT_EQ(std::string(name), std::string("A very long preset name of thirty").substr(0, 24));

    // With the editor open, a restore asks for a full refresh; the state's name comes back.
    const std::string chunk = getChunk(p);
    k.bank().workingProgram().setName("other");
    k.postToEngine(toengine::kEditorOpen, 0, 1.0);
    p.process(256);
    drainEditor(k);
    setChunk(p, chunk);
    const auto recs = drainEditor(k);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.back().type, toeditor::kRefreshAll);
    EXPECT_EQ(k.currentProgramName(), std::string("A very long preset name of thirty").substr(0, 24));
    EXPECT_GT(host.updateDisplayCalls, 0);

    // ReloadChunkEvent only reaches the bus while an editor object exists.
    struct Reloads : IEventProcessor {
        int count = 0;
        void process(const IEvent&) override { ++count; }
    } reloads;
    k.eventBus().subscribe(eventkind::kReloadChunk, &reloads);
    setChunk(p, chunk);
    EXPECT_EQ(reloads.count, 0);
    k.setEditorObjectExists(true);
    setChunk(p, chunk);
    EXPECT_EQ(reloads.count, 1);
    k.setEditorObjectExists(false);
    k.eventBus().unsubscribeAll(&reloads);

    // A preset loaded while the editor is closed becomes the sound, engine included.
    k.postToEngine(toengine::kEditorOpen, 0, 0.0);
    p.process(256);
    Preset loaded;
    loaded.setName("loaded");
    for (int i = 0; i < kNumParameters; ++i) loaded.setParameter(i, p.getParameter(i));
    loaded.setParameter(param::kRevMode, 3.0f / 999.0f);
    loaded.setParameter(param::kModWheel, 0.25f);
    k.bank().setCurrentProgram(5);
    k.eventBus().publish(OnPresetLoadedEvent(loaded, 0, 1, 0));
    EXPECT_EQ(k.bank().currentProgram(), 0);
    EXPECT_EQ(k.currentProgramName(), "loaded");
    EXPECT_FLOAT_EQ(p.getParameter(param::kRevMode), 3.0f / 999.0f);
    EXPECT_FLOAT_EQ(p.getParameter(param::kModWheel), 0.25f);
}

TEST(StateRestore, ProgramSelectionFromTheHostIsPublished) {
    FakeHost host;
    HostedPlugin p(host);
    p.start(44100.0f, 256);
    Kolva& k = kolvaOf(p);
    SwitchRecorder bus(k.eventBus());
    k.setProgram(9); // what the dispatcher would call if the host could select programs
    ASSERT_EQ(bus.seen.size(), 1u);
    EXPECT_EQ(bus.seen[0].mode, SwitchPresetEvent::kByNumber);
    EXPECT_EQ(bus.seen[0].program, 9);
    EXPECT_EQ(bus.seen[0].noHistory, 1);
    EXPECT_EQ(p.dispatch(effGetProgram), 9);
}

} // namespace
} // namespace kolva::test
