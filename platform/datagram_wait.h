#pragma once

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/result.h"

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace platform {

// Waits until one of the sockets has a datagram waiting, at most `limit`
// measured on `clock` (a scaled or virtual clock passes its own time). The
// index of the first readable socket in `fds`, -1 on time-out, or an error.
Result<int> waitReadable(std::initializer_list<int> fds, Clock& clock, Duration limit);

// A datagram's arrival: who sent it and on which interface it came in.
struct Arrival {
    Endpoint sender;
    int interfaceIndex = 0; // 0 when unknown
    Ipv4 localAddress = 0; // the address of ours the datagram was meant for
};

// Asks the socket to report the arrival interface of every datagram.
Result<void> enableArrivalInfo(UdpSocket& socket);
// Receives one datagram with its arrival (needs enableArrivalInfo).
Result<std::size_t> receiveWithArrival(UdpSocket& socket, std::span<std::uint8_t> buffer, Arrival& arrival);
// Sends one datagram out of the given interface (0: by the routing table).
// A limited broadcast (255.255.255.255) needs this on hosts without a default
// route, which production-line networks often are.
Result<std::size_t> sendVia(
    UdpSocket& socket, const Endpoint& to, std::span<const std::uint8_t> data, int interfaceIndex, Ipv4 source = 0);
// The index of a named interface ("lo", "eth0"), 0 when there is none.
int interfaceIndex(const std::string& name);

// Starts a program in the background, its output discarded, and does not
// wait for it; the process is reaped by the system. False when it cannot start.
bool startDetached(const std::vector<std::string>& argv);

} // namespace platform
