// The legacy binary images: single presets (.kpf) and banks (.kbf). Little-endian throughout,
// every field read and written byte by byte at its offset; nothing is read before its length
// has been checked.

#include "presets/bank.h"

#include "core/parameter_table.h"
#include "util/number_text.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>

namespace kolva {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Record layout shared by .kpf files and bank records.
constexpr std::size_t kNameOffset = 0;
constexpr std::size_t kNotesOffset = 25;
constexpr std::size_t kNotesBytes = 248;
constexpr std::size_t kCategoryOffset = 273;
constexpr std::size_t kValuesOffset = 277;
constexpr std::size_t kNameChars = kPresetNameField - 1;
constexpr std::size_t kNotesChars = kNotesBytes - 1;

// A .kpf keeps the three values that older files lack inside its notes region, behind a flag:
// the notes text then only has the 9 bytes before the flag.
constexpr std::size_t kFlaggedNotesChars = 9;
constexpr std::size_t kFlagOffset = 34;
constexpr std::size_t kFlaggedValuesOffset = 35;
constexpr int kFlaggedFirst = 722; // 722, 723, 724
constexpr int kFlaggedCount = 3;

// A .kpf holds at least one byte after its record header and less than 5800.
constexpr std::size_t kLegacyPresetMaxTail = 5800;

// Bank header.
constexpr std::size_t kVersionOffset = 4;
constexpr std::size_t kBankNameOffset = 9;
constexpr std::size_t kBankTitleOffset = 265;
constexpr std::size_t kBankAuthorOffset = 521;
constexpr std::size_t kBankWebOffset = 777;
constexpr std::size_t kBankTextBytes = 256;
constexpr std::size_t kBankWebBytes = 252;
constexpr std::size_t kCountOffset = 1029;
constexpr std::uint8_t kMagic[4] = {'k', 'b', 'f', 0};
constexpr std::string_view kOldestVersion = "0910";
constexpr std::string_view kWrittenVersion = "0920";
// The trailing block (722..724 of every program) starts two bytes before the records end.
constexpr std::size_t kTrailingOverlap = 2;
constexpr std::size_t kTrailingBytes = kFlaggedCount * Bank::kPrograms * 4;

// Bytes past the end read as zero: a compact bank stops two bytes into its last value.
std::uint32_t readU32(Bytes data, std::size_t offset) {
    std::uint8_t b[4] = {};
    if (offset < data.size()) std::memcpy(b, data.data() + offset, std::min<std::size_t>(4, data.size() - offset));
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
           std::uint32_t{b[3]} << 24;
}

float readF32(Bytes data, std::size_t offset) {
    return std::bit_cast<float>(readU32(data, offset));
}

void putU32(std::uint8_t* out, std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 24)};
    std::memcpy(out, b, 4);
}

void putF32(std::uint8_t* out, float v) {
    putU32(out, std::bit_cast<std::uint32_t>(v));
}

// The zero-terminated text of a fixed field, never longer than maxChars and never read past
// the field (the caller has checked that offset + maxChars lies inside the data).
std::string_view fieldText(Bytes data, std::size_t offset, std::size_t maxChars) {
    const auto* begin = reinterpret_cast<const char*>(data.data() + offset);
    const void* zero = std::memchr(begin, 0, maxChars);
    const std::size_t n = zero != nullptr ? static_cast<std::size_t>(
                                                static_cast<const char*>(zero) - begin)
                                          : maxChars;
    return {begin, n};
}

// Text into a fixed field of `size` bytes, zero-padded, at most size - 1 bytes of text.
void putText(std::uint8_t* out, std::size_t size, std::string_view text) {
    const std::size_t n = std::min(text.size(), size - 1);
    std::memset(out, 0, size);
    std::memcpy(out, text.data(), n);
}

// The text of an in-memory fixed field, which a caller may have filled to the last byte.
template <std::size_t N>
std::string_view headerText(const char (&field)[N]) {
    return {field, ::strnlen(field, N)};
}

std::size_t recordBytes(int count) {
    return kValuesOffset + 4 * static_cast<std::size_t>(count);
}

// One record (name, plain-text notes, category, `count` values) of `preset`.
void writeRecord(std::uint8_t* out, const Preset& preset, int count) {
    putText(out + kNameOffset, kPresetNameField, preset.name());
    putText(out + kNotesOffset, kNotesBytes, preset.legacyNotes());
    putU32(out + kCategoryOffset, static_cast<std::uint32_t>(preset.legacyCategory()));
    for (int i = 0; i < count; ++i)
        putF32(out + kValuesOffset + 4 * static_cast<std::size_t>(i), preset.parameter(i));
}

// `count` values of a record at `offset` over the preset's parameters.
void readValues(Bytes data, std::size_t offset, int count, Preset& preset) {
    for (int i = 0; i < count; ++i)
        preset.setParameter(i, readF32(data, offset + kValuesOffset + 4 * static_cast<std::size_t>(i)));
}

} // namespace

// ---- .kpf ----

std::span<const std::uint8_t> Bank::buildLegacyPresetImage(bool compact) {
    const int count = compact ? kLegacyCompactCount : kLegacyStandardCount;
    const Preset& preset = workingProgram();
    presetImage_.assign(recordBytes(count), 0);
    std::uint8_t* out = presetImage_.data();
    writeRecord(out, preset, count);
    // The flag and the three values go over the notes region, so only 9 bytes of notes remain.
    out[kFlagOffset] = 1;
    for (int i = 0; i < kFlaggedCount; ++i)
        putF32(out + kFlaggedValuesOffset + 4 * static_cast<std::size_t>(i),
               preset.parameter(kFlaggedFirst + i));
    return presetImage_;
}

bool Bank::readLegacyPreset(std::span<const std::uint8_t> data) {
    if (data.size() <= kValuesOffset || data.size() - kValuesOffset >= kLegacyPresetMaxTail)
        return false;

    Preset preset = workingProgram(); // the browser's metadata stays
    preset.setName(fieldText(data, kNameOffset, kNameChars));
    const bool flagged = data[kFlagOffset] == 1;
    preset.setLegacyNotes(fieldText(data, kNotesOffset, flagged ? kFlaggedNotesChars : kNotesChars));
    preset.setLegacyCategory(static_cast<std::int32_t>(readU32(data, kCategoryOffset)));
    preset.setAllParameters(resetValues_.data());
    if (flagged) {
        for (int i = 0; i < kFlaggedCount; ++i)
            preset.setParameter(kFlaggedFirst + i,
                                readF32(data, kFlaggedValuesOffset + 4 * static_cast<std::size_t>(i)));
    }
    const int count = static_cast<int>(
        std::min<std::size_t>((data.size() - kValuesOffset) / 4, kNumParameters));
    readValues(data, 0, count, preset);
    preset.setParameterCount(count);
    preset.sanitize(table_);

    workingProgram() = preset;
    notifyProgramsChanged(current_);
    return true;
}

// ---- .kbf ----

std::span<const std::uint8_t> Bank::buildLegacyBankImage(bool compact) {
    const int count = compact ? kLegacyCompactCount : kLegacyStandardCount;
    const std::size_t recordsEnd = kLegacyBankHeader + kPrograms * recordBytes(count);
    const std::size_t trailing = recordsEnd - kTrailingOverlap;
    // The compact export carries no trailing block and ends two bytes short of its records.
    bankImage_.assign(recordsEnd + kTrailingBytes, 0);
    std::uint8_t* out = bankImage_.data();

    std::memcpy(out, kMagic, sizeof kMagic);
    std::memcpy(out + kVersionOffset, kWrittenVersion.data(), kWrittenVersion.size());
    putText(out + kBankNameOffset, kBankTextBytes, headerText(header_.name));
    putText(out + kBankTitleOffset, kBankTextBytes, headerText(header_.title));
    putText(out + kBankAuthorOffset, kBankTextBytes, headerText(header_.author));
    putText(out + kBankWebOffset, kBankWebBytes, headerText(header_.web));
    putU32(out + kCountOffset, static_cast<std::uint32_t>(count));
    for (int p = 0; p < kPrograms; ++p)
        writeRecord(out + kLegacyBankHeader + static_cast<std::size_t>(p) * recordBytes(count),
                    (*working_)[static_cast<std::size_t>(p)], count);

    if (compact) {
        bankImage_.resize(trailing);
        return bankImage_;
    }
    for (int k = 0; k < kFlaggedCount; ++k)
        for (int p = 0; p < kPrograms; ++p)
            putF32(out + trailing + 4 * static_cast<std::size_t>(k * kPrograms + p),
                   (*working_)[static_cast<std::size_t>(p)].parameter(kFlaggedFirst + k));
    bankImage_.resize(trailing + kTrailingBytes);
    return bankImage_;
}

bool Bank::readLegacyBank(std::span<const std::uint8_t> data) {
    if (data.size() < kLegacyBankHeader || std::memcmp(data.data(), kMagic, sizeof kMagic) != 0)
        return false;
    const std::string_view version = fieldText(data, kVersionOffset, 4);
    int count = kLegacyOldestCount;
    if (version != kOldestVersion) {
        const auto stored = static_cast<std::int32_t>(readU32(data, kCountOffset));
        if (stored < 0) return false;
        count = std::min<std::int32_t>(stored, kLegacyStandardCount);
    }
    const std::size_t record = recordBytes(count);
    const std::size_t recordsEnd = kLegacyBankHeader + kPrograms * record;
    // The compact export ends two bytes short of its records (where a trailing block would
    // begin); anything shorter is cut off.
    if (data.size() + kTrailingOverlap < recordsEnd) return false;

    // Built aside and swapped in, so that a refused file cannot leave half a bank behind.
    auto stored = std::make_unique<std::array<Preset, kPrograms>>();
    for (int p = 0; p < kPrograms; ++p) {
        const std::size_t at = kLegacyBankHeader + static_cast<std::size_t>(p) * record;
        Preset& preset = (*stored)[static_cast<std::size_t>(p)];
        preset.setName(fieldText(data, at + kNameOffset, kNameChars));
        preset.setParameterCount(count);
        preset.setLegacyNotes(fieldText(data, at + kNotesOffset, kNotesChars));
        // Bank files only keep the category's low byte.
        preset.setLegacyCategory(static_cast<std::int8_t>(data[at + kCategoryOffset]));
        preset.setAllParameters(resetValues_.data());
        readValues(data, at, count, preset);
    }

    if (data.size() <= recordsEnd) {
        // Banks from before the trailing block: the anti-click switch was always on.
        for (Preset& preset : *stored) preset.setParameter(kFlaggedFirst, 1.0f);
    } else {
        const std::size_t trailing = recordsEnd - kTrailingOverlap;
        bool more = true;
        for (int k = 0; k < kFlaggedCount && more; ++k) {
            for (int p = 0; p < kPrograms; ++p) {
                const std::size_t at = trailing + 4 * static_cast<std::size_t>(k * kPrograms + p);
                if (at + 4 > data.size()) {
                    more = false;
                    break;
                }
                (*stored)[static_cast<std::size_t>(p)].setParameter(kFlaggedFirst + k,
                                                                    readF32(data, at));
            }
        }
    }

    auto working = std::make_unique<std::array<Preset, kPrograms>>(*stored);
    for (Preset& preset : *working) preset.setParameterCount(kNumParameters);

    copyText(header_.version, sizeof header_.version, version);
    copyText(header_.name, sizeof header_.name, fieldText(data, kBankNameOffset, kBankTextBytes - 1));
    copyText(header_.title, sizeof header_.title, fieldText(data, kBankTitleOffset, kBankTextBytes - 1));
    copyText(header_.author, sizeof header_.author,
             fieldText(data, kBankAuthorOffset, kBankTextBytes - 1));
    copyText(header_.web, sizeof header_.web, fieldText(data, kBankWebOffset, kBankWebBytes - 1));
    stored_ = std::move(stored);
    working_ = std::move(working);
    current_ = 0;
    notifyProgramsChanged(-1);
    return true;
}

bool Bank::loadLegacyBankFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::vector<std::uint8_t> data(kLegacyBankBytes);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(in.gcount()));
    if (!readLegacyBank(data)) return false;
    fileName_ = file.filename().string();
    return true;
}

} // namespace kolva
