#pragma once
// Keeping a shared library this plug-in uses resident after the plug-in itself is unloaded.
// A library with process-wide state (an FFT planner's caches) would otherwise be unloaded
// along with the plug-in and lose that memory, once per load in hosts that reload plug-ins.

namespace kolva::platform {

// Pins the shared library that contains `symbol` for the life of the process. False when
// the symbol is not in a shared library or the loader refuses; nothing else happens then.
bool pinLibraryOf(const void* symbol);

} // namespace kolva::platform
