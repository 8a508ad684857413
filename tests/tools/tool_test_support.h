#pragma once
// Helpers for the render tool tests: running a program as a child process, reading WAV
// files back and a simple pitch estimate.

#include <string>
#include <vector>

namespace kolva::test {

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args`; `extraEnv` entries ("NAME=value") are added to the environment.
CommandResult runCommand(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnv = {});

struct WavData {
    int sampleRate = 0;
    int channels = 0;
    int format = 0;             // libsndfile format code
    std::vector<float> samples; // interleaved
    long frames() const { return channels > 0 ? static_cast<long>(samples.size()) / channels : 0; }
    float at(long frame, int channel) const { return samples[frame * channels + channel]; }
};

bool readWav(const std::string& path, WavData& wav);

// Frequency from upward zero crossings of one channel over [begin, end) frames.
double zeroCrossingFrequency(const WavData& wav, int channel, long begin, long end);

// A fresh, empty folder inside the test's private temporary home.
std::string scratchFolder(const std::string& name);

} // namespace kolva::test
