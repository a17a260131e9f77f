#include "mfg/firmware_server.h"
#include "platform/datagram_wait.h"

#include <cstdio>
#include <filesystem>
#include <memory>

namespace mfg {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kSocketError = "Error at socket.\n";
constexpr const char* kPort67InUse = "Invalid IP or Port 67 already in use.\n";
constexpr const char* kFileError = "Can not open test firmware file !!\n";
constexpr const char* kFileTooLarge = "Firmware file is 16 MB or larger; TFTP can not send it !!\n";
constexpr const char* kTftpSocketError = "Error at tftp socket.\n";
constexpr const char* kPort69InUse = "Invalid IP or Port 69 already in use.\n";
constexpr const char* kTimeout = "TFTP timeout !!\n";

constexpr std::uint8_t kBootRequest = 1;
constexpr std::uint16_t kTftpRrq = 1;
constexpr std::uint16_t kTftpData = 3;
constexpr std::uint16_t kTftpAck = 4;
constexpr platform::Ipv4 kLimitedBroadcast = 0xFFFFFFFF;

constexpr auto kBootpRequestWait = seconds(15);
constexpr auto kBootpPhaseLimit = seconds(5);
constexpr auto kFirstPacketsWait = seconds(5);
constexpr auto kPacketWait = seconds(1);
constexpr int kMaxRetries = 3;

void putIpv4(std::uint8_t* at, platform::Ipv4 address)
{
    at[0] = static_cast<std::uint8_t>(address >> 24);
    at[1] = static_cast<std::uint8_t>(address >> 16);
    at[2] = static_cast<std::uint8_t>(address >> 8);
    at[3] = static_cast<std::uint8_t>(address);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

std::array<std::uint8_t, kBootpPacketSize> buildBootpReply(const std::array<std::uint8_t, kBootpPacketSize>& request,
    platform::Ipv4 clientAddress, platform::Ipv4 serverAddress, const std::string& firmwarePath,
    std::uint64_t fileLength)
{
    std::array<std::uint8_t, kBootpPacketSize> reply = request;
    reply[0] = 2; // BOOTREPLY
    putIpv4(&reply[16], clientAddress); // yiaddr
    putIpv4(&reply[20], serverAddress); // siaddr
    // The file field takes the path's characters; the rest keeps the request's.
    for (std::size_t i = 0; i < firmwarePath.size() && i < 128; ++i)
        reply[108 + i] = static_cast<std::uint8_t>(firmwarePath[i]);
    const std::uint32_t blocks = tftpPacketCount(fileLength);
    const std::uint8_t options[] = { 0x35, 0x01, 0x02, // DHCP message type: offer
        0x36, 0x04, 0, 0, 0, 0, // server identifier
        0x01, 0x04, 0xFF, 0xFF, 0xFF, 0x00, // subnet mask
        0x03, 0x04, 0x00, 0x00, 0x00, 0x00, // router
        0x0D, 0x02, static_cast<std::uint8_t>(blocks >> 8), static_cast<std::uint8_t>(blocks), // boot file size
        0xFF };
    std::copy(std::begin(options), std::end(options), reply.begin() + 240);
    putIpv4(&reply[245], serverAddress);
    return reply;
}

bool FirmwareServer::ServeFirmware(const std::string& path, const Setup& setup, std::string& resultMessage)
{
    auto opened = platform::UdpSocket::open();
    if (!opened) {
        resultMessage += kSocketError;
        return false;
    }
    platform::UdpSocket bootp = std::move(opened.value());
    if (!bootp.setBroadcast(true) || !platform::enableArrivalInfo(bootp) || !bootp.bind(0, setup.bootpPort)) {
        resultMessage += kPort67InUse;
        return false;
    }

    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        resultMessage += kFileError;
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) {
        resultMessage += kFileError;
        return false;
    }
    const long length = std::ftell(file.get());
    if (length < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        resultMessage += kFileError;
        return false;
    }
    const auto fileLength = static_cast<std::uint64_t>(length);
    if (fileLength > kLargestFirmware) {
        // The block count would run past what the transfer can number.
        resultMessage += kFileTooLarge;
        return false;
    }
    const platform::Ipv4 clientAddress = platform::parseIpv4(setup.clientAddress).value_or(0);
    DownloadProgress progress { path, false, 0, fileLength };
    auto report = [&] {
        if (setup.progress)
            setup.progress(progress);
    };
    report();

    std::uint32_t packetsLeft = tftpPacketCount(fileLength);
    const std::size_t lastSize = fileLength % kTftpBlockSize + 4;
    std::uint16_t blockNumber = 0;
    int retries = 0;
    bool tftpPhase = false;
    std::array<std::uint8_t, kBootpPacketSize> receive {};
    std::array<std::uint8_t, 4 + kTftpBlockSize> transmit {};
    std::size_t transmitSize = 0;
    platform::Endpoint peer;
    platform::UdpSocket listen;
    platform::UdpSocket transfer;
    platform::TimePoint phaseStart = m_clock.now();

    auto bootpTimedOut = [&] {
        m_prompter.message("tftp 1");
        phaseStart = m_clock.now();
        // Wakes a board whose boot loader waits at its menu.
        if (setup.portIo) {
            for (std::uint8_t byte : { '1', '\r', '\n' })
                setup.portIo->Out32(setup.LegacyBase, byte);
        }
        resultMessage += kTimeout;
        return false;
    };

    for (;;) {
        receive.fill(0);
        if (!tftpPhase) {
            if (m_clock.now() - phaseStart > kBootpPhaseLimit)
                return bootpTimedOut();
            auto ready = platform::waitReadable({ bootp.fd() }, m_clock, kBootpRequestWait);
            if (!ready || ready.value() < 0) {
                resultMessage += kTimeout;
                return false;
            }
            platform::Arrival arrival;
            auto got = platform::receiveWithArrival(bootp, receive, arrival);
            if (!got || got.value() == 0 || receive[0] != kBootRequest)
                continue;
            auto created = platform::UdpSocket::open();
            if (!created) {
                resultMessage += kTftpSocketError;
                return false;
            }
            listen = std::move(created.value());
            if (!listen.setBroadcast(true) || !listen.bind(0, setup.tftpPort)) {
                resultMessage += kPort69InUse;
                return false;
            }
            const auto reply = buildBootpReply(receive, clientAddress, setup.ServerAddress, path, fileLength);
            // Out of the interface the request came in on: a limited
            // broadcast has no route of its own on hosts without a gateway.
            (void)platform::sendVia(
                bootp, { kLimitedBroadcast, arrival.sender.port }, reply, arrival.interfaceIndex, arrival.localAddress);
            tftpPhase = true;
            progress.requested = true;
            report();
            continue;
        }

        const int waitFd = transfer.isOpen() ? transfer.fd() : listen.fd();
        auto ready = platform::waitReadable({ waitFd }, m_clock, blockNumber < 2 ? kFirstPacketsWait : kPacketWait);
        if (!ready || ready.value() < 0) {
            if (++retries > kMaxRetries) {
                resultMessage += kTimeout;
                return false;
            }
            if (transmitSize > 0 && transfer.isOpen())
                (void)transfer.sendTo(peer, std::span<const std::uint8_t>(transmit.data(), transmitSize));
            continue;
        }
        platform::UdpSocket& from = transfer.isOpen() ? transfer : listen;
        auto got = from.receiveFrom(receive, peer);
        if (!got || got.value() < 2 || receive[0] != 0 || (receive[1] != kTftpRrq && receive[1] != kTftpAck))
            continue;
        if (packetsLeft == 0) {
            if (setup.link && setup.link->port())
                (void)setup.link->port()->purge();
            return true;
        }
        ++blockNumber;
        const std::size_t dataSize = packetsLeft > 1 ? kTftpBlockSize : lastSize - 4;
        transmit.fill(0);
        transmit[0] = 0;
        transmit[1] = kTftpData;
        transmit[2] = static_cast<std::uint8_t>(blockNumber >> 8);
        transmit[3] = static_cast<std::uint8_t>(blockNumber);
        // A file that shrank meanwhile leaves zeros; the count was fixed at the start.
        (void)std::fread(transmit.data() + 4, 1, dataSize, file.get());
        transmitSize = 4 + dataSize;
        --packetsLeft;
        if (!transfer.isOpen()) {
            listen.close();
            auto created = platform::UdpSocket::open();
            if (!created || !created.value().bind(0, 0)) {
                resultMessage += kPort69InUse;
                return false;
            }
            transfer = std::move(created.value());
        }
        (void)transfer.sendTo(peer, std::span<const std::uint8_t>(transmit.data(), transmitSize));
        retries = 0;
        progress.sent += dataSize;
        report();
    }
}

} // namespace mfg
