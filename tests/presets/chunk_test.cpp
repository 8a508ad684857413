#include "presets/chunk.h"

#include "core/config.h"
#include "core/parameter_table.h"
#include "core/tuning_holder.h"
#include "presets/bank.h"
#include "presets/preset_file.h"
#include "util/base64.h"
#include "util/compression.h"
#include "util/digest.h"
#include "util/json_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace kolva {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// One instance's worth of state around a chunk.
template <typename ChunkType = Chunk> struct Instance {
    ParameterTable table;
    Bank bank{table};
    TuningHolder tuning;
    ChunkType chunk;
    Instance() {
        chunk.setBank(&bank);
        chunk.setTuningHolder(&tuning);
    }
    Bytes save() {
        void* out = nullptr;
        const std::int32_t n = chunk.saveState(&out);
        const auto* p = static_cast<const std::uint8_t*>(out);
        return n > 0 && p != nullptr ? Bytes(p, p + n) : Bytes{};
    }
    bool restore(const Bytes& data) {
        return chunk.restoreState(data.data(), static_cast<std::int32_t>(data.size()));
    }
};

Bytes textBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// The current layout around any JSON text: deflate, base64, terminating zero.
Bytes encodeState(const std::string& json) {
    const std::string b64 = base64Encode(*rawDeflate(textBytes(json)));
    Bytes out(b64.begin(), b64.end());
    out.push_back(0);
    return out;
}

OrderedJson decodeState(const Bytes& data) {
    EXPECT_FALSE(data.empty());
    if (data.empty()) return {};
    EXPECT_EQ(data.back(), 0);
    auto packed = base64Decode(std::string(data.begin(), data.end() - 1));
    EXPECT_TRUE(packed);
    auto text = rawInflate(*packed, 1 << 24);
    EXPECT_TRUE(text);
    return *parseJson(std::string(text->begin(), text->end()));
}

// Everything a refused restore must leave alone.
struct Snapshot {
    std::vector<float> values, live;
    std::vector<std::string> names;
    int current, gui, theme, perf, factory;
    std::string bank, tuning, uuid;
    bool operator==(const Snapshot&) const = default;
};

template <typename I> Snapshot snapshot(I& in) {
    Snapshot s;
    for (int i = 0; i < kNumParameters; ++i) {
        s.values.push_back(in.bank.workingProgram().parameter(i));
        s.live.push_back(in.table.descriptor(i).value.load());
    }
    for (int p = 0; p < Bank::kPrograms; ++p) {
        s.names.push_back(in.bank.storedProgram(p).name());
        s.names.push_back(in.bank.workingProgram(p).name());
    }
    s.current = in.bank.currentProgram();
    s.gui = in.chunk.guiScale();
    s.theme = in.chunk.theme();
    s.perf = in.chunk.perfPanelShown();
    s.factory = in.chunk.factoryExpanded();
    s.bank = in.chunk.selectedBank();
    s.tuning = in.tuning.toStateText();
    s.uuid = in.chunk.plugUuid();
    return s;
}

// Random values that survive sanitising, for programs that are compared bit for bit.
void fillProgram(Preset& p, ParameterTable& table, std::mt19937& rng, const std::string& name) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < kNumParameters; ++i)
        p.setParameter(i, unit(rng));
    p.sanitize(table);
    p.setName(name);
}

TEST(Chunk, CurrentLayoutRoundTripsSoundMetadataSettingsAndTuning) {
    Instance<> a;
    std::mt19937 rng(7);
    a.bank.setCurrentProgram(9);
    Preset& p = a.bank.workingProgram();
    fillProgram(p, a.table, rng, "Glass Pad");
    p.setAuthor("ana");
    p.setVendor("mornside");
    p.setBank("Pads");
    p.setNotes("slow attack");
    p.setIcon("star");
    p.setTags({"pad", "warm", "wide", "slow", "soft"});
    float ctrl[3] = {0.1f, 0.5f, 0.75f};
    a.chunk.registerControllerValues(ctrl, 3);
    a.chunk.setSelectedBank("My Bank");
    a.chunk.setGuiScale(3);
    a.chunk.setTheme(4);
    a.chunk.setPerfPanelShown(0);
    a.chunk.setFactoryExpanded(1);
    a.tuning.setReferenceNote(60);
    a.tuning.setA4Index(2);

    Instance<> b;
    float ctrlB[3] = {};
    b.chunk.registerControllerValues(ctrlB, 3);
    ASSERT_TRUE(b.restore(a.save()));

    EXPECT_EQ(b.bank.currentProgram(), 9);
    const Preset& q = b.bank.workingProgram();
    for (int i = 0; i < kNumParameters; ++i)
        EXPECT_NEAR(q.parameter(i), p.parameter(i), 6e-6f * std::max(1e-3f, p.parameter(i))) << i;
    auto meta = [](const Preset& x) {
        return std::tuple(x.name(), x.author(), x.vendor(), x.bank(), x.notes(), x.icon(),
                          x.tags());
    };
    EXPECT_EQ(meta(q), meta(p));
    for (int i = 0; i < 3; ++i)
        EXPECT_FLOAT_EQ(ctrlB[i], ctrl[i]);
    auto settings = [](const Chunk& c) {
        return std::tuple(c.selectedBank(), c.guiScale(), c.theme(), c.perfPanelShown(),
                          c.factoryExpanded(), c.plugUuid());
    };
    EXPECT_EQ(settings(b.chunk), settings(a.chunk));
    EXPECT_EQ(b.tuning.toStateText(), a.tuning.toStateText());
}

TEST(Chunk, SaveIsRepeatableTerminatedAndKeepsTheMemberOrder) {
    Instance<> a;
    a.bank.workingProgram().setTags({"x"});
    const Bytes first = a.save();
    const Bytes second = a.save();
    EXPECT_EQ(first, second);
    ASSERT_GT(first.size(), 1u);
    EXPECT_EQ(std::memchr(first.data(), 0, first.size() - 1), nullptr); // one zero, at the end

    const OrderedJson doc = decodeState(first);
    std::vector<std::string> keys;
    for (auto it = doc.begin(); it != doc.end(); ++it)
        keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"preset", "plug_uuid", "selected_bank", "gui_scale",
                                              "perf_panel_show", "theme_id", "version", "scala",
                                              "uuid", "preset_path_obj", "factory_expanded",
                                              "preset_meta", "preset_manager"}));
    EXPECT_EQ(doc["preset"]["params"].size(), 725u);
    EXPECT_EQ(doc["version"], "1.5.21-5399");
    EXPECT_EQ(doc["preset_manager"], OrderedJson::object()); // no model linked
    std::vector<std::string> meta;
    for (auto it = doc["preset_meta"].begin(); it != doc["preset_meta"].end(); ++it)
        meta.push_back(it.key());
    EXPECT_EQ(meta, (std::vector<std::string>{"name", "author", "vendor", "bank", "notes", "icon",
                                              "tags"}));
}

TEST(Chunk, RestoreAppliesRangeRulesMemberByMember) {
    struct Case {
        const char* json;
        std::function<void(Instance<>&)> check;
    };
    const std::vector<Case> cases = {
        {R"({"preset":{"current":200}})", [](auto& i) { EXPECT_EQ(i.bank.currentProgram(), 0); }},
        {R"({"preset":{"current":-3}})", [](auto& i) { EXPECT_EQ(i.bank.currentProgram(), 0); }},
        {R"({"gui_scale":7})", [](auto& i) { EXPECT_EQ(i.chunk.guiScale(), 1); }},
        {R"({"gui_scale":"3"})", [](auto& i) { EXPECT_EQ(i.chunk.guiScale(), 2); }},
        {R"({"theme_id":9})", [](auto& i) { EXPECT_EQ(i.chunk.theme(), 0); }},
        {R"({"theme_id":-1})", [](auto& i) { EXPECT_EQ(i.chunk.theme(), 0); }},
        {R"({"factory_expanded":3})", [](auto& i) { EXPECT_EQ(i.chunk.factoryExpanded(), -1); }},
        {R"({})", [](auto& i) { EXPECT_EQ(i.chunk.perfPanelShown(), 1); }},
        {R"({"perf_panel_show":[1]})", [](auto& i) { EXPECT_EQ(i.chunk.perfPanelShown(), 0); }},
        {R"({"selected_bank":5,"plug_uuid":null})",
         [](auto& i) {
             EXPECT_EQ(i.chunk.selectedBank(), "kept");
             EXPECT_FALSE(i.chunk.plugUuid().empty());
         }},
        {R"({"preset":{"params":[2.5,-1,"x",null,0.25,"0.75",1e300]}})",
         [](auto& i) {
             const Preset& p = i.bank.workingProgram();
             EXPECT_EQ(p.parameter(0), 1.0f);
             EXPECT_EQ(p.parameter(1), 0.0f);
             EXPECT_EQ(p.parameter(2), 0.5f); // not a number: left alone
             EXPECT_EQ(p.parameter(3), 0.5f);
             EXPECT_EQ(p.parameter(4), 0.25f);
             EXPECT_EQ(p.parameter(5), 0.75f);
             EXPECT_EQ(p.parameter(6), 1.0f);
             EXPECT_EQ(p.parameter(7), 0.5f); // beyond the array
         }},
        {R"({"preset_meta":{"name":7,"tags":["a",1,"b","c","d","e","f"]},"preset":"x"})",
         [](auto& i) {
             EXPECT_EQ(i.bank.workingProgram().name(), "init6");
             EXPECT_EQ(i.bank.workingProgram().tags(),
                       (std::vector<std::string>{"a", "b", "c", "d", "e"}));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        Instance<> in;
        in.bank.setCurrentProgram(5);
        for (int k = 0; k < 8; ++k)
            in.bank.workingProgram().setParameter(k, 0.5f);
        in.chunk.setGuiScale(2);
        in.chunk.setTheme(3);
        in.chunk.setPerfPanelShown(0);
        in.chunk.setFactoryExpanded(1);
        in.chunk.setSelectedBank("kept");
        ASSERT_TRUE(in.restore(encodeState(c.json)));
        c.check(in);
    }
}

// A workspace whose database answers for uuid "ws-1" and knows row 42.
class WorkspaceChunk : public Chunk {
public:
    std::string uuid = "ws-1";
    std::vector<OrderedJson> restoredBrowser;

protected:
    std::string workspaceUuid() override { return uuid; }
    std::optional<std::string> presetPathFromRow(std::int32_t id) override {
        return id == 42 ? std::optional<std::string>("/ws/Leads/Saw.kpf2") : std::nullopt;
    }
    OrderedJson presetManagerState() override { return {{"filter", "bass"}}; }
    void restorePresetManagerState(const OrderedJson& s) override { restoredBrowser.push_back(s); }
};

TEST(Chunk, PathObjectAndBrowserStateOnlyComeBackIntoTheSameWorkspace) {
    // The model is only ever compared with null by the chunk.
    static char modelStandIn;
    auto* model = reinterpret_cast<PresetManagerModel*>(&modelStandIn);

    Instance<WorkspaceChunk> a;
    a.chunk.setPresetManagerModel(model);
    a.bank.workingProgram().setPathObject(
        R"({"name":"Saw","type":0,"index":-1,"rel_path":"/Leads","filename":"Saw.kpf2","factory":0,"id":42})");
    a.bank.workingProgram().setParameter(3, 0.125f);
    const Bytes saved = a.save();
    EXPECT_EQ(decodeState(saved)["preset_manager"], (OrderedJson{{"filter", "bass"}}));

    struct Case {
        const char* name;
        std::string uuid;
        bool applied;
    };
    for (const Case& c : {Case{"same workspace", "ws-1", true},
                          Case{"other workspace", "ws-2", false}, Case{"no database", "", false}}) {
        SCOPED_TRACE(c.name);
        Instance<WorkspaceChunk> b;
        b.chunk.uuid = c.uuid;
        b.chunk.setPresetManagerModel(model);
        ASSERT_TRUE(b.restore(saved));
        const Preset& p = b.bank.workingProgram();
        EXPECT_EQ(p.parameter(3), 0.125f);
        EXPECT_EQ(p.id(), c.applied ? 42 : -2);
        EXPECT_EQ(p.path(), c.applied ? "/ws/Leads/Saw.kpf2" : "");
        EXPECT_EQ(p.pathObject().empty(), !c.applied);
        EXPECT_EQ(b.chunk.restoredBrowser.size(), c.applied ? 1u : 0u);
    }
}

// An image built by hand: header ("" for none), count field, c values per record, `records`
// records named "old<k>" whose values are all `value`.
Bytes legacyImage(const std::string& header, std::uint32_t countField, int c, int records,
                  float value, std::uint32_t current) {
    Bytes out(header.begin(), header.end());
    auto u32 = [&](std::uint32_t v) {
        for (int k = 0; k < 4; ++k)
            out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    };
    auto f32 = [&](float v) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        u32(bits);
    };
    if (!header.empty()) u32(countField);
    for (int i = 0; i < c; ++i)
        f32(value);
    u32(current);
    for (int r = 0; r < records; ++r) {
        std::string name = "old" + std::to_string(r);
        name.resize(25 + 248, '\0');
        out.insert(out.end(), name.begin(), name.end());
        u32(static_cast<std::uint32_t>(-7));
        for (int i = 0; i < c; ++i)
            f32(value);
    }
    return out;
}

TEST(Chunk, UnreadableDataIsRefusedAndChangesNothing) {
    std::string deep = R"({"selected_bank":"deep","x":)";
    for (int i = 0; i < 200; ++i)
        deep += "[";
    for (int i = 0; i < 200; ++i)
        deep += "]";
    deep += "}";
    // Each would change the selected bank if it got through.
    const std::string bomb =
        R"({"selected_bank":")" + std::string(9u << 20, 'z') + R"("})"; // inflates past the cap
    Bytes truncated = encodeState(R"({"selected_bank":"cut","gui_scale":3})");
    truncated.resize(truncated.size() / 2);
    Bytes kbfShort(30000, 0);
    std::memcpy(kbfShort.data(), "kbf\xd5\x02\x00\x00", 7);
    std::mt19937 rng(3);
    Bytes noise(40000);
    for (auto& b : noise)
        b = static_cast<std::uint8_t>(rng());
    // Headerless images whose last checked value is no normalised value.
    auto headerless = [](float bad) {
        Bytes b = legacyImage("", 0, 438, 20, 0.5f, 7);
        std::memcpy(b.data() + 4 * 437, &bad, 4);
        return b;
    };

    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"garbage base64", textBytes(std::string("@@ not base64 @@") + '\0')},
        {"deflate bomb", encodeState(bomb)},
        {"truncated", truncated},
        {"non-UTF-8", encodeState("{\"selected_bank\":\"\xff\xfe\"}")},
        {"deeply nested", encodeState(deep)},
        {"array", encodeState(R"([{"selected_bank":"arr"}])")},
        {"empty text", Bytes{0}},
        {"legacy image of 30000 bytes", kbfShort},
        {"random bytes", noise},
        {"headerless value 1.5", headerless(1.5f)},
        {"headerless value -0.25", headerless(-0.25f)},
        {"headerless NaN", headerless(std::numeric_limits<float>::quiet_NaN())},
    };
    for (const auto& [name, data] : cases) {
        SCOPED_TRACE(name);
        Instance<> in;
        in.bank.setCurrentProgram(4);
        in.bank.workingProgram().setParameter(10, 0.3f);
        in.chunk.setSelectedBank("before");
        in.tuning.setReferenceNote(50);
        const Snapshot before = snapshot(in);
        EXPECT_FALSE(in.restore(data));
        EXPECT_TRUE(snapshot(in) == before);
        EXPECT_FALSE(in.chunk.legacyMode());
    }
    Instance<> in;
    EXPECT_FALSE(in.chunk.restoreState(nullptr, 100));
    EXPECT_FALSE(in.chunk.restoreState("x", 0));
}

TEST(ChunkLegacy, WrittenImageHasTheFixedLayoutAndReadsBackIntoAFreshBank) {
    Instance<> a;
    std::mt19937 rng(11);
    for (int p = 0; p < Bank::kPrograms; ++p) {
        fillProgram(a.bank.storedProgram(p), a.table, rng, "S" + std::to_string(p));
        fillProgram(a.bank.workingProgram(p), a.table, rng, "W" + std::to_string(p));
    }
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < kNumParameters; ++i)
        a.table.convertValue(i, unit(rng));
    a.bank.setCurrentProgram(77);
    a.chunk.setSelectedBank("Old Bank");
    a.chunk.setGuiScale(2);
    a.chunk.setTheme(3);
    a.chunk.setPerfPanelShown(0);
    a.tuning.setA4Index(6);
    a.chunk.setLegacyMode(true);

    const Bytes image = a.save();
    EXPECT_EQ(image, a.save());
    ASSERT_GT(image.size(), 816226u);
    EXPECT_EQ(std::string(image.begin(), image.begin() + 3), "kbf");
    EXPECT_EQ(image[3] | image[4] << 8 | image[5] << 16 | image[6] << 24, 725);
    EXPECT_EQ(image[2907], 77);
    EXPECT_EQ(image[816223], 0);
    EXPECT_EQ(image[816224], '|');
    EXPECT_EQ(image.back(), 0);
    const auto tail = parseJson(std::string(image.begin() + 816225, image.end() - 1));
    ASSERT_TRUE(tail);
    EXPECT_EQ((*tail)["version"], "1.5.21-5399");

    Instance<> b;
    b.table.convertValue(720, 0.3f);
    ASSERT_TRUE(b.restore(image)); // no configuration: read, but not converted
    EXPECT_TRUE(b.chunk.legacyMode());
    EXPECT_EQ(b.bank.currentProgram(), 77);
    for (int p = 0; p < Bank::kPrograms; ++p) {
        EXPECT_EQ(b.bank.storedProgram(p).name(), "S" + std::to_string(p));
        EXPECT_EQ(b.bank.workingProgram(p).name(), "W" + std::to_string(p));
    }
    for (int i = 0; i < kNumParameters; ++i) {
        EXPECT_EQ(b.bank.workingProgram(5).parameter(i), a.bank.workingProgram(5).parameter(i));
        EXPECT_EQ(b.bank.storedProgram(127).parameter(i), a.bank.storedProgram(127).parameter(i));
        const float live = a.table.descriptor(i).value.load();
        EXPECT_EQ(b.table.descriptor(i).value.load(),
                  i == 720 ? ParameterTable::decode(*b.table.descriptor(i).def, 0.3f)
                           : ParameterTable::decode(*b.table.descriptor(i).def, live))
            << i;
    }
    EXPECT_EQ(b.chunk.selectedBank(), "Old Bank");
    EXPECT_EQ(b.chunk.guiScale(), 2);
    EXPECT_EQ(b.chunk.theme(), 3);
    EXPECT_EQ(b.chunk.perfPanelShown(), 0);
    EXPECT_EQ(b.tuning.a4Index(), 6);
    const Bytes again = b.save();
    ASSERT_GT(again.size(), 3u);
    EXPECT_EQ(std::string(again.begin(), again.begin() + 3), "kbf"); // still legacy

    Instance<> only;
    only.chunk.setLegacyOnly(true);
    EXPECT_FALSE(only.restore(image));
    EXPECT_EQ(only.bank.currentProgram(), 77);       // read all the same
    EXPECT_FALSE(only.restore(Instance<>().save())); // even current-layout data is read as an image
}

TEST(ChunkLegacy, ReadsHeaderlessAndOversizedCountImagesUntilTheDataEnds) {
    struct Case {
        const char* name;
        Bytes image;
        int c, records;
    };
    const std::vector<Case> cases = {
        {"headerless 438 values", legacyImage("", 0, 438, 20, 0.5f, 7), 438, 20},
        {"kbx with count 9999", legacyImage("kbx", 9999, 725, 10, 0.5f, 7), 725, 10},
        {"kbf, a record cut short",
         [] {
             Bytes b = legacyImage("kbf", 725, 725, 12, 0.5f, 7);
             b.resize(b.size() - 1);
             return b;
         }(),
         725, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GE(c.image.size(), 32768u);
        Instance<> in;
        for (int p = 0; p < Bank::kPrograms; ++p)
            in.bank.storedProgram(p).setParameter(600, 0.9f);
        in.table.convertValue(600, 0.9f);
        ASSERT_TRUE(in.restore(c.image));
        EXPECT_EQ(in.bank.currentProgram(), 7);
        const auto& def = *in.table.descriptor(5).def;
        const auto& def600 = *in.table.descriptor(600).def;
        EXPECT_EQ(in.table.descriptor(5).value.load(), ParameterTable::decode(def, 0.5f));
        EXPECT_EQ(in.table.descriptor(600).value.load(),
                  ParameterTable::decode(def600, c.c > 600 ? 0.5f : 0.9f));
        const Preset& last = in.bank.storedProgram(c.records - 1);
        EXPECT_EQ(last.name(), "old" + std::to_string(c.records - 1));
        EXPECT_EQ(last.legacyCategory(), -7);
        EXPECT_EQ(last.parameter(5), sanitizeParameterValue(def, 0.5f));
        EXPECT_EQ(last.parameter(600),
                  c.c > 600 ? sanitizeParameterValue(def600, 0.5f) : 0.0f); // zeroed past c
        EXPECT_EQ(in.bank.storedProgram(c.records).name(), "init" + std::to_string(c.records + 1));
        EXPECT_EQ(in.bank.storedProgram(c.records).parameter(600), 0.9f);
    }
}

std::string expectedFolderHash(Bank& bank, int c) {
    Bytes hashed;
    for (int p = 0; p < Bank::kPrograms; ++p) {
        const auto& field = bank.workingProgram(p).nameField();
        hashed.insert(hashed.end(), field.begin(), field.end());
        for (int i = 0; i < c; ++i) {
            const float v = bank.workingProgram(p).parameter(i);
            const auto* b = reinterpret_cast<const std::uint8_t*>(&v);
            hashed.insert(hashed.end(), b, b + 4);
        }
    }
    return sha512Hex(hashed).substr(0, 12);
}

TEST(ChunkLegacy, ConversionWritesEveryProgramOnceAndKeepsExistingFiles) {
    const fs::path root = fs::path(std::getenv("HOME")) / "chunk-conversion";
    Config config(root / "cfg", root / "cache");
    config.setWorkspaceDir(root / "ws");

    Instance<> a;
    for (int p = 0; p < Bank::kPrograms; ++p)
        a.bank.workingProgram(p).setParameter(9, p / 200.0f);
    a.bank.workingProgram(2).setName("a/b");
    a.bank.setCurrentProgram(2);
    a.chunk.setLegacyMode(true);
    const Bytes image = a.save();

    Instance<> b;
    b.chunk.setConfig(&config);
    b.chunk.setSourceName("Test HOST");
    ASSERT_TRUE(b.restore(image));
    EXPECT_FALSE(b.chunk.legacyMode());

    const std::string sub = "test host_" + expectedFolderHash(b.bank, 725);
    const fs::path folder = root / "ws" / "Old Projects Presets" / sub;
    ASSERT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 128);
    EXPECT_TRUE(fs::exists(folder / "128. init128.kpf2"));
    std::string error;
    const auto third = readPresetFile(folder / "3. a_b.kpf2", error);
    ASSERT_TRUE(third) << error;
    EXPECT_NEAR(third->parameter(9), 2 / 200.0f, 1e-6f);

    const auto pathObject = parseJson(b.bank.workingProgram().pathObject());
    ASSERT_TRUE(pathObject);
    EXPECT_EQ(*pathObject, (OrderedJson{{"name", "3. a_b"},
                                        {"type", 0},
                                        {"index", -1},
                                        {"rel_path", "/Old Projects Presets/" + sub},
                                        {"filename", "3. a_b.kpf2"},
                                        {"factory", 0},
                                        {"id", -1}}));

    // The same project again: same folder, the user's edit of a converted file survives.
    std::ofstream(folder / "1. init.kpf2", std::ios::trunc) << "edited";
    Instance<> c;
    c.chunk.setConfig(&config);
    c.chunk.setSourceName("test host");
    ASSERT_TRUE(c.restore(image));
    EXPECT_FALSE(c.chunk.legacyMode());
    std::ifstream kept(folder / "1. init.kpf2");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "edited");

    // A workspace that cannot hold the folder: read, but the state stays legacy.
    std::ofstream(root / "blocker") << "file";
    config.setWorkspaceDir(root / "blocker");
    Instance<> d;
    d.chunk.setConfig(&config);
    ASSERT_TRUE(d.restore(image));
    EXPECT_TRUE(d.chunk.legacyMode());
    EXPECT_EQ(d.bank.currentProgram(), 2);
}

TEST(Chunk, ConfigurationLinkSetsEditorValuesWithinTheirRanges) {
    struct Case {
        int scale, perf, theme;
        int wantScale, wantPerf, wantTheme;
    };
    const fs::path root = fs::path(std::getenv("HOME")) / "chunk-config";
    for (const Case& c : {Case{0, 0, 4, 1, 0, 4}, Case{2, 1, 3, 2, 1, 3}, Case{5, 1, 0, 1, 1, 0}}) {
        Config config(root / "cfg", root / "cache");
        config.setGuiScaleIndex(c.scale);
        config.setShowPerfPanel(c.perf);
        config.setThemeId(c.theme);
        Chunk chunk;
        chunk.setGuiScale(3);
        chunk.setConfig(&config);
        EXPECT_EQ(chunk.guiScale(), c.wantScale) << c.scale;
        EXPECT_EQ(chunk.perfPanelShown(), c.wantPerf);
        EXPECT_EQ(chunk.theme(), c.wantTheme);
    }
}

} // namespace
} // namespace kolva
