#pragma once
// MIDI learn: which controller drives which parameter (or preset command). 132 controller
// entries, persisted after every change as 528 raw little-endian int32 bytes.
// lookup() runs on the audio thread when not armed (a plain array read). Arming and the
// learn/unlearn step save the file; they happen on the thread that armed the table (editor)
// or, for the one learning step, wherever the controller arrives: the save is handed off by
// the caller (see PluginBase), so lookup itself never touches files.

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>

namespace kolva {

class MidiLearnTable {
public:
    static constexpr int kControllers = 132;
    static constexpr int kUnbound = -1;
    static constexpr int kProgramSelect = -13; // controller value selects a program
    static constexpr int kPreviousPreset = -12;
    static constexpr int kNextPreset = -11;
    static constexpr std::size_t kFileBytes = kControllers * 4; // 528

    MidiLearnTable();

    void setFilePath(std::filesystem::path file) { file_ = std::move(file); }
    const std::filesystem::path& filePath() const { return file_; }

    // All entries unbound, then the default bindings applied.
    void reset();
    // Reads the table file; a missing or unreadable file (or one of the wrong size) leaves the
    // reset table. Returns true when the file was read.
    bool load();
    // Writes the table file atomically; false on failure (the file is then unchanged).
    bool save() const;

    // Arm learning for a parameter index, a preset command (-11/-12/-13) or -1 (unlearn).
    void arm(int pendingTarget);
    bool armed() const { return armed_.load(std::memory_order_acquire) != 0; }
    int pendingTarget() const { return pendingTarget_.load(std::memory_order_relaxed); }
    void setPendingTarget(int t) { pendingTarget_.store(t, std::memory_order_relaxed); }

    // For every incoming controller. Not armed: the binding. Armed: binds or unbinds
    // `controller` as described for learning, disarms, and reports through `changed` that the
    // table must be saved. Controllers outside 0..131 answer kUnbound.
    int lookup(int controller, bool* changed = nullptr);

    int binding(int controller) const;
    void bind(int controller, int target);
    void unbind(int controller);

    std::map<int, int>& defaultBindings() { return defaults_; }

    // Raw image as stored in the file (little-endian int32 per controller).
    std::array<unsigned char, kFileBytes> image() const;
    bool setImage(const unsigned char* bytes, std::size_t size);

private:
    std::array<std::atomic<std::int32_t>, kControllers> bindings_;
    std::atomic<std::int32_t> armed_{0};
    std::atomic<std::int32_t> pendingTarget_{-1};
    std::filesystem::path file_;
    std::map<int, int> defaults_;
};

// Range factor K for a controller learned on an enumerated parameter: the controller's
// 0..1 value is scaled by 0.001 x K so that it sweeps the first K options. 0 means "unscaled".
int learnedControllerOptions(int parameterIndex);

} // namespace kolva
