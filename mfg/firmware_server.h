#pragma once

#include "mfg/serial_link.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/port_io.h"
#include "platform/prompter.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace mfg {

inline constexpr std::size_t kBootpPacketSize = 516;
inline constexpr std::size_t kTftpBlockSize = 512;
// 32767 full blocks and a remainder: the largest file the transfer can count.
inline constexpr std::uint64_t kLargestFirmware = 16777215;

// The number of DATA packets a file goes out in: one per full block and a
// last one with the remainder, which may be empty.
inline std::uint32_t tftpPacketCount(std::uint64_t fileLength)
{
    return static_cast<std::uint32_t>(fileLength / kTftpBlockSize + 1);
}

// The BOOTP offer: the request changed in place (`request` holds the
// received bytes, zero beyond them).
std::array<std::uint8_t, kBootpPacketSize> buildBootpReply(const std::array<std::uint8_t, kBootpPacketSize>& request,
    platform::Ipv4 clientAddress, platform::Ipv4 serverAddress, const std::string& firmwarePath,
    std::uint64_t fileLength);

// How far one firmware download has come.
struct DownloadProgress {
    std::string path; // the file served
    bool requested = false; // the board's BOOTP request came and was answered
    std::uint64_t sent = 0; // bytes of the file sent so far
    std::uint64_t total = 0; // the file's length
};

// Serves one firmware file to one board's boot loader: answers the first
// BOOTP request with a fixed offer and sends the file by TFTP to whoever asks
// on port 69, whatever file name it asks for. Blocks until the transfer ends.
class FirmwareServer {
public:
    struct Setup {
        std::string clientAddress; // dotted, offered to the board
        platform::Ipv4 ServerAddress = 0; // ours, offered as the server
        platform::PortIo* portIo = nullptr; // for the "1" CR LF on a BOOTP time-out
        std::uint16_t LegacyBase = 0x3F8;
        SerialLink* link = nullptr; // purged after a transfer
        std::uint16_t bootpPort = 67;
        std::uint16_t tftpPort = 69;
        // Told when the transfer starts waiting for the board and after
        // every block sent; null: nobody watches.
        std::function<void(const DownloadProgress&)> progress;
    };

    FirmwareServer(platform::Clock& clock, platform::Prompter& prompter)
        : m_clock(clock)
        , m_prompter(prompter)
    {
    }

    // False when the transfer failed; the reasons are then added to
    // `resultMessage`.
    bool ServeFirmware(const std::string& path, const Setup& setup, std::string& resultMessage);

private:
    platform::Clock& m_clock;
    platform::Prompter& m_prompter;
};

} // namespace mfg
