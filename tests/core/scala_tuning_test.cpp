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
// 9/8, 5/4, 3/2, 5/3 and 1200 cents in semitones.
const std::vector<double> kPentatonicSemitones = {2.0391, 3.8631, 7.0196, 8.8436, 12.0};

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

// 'count' degrees of 100 cents each.
std::string centsScale(int count) {
    std::string text = "many\n" + std::to_string(count) + "\n";
    for (int i = 1; i <= count; ++i)
        text += std::to_string(i * 100) + ".0\n";
    return text;
}

// The semitone values of centsScale(count): 1, 2, ... count.
std::vector<double> steps(int count) {
    std::vector<double> out;
    for (int i = 1; i <= count; ++i)
        out.push_back(i);
    return out;
}

TEST(ScalaFile, ReadsTheDeclaredDegreesAsSemitones) {
    struct Case {
        std::string text;
        const char* description;
        std::vector<double> semitones;
    };
    const std::vector<double> fifths = {7.0196, 7.01955, 12.0};
    const Case cases[] = {
        {"Just fifths\n3\n3/2\n701.955\n2/1\n", "Just fifths", fifths},
        {"! fifths.scl\r\n!\r\n\r\nJust fifths\r\n! count\r\n 3\r\n!first\r\n3/2\r\n\r\n701.955\r\n"
         "2/1",
         "Just fifths", fifths},
        {"Just fifths\n3 notes\n3/2\tjust\n701.955 fifth\n2/1 8ve\n", "Just fifths", fifths},
        {"down\n2\n-50.5\n1200.0\n", "down", {-0.505, 12.0}},
        // The 14th line would be refused if it were read.
        {std::string(kTwelveEqual) + "1300.0\nnot a number\n", "Twelve equal", steps(12)},
        {centsScale(1024), "many", steps(1024)},
        {"!" + std::string(4095, 'x') + "\r\n" + kPentatonic, "Pentatonic", kPentatonicSemitones},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text.substr(0, 40)));
        ScaleFile scale;
        std::string error;
        ASSERT_TRUE(parseScalaText(c.text, scale, error)) << error;
        EXPECT_EQ(scale.description, c.description);
        EXPECT_EQ(scale.declaredCount, static_cast<int>(c.semitones.size()));
        ASSERT_EQ(scale.degrees.size(), c.semitones.size());
        for (std::size_t i = 0; i < c.semitones.size(); ++i)
            EXPECT_NEAR(degreeSemitones(scale.degrees[i]), c.semitones[i], 1e-4) << i;
    }
}

TEST(TuningHolder, MalformedFilesAreRefusedAndThePreviousTuningStays) {
    std::string oversized = kPentatonic; // valid, padded with comments past 1 MiB
    while (oversized.size() <= kMaxScalaFileBytes)
        oversized += "! " + std::string(4000, 'c') + "\n";
    std::vector<std::string> bad = {
        "! a\n!\n\n", "! x\nDescription only\n",          "d\ntwelve\n100.0\n",   "d\n1.5\n100.0\n",
        "d\n0\n",     "d\n99999999999999999999\n100.0\n", "d\n3\n100.0\n200.0\n", centsScale(1025),
        oversized};
    bad.push_back("d\n1\n" + std::string(4097, '1') + "\n");
    bad.push_back("!" + std::string(4096, ' ') + "\n" + kPentatonic);
    // The first of two degrees; "0.0" as the second puts the period at the unison.
    for (const char* degree : {"abc", "700,5", "3/0", "0/2", "-3/2", "3000000000/2", "3/2147483648",
                               "1.5/1", "nan", "1e999", "100.0\n0.0"})
        bad.push_back(std::string("d\n2\n") + degree + "\n2/1\n");
    TuningHolder holder;
    std::string error;
    ASSERT_TRUE(holder.loadFile(writeInput("penta.scl", kPentatonic), error)) << error;
    const std::string before = holder.toStateText();
    const auto refused = [&](const fs::path& path) {
        EXPECT_FALSE(holder.loadFile(path, error));
        EXPECT_EQ(error, "Error: Invalid scl file '" + path.string() + "'");
        EXPECT_EQ(holder.toStateText(), before);
    };
    for (const std::string& text : bad) {
        SCOPED_TRACE(testing::PrintToString(text.substr(0, 40)));
        ScaleFile scale;
        EXPECT_FALSE(parseScalaText(text, scale, error));
        const fs::path path = writeInput("bad.scl", text);
        refused(path);
        error.clear();
        EXPECT_FALSE(importScale(path, error));
        EXPECT_EQ(error, "Error: Invalid scl file '" + path.string() + "'");
    }
    refused(inputFolder() / "missing.scl");
    refused(inputFolder()); // a folder, not a file
    EXPECT_EQ(holder.description(), "Pentatonic");
    EXPECT_FALSE(fs::exists(scaleFolder() / "bad.scl"));
}

TEST(TuningHolder, LoadedScaleAndClampedSettingsRetuneTheEngineUntilCleared) {
    TuningHolder holder;
    std::string error;
    TuningMap map;
    const auto tuned = [&](int key) { return map.map(key / 127.0f) * 127.0f; }; // semitones
    EXPECT_EQ(holder.referenceNote(), 69);
    EXPECT_EQ(holder.a4Index(), 4);
    ASSERT_TRUE(holder.loadFile(writeInput("12tet.scl", kTwelveEqual), error)) << error;
    ASSERT_TRUE(holder.applyTo(map));
    for (int key = 0; key <= 127; ++key)
        EXPECT_NEAR(tuned(key), key, 1e-3f) << key;

    ASSERT_TRUE(holder.loadFile(writeInput("penta.scl", kPentatonic), error)) << error;
    EXPECT_EQ(holder.selectedFile(), "penta.scl");
    EXPECT_EQ(holder.description(), "Pentatonic");
    EXPECT_EQ(holder.declaredCount(), 5);
    EXPECT_EQ(holder.semitoneTable().size(), 6u);
    holder.setReferenceNote(128);
    holder.setA4Index(8);
    EXPECT_EQ(holder.referenceNote(), 127);
    EXPECT_EQ(holder.a4Index(), 7);
    holder.setReferenceNote(-1);
    holder.setA4Index(-1);
    EXPECT_EQ(holder.referenceNote(), 0);
    EXPECT_EQ(holder.a4Index(), 0);
    holder.setReferenceNote(60);
    EXPECT_TRUE(holder.applyTo(map));
    const float a432 = -0.3127f; // A4 index 0, in semitones
    EXPECT_NEAR(tuned(60), 60.0f + a432, 1e-3f);
    for (int k = 1; k <= 5; ++k) // key 65 is one period up
        EXPECT_NEAR(tuned(60 + k), 60.0 + kPentatonicSemitones[k - 1] + a432, 1e-3) << k;
    EXPECT_NEAR(tuned(59), 48.0f + 8.8436f + a432, 1e-3f);

    holder.clear();
    EXPECT_TRUE(holder.semitoneTable().empty());
    EXPECT_EQ(holder.selectedFile(), "");
    EXPECT_EQ(holder.referenceNote(), 60);
    EXPECT_EQ(holder.a4Index(), 0);
    EXPECT_TRUE(holder.applyTo(map));
    EXPECT_NEAR(tuned(65), 65.0f + a432, 1e-3f);
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

    // The cents texts are checked, then masked: their digits are the implementation's choice.
    auto doc = nlohmann::ordered_json::parse(text);
    for (int i : {0, 1}) {
        const std::string rat = doc["microtuning"][i]["rat"].get<std::string>();
        EXPECT_EQ(rat.find_first_not_of("-0123456789."), std::string::npos) << rat;
        doc["microtuning"][i]["rat"] = "x";
    }
    EXPECT_EQ(doc.dump(), R"({"microtuning":[{"type":0,"rat":"x"},{"type":0,"rat":"x"},)"
                          R"({"type":1,"num":3,"den":2},{"type":1,"num":2,"den":1}],)"
                          R"("selected_file":"mixed.scl","ref_note":60,"a4_freq":2})");

    TuningHolder restored;
    ASSERT_TRUE(restored.fromStateText(text));
    EXPECT_EQ(restored.toStateText(), text);
    ASSERT_EQ(restored.degrees().size(), 4u);
    EXPECT_EQ(restored.degrees()[0].cents, 0.0001);
    EXPECT_EQ(restored.degrees()[1].cents, 33.333333333333336);
}

TEST(TuningHolder, MalformedStateTextIsRefusedAndMissingMembersTakeDefaults) {
    const std::string ratio = R"({"type":1,"num":2,"den":1})";
    std::string tooMany = R"({"microtuning":[)" + ratio;
    for (int i = 1; i < 1025; ++i)
        tooMany += "," + ratio;
    tooMany += "]}";
    std::vector<std::string> bad = {tooMany};
    for (const char* text :
         {"not json", R"({"microtuning":[)", "[]", R"({"microtuning":5})", R"({"selected_file":7})",
          R"({"ref_note":"60"})", R"({"ref_note":60.5})", R"({"a4_freq":null})"})
        bad.push_back(text);
    // One degree, after a good one; 1/2 as the last puts the period below the unison.
    for (const char* degree :
         {"5", R"({"num":2,"den":1})", R"({"type":2,"num":2,"den":1})",
          R"({"type":"1","num":2,"den":1})", R"({"type":1,"num":0,"den":1})",
          R"({"type":1,"num":2,"den":-1})", R"({"type":1,"num":4294967296,"den":1})",
          R"({"type":1,"num":2.5,"den":1})", R"({"type":1,"num":2})", R"({"type":0,"rat":1200})",
          R"({"type":0,"rat":"abc"})", R"({"type":0,"rat":"nan"})", R"({"type":0,"rat":""})",
          R"({"type":0})", R"({"type":1,"num":1,"den":2})"})
        bad.push_back(R"({"microtuning":[)" + ratio + "," + degree + "]}");
    TuningHolder holder;
    std::string error;
    ASSERT_TRUE(holder.loadFile(writeInput("penta.scl", kPentatonic), error)) << error;
    holder.setReferenceNote(50);
    holder.setA4Index(6);
    const std::string before = holder.toStateText();
    for (const std::string& text : bad) {
        EXPECT_FALSE(holder.fromStateText(text)) << text.substr(0, 80);
        EXPECT_EQ(holder.toStateText(), before) << text.substr(0, 80);
    }

    ASSERT_TRUE(holder.fromStateText(R"({"microtuning":[{"type":0,"rat":"1200.0"}]})"));
    EXPECT_EQ(holder.degrees().size(), 1u);
    EXPECT_EQ(holder.selectedFile(), "");
    EXPECT_EQ(holder.referenceNote(), 69);
    EXPECT_EQ(holder.a4Index(), 4);
    ASSERT_TRUE(holder.fromStateText(R"({"microtuning":[],"ref_note":300,"a4_freq":-2})"));
    EXPECT_TRUE(holder.isEqualTemperament());
    EXPECT_EQ(holder.referenceNote(), 127);
    EXPECT_EQ(holder.a4Index(), 0);
}

TEST(ScalaFolder, ImportCopiesValidFilesIntoThePluginDataFolderAndListsThemSorted) {
    fs::remove_all(scaleFolder());
    const fs::path home = std::getenv("XDG_CONFIG_HOME");
    EXPECT_EQ(scaleFolder().filename(), "scl");
    EXPECT_EQ(scaleFolder().parent_path().parent_path(), home);
    EXPECT_TRUE(listScales().empty());

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
    fs::remove_all(scaleFolder());
}

} // namespace
} // namespace kolva
