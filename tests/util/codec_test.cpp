#include "util/base64.h"
#include "util/compression.h"
#include "util/digest.h"
#include "util/json_text.h"
#include "util/uuid.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace kolva {
namespace {

std::span<const std::uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Compression, RoundTripsDeterministicallyAndRefusesBombsAndTruncation) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "osc1_wave " + std::to_string(i % 17) + ",";
    auto packed = rawDeflate(bytes(text));
    ASSERT_TRUE(packed);
    EXPECT_EQ(*packed, *rawDeflate(bytes(text))); // same input, same bytes
    auto back = rawInflate(*packed, text.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(std::string(back->begin(), back->end()), text);

    EXPECT_FALSE(rawInflate(*packed, text.size() - 1)); // would expand past the cap

    std::vector<std::uint8_t> cut(packed->begin(), packed->begin() + packed->size() / 2);
    EXPECT_FALSE(rawInflate(cut, 1 << 20));
    EXPECT_FALSE(rawInflate(bytes("not deflate at all, just text"), 1 << 20));

    const std::string zeros(50'000'000, '\0'); // 50 MB of zeros packs into ~50 kB
    auto bomb = rawDeflate(bytes(zeros));
    ASSERT_TRUE(bomb);
    EXPECT_LT(bomb->size(), 100'000u);
    EXPECT_FALSE(rawInflate(*bomb, 4 << 20));
}

TEST(Base64, EncodesKnownVectorsAndRejectsGarbage) {
    EXPECT_EQ(base64Encode(bytes("")), "");
    EXPECT_EQ(base64Encode(bytes("f")), "Zg==");
    EXPECT_EQ(base64Encode(bytes("fo")), "Zm8=");
    EXPECT_EQ(base64Encode(bytes("foobar")), "Zm9vYmFy");
    for (std::string s : {"", "f", "fo", "foo", "foob", "fooba"}) {
        auto d = base64Decode(base64Encode(bytes(s)));
        ASSERT_TRUE(d) << s;
        EXPECT_EQ(std::string(d->begin(), d->end()), s);
    }
    auto wrapped = base64Decode("Zm9v\nYmFy\r\n");
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(wrapped->size(), 6u);
    EXPECT_FALSE(base64Decode("Zm9"));       // bad length
    EXPECT_FALSE(base64Decode("Zm=v"));      // padding inside
    EXPECT_FALSE(base64Decode("Zm9v!mFy"));  // outside the alphabet
    EXPECT_FALSE(base64Decode("Z==="));      // three pads
}

TEST(Digest, MatchesPublishedVectors) {
    EXPECT_EQ(sha256Hex(std::string_view("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha512Hex(bytes("abc")).substr(0, 12), "ddaf35a19361");
    EXPECT_EQ(newUuid().size(), 36u);
    EXPECT_NE(newUuid(), newUuid());
}

TEST(JsonText, FloatsAsATextStreamWritesThemWhateverTheLocale) {
    // A host may run under a comma-decimal locale; the text must not follow it.
    const char* old = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    EXPECT_EQ(formatGeneral(0.5f), "0.5");
    EXPECT_EQ(formatGeneral(0.00001f), "1e-05");
    EXPECT_EQ(formatGeneral(1.0f), "1");
    EXPECT_EQ(formatGeneral(0.123456789f), "0.123457");
    EXPECT_EQ(dumpJson(floatToJson(0.5f)), "0.5");
    EXPECT_EQ(dumpJson(floatToJson(0.00001f)), "1e-05");
    EXPECT_EQ(dumpJson(floatToJson(1.0f)), "1");
    EXPECT_EQ(dumpJson(floatToJson(0.0f)), "0");
    EXPECT_EQ(dumpJson(floatToJson(0.123456789f)), "0.123457");
    if (old) std::setlocale(LC_NUMERIC, "C");
}

TEST(JsonText, ParseNeverThrowsAndRefusesDeepNesting) {
    EXPECT_TRUE(parseJson(R"({"a":[1,2,{"b":null}]})"));
    EXPECT_FALSE(parseJson("{\"a\":"));
    EXPECT_FALSE(parseJson("\xff\xfe"));
    EXPECT_FALSE(parseJson(std::string(200, '[') + std::string(200, ']')));
    EXPECT_TRUE(parseJson(std::string(10, '[') + std::string(10, ']')));
    OrderedJson bad = std::string("\xc3\x28 broken utf-8");
    EXPECT_NO_THROW(dumpJson(bad));
}

} // namespace
} // namespace kolva
