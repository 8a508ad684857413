// The library's entry points: the host passes its callback and receives the instance's AEffect
// record. Exported as VSTPluginMain and, for older hosts, as main.

#include "core/plugin_entry.h"

extern "C" {

__attribute__((visibility("default"))) AEffect* VSTPluginMain(audioMasterCallback audioMaster) {
    return kolva::createPluginInstance(audioMaster);
}

// "main" cannot be declared as an ordinary C++ function of this type; give it the symbol name.
__attribute__((visibility("default"))) AEffect* kolvaMainEntry(audioMasterCallback audioMaster)
    __asm__("main");
AEffect* kolvaMainEntry(audioMasterCallback audioMaster) {
    return kolva::createPluginInstance(audioMaster);
}

} // extern "C"
