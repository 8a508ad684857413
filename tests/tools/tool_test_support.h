#pragma once
// Helpers shared by the host and render tool tests: running the render tool as a child
// process, reading WAV files back, a simple pitch estimate and pausing leak checks around
// third-party plug-ins that leak on purpose or by accident.

#include <string>
#include <vector>

namespace kolva::test {

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args`; `extraEnv` entries ("NAME=value") are added to the
// environment.
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

// Value of the line "key: value" in `text`, or "<missing>".
std::string reportValue(const std::string& text, const std::string& key);

// Allocations made while one of these lives are not reported as leaks (used around
// third-party plug-ins whose leaks are not ours to fix).
class LeakCheckPause {
public:
    LeakCheckPause();
    ~LeakCheckPause();
    LeakCheckPause(const LeakCheckPause&) = delete;
    LeakCheckPause& operator=(const LeakCheckPause&) = delete;
};

// Environment for a child process that loads a third-party plug-in with known leaks.
inline const std::vector<std::string> kNoLeakCheckEnv = {"ASAN_OPTIONS=detect_leaks=0"};

} // namespace kolva::test
