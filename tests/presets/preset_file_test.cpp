#include "presets/preset_file.h"

#include "platform/atomic_file.h"
#include "util/json_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace kolva {
namespace {

namespace fs = std::filesystem;

fs::path freshFolder(const char* name) {
    const fs::path dir = fs::path(std::getenv("HOME")) / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

float defaultOf(const char* name) {
    return parameterDefs()[findParameter(name)].defaultValue;
}

TEST(PresetFile, ReadingIgnoresUnknownMembersAndRepairsBadValues) {
    const fs::path file = freshFolder("read") / "A rather long preset file name.kpf2";
    writeText(file, R"({"author":"Ann","vendor":"V","bank":"B","notes":"N","icon":"star",
        "favorite":"yes","colour":"red","extra":{"deep":[1,2]},
        "tags":["t1",2,"t2","t3",null,"t4","t5","t6","t7"],
        "parameters":{"volume":1.5,"glide":"0.25","x-comp":"loud","velocity":true,
                      "mix_osc2":-0.1,"mix_osc1":0.75,"bend_wheel":0.9,"no_such":0.3}})");
    std::string error;
    const auto preset = readPresetFile(file, error);
    ASSERT_TRUE(preset.has_value()) << error;
    EXPECT_EQ(std::tuple(preset->name(), preset->author(), preset->vendor(), preset->bank(),
                         preset->notes(), preset->icon(), preset->favourite(), preset->path()),
              std::tuple(std::string("A rather long preset fil"), std::string("Ann"),
                         std::string("V"), std::string("B"), std::string("N"),
                         std::string("star"), true, file.string()));
    EXPECT_EQ(preset->tags(), (std::vector<std::string>{"t1", "t2", "t3", "t4", "t5"}));

    struct Expect {
        const char* name;
        float value;
    };
    for (auto [name, value] : {Expect{"volume", defaultOf("volume")}, // outside [0, 1]
                               {"mix_osc2", defaultOf("mix_osc2")},
                               {"glide", 0.25f},      // numeric text
                               {"x-comp", 0.0f},      // text that is no number
                               {"velocity", 0.0f},
                               {"mix_osc1", 0.75f},
                               {"bend_wheel", 0.9f},  // read although never written
                               {"eq_low_frq", defaultOf("eq_low_frq")}, // missing
                               {"anticlick", defaultOf("anticlick")}})
        EXPECT_EQ(preset->parameter(findParameter(name)), value) << name;
    // "favorite" must be exactly "yes".
    EXPECT_FALSE(presetFromText(R"({"favorite":"Yes"})", "p", error).value().favourite());
}

TEST(PresetFile, UnreadableFilesGiveTheErrorAndNoPreset) {
    const fs::path dir = freshFolder("broken");
    const std::string texts[] = {"", "{", "[1,2]", "\"text\"", "null", "{\"a\":1} trailing",
                                 std::string(200, '[')};
    for (const std::string& text : texts) {
        writeText(dir / "bad.kpf2", text);
        std::string error;
        EXPECT_FALSE(readPresetFile(dir / "bad.kpf2", error).has_value()) << text;
        EXPECT_EQ(error, "Error loading preset") << text;
    }
    // Missing, and larger than any real preset.
    writeText(dir / "huge.kpf2", "{\"notes\":\"" + std::string(kMaxPresetFileBytes, 'x') + "\"}");
    for (const char* name : {"missing.kpf2", "huge.kpf2"}) {
        std::string error;
        EXPECT_FALSE(readPresetFile(dir / name, error).has_value()) << name;
        EXPECT_EQ(error, "Error loading preset") << name;
    }
}

TEST(PresetFile, WrittenTextHasTheMemberOrderAnd722ParametersInIndexOrder) {
    Preset preset;
    preset.setAuthor("Ann");
    preset.setTags({"a", "b"});
    preset.setParameter(findParameter("volume"), 0.5f);
    preset.setParameter(findParameter("glide"), 1e-05f);
    preset.setParameter(findParameter("mix_osc1"), 1.0f);
    const std::string text = presetToText(preset, true);
    EXPECT_NE(text.find("\"volume\":0.5,"), std::string::npos);
    EXPECT_NE(text.find("\"glide\":1e-05,"), std::string::npos);
    EXPECT_NE(text.find("\"mix_osc1\":1,"), std::string::npos);

    const auto doc = parseJson(text);
    ASSERT_TRUE(doc && doc->is_object());
    std::vector<std::string> members;
    for (const auto& [key, value] : doc->items()) members.push_back(key);
    EXPECT_EQ(members, (std::vector<std::string>{"author", "vendor", "bank", "notes", "icon",
                                                  "favorite", "tags", "parameters"}));
    EXPECT_EQ((*doc)["favorite"], "no");
    std::vector<std::string> names;
    for (const auto& [key, value] : (*doc)["parameters"].items()) names.push_back(key);
    std::vector<std::string> expected;
    for (int i = 0; i < kNumParameters; ++i)
        if (i != 720 && i != 723 && i != 724) expected.push_back(parameterDefs()[i].name);
    EXPECT_EQ(names.size(), 722u);
    EXPECT_EQ(names, expected);

    const auto withoutFavourite = parseJson(presetToText(preset, false));
    ASSERT_TRUE(withoutFavourite);
    EXPECT_FALSE(withoutFavourite->contains("favorite"));
}

TEST(PresetFile, WriteThenReadKeepsEveryStoredValue) {
    const fs::path dir = freshFolder("roundtrip");
    Preset preset;
    for (int i = 0; i < kNumParameters; ++i)
        preset.setParameter(i, static_cast<float>(i * 37 % 1001) / 1000.0f);
    preset.setNotes("line one\nline \"two\" \xC3\xA9");
    preset.setIcon("bolt");
    preset.setBank("Leads");
    preset.setVendor("V");
    preset.setFavourite(true);
    preset.setTags({"x", "y", "z"});
    std::string error;
    ASSERT_TRUE(writePresetFile(dir / "Bright Lead.kpf2", preset, true, error)) << error;
    const auto back = readPresetFile(dir / "Bright Lead.kpf2", error);
    ASSERT_TRUE(back.has_value()) << error;
    for (int i = 0; i < kNumParameters; ++i) {
        const bool stored = i != 720 && i != 723 && i != 724;
        ASSERT_EQ(back->parameter(i), stored ? preset.parameter(i) : parameterDefs()[i].defaultValue)
            << i;
    }
    EXPECT_EQ(std::tuple(back->name(), back->notes(), back->icon(), back->bank(), back->vendor(),
                         back->favourite(), back->tags()),
              std::tuple(std::string("Bright Lead"), preset.notes(), preset.icon(),
                         preset.bank(), preset.vendor(), true, preset.tags()));
    // Nothing but the file itself is left in the folder.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(PresetFile, FailedWriteLeavesNothingBehind) {
    const fs::path dir = freshFolder("failwrite");
    Preset preset;
    std::string error;
    EXPECT_FALSE(writePresetFile(dir / "no such folder" / "p.kpf2", preset, true, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(dir / "no such folder"));
    // Non-finite values never reach the text (JSON has no NaN).
    preset.setParameter(9, std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE(parseJson(presetToText(preset, true)).has_value());
}

} // namespace
} // namespace kolva
