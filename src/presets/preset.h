#pragma once
// Preset: one sound. 725 normalised parameter values in the index order of the parameter
// table, a name of at most 24 characters, the two legacy text fields and the browser's
// metadata. Plain data; callers serialise access (the Bank's owner, the chunk's lock).

#include "core/parameter_defs.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kolva {

class ParameterTable;

inline constexpr int kPresetNameField = 25;       // 24 characters and a terminating zero
inline constexpr int kPresetLegacyNotesField = 251;
inline constexpr int kPresetMaxTags = 5;
inline constexpr int kPresetParameterBytes = kNumParameters * 4; // 2900

class Preset {
public:
    Preset();
    Preset(const Preset&) = default;
    Preset& operator=(const Preset&) = default;

    // ---- in the designed slot order ----
    virtual void setParameter(int index, float value);            // ignored outside 0..724
    virtual void setParameters(const float* source, int count, int first); // clipped to 725
    virtual float* parameters() { return params_.data(); }
    virtual void copyParameters(float* destination, int count) const; // at most 725
    virtual ~Preset() = default;
    virtual void setAuthor(std::string_view v) { author_ = v; }
    virtual void setVendor(std::string_view v) { vendor_ = v; }
    virtual void setIcon(std::string_view v) { icon_ = v; }
    virtual void setNotes(std::string_view v) { notes_ = v; }
    virtual void setTags(const std::vector<std::string>& tags); // keeps at most 5
    virtual void setTag(std::string_view tag);                    // one tag; empty clears
    virtual void setBank(std::string_view v) { bank_ = v; }
    virtual void setFavourite(bool v) { favourite_ = v; }
    virtual void setId(std::int32_t v) { id_ = v; }
    virtual void setPath(std::string_view v) { path_ = v; }
    virtual void setPathObject(std::string_view v) { pathObject_ = v; }
    virtual void setBrowserSlot(std::int32_t v) { browserSlot_ = v; }
    virtual const std::string& author() const { return author_; }
    virtual const std::string& vendor() const { return vendor_; }
    virtual const std::string& icon() const { return icon_; }
    virtual const std::string& notes() const { return notes_; }
    virtual const std::vector<std::string>& tags() const { return tags_; }
    virtual const std::string& bank() const { return bank_; }
    virtual bool favourite() const { return favourite_; }
    virtual std::int32_t id() const { return id_; }
    virtual const std::string& path() const { return path_; }
    virtual const std::string& pathObject() const { return pathObject_; }
    virtual std::int32_t browserSlot() const { return browserSlot_; }
    // SHA-256 (hex) of {"preset":{"params":[...]}} over the first 720 values x 1000, truncated.
    virtual std::string fingerprint() const;
    virtual int maxParameterCount() const { return kNumParameters; }
    virtual void setParameterCount(int n);
    virtual int parameterCount() const { return paramCount_; }
    // Out-of-range option indices and continuous values outside [0, 1] are repaired.
    virtual void sanitize(const ParameterTable& table);
    // Name, legacy notes and legacy category always; then `count` values (0 = all 725).
    virtual void copyFrom(const Preset& source, int count);
    virtual void setName(std::string_view name); // cut to 24 characters
    virtual void setNameChars(const char* name); // reads at most 24 characters
    virtual void setLegacyNotes(std::string_view notes); // cut to 250 characters
    virtual std::string name() const { return name_.data(); }
    virtual std::string legacyNotes() const { return legacyNotes_.data(); }
    virtual std::int32_t legacyCategory() const { return legacyCategory_; }
    virtual void setLegacyCategory(std::int32_t v) { legacyCategory_ = v; }
    virtual void setAllParameters(const float* values); // 725 values
    virtual int parameterBlockSize() const { return kPresetParameterBytes; }

    // The raw 25-byte name field (legacy formats and the conversion hash read it whole).
    const std::array<char, kPresetNameField>& nameField() const { return name_; }
    float parameter(int index) const { return index >= 0 && index < kNumParameters ? params_[index] : 0.0f; }

private:
    std::array<char, kPresetNameField> name_{};
    std::array<char, kPresetLegacyNotesField> legacyNotes_{};
    std::int32_t legacyCategory_ = 0;
    std::array<float, kNumParameters> params_{};
    std::int32_t paramCount_ = kNumParameters;
    std::string author_, vendor_, icon_, notes_;
    std::vector<std::string> tags_;
    std::string bank_;
    bool favourite_ = false;
    std::int32_t id_ = -2;
    std::string path_;
    std::string pathObject_;
    std::int32_t browserSlot_ = -1;
};

// Sanitising one value with the rules of Preset::sanitize (exposed for the formats).
float sanitizeParameterValue(const ParameterDef& def, float value);

} // namespace kolva
