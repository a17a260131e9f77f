#pragma once

#include "platform/clock.h"
#include "platform/net.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::boardsim {

// How the boot loader's network client behaves, faults included.
struct BootClientOptions {
    std::string interfaceName = "lo"; // where its broadcasts go out
    // Bringing up the Ethernet controller before the first request; a PC that
    // opens its server right after telling the loader what to fetch is ready by then.
    std::chrono::milliseconds networkStart { 100 };
    std::chrono::milliseconds bootpRetry { 1000 }; // BOOTP request repeated until an offer comes
    std::chrono::milliseconds tftpRetry { 1000 }; // last RRQ or ACK repeated when nothing comes
    int tftpRetries = 5; // then the loader starts over with BOOTP
    bool noBootp = false; // never asks for an address
    bool tftpSilent = false; // takes the offer but never asks for the file
    bool duplicateAcks = false; // acknowledges every DATA twice
    long stopAckAfter = -1; // stops acknowledging after this block
    std::array<std::uint8_t, 6> hardwareAddress { 0x00, 0xA0, 0xB0, 0x00, 0x00, 0x01 };
    std::uint16_t clientPort = 68;
    std::uint16_t serverPort = 67;
};

// A boot loader's BOOTP and TFTP client: broadcasts a BOOTP request to UDP 67,
// takes the first offer, asks the offered server's port 69 for the offered
// file and acknowledges every DATA block, repeating its last packet when the
// server goes quiet. Driven by poll() on its owner's thread; non-blocking.
class BootClient {
public:
    enum class State {
        Requesting, // broadcasting BOOTP requests
        Reading, // RRQ sent, DATA blocks coming in
        Done, // the whole file has arrived
        Silent, // took an offer and does nothing more (fault)
    };

    BootClient(platform::Clock& clock, BootClientOptions options);

    // Sends and receives what is due now.
    void poll();
    State state() const { return m_state; }
    const std::vector<std::uint8_t>& file() const { return m_file; }
    platform::Ipv4 offeredAddress() const { return m_yiaddr; }
    platform::Ipv4 serverAddress() const { return m_siaddr; }
    const std::string& offeredFile() const { return m_fileName; }
    int announcedBlocks() const { return m_announcedBlocks; }
    // What went wrong with the sockets, if anything.
    const std::string& lastError() const { return m_error; }

private:
    void startOver();
    void sendRequest();
    void receiveOffer();
    void sendRrq();
    void receiveData();
    void sendAck(std::uint16_t block);

    platform::Clock& m_clock;
    BootClientOptions m_options;
    State m_state = State::Requesting;
    platform::UdpSocket m_bootp;
    platform::UdpSocket m_tftp;
    int m_interface = 0;
    std::uint32_t m_xid = 0;
    platform::TimePoint m_nextSend {};
    int m_retries = 0;
    platform::Ipv4 m_yiaddr = 0;
    platform::Ipv4 m_siaddr = 0;
    std::string m_fileName;
    int m_announcedBlocks = 0;
    platform::Endpoint m_serverTid;
    std::uint16_t m_expected = 1;
    std::vector<std::uint8_t> m_lastPacket;
    platform::Endpoint m_lastPacketTo;
    std::vector<std::uint8_t> m_file;
    std::string m_error;
};

} // namespace sim::boardsim
