// The host library driving amsynth, a third-party instrument, in process.

#include "host/block_renderer.h"
#include "host/vst_host.h"
#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

namespace kolva::host {
namespace {

using test::LeakCheckPause;
using test::WavData;

TEST(AmsynthHost, PlaysNotesAtTheirPitch) {
    if (!std::filesystem::exists(KOLVA_AMSYNTH)) GTEST_SKIP() << KOLVA_AMSYNTH << " not installed";
    LeakCheckPause pause; // amsynth leaks a little at creation; not ours to report
    constexpr double kRate = 44100.0;
    constexpr int kBlock = 256;
    std::string error;
    auto host = PluginHost::load(KOLVA_AMSYNTH, HostIdentity{}, error);
    ASSERT_TRUE(host) << error;
    EXPECT_EQ(host->effect().numOutputs, 2);
    host->open();
    host->setSampleRate(kRate);
    host->setBlockSize(kBlock);
    host->setActive(true);

    // A4 for the first second, then E5 (659.26 Hz) after a gap.
    std::vector<MidiMessage> messages = {
        {0.0, 0x90, 69, 100}, {1.0, 0x80, 69, 0}, {1.5, 0x90, 76, 100}, {2.5, 0x80, 76, 0}};
    BlockRenderer renderer(*host, TempoMap(120.0), messages);
    WavData wav;
    wav.sampleRate = static_cast<int>(kRate);
    wav.channels = 1;
    while (renderer.position() < 3 * kRate) {
        renderer.renderBlock(kBlock);
        wav.samples.insert(wav.samples.end(), renderer.left(), renderer.left() + kBlock);
    }
    host->setActive(false);

    float peak = 0.0f;
    for (float s : wav.samples) {
        ASSERT_TRUE(std::isfinite(s));
        peak = std::max(peak, std::fabs(s));
    }
    EXPECT_GT(peak, 0.05f);
    EXPECT_LE(peak, 4.0f);
    auto second = [&](double s) { return static_cast<long>(s * kRate); };
    EXPECT_NEAR(test::zeroCrossingFrequency(wav, 0, second(0.1), second(0.9)), 440.0, 440.0 * 0.02);
    EXPECT_NEAR(test::zeroCrossingFrequency(wav, 0, second(1.6), second(2.4)), 659.26,
                659.26 * 0.02);
    EXPECT_GT(renderer.cpuSeconds(), 0.0);
}

} // namespace
} // namespace kolva::host
