#include "utility/services/tftp_request.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <optional>

namespace utility::services {
namespace {

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

void parseOptions(const std::uint8_t* at, const std::uint8_t* end, TftpRequest& request)
{
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
        const std::string key = tftpLower(name);
        const auto number = decimal(value);
        const bool seen = std::any_of(request.names.begin(), request.names.end(),
            [&](const std::string& other) { return tftpLower(other) == key; });
        if (!number || seen)
            continue;
        if (key == "blksize" && *number >= kTftpMinBlockSize) {
            request.blockSize = static_cast<std::size_t>(std::min<std::uint64_t>(*number, kTftpMaxBlockSize));
            request.names.push_back(std::move(name));
        } else if (key == "tsize") {
            request.transferSize = true;
            request.names.push_back(std::move(name));
        } else if (key == "timeout" && *number >= 1 && *number <= 255) {
            request.timeoutSeconds = static_cast<int>(*number);
            request.names.push_back(std::move(name));
        } else if (key == "windowsize" && *number >= 1 && *number <= 65535) {
            request.window = static_cast<std::size_t>(std::min<std::uint64_t>(*number, kTftpMaxWindow));
            request.names.push_back(std::move(name));
        }
    }
}

} // namespace

std::string tftpLower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

TftpRequest parseTftpRequest(std::span<const std::uint8_t> datagram)
{
    TftpRequest request;
    if (datagram.size() < 2)
        return request;
    const auto* begin = datagram.data() + 2;
    const auto* end = datagram.data() + datagram.size();
    const auto* nameEnd = std::find(begin, end, std::uint8_t { 0 });
    if (nameEnd == end)
        return request;
    request.valid = true;
    request.name.assign(begin, nameEnd);
    const auto* modeEnd = std::find(nameEnd + 1, end, std::uint8_t { 0 });
    request.mode = tftpLower(std::string(nameEnd + 1, modeEnd));
    if (modeEnd != end)
        parseOptions(modeEnd + 1, end, request);
    return request;
}

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

std::string tftpPrintable(std::span<const std::uint8_t> bytes, std::size_t limit)
{
    std::string out;
    for (std::uint8_t byte : bytes) {
        if (byte == 0 || out.size() >= limit)
            break;
        out += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '?';
    }
    return out;
}

std::vector<std::uint8_t> tftpErrorDatagram(std::uint16_t code, const std::string& text)
{
    std::vector<std::uint8_t> error(4 + text.size() + 1, 0);
    error[1] = 5;
    error[2] = static_cast<std::uint8_t>(code >> 8);
    error[3] = static_cast<std::uint8_t>(code & 0xFF);
    std::copy(text.begin(), text.end(), error.begin() + 4);
    return error;
}

} // namespace utility::services
