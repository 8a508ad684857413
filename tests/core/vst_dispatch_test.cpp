// The plug-in as a host sees it: AEffect fields, dispatcher answers, entry-point refusals.

#include "core/kolva.h"
#include "core/vst/vst_abi.h"
#include "support/fake_host.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kolva::test {
namespace {

std::string textOf(HostedPlugin& p, int opcode, int index = 0) {
    char buf[256];
    std::memset(buf, 'x', sizeof buf);
    buf[255] = '\0';
    p.dispatch(opcode, index, 0, buf);
    return buf;
}

TEST(VstEntry, RefusesHostWithoutVersion) {
    FakeHost host;
    host.answerVersion = false;
    HostedPlugin p(host);
    EXPECT_FALSE(p.valid());
}

TEST(VstEntry, AEffectFieldsDescribeAStereoSynthWithChunks) {
    FakeHost host;
    HostedPlugin p(host);
    ASSERT_TRUE(p.valid());
    const AEffect* e = p.effect();
    EXPECT_EQ(e->magic, kEffectMagic);
    EXPECT_EQ(e->numPrograms, 0);
    EXPECT_EQ(e->numParams, 725);
    EXPECT_EQ(e->numInputs, 0);
    EXPECT_EQ(e->numOutputs, 2);
    // can-replacing + programs-are-chunks + is-synth; no editor window exists yet.
    EXPECT_EQ(e->flags & 0xFFFF, effFlagsCanReplacing | effFlagsProgramChunks | effFlagsIsSynth);
    EXPECT_EQ(e->flags & effFlagsHasEditor, 0);
    EXPECT_EQ(e->flags & effFlagsCanDoubleReplacing, 0);
    EXPECT_EQ(e->uniqueID, 0x4B6F6C32); // "Kol2"
    EXPECT_EQ(e->version, 1);
    EXPECT_FLOAT_EQ(e->float1, 1.0f);
    EXPECT_NE(e->processReplacing, nullptr);
    EXPECT_EQ(e->processDoubleReplacing, nullptr);
    // The reserved tail of the real record is present and zero.
    const auto* rec = reinterpret_cast<const vst::AEffectRecord*>(e);
    for (char c : rec->reserved) EXPECT_EQ(c, 0);
}

TEST(VstDispatch, NamesVersionsAndCategory) {
    FakeHost host;
    HostedPlugin p(host);
    EXPECT_EQ(textOf(p, effGetEffectName), "Kolva-1.5");
    EXPECT_EQ(textOf(p, effGetVendorString), "Mornside");
    EXPECT_EQ(textOf(p, effGetProductString), "Kolva-1.5");
    EXPECT_EQ(p.dispatch(effGetVendorVersion), 1521);
    EXPECT_EQ(p.dispatch(effGetPlugCategory), kPlugCategSynth);
    EXPECT_EQ(p.dispatch(effGetVstVersion), 2400);
    EXPECT_EQ(p.dispatch(vst::kEffGetNumMidiInputChannels), 1);
    EXPECT_EQ(p.dispatch(vst::kEffGetNumMidiOutputChannels), 0);
    // Towards the host, parameter names, labels and displays are empty.
    EXPECT_EQ(textOf(p, effGetParamName, 32), "");
    EXPECT_EQ(textOf(p, effGetParamLabel, 32), "");
    EXPECT_EQ(textOf(p, effGetParamDisplay, 32), "");
    EXPECT_EQ(p.dispatch(effCanBeAutomated, 0), 1);
    EXPECT_EQ(p.dispatch(effCanBeAutomated, 724), 1);
    EXPECT_EQ(p.dispatch(effCanBeAutomated, 725), 0);
}

TEST(VstDispatch, CanDoAnswersOnlyTheThreeKnownTexts) {
    FakeHost host;
    HostedPlugin p(host);
    auto ask = [&](const char* s) { return p.dispatch(effCanDo, 0, 0, const_cast<char*>(s)); };
    EXPECT_EQ(ask("receiveVstEvents"), 1);
    EXPECT_EQ(ask("receiveVstMidiEvent"), 1);
    EXPECT_EQ(ask("midiProgramNames"), 1);
    EXPECT_EQ(ask("sendVstEvents"), -1);
    EXPECT_EQ(ask("sendVstMidiEvent"), -1);
    EXPECT_EQ(ask("bypass"), -1);
    EXPECT_EQ(ask(""), -1);
    EXPECT_EQ(p.dispatch(effCanDo, 0, 0, nullptr), 0);
}

TEST(VstDispatch, OutputPropertiesNameBothChannels) {
    FakeHost host;
    HostedPlugin p(host);
    for (int i = 0; i < 2; ++i) {
        VstPinProperties props;
        std::memset(&props, 0x55, sizeof props);
        ASSERT_EQ(p.dispatch(effGetOutputProperties, i, 0, &props), 1);
        EXPECT_EQ(std::string(props.label), i == 0 ? "Kolva1" : "Kolva2");
        EXPECT_EQ(props.flags, vst::kPinIsActive | vst::kPinIsStereo);
    }
    VstPinProperties props{};
    EXPECT_EQ(p.dispatch(effGetOutputProperties, 2, 0, &props), 0);
    EXPECT_EQ(p.dispatch(effGetInputProperties, 0, 0, &props), 0);
}

TEST(VstDispatch, VendorSpecificCodes) {
    FakeHost host;
    HostedPlugin p(host);
    EXPECT_EQ(p.dispatch(effVendorSpecific, 0x73486921), 1);
    EXPECT_EQ(p.dispatch(effVendorSpecific, 0x73493030), 1);
    EXPECT_EQ(p.dispatch(effVendorSpecific, 0x734F3030), 0);
    EXPECT_EQ(p.dispatch(effVendorSpecific, 0x12345678), 0);

    // Value to text writes value x 1000 without decimals into the same buffer.
    union {
        float f;
        char text[64];
    } buf{};
    buf.f = 0.4567f;
    ASSERT_EQ(p.dispatch(effVendorSpecific, 0x73563253, 7, buf.text), 1);
    EXPECT_STREQ(buf.text, "457");

    // Text to value reads a decimal number x 0.001, clamped to [0, 1].
    auto toValue = [&](const char* s) {
        std::memset(buf.text, 0, sizeof buf.text);
        std::strcpy(buf.text, s);
        EXPECT_EQ(p.dispatch(effVendorSpecific, 0x73533256, 3, buf.text), 1);
        return buf.f;
    };
    EXPECT_FLOAT_EQ(toValue("250"), 0.25f);
    EXPECT_FLOAT_EQ(toValue("1234.5"), 1.0f);
    EXPECT_FLOAT_EQ(toValue("-5"), 0.0f);
    EXPECT_FLOAT_EQ(toValue("nonsense"), 0.0f);
    EXPECT_FLOAT_EQ(toValue("nan"), 0.0f);
    EXPECT_FLOAT_EQ(toValue("500.5"), 0.5005f);
}

// Switches LC_NUMERIC to German (decimal comma), compiling the locale privately when the
// system has none. False when that is impossible here.
bool useGermanNumbers() {
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) return true;
    const std::string dir = std::string(std::getenv("HOME")) + "/locales";
    const std::string cmd = "mkdir -p '" + dir + "' && localedef -i de_DE -f UTF-8 '" + dir +
                            "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return false;
    ::setenv("LOCPATH", dir.c_str(), 1);
    return std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
}

TEST(VstDispatch, HostTextConversionIgnoresTheProcessLocale) {
    if (!useGermanNumbers()) GTEST_SKIP() << "no German locale can be had";
    char probe[32];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    EXPECT_STREQ(probe, "0,5"); // the locale really is active
    FakeHost host;
    HostedPlugin p(host);
    union {
        float f;
        char text[64];
    } buf{};
    std::strcpy(buf.text, "500.5");
    p.dispatch(effVendorSpecific, 0x73533256, 0, buf.text);
    const float v = buf.f;
    buf.f = 0.2506f;
    p.dispatch(effVendorSpecific, 0x73563253, 0, buf.text);
    const std::string text = buf.text;
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_FLOAT_EQ(v, 0.5005f);
    EXPECT_EQ(text, "251");
}

TEST(VstDispatch, ProgramsAreNotForwardedBecauseThereAreNone) {
    FakeHost host;
    HostedPlugin p(host);
    p.dispatch(effSetProgram, 0, 5);
    EXPECT_EQ(p.dispatch(effGetProgram), 0);
    char name[64] = "junk";
    p.dispatch(effGetProgramName, 0, 0, name);
    EXPECT_EQ(std::string(name).size(), std::strlen(name)); // terminated
}

TEST(VstDispatch, UnknownOpcodesAndNullPointersAreHarmless) {
    FakeHost host;
    HostedPlugin p(host);
    for (int op : {-1, 9, 16, 28, 30, 57, 66, 70, 99, 1000, 100123})
        EXPECT_EQ(p.dispatch(op, 1, 2, nullptr, 0.5f), 0) << "opcode " << op;
    for (int op : {effGetProgramName, effGetParamName, effGetEffectName, effGetVendorString,
                   effGetProductString, effGetOutputProperties, effGetChunk, effSetChunk,
                   effEditGetRect, effProcessEvents, effVendorSpecific})
        p.dispatch(op, 0, 0, nullptr);
    // No editor yet: the editor opcodes answer 0 and leave the rectangle null.
    ERect* rect = reinterpret_cast<ERect*>(0x1);
    EXPECT_EQ(p.dispatch(effEditGetRect, 0, 0, &rect), 0);
    EXPECT_EQ(rect, nullptr);
    EXPECT_EQ(p.dispatch(effEditOpen, 0, 0, nullptr), 0);
    // A chunk request without a place to put the address is refused; a restore of junk
    // (or of a negative size) is survived and keeps the sound.
    EXPECT_EQ(p.dispatch(effGetChunk, 0, 0, nullptr), 0);
    void* data = nullptr;
    const auto size = p.dispatch(effGetChunk, 0, 0, &data);
    ASSERT_GT(size, 0);
    const std::string before(static_cast<const char*>(data), static_cast<std::size_t>(size));
    char junk[] = "not a kolva chunk";
    EXPECT_EQ(p.dispatch(effSetChunk, 0, sizeof junk, junk), static_cast<VstIntPtr>(sizeof junk));
    EXPECT_EQ(p.dispatch(effSetChunk, 0, -5, junk), 0);
    EXPECT_EQ(p.dispatch(effSetChunk, 0, 10, nullptr), 0);
    const auto after = p.dispatch(effGetChunk, 0, 0, &data);
    EXPECT_EQ(std::string(static_cast<const char*>(data), static_cast<std::size_t>(after)), before);
}

TEST(VstDispatch, ParameterIndicesAndValuesOutOfRange) {
    FakeHost host;
    HostedPlugin p(host);
    p.setParameter(-1, 0.5f);
    p.setParameter(725, 0.5f);
    p.setParameter(100000, 0.5f);
    EXPECT_EQ(p.getParameter(-1), 0.0f);
    EXPECT_EQ(p.getParameter(725), 0.0f);
    p.setParameter(5, std::numeric_limits<float>::quiet_NaN());
    EXPECT_FALSE(std::isnan(p.getParameter(5)));
    p.setParameter(5, std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isfinite(p.getParameter(5)));
    // An out-of-range finite value is stored as received.
    p.setParameter(5, 1.25f);
    EXPECT_FLOAT_EQ(p.getParameter(5), 1.25f);
}

TEST(VstDispatch, UpdateDisplayIsNotSentToAbleton) {
    for (bool ableton : {false, true}) {
        FakeHost host;
        host.vendor = ableton ? "Ableton AG" : "Harrison";
        HostedPlugin p(host);
        auto* k = dynamic_cast<Kolva*>(AudioEffect::fromAeffect(p.effect()));
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k->isAbletonHost(), ableton);
        EXPECT_EQ(k->updateDisplay(), !ableton);
        EXPECT_EQ(host.updateDisplayCalls, ableton ? 0 : 1);
    }
}

TEST(EditorQueries, NamesAndDisplaysAreCutToTheCallersRoom) {
    FakeHost host;
    HostedPlugin p(host);
    Kolva& k = *dynamic_cast<Kolva*>(AudioEffect::fromAeffect(p.effect()));
    EXPECT_EQ(k.parameterName(32), "osc1_wave");
    EXPECT_EQ(k.parameterName(32, 5), "osc1");
    EXPECT_EQ(k.parameterName(725), "");
    EXPECT_EQ(k.parameterLabel(32), "");
    EXPECT_EQ(k.parameterDisplay(103, 0.4567f, 16), "457");
    EXPECT_EQ(k.parameterDisplay(103, 0.4567f, 3), "45");
    // The filter mode names follow the filter type chosen by the host.
    p.setParameter(101, 2.0f / 999.0f); // Acido
    EXPECT_EQ(k.parameterDisplay(102, 2.0f / 999.0f, 16), "LP3");
    EXPECT_FALSE(k.isSoundParameterIndex(0));
    EXPECT_TRUE(k.isSoundParameterIndex(4));
}

TEST(VstDispatch, FlStudioIsRecognisedByProductAndVendor) {
    FakeHost host;
    host.product = "Fruity Wrapper";
    host.vendor = "Image-Line";
    HostedPlugin p(host);
    auto* k = dynamic_cast<Kolva*>(AudioEffect::fromAeffect(p.effect()));
    EXPECT_TRUE(k->isFlStudioHost());
    host.vendor = "Other";
    EXPECT_FALSE(k->isFlStudioHost());
}

} // namespace
} // namespace kolva::test
