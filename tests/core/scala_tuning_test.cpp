// Microtuning from the file side: reading ".scl" files, the semitone table, the tuning's
// state text, what reaches the engine, and the scale folder.

#include "core/scala_file.h"
#include "core/tuning_holder.h"
#include "engine/tuning_map.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kolva {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTwelveEqual = "Twelve equal\n12\n100.0\n200.0\n300.0\n400.0\n500.0\n600.0\n"
                                     "700.0\n800.0\n900.0\n1000.0\n1100.0\n2/1\n";
constexpr const char* kPentatonic = "Pentatonic\n5\n9/8\n5/4\n3/2\n5/3\n1200.0\n";

fs::path inputFolder() {
    fs::path folder = fs::path(std::getenv("HOME")) / "scala-inputs";
    fs::create_directories(folder);
    return folder;
}

fs::path writeInput(const std::string& name, const std::string& text) {
    const fs::path path = inputFolder() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

ScaleFile parsed(const std::string& text) {
    ScaleFile scale;
    std::string error;
    EXPECT_TRUE(parseScalaText(text, scale, error)) << error;
    return scale;
}

std::vector<double> semitonesOf(const ScaleFile& scale) {
    std::vector<double> out;
    for (const ScaleDegree& d : scale.degrees)
        out.push_back(degreeSemitones(d));
    return out;
}

// 'count' cents degrees of 100 cents each.
std::string centsScale(int count) {
    std::string text = "many\n" + std::to_string(count) + "\n";
    for (int i = 1; i <= count; ++i)
        text += std::to_string(i * 100) + ".0\n";
    return text;
}

TEST(ScalaFile, CommentsBlankLinesAndCrLfDoNotChangeTheScale) {
    const ScaleFile plain = parsed("Just fifths\n3\n3/2\n701.955\n2/1\n");
    const ScaleFile decorated = parsed("! fifths.scl\r\n!\r\n\r\nJust fifths\r\n! count\r\n 3\r\n"
                                       "!first\r\n3/2\r\n\r\n701.955\r\n2/1");
    EXPECT_EQ(decorated.description, plain.description);
    EXPECT_EQ(decorated.declaredCount, 3);
    ASSERT_EQ(decorated.degrees.size(), plain.degrees.size());
    EXPECT_EQ(semitonesOf(decorated), semitonesOf(plain));
    EXPECT_EQ(decorated.degrees[0].kind, ScaleDegree::kRatio);
    EXPECT_EQ(decorated.degrees[0].numerator, 3);
    EXPECT_EQ(decorated.degrees[0].denominator, 2);
    EXPECT_EQ(decorated.degrees[1].kind, ScaleDegree::kCents);
    EXPECT_DOUBLE_EQ(decorated.degrees[1].cents, 701.955);
}

TEST(ScalaFile, RatiosAndCentsBecomeSemitones) {
    const ScaleFile scale = parsed("values\n4\n3/2\n701.955\n-50.5\n2/1\n");
    const std::vector<double> s = semitonesOf(scale);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_NEAR(s[0], 7.0196, 1e-4);
    EXPECT_NEAR(s[1], 7.01955, 1e-12);
    EXPECT_NEAR(s[2], -0.505, 1e-12);
    EXPECT_NEAR(s[3], 12.0, 1e-12);
}

TEST(ScalaFile, ValuesMayCarryATrailingComment) {
    const ScaleFile scale =
        parsed("commented\n12 notes\n701.955 fifth\n3/2\tjust fifth\n2/1 8ve\n"
               "100.0\n100.0\n100.0\n100.0\n100.0\n100.0\n100.0\n100.0\n1200.\n");
    EXPECT_EQ(scale.declaredCount, 12);
    EXPECT_DOUBLE_EQ(scale.degrees[0].cents, 701.955);
    EXPECT_EQ(scale.degrees[1].numerator, 3);
    EXPECT_EQ(scale.degrees[1].denominator, 2);
    EXPECT_EQ(scale.degrees[2].numerator, 2);
}

TEST(ScalaFile, LinesAfterTheDeclaredDegreesAreNotRead) {
    // The 13th line would be refused if it were read.
    const ScaleFile scale = parsed(std::string(kTwelveEqual) + "1300.0\nnot a number\n");
    ASSERT_EQ(scale.degrees.size(), 12u);
    EXPECT_NEAR(degreeSemitones(scale.degrees.back()), 12.0, 1e-12);
}

TEST(ScalaFile, SizeLimitsAreInclusive) {
    EXPECT_EQ(parsed(centsScale(1024)).degrees.size(), 1024u);
    const std::string longComment = "!" + std::string(4095, 'x') + "\r\n";
    EXPECT_EQ(parsed(longComment + kPentatonic).degrees.size(), 5u);
}

struct BadScale {
    const char* what;
    std::string text;
};

std::vector<BadScale> badScales() {
    return {
        {"empty file", ""},
        {"comments only", "! a\n!\n\n"},
        {"missing count", "! x\nDescription only\n"},
        {"count not a number", "d\ntwelve\n100.0\n"},
        {"fractional count", "d\n1.5\n100.0\n"},
        {"count zero", "d\n0\n"},
        {"negative count", "d\n-3\n100.0\n"},
        {"count above 1024", centsScale(1025)},
        {"count out of integer range", "d\n99999999999999999999\n100.0\n"},
        {"fewer degrees than declared", "d\n3\n100.0\n200.0\n"},
        {"degree text", "d\n2\nabc\n1200.0\n"},
        {"degree with comma", "d\n2\n700,5\n1200.0\n"},
        {"zero denominator", "d\n2\n3/0\n2/1\n"},
        {"zero numerator", "d\n2\n0/2\n2/1\n"},
        {"negative numerator", "d\n2\n-3/2\n2/1\n"},
        {"negative denominator", "d\n2\n3/-2\n2/1\n"},
        {"numerator above int32", "d\n2\n3000000000/2\n2/1\n"},
        {"denominator above int32", "d\n2\n3/2147483648\n2/1\n"},
        {"fractional ratio", "d\n2\n1.5/1\n2/1\n"},
        {"empty denominator", "d\n2\n3/\n2/1\n"},
        {"nan cents", "d\n2\nnan\n1200.0\n"},
        {"infinite cents", "d\n2\ninf\n1200.0\n"},
        {"cents overflow", "d\n2\n1e999\n1200.0\n"},
        {"period not above unison", "d\n2\n100.0\n0.0\n"},
        {"line too long", "d\n1\n" + std::string(4097, '1') + "\n"},
        {"comment too long", "!" + std::string(4096, ' ') + "\n" + kPentatonic},
    };
}

TEST(ScalaFile, MalformedFilesAreRefusedWithAMessage) {
    for (const BadScale& bad : badScales()) {
        ScaleFile scale;
        std::string error;
        EXPECT_FALSE(parseScalaText(bad.text, scale, error)) << bad.what;
        EXPECT_FALSE(error.empty()) << bad.what;
        EXPECT_EQ(error.find('\n'), std::string::npos) << bad.what;
    }
}

TEST(ScalaFile, FilesLargerThanOneMebibyteAreRefused) {
    // Valid content padded with comments past the limit.
    std::string text = kPentatonic;
    text += "! " + std::string(4000, 'c') + "\n";
    while (text.size() <= kMaxScalaFileBytes)
        text += "! " + std::string(4000, 'c') + "\n";
    ScaleFile scale;
    std::string error;
    EXPECT_FALSE(parseScalaText(text, scale, error));
    EXPECT_FALSE(loadScalaFile(writeInput("huge.scl", text), scale, error));
    EXPECT_FALSE(error.empty());
}

TEST(TuningHolder, SemitoneTableStartsAtZeroAndEndsWithThePeriod) {
    TuningHolder holder;
    std::string error;
    ASSERT_TRUE(holder.loadFile(writeInput("12tet.scl", kTwelveEqual), error)) << error;
    const std::vector<float> table = holder.semitoneTable();
    ASSERT_EQ(table.size(), 13u);
    for (int k = 0; k <= 12; ++k)
        EXPECT_FLOAT_EQ(table[static_cast<std::size_t>(k)], static_cast<float>(k)) << k;

    ASSERT_TRUE(holder.loadFile(writeInput("penta.scl", kPentatonic), error)) << error;
    const std::vector<float> penta = holder.semitoneTable();
    ASSERT_EQ(penta.size(), 6u);
    EXPECT_EQ(penta[0], 0.0f);
    EXPECT_NEAR(penta[3], 7.0196f, 1e-4f);
    EXPECT_NEAR(penta[4], 8.8436f, 1e-4f); // 5/3
    EXPECT_FLOAT_EQ(penta[5], 12.0f);
}

TEST(TuningHolder, LoadingKeepsTheFileNameWithoutItsFolder) {
    TuningHolder holder;
    std::string error;
    ASSERT_TRUE(holder.loadFile(writeInput("penta.scl", kPentatonic), error)) << error;
    EXPECT_EQ(holder.selectedFile(), "penta.scl");
    EXPECT_EQ(holder.description(), "Pentatonic");
    EXPECT_EQ(holder.declaredCount(), 5);
    EXPECT_EQ(holder.degrees().size(), 5u);
    EXPECT_FALSE(holder.isEqualTemperament());
}

TEST(TuningHolder, AnInvalidFileShowsTheErrorAndKeepsThePreviousTuning) {
    TuningHolder holder;
    std::string error;
    ASSERT_TRUE(holder.loadFile(writeInput("penta.scl", kPentatonic), error)) << error;
    const std::string before = holder.toStateText();

    std::vector<fs::path> paths;
    for (const BadScale& bad : badScales())
        paths.push_back(writeInput("bad.scl", bad.text));
    paths.push_back(inputFolder() / "missing.scl");
    paths.push_back(inputFolder()); // a folder, not a file
    for (const fs::path& path : paths) {
        error.clear();
        EXPECT_FALSE(holder.loadFile(path, error)) << path;
        EXPECT_EQ(error, "Error: Invalid scl file '" + path.string() + "'");
        EXPECT_EQ(holder.toStateText(), before);
        EXPECT_EQ(holder.description(), "Pentatonic");
    }
}

TEST(TuningHolder, ClearGoesBackToEqualTemperamentAndKeepsTheSettings) {
    TuningHolder holder;
    std::string error;
    ASSERT_TRUE(holder.loadFile(writeInput("penta.scl", kPentatonic), error)) << error;
    holder.setReferenceNote(60);
    holder.setA4Index(1);
    holder.clear();
    EXPECT_TRUE(holder.isEqualTemperament());
    EXPECT_TRUE(holder.semitoneTable().empty());
    EXPECT_EQ(holder.selectedFile(), "");
    EXPECT_EQ(holder.referenceNote(), 60);
    EXPECT_EQ(holder.a4Index(), 1);
}

TEST(TuningHolder, SettingsAreClampedToTheirRanges) {
    TuningHolder holder;
    EXPECT_EQ(holder.referenceNote(), 69);
    EXPECT_EQ(holder.a4Index(), 4);
    holder.setReferenceNote(128);
    holder.setA4Index(8);
    EXPECT_EQ(holder.referenceNote(), 127);
    EXPECT_EQ(holder.a4Index(), 7);
    holder.setReferenceNote(-1);
    holder.setA4Index(-1);
    EXPECT_EQ(holder.referenceNote(), 0);
    EXPECT_EQ(holder.a4Index(), 0);
}

TEST(TuningHolder, StateTextRoundTripsWithItsKeysInOrder) {
    TuningHolder holder;
    std::string error;
    // 100/3 and 1e-4 cents need many digits and must not turn into exponent notation.
    ASSERT_TRUE(holder.loadFile(
        writeInput("mixed.scl", "mixed\n4\n0.0001\n33.333333333333336\n3/2\n2/1\n"), error))
        << error;
    holder.setReferenceNote(60);
    holder.setA4Index(2);
    const std::string text = holder.toStateText();

    const auto doc = nlohmann::ordered_json::parse(text);
    std::vector<std::string> keys;
    for (const auto& item : doc.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys,
              (std::vector<std::string>{"microtuning", "selected_file", "ref_note", "a4_freq"}));
    EXPECT_EQ(doc["microtuning"][2].dump(), R"({"type":1,"num":3,"den":2})");
    EXPECT_EQ(doc["microtuning"][0].begin().key(), "type");
    EXPECT_EQ(doc["microtuning"][0]["type"], 0);
    for (int i : {0, 1}) {
        const std::string rat = doc["microtuning"][i]["rat"].get<std::string>();
        EXPECT_EQ(rat.find_first_not_of("-0123456789."), std::string::npos) << rat;
    }
    EXPECT_EQ(doc["selected_file"], "mixed.scl");
    EXPECT_EQ(doc["ref_note"], 60);
    EXPECT_EQ(doc["a4_freq"], 2);

    TuningHolder restored;
    ASSERT_TRUE(restored.fromStateText(text));
    ASSERT_EQ(restored.degrees().size(), 4u);
    EXPECT_EQ(restored.degrees()[0].cents, 0.0001);
    EXPECT_EQ(restored.degrees()[1].cents, 33.333333333333336);
    EXPECT_EQ(restored.degrees()[2].kind, ScaleDegree::kRatio);
    EXPECT_EQ(restored.semitoneTable(), holder.semitoneTable());
    EXPECT_EQ(restored.selectedFile(), "mixed.scl");
    EXPECT_EQ(restored.referenceNote(), 60);
    EXPECT_EQ(restored.a4Index(), 2);
    EXPECT_EQ(restored.toStateText(), text);
}

TEST(TuningHolder, MissingStateMembersTakeTheirDefaults) {
    TuningHolder holder;
    std::string error;
    ASSERT_TRUE(holder.loadFile(writeInput("penta.scl", kPentatonic), error)) << error;
    holder.setReferenceNote(60);
    holder.setA4Index(0);
    ASSERT_TRUE(holder.fromStateText(R"({"microtuning":[{"type":0,"rat":"1200.0"}]})"));
    EXPECT_EQ(holder.degrees().size(), 1u);
    EXPECT_EQ(holder.selectedFile(), "");
    EXPECT_EQ(holder.referenceNote(), 69);
    EXPECT_EQ(holder.a4Index(), 4);

    ASSERT_TRUE(holder.fromStateText(R"({"microtuning":[],"selected_file":"","ref_note":61})"));
    EXPECT_TRUE(holder.isEqualTemperament());
    EXPECT_EQ(holder.referenceNote(), 61);
}

TEST(TuningHolder, MalformedStateTextIsRefusedAndChangesNothing) {
    const std::string ratio = R"({"type":1,"num":2,"den":1})";
    const std::vector<std::string> bad = {
        "",
        "not json",
        R"({"microtuning":[)",
        "[]",
        R"({"microtuning":5})",
        R"({"microtuning":[5]})",
        R"({"microtuning":[{"num":2,"den":1}]})",
        R"({"microtuning":[{"type":2,"num":2,"den":1}]})",
        R"({"microtuning":[{"type":"1","num":2,"den":1}]})",
        R"({"microtuning":[{"type":1,"num":0,"den":1}]})",
        R"({"microtuning":[{"type":1,"num":2,"den":-1}]})",
        R"({"microtuning":[{"type":1,"num":4294967296,"den":1}]})",
        R"({"microtuning":[{"type":1,"num":2.5,"den":1}]})",
        R"({"microtuning":[{"type":1,"num":2}]})",
        R"({"microtuning":[{"type":0,"rat":1200}]})",
        R"({"microtuning":[{"type":0,"rat":"abc"}]})",
        R"({"microtuning":[{"type":0,"rat":"nan"}]})",
        R"({"microtuning":[{"type":0}]})",
        R"({"microtuning":[)" + ratio + R"(,{"type":0,"rat":""}]})", // refused as a whole
        R"({"microtuning":[{"type":1,"num":1,"den":2}]})",           // period below unison
        R"({"selected_file":7})",
        R"({"ref_note":"60"})",
        R"({"ref_note":60.5})",
        R"({"a4_freq":true})",
        R"({"a4_freq":null})",
    };
    TuningHolder holder;
    std::string error;
    ASSERT_TRUE(holder.loadFile(writeInput("penta.scl", kPentatonic), error)) << error;
    holder.setReferenceNote(50);
    holder.setA4Index(6);
    const std::string before = holder.toStateText();
    for (const std::string& text : bad) {
        EXPECT_FALSE(holder.fromStateText(text)) << text;
        EXPECT_EQ(holder.toStateText(), before) << text;
    }

    std::string tooMany = R"({"microtuning":[)";
    for (int i = 0; i < 1025; ++i)
        tooMany += ratio + ",";
    tooMany.back() = ']';
    tooMany += "}";
    EXPECT_FALSE(holder.fromStateText(tooMany));
    EXPECT_EQ(holder.toStateText(), before);
}

TEST(TuningHolder, StateSettingsOutOfRangeAreClamped) {
    TuningHolder holder;
    ASSERT_TRUE(holder.fromStateText(R"({"ref_note":300,"a4_freq":-2})"));
    EXPECT_EQ(holder.referenceNote(), 127);
    EXPECT_EQ(holder.a4Index(), 0);
}

TEST(TuningHolder, ApplyHandsTheScaleAndSettingsToTheEngine) {
    TuningHolder holder;
    std::string error;
    ASSERT_TRUE(holder.loadFile(writeInput("penta.scl", kPentatonic), error)) << error;
    holder.setReferenceNote(60);
    holder.setA4Index(0);
    TuningMap map;
    EXPECT_TRUE(holder.applyTo(map));
    EXPECT_TRUE(map.scaleActive());
    EXPECT_EQ(map.degreeCount(), 5);
    EXPECT_FLOAT_EQ(map.period(), 12.0f);
    EXPECT_FLOAT_EQ(map.referenceNote(), 60.0f);
    EXPECT_FLOAT_EQ(map.a4Offset(), TuningMap::kA4Offsets[0]);

    holder.clear();
    holder.applyTo(map);
    EXPECT_FALSE(map.scaleActive());
    EXPECT_FLOAT_EQ(map.referenceNote(), 60.0f);
    EXPECT_FLOAT_EQ(map.a4Offset(), TuningMap::kA4Offsets[0]);
}

TEST(TuningHolder, TwelveEqualScaleLeavesEveryKeyInPlace) {
    TuningHolder holder;
    std::string error;
    ASSERT_TRUE(holder.loadFile(writeInput("12tet.scl", kTwelveEqual), error)) << error;
    TuningMap map;
    ASSERT_TRUE(holder.applyTo(map));
    for (int key = 0; key <= 127; ++key)
        EXPECT_NEAR(map.map(key / 127.0f) * 127.0f, static_cast<float>(key), 1e-3f) << key;
}

class ScalaFolder : public ::testing::Test {
protected:
    void SetUp() override { fs::remove_all(scaleFolder()); }
    void TearDown() override { fs::remove_all(scaleFolder()); }
};

TEST_F(ScalaFolder, LivesInThePluginDataFolderAndStartsEmpty) {
    const fs::path home = std::getenv("XDG_CONFIG_HOME");
    EXPECT_EQ(scaleFolder().filename(), "scl");
    EXPECT_EQ(scaleFolder().parent_path().parent_path(), home);
    EXPECT_TRUE(listScales().empty());
}

TEST_F(ScalaFolder, ImportCopiesValidFilesAndListsThemSorted) {
    std::string error;
    std::string stored;
    ASSERT_TRUE(importScale(writeInput("b.scl", kPentatonic), error, &stored)) << error;
    EXPECT_EQ(stored, "b.scl");
    ASSERT_TRUE(importScale(writeInput("a.SCL", kTwelveEqual), error)) << error;
    ASSERT_TRUE(importScale(writeInput("c.txt", kPentatonic), error, &stored)) << error;
    EXPECT_EQ(stored, "c.txt.scl");
    std::ofstream(scaleFolder() / "notes.txt") << "not a scale";
    fs::create_directories(scaleFolder() / "folder.scl");

    EXPECT_EQ(listScales(), (std::vector<std::string>{"a.SCL", "b.scl", "c.txt.scl"}));
    std::ifstream copy(scaleFolder() / "b.scl", std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(copy)), {});
    EXPECT_EQ(content, kPentatonic);

    // The copy loads like the original.
    TuningHolder holder;
    ASSERT_TRUE(holder.loadFile(scaleFolder() / "a.SCL", error)) << error;
    EXPECT_EQ(holder.degrees().size(), 12u);
}

TEST_F(ScalaFolder, InvalidFilesAreNotImported) {
    std::string error;
    const fs::path bad = writeInput("broken.scl", "d\n3\n100.0\n");
    EXPECT_FALSE(importScale(bad, error));
    EXPECT_EQ(error, "Error: Invalid scl file '" + bad.string() + "'");
    EXPECT_FALSE(fs::exists(scaleFolder() / "broken.scl"));
    EXPECT_TRUE(listScales().empty());
}

} // namespace
} // namespace kolva
