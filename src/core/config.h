#pragma once
// Config: the user's preferences that outlive a plug-in instance (editor scale and theme, the
// workspace folder, default author and vendor, saving confirmations, the "init" preset and the
// online generator's settings). Every instance owns one Config, but all of them share one file,
// <appData>/Mornside/kolva_config.json, so a save in one instance is seen by the others on their
// next load(false).
//
// Threads: main and editor threads (and online-service workers). load() and save() are
// serialised by an internal critical section; every getter and setter takes the same lock, so
// any member may be called from any of those threads. Never called on the audio thread.

#include "platform/mutex.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace kolva {

class Config {
public:
    static constexpr int kParamCount = 725;
    static constexpr std::size_t kParamBytes = kParamCount * 4;
    static constexpr std::size_t kMaxNameBytes = 24;
    // Larger files are treated as unparsable (fields left as they are).
    static constexpr std::size_t kMaxFileBytes = 1u << 20;
    // Inflation cap for default_preset.params; only the first kParamBytes are ever used.
    static constexpr std::size_t kMaxInflatedParams = 64u * 1024u;
    static constexpr const char* kFileName = "kolva_config.json";

    // dataFolder: where kolva_config.json and the legacy kolva*.cfg live; empty means
    // platform::pluginDataFolder() (<appData>/Mornside). cacheBase: the folder that receives
    // Caches/Mornside/Kolva; empty means platform::localAppDataFolder(). The cache folder is
    // created here (falling back to the parent of dataFolder when the cache base fails).
    // Nothing is read from disk until the first load().
    explicit Config(std::filesystem::path dataFolder = {}, std::filesystem::path cacheBase = {});

    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    // Virtual slots, in this order: save, load, destructor.

    // Writes the whole file from the fields (temporary file + rename, never half-written).
    // False when the file could not be written; the previous file is then left intact.
    virtual bool save();
    // Reads the file. True when the fields were (re)loaded (also when the file did not parse:
    // the fields are then unchanged), false when the file was unchanged since the last read or
    // write and force is false. A missing file triggers the legacy migration and a save.
    virtual bool load(bool force);
    virtual ~Config();

    // --- stored keys (setters apply the same acceptance rules as load) -------------------
    int guiScaleIndex() const; // 0..5
    int showPerfPanel() const; // 0..1
    int themeId() const;       // 0..4
    int expandFactory() const; // -1, 0, 1
    std::filesystem::path workspaceDir() const;
    std::string defaultAuthor() const;
    std::string defaultVendor() const;
    bool confirmSavingChanges() const;
    bool saveChangesWithoutConfirm() const;
    int applyInitToCurrent() const;    // 0..1
    int convertLegacyOnImport() const; // as stored
    double saleCheckTime() const;
    std::string saleEndTime() const;
    std::string defaultPresetName() const; // at most kMaxNameBytes bytes
    std::array<float, kParamCount> defaultPresetParams() const;
    std::string aiNet() const;
    std::string aiModel() const;
    std::string aiCorrector() const;
    std::string aiMode() const;
    std::string aiTimbre() const;
    int aiPresetCount() const;
    int aiSlider(int index) const; // index 0..3 (else 0); value 0..255
    double aiWeight() const;       // 0..100

    void setGuiScaleIndex(int value);
    void setShowPerfPanel(int value);
    void setThemeId(int value);
    void setExpandFactory(int value);
    void setWorkspaceDir(const std::filesystem::path& folder);
    void setDefaultAuthor(const std::string& author);
    void setDefaultVendor(const std::string& vendor);
    // The two confirmation choices exclude each other: setting one true clears the other.
    void setConfirmSavingChanges(bool on);
    void setSaveChangesWithoutConfirm(bool on);
    void setApplyInitToCurrent(int value);
    void setConvertLegacyOnImport(int value);
    void setSaleCheckTime(double time);
    void setSaleEndTime(const std::string& time);
    // The name is cut to kMaxNameBytes (never inside a UTF-8 sequence).
    void setDefaultPreset(const std::string& name, const std::array<float, kParamCount>& values);
    void setAiNet(const std::string& value);
    void setAiModel(const std::string& value);
    void setAiCorrector(const std::string& value);
    void setAiMode(const std::string& value);
    void setAiTimbre(const std::string& value);
    void setAiPresetCount(int value);
    void setAiSlider(int index, int value); // index outside 0..3 is ignored
    void setAiWeight(double value);

    // --- locations ------------------------------------------------------------------------
    std::filesystem::path dataFolder() const;  // the folder holding the file
    std::filesystem::path filePath() const;    // <dataFolder>/kolva_config.json
    std::filesystem::path cacheFolder() const; // <cacheBase>/Caches/Mornside/Kolva/

    // How many times the JSON file was actually read from disk (unchanged files are skipped).
    std::uint64_t fileReadCount() const;

private:
    // Identity of the file as last read or written: a rename-based write replaces the inode,
    // and two writes may share one mtime tick, so all three are compared.
    struct FileStamp {
        bool valid = false;   // the path exists
        bool regular = false; // and is a plain file (never open a FIFO or a folder)
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::uint64_t size = 0;
        std::int64_t mtimeNs = 0;
        bool operator==(const FileStamp&) const = default;
    };

    struct Fields {
        int guiScaleIndex = 1;
        int showPerfPanel = 1;
        int themeId = 0;
        int expandFactory = -1;
        std::string workspaceDir;
        std::string defaultAuthor;
        std::string defaultVendor;
        bool confirmSavingChanges = false;
        bool saveChangesWithoutConfirm = false;
        int applyInitToCurrent = 1;
        int convertLegacyOnImport = 1;
        double saleCheckTime = 0.0;
        std::string saleEndTime;
        std::string defaultPresetName;
        std::array<float, kParamCount> defaultPresetParams{};
        std::string aiNet;
        std::string aiModel;
        std::string aiCorrector;
        std::string aiMode;
        std::string aiTimbre;
        int aiPresetCount = 0;
        std::array<int, 4> aiSliders{};
        double aiWeight = 0.0;
    };

    bool saveLocked();
    void migrateLegacyLocked();
    void applyJsonLocked(const std::string& text);
    void applyDefaultWorkspaceLocked();
    FileStamp stampOf(const std::filesystem::path& file) const;

    mutable Mutex mutex_;
    Fields fields_;
    FileStamp stamp_;
    bool haveStamp_ = false; // false until the first load or save
    std::uint64_t readCount_ = 0;
    std::filesystem::path dataFolder_;
    std::filesystem::path cacheFolder_;
};

} // namespace kolva
