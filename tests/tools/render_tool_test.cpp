// kolva-render as a user runs it: exit codes, messages, the WAV file and the summary.

#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace kolva::test {
namespace {

const std::string kRender = KOLVA_RENDER_EXE;
const std::string kFake = KOLVA_FAKE_PLUGIN;

CommandResult render(const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {}) {
    return runCommand(kRender, args, env);
}

// Errors are one line on stderr, prefixed with the tool's name.
void expectOneLineError(const CommandResult& r, const std::string& fragment) {
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.rfind("kolva-render: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
}

TEST(RenderTool, UsageErrorsExitWithTwo) {
    std::string out = scratchFolder("usage") + "/out.wav";
    struct Case {
        std::vector<std::string> args;
        const char* fragment;
    };
    const Case cases[] = {
        {{}, "no plug-in given"},
        {{kFake}, "no output file"},
        {{kFake, "-o", out, "--rate", "fast"}, "--rate"},
        {{kFake, "-o", out, "--frobnicate"}, "unknown option --frobnicate"},
        {{kFake, "-o", out, "--notes", "60@0"}, "missing '+DURATION'"},
        {{kFake, "-o", out, "--param", "volume=0.5"}, "no parameter named \"volume\""},
        {{kFake, "-o"}, "needs a value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fragment);
        CommandResult r = render(c.args);
        EXPECT_EQ(r.exitCode, 2);
        expectOneLineError(r, c.fragment);
    }
    CommandResult help = render({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("NOTE@START+DURATION[:VELOCITY]"), std::string::npos);
}

TEST(RenderTool, LoadInputAndOutputFailuresHaveTheirOwnCodes) {
    std::string folder = scratchFolder("failures");
    std::string out = folder + "/out.wav";
    CommandResult r = render({folder + "/missing.so", "-o", out});
    EXPECT_EQ(r.exitCode, 3);
    expectOneLineError(r, "cannot load plug-in");
    r = render({kFake, "--host-product", "null", "-o", out});
    EXPECT_EQ(r.exitCode, 3);
    expectOneLineError(r, "did not create an instance");

    r = render({kFake, folder + "/missing.mid", "-o", out});
    EXPECT_EQ(r.exitCode, 4);
    expectOneLineError(r, "missing.mid");
    std::ofstream(folder + "/garbage.mid") << "MThd garbage";
    r = render({kFake, folder + "/garbage.mid", "-o", out});
    EXPECT_EQ(r.exitCode, 4);
    expectOneLineError(r, "header");

    r = render({kFake, "--notes", "60@0+0.1", "-o", folder + "/no/such/folder/out.wav"});
    EXPECT_EQ(r.exitCode, 5);
    expectOneLineError(r, "cannot create");
}

TEST(RenderTool, WritesTheBlocksTheHostRendered) {
    std::string out = scratchFolder("fake") + "/out.wav";
    // The test plug-in puts velocity/127 at each note-on, -0.5 at each note-off and
    // parameter "level" as a constant on the left; the song position on the right.
    CommandResult r =
        render({kFake, "--notes", "60@0.25+0.25:127", "--rate", "48000", "--block", "512", "--tail",
                "0.5", "--tempo", "60", "--param", "level=0.25", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WavData wav;
    ASSERT_TRUE(readWav(out, wav));
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.sampleRate, 48000);
    EXPECT_EQ(wav.format, 0x010006); // WAV, 32-bit float
    ASSERT_EQ(wav.frames(), 48000);  // last event at 0.5 s plus 0.5 s of tail
    EXPECT_FLOAT_EQ(wav.at(0, 0), 0.25f);
    EXPECT_FLOAT_EQ(wav.at(12000, 0), 1.25f);
    EXPECT_FLOAT_EQ(wav.at(24000, 0), -0.25f);
    // 60 bpm: one beat per second, reported per block of 512 frames.
    EXPECT_NEAR(wav.at(47999, 1), 93 * 512 / 48000.0, 1e-5);

    EXPECT_EQ(reportValue(r.out, "duration"), "1.000 s (48000 frames)");
    EXPECT_EQ(reportValue(r.out, "sample rate"), "48000 Hz");
    EXPECT_EQ(reportValue(r.out, "block size"), "512");
    EXPECT_NE(reportValue(r.out, "left").find("peak 1.94 dBFS (1.250000)"), std::string::npos)
        << r.out;
    EXPECT_EQ(reportValue(r.out, "non-finite samples"), "0");
    EXPECT_NE(reportValue(r.out, "realtime factor"), "<missing>");
    EXPECT_NE(r.out.find("param 1 (level) = 0.250000"), std::string::npos) << r.out;

    CommandResult quiet = render({kFake, "--notes", "60@0+0.1", "--quiet", "-o", out});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_TRUE(quiet.out.empty()) << quiet.out;
}

TEST(RenderTool, CountsNonFiniteOutputAndCarriesOn) {
    std::string out = scratchFolder("nan") + "/out.wav";
    // One NaN at the start of every block of the left channel: 1 s at 48 kHz in blocks
    // of 512 is 94 blocks.
    CommandResult r = render({kFake, "--host-product", "nan", "--tail", "1", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(reportValue(r.out, "non-finite samples"), "94");
    WavData wav;
    ASSERT_TRUE(readWav(out, wav));
    EXPECT_TRUE(std::isnan(wav.at(512, 0)));
    EXPECT_TRUE(std::isfinite(wav.at(513, 0)));
}

TEST(RenderTool, InfoReportsThePlugin) {
    CommandResult r = render({kFake, "--info"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(reportValue(r.out, "numOutputs"), "3");
    EXPECT_EQ(reportValue(r.out, "flags"), "272 (canReplacing isSynth)");
    EXPECT_EQ(reportValue(r.out, "uniqueID"), "Fake (1180789605)");
    EXPECT_EQ(reportValue(r.out, "product"), "echo:kolva-render");
    EXPECT_EQ(reportValue(r.out, "output 2"), "\"Fake3\" flags 1 (active)");
    EXPECT_EQ(reportValue(r.out, "canDo receiveVstEvents"), "1");
    EXPECT_EQ(reportValue(r.out, "canDo bypass"), "-1");
    EXPECT_EQ(reportValue(r.out, "parameter 1").rfind("name \"level\"", 0), 0u);
}

// amsynth, a third-party instrument, played through the whole tool.
TEST(RenderTool, RendersAmsynthAtThePitchAsked) {
    if (!std::filesystem::exists(KOLVA_AMSYNTH)) GTEST_SKIP() << KOLVA_AMSYNTH << " not installed";
    std::string out = scratchFolder("amsynth-cli") + "/a4.wav";
    CommandResult r =
        render({KOLVA_AMSYNTH, "--notes", "A4@0+1", "--rate", "44100", "-o", out}, kNoLeakCheckEnv);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WavData wav;
    ASSERT_TRUE(readWav(out, wav));
    ASSERT_EQ(wav.frames(), 2 * 44100);
    for (float s : wav.samples)
        ASSERT_TRUE(std::isfinite(s));
    EXPECT_NEAR(zeroCrossingFrequency(wav, 0, 4410, 40000), 440.0, 440.0 * 0.02);
    EXPECT_EQ(reportValue(r.out, "non-finite samples"), "0");
}

} // namespace
} // namespace kolva::test
