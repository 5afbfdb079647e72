// Per-universe sequence numbers, shared by every output of the program and by the watcher that
// darkens the lamps after a crash: a receiver drops a packet whose number lies just behind the
// last one it took, so a stream that starts again, or a dark frame sent after a death, must
// continue the count rather than begin at zero.
#pragma once

#include <cstdint>

namespace solvera::dmx::sequence {

// sACN: 0 to 255 and round again, per universe (1 to 63999).
std::uint8_t nextSacn(std::uint16_t universe);
// Art-Net: 1 to 255 and round again (0 means "not sequenced"), per 15-bit port address.
std::uint8_t nextArtNet(std::uint16_t universe);

// Moves the counters into memory that processes forked later share. Once, before any output
// sends and before threads start. Both functions above are async-signal-safe.
void shareWithChildren();

}  // namespace solvera::dmx::sequence
