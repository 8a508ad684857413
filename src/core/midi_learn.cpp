#include "core/midi_learn.h"

#include "core/parameter_defs.h"
#include "platform/atomic_file.h"
#include "platform/folders.h"

namespace kolva {
namespace {

bool isPresetCommand(int target) {
    return target == MidiLearnTable::kProgramSelect || target == MidiLearnTable::kPreviousPreset ||
           target == MidiLearnTable::kNextPreset;
}

// What a stored entry may hold; anything else in a file is junk and reads as unbound.
bool isValidBinding(int target) {
    return target == MidiLearnTable::kUnbound || isPresetCommand(target) ||
           (target >= 0 && target < kNumParameters);
}

bool inRange(int controller) {
    return controller >= 0 && controller < MidiLearnTable::kControllers;
}

} // namespace

MidiLearnTable::MidiLearnTable() {
    if (auto folder = platform::pluginDataFolder(); !folder.empty())
        file_ = folder / "midi_learn.tbl";
    reset();
}

void MidiLearnTable::reset() {
    for (auto& b : bindings_)
        b.store(kUnbound, std::memory_order_relaxed);
    for (const auto& [controller, target] : defaults_)
        if (inRange(controller)) bindings_[controller].store(target, std::memory_order_relaxed);
}

bool MidiLearnTable::load() {
    if (file_.empty()) return false;
    const auto bytes = platform::readFile(file_, kFileBytes);
    if (!bytes) return false;
    return setImage(bytes->data(), bytes->size());
}

bool MidiLearnTable::save() const {
    if (file_.empty()) return false;
    if (file_.has_parent_path() && !platform::ensureFolder(file_.parent_path())) return false;
    const auto bytes = image();
    return platform::writeFileAtomically(file_, bytes.data(), bytes.size());
}

void MidiLearnTable::arm(int target) {
    pendingTarget_.store(target, std::memory_order_relaxed);
    armed_.store(1, std::memory_order_release);
}

int MidiLearnTable::lookup(int controller, bool* changed) {
    if (changed != nullptr) *changed = false;
    if (!inRange(controller)) return kUnbound;
    auto& entry = bindings_[controller];

    // Claim the learning step atomically: one controller takes the pending target.
    std::int32_t expected = 1;
    if (armed_.load(std::memory_order_acquire) == 0 ||
        !armed_.compare_exchange_strong(expected, 0, std::memory_order_acq_rel))
        return entry.load(std::memory_order_relaxed);

    const int target = pendingTarget_.exchange(kUnbound, std::memory_order_relaxed);
    if (changed != nullptr) *changed = true;
    if (target >= 0 || isPresetCommand(target)) {
        entry.store(target, std::memory_order_relaxed);
        return target;
    }
    // Unlearn: only parameter bindings are removed.
    if (entry.load(std::memory_order_relaxed) >= 0)
        entry.store(kUnbound, std::memory_order_relaxed);
    return kUnbound;
}

int MidiLearnTable::binding(int controller) const {
    return inRange(controller) ? bindings_[controller].load(std::memory_order_relaxed) : kUnbound;
}

void MidiLearnTable::bind(int controller, int target) {
    if (inRange(controller)) bindings_[controller].store(target, std::memory_order_relaxed);
}

void MidiLearnTable::unbind(int controller) {
    bind(controller, kUnbound);
}

std::array<unsigned char, MidiLearnTable::kFileBytes> MidiLearnTable::image() const {
    std::array<unsigned char, kFileBytes> bytes{};
    for (int c = 0; c < kControllers; ++c) {
        const auto v = static_cast<std::uint32_t>(bindings_[c].load(std::memory_order_relaxed));
        for (int b = 0; b < 4; ++b)
            bytes[4 * c + b] = static_cast<unsigned char>(v >> (8 * b));
    }
    return bytes;
}

bool MidiLearnTable::setImage(const unsigned char* bytes, std::size_t size) {
    if (bytes == nullptr || size != kFileBytes) return false;
    for (int c = 0; c < kControllers; ++c) {
        std::uint32_t u = 0;
        for (int b = 0; b < 4; ++b)
            u |= static_cast<std::uint32_t>(bytes[4 * c + b]) << (8 * b);
        const auto v = static_cast<std::int32_t>(u);
        bindings_[c].store(isValidBinding(v) ? v : kUnbound, std::memory_order_relaxed);
    }
    return true;
}

int learnedControllerOptions(int index) {
    struct Scaled {
        int index;
        int options;
    };
    // Oscillator types (the first four only) and waves; unison counts and chords, phs_stages;
    // filter types and modes; the time lists; shp_mode; rev_mode.
    static constexpr Scaled kScaled[] = {
        {25, 4},   {44, 4},   {63, 4},   {82, 4},   {32, 49},  {51, 49},  {70, 49},  {89, 49},
        {36, 9},   {37, 9},   {55, 9},   {56, 9},   {74, 9},   {75, 9},   {93, 9},   {94, 9},
        {250, 9},  {101, 5},  {102, 5},  {105, 5},  {106, 5},  {178, 21}, {194, 21}, {210, 21},
        {226, 21}, {269, 21}, {270, 21}, {282, 21}, {523, 21}, {627, 21}, {241, 11}, {279, 2},
    };
    for (const Scaled& s : kScaled)
        if (s.index == index) return s.options;
    return 0;
}

} // namespace kolva
