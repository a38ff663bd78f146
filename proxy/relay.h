#pragma once
// Copying bytes between two streams: one direction (`pump`) and a whole relayed connection
// (`relay`), which runs one direction on a second thread and the other on the caller's.

#include <atomic>
#include <memory>

#include "proxy/stream.h"

namespace pelto {

// The flags that end every relay of a session or of the whole engine. Either may be null; the
// flags must outlive every relay that watches them.
struct relay_stop_flags {
    const std::atomic<bool>* quit = nullptr;
    const std::atomic<bool>* session_stop = nullptr;
};

inline constexpr std::int32_t pump_chunk_size = 16384;

// Reads from `source` and writes to `destination` in chunks of at most 16384 bytes (one buffer on
// the stack, no allocation) until the source ends, a write fails, or a stop flag is seen before a
// read. Then always closes `source` and then `destination`; closing both is what wakes the other
// direction of a relay.
void pump(stream& source, stream& destination, const relay_stop_flags& stop);

// Relays one connection until either side ends: client -> outbound on a new thread, outbound ->
// client on the calling thread; joins the new thread before returning. Both streams are closed
// on return. False (after closing both, without relaying anything) when the second thread cannot
// be started; the connection is dropped and the process carries on.
bool relay(std::shared_ptr<stream> client, std::shared_ptr<stream> outbound,
           const relay_stop_flags& stop);

}  // namespace pelto
