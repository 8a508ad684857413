#include "presets/bank.h"
#include "presets/preset.h"

#include "core/parameter_table.h"
#include "util/digest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace kolva {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

int indexOf(const char* name) {
    const int index = findParameter(name);
    EXPECT_GE(index, 0) << name;
    return index;
}

TEST(PresetSanitize, RepairsOptionIndicesAndClampsContinuousValues) {
    // mode: 6 options in thousandths; glide_log: 2 plain options; volume: continuous.
    struct Case {
        const char* name;
        float value;
        float expected;
    };
    const float modeTop = 5 * 0.001001001f, switchTop = 1 * 0.001001001f;
    const Case cases[] = {
        {"mode", 5.0f / 999.0f, 5.0f / 999.0f}, // last option stays
        {"mode", 0.0059f, 0.0059f},             // trunc(5.9) is still option 5
        {"mode", 6.0f / 999.0f, modeTop},       // one past the list
        {"mode", 1.0f, modeTop},
        {"mode", -0.5f, 0.0f},
        {"mode", kNaN, 0.0f},
        {"mode", kInf, modeTop},
        {"mode", -kInf, 0.0f},
        {"glide_log", 1.0f, 1.0f}, // plain lists use the whole range
        {"glide_log", 0.5f, 0.5f},
        {"glide_log", 1.5f, switchTop},
        {"glide_log", -0.2f, 0.0f},
        {"volume", 0.3f, 0.3f},
        {"volume", 1.5f, 1.0f},
        {"volume", -0.1f, 0.0f},
        {"volume", kNaN, 0.0f},
        {"volume", kInf, 1.0f},
    };
    ParameterTable table;
    for (const Case& c : cases) {
        const int index = indexOf(c.name);
        Preset preset;
        preset.setParameter(index, c.value);
        preset.sanitize(table);
        EXPECT_FLOAT_EQ(preset.parameter(index), c.expected) << c.name << " " << c.value;
        EXPECT_FLOAT_EQ(sanitizeParameterValue(parameterDefs()[index], c.value), c.expected)
            << c.name << " " << c.value;
    }
}

TEST(PresetFingerprint, HashesTheFirst720ValuesInThousandths) {
    Preset preset;
    std::string text = "{\"preset\":{\"params\":[";
    for (int i = 0; i < 720; ++i) {
        preset.setParameter(i, static_cast<float>(i % 10) / 10.0f + 0.0004f);
        text += std::to_string(i % 10 * 100) + (i < 719 ? "," : "");
    }
    text += "]}}";
    const std::string fingerprint = preset.fingerprint();
    EXPECT_EQ(fingerprint, sha256Hex(text));

    // Values past 720 and changes below a thousandth leave it; a thousandth changes it.
    for (int i : {720, 721, 722, 724}) preset.setParameter(i, 0.77f);
    preset.setParameter(3, 0.3006f);
    EXPECT_EQ(preset.fingerprint(), fingerprint);
    preset.setParameter(3, 0.3015f);
    EXPECT_NE(preset.fingerprint(), fingerprint);
}

TEST(PresetFields, NamesNotesAndTagsAreCutToTheirFields) {
    Preset preset;
    preset.setName("abcdefghijklmnopqrstuvwxyz0123");
    EXPECT_EQ(preset.name(), "abcdefghijklmnopqrstuvwx");
    EXPECT_EQ(preset.nameField()[24], '\0');
    // 23 ASCII bytes and a two-byte character: the character does not fit and is not split.
    preset.setName(std::string(23, 'a') + "\xC3\xA9" + "b");
    EXPECT_EQ(preset.name(), std::string(23, 'a'));
    preset.setName("short");
    EXPECT_EQ(preset.name(), "short"); // no remains of the longer name
    preset.setLegacyNotes(std::string(300, 'n'));
    EXPECT_EQ(preset.legacyNotes().size(), 250u);
    preset.setTags({"a", "b", "c", "d", "e", "f", "g"});
    EXPECT_EQ(preset.tags(), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

TEST(PresetValues, CopyFromTakesTextsAlwaysAndTheGivenNumberOfValues) {
    Preset source;
    for (int i = 0; i < kNumParameters; ++i) source.setParameter(i, 0.5f);
    source.setName("Bass");
    source.setLegacyNotes("old");
    source.setLegacyCategory(9);
    source.setAuthor("someone");

    for (auto [count, copied] : {std::tuple{0, 725}, {10, 10}, {725, 725}, {2000, 725}}) {
        Preset target;
        target.copyFrom(source, count);
        EXPECT_EQ(std::tuple(target.name(), target.legacyNotes(), target.legacyCategory(),
                             target.author()),
                  std::tuple(std::string("Bass"), std::string("old"), 9, std::string()));
        int n = 0;
        while (n < kNumParameters && target.parameter(n) == 0.5f) ++n;
        EXPECT_EQ(n, copied) << count;
    }
}

TEST(BankPrograms, SetupResetsEveryProgramToTheDefaults) {
    ParameterTable table;
    Bank bank(table);
    for (int p : {0, 1, 9, 127}) {
        const std::string name = p == 0 ? "init" : "init" + std::to_string(p + 1);
        EXPECT_EQ(bank.workingProgram(p).name(), name);
        EXPECT_EQ(bank.storedProgram(p).name(), name);
    }
    for (int i = 0; i < kNumParameters; ++i)
        ASSERT_EQ(bank.workingProgram(5).parameter(i), parameterDefs()[i].defaultValue) << i;
    EXPECT_STREQ(bank.header().name, "Kolva Factory Bank");
    EXPECT_STREQ(bank.header().title, "Kolva Factory Bank");
    EXPECT_STREQ(bank.header().author, "Mornside");

    // New reset values reach every program on the next reset.
    std::vector<float> values(kNumParameters, 0.25f);
    bank.setResetValues(values.data());
    bank.workingProgram(3).setName("edited");
    bank.resetAllPrograms();
    EXPECT_EQ(std::tuple(bank.workingProgram(3).name(), bank.storedProgram(127).parameter(700)),
              std::tuple(std::string("init4"), 0.25f));
}

} // namespace
} // namespace kolva
