#include "presets/bank.h"

#include "core/parameter_table.h"
#include "platform/atomic_file.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace kolva {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
void putFloat(Bytes& b, std::size_t at, float v) {
    put32(b, at, std::bit_cast<std::uint32_t>(v));
}
void putString(Bytes& b, std::size_t at, const std::string& s) {
    std::memcpy(b.data() + at, s.data(), s.size());
}
std::uint32_t bitsOf(float v) {
    return std::bit_cast<std::uint32_t>(v);
}

// A bank with a listener that records every programs-changed call.
struct Fixture {
    ParameterTable table;
    Bank bank{table};
    std::vector<int> changed;
    Fixture() {
        bank.setProgramsChangedListener([this](int p) { changed.push_back(p); });
    }
    float reset(int index) const { return bank.resetValues()[index]; }
};

constexpr std::size_t kRecords722 = 1033 + 128 * (277 + 4 * 722); // records end, n = 722

TEST(LegacyPreset, SizeDecidesBetweenRefusalAndTheNumberOfValues) {
    for (auto [size, accepted, count] : {std::tuple{277u, false, 0}, {6077u, false, 0},
                                         {0u, false, 0}, {278u, true, 0}, {3133u, true, 714},
                                         {3165u, true, 722}, {6076u, true, 725}}) {
        Fixture f;
        Bytes data(size, 0);
        if (size > 5) putString(data, 0, "Sized");
        EXPECT_EQ(f.bank.readLegacyPreset(data), accepted) << size;
        EXPECT_EQ(f.bank.workingProgram().name(), accepted ? "Sized" : "init") << size;
        EXPECT_EQ(f.changed.size(), accepted ? 1u : 0u) << size;
        if (accepted) {
            EXPECT_EQ(f.bank.workingProgram().parameterCount(), count) << size;
        }
    }
}

TEST(LegacyPreset, FlagByteCarriesTheLastThreeValuesAndCutsTheNotes) {
    const int volume = findParameter("volume"), mode = findParameter("mode");
    Bytes data(3165, 0);
    putString(data, 0, "Lead");
    put32(data, 273, static_cast<std::uint32_t>(-7));
    putFloat(data, 277 + 4 * volume, 0.3f);
    putFloat(data, 277 + 4 * 721, 0.6f);
    putFloat(data, 277 + 4 * mode, 1.0f); // past the option list: sanitised

    // Without the flag the notes region is plain text and 722..724 keep their reset values.
    Bytes plain = data;
    putString(plain, 25, "a longer note text");
    Fixture f;
    ASSERT_TRUE(f.bank.readLegacyPreset(plain));
    const Preset& p = f.bank.workingProgram();
    EXPECT_EQ(std::tuple(p.legacyNotes(), p.parameter(722), p.parameter(723)),
              std::tuple(std::string("a longer note text"), f.reset(722), f.reset(723)));

    // With it, the notes are the 9 bytes before the flag, even without a terminating zero.
    putString(data, 25, "123456789");
    data[34] = 1;
    putFloat(data, 35, 0.25f);
    putFloat(data, 39, 0.5f);
    putFloat(data, 43, 0.75f);
    f.bank.setCurrentProgram(3);
    ASSERT_TRUE(f.bank.readLegacyPreset(data));
    const Preset& q = f.bank.workingProgram(3);
    EXPECT_EQ(std::tuple(q.name(), q.legacyNotes(), q.legacyCategory(), q.parameterCount()),
              std::tuple(std::string("Lead"), std::string("123456789"), -7, 722));
    EXPECT_EQ(std::tuple(q.parameter(722), q.parameter(723), q.parameter(724)),
              std::tuple(0.25f, 0.5f, 0.75f));
    EXPECT_EQ(std::tuple(q.parameter(volume), q.parameter(721)), std::tuple(0.3f, 0.6f));
    EXPECT_FLOAT_EQ(q.parameter(mode), 5 * 0.001001001f);
    EXPECT_EQ(f.bank.workingProgram(0).name(), "Lead"); // program 0 was the first read
    EXPECT_EQ(f.changed, (std::vector<int>{0, 3}));
}

TEST(LegacyPreset, WrittenImageReadsBack) {
    for (bool compact : {false, true}) {
        Fixture a, b;
        Preset& p = a.bank.workingProgram();
        p.setName("Round");
        p.setLegacyNotes("a long note text");
        p.setLegacyCategory(12345678);
        for (auto [i, v] : {std::tuple{9, 0.3f}, {713, 0.2f}, {721, 0.6f}, {722, 0.0f},
                            {723, 0.4f}, {724, 0.9f}})
            p.setParameter(i, v);
        const auto image = a.bank.buildLegacyPresetImage(compact);
        ASSERT_EQ(image.size(), compact ? 3133u : 3165u);
        ASSERT_TRUE(b.bank.readLegacyPreset(image));
        const Preset& q = b.bank.workingProgram();
        EXPECT_EQ(std::tuple(q.name(), q.legacyNotes(), q.legacyCategory()),
                  std::tuple(std::string("Round"), std::string("a long no"), 12345678));
        for (int i = 0; i < kNumParameters; ++i) {
            const bool lost = compact && i >= 714 && i < 722; // not in the compact export
            ASSERT_EQ(q.parameter(i), lost ? b.reset(i) : p.parameter(i)) << i << compact;
        }
    }
}

// Working programs with distinct names, notes, categories and values.
void fillPrograms(Bank& bank) {
    for (int p = 0; p < Bank::kPrograms; ++p) {
        Preset& preset = bank.workingProgram(p);
        preset.setName("Program " + std::to_string(p));
        preset.setLegacyNotes("notes of " + std::to_string(p));
        preset.setLegacyCategory(p - 64);
        for (int i = 0; i < kNumParameters; ++i)
            preset.setParameter(i, static_cast<float>((p * 7919 + i * 104729) % 100003) / 100003.0f);
    }
}

TEST(LegacyBank, ImageIsExactAndReadsBackExceptTheOverlappedBytes) {
    Fixture a, b;
    fillPrograms(a.bank);
    std::strcpy(a.bank.header().name, "My Bank");
    const auto span = a.bank.buildLegacyBankImage(false);
    const Bytes image(span.begin(), span.end());
    ASSERT_EQ(image.size(), 407687u);
    EXPECT_EQ(a.bank.buildLegacyBankImage(true).size(), 402055u);

    b.bank.setCurrentProgram(5);
    ASSERT_TRUE(b.bank.readLegacyBank(image));
    EXPECT_EQ(std::tuple(b.bank.currentProgram(), b.changed), std::tuple(0, std::vector<int>{-1}));
    EXPECT_EQ(std::tuple(std::string(b.bank.header().name), std::string(b.bank.header().version)),
              std::tuple(std::string("My Bank"), std::string("0920")));
    for (int p = 0; p < Bank::kPrograms; ++p) {
        const Preset& want = a.bank.workingProgram(p);
        for (const Preset* got : {&b.bank.storedProgram(p), &b.bank.workingProgram(p)}) {
            ASSERT_EQ(std::tuple(got->name(), got->legacyNotes(), got->legacyCategory()),
                      std::tuple(want.name(), want.legacyNotes(), want.legacyCategory()))
                << p;
            for (int i = 0; i < kNumParameters; ++i) {
                if (p == 127 && i == 721) continue;
                ASSERT_EQ(got->parameter(i), want.parameter(i)) << p << " " << i;
            }
        }
        EXPECT_EQ(std::tuple(b.bank.storedProgram(p).parameterCount(),
                             b.bank.workingProgram(p).parameterCount()),
                  std::tuple(722, 725));
    }
    // Program 127's parameter 721 keeps its low two bytes; the high two are the first two
    // bytes of the trailing block (program 0's parameter 722).
    const std::uint32_t got = bitsOf(b.bank.storedProgram(127).parameter(721));
    EXPECT_EQ(got & 0xFFFF, bitsOf(a.bank.workingProgram(127).parameter(721)) & 0xFFFF);
    EXPECT_EQ(got >> 16, bitsOf(a.bank.workingProgram(0).parameter(722)) & 0xFFFF);
}

TEST(LegacyBank, TrailingBlockIsReadUntilTheDataEnds) {
    Fixture a;
    for (int p = 0; p < Bank::kPrograms; ++p) {
        a.bank.workingProgram(p).setParameter(722, 0.5f);
        a.bank.workingProgram(p).setParameter(723, 0.25f);
    }
    const auto span = a.bank.buildLegacyBankImage(false);

    // Ends right after the records: older banks, anti-click on everywhere.
    Fixture b;
    ASSERT_TRUE(b.bank.readLegacyBank(span.first(kRecords722)));
    for (int p = 0; p < Bank::kPrograms; ++p)
        ASSERT_EQ(std::tuple(b.bank.workingProgram(p).parameter(722),
                             b.bank.workingProgram(p).parameter(723)),
                  std::tuple(1.0f, b.reset(723)))
            << p;

    // 130 whole items after the block's start: all of 722, and 723 of programs 0 and 1.
    Fixture c;
    ASSERT_TRUE(c.bank.readLegacyBank(span.first(kRecords722 - 2 + 4 * 130 + 3)));
    for (int p = 0; p < Bank::kPrograms; ++p)
        ASSERT_EQ(std::tuple(c.bank.storedProgram(p).parameter(722),
                             c.bank.storedProgram(p).parameter(723),
                             c.bank.storedProgram(p).parameter(724)),
                  std::tuple(0.5f, p < 2 ? 0.25f : c.reset(723), c.reset(724)))
            << p;
}

TEST(LegacyBank, CompactExportEndsTwoBytesShortAndStillReadsBack) {
    Fixture a;
    for (int p = 0; p < Bank::kPrograms; ++p) {
        a.bank.workingProgram(p).setName("C" + std::to_string(p));
        for (int i = 0; i < 714; ++i) a.bank.workingProgram(p).setParameter(i, (p * 3 + i) % 97 / 97.0f);
    }
    const auto span = a.bank.buildLegacyBankImage(true);
    ASSERT_EQ(span.size(), 402055u);
    Fixture b;
    ASSERT_TRUE(b.bank.readLegacyBank(span));
    for (int p = 0; p < Bank::kPrograms; ++p) {
        const Preset& got = b.bank.workingProgram(p);
        ASSERT_EQ(got.name(), "C" + std::to_string(p));
        // The last value of program 127 lost its two high bytes with the file's end.
        for (int i = 0; i < (p == 127 ? 713 : 714); ++i)
            ASSERT_EQ(got.parameter(i), a.bank.workingProgram(p).parameter(i)) << p << " " << i;
        ASSERT_EQ(got.parameter(722), 1.0f); // nothing follows the records
    }
}

TEST(LegacyBank, OldestVersionHas438ValuesAndCategoriesAreOneSignedByte) {
    constexpr int n = 438;
    Bytes data(1033 + 128 * (277 + 4 * n), 0);
    putString(data, 0, std::string("kbf\0" "0910", 8));
    put32(data, 1029, 722); // ignored by these files
    putString(data, 9, "Old Bank");
    for (int p = 0; p < 128; ++p) {
        const std::size_t at = 1033 + static_cast<std::size_t>(p) * (277 + 4 * n);
        putString(data, at, "Old " + std::to_string(p));
        put32(data, at + 273, 0x121212FE); // only the low byte counts: -2
        for (int i = 0; i < n; ++i) putFloat(data, at + 277 + 4 * i, (p + i) % 100 / 100.0f);
    }
    Fixture f;
    ASSERT_TRUE(f.bank.readLegacyBank(data));
    EXPECT_STREQ(f.bank.header().version, "0910");
    EXPECT_STREQ(f.bank.header().name, "Old Bank");
    for (int p : {0, 77, 127}) {
        const Preset& s = f.bank.storedProgram(p);
        EXPECT_EQ(std::tuple(s.name(), s.legacyCategory(), s.parameterCount()),
                  std::tuple("Old " + std::to_string(p), -2, n));
        EXPECT_EQ(std::tuple(s.parameter(437), s.parameter(438), s.parameter(722)),
                  std::tuple((p + 437) % 100 / 100.0f, f.reset(438), 1.0f))
            << p;
    }
}

TEST(LegacyBank, RefusedDataChangesNothing) {
    Fixture a;
    const auto span = a.bank.buildLegacyBankImage(false);
    const Bytes image(span.begin(), span.end());
    auto patched = [&](auto edit) {
        Bytes b = image;
        edit(b);
        return b;
    };
    const Bytes cases[] = {
        {},
        Bytes(image.begin(), image.begin() + 1032),              // header cut
        Bytes(image.begin(), image.begin() + kRecords722 - 3),   // three bytes short of the records
        Bytes(image.begin(), image.begin() + 402055),            // the compact export's size
        patched([](Bytes& b) { b[2] = 'x'; }),                   // "kbx"
        patched([](Bytes& b) { b[3] = '!'; }),                   // no zero after "kbf"
        patched([](Bytes& b) { put32(b, 1029, 0xFFFFFFFF); }),   // negative count
    };
    for (const Bytes& data : cases) {
        Fixture f;
        f.bank.setCurrentProgram(4);
        EXPECT_FALSE(f.bank.readLegacyBank(data)) << data.size();
        EXPECT_EQ(std::tuple(f.bank.workingProgram(0).name(), f.bank.currentProgram(),
                             f.changed.size(), std::string(f.bank.header().version)),
                  std::tuple(std::string("init"), 4, std::size_t{0}, std::string("0920")));
    }
    // A count above 722 is read as 722.
    Fixture f;
    ASSERT_TRUE(f.bank.readLegacyBank(patched([](Bytes& b) { put32(b, 1029, 5000); })));
    EXPECT_EQ(f.bank.storedProgram(9).parameterCount(), 722);
}

TEST(LegacyBank, LoadsAFileByPath) {
    const std::filesystem::path file = std::filesystem::path(std::getenv("HOME")) / "saved.kbf";
    Fixture a, b;
    fillPrograms(a.bank);
    const auto image = a.bank.buildLegacyBankImage(false);
    ASSERT_TRUE(platform::writeFileAtomically(file, image.data(), image.size()));
    EXPECT_FALSE(b.bank.loadLegacyBankFile(file.parent_path() / "missing.kbf"));
    ASSERT_TRUE(b.bank.loadLegacyBankFile(file));
    EXPECT_EQ(std::tuple(b.bank.fileName(), b.bank.workingProgram(42).name()),
              std::tuple(std::string("saved.kbf"), std::string("Program 42")));
}

} // namespace
} // namespace kolva
