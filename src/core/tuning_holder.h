#pragma once
// The plug-in's current tuning: the scale degrees read from a ".scl" file (none means equal
// temperament), the selected file name, the reference note and the A4 frequency index. It
// builds the semitone table the engine's TuningMap plays, and writes and reads the "scala"
// state text. Also the scale folder where imported files are kept.
// Main/editor thread only; the engine receives the tuning through applyTo().

#include "core/scala_file.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kolva {

class TuningMap;

class TuningHolder {
public:
    static constexpr int kDefaultReferenceNote = 69;
    static constexpr int kDefaultA4Index = 4; // 440 Hz
    static constexpr int kA4IndexCount = 8;   // 432, 434, ... 446 Hz

    const std::vector<ScaleDegree>& degrees() const { return degrees_; }
    bool isEqualTemperament() const { return degrees_.empty(); }
    const std::string& description() const { return description_; }
    int declaredCount() const { return declaredCount_; }
    const std::string& selectedFile() const { return selectedFile_; }
    int referenceNote() const { return referenceNote_; }
    int a4Index() const { return a4Index_; }

    // N + 1 semitone values for N degrees: entry 0 is the unison, entry N the period.
    // Empty in equal temperament.
    std::vector<float> semitoneTable() const;

    // Reads a scale file. On failure sets `error` to the text shown to the user and keeps
    // the previous tuning; on success the degrees, description and file name are replaced.
    bool loadFile(const std::filesystem::path& path, std::string& error);
    // Back to equal temperament; the reference note and A4 index stay.
    void clear();
    void setReferenceNote(int note); // clamped to 0..127
    void setA4Index(int index);      // clamped to 0..7

    // Hands the scale (or equal temperament) and both settings to the engine. False when
    // the engine refused the table; its scale is then cleared.
    bool applyTo(TuningMap& map) const;

    // The "scala" member of the plug-in state: a JSON object with "microtuning",
    // "selected_file", "ref_note" and "a4_freq", in that order.
    std::string toStateText() const;
    // Replaces the whole tuning from a state text. False (tuning unchanged) for malformed
    // JSON, members of the wrong type or any unusable degree.
    bool fromStateText(std::string_view text);

private:
    std::vector<ScaleDegree> degrees_;
    std::string description_;
    int declaredCount_ = 0;
    std::string selectedFile_;
    int referenceNote_ = kDefaultReferenceNote;
    int a4Index_ = kDefaultA4Index;
};

// <plug-in data folder>/scl; empty when no data folder is known.
std::filesystem::path scaleFolder();

// Copies a valid scale file into the scale folder (under its own name, given the ".scl"
// extension when it has another one). On failure sets `error` to the text shown to the
// user. `storedName`, when given, receives the name of the copy.
bool importScale(const std::filesystem::path& source, std::string& error,
                 std::string* storedName = nullptr);

// The ".scl" file names in the scale folder, sorted; empty when the folder is missing.
std::vector<std::string> listScales();

} // namespace kolva
