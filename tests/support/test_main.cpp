// Test entry point: every suite runs with HOME and the XDG folders pointing into a private
// temporary folder, so no test ever reads or writes the real user's configuration.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

class PrivateHome : public ::testing::Environment {
public:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kolva-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        root_ = tmpl;
        ::setenv("HOME", root_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (root_ / "cache").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

private:
    std::filesystem::path root_;
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new PrivateHome);
    return RUN_ALL_TESTS();
}
