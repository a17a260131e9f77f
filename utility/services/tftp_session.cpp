#include "utility/services/tftp_session.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <optional>

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

std::string lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// A decimal option value; nothing for anything else (signs, spaces, overflow).
std::optional<std::uint64_t> decimal(const std::string& text)
{
    std::uint64_t value = 0;
    if (text.empty())
        return std::nullopt;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size())
        return std::nullopt;
    return value;
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

bool tftpNameStaysInside(const std::string& name)
{
    if (name.empty() || name.front() == '/' || name.find('\\') != std::string::npos)
        return false;
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
        return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        if (name.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

bool tftpPathStaysInside(const std::string& directory, const std::string& path)
{
    // Compared as the file system resolves them, so a symbolic link inside
    // the folder that points elsewhere counts as elsewhere.
    std::error_code error;
    const auto root = std::filesystem::canonical(directory.empty() ? "." : directory, error);
    if (error)
        return false;
    const auto target = std::filesystem::weakly_canonical(path, error);
    if (error)
        return false;
    const auto [rootEnd, targetAt] = std::mismatch(root.begin(), root.end(), target.begin(), target.end());
    return rootEnd == root.end() && targetAt != target.end();
}

TftpSession::TftpSession(TftpSessionHost& host)
    : m_host(host)
    , m_transmit(4 + kTftpMaxBlockSize)
{
}

TftpSession::~TftpSession() { closeFile(); }

void TftpSession::setDirectory(std::string directory)
{
    reset();
    m_directory = std::move(directory);
}

void TftpSession::reset()
{
    m_host.stopRetransmitTimer();
    closeFile();
    m_active = false;
}

void TftpSession::dispatch(
    std::span<const std::uint8_t> datagram, const platform::Endpoint& sender, bool fromListenSocket)
{
    if (datagram.size() < 2)
        return;
    const std::uint16_t opcode = readU16(datagram, 0);
    switch (opcode) {
    case kTftpRrq:
        if (m_active)
            return;
        m_active = true;
        m_lastOpcode = 0;
        m_block = 0;
        m_peer = sender;
        if (fromListenSocket)
            m_timeouts = 0;
        handleReadRequest(datagram);
        return;
    case kTftpAck:
        // An acknowledgement without its block number says nothing.
        if (!m_active || datagram.size() < 4)
            return;
        handleAck(readU16(datagram, 2));
        return;
    case kTftpError:
        if (!m_active)
            return;
        m_host.stopRetransmitTimer();
        closeFile();
        m_active = false;
        return;
    case kTftpWrq:
        refuseWrite(datagram, sender);
        return;
    default:
        // Writes are not accepted, and DATA from a client is never written.
        return;
    }
}

void TftpSession::handleReadRequest(std::span<const std::uint8_t> request)
{
    const auto* begin = request.data() + 2;
    const auto* end = request.data() + request.size();
    const auto* nameEnd = std::find(begin, end, std::uint8_t { 0 });
    if (nameEnd == end) {
        // No terminated file name: nothing can be served.
        m_active = false;
        return;
    }
    const std::string name(begin, nameEnd);
    const auto* modeEnd = std::find(nameEnd + 1, end, std::uint8_t { 0 });
    const Options options = modeEnd == end ? Options {} : parseOptions({ modeEnd + 1, end });

    if (m_directory.empty())
        m_path = name;
    else if (m_directory.back() == kSeparator)
        m_path = m_directory + name;
    else
        m_path = m_directory + kSeparator + name;

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
    if (!tftpPathStaysInside(m_directory, m_path)) {
        refuse(2, "Access violation", "the name leaves the served directory");
        return;
    }

    m_blockSize = options.blockSize ? options.blockSize : kTftpBlockSize;
    m_period
        = options.timeoutSeconds ? std::chrono::milliseconds(options.timeoutSeconds * 1000) : kTftpRetransmitPeriod;

    if (!openFile()) {
        // Said to the client at once: silence would keep it asking for as
        // long as its own patience lasts. A message box would also hold up
        // the server until someone dismissed it.
        m_host.appendLog("File is not found!\r\n");
        sendError(1, "File not found");
        m_active = false;
        return;
    }

    // curl takes a size of 0 in an OACK for an invalid answer and gives up;
    // an empty file is announced by leaving tsize out (RFC 2349 allows it).
    std::vector<std::string> acknowledged = options.names;
    if (m_fileLength == 0)
        std::erase_if(acknowledged, [](const std::string& optionName) { return lower(optionName) == "tsize"; });

    if (acknowledged.empty()) {
        // A plain request (or one whose options were all declined): data at once.
        startCounters();
        sendNextData(0);
        return;
    }

    // Acknowledge exactly the options honoured, with the values in force.
    std::size_t length = 2;
    writeU16(m_transmit.data(), kTftpOack);
    auto append = [&](const std::string& text) {
        std::memcpy(m_transmit.data() + length, text.c_str(), text.size() + 1);
        length += text.size() + 1;
    };
    for (const std::string& optionName : acknowledged) {
        const std::string key = lower(optionName);
        append(optionName);
        if (key == "blksize")
            append(std::to_string(m_blockSize));
        else if (key == "tsize")
            append(std::to_string(m_fileLength));
        else
            append(std::to_string(options.timeoutSeconds));
    }
    m_lastOpcode = kTftpOack;
    // Without a timer a lost OACK (or a client that never answers it) would
    // keep the session, and with it the server, busy for good.
    m_host.startRetransmitTimer(m_period);
    send(length);
}

TftpSession::Options TftpSession::parseOptions(std::span<const std::uint8_t> bytes)
{
    Options options;
    options.any = !bytes.empty();
    const auto* at = bytes.data();
    const auto* end = bytes.data() + bytes.size();
    while (at < end) {
        const auto* nameEnd = std::find(at, end, std::uint8_t { 0 });
        if (nameEnd == end)
            break;
        const auto* valueEnd = std::find(nameEnd + 1, end, std::uint8_t { 0 });
        if (valueEnd == end)
            break;
        std::string name(at, nameEnd);
        const std::string value(nameEnd + 1, valueEnd);
        at = valueEnd + 1;
        const std::string key = lower(name);
        const auto number = decimal(value);
        auto seen = [&] {
            return std::any_of(options.names.begin(), options.names.end(),
                [&](const std::string& other) { return lower(other) == key; });
        };
        if (!number || seen())
            continue;
        if (key == "blksize" && *number >= kTftpMinBlockSize) {
            options.blockSize = static_cast<std::size_t>(std::min<std::uint64_t>(*number, kTftpMaxBlockSize));
            options.names.push_back(std::move(name));
        } else if (key == "tsize") {
            options.transferSize = true;
            options.names.push_back(std::move(name));
        } else if (key == "timeout" && *number >= 1 && *number <= 255) {
            options.timeoutSeconds = static_cast<int>(*number);
            options.names.push_back(std::move(name));
        }
    }
    return options;
}

void TftpSession::refuseWrite(std::span<const std::uint8_t> request, const platform::Endpoint& sender)
{
    // Answered beside any running session: the retransmission buffer keeps
    // that session's last datagram.
    const auto* begin = request.data() + 2;
    const auto* end = request.data() + request.size();
    const std::string name(begin, std::find(begin, end, std::uint8_t { 0 }));
    m_host.appendLog(format("Refused a Write request from %s on port %d (file: %s): only reads are served.\r\n",
        platform::formatIpv4(sender.address), sender.port, name));
    static constexpr std::string_view kText = "Only read requests are served";
    std::vector<std::uint8_t> error(4 + kText.size() + 1, 0);
    writeU16(error.data(), kTftpError);
    writeU16(error.data() + 2, 2);
    std::copy(kText.begin(), kText.end(), error.begin() + 4);
    m_host.sendDatagram(error, sender);
}

void TftpSession::refuse(std::uint16_t code, const std::string& text, const std::string& logReason)
{
    m_host.appendLog("Refused the Read request: " + logReason + ".\r\n");
    sendError(code, text);
    m_active = false;
}

bool TftpSession::openFile()
{
    closeFile();
    std::error_code error;
    // Only regular files: a directory would read as an empty file, a FIFO
    // would block the server.
    if (!std::filesystem::is_regular_file(m_path, error))
        return false;
    m_file = std::fopen(m_path.c_str(), "rb");
    if (!m_file)
        return false;
    const auto size = std::filesystem::file_size(m_path, error);
    m_fileLength = error ? 0 : size;
    return true;
}

void TftpSession::closeFile()
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

void TftpSession::startCounters()
{
    m_block = 0;
    m_lastAcknowledged = -1;
    m_bytesSent = 0;
    m_blocksSent = 0;
    m_lastShort = false;
    m_progressMaximum = static_cast<int>(std::min<std::uint64_t>(m_fileLength / m_blockSize, 0x7FFFFFFF));
    m_host.setProgressRange(m_progressMaximum);
    m_host.setProgressPosition(0);
}

std::int64_t TftpSession::expandBlock(std::uint16_t wire) const
{
    // The block the number names among the last 65536 sent: 0 follows 65535.
    const auto behind = static_cast<std::uint16_t>(static_cast<std::uint16_t>(m_block) - wire);
    return m_block - behind;
}

void TftpSession::handleAck(std::uint16_t block)
{
    const std::int64_t acknowledged = expandBlock(block);
    // The client has the whole file once it acknowledges a short block. A
    // file that grew since the request is served as it reads now: its end
    // is the first short block, not the length it had at the start.
    const bool finished
        = m_lastOpcode == kTftpData && m_lastShort && acknowledged == m_block && m_bytesSent > m_fileLength;
    // A duplicate acknowledgement is not answered (that would double every
    // later block) and leaves the retransmission timer running: stopped, a
    // lost DATA would hold the session, and with it the server, for good.
    if (m_lastOpcode == kTftpData && acknowledged <= m_lastAcknowledged && !finished)
        return;
    m_host.stopRetransmitTimer();
    switch (m_lastOpcode) {
    case kTftpData:
        if (finished) {
            closeFile();
            m_host.setProgressPosition(m_progressMaximum);
            m_host.appendLog("Read session is completed successfully.\r\n");
            m_active = false;
            return;
        }
        m_lastAcknowledged = acknowledged;
        sendNextData(acknowledged);
        return;
    case kTftpOack:
        startCounters();
        sendNextData(acknowledged);
        return;
    case kTftpAck:
        m_host.showMessage("Fail to handle TFTP_ACK");
        return;
    case kTftpError:
        m_host.showMessage("Fail to handle TFTP_ERROR");
        return;
    default:
        m_host.showMessage("Unknown TFTP OP code");
        return;
    }
}

void TftpSession::sendNextData(std::int64_t acknowledged)
{
    if (acknowledged != m_block) {
        m_host.beep(1000, 100);
        resend();
        return;
    }
    ++m_blocksSent;
    m_host.setProgressPosition(m_blocksSent);
    m_lastOpcode = kTftpData;
    ++m_block;
    std::uint8_t* data = m_transmit.data() + 4;
    const std::size_t count = m_file ? std::fread(data, 1, m_blockSize, m_file) : 0;
    writeU16(m_transmit.data(), kTftpData);
    writeU16(m_transmit.data() + 2, static_cast<std::uint16_t>(m_block));
    m_lastShort = count < m_blockSize;
    if (count > 0) {
        m_host.startRetransmitTimer(m_period);
        m_bytesSent += count;
    } else {
        m_bytesSent += 1;
        m_host.appendLog("Read session is completed successfully.\r\n");
        m_active = false;
        closeFile();
    }
    m_transmitLength = 4 + count;
    if (m_host.sendDatagram({ m_transmit.data(), m_transmitLength }, m_peer) != m_transmitLength)
        m_host.showMessage("TFTP SendData->SendTo fail");
}

void TftpSession::send(std::size_t length)
{
    m_transmitLength = length;
    m_host.sendDatagram({ m_transmit.data(), m_transmitLength }, m_peer);
}

void TftpSession::resend()
{
    m_host.startRetransmitTimer(m_period);
    if (m_host.sendDatagram({ m_transmit.data(), m_transmitLength }, m_peer) != m_transmitLength)
        m_host.showMessage("TFTP Resend->SendTo fail");
}

void TftpSession::sendError(std::uint16_t code, const std::string& text)
{
    writeU16(m_transmit.data(), kTftpError);
    writeU16(m_transmit.data() + 2, code);
    std::memcpy(m_transmit.data() + 4, text.c_str(), text.size() + 1);
    m_lastOpcode = kTftpError;
    send(4 + text.size() + 1);
}

void TftpSession::timeout()
{
    m_host.stopRetransmitTimer();
    if (!m_active)
        return;
    ++m_timeouts;
    if (m_timeouts < kTftpMaxTimeouts) {
        resend();
        return;
    }
    closeFile();
    sendError(0, std::string(kDropSession));
    m_host.appendLog("Read session aborted!\r\n");
    m_active = false;
}

} // namespace utility::services
