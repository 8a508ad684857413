// The shared library as a host uses it: loaded, instantiated, played and unloaded many times
// without leaving threads behind, and refusing bad hosts.

#include "core/vst/vst_abi.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <vector>

namespace {

int threadCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

VstIntPtr quietHost(AEffect*, int opcode, int, VstIntPtr, void*, float) {
    return opcode == kolva::vst::kHostVersion ? 2400 : 0;
}

VstIntPtr refusingHost(AEffect*, int, int, VstIntPtr, void*, float) { return 0; }

using Entry = AEffect* (*)(audioMasterCallback);

TEST(PluginLibrary, HundredLoadPlayUnloadCyclesLeaveNoThreads) {
    const int before = threadCount();
    std::vector<float> l(256), r(256);
    float* outs[2] = {l.data(), r.data()};
    for (int cycle = 0; cycle < 100; ++cycle) {
        void* lib = dlopen(KOLVA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
        auto entry = reinterpret_cast<Entry>(dlsym(lib, cycle % 2 ? "main" : "VSTPluginMain"));
        ASSERT_NE(entry, nullptr);
        AEffect* e = entry(&quietHost);
        ASSERT_NE(e, nullptr);
        e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
        e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
        e->dispatcher(e, effSetBlockSize, 0, 256, nullptr, 0.0f);
        e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
        e->processReplacing(e, nullptr, outs, 256);
        e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
        e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
        ASSERT_EQ(dlclose(lib), 0);
    }
    EXPECT_EQ(threadCount(), before);
}

TEST(PluginLibrary, RefusesHostsWithoutAVersionAndNullCallbacks) {
    void* lib = dlopen(KOLVA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto entry = reinterpret_cast<Entry>(dlsym(lib, "VSTPluginMain"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry(&refusingHost), nullptr);
    EXPECT_EQ(entry(nullptr), nullptr);
    // Only the two entry points are visible.
    EXPECT_EQ(dlsym(lib, "_ZN5kolva5KolvaC1EPFlP10_fstEffectiilPvfE"), nullptr);
    EXPECT_EQ(dlsym(lib, "createPluginInstance"), nullptr);
    dlclose(lib);
}

} // namespace
