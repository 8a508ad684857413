#include "tool_test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sndfile.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOLVA_TEST_HAS_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KOLVA_TEST_HAS_LSAN 1
#endif
#ifdef KOLVA_TEST_HAS_LSAN
#include <sanitizer/lsan_interface.h>
#endif

extern char** environ;

namespace kolva::test {

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

CommandResult runCommand(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnv) {
    static int counter = 0;
    std::string folder = scratchFolder("cmd" + std::to_string(++counter));
    std::string outPath = folder + "/stdout", errPath = folder + "/stderr";

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e)
        envp.push_back(*e);
    for (const std::string& e : extraEnv)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CommandResult result;
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        result.err = "cannot start " + program;
        return result;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = slurp(outPath);
    result.err = slurp(errPath);
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

std::string reportValue(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
    }
    return "<missing>";
}

#ifdef KOLVA_TEST_HAS_LSAN
LeakCheckPause::LeakCheckPause() {
    __lsan_disable();
}
LeakCheckPause::~LeakCheckPause() {
    __lsan_enable();
}
#else
LeakCheckPause::LeakCheckPause() = default;
LeakCheckPause::~LeakCheckPause() = default;
#endif

} // namespace kolva::test
