// The built Kolva.so as a host sees it, through kolva-render.

#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kolva::test {
namespace {

TEST(KolvaPlugin, InfoShowsTheInterfaceItPromises) {
    CommandResult r = runCommand(KOLVA_RENDER_EXE, {KOLVA_PLUGIN, "--info"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(reportValue(r.out, "magic"), "VstP");
    EXPECT_EQ(reportValue(r.out, "numPrograms"), "0");
    EXPECT_EQ(reportValue(r.out, "numParams"), "725");
    EXPECT_EQ(reportValue(r.out, "numInputs"), "0");
    EXPECT_EQ(reportValue(r.out, "numOutputs"), "2");
    EXPECT_EQ(reportValue(r.out, "uniqueID").substr(0, 4), "Kol2");
    EXPECT_EQ(reportValue(r.out, "plugCategory"), "2 (synth)");
    EXPECT_EQ(reportValue(r.out, "output 0").rfind("\"Kolva1\"", 0), 0u);
    EXPECT_EQ(reportValue(r.out, "output 1").rfind("\"Kolva2\"", 0), 0u);
    EXPECT_EQ(reportValue(r.out, "canDo receiveVstEvents"), "1");
    EXPECT_EQ(reportValue(r.out, "canDo sendVstEvents"), "-1");
    // Kolva answers no parameter names; the report adds the keys of its own table.
    EXPECT_NE(reportValue(r.out, "parameter 0").find("key mode"), std::string::npos) << r.out;
}

TEST(KolvaPlugin, RendersTheDemo) {
    std::string out = scratchFolder("kolva-demo") + "/demo.wav";
    CommandResult r = runCommand(KOLVA_RENDER_EXE, {KOLVA_PLUGIN, KOLVA_DEMO_MIDI, "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WavData wav;
    ASSERT_TRUE(readWav(out, wav));
    EXPECT_EQ(wav.channels, 2);
    EXPECT_GT(wav.frames(), 8 * wav.sampleRate); // the demo lasts 8.8 s plus the tail
    for (float s : wav.samples)
        ASSERT_TRUE(std::isfinite(s));
    EXPECT_EQ(reportValue(r.out, "non-finite samples"), "0");
}

} // namespace
} // namespace kolva::test
