#pragma once
// The --info report: the plug-in's AEffect record and what it answers to the common
// queries, one "key: value" line each.

#include "host/vst_host.h"

#include <string>

namespace kolva::render {

// How many parameters the report lists by name.
inline constexpr int kInfoParameterCount = 8;

std::string pluginInfoText(host::PluginHost& host);

// "VstP"-style text of a four-character code; non-printable bytes shown as '.'.
std::string fourCharText(std::int32_t code);

} // namespace kolva::render
