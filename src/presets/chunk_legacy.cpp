// The legacy binary state image (written while legacy mode is set, read whenever the
// compressed text cannot be used) and the conversion of its programs into preset files.

#include "presets/chunk.h"

#include "core/config.h"
#include "core/parameter_table.h"
#include "core/tuning_holder.h"
#include "platform/folders.h"
#include "presets/bank.h"
#include "presets/preset_file.h"
#include "util/digest.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace kolva {

using chunk_detail::jsonInteger;
using chunk_detail::member;

namespace {

constexpr std::size_t kNameBytes = static_cast<std::size_t>(kPresetNameField);
constexpr std::size_t kMaxLegacyNotes = Chunk::kLegacyNotesBytes - 1;

std::size_t recordBytes(int count) {
    return Bank::kLegacyRecordHeader + 4u * static_cast<std::size_t>(count);
}

// Little-endian writer over a buffer the caller has sized.
class ImageWriter {
public:
    explicit ImageWriter(std::uint8_t* out) : out_(out) {}
    void bytes(const void* data, std::size_t n) {
        std::memcpy(out_ + pos_, data, n);
        pos_ += n;
    }
    void u8(std::uint8_t v) { out_[pos_++] = v; }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out_[pos_++] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    void f32(float v) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &v, 4);
        u32(bits);
    }
    // Text padded with zeros to `field` bytes; at most field - 1 characters are kept.
    void text(const std::string& s, std::size_t field) {
        const std::size_t n = std::min(s.size(), field - 1);
        std::memcpy(out_ + pos_, s.data(), n);
        std::memset(out_ + pos_ + n, 0, field - n);
        pos_ += field;
    }
    std::size_t position() const { return pos_; }

private:
    std::uint8_t* out_;
    std::size_t pos_ = 0;
};

std::uint32_t readU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

float readF32(const std::uint8_t* p) {
    const std::uint32_t bits = readU32(p);
    float v = 0.0f;
    std::memcpy(&v, &bits, 4);
    return v;
}

void writeRecord(ImageWriter& w, const Preset& preset) {
    w.text(preset.name(), kNameBytes);
    w.text(preset.legacyNotes(), Chunk::kLegacyNotesBytes);
    w.u32(static_cast<std::uint32_t>(preset.legacyCategory()));
    for (int i = 0; i < Chunk::kLegacyCount; ++i)
        w.f32(preset.parameter(i));
}

void readRecord(const std::uint8_t* p, int count, Preset& preset, ParameterTable& table) {
    char name[kNameBytes + 1] = {};
    std::memcpy(name, p, kNameBytes);
    preset.setNameChars(name);
    const auto* notes = reinterpret_cast<const char*>(p + kNameBytes);
    preset.setLegacyNotes(std::string(notes, strnlen(notes, kMaxLegacyNotes)));
    preset.setLegacyCategory(
        static_cast<std::int32_t>(readU32(p + kNameBytes + Chunk::kLegacyNotesBytes)));

    std::array<float, kNumParameters> values{};
    const std::uint8_t* v = p + Bank::kLegacyRecordHeader;
    for (int i = 0; i < count; ++i) {
        const float x = readF32(v + 4 * i);
        values[static_cast<std::size_t>(i)] = std::isfinite(x) ? x : 0.0f;
    }
    preset.setAllParameters(values.data());
    preset.setParameterCount(count);
    preset.sanitize(table);
}

// Characters a file name cannot hold on this platform.
std::string fileNameSafe(std::string s) {
    for (char& ch : s)
        if (ch == '/' || ch == '\0') ch = '_';
    return s;
}

} // namespace

// ---- writer ----

std::int32_t Chunk::saveLegacyImage() {
    OrderedJson tail = OrderedJson::object();
    tail["selected_bank"] = selectedBank();
    tail["gui_scale"] = guiScale_.load();
    tail["perf_panel_show"] = perfPanelShown_.load();
    tail["theme_id"] = theme_.load();
    tail["version"] = kVersion;
    tail["scala"] = tuning_ != nullptr ? tuning_->toStateText() : std::string();
    const std::string json = dumpJson(tail);

    const std::size_t head = 3 + 4 + 4u * kLegacyCount + 4;
    const std::size_t records = 2u * Bank::kPrograms * recordBytes(kLegacyCount);
    const std::size_t length = head + records + 2 + json.size() + 1;
    if (length > static_cast<std::size_t>(INT32_MAX)) return 0;

    if (buffer_.capacity < kLegacyBufferMinCapacity) {
        buffer_.data = std::make_unique<std::uint8_t[]>(kLegacyBufferBytes);
        buffer_.capacity = kLegacyBufferBytes;
    }
    ImageWriter w(reserve(length));
    w.bytes("kbf", 3);
    w.u32(kLegacyCount);
    ParameterTable& table = bank_->parameterTable();
    for (int i = 0; i < kLegacyCount; ++i) {
        const float v = table.descriptor(i).value.load(std::memory_order_relaxed);
        w.f32(std::isfinite(v) ? v : 0.0f);
    }
    currentProgram_ = bank_->currentProgram();
    w.u32(static_cast<std::uint32_t>(currentProgram_));
    for (int i = 0; i < Bank::kPrograms; ++i)
        writeRecord(w, bank_->storedProgram(i));
    for (int i = 0; i < Bank::kPrograms; ++i)
        writeRecord(w, bank_->workingProgram(i));
    w.u8(0); // reserved
    w.u8('|');
    w.bytes(json.data(), json.size());
    w.u8(0);
    return static_cast<std::int32_t>(w.position());
}

// ---- reader ----

bool Chunk::restoreLegacyImage(std::span<const std::uint8_t> data) {
    if (data.size() < kLegacyMinBytes) return false;

    int count = kLegacyOldestCount;
    std::size_t pos = 0;
    if (data[0] == 'k' && data[1] == 'b' && (data[2] == 'f' || data[2] == 'x')) {
        count = static_cast<int>(std::min<std::uint32_t>(readU32(data.data() + 3), kLegacyCount));
        pos = 7;
    } else {
        // The oldest images have no header at all. A real one starts with normalised
        // parameter values, so anything else here (another plug-in's chunk, random bytes,
        // text) is refused before a single value is taken.
        for (int i = 0; i < kLegacyOldestCount; ++i) {
            const float v = readF32(data.data() + 4 * i);
            if (!(v >= 0.0f && v <= 1.0f)) return false;
        }
    }
    // The minimum size covers the header, the live values and the current program.
    static_assert(7 + 4 * kLegacyCount + 4 <= kLegacyMinBytes);

    ParameterTable& table = bank_->parameterTable();
    for (int i = 0; i < count; ++i) {
        if (i == param::kBendWheel) continue; // the pitch wheel is performance, not state
        table.convertValue(i, readF32(data.data() + pos + 4 * static_cast<std::size_t>(i)));
    }
    pos += 4u * static_cast<std::size_t>(count);

    const std::uint32_t current = readU32(data.data() + pos);
    pos += 4;
    currentProgram_ = current <= 127 ? static_cast<int>(current) : 0;
    bank_->setCurrentProgram(currentProgram_);

    const std::size_t record = recordBytes(count);
    int done = 0;
    for (; done < 2 * Bank::kPrograms && data.size() - pos >= record; ++done, pos += record) {
        Preset& preset = done < Bank::kPrograms ? bank_->storedProgram(done)
                                                : bank_->workingProgram(done - Bank::kPrograms);
        readRecord(data.data() + pos, count, preset, table);
    }
    // One reserved byte, then "|" and the settings as JSON.
    if (done == 2 * Bank::kPrograms && data.size() - pos >= 2 && data[pos + 1] == '|') {
        const auto* text = reinterpret_cast<const char*>(data.data() + pos + 2);
        applyLegacyTail(std::string_view(text, strnlen(text, data.size() - pos - 2)));
    }
    bank_->notifyProgramsChanged(-1);

    if (legacyOnly_.load()) return false;
    convertLegacyPrograms(count);
    return true;
}

void Chunk::applyLegacyTail(std::string_view text) {
    const std::optional<OrderedJson> doc = parseJson(text);
    if (!doc || !doc->is_object()) return;
    const OrderedJson* v = member(*doc, "selected_bank");
    if (v != nullptr && v->is_string()) setSelectedBank(v->get_ref<const std::string&>());
    if ((v = member(*doc, "gui_scale")) != nullptr)
        if (const auto n = jsonInteger(*v)) guiScale_.store(*n >= 1 && *n <= 3 ? int(*n) : 1);
    if ((v = member(*doc, "perf_panel_show")) != nullptr)
        if (const auto n = jsonInteger(*v)) perfPanelShown_.store(*n == 0 ? 0 : 1);
    if ((v = member(*doc, "theme_id")) != nullptr)
        if (const auto n = jsonInteger(*v)) theme_.store(*n >= 0 && *n <= 4 ? int(*n) : 0);
    if ((v = member(*doc, "scala")) != nullptr && v->is_string() && tuning_ != nullptr)
        tuning_->fromStateText(v->get_ref<const std::string&>());
}

// ---- conversion into the workspace ----

bool Chunk::convertLegacyPrograms(int count) {
    // Until every file is in place the state keeps being saved in the old form, so a failed
    // conversion loses nothing.
    legacyMode_.store(true);

    if (config_ == nullptr) return false;
    const std::filesystem::path workspace = config_->workspaceDir();
    if (workspace.empty()) return false;

    // The folder is named after the programs' contents, so the same project converts into
    // the same folder however often it is opened.
    const std::size_t perProgram = kNameBytes + 4u * static_cast<std::size_t>(count);
    std::vector<std::uint8_t> hashed(static_cast<std::size_t>(Bank::kPrograms) * perProgram);
    for (int i = 0; i < Bank::kPrograms; ++i) {
        const Preset& preset = bank_->workingProgram(i);
        ImageWriter w(hashed.data() + static_cast<std::size_t>(i) * perProgram);
        w.text(preset.name(), kNameBytes);
        for (int j = 0; j < count; ++j)
            w.f32(preset.parameter(j));
    }
    const std::string digest = sha512Hex(hashed).substr(0, 12);
    const std::string subfolder = fileNameSafe(sourceName()) + "_" + digest;
    const std::filesystem::path folder = workspace / kLegacyFolder / subfolder;
    if (!platform::ensureFolder(folder)) return false;

    bool complete = true;
    for (int i = 0; i < Bank::kPrograms; ++i) {
        Preset& preset = bank_->workingProgram(i);
        const std::string stem = std::to_string(i + 1) + ". " + fileNameSafe(preset.name());
        const std::string fileName = stem + ".kpf2";
        const std::filesystem::path file = folder / fileName;

        std::error_code ec;
        const bool exists = std::filesystem::exists(file, ec);
        if (ec) {
            complete = false;
            continue;
        }
        std::int32_t id = -1;
        if (!exists) {
            std::string error;
            if (!writePresetFile(file, preset, false, error)) {
                complete = false;
                continue;
            }
            id = indexPresetFile(file);
        }
        if (i == bank_->currentProgram()) {
            OrderedJson pathObject = OrderedJson::object();
            pathObject["name"] = stem;
            pathObject["type"] = 0;
            pathObject["index"] = -1;
            pathObject["rel_path"] = std::string("/") + kLegacyFolder + "/" + subfolder;
            pathObject["filename"] = fileName;
            pathObject["factory"] = 0;
            pathObject["id"] = id;
            preset.setPathObject(dumpJson(pathObject));
            preset.setId(id);
            preset.setPath(file.string());
        }
    }
    if (complete) legacyMode_.store(false);
    return complete;
}

} // namespace kolva
