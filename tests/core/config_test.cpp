// The shared configuration file: acceptance rules on load, the init preset blob, change
// detection between instances, legacy settings files, and failures that must leave the
// previous state (fields or file) intact.

#include "core/config.h"

#include "util/base64.h"
#include "util/compression.h"
#include "util/json_text.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kolva {
namespace {

namespace fs = std::filesystem;

// A fresh data folder per test, inside the private test HOME.
fs::path freshFolder() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    fs::path folder =
        fs::path(std::getenv("HOME")) / "cfg" / info->test_suite_name() / info->name();
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

float sampleValue(std::size_t i) {
    return static_cast<float>(i % 97) / 128.0f + 0.001f;
}

// Little-endian floats sampleValue(0..), truncated to 'bytes' bytes.
std::vector<std::uint8_t> floatBytes(std::size_t bytes) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; out.size() < bytes; ++i) {
        const float v = sampleValue(i);
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        for (int b = 0; b < 4 && out.size() < bytes; ++b)
            out.push_back(static_cast<std::uint8_t>(bits >> (8 * b)));
    }
    return out;
}

std::string blob(const std::vector<std::uint8_t>& bytes) {
    return base64Encode(*rawDeflate(bytes));
}

std::string presetJson(const std::string& name, const std::string& params) {
    return R"({"default_preset":{"name":")" + name + R"(","params":")" + params + R"("}})";
}

std::unique_ptr<Config> loaded(const fs::path& folder, const std::string& json) {
    writeText(folder / Config::kFileName, json);
    auto config = std::make_unique<Config>(folder);
    EXPECT_TRUE(config->load(true));
    return config;
}

// --- legacy settings files -------------------------------------------------------------------

std::string legacyFile(std::int32_t version, std::int32_t scale, std::int32_t perf,
                       std::int32_t theme, std::int32_t expand, const std::string& path,
                       bool terminated = true) {
    std::string out;
    for (std::int32_t v : {version, scale, perf, theme, expand})
        for (int b = 0; b < 4; ++b)
            out.push_back(static_cast<char>(static_cast<std::uint32_t>(v) >> (8 * b)));
    out += path;
    if (terminated) out.push_back('\0');
    return out;
}

TEST(ConfigLoad, OutOfRangeValuesAreReplacedAsTheTableSays) {
    using Get = std::function<double(const Config&)>;
    const Get scale = [](const Config& c) { return c.guiScaleIndex(); };
    const Get perf = [](const Config& c) { return c.showPerfPanel(); };
    const Get theme = [](const Config& c) { return c.themeId(); };
    const Get expand = [](const Config& c) { return c.expandFactory(); };
    const Get init = [](const Config& c) { return c.applyInitToCurrent(); };
    const Get legacy = [](const Config& c) { return c.convertLegacyOnImport(); };
    const Get count = [](const Config& c) { return c.aiPresetCount(); };
    const Get s0 = [](const Config& c) { return c.aiSlider(0); };
    const Get s3 = [](const Config& c) { return c.aiSlider(3); };
    const Get weight = [](const Config& c) { return c.aiWeight(); };
    struct Case {
        std::string json;
        Get get;
        double expected;
    };
    const Case cases[] = {
        {R"({"gui_scale_index":9})", scale, 0},
        {R"({"gui_scale_index":5})", scale, 5},
        {R"({"gui_scale_index":-1})", scale, 0},
        {R"({"gui_scale_index":4294967298})", scale, 0},
        {R"({"show_perf_panel":2})", perf, 1},
        {R"({"show_perf_panel":-1})", perf, 1},
        {R"({"show_perf_panel":0})", perf, 0},
        {R"({"theme_id":-1})", theme, 0},
        {R"({"theme_id":4})", theme, 4},
        {R"({"theme_id":5})", theme, 0},
        {R"({"expand_factory":5})", expand, -1},
        {R"({"expand_factory":-2})", expand, -1},
        {R"({"expand_factory":-1})", expand, -1},
        {R"({"expand_factory":1})", expand, 1},
        {R"({"apply_init_to_current":7})", init, 1},
        {R"({"apply_init_to_current":-3})", init, 1},
        {R"({"apply_init_to_current":0})", init, 0},
        {R"({})", init, 1},
        {R"({"convert_legacy_on_import":-5})", legacy, -5},
        {R"({})", legacy, 1},
        {R"({"ai":{"presetCount":-7}})", count, -7},
        {R"({"ai":{"s0":-4}})", s0, 0},
        {R"({"ai":{"s3":300}})", s3, 255},
        {R"({"ai":{"s3":17}})", s3, 17},
        {R"({"ai":{"weight":-1}})", weight, 0},
        {R"({"ai":{"weight":150}})", weight, 100},
        {R"({"ai":{"weight":42.5}})", weight, 42.5},
        {R"({"ai":{"weight":1e300}})", weight, 100},
    };
    const fs::path folder = freshFolder();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(c.get(*loaded(folder, c.json)), c.expected);
    }
}

TEST(ConfigLoad, SavingWithoutConfirmationSwitchesTheConfirmationOff) {
    struct Case {
        bool confirm, withoutConfirm, expectConfirm;
    };
    const fs::path folder = freshFolder();
    for (const Case c :
         {Case{true, true, false}, Case{true, false, true}, Case{false, true, false}}) {
        const std::string json = std::string(R"({"confirm_saving_changes":)") +
                                 (c.confirm ? "true" : "false") + R"(,"save_changes_wo_confirm":)" +
                                 (c.withoutConfirm ? "true" : "false") + "}";
        SCOPED_TRACE(json);
        auto config = loaded(folder, json);
        EXPECT_EQ(config->confirmSavingChanges(), c.expectConfirm);
        EXPECT_EQ(config->saveChangesWithoutConfirm(), c.withoutConfirm);
    }
}

TEST(ConfigLoad, InitPresetBlobFillsAsManyValuesAsItHolds) {
    std::vector<std::uint8_t> huge(70000, 0); // inflates past any sensible size
    struct Case {
        const char* what;
        std::string json;
        std::size_t filled; // values equal to sampleValue(i); the rest must be zero
    };
    const Case cases[] = {
        {"100 bytes", presetJson("n", blob(floatBytes(100))), 25},
        {"full", presetJson("n", blob(floatBytes(2900))), 725},
        {"longer than needed", presetJson("n", blob(floatBytes(4000))), 725},
        {"7 bytes", presetJson("n", blob(floatBytes(7))), 1},
        {"not base64", presetJson("n", "@@@@"), 0},
        {"not deflate", presetJson("n", base64Encode(floatBytes(100))), 0},
        {"inflates too far", presetJson("n", blob(huge)), 0},
        {"no name", R"({"default_preset":{"params":")" + blob(floatBytes(100)) + R"("}})", 0},
        {"no params", R"({"default_preset":{"name":"n"}})", 0},
        {"params not a string", R"({"default_preset":{"name":"n","params":[1,2]}})", 0},
    };
    const fs::path folder = freshFolder();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Config config(folder);
        // Start from a full preset so that "all zero" really means the load cleared it.
        std::array<float, Config::kParamCount> ones;
        ones.fill(1.0f);
        config.setDefaultPreset("old", ones);
        writeText(folder / Config::kFileName, c.json);
        ASSERT_TRUE(config.load(true));
        const auto values = config.defaultPresetParams();
        for (std::size_t i = 0; i < values.size(); ++i)
            ASSERT_EQ(values[i], i < c.filled ? sampleValue(i) : 0.0f) << i;
    }
}

TEST(ConfigLoad, PresetNameIsCutTo24BytesOnACharacterBoundary) {
    const std::string thirty = "abcdefghijklmnopqrstuvwxyz0123";
    const std::string euro = "\xE2\x82\xAC"; // three bytes
    struct Case {
        std::string name, expected;
    };
    const Case cases[] = {
        {thirty, thirty.substr(0, 24)},
        {thirty.substr(0, 24), thirty.substr(0, 24)},
        {std::string(22, 'x') + euro + "yy", std::string(22, 'x')},
        {std::string(21, 'x') + euro + "yy", std::string(21, 'x') + euro},
    };
    const fs::path folder = freshFolder();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto config = loaded(folder, presetJson(c.name, blob(floatBytes(8))));
        EXPECT_EQ(config->defaultPresetName(), c.expected);
        config->setDefaultPreset(c.name, {});
        EXPECT_EQ(config->defaultPresetName(), c.expected);
    }
}

// Missing or mistyped keys take their defaults (scale 1, performance section shown, factory
// folder state -1).
TEST(ConfigLoad, WrongJsonTypesReadAsMissingKeys) {
    const char* texts[] = {
        R"({"gui_scale_index":"3","show_perf_panel":0.5,"theme_id":true,"expand_factory":null,
            "workspace_dir":5,"default_author":[],"default_vendor":{},"confirm_saving_changes":1,
            "save_changes_wo_confirm":"true","apply_init_to_current":"0",
            "convert_legacy_on_import":false,"sale_check_time":"x","sale_end_time":1,
            "default_preset":"name","ai":[1,2]})",
        R"({"default_preset":{"name":7,"params":7},"ai":{"net":1,"presetCount":"9","s0":"9",
            "s1":1.5,"weight":"50"}})",
        R"({"ai":null,"default_preset":null})",
    };
    const fs::path folder = freshFolder();
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const auto owner = loaded(folder, text);
        const Config& config = *owner;
        EXPECT_EQ(config.guiScaleIndex(), 1);
        EXPECT_EQ(config.showPerfPanel(), 1);
        EXPECT_EQ(config.themeId(), 0);
        EXPECT_EQ(config.expandFactory(), -1);
        EXPECT_EQ(config.workspaceDir(), folder / "Banks" / "");
        EXPECT_EQ(config.defaultAuthor(), "");
        EXPECT_EQ(config.defaultVendor(), "");
        EXPECT_FALSE(config.confirmSavingChanges());
        EXPECT_FALSE(config.saveChangesWithoutConfirm());
        EXPECT_EQ(config.applyInitToCurrent(), 1);
        EXPECT_EQ(config.convertLegacyOnImport(), 1);
        EXPECT_EQ(config.saleCheckTime(), 0.0);
        EXPECT_EQ(config.defaultPresetName(), "");
        EXPECT_EQ(config.aiNet(), "");
        EXPECT_EQ(config.aiPresetCount(), 0);
        EXPECT_EQ(config.aiSlider(0), 0);
        EXPECT_EQ(config.aiSlider(1), 0);
        EXPECT_EQ(config.aiWeight(), 0.0);
    }
}

TEST(ConfigLoad, UnparsableFilesLeaveTheFieldsUnchanged) {
    std::string oversized = R"({"theme_id":1})";
    oversized.insert(1, Config::kMaxFileBytes, ' ');
    const std::string bad[] = {
        "{ not json", "", "[1,2]", "42", std::string(200, '[') + std::string(200, ']'), oversized};
    const fs::path folder = freshFolder();
    for (const std::string& text : bad) {
        SCOPED_TRACE(text.substr(0, 30));
        auto config =
            loaded(folder, R"({"theme_id":3,"default_author":"Ann","workspace_dir":"/w"})");
        writeText(folder / Config::kFileName, text);
        config->load(true);
        EXPECT_EQ(config->themeId(), 3);
        EXPECT_EQ(config->defaultAuthor(), "Ann");
        EXPECT_EQ(config->workspaceDir(), fs::path("/w"));
    }

    // Something other than a plain file under the name is never opened (a FIFO would block).
    auto config = loaded(folder, R"({"theme_id":3})");
    fs::remove(folder / Config::kFileName);
    ASSERT_EQ(::mkfifo((folder / Config::kFileName).c_str(), 0600), 0);
    EXPECT_TRUE(config->load(false));
    EXPECT_EQ(config->themeId(), 3);
    fs::remove(folder / Config::kFileName);
    ASSERT_EQ(::mkfifo((folder / "kolva.cfg").c_str(), 0600), 0);
    writeText(folder / "kolva3.cfg", legacyFile(2, 1, 1, 2, 0, ""));
    EXPECT_TRUE(config->load(false));
    EXPECT_EQ(config->themeId(), 2);
}

TEST(ConfigSave, WritesEveryKeyInTableOrderAndReadsItBack) {
    const fs::path folder = freshFolder();
    Config writer(folder);
    std::array<float, Config::kParamCount> values;
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = sampleValue(i);
    writer.setGuiScaleIndex(2);
    writer.setShowPerfPanel(0);
    writer.setThemeId(4);
    writer.setExpandFactory(1);
    writer.setWorkspaceDir("/music/kolva");
    writer.setDefaultAuthor("Ann \xC3\xA9");
    writer.setDefaultVendor("V");
    writer.setSaveChangesWithoutConfirm(true);
    writer.setApplyInitToCurrent(0);
    writer.setConvertLegacyOnImport(0);
    writer.setSaleCheckTime(1700000000.5);
    writer.setSaleEndTime("2024-12-01");
    writer.setDefaultPreset("Init pad", values);
    writer.setAiNet("n");
    writer.setAiModel("m");
    writer.setAiCorrector("c");
    writer.setAiMode("md");
    writer.setAiTimbre("t");
    writer.setAiPresetCount(6);
    for (int i = 0; i < 4; ++i)
        writer.setAiSlider(i, 10 + i);
    writer.setAiWeight(12.5);
    ASSERT_TRUE(writer.save());

    auto json = parseJson(readText(folder / Config::kFileName));
    ASSERT_TRUE(json && json->is_object());
    const auto keys = [](const OrderedJson& object) {
        std::vector<std::string> out;
        for (auto it = object.begin(); it != object.end(); ++it)
            out.push_back(it.key());
        return out;
    };
    EXPECT_EQ(keys(*json),
              (std::vector<std::string>{
                  "gui_scale_index", "show_perf_panel", "theme_id", "expand_factory",
                  "workspace_dir", "default_author", "default_vendor", "confirm_saving_changes",
                  "save_changes_wo_confirm", "apply_init_to_current", "convert_legacy_on_import",
                  "sale_check_time", "sale_end_time", "default_preset", "ai"}));
    EXPECT_EQ(keys((*json)["default_preset"]), (std::vector<std::string>{"name", "params"}));
    EXPECT_EQ(keys((*json)["ai"]),
              (std::vector<std::string>{"net", "model", "corrector", "mode", "timbre",
                                        "presetCount", "s0", "s1", "s2", "s3", "weight"}));
    EXPECT_TRUE((*json)["theme_id"].is_number_integer());
    EXPECT_TRUE((*json)["save_changes_wo_confirm"].is_boolean());
    // The blob is the 2900 value bytes, deflated, in Base64.
    auto packed = base64Decode((*json)["default_preset"]["params"].get<std::string>());
    ASSERT_TRUE(packed);
    auto raw = rawInflate(*packed, 1 << 16);
    ASSERT_TRUE(raw);
    EXPECT_EQ(*raw, floatBytes(2900));

    Config reader(folder);
    ASSERT_TRUE(reader.load(false));
    EXPECT_EQ(reader.guiScaleIndex(), 2);
    EXPECT_EQ(reader.showPerfPanel(), 0);
    EXPECT_EQ(reader.themeId(), 4);
    EXPECT_EQ(reader.expandFactory(), 1);
    EXPECT_EQ(reader.workspaceDir(), fs::path("/music/kolva"));
    EXPECT_EQ(reader.defaultAuthor(), "Ann \xC3\xA9");
    EXPECT_EQ(reader.defaultVendor(), "V");
    EXPECT_FALSE(reader.confirmSavingChanges());
    EXPECT_TRUE(reader.saveChangesWithoutConfirm());
    EXPECT_EQ(reader.applyInitToCurrent(), 0);
    EXPECT_EQ(reader.convertLegacyOnImport(), 0);
    EXPECT_EQ(reader.saleCheckTime(), 1700000000.5);
    EXPECT_EQ(reader.saleEndTime(), "2024-12-01");
    EXPECT_EQ(reader.defaultPresetName(), "Init pad");
    EXPECT_EQ(reader.defaultPresetParams(), values);
    EXPECT_EQ(reader.aiNet() + reader.aiModel() + reader.aiCorrector() + reader.aiMode() +
                  reader.aiTimbre(),
              "nmcmdt");
    EXPECT_EQ(reader.aiPresetCount(), 6);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(reader.aiSlider(i), 10 + i);
    EXPECT_EQ(reader.aiWeight(), 12.5);
}

TEST(ConfigSave, InstancesOnOneFolderSeeEachOthersSavesAndSkipUnchangedFiles) {
    const fs::path folder = freshFolder();
    Config a(folder), b(folder);
    ASSERT_TRUE(a.load(false));  // no file yet: written with the defaults
    EXPECT_FALSE(a.load(false)); // its own write is not a change
    ASSERT_TRUE(b.load(false));
    EXPECT_FALSE(b.load(false));
    EXPECT_EQ(b.fileReadCount(), 1u);

    // Files of one length whose writes land in one timestamp tick (pinned here): only the
    // replaced inode tells them apart.
    const fs::path file = folder / Config::kFileName;
    const auto tick = fs::last_write_time(file);
    for (int theme : {1, 2, 3}) {
        a.setThemeId(theme);
        ASSERT_TRUE(a.save());
        fs::last_write_time(file, tick);
        EXPECT_TRUE(b.load(false)) << theme;
        EXPECT_EQ(b.themeId(), theme);
    }
    EXPECT_EQ(b.fileReadCount(), 4u);
    EXPECT_FALSE(b.load(false));
    EXPECT_TRUE(b.load(true));
    EXPECT_EQ(b.fileReadCount(), 5u);
}

TEST(ConfigSave, MissingFileGivesDefaultsInThePlatformFolders) {
    Config config; // $XDG_CONFIG_HOME/Mornside, cache under $XDG_CACHE_HOME
    const fs::path appData = std::getenv("XDG_CONFIG_HOME");
    const fs::path cache = std::getenv("XDG_CACHE_HOME");
    EXPECT_EQ(config.filePath(), appData / "Mornside" / "kolva_config.json");
    EXPECT_EQ(config.cacheFolder(), cache / "Caches" / "Mornside" / "Kolva" / "");
    EXPECT_TRUE(fs::is_directory(config.cacheFolder()));
    fs::remove(config.filePath());
    ASSERT_TRUE(config.load(false));
    EXPECT_TRUE(fs::exists(config.filePath()));
    EXPECT_EQ(config.guiScaleIndex(), 1);
    EXPECT_EQ(config.showPerfPanel(), 1);
    EXPECT_EQ(config.expandFactory(), -1);
    EXPECT_EQ(config.applyInitToCurrent(), 1);
    EXPECT_EQ(config.workspaceDir(), appData / "Mornside" / "Banks" / "");

    // A file that vanishes after being read also means the defaults, written out again.
    writeText(config.filePath(), R"({"theme_id":3,"gui_scale_index":2})");
    ASSERT_TRUE(config.load(true));
    ASSERT_EQ(config.themeId(), 3);
    fs::remove(config.filePath());
    ASSERT_TRUE(config.load(false));
    EXPECT_EQ(config.themeId(), 0);
    EXPECT_EQ(config.guiScaleIndex(), 1);
    EXPECT_TRUE(fs::exists(config.filePath()));

    // A cache base that cannot hold folders falls back to the application data folder.
    const fs::path folder = freshFolder();
    writeText(folder / "plainfile", "x");
    Config fallback(folder / "Mornside", folder / "plainfile");
    EXPECT_EQ(fallback.cacheFolder(), folder / "Caches" / "Mornside" / "Kolva" / "");
    EXPECT_TRUE(fs::is_directory(fallback.cacheFolder()));
}

TEST(ConfigSave, FailedWritesReturnFalseAndKeepTheOldFile) {
    const fs::path folder = freshFolder();
    writeText(folder / "plainfile", "x");
    Config underFile(folder / "plainfile" / "Mornside");
    EXPECT_FALSE(underFile.save());

    // The target name is taken by a folder: the rename fails, nothing inside is touched.
    fs::create_directories(folder / "blocked" / Config::kFileName);
    writeText(folder / "blocked" / Config::kFileName / "keep", "kept");
    Config blocked(folder / "blocked");
    EXPECT_FALSE(blocked.save());
    EXPECT_EQ(readText(folder / "blocked" / Config::kFileName / "keep"), "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "blocked"), {}), 1);

    // A write cut short (file size limit, as a full disk would): the old file stays whole.
    Config writer(folder / "limited");
    ASSERT_TRUE(writer.save());
    const std::string before = readText(writer.filePath());
    writer.setDefaultAuthor(std::string(4096, 'a'));
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto* previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 1024;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool saved = writer.save();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(saved);
    EXPECT_EQ(readText(writer.filePath()), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "limited"), {}), 1);
}

TEST(ConfigSave, ReadOnlyFolderKeepsTheOldFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
    const fs::path folder = freshFolder();
    Config writer(folder);
    ASSERT_TRUE(writer.save());
    const std::string before = readText(writer.filePath());
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    writer.setThemeId(3);
    EXPECT_FALSE(writer.save());
    fs::permissions(folder, fs::perms::owner_all);
    EXPECT_EQ(readText(writer.filePath()), before);
}

TEST(ConfigSave, ConcurrentWritersNeverExposeAHalfWrittenFile) {
    const fs::path folder = freshFolder();
    Config a(folder), b(folder);
    ASSERT_TRUE(a.save());
    std::atomic<bool> stop{false};
    std::atomic<int> unparsable{0};
    std::thread reader([&] {
        while (!stop) {
            if (!parseJson(readText(folder / Config::kFileName))) ++unparsable;
        }
    });
    std::thread writerB([&] {
        for (int i = 0; i < 100; ++i) {
            b.setDefaultAuthor(std::string(static_cast<std::size_t>(i) * 50, 'b'));
            b.save();
            b.load(false);
        }
    });
    for (int i = 0; i < 100; ++i) {
        a.setThemeId(i % 5);
        a.save();
        a.load(false);
    }
    writerB.join();
    stop = true;
    reader.join();
    EXPECT_EQ(unparsable, 0);
    ASSERT_TRUE(a.load(true));
    EXPECT_LE(a.themeId(), 4);
}

TEST(ConfigLegacy, OldSettingsFilesAreMigratedIntoTheJsonFile) {
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, std::string>> files;
        int scale, perf, theme, expand;
        std::string workspace; // empty: the default Banks folder
    };
    const std::string longPath = "/" + std::string(2000, 'p');
    const Case cases[] = {
        {"version 2",
         {{"kolva2.cfg", legacyFile(2, 3, 0, 7, 1, "/old/ws")}},
         3,
         0,
         0,
         1,
         "/old/ws"},
        {"ranges", {{"kolva.cfg", legacyFile(2, 9, 5, 4, 2, "")}}, 0, 1, 4, -1, ""},
        {"other version keeps the defaults",
         {{"kolva.cfg", legacyFile(1, 3, 0, 2, 0, "/v1")}},
         1,
         1,
         0,
         -1,
         "/v1"},
        {"later file wins",
         {{"kolva.cfg", legacyFile(2, 2, 1, 2, 0, "/a")},
          {"kolva3.cfg", legacyFile(2, 4, 1, 3, 0, "")}},
         4,
         1,
         3,
         0,
         "/a"},
        {"truncated header",
         {{"kolva.cfg", legacyFile(2, 3, 0, 2, 1, "/x").substr(0, 10)}},
         1,
         1,
         0,
         -1,
         ""},
        {"unterminated path",
         {{"kolva.cfg", legacyFile(2, 1, 1, 1, 1, "/short", false)}},
         1,
         1,
         1,
         1,
         "/short"},
        {"overlong path",
         {{"kolva2.cfg", legacyFile(2, 1, 1, 1, 1, longPath)}},
         1,
         1,
         1,
         1,
         longPath.substr(0, 1023)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path folder = freshFolder();
        for (const auto& [name, bytes] : c.files)
            writeText(folder / name, bytes);
        Config config(folder);
        ASSERT_TRUE(config.load(false));
        const std::string workspace =
            c.workspace.empty() ? (folder / "Banks" / "").string() : c.workspace;
        const auto check = [&](const Config& cfg) {
            EXPECT_EQ(cfg.guiScaleIndex(), c.scale);
            EXPECT_EQ(cfg.showPerfPanel(), c.perf);
            EXPECT_EQ(cfg.themeId(), c.theme);
            EXPECT_EQ(cfg.expandFactory(), c.expand);
            EXPECT_EQ(cfg.workspaceDir().string(), workspace);
        };
        check(config);
        ASSERT_TRUE(fs::exists(folder / Config::kFileName));
        Config again(folder);
        ASSERT_TRUE(again.load(false));
        check(again);
    }
}

TEST(ConfigSetters, ApplyTheSameRulesAsLoad) {
    Config config(freshFolder());
    config.setGuiScaleIndex(6);
    config.setShowPerfPanel(-1);
    config.setThemeId(5);
    config.setExpandFactory(2);
    config.setApplyInitToCurrent(9);
    config.setAiSlider(2, 999);
    config.setAiSlider(7, 5); // no such slider
    config.setAiWeight(std::nan(""));
    std::array<float, Config::kParamCount> values{};
    values[0] = std::nanf("");
    values[1] = 2.0f;
    values[2] = -1.0f;
    values[3] = 0.25f;
    config.setDefaultPreset("x", values);
    EXPECT_EQ(config.guiScaleIndex(), 0);
    EXPECT_EQ(config.showPerfPanel(), 1);
    EXPECT_EQ(config.themeId(), 0);
    EXPECT_EQ(config.expandFactory(), -1);
    EXPECT_EQ(config.applyInitToCurrent(), 1);
    EXPECT_EQ(config.aiSlider(2), 255);
    EXPECT_EQ(config.aiWeight(), 0.0);
    const auto stored = config.defaultPresetParams();
    EXPECT_EQ(stored[0], 0.0f);
    EXPECT_EQ(stored[1], 1.0f);
    EXPECT_EQ(stored[2], 0.0f);
    EXPECT_EQ(stored[3], 0.25f);
    config.setConfirmSavingChanges(true);
    config.setSaveChangesWithoutConfirm(true);
    EXPECT_FALSE(config.confirmSavingChanges());
    config.setConfirmSavingChanges(true);
    EXPECT_FALSE(config.saveChangesWithoutConfirm());
}

} // namespace
} // namespace kolva
