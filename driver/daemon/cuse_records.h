#pragma once

#include "driver/host/cuse_tty.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace driver::daemon {

// The port's serial records as a tty's line settings and back: the line
// control record (StopBits, Parity, WordLength), the handflow record and the
// special characters; and the modem status (16550 MSR) with DTR/RTS.
std::array<std::uint8_t, 3> lineControlOf(const host::TtyLine& line);
void takeLineControl(host::TtyLine& line, std::span<const std::uint8_t> record);
std::vector<std::uint8_t> handflowOf(const host::TtyLine& line);
void takeHandflow(host::TtyLine& line, std::span<const std::uint8_t> record);
host::TtyModem modemOf(std::uint32_t modemStatus, std::uint32_t dtrRts);
// Little-endian 32-bit words, as the port's records have them.
std::vector<std::uint8_t> wordRecord(std::initializer_list<std::uint32_t> values);
// Adds the events a WAIT_ON_MASK completed with to the counts.
void countEvents(host::TtyCounts& counts, std::uint32_t events);

} // namespace driver::daemon
