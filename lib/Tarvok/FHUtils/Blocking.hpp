// Tarvok::FHUtils::Blocking: reading and changing a descriptor's non-blocking flag.
//
// Every call reads the descriptor's status flags afresh (nothing is cached) and changes only
// O_NONBLOCK, keeping the others (append mode, ...). A failing fcntl() raises FcntlFailed.
#pragma once

#include "Tarvok/FHUtils/Handle.hpp"

namespace Tarvok::FHUtils::Blocking {

/// Adds O_NONBLOCK to the status flags. Returns true.
bool set_non_blocking(Handle handle);
/// Removes O_NONBLOCK from the status flags. Returns true.
bool set_blocking(Handle handle);
/// True when the descriptor is in blocking mode.
bool is_set_to_block(Handle handle);

}  // namespace Tarvok::FHUtils::Blocking
