#pragma once
// Bytes from the operating system's random generator (BCryptGenRandom with the system-preferred
// generator on Windows, getrandom on Linux).
//
// Never returns unfilled bytes: partial reads and interruptions are retried, and if the system
// generator fails outright the process writes a message to stderr and aborts, since carrying on
// would mean predictable keys.

#include <cstdint>
#include <span>

namespace pelto {

void random_bytes(std::span<std::uint8_t> out);

}  // namespace pelto
