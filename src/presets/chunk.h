#pragma once
// Chunk: the host state of one instance. Saves the current sound, the editor settings, the
// tuning and the browser state as base64 text of deflated JSON, or, while legacy mode is set,
// as the old binary image. Restores either form: the text first, the binary image when the
// text cannot be used. A legacy image found in a project is also converted into preset files
// under "<workspace>/Old Projects Presets/".
//
// Threads: saveState and restoreState may be called from any host thread; they serialise on
// the chunk's critical section. The setters and getters are for the main/editor thread; the
// integer settings are atomics and the strings have a lock of their own, so that code called
// back during a restore (the preset manager model) may read them without deadlocking.

#include "platform/mutex.h"
#include "util/json_text.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kolva {

class Bank;
class Config;
class MetadataStorage;
class PresetManagerModel;
class TuningHolder;
using ScalaDataHolder = TuningHolder;

// The bytes handed to the host. They stay valid until the next save.
struct ChunkBuffer {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t capacity = 0;
};

class Chunk {
public:
    static constexpr const char* kVersion = "1.5.21-5399";
    // Inflated JSON larger than this is refused (real states are ~40 kB).
    static constexpr std::size_t kMaxInflatedBytes = 8u << 20;
    // Base64 text longer than this cannot inflate within the cap; it is not even decoded.
    static constexpr std::size_t kMaxTextBytes = 12u << 20;

    // Legacy image.
    static constexpr std::size_t kLegacyMinBytes = 32768;
    static constexpr std::size_t kLegacyBufferBytes = 1048832;
    static constexpr std::size_t kLegacyBufferMinCapacity = 1048576;
    static constexpr int kLegacyCount = 725;       // values per record when written
    static constexpr int kLegacyOldestCount = 438; // images without the "kbf" header
    static constexpr std::size_t kLegacyNotesBytes = 248;
    static constexpr const char* kLegacyFolder = "Old Projects Presets";

    Chunk();
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;

    // ---- virtual slots, in this order ----
    virtual ~Chunk();
    virtual int guiScale() const { return guiScale_.load(); }
    virtual void setGuiScale(int scale) { guiScale_.store(scale); }
    virtual int theme() const { return theme_.load(); }
    virtual void setTheme(int theme) { theme_.store(theme); }
    virtual void setSelectedBank(std::string_view bank);
    virtual std::string selectedBank() const;
    virtual void setPerfPanelShown(int shown) { perfPanelShown_.store(shown); }
    virtual int perfPanelShown() const { return perfPanelShown_.load(); }
    virtual void setFactoryExpanded(int state) { factoryExpanded_.store(state); }
    virtual int factoryExpanded() const { return factoryExpanded_.load(); }
    // The host's product name, lower-cased; names the folder of converted legacy presets.
    virtual void setSourceName(std::string_view name);
    virtual void setBank(Bank* bank);
    virtual void setTuningHolder(ScalaDataHolder* tuning);
    // Also takes gui scale (1-3 else 1), perf panel (non-zero) and theme (0-4 else 0).
    virtual void setConfig(Config* config);
    virtual void setDatabase(MetadataStorage* database);
    virtual void setPresetManagerModel(PresetManagerModel* model);
    // Fills the output buffer and points `out` at it; the length counts the terminating zero
    // (the legacy image ends with one too). 0 when nothing could be written.
    virtual std::int32_t saveState(void** out);
    // False (bank, tuning and settings untouched) when the data can be read neither way;
    // also false after reading a legacy image while legacy-only is set.
    virtual bool restoreState(const void* data, std::int32_t length);
    virtual std::int32_t saveState();
    virtual const std::uint8_t* outputBuffer() const { return buffer_.data.get(); }
    // The owner's controller values (saved and restored with the state); count <= 0 or a
    // null pointer unregisters them.
    virtual void registerControllerValues(float* values, int count);
    virtual float* controllerValues(int* count) const;
    virtual std::string plugUuid() const;

    // ---- legacy flags ----
    bool legacyMode() const { return legacyMode_.load(); }
    void setLegacyMode(bool on) { legacyMode_.store(on); }
    bool legacyOnly() const { return legacyOnly_.load(); }
    void setLegacyOnly(bool on) { legacyOnly_.store(on); }
    std::string sourceName() const;

protected:
    // The workspace database and the preset manager model are reached only through these.
    // MetadataStorage and PresetManagerModel are not linked into this library yet, so they
    // answer as if neither were there: no workspace uuid (a saved path object and browser
    // state are then never applied), files are not indexed (id -1), no row lookups and an
    // empty browser state. The owner overrides them once those classes are available.
    virtual std::string workspaceUuid();
    // Indexes one new preset file; its row id or -1.
    virtual std::int32_t indexPresetFile(const std::filesystem::path& file);
    // The full path of the preset with this row id (factory or workspace root + folder +
    // file name); nullopt when there is no such row.
    virtual std::optional<std::string> presetPathFromRow(std::int32_t id);
    virtual OrderedJson presetManagerState();
    virtual void restorePresetManagerState(const OrderedJson& state);

    MetadataStorage* database() const { return database_; }
    PresetManagerModel* presetManagerModel() const { return presetManager_; }

private:
    std::int32_t saveLocked();
    std::int32_t saveCurrentLayout();
    bool restoreCurrentLayout(std::span<const std::uint8_t> data);
    void applyDocument(const OrderedJson& doc);
    void applyPathObject(const OrderedJson& value);

    // chunk_legacy.cpp
    std::int32_t saveLegacyImage();
    bool restoreLegacyImage(std::span<const std::uint8_t> data);
    void applyLegacyTail(std::string_view text);
    bool convertLegacyPrograms(int count);

    std::uint8_t* reserve(std::size_t bytes);

    std::atomic<int> guiScale_{1};
    std::atomic<int> theme_{0};
    std::string selectedBank_;
    std::atomic<int> perfPanelShown_{1};
    std::atomic<int> factoryExpanded_{-1};
    Bank* bank_ = nullptr;
    ScalaDataHolder* tuning_ = nullptr;
    Config* config_ = nullptr;
    MetadataStorage* database_ = nullptr;
    PresetManagerModel* presetManager_ = nullptr;
    std::int32_t currentProgram_ = 0;
    std::string sourceName_;
    ChunkBuffer buffer_;
    std::atomic<bool> legacyMode_{false};
    std::atomic<bool> legacyOnly_{false};
    float* controllers_ = nullptr;
    int controllerCount_ = 0;
    std::string plugUuid_;
    Mutex lock_;
    mutable std::mutex textLock_; // selected bank, source name, plug uuid
};

// Helpers shared by the two layouts (not part of the interface).
namespace chunk_detail {
// An integer member as a 64-bit value; floats, strings and other types give nullopt.
std::optional<long long> jsonInteger(const OrderedJson& value);
// A member of an object, or nullptr when `object` is not an object or lacks it.
const OrderedJson* member(const OrderedJson& object, const char* name);
} // namespace chunk_detail

} // namespace kolva
