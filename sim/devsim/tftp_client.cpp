#include "sim/devsim/tftp_client.h"

#include <cerrno>

namespace sim::devsim {
namespace {

constexpr int kTimeoutTimer = 1;

std::uint16_t get16(std::span<const std::uint8_t> packet, std::size_t offset)
{
    return static_cast<std::uint16_t>((packet[offset] << 8) | packet[offset + 1]);
}

void append16(std::vector<std::uint8_t>& packet, std::uint16_t value)
{
    packet.push_back(static_cast<std::uint8_t>(value >> 8));
    packet.push_back(static_cast<std::uint8_t>(value));
}

// The message of an ERROR packet: bytes after the code up to a zero byte,
// printable ones only, since it goes into a log line.
std::string errorText(std::span<const std::uint8_t> packet)
{
    std::string text;
    for (std::size_t i = 4; i < packet.size() && packet[i] != 0 && text.size() < 200; ++i)
        text.push_back(packet[i] >= 0x20 && packet[i] < 0x7F ? static_cast<char>(packet[i]) : '?');
    return text;
}

} // namespace

TftpClient::TftpClient(platform::EventLoop& loop, Options options, Completion completion)
    : m_loop(loop)
    , m_options(std::move(options))
    , m_completion(std::move(completion))
    , m_timers(loop)
{
}

TftpClient::~TftpClient()
{
    m_alive.reset();
    stop();
}

platform::Result<void> TftpClient::start()
{
    if (m_state != State::Idle)
        return platform::Error { "transfer already started" };
    if (m_options.fileName.empty())
        return platform::Error { "no file name" };
    SUITE_TRY_ASSIGN(m_socket, platform::UdpSocket::open());
    SUITE_TRY(m_socket.bind(m_options.localAddress, 0));
    m_loop.watchFd(m_socket.fd(), platform::kIoRead, [this](unsigned) { onReadable(); });

    m_lastPacket.clear();
    append16(m_lastPacket, tftp::kReadRequest);
    m_lastPacket.insert(m_lastPacket.end(), m_options.fileName.begin(), m_options.fileName.end());
    m_lastPacket.push_back(0);
    for (char c : std::string_view("octet"))
        m_lastPacket.push_back(static_cast<std::uint8_t>(c));
    m_lastPacket.push_back(0);
    m_lastTarget = m_options.server;
    m_state = State::Requesting;
    m_retriesLeft = m_options.retries;
    // A lost request is sent again by the timer, like any lost packet.
    sendLast();
    restartTimer();
    return {};
}

void TftpClient::cancel()
{
    m_alive = std::make_shared<int>(0);
    stop();
}

void TftpClient::stop()
{
    m_timers.killAll();
    if (m_socket.isOpen()) {
        m_loop.unwatchFd(m_socket.fd());
        m_socket.close();
    }
    m_state = State::Finished;
}

void TftpClient::onReadable()
{
    std::uint8_t buffer[4 + tftp::kBlockSize + 1];
    while (m_state == State::Requesting || m_state == State::Receiving) {
        platform::Endpoint from;
        auto received = m_socket.receiveFrom(buffer, from);
        if (!received.ok())
            return;
        onDatagram(std::span<const std::uint8_t>(buffer, *received), from);
    }
}

void TftpClient::onDatagram(std::span<const std::uint8_t> packet, const platform::Endpoint& from)
{
    if (packet.size() < 4)
        return; // not even an opcode and a number
    const std::uint16_t code = get16(packet, 0);

    // The first answer from the server's address fixes its transfer port;
    // anything from elsewhere is told off and otherwise ignored.
    const bool fromServer = m_state == State::Requesting ? from.address == m_options.server.address : from == m_peer;
    if (!fromServer) {
        if (code != tftp::kError)
            sendError(from, tftp::kErrorUnknownTransferId, "Unknown transfer ID");
        return;
    }

    switch (code) {
    case tftp::kData: {
        if (m_state == State::Requesting) {
            m_peer = from;
            m_state = State::Receiving;
        }
        const std::uint16_t block = get16(packet, 2);
        const auto payload = packet.subspan(4);
        if (payload.size() > tftp::kBlockSize) {
            sendError(from, tftp::kErrorIllegalOperation, "Block too large");
            finish(platform::Error { "server sent a block of more than 512 bytes", EPROTO });
            return;
        }
        if (block == static_cast<std::uint16_t>(m_expectedBlock - 1)) {
            // Our ACK was lost: the server sends the block again.
            sendLast();
            return;
        }
        if (block != m_expectedBlock)
            return;
        if (m_data.size() + payload.size() > m_options.maxSize) {
            sendError(from, tftp::kErrorDiskFull, "File too large");
            finish(platform::Error { "file larger than " + std::to_string(m_options.maxSize) + " bytes", EFBIG });
            return;
        }
        m_data.insert(m_data.end(), payload.begin(), payload.end());
        sendAck(block);
        ++m_expectedBlock;
        if (payload.size() < tftp::kBlockSize) {
            finish(std::move(m_data));
            return;
        }
        m_retriesLeft = m_options.retries;
        restartTimer();
        return;
    }
    case tftp::kError:
        finish(platform::Error {
            "server error " + std::to_string(get16(packet, 2)) + ": " + errorText(packet), ECONNREFUSED });
        return;
    default:
        // We ask for no options, so an option acknowledgement is as wrong as
        // any other opcode here.
        sendError(from, tftp::kErrorIllegalOperation, "Illegal TFTP operation");
        finish(platform::Error { "unexpected TFTP opcode " + std::to_string(code), EPROTO });
        return;
    }
}

void TftpClient::onTimeout()
{
    if (m_retriesLeft <= 0) {
        finish(platform::Error { "no answer from " + m_lastTarget.text(), ETIMEDOUT });
        return;
    }
    --m_retriesLeft;
    sendLast();
}

void TftpClient::sendLast()
{
    // A failed send is left to the retransmission timer.
    [[maybe_unused]] auto sent = m_socket.sendTo(m_lastTarget, m_lastPacket);
}

void TftpClient::sendAck(std::uint16_t block)
{
    m_lastPacket.clear();
    append16(m_lastPacket, tftp::kAck);
    append16(m_lastPacket, block);
    m_lastTarget = m_peer;
    sendLast();
}

void TftpClient::sendError(const platform::Endpoint& to, std::uint16_t code, const std::string& message)
{
    std::vector<std::uint8_t> packet;
    append16(packet, tftp::kError);
    append16(packet, code);
    packet.insert(packet.end(), message.begin(), message.end());
    packet.push_back(0);
    [[maybe_unused]] auto sent = m_socket.sendTo(to, packet);
}

void TftpClient::restartTimer()
{
    m_timers.start(kTimeoutTimer, m_options.timeout, [this] { onTimeout(); });
}

void TftpClient::finish(platform::Result<std::vector<std::uint8_t>> result)
{
    stop();
    // Reported from the loop rather than from here, so the owner may destroy
    // the client in its completion; a cancel or destruction before then
    // drops the report.
    std::weak_ptr<int> alive = m_alive;
    m_loop.post([alive, completion = m_completion, result = std::move(result)]() mutable {
        if (alive.lock())
            completion(std::move(result));
    });
}

} // namespace sim::devsim
