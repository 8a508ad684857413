#include "core/midi_learn.h"
#include "core/option_list.h"
#include "core/parameter_table.h"
#include "platform/atomic_file.h"
#include "platform/folders.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace kolva {
namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kNext = MidiLearnTable::kNextPreset, kPrevious = MidiLearnTable::kPreviousPreset,
              kProgram = MidiLearnTable::kProgramSelect;

TEST(MidiLearn, StartsUnboundAndResetAppliesDefaults) {
    MidiLearnTable table;
    EXPECT_EQ(table.filePath(), platform::pluginDataFolder() / "midi_learn.tbl");
    for (int c = 0; c < MidiLearnTable::kControllers; ++c)
        ASSERT_EQ(table.lookup(c), -1);
    table.bind(3, 9);
    table.bind(-1, 9); // controllers outside the table are ignored everywhere
    table.bind(MidiLearnTable::kControllers, 9);
    table.defaultBindings() = {{7, 25}, {131, kNext}, {132, 1}, {-2, 1}};
    table.reset();
    EXPECT_EQ(std::tuple(table.binding(3), table.binding(7), table.binding(131)),
              std::tuple(-1, 25, kNext));
    EXPECT_FALSE(table.armed());
}

TEST(MidiLearn, LearnAndUnlearnTakeOnlyTheNextController) {
    MidiLearnTable table;
    table.bind(11, kPrevious);
    // Learning runs on the audio thread: no allocation, one controller per arming.
    for (int target : {25, kProgram, kPrevious, kNext}) {
        table.arm(target);
        bool learned = false, again = true;
        test::AllocationGuard guard;
        const int got = table.lookup(20, &learned), other = table.lookup(21, &again);
        EXPECT_EQ(guard.count(), 0);
        EXPECT_EQ(std::tuple(got, learned, other, again, table.binding(20), table.pendingTarget()),
                  std::tuple(target, true, -1, false, target, -1));
    }
    // Any negative target other than a preset command unlearns, and only parameter bindings.
    table.bind(10, 101);
    for (auto [unlearn, controller, left] : {std::tuple{-1, 10, -1}, {-5, 11, kPrevious}}) {
        bool changed = false;
        table.arm(unlearn);
        EXPECT_EQ(table.lookup(controller, &changed), -1);
        EXPECT_TRUE(changed && !table.armed());
        EXPECT_EQ(table.binding(controller), left);
    }
    // A controller outside the table neither learns nor disarms.
    table.arm(5);
    EXPECT_EQ(table.lookup(MidiLearnTable::kControllers), -1);
    EXPECT_TRUE(table.armed());
}

TEST(MidiLearn, FileIs528LittleEndianInt32sAndBadFilesLeaveTheTable) {
    const auto file = std::filesystem::path(std::getenv("HOME")) / "midi_learn.tbl"; // private
    MidiLearnTable table, loaded;
    table.setFilePath(file);
    loaded.setFilePath(file);
    EXPECT_FALSE(table.load()); // missing
    table.bind(0, 724);
    table.bind(1, 300);
    table.bind(64, kProgram);
    ASSERT_TRUE(table.save());
    const Bytes bytes = platform::readFile(file, 4096).value_or(Bytes{});
    ASSERT_EQ(bytes.size(), 528u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 12),
              (Bytes{0xD4, 0x02, 0, 0, 0x2C, 0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(bytes.begin() + 256, bytes.begin() + 260), (Bytes{0xF3, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(loaded.load());
    EXPECT_EQ(loaded.image(), table.image());

    for (std::size_t size : {527u, 529u}) {
        ASSERT_TRUE(platform::writeFileAtomically(file, Bytes(size).data(), size));
        EXPECT_FALSE(loaded.load()) << size;
        EXPECT_EQ(loaded.image(), table.image());
    }
    // Entries that are neither unbound, a command nor an index read as unbound.
    for (auto [c, junk] : {std::pair{0, 725}, {1, -14}, {2, INT32_MIN}, {3, -5}})
        table.bind(c, junk);
    ASSERT_TRUE(table.save());
    ASSERT_TRUE(loaded.load());
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(loaded.binding(c), -1) << c;
    EXPECT_EQ(loaded.binding(64), kProgram);
}

// A learned controller's 0..1 value is scaled by 0.001 x K so that it sweeps the first K options.
TEST(MidiLearn, LearnedEnumeratedParametersSweepExactlyTheirFirstKOptions) {
    std::map<int, int> expected = {
        {25, 4},   {44, 4},   {63, 4},   {82, 4},   {32, 49},  {51, 49},  {70, 49},  {89, 49},
        {36, 9},   {37, 9},   {55, 9},   {56, 9},   {74, 9},   {75, 9},   {93, 9},   {94, 9},
        {250, 9},  {101, 5},  {102, 5},  {105, 5},  {106, 5},  {178, 21}, {194, 21}, {210, 21},
        {226, 21}, {269, 21}, {270, 21}, {282, 21}, {523, 21}, {627, 21}, {241, 11}, {279, 2}};
    for (int i = 0; i < kNumParameters; ++i) {
        const int k = learnedControllerOptions(i);
        ASSERT_EQ(k, expected[i]) << i;
        std::set<int> reached, firstK;
        for (int d2 = 0; k > 0 && d2 <= 127; ++d2) {
            int option = -1;
            ParameterTable::decode(parameterDefs()[i], d2 / 127.0f * 0.001f * k, &option);
            reached.insert(option);
            firstK.insert(d2 < k ? d2 : 0);
        }
        EXPECT_EQ(reached, firstK) << i;
    }
    // osc1_type: Classic, Noise, FM and AMSync only.
    EXPECT_EQ(optionWord(parameterDefs()[25].options, expected[25] - 1), "AMSync");
}

} // namespace
} // namespace kolva
