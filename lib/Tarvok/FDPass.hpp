// Tarvok::FDPass: hands an open descriptor to the process at the other end of a UNIX socket.
//
// send() transmits one byte of ordinary data carrying the descriptor as SCM_RIGHTS ancillary
// data; recv() takes that byte and the descriptor (a new one in the receiving process, marked
// close-on-exec). Like any write to a socket, a send to a peer that has gone raises SIGPIPE.
//
//     Tarvok::FDPass::send(sock, Tarvok::FHUtils::Handle{0});   // pass our standard input
//     auto passed = Tarvok::FDPass::recv(peer);                 // the daemon side
#pragma once

#include <optional>

#include "Tarvok/FHUtils/Handle.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::FDPass {

/// The ordinary byte that carries the descriptor.
inline constexpr char CARRIER_BYTE = 'F';

/// Passes `fd` over `socket`. True when the message went out; errno tells why otherwise.
bool send(FHUtils::Handle socket, FHUtils::Handle fd);

/// Receives one descriptor sent by send(); nothing when the next message carries none (or at
/// end of input, or on failure: errno tells which).
std::optional<UniqueFd> recv(FHUtils::Handle socket);

}  // namespace Tarvok::FDPass
