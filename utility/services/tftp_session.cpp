#include "utility/services/tftp_session.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace utility::services {
namespace {

constexpr char kSeparator = '/';
constexpr std::string_view kDropSession = "Drop session";

std::uint16_t readU16(std::span<const std::uint8_t> data, std::size_t offset)
{
    return static_cast<std::uint16_t>((data[offset] << 8) | data[offset + 1]);
}

void writeU16(std::uint8_t* out, std::uint16_t value)
{
    out[0] = static_cast<std::uint8_t>(value >> 8);
    out[1] = static_cast<std::uint8_t>(value & 0xFF);
}

std::string format(const char* pattern, const std::string& address, int port, const std::string& path)
{
    std::string out = pattern;
    auto replace = [&out](const std::string& token, const std::string& with) {
        const auto at = out.find(token);
        if (at != std::string::npos)
            out.replace(at, token.size(), with);
    };
    replace("%s", address);
    replace("%d", std::to_string(port));
    replace("%s", path);
    return out;
}

} // namespace

std::chrono::milliseconds tftpRetransmitDelay(std::chrono::milliseconds period, int timeouts)
{
    std::chrono::milliseconds delay = period;
    for (int i = 0; i < timeouts && delay < kTftpLongestRetransmitPeriod; ++i)
        delay *= 2;
    return std::max(period, std::min(delay, kTftpLongestRetransmitPeriod));
}

TftpSession::TftpSession(TftpSessionHost& host)
    : m_host(host)
{
}

TftpSession::~TftpSession() { closeFile(); }

void TftpSession::setDirectory(std::string directory, std::string openedAs)
{
    reset();
    m_directory = std::move(directory);
    m_openDirectory = openedAs.empty() ? m_directory : std::move(openedAs);
}

namespace {

std::string joined(const std::string& directory, const std::string& name)
{
    if (directory.empty())
        return name;
    if (directory.back() == kSeparator)
        return directory + name;
    return directory + kSeparator + name;
}

} // namespace

void TftpSession::reset()
{
    m_host.stopRetransmitTimer();
    end();
}

void TftpSession::end()
{
    closeFile();
    m_unacknowledged.clear();
    m_state = State::Idle;
}

void TftpSession::start(std::span<const std::uint8_t> request, const platform::Endpoint& client)
{
    if (active() || request.size() < 2 || readU16(request, 0) != kTftpRrq)
        return;
    m_peer = client;
    m_timeouts = 0;
    m_block = 0;
    m_lastAcknowledged = 0;
    m_finalBlock = -1;
    m_unacknowledged.clear();
    const TftpRequest parsed = parseTftpRequest(request);
    // No terminated file name: nothing can be served.
    if (!parsed.valid)
        return;
    m_state = State::Sending;
    handleRequest(parsed);
}

void TftpSession::dispatch(std::span<const std::uint8_t> datagram, const platform::Endpoint& sender)
{
    if (datagram.size() < 2)
        return;
    const std::uint16_t opcode = readU16(datagram, 0);
    if (sender != m_peer || !active()) {
        // Not this transfer's client (or no transfer any more): the sender
        // is told, the transfer goes on untouched. An ERROR is never answered.
        if (opcode != kTftpError)
            m_host.sendDatagram(tftpErrorDatagram(5, "Unknown transfer ID"), sender);
        return;
    }
    switch (opcode) {
    case kTftpAck:
        // An acknowledgement without its block number says nothing.
        if (datagram.size() >= 4)
            handleAck(readU16(datagram, 2));
        return;
    case kTftpError:
        handleError(datagram);
        return;
    default:
        // A repeated request from the client is answered by the transfer
        // already under way; DATA from a client is never written.
        return;
    }
}

void TftpSession::handleError(std::span<const std::uint8_t> datagram)
{
    const std::uint16_t code = datagram.size() >= 4 ? readU16(datagram, 2) : 0;
    const std::string text = datagram.size() > 4 ? tftpPrintable(datagram.subspan(4)) : std::string();
    m_host.stopRetransmitTimer();
    logProgress(TftpProgress::Kind::Stopped);
    m_host.appendLog("Read session ended by the client: error " + std::to_string(code)
        + (text.empty() ? std::string() : " (" + text + ")") + ".\r\n");
    end();
}

void TftpSession::handleRequest(const TftpRequest& request)
{
    const std::string& name = request.name;
    m_path = joined(m_directory, name);
    m_openPath = joined(m_openDirectory, name);

    m_host.appendLog(format("Received a Read request from %s on port %d (file: %s).\r\n",
        platform::formatIpv4(m_peer.address), m_peer.port, m_path));

    if (name.empty()) {
        refuse(0, "Empty file name", "the file name is empty");
        return;
    }
    if (!tftpNameStaysInside(name)) {
        refuse(2, "Access violation", "the name leaves the served directory");
        return;
    }
    if (m_path.size() > kTftpMaxPath) {
        refuse(0, "File name too long", "the path is longer than 255 characters");
        return;
    }
    if (!tftpPathStaysInside(m_openDirectory, m_openPath)) {
        refuse(2, "Access violation", "the name leaves the served directory");
        return;
    }

    m_blockSize = request.blockSize ? request.blockSize : kTftpBlockSize;
    m_window = request.window ? request.window : 1;
    m_netascii = request.netascii();
    m_pendingByte = -1;
    m_period
        = request.timeoutSeconds ? std::chrono::milliseconds(request.timeoutSeconds * 1000) : kTftpRetransmitPeriod;

    if (!openFile(request.transferSize)) {
        // Said to the client at once: silence would keep it asking for as
        // long as its own patience lasts. A message box would also hold up
        // the server until someone dismissed it.
        m_host.appendLog("File is not found!\r\n");
        sendError(1, "File not found");
        end();
        return;
    }

    // curl takes a size of 0 in an OACK for an invalid answer and gives up;
    // an empty file is announced by leaving tsize out (the option allows it).
    std::vector<std::string> acknowledged = request.names;
    if (m_fileLength == 0 || !m_lengthKnown)
        std::erase_if(acknowledged, [](const std::string& optionName) { return tftpLower(optionName) == "tsize"; });

    if (acknowledged.empty()) {
        // A plain request (or one whose options were all declined): data at once.
        startCounters();
        sendWindow();
        return;
    }

    // Acknowledge exactly the options honoured, with the values in force.
    m_oack = { 0, static_cast<std::uint8_t>(kTftpOack) };
    auto append
        = [&](const std::string& text) { m_oack.insert(m_oack.end(), text.c_str(), text.c_str() + text.size() + 1); };
    for (const std::string& optionName : acknowledged) {
        const std::string key = tftpLower(optionName);
        append(optionName);
        if (key == "blksize")
            append(std::to_string(m_blockSize));
        else if (key == "tsize")
            append(std::to_string(m_fileLength));
        else if (key == "windowsize")
            append(std::to_string(m_window));
        else
            append(std::to_string(request.timeoutSeconds));
    }
    m_state = State::OptionsSent;
    // Without a timer a lost OACK (or a client that never answers it) would
    // keep the transfer, and its file, for good.
    startTimer();
    send(m_oack);
}

void TftpSession::refuse(std::uint16_t code, const std::string& text, const std::string& logReason)
{
    m_host.appendLog("Refused the Read request: " + logReason + ".\r\n");
    sendError(code, text);
    end();
}

void TftpSession::startCounters()
{
    m_block = 0;
    m_lastAcknowledged = 0;
    m_finalBlock = -1;
    m_blocksSent = 0;
    m_bytesRead = 0;
    m_stepsReported = 0;
    m_unacknowledged.clear();
    m_progressMaximum = static_cast<int>(std::min<std::uint64_t>(m_fileLength / m_blockSize, 0x7FFFFFFF));
    m_host.setProgressRange(m_progressMaximum);
    m_host.setProgressPosition(0);
    m_state = State::Sending;
}

std::int64_t TftpSession::expandBlock(std::uint16_t wire) const
{
    // The block the number names among the last 65536 sent: 0 follows 65535.
    const auto behind = static_cast<std::uint16_t>(static_cast<std::uint16_t>(m_block) - wire);
    return m_block - behind;
}

void TftpSession::handleAck(std::uint16_t wire)
{
    if (m_state == State::OptionsSent) {
        if (wire != 0)
            return;
        m_host.stopRetransmitTimer();
        m_timeouts = 0;
        startCounters();
        sendWindow();
        return;
    }
    const std::int64_t acknowledged = expandBlock(wire);
    // A duplicate acknowledgement is not answered (that would double every
    // later block) and leaves the retransmission timer running.
    if (acknowledged <= m_lastAcknowledged)
        return;
    m_host.stopRetransmitTimer();
    // Progress: the time-outs count again from zero for what follows.
    m_timeouts = 0;
    const auto done = static_cast<std::size_t>(acknowledged - m_lastAcknowledged);
    // The buffers of acknowledged blocks carry the next ones.
    for (std::size_t i = 0; i < done && !m_unacknowledged.empty(); ++i) {
        m_spare.push_back(std::move(m_unacknowledged.front()));
        m_unacknowledged.pop_front();
    }
    m_lastAcknowledged = acknowledged;
    if (acknowledged == m_finalBlock) {
        complete();
        return;
    }
    reportProgress();
    // With a window, an acknowledgement short of its end says the blocks
    // after it were lost: they go again, with the rest of a new window.
    for (const auto& datagram : m_unacknowledged)
        send(datagram);
    sendWindow();
}

void TftpSession::complete()
{
    m_host.stopRetransmitTimer();
    closeFile();
    m_host.setProgressPosition(m_progressMaximum);
    // Complete: the client has every block, acknowledged or not.
    m_unacknowledged.clear();
    logProgress(TftpProgress::Kind::Sent);
    m_host.appendLog("Read session is completed successfully.\r\n");
    end();
}

bool TftpSession::completeOnNewRequest()
{
    if (!awaitingFinalAck())
        return false;
    // A client that acknowledged none of it may as well have lost it all
    // (a one-block file whose only block went astray, asked for again):
    // ended, but no success is claimed.
    if (m_lastAcknowledged == 0) {
        m_host.stopRetransmitTimer();
        endUnacknowledged();
        return true;
    }
    complete();
    return true;
}

void TftpSession::sendWindow()
{
    while (m_finalBlock < 0 && m_unacknowledged.size() < m_window) {
        std::vector<std::uint8_t> datagram;
        if (!m_spare.empty()) {
            datagram = std::move(m_spare.back());
            m_spare.pop_back();
        }
        datagram.resize(4 + m_blockSize);
        const std::size_t count = readBlock(datagram.data() + 4);
        datagram.resize(4 + count);
        m_bytesRead += count;
        ++m_block;
        ++m_blocksSent;
        m_host.setProgressPosition(m_blocksSent);
        writeU16(datagram.data(), kTftpData);
        writeU16(datagram.data() + 2, static_cast<std::uint16_t>(m_block));
        // The file ends with its first short block (an empty one when its
        // length is a multiple of the block size). A file that grew since
        // the request is served as it reads now. One that could not be read
        // to its end, or got shorter, has given the client a mix of what it
        // was and what it is: the transfer fails.
        const bool readFailed = m_file && std::ferror(m_file);
        if (count < m_blockSize && (readFailed || m_bytesRead < m_fileLength)) {
            abandonRead(readFailed ? "the file could not be read" : "the file got shorter while it was sent");
            return;
        }
        if (count < m_blockSize) {
            m_finalBlock = m_block;
            closeFile();
        }
        if (m_host.sendDatagram(datagram, m_peer) != datagram.size())
            m_host.showMessage("TFTP SendData->SendTo fail");
        m_unacknowledged.push_back(std::move(datagram));
    }
    // Every block, the last one too, waits for its acknowledgement and is
    // sent again when it does not come.
    startTimer();
}

void TftpSession::startTimer()
{
    const std::chrono::milliseconds delay = tftpRetransmitDelay(m_period, m_timeouts);
    m_host.startRetransmitTimer(m_state == State::OptionsSent ? std::max(delay, kTftpOackPatience) : delay);
}

void TftpSession::repeatedRequest()
{
    if (m_state == State::OptionsSent)
        send(m_oack);
}

void TftpSession::send(std::span<const std::uint8_t> datagram) { m_host.sendDatagram(datagram, m_peer); }

void TftpSession::resend()
{
    startTimer();
    if (m_state == State::OptionsSent) {
        if (m_host.sendDatagram(m_oack, m_peer) != m_oack.size())
            m_host.showMessage("TFTP Resend->SendTo fail");
        return;
    }
    for (const auto& datagram : m_unacknowledged)
        if (m_host.sendDatagram(datagram, m_peer) != datagram.size())
            m_host.showMessage("TFTP Resend->SendTo fail");
}

void TftpSession::endUnacknowledged()
{
    logProgress(TftpProgress::Kind::Stopped);
    m_host.appendLog("Read session ended without the acknowledgement of the last block.\r\n");
    end();
}

void TftpSession::abandonRead(const std::string& reason)
{
    m_host.stopRetransmitTimer();
    sendError(0, "Read error: " + reason);
    logProgress(TftpProgress::Kind::Stopped);
    m_host.appendLog("Read session aborted: " + reason + ".\r\n");
    end();
}

void TftpSession::sendError(std::uint16_t code, const std::string& text) { send(tftpErrorDatagram(code, text)); }

void TftpSession::timeout()
{
    m_host.stopRetransmitTimer();
    if (!active())
        return;
    ++m_timeouts;
    if (m_timeouts < kTftpMaxTimeouts) {
        resend();
        return;
    }
    if (awaitingFinalAck()) {
        // The client may well have the whole file and be gone: only its
        // last acknowledgement is missing. Nobody is left to tell.
        endUnacknowledged();
        return;
    }
    sendError(0, std::string(kDropSession));
    logProgress(TftpProgress::Kind::Stopped);
    m_host.appendLog("Read session aborted!\r\n");
    end();
}

} // namespace utility::services
