#include "sim/boardsim/boot_client.h"
#include "platform/datagram_wait.h"

#include <cstring>
#include <random>

namespace sim::boardsim {

namespace {

constexpr platform::Ipv4 kLimitedBroadcast = 0xFFFFFFFF;
constexpr std::uint16_t kTftpPort = 69;
constexpr std::size_t kBlockSize = 512;

platform::Ipv4 getIpv4(const std::uint8_t* at)
{
    return (platform::Ipv4 { at[0] } << 24) | (platform::Ipv4 { at[1] } << 16) | (platform::Ipv4 { at[2] } << 8)
        | at[3];
}

} // namespace

BootClient::BootClient(platform::Clock& clock, BootClientOptions options)
    : m_clock(clock)
    , m_options(std::move(options))
{
    m_interface = platform::interfaceIndex(m_options.interfaceName);
    std::random_device seed;
    m_xid = seed();
    startOver();
    m_nextSend = m_clock.now() + m_options.networkStart;
}

void BootClient::startOver()
{
    m_state = State::Requesting;
    m_tftp.close();
    m_file.clear();
    m_expected = 1;
    m_retries = 0;
    m_nextSend = m_clock.now();
    if (!m_bootp.isOpen()) {
        auto opened = platform::UdpSocket::open();
        if (!opened) {
            m_error = opened.error().message;
            return;
        }
        m_bootp = std::move(opened.value());
        (void)m_bootp.setBroadcast(true);
        (void)m_bootp.setReuseAddress(true);
        if (auto bound = m_bootp.bind(0, m_options.clientPort); !bound)
            m_error = bound.error().message;
    }
}

void BootClient::poll()
{
    switch (m_state) {
    case State::Requesting:
        receiveOffer();
        if (m_state == State::Requesting && !m_options.noBootp && m_clock.now() >= m_nextSend)
            sendRequest();
        return;
    case State::Reading:
        receiveData();
        if (m_state == State::Reading && m_clock.now() >= m_nextSend) {
            if (++m_retries > m_options.tftpRetries)
                return startOver();
            (void)m_tftp.sendTo(m_lastPacketTo, m_lastPacket);
            m_nextSend = m_clock.now() + m_options.tftpRetry;
        }
        return;
    case State::Done:
    case State::Silent:
        return;
    }
}

void BootClient::sendRequest()
{
    std::vector<std::uint8_t> request(300, 0);
    request[0] = 1; // BOOTREQUEST
    request[1] = 1; // Ethernet
    request[2] = 6;
    request[4] = static_cast<std::uint8_t>(m_xid >> 24);
    request[5] = static_cast<std::uint8_t>(m_xid >> 16);
    request[6] = static_cast<std::uint8_t>(m_xid >> 8);
    request[7] = static_cast<std::uint8_t>(m_xid);
    std::copy(m_options.hardwareAddress.begin(), m_options.hardwareAddress.end(), request.begin() + 28);
    const std::uint8_t cookieAndOptions[] = { 99, 130, 83, 99, 53, 1, 1, 255 };
    std::copy(std::begin(cookieAndOptions), std::end(cookieAndOptions), request.begin() + 236);
    auto sent = platform::sendVia(m_bootp, { kLimitedBroadcast, m_options.serverPort }, request, m_interface);
    if (!sent)
        m_error = sent.error().message;
    m_nextSend = m_clock.now() + m_options.bootpRetry;
}

void BootClient::receiveOffer()
{
    std::array<std::uint8_t, 600> buffer {};
    platform::Endpoint sender;
    for (;;) {
        auto got = m_bootp.receiveFrom(buffer, sender);
        if (!got)
            return;
        const std::size_t size = got.value();
        if (size < 240 || buffer[0] != 2 || getIpv4(&buffer[4]) != m_xid)
            continue;
        m_yiaddr = getIpv4(&buffer[16]);
        m_siaddr = getIpv4(&buffer[20]);
        const char* name = reinterpret_cast<const char*>(&buffer[108]);
        m_fileName.assign(name, ::strnlen(name, 128));
        m_announcedBlocks = 0;
        for (std::size_t i = 240; i + 1 < size && buffer[i] != 255;) {
            if (buffer[i] == 0) {
                ++i;
                continue;
            }
            const std::size_t length = buffer[i + 1];
            if (buffer[i] == 13 && length == 2 && i + 3 < size)
                m_announcedBlocks = (buffer[i + 2] << 8) | buffer[i + 3];
            i += 2 + length;
        }
        if (m_options.tftpSilent) {
            m_state = State::Silent;
            return;
        }
        sendRrq();
        return;
    }
}

void BootClient::sendRrq()
{
    auto opened = platform::UdpSocket::open();
    if (!opened) {
        m_error = opened.error().message;
        return;
    }
    m_tftp = std::move(opened.value());
    // The offered address when it is one of ours (a loopback address in a
    // test namespace), else any.
    if (!m_tftp.bind(m_yiaddr, 0))
        (void)m_tftp.bind(0, 0);
    m_lastPacket = { 0, 1 };
    const std::string name = m_fileName.empty() ? "firmware.bin" : m_fileName;
    m_lastPacket.insert(m_lastPacket.end(), name.begin(), name.end());
    m_lastPacket.push_back(0);
    for (char c : std::string("octet"))
        m_lastPacket.push_back(static_cast<std::uint8_t>(c));
    m_lastPacket.push_back(0);
    m_lastPacketTo = { m_siaddr, kTftpPort };
    m_serverTid = {};
    m_state = State::Reading;
    m_retries = 0;
    (void)m_tftp.sendTo(m_lastPacketTo, m_lastPacket);
    m_nextSend = m_clock.now() + m_options.tftpRetry;
}

void BootClient::sendAck(std::uint16_t block)
{
    m_lastPacket = { 0, 4, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block) };
    m_lastPacketTo = m_serverTid;
    if (m_options.stopAckAfter >= 0 && block > m_options.stopAckAfter)
        return;
    (void)m_tftp.sendTo(m_lastPacketTo, m_lastPacket);
    if (m_options.duplicateAcks)
        (void)m_tftp.sendTo(m_lastPacketTo, m_lastPacket);
}

void BootClient::receiveData()
{
    std::array<std::uint8_t, 4 + kBlockSize + 64> buffer {};
    platform::Endpoint sender;
    for (;;) {
        auto got = m_tftp.receiveFrom(buffer, sender);
        if (!got)
            return;
        const std::size_t size = got.value();
        if (size < 4 || buffer[0] != 0 || buffer[1] != 3)
            continue;
        if (m_serverTid.port == 0)
            m_serverTid = sender;
        if (!(sender == m_serverTid))
            continue; // another transfer's packet
        const std::uint16_t block = static_cast<std::uint16_t>((buffer[2] << 8) | buffer[3]);
        if (block == m_expected) {
            m_file.insert(m_file.end(), buffer.begin() + 4, buffer.begin() + static_cast<long>(size));
            ++m_expected;
            sendAck(block);
            m_retries = 0;
            m_nextSend = m_clock.now() + m_options.tftpRetry;
            if (size - 4 < kBlockSize) {
                m_state = State::Done;
                return;
            }
        } else if (block + 1 == m_expected) {
            sendAck(block); // our ACK was lost: say it again
        }
    }
}

} // namespace sim::boardsim
