#pragma once

// Shared by the parts of the socket transport (socket_transport*.cpp) only.

#include "driver/socket_transport.h"

#include <chrono>

namespace driver::link {

// A control send that the network does not take within this time is
// cancelled. Data waits as long as the connection lives: the device server
// holds the program back.
inline constexpr auto kSendLimit = std::chrono::seconds(30);
// How often a write held by a server's suspension looks whether the
// connection still lives.
inline constexpr auto kSuspendCheck = std::chrono::seconds(1);

inline bool isConnected(LinkState state)
{
    return state == LinkState::Connected || state == LinkState::ServingConnected;
}
inline bool isServing(LinkState state) { return state == LinkState::Serving || state == LinkState::ServingConnected; }

} // namespace driver::link
