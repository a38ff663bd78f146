#pragma once
// The dial function TUN mode receives from the engine. The type lives with the channel types it
// returns (proxy/stream.h), so the protocol layer never includes anything of TUN mode.

#include "proxy/stream.h"
