#include "tool_test_support.h"

#include <sys/wait.h>

#include <sndfile.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kolva::test {

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Single-quoted for the shell; arguments hold spaces and other shell characters.
std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

CommandResult runCommand(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnv) {
    static int counter = 0;
    std::string folder = scratchFolder("cmd" + std::to_string(++counter));
    std::string command = "env";
    for (const std::string& e : extraEnv)
        command += " " + quoted(e);
    command += " " + quoted(program);
    for (const std::string& a : args)
        command += " " + quoted(a);
    command += " >" + quoted(folder + "/stdout") + " 2>" + quoted(folder + "/stderr");
    int status = std::system(command.c_str());
    CommandResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = slurp(folder + "/stdout");
    result.err = slurp(folder + "/stderr");
    return result;
}

bool readWav(const std::string& path, WavData& wav) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return false;
    wav.sampleRate = info.samplerate;
    wav.channels = info.channels;
    wav.format = info.format;
    wav.samples.assign(static_cast<std::size_t>(info.frames * info.channels), 0.0f);
    sf_count_t got = sf_readf_float(file, wav.samples.data(), info.frames);
    sf_close(file);
    return got == info.frames;
}

double zeroCrossingFrequency(const WavData& wav, int channel, long begin, long end) {
    long crossings = 0;
    long first = -1, last = -1;
    for (long i = begin + 1; i < end; ++i) {
        if (wav.at(i - 1, channel) < 0.0f && wav.at(i, channel) >= 0.0f) {
            if (first < 0) first = i;
            last = i;
            ++crossings;
        }
    }
    if (crossings < 2) return 0.0;
    return static_cast<double>(crossings - 1) * wav.sampleRate / static_cast<double>(last - first);
}

std::string scratchFolder(const std::string& name) {
    const char* home = std::getenv("HOME");
    std::filesystem::path p =
        std::filesystem::path(home != nullptr ? home : "/tmp") / "tool-tests" / name;
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p.string();
}

} // namespace kolva::test
