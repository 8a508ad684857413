// --param resolution against the test plug-in, in its own shape and posing as Kolva.

#include "core/option_list.h"
#include "core/parameter_defs.h"
#include "host/vst_host.h"
#include "render/param_assign.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kolva::render {
namespace {

std::unique_ptr<host::PluginHost> loadFake(const std::string& product) {
    host::HostIdentity identity;
    identity.product = product;
    std::string error;
    auto host = host::PluginHost::load(KOLVA_FAKE_PLUGIN, identity, error);
    EXPECT_TRUE(host) << error;
    if (host) host->open();
    return host;
}

TEST(ParameterResolver, ByIndexAndByThePluginsNames) {
    auto host = loadFake("fake"); // parameters "alpha" and "level"
    ASSERT_TRUE(host);
    ParameterResolver resolver(*host);
    EXPECT_FALSE(resolver.usesKolvaTable());
    ParameterAssignment a;
    std::string error;
    ASSERT_TRUE(resolver.resolve("level=0.25", a, error)) << error;
    EXPECT_EQ(a.index, 1);
    EXPECT_FLOAT_EQ(a.value, 0.25f);
    ASSERT_TRUE(resolver.resolve(" 0 = 1 ", a, error)) << error;
    EXPECT_EQ(a.index, 0);
    EXPECT_EQ(a.name, "alpha");
    ASSERT_TRUE(resolver.resolve("ALPHA=0", a, error)) << error;
    EXPECT_EQ(a.index, 0);

    struct Case {
        const char* setting;
        const char* expected;
    };
    const Case failures[] = {
        {"gamma=0.1", "no parameter named \"gamma\""},
        {"2=0.1", "out of range"},
        {"alpha=1.5", "outside 0..1"},
        {"alpha=nan", "outside 0..1"},
        {"alpha=high", "not a number"}, // option words are Kolva's only
        {"alpha", "NAME_OR_INDEX=VALUE"},
    };
    for (const Case& c : failures) {
        SCOPED_TRACE(c.setting);
        EXPECT_FALSE(resolver.resolve(c.setting, a, error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

// Option k of an enumerated parameter decoded the way the plug-in reads it back.
int decodeOption(const ParameterDef& def, float value) {
    if (def.encoding == OptionEncoding::Thousandths) return static_cast<int>(999.99f * value);
    return static_cast<int>(std::lround(value * (def.optionCount - 1)));
}

TEST(ParameterResolver, KolvaNamesAndOptionWordsWhenThePluginGivesNoNames) {
    auto host = loadFake("as-kolva"); // unique ID Kol2, 725 parameters, empty names
    ASSERT_TRUE(host);
    ParameterResolver resolver(*host);
    ASSERT_TRUE(resolver.usesKolvaTable());
    const auto& defs = parameterDefs();
    ParameterAssignment a;
    std::string error;

    ASSERT_TRUE(resolver.resolve(defs[param::kVolume].name + "=0.75", a, error)) << error;
    EXPECT_EQ(a.index, param::kVolume);
    EXPECT_FLOAT_EQ(a.value, 0.75f);
    EXPECT_EQ(a.name, defs[param::kVolume].name);

    // One parameter of each encoding, its last option word (the largest code).
    for (OptionEncoding encoding : {OptionEncoding::Thousandths, OptionEncoding::Plain}) {
        int index = -1;
        for (int i = 0; i < kNumParameters && index < 0; ++i)
            if (defs[i].encoding == encoding && defs[i].optionCount > 2) index = i;
        ASSERT_GE(index, 0);
        const ParameterDef& def = defs[index];
        std::vector<std::string> words = optionWords(def.options);
        ASSERT_EQ(static_cast<int>(words.size()), def.optionCount);
        SCOPED_TRACE(def.name + "=" + words.back());
        ASSERT_TRUE(resolver.resolve(def.name + "=" + words.back(), a, error)) << error;
        EXPECT_EQ(a.index, index);
        EXPECT_EQ(decodeOption(def, a.value), def.optionCount - 1);
        ASSERT_TRUE(resolver.resolve(def.name + "=" + words[1], a, error)) << error;
        EXPECT_EQ(decodeOption(def, a.value), 1);
        EXPECT_FALSE(resolver.resolve(def.name + "=no_such_option", a, error));
        EXPECT_NE(error.find(words[0]), std::string::npos) << error; // lists the options
    }
    EXPECT_FALSE(resolver.resolve("no_such_parameter=0", a, error));
}

} // namespace
} // namespace kolva::render
