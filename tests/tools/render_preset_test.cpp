// kolva-render's preset and state options, run as a user runs them against the test plug-in
// (posing as Kolva where presets are involved), with the files made by Kolva's own writers.

#include "tool_test_support.h"

#include "core/parameter_defs.h"
#include "core/parameter_table.h"
#include "presets/bank.h"
#include "presets/preset_file.h"
#include "render/preset_io.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>

namespace kolva::test {
namespace {

namespace fs = std::filesystem;

const std::string kRender = KOLVA_RENDER_EXE;
const std::string kFake = KOLVA_FAKE_PLUGIN;

void writeBytes(const std::string& path, const void* data, std::size_t size) {
    std::ofstream(path, std::ios::binary)
        .write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A sound unlike the defaults: every continuous value a different two-decimal number (exact
// in a .kpf2's six digits), every enumerated parameter its second option.
Preset distinctSound(const std::string& name) {
    Preset preset;
    preset.setName(name);
    const auto& defs = parameterDefs();
    for (int i = 0; i < kNumParameters; ++i) {
        const ParameterDef& def = defs[static_cast<std::size_t>(i)];
        float value = static_cast<float>((i * 37) % 101) / 100.0f;
        if (def.optionCount > 1)
            value = def.encoding == OptionEncoding::Thousandths
                        ? 1.0f / 999.0f
                        : 1.0f / static_cast<float>(def.optionCount - 1);
        preset.setParameter(i, value);
    }
    preset.setAuthor("Tester");
    preset.setTags({"pad", "warm"});
    return preset;
}

int firstContinuousAfter(int index) {
    const auto& defs = parameterDefs();
    for (int i = index + 1; i < kNumParameters; ++i)
        if (defs[static_cast<std::size_t>(i)].optionCount == 0) return i;
    return -1;
}

// The same sound in each of the three files --preset reads.
struct SoundFiles {
    std::string kpf2, kpf, kbf;
};

SoundFiles writeSoundFiles(const std::string& folder, const Preset& sound, int bankProgram) {
    SoundFiles files{folder + "/sound.kpf2", folder + "/sound.kpf", folder + "/bank.kbf"};
    std::string error;
    EXPECT_TRUE(writePresetFile(files.kpf2, sound, true, error)) << error;
    auto table = std::make_unique<ParameterTable>();
    auto bank = std::make_unique<Bank>(*table);
    bank->setup();
    bank->copyToCurrent(sound);
    auto kpf = bank->buildLegacyPresetImage(false);
    writeBytes(files.kpf, kpf.data(), kpf.size());
    bank->setup(); // every other program back to the defaults
    bank->workingProgram(bankProgram).copyFrom(sound, 0);
    auto kbf = bank->buildLegacyBankImage(false);
    writeBytes(files.kbf, kbf.data(), kbf.size());
    return files;
}

TEST(RenderPreset, SoundReachesThePluginBeforeParamsAndIsSavedBack) {
    const std::string folder = scratchFolder("preset-roundtrip");
    const Preset sound = distinctSound("Glass Pad");
    const SoundFiles files = writeSoundFiles(folder, sound, 5);
    const int overridden = firstContinuousAfter(1);
    ASSERT_GT(overridden, 0);
    // A state that sets every value to 0.9 comes before the preset and must lose to it.
    std::vector<float> stateValues(kNumParameters, 0.9f);
    writeBytes(folder + "/state.bin", stateValues.data(), stateValues.size() * sizeof(float));

    struct Case {
        const char* name;
        std::vector<std::string> presetArgs;
    };
    const Case cases[] = {
        {"preset file", {"--preset", files.kpf2}},
        {"legacy preset", {"--preset", files.kpf}},
        {"program 5 of a legacy bank, counted from 0", {"--preset", files.kbf, "--program", "5"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string wavPath = folder + "/out.wav", saved = folder + "/Saved Sound.kpf2";
        fs::remove(wavPath);
        fs::remove(saved);
        std::vector<std::string> args = {kFake, "--host-product", "as-kolva", "--state-in",
                                         folder + "/state.bin"};
        args.insert(args.end(), c.presetArgs.begin(), c.presetArgs.end());
        for (const std::string& a :
             {std::string("--param"), std::to_string(overridden) + "=0.125", std::string("--tail"),
              std::string("0.05"), std::string("-o"), wavPath, std::string("--save-preset"), saved})
            args.push_back(a);
        CommandResult r = runCommand(kRender, args);
        ASSERT_EQ(r.exitCode, 0) << r.err;

        // The test plug-in plays parameter 1 as a constant: the preset's value was in place
        // before the first block.
        WavData wav;
        ASSERT_TRUE(readWav(wavPath, wav));
        EXPECT_NEAR(wav.at(0, 0), sound.parameter(1), 1e-5);

        std::string error;
        std::optional<Preset> back = readPresetFile(saved, error);
        ASSERT_TRUE(back) << error;
        EXPECT_EQ(back->name(), "Saved Sound");
        EXPECT_EQ(back->author(), c.presetArgs[1] == files.kpf2 ? "Tester" : "");
        int mismatches = 0;
        for (int i = 0; i < kNumParameters; ++i) {
            if (i == param::kBendWheel || i == 723 || i == 724) continue; // never in a .kpf2
            const float expected = i == overridden ? 0.125f : sound.parameter(i);
            if (std::fabs(back->parameter(i) - expected) > 1e-5f && ++mismatches <= 5)
                ADD_FAILURE() << "parameter " << i << ": " << back->parameter(i)
                              << " != " << expected;
        }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(RenderPreset, SavingAloneRendersNothing) {
    const std::string folder = scratchFolder("preset-save-only");
    const std::string saved = folder + "/Init.kpf2";
    const int index = firstContinuousAfter(1);
    CommandResult r = runCommand(kRender, {kFake, "--host-product", "as-kolva", "--param",
                                           std::to_string(index) + "=0.5", "--save-preset", saved});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("preset saved: " + saved + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("output:"), std::string::npos) << r.out;
    std::string error;
    std::optional<Preset> back = readPresetFile(saved, error);
    ASSERT_TRUE(back) << error;
    EXPECT_FLOAT_EQ(back->parameter(index), 0.5f);
    // Values nobody set are the plug-in's (the test plug-in starts at 0), sanitised.
    EXPECT_FLOAT_EQ(back->parameter(index + 1), 0.0f);
}

TEST(RenderPreset, RefusedInputsStopBeforeAnythingIsWritten) {
    const std::string folder = scratchFolder("preset-refused");
    std::ofstream(folder + "/broken.kpf2") << "{\"author\": ";
    std::ofstream(folder + "/short.kpf") << "too short";
    std::ofstream(folder + "/broken.kbf") << "kbf";
    std::ofstream(folder + "/empty.state");
    std::ofstream(folder + "/note.txt") << "x";
    std::ofstream(folder + "/state.bin") << "12345678";
    const std::string wav = folder + "/out.wav", saved = folder + "/saved.kpf2",
                      state = folder + "/out.state";
    const std::string good = folder + "/good.kpf2";
    std::string error;
    ASSERT_TRUE(writePresetFile(good, Preset(), true, error));
    const std::vector<std::string> outputs = {"-o",  wav,           "--save-preset",
                                              saved, "--state-out", state};

    struct Case {
        const char* what;
        std::vector<std::string> args;
        int code;
        const char* fragment;
        bool withOutputs = true;
    };
    const Case cases[] = {
        {"unparsable preset", {"--preset", folder + "/broken.kpf2"}, 4, "Error loading preset"},
        {"missing preset", {"--preset", folder + "/none.kpf2"}, 4, "cannot open"},
        {"short legacy preset", {"--preset", folder + "/short.kpf"}, 4, "refused"},
        {"broken legacy bank", {"--preset", folder + "/broken.kbf"}, 4, "refused"},
        {"program past the bank",
         {"--preset", folder + "/broken.kbf", "--program", "128"},
         2,
         "--program"},
        {"program of a single preset", {"--preset", good, "--program", "1"}, 2, "--program"},
        {"unknown preset type", {"--preset", folder + "/note.txt"}, 2, ".kpf2, .kpf or .kbf"},
        {"preset saved as something else", {"--save-preset", wav}, 2, ".kpf2", false},
        {"missing state", {"--state-in", folder + "/none.state"}, 4, "cannot open"},
        {"empty state", {"--state-in", folder + "/empty.state"}, 4, "empty"},
        {"notes but no output",
         {"--notes", "60@0+1", "--save-preset", saved},
         2,
         "no output",
         false},
        {"preset for another plug-in", {"--host-product", "fake", "--preset", good}, 3, "Kol2"},
        {"state for a plug-in without chunks",
         {"--host-product", "as-kolva nochunk", "--state-in", folder + "/state.bin"},
         3,
         "programChunks"},
        {"a bad --param after a good preset",
         {"--preset", good, "--param", "nosuch=1"},
         2,
         "nosuch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {kFake, "--host-product", "as-kolva"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (c.withOutputs) args.insert(args.end(), outputs.begin(), outputs.end());
        CommandResult r = runCommand(kRender, args);
        EXPECT_EQ(r.exitCode, c.code);
        EXPECT_EQ(r.err.rfind("kolva-render: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_NE(r.err.find(c.fragment), std::string::npos) << r.err;
        for (const std::string& out : {wav, saved, state})
            EXPECT_FALSE(fs::exists(out)) << out;
    }
}

TEST(RenderState, StateGoesInFirstAndComesBackWithTheChanges) {
    const std::string folder = scratchFolder("state");
    // The test plug-in's chunk: its two parameter values, then opaque bytes it keeps.
    const float values[2] = {0.75f, 0.25f};
    const unsigned char tail[] = {'o', 'p', 'a', 'q', 0, 'u', 'e', 0xff};
    std::vector<unsigned char> state(sizeof values + sizeof tail);
    std::memcpy(state.data(), values, sizeof values);
    std::memcpy(state.data() + sizeof values, tail, sizeof tail);
    const std::string in = folder + "/in.state";
    writeBytes(in, state.data(), state.size());

    struct Case {
        const char* what;
        std::vector<std::string> extra;
        float level; // parameter 1 as played and as saved
    };
    const Case cases[] = {
        {"as restored", {}, 0.25f},
        {"a --param after the state wins", {"--param", "level=0.5"}, 0.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = folder + "/out.state", wavPath = folder + "/out.wav";
        std::vector<std::string> args = {kFake,    "--state-in", in,   "--state-out", out,
                                         "--tail", "0.05",       "-o", wavPath};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        CommandResult r = runCommand(kRender, args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        WavData wav;
        ASSERT_TRUE(readWav(wavPath, wav));
        EXPECT_FLOAT_EQ(wav.at(0, 0), c.level);

        std::vector<unsigned char> expected = state;
        std::memcpy(expected.data() + sizeof(float), &c.level, sizeof(float));
        EXPECT_EQ(readBytes(out), expected);
    }

    // Without anything to play, state passes straight through.
    const std::string copy = folder + "/copy.state";
    CommandResult r =
        runCommand(kRender, {kFake, "--state-in", in, "--state-out", copy, "--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readBytes(copy), state);
}

TEST(RenderState, APluginThatHandsBackNoStateLeavesTheOldFile) {
    const std::string folder = scratchFolder("state-none");
    const std::string out = folder + "/out.state";
    std::ofstream(out) << "previous";
    CommandResult r = runCommand(kRender, {kFake, "--host-product", "nostate", "--state-out", out});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("no state"), std::string::npos) << r.err;
    EXPECT_EQ(readBytes(out), (std::vector<unsigned char>{'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'}));
}

// In-process: what the readers make of odd files.
TEST(PresetIo, FileTypesAndBadValues) {
    using render::PresetFileType;
    const std::pair<const char*, PresetFileType> types[] = {
        {"a.kpf2", PresetFileType::Kpf2},        {"dir.kbf/A.KPF2", PresetFileType::Kpf2},
        {"a.Kpf", PresetFileType::Kpf},          {"a.KBF", PresetFileType::Kbf},
        {"a.kpf2.bak", PresetFileType::Unknown}, {"kpf2", PresetFileType::Unknown},
        {"", PresetFileType::Unknown},
    };
    for (const auto& [name, type] : types)
        EXPECT_EQ(render::presetFileType(name), type) << name;

    // Legacy files whose values are NaN, infinite and huge come back playable (the bank
    // reader takes values as they are).
    const std::string folder = scratchFolder("preset-io");
    auto table = std::make_unique<ParameterTable>();
    auto bank = std::make_unique<Bank>(*table);
    bank->setup();
    Preset wild = distinctSound("Wild");
    wild.setParameter(2, std::numeric_limits<float>::quiet_NaN());
    wild.setParameter(3, std::numeric_limits<float>::infinity());
    wild.setParameter(firstContinuousAfter(3), -1e30f);
    bank->copyToCurrent(wild);
    auto kpf = bank->buildLegacyPresetImage(false);
    writeBytes(folder + "/wild.kpf", kpf.data(), kpf.size());
    auto kbf = bank->buildLegacyBankImage(false);
    writeBytes(folder + "/wild.kbf", kbf.data(), kbf.size());
    std::string error;
    for (const char* name : {"/wild.kpf", "/wild.kbf"}) {
        SCOPED_TRACE(name);
        std::optional<Preset> loaded = render::loadPresetFile(folder + name, 0, error);
        ASSERT_TRUE(loaded) << error;
        EXPECT_EQ(loaded->name(), "Wild");
        for (int i = 0; i < kNumParameters; ++i) {
            EXPECT_TRUE(loaded->parameter(i) >= 0.0f && loaded->parameter(i) <= 1.0f)
                << i << ": " << loaded->parameter(i);
        }
    }
    EXPECT_FALSE(render::loadPresetFile(folder + "/wild.kpf2", 0, error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

} // namespace
} // namespace kolva::test
