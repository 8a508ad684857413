// kolva-render as a user runs it: exit codes, the WAV file and the summary, with the test
// plug-in, amsynth when installed and the built Kolva.so.

#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace kolva::test {
namespace {

const std::string kRender = KOLVA_RENDER_EXE;
const std::string kFake = KOLVA_FAKE_PLUGIN;

TEST(RenderTool, FailuresExitWithTheirCodeAndOneLine) {
    std::string folder = scratchFolder("failures");
    std::string out = folder + "/out.wav";
    std::ofstream(folder + "/garbage.mid") << "MThd garbage";
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* fragment;
    };
    const Case cases[] = {
        {{}, 2, "no plug-in given"},
        {{kFake}, 2, "no output file"},
        {{kFake, "-o", out, "--rate", "fast"}, 2, "--rate"},
        {{kFake, "-o", out, "--frobnicate"}, 2, "--frobnicate"},
        {{kFake, "-o", out, "--notes", "60@0"}, 2, "DURATION"},
        {{kFake, "-o", out, "--param", "volume=0.5"}, 2, "volume"},
        {{folder + "/missing.so", "-o", out}, 3, "cannot load plug-in"},
        {{kFake, "--host-product", "null", "-o", out}, 3, "did not create"},
        {{kFake, folder + "/missing.mid", "-o", out}, 4, "missing.mid"},
        {{kFake, folder + "/garbage.mid", "-o", out}, 4, "garbage.mid"},
        {{kFake, "--notes", "60@0+0.1", "-o", folder + "/no/out.wav"}, 5, "cannot create"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fragment);
        CommandResult r = runCommand(kRender, c.args);
        EXPECT_EQ(r.exitCode, c.code);
        EXPECT_EQ(r.err.rfind("kolva-render: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_NE(r.err.find(c.fragment), std::string::npos) << r.err;
    }
}

TEST(RenderTool, WritesTheBlocksTheHostRendered) {
    std::string out = scratchFolder("fake") + "/out.wav";
    // The test plug-in puts velocity/127 at each note-on, -0.5 at each note-off and
    // parameter "level" as a constant on the left, and the song position on the right.
    // Posing as "nan", it also spoils the first left sample of every block.
    CommandResult r =
        runCommand(kRender, {kFake, "--host-product", "nan", "--notes", "60@0.25+0.25:127",
                             "--rate", "48000", "--block", "512", "--tail", "0.5", "--tempo", "60",
                             "--param", "level=0.25", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WavData wav;
    ASSERT_TRUE(readWav(out, wav));
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.sampleRate, 48000);
    EXPECT_EQ(wav.format, 0x010006); // WAV, 32-bit float
    ASSERT_EQ(wav.frames(), 48000);  // last event at 0.5 s plus 0.5 s of tail
    EXPECT_FLOAT_EQ(wav.at(1, 0), 0.25f);
    EXPECT_FLOAT_EQ(wav.at(12000, 0), 1.25f);
    EXPECT_FLOAT_EQ(wav.at(24000, 0), -0.25f);
    // 60 bpm: one beat per second, reported per block of 512 frames.
    EXPECT_NEAR(wav.at(47999, 1), 93 * 512 / 48000.0, 1e-5);
    // 48000 frames are 94 blocks; the NaNs are counted and written as they are.
    EXPECT_NE(r.out.find("\nnon-finite samples: 94\n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::isnan(wav.at(512, 0)));
}

// amsynth, a third-party instrument, played through the whole tool.
TEST(RenderTool, RendersAmsynthAtThePitchAsked) {
    if (!std::filesystem::exists(KOLVA_AMSYNTH)) GTEST_SKIP() << KOLVA_AMSYNTH << " not installed";
    std::string out = scratchFolder("amsynth") + "/out.wav";
    // amsynth leaks a little at creation; not ours to report.
    CommandResult r = runCommand(
        kRender, {KOLVA_AMSYNTH, "--notes", "A4@0+1, E5@1.5+1", "--rate", "44100", "-o", out},
        {"ASAN_OPTIONS=detect_leaks=0"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WavData wav;
    ASSERT_TRUE(readWav(out, wav));
    ASSERT_EQ(wav.frames(), 44100 * 7 / 2);
    for (float s : wav.samples)
        ASSERT_TRUE(std::isfinite(s));
    EXPECT_NEAR(zeroCrossingFrequency(wav, 0, 4410, 39690), 440.0, 440.0 * 0.02);
    EXPECT_NEAR(zeroCrossingFrequency(wav, 0, 70560, 105840), 659.26, 659.26 * 0.02);
}

#ifdef KOLVA_PLUGIN
TEST(KolvaPlugin, InfoShowsTheInterfaceItPromises) {
    CommandResult r = runCommand(kRender, {KOLVA_PLUGIN, "--info"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // Whole lines, or the start of those that go on to describe the value.
    for (const char* line :
         {"magic: VstP\n", "numParams: 725\n", "numInputs: 0\n", "numOutputs: 2\n",
          "uniqueID: Kol2 (", "plugCategory: 2 (synth)\n", "output 0: \"Kolva1\"",
          "output 1: \"Kolva2\"", "canDo receiveVstEvents: 1\n", "canDo sendVstEvents: -1\n"})
        EXPECT_NE(r.out.find(std::string("\n") + line), std::string::npos) << line << r.out;
    // Kolva answers no parameter names; the report adds the keys of its own table.
    EXPECT_NE(r.out.find(" key mode\n"), std::string::npos) << r.out;
}

TEST(KolvaPlugin, RendersTheDemo) {
    std::string out = scratchFolder("kolva-demo") + "/demo.wav";
    CommandResult r = runCommand(kRender, {KOLVA_PLUGIN, KOLVA_DEMO_MIDI, "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WavData wav;
    ASSERT_TRUE(readWav(out, wav));
    EXPECT_EQ(wav.channels, 2);
    // Two bars at 120 bpm (4 s) and two at 100 bpm (4.8 s), then the default 1 s tail.
    EXPECT_EQ(wav.frames(), std::lround((4.0 + 4.8 + 1.0) * wav.sampleRate));
    double energy = 0.0;
    for (float s : wav.samples) {
        ASSERT_TRUE(std::isfinite(s));
        energy += static_cast<double>(s) * s;
    }
    // Audible: an RMS level well above -60 dBFS over the whole file.
    EXPECT_GT(std::sqrt(energy / static_cast<double>(wav.samples.size())), 1e-3);
}

TEST(KolvaPlugin, PlaysANoteAtItsPitch) {
    std::string out = scratchFolder("kolva-a4") + "/a4.wav";
    // A4, then E5; the default sound is osc1's saw, without pitch drift here.
    CommandResult r = runCommand(kRender, {KOLVA_PLUGIN, "--notes", "69@0+1, 76@1.6+0.8", "--rate",
                                           "44100", "--param", "drift=off", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WavData wav;
    ASSERT_TRUE(readWav(out, wav));
    EXPECT_NEAR(zeroCrossingFrequency(wav, 0, 4410, 39690), 440.0, 440.0 * 0.0005);
    EXPECT_NEAR(zeroCrossingFrequency(wav, 1, 4410, 39690), 440.0, 440.0 * 0.0005);
    EXPECT_NEAR(zeroCrossingFrequency(wav, 0, 75000, 101000), 659.255, 659.255 * 0.0005);
}
// The arpeggiator set up by name from the command line: a held C major triad becomes one note
// per eighth (12000 frames at 120 bpm and 48 kHz), rising C4 E4 G4 over two octaves, then again.
TEST(KolvaPlugin, ArpeggiatesAHeldChordSetByName) {
    std::string out = scratchFolder("kolva-arp") + "/arp.wav";
    CommandResult r = runCommand(
        kRender, {KOLVA_PLUGIN, "--notes", "60@0+3.1, 64@0+3.1, 67@0+3.1", "--rate", "48000",
                  "--param", "drift=off", "--param", "arp_on=on", "--param", "arp_speed=1/8",
                  "--param", "arp_octave=02", "--param", "arp_mode=Up", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WavData wav;
    ASSERT_TRUE(readWav(out, wav));
    const double c4 = 261.626;
    const double expected[] = {c4, c4 * 1.259921, c4 * 1.498307, 2 * c4, 2 * c4 * 1.259921,
                               2 * c4 * 1.498307, c4, c4 * 1.259921};
    for (int step = 0; step < 8; ++step) {
        const long start = step * 12000L;
        EXPECT_NEAR(zeroCrossingFrequency(wav, 0, start + 1500, start + 5500), expected[step],
                    expected[step] * 0.003)
            << "step " << step;
        // Gate 0.5: the note has ended well before the next step begins.
        double early = 0.0, late = 0.0;
        for (long f = start + 1000; f < start + 4000; ++f) early += std::fabs(wav.at(f, 0));
        for (long f = start + 9000; f < start + 11900; ++f) late += std::fabs(wav.at(f, 0));
        EXPECT_LT(late, early * 0.1) << "step " << step;
    }
}
#endif

} // namespace
} // namespace kolva::test
