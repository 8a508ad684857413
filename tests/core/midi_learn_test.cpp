#include "core/midi_learn.h"
#include "core/option_list.h"
#include "core/parameter_table.h"
#include "platform/atomic_file.h"
#include "platform/folders.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace kolva {
namespace {

namespace fs = std::filesystem;
constexpr int kNext = MidiLearnTable::kNextPreset;
constexpr int kPrevious = MidiLearnTable::kPreviousPreset;
constexpr int kProgram = MidiLearnTable::kProgramSelect;

class MidiLearnTest : public ::testing::Test {
protected:
    void SetUp() override {
        // HOME points into the suite's private temporary folder.
        folder = fs::path(std::getenv("HOME")) / "midi-learn" /
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        file = folder / "nested" / "midi_learn.tbl";
        table.setFilePath(file);
    }

    void writeEntries(const std::vector<std::int32_t>& entries, int extraBytes = 0) {
        std::vector<unsigned char> bytes;
        for (std::int32_t e : entries)
            for (int b = 0; b < 4; ++b)
                bytes.push_back(
                    static_cast<unsigned char>(static_cast<std::uint32_t>(e) >> (8 * b)));
        bytes.resize(bytes.size() + extraBytes);
        fs::create_directories(file.parent_path());
        ASSERT_TRUE(platform::writeFileAtomically(file, bytes.data(), bytes.size()));
    }

    fs::path folder, file;
    MidiLearnTable table;
};

TEST_F(MidiLearnTest, StartsUnboundAndAppliesDefaultsOnReset) {
    MidiLearnTable fresh;
    EXPECT_EQ(fresh.filePath(), platform::pluginDataFolder() / "midi_learn.tbl");
    for (int c = 0; c < MidiLearnTable::kControllers; ++c)
        ASSERT_EQ(fresh.lookup(c), -1);

    table.bind(3, 9);
    table.defaultBindings() = {{7, 25}, {131, kNext}, {132, 1}, {-2, 1}};
    table.reset();
    EXPECT_EQ(table.binding(3), -1);
    EXPECT_EQ(table.binding(7), 25);
    EXPECT_EQ(table.binding(131), kNext);
}

TEST_F(MidiLearnTest, LearnBindsTheNextControllerOnce) {
    bool changed = false;
    table.arm(25);
    EXPECT_EQ(table.lookup(20, &changed), 25);
    EXPECT_TRUE(changed);
    EXPECT_FALSE(table.armed());
    EXPECT_EQ(table.pendingTarget(), -1);
    EXPECT_EQ(table.lookup(21, &changed), -1);
    EXPECT_FALSE(changed);
    EXPECT_EQ(table.lookup(20), 25);

    table.arm(26); // the learning step runs on the audio thread too
    {
        test::AllocationGuard guard;
        EXPECT_EQ(table.lookup(22, &changed), 26);
        EXPECT_EQ(table.lookup(22), 26);
        EXPECT_EQ(guard.count(), 0);
    }

    for (int command : {kProgram, kPrevious, kNext}) {
        table.arm(command);
        EXPECT_EQ(table.lookup(30, &changed), command);
        EXPECT_TRUE(changed);
    }
    // A controller outside the table neither learns nor disarms.
    table.arm(5);
    EXPECT_EQ(table.lookup(MidiLearnTable::kControllers, &changed), -1);
    EXPECT_FALSE(changed);
    EXPECT_TRUE(table.armed());
}

TEST_F(MidiLearnTest, UnlearnClearsOnlyParameterBindings) {
    table.bind(10, 101);
    table.bind(11, kPrevious);
    bool changed = false;
    table.arm(-1);
    EXPECT_EQ(table.lookup(10, &changed), -1);
    EXPECT_TRUE(changed);
    EXPECT_EQ(table.binding(10), -1);
    table.arm(-5); // any other negative target unlearns too
    EXPECT_EQ(table.lookup(11, &changed), -1);
    EXPECT_TRUE(changed);
    EXPECT_FALSE(table.armed());
    EXPECT_EQ(table.binding(11), kPrevious);
}

TEST_F(MidiLearnTest, FileRoundTripIsLittleEndianInt32) {
    table.bind(0, 724);
    table.bind(1, 300);
    table.bind(64, kProgram);
    ASSERT_TRUE(table.save());

    const auto bytes = platform::readFile(file, 4096);
    ASSERT_TRUE(bytes.has_value());
    ASSERT_EQ(bytes->size(), 528u);
    using B = std::vector<unsigned char>;
    EXPECT_EQ(B(bytes->begin(), bytes->begin() + 12),
              (B{0xD4, 0x02, 0, 0, 0x2C, 0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(B(bytes->begin() + 256, bytes->begin() + 260), (B{0xF3, 0xFF, 0xFF, 0xFF}));

    MidiLearnTable loaded;
    loaded.setFilePath(file);
    ASSERT_TRUE(loaded.load());
    EXPECT_EQ(loaded.image(), table.image());
    EXPECT_EQ(loaded.binding(64), kProgram);
}

TEST_F(MidiLearnTest, BadFilesAreRejectedAndJunkEntriesUnbound) {
    EXPECT_FALSE(table.load()); // missing
    const std::vector<std::int32_t> sevens(MidiLearnTable::kControllers, 7);
    writeEntries(sevens, 1);
    EXPECT_FALSE(table.load());
    writeEntries(std::vector<std::int32_t>(sevens.begin(), sevens.end() - 1), 3);
    EXPECT_FALSE(table.load());
    for (int c = 0; c < MidiLearnTable::kControllers; ++c)
        ASSERT_EQ(table.binding(c), -1);

    std::vector<std::int32_t> entries(MidiLearnTable::kControllers, -1);
    const std::vector<std::int32_t> stored = {725, -14, INT32_MIN, -5, 724, kNext, 0};
    const std::vector<std::int32_t> expected = {-1, -1, -1, -1, 724, kNext, 0};
    std::copy(stored.begin(), stored.end(), entries.begin());
    writeEntries(entries);
    ASSERT_TRUE(table.load());
    for (std::size_t c = 0; c < expected.size(); ++c)
        EXPECT_EQ(table.binding(c), expected[c]) << c;
}

TEST_F(MidiLearnTest, SaveFailsWithoutAUsableFolder) {
    fs::create_directories(folder);
    std::ofstream(folder / "plain-file") << "x";
    table.setFilePath(folder / "plain-file" / "midi_learn.tbl");
    EXPECT_FALSE(table.save());
    table.setFilePath({});
    EXPECT_FALSE(table.save());
}

// The options a 0..127 controller reaches once scaled as for a learned enumerated parameter.
std::set<int> optionsReached(int index) {
    const int k = learnedControllerOptions(index);
    std::set<int> reached;
    for (int d2 = 0; d2 <= 127; ++d2) {
        const float v = static_cast<float>(d2) / 127.0f * 0.001f * static_cast<float>(k);
        int option = -1;
        ParameterTable::decode(parameterDefs()[index], v, &option);
        reached.insert(option);
    }
    return reached;
}

TEST(LearnedControllerScaling, SweepsExactlyTheFirstKOptions) {
    const int osc1Type = findParameter("osc1_type");
    std::set<std::string> words;
    for (int option : optionsReached(osc1Type))
        words.insert(optionWord(parameterDefs()[osc1Type].options, option));
    EXPECT_EQ(words, (std::set<std::string>{"Classic", "Noise", "FM", "AMSync"}));

    int scaled = 0;
    for (int i = 0; i < kNumParameters; ++i) {
        const int k = learnedControllerOptions(i);
        if (k == 0) continue;
        ++scaled;
        ASSERT_LE(k, parameterDefs()[i].optionCount) << i;
        const std::set<int> reached = optionsReached(i);
        EXPECT_EQ(static_cast<int>(reached.size()), k) << i;
        EXPECT_EQ(*reached.rbegin(), k - 1) << i;
    }
    EXPECT_EQ(scaled, 32);
    EXPECT_EQ(learnedControllerOptions(findParameter("stp2_time")), 21);
    EXPECT_EQ(learnedControllerOptions(findParameter("rev_mode")), 2);
    EXPECT_EQ(learnedControllerOptions(findParameter("arp_mode")), 0);
}

} // namespace
} // namespace kolva
