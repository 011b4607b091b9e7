// The process-wide output engine: one mixer on one output device.
#pragma once

namespace CVBass {
// -1 the system default output, 0 the "No sound" device,
// n >= 1 the n-th output device of the enumeration.
extern int outputDevice;

// Opens outputDevice and starts the mixer; a device that cannot be opened
// (and "No sound") runs the mixer on a real-time clock without sound.
bool init();
// Closes the output device; players keep their decoders.
void free();
} // namespace CVBass
