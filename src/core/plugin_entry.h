#pragma once
// Creates one plug-in instance for a host callback: asks the host's version (a host answering
// 0 gets no instance), constructs the plug-in and returns its AEffect record, or nullptr.
// Never throws.

#include "core/vst/vst_abi.h"

namespace kolva {

AEffect* createPluginInstance(audioMasterCallback audioMaster);

} // namespace kolva
