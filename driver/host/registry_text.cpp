// The registry store as text: the registration files it is saved to and
// loaded from.
#include "driver/host/registry_internal.h"
#include "platform/hex_digit.h"

#include <cstdio>

namespace driver::host {

using namespace common;
using namespace registry_detail;

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr int kHexBytesPerLine = 25;

std::string hexBytes(const std::vector<std::uint8_t>& data, std::size_t prefixLength)
{
    std::string out;
    std::size_t column = prefixLength;
    for (std::size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        out += byte;
        column += 3;
        if (i + 1 < data.size()) {
            out += ',';
            if (column >= 3 * kHexBytesPerLine) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// A quoted string at the start of `text`: its unescaped content, and the rest.
bool takeQuoted(std::string_view& text, std::string& content)
{
    if (text.empty() || text[0] != '"')
        return false;
    content.clear();
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            content += text[++i];
        } else if (text[i] == '"') {
            text.remove_prefix(i + 1);
            return true;
        } else {
            content += text[i];
        }
    }
    return false;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool parseHexNumber(std::string_view text, std::uint32_t& value)
{
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        const int digit = platform::hexDigit(c);
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
}

bool parseHexList(std::string_view text, std::vector<std::uint8_t>& data)
{
    data.clear();
    text = trim(text);
    if (text.empty())
        return true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string_view item = trim(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (item.size() != 2 || platform::hexDigit(item[0]) < 0 || platform::hexDigit(item[1]) < 0
            || data.size() == kMaxValueBytes)
            return false;
        data.push_back(static_cast<std::uint8_t>(platform::hexDigit(item[0]) << 4 | platform::hexDigit(item[1])));
        if (comma == std::string_view::npos)
            return true;
        start = comma + 1;
    }
}

// Converts a UTF-16LE file (as the registry editor writes them) to UTF-8.
std::string fromUtf16File(std::string_view bytes)
{
    std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    if (data.size() % 2)
        data.pop_back();
    data.push_back(0);
    data.push_back(0);
    std::string text;
    std::size_t units = data.size() / 2;
    for (std::size_t i = 0; i + 1 < units; ++i) {
        char32_t unit = static_cast<char32_t>(data[2 * i] | data[2 * i + 1] << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 2 < units) {
            const char32_t low = static_cast<char32_t>(data[2 * i + 2] | data[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                unit = U'\uFFFD';
            }
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            unit = U'\uFFFD';
        }
        appendUtf8(text, unit == 0 ? U'\uFFFD' : unit);
    }
    return text;
}

void exportKey(const RegistryStore::Key& key, const std::string& path, std::string& out)
{
    if (key.isVolatile)
        return;
    if (!path.empty()) {
        out += "[" + path + "]\n";
        for (const auto& entry : key.values) {
            std::string line = entry.name.empty() ? "@=" : quoted(entry.name) + "=";
            const RegValue& value = entry.value;
            const auto text
                = value.type == static_cast<std::uint32_t>(RegType::Sz) ? fromRegString(value.data) : std::nullopt;
            if (value.type == static_cast<std::uint32_t>(RegType::Dword) && value.data.size() == 4) {
                char number[16];
                std::snprintf(number, sizeof number, "dword:%08x",
                    value.data[0] | value.data[1] << 8 | value.data[2] << 16
                        | static_cast<unsigned>(value.data[3]) << 24);
                line += number;
            } else if (text && toRegString(*text) == value.data && text->find_first_of("\r\n") == std::string::npos) {
                line += quoted(*text);
            } else {
                if (value.type == static_cast<std::uint32_t>(RegType::Binary)) {
                    line += "hex:";
                } else {
                    char prefix[24];
                    std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
                    line += prefix;
                }
                line += hexBytes(value.data, line.size());
            }
            out += line + "\n";
        }
        out += "\n";
    }
    for (const auto& child : key.subkeys)
        exportKey(*child, path.empty() ? child->name : path + "\\" + child->name, out);
}

} // namespace

std::string registry_detail::registryText(const RegistryStore::Key& root)
{
    std::string text = std::string(kHeader) + "\n\n";
    exportKey(root, "", text);
    return text;
}

std::string RegistryStore::exportText() const
{
    std::lock_guard lock(m_mutex);
    std::string text = std::string(kHeader) + "\n\n";
    exportKey(*m_root, "", text);
    return text;
}

bool RegistryStore::importText(std::string_view input, int* skippedLines)
{
    std::string converted;
    if (input.size() >= 2 && static_cast<unsigned char>(input[0]) == 0xFF
        && static_cast<unsigned char>(input[1]) == 0xFE) {
        converted = fromUtf16File(input.substr(2));
        input = converted;
    } else if (input.size() >= 3 && input.substr(0, 3) == "\xEF\xBB\xBF") {
        input.remove_prefix(3);
    }

    // Logical lines: a line ending in a backslash continues on the next one.
    std::vector<std::string> lines;
    std::string pending;
    bool continuing = false;
    std::size_t start = 0;
    while (start <= input.size()) {
        const std::size_t end = input.find('\n', start);
        std::string_view line = trim(input.substr(start, end == std::string_view::npos ? end : end - start));
        start = end == std::string_view::npos ? input.size() + 1 : end + 1;
        const bool continues = !line.empty() && line.back() == '\\' && (continuing || line.front() != '[');
        if (continues)
            line.remove_suffix(1);
        if (pending.size() + line.size() <= kMaxValueBytes * 4)
            pending += line;
        continuing = continues;
        if (!continuing) {
            lines.push_back(std::move(pending));
            pending.clear();
        }
    }
    if (!pending.empty())
        lines.push_back(std::move(pending));

    std::size_t first = 0;
    while (first < lines.size() && trim(lines[first]).empty())
        ++first;
    if (first == lines.size() || (trim(lines[first]) != kHeader && trim(lines[first]) != kOldHeader))
        return false;

    int skipped = 0;
    std::string currentKey;
    std::lock_guard lock(m_mutex);
    for (std::size_t i = first + 1; i < lines.size(); ++i) {
        const std::string_view line = trim(lines[i]);
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            currentKey.clear();
            if (line.back() != ']' || line.size() < 3) {
                ++skipped;
                continue;
            }
            std::string_view path = line.substr(1, line.size() - 2);
            if (path[0] == '-') {
                path.remove_prefix(1);
                std::vector<std::string_view> parts;
                Key* parent = m_root.get();
                if (splitPath(path, parts)) {
                    for (std::size_t k = 0; k + 1 < parts.size() && parent; ++k)
                        parent = parent->child(parts[k]);
                    if (parent) {
                        std::erase_if(parent->subkeys,
                            [&](const std::unique_ptr<Key>& key) { return sameName(key->name, parts.back()); });
                    }
                } else {
                    ++skipped;
                }
                continue;
            }
            if (!create(path, false)) {
                ++skipped;
                continue;
            }
            currentKey = std::string(path);
            continue;
        }
        Key* key = currentKey.empty() ? nullptr : find(currentKey);
        std::string_view rest = line;
        std::string name;
        if (!rest.empty() && rest[0] == '@') {
            rest.remove_prefix(1);
        } else if (!takeQuoted(rest, name) || name.size() > kMaxNameLength) {
            ++skipped;
            continue;
        }
        rest = trim(rest);
        if (!key || rest.empty() || rest[0] != '=') {
            ++skipped;
            continue;
        }
        rest = trim(rest.substr(1));
        RegValue value;
        std::string text;
        if (rest == "-") {
            std::erase_if(key->values, [&](const Key::Value& entry) { return sameName(entry.name, name); });
            continue;
        }
        if (!rest.empty() && rest[0] == '"') {
            if (!takeQuoted(rest, text) || !trim(rest).empty() || text.size() > kMaxValueBytes / 2) {
                ++skipped;
                continue;
            }
            value = RegValue { static_cast<std::uint32_t>(RegType::Sz), toRegString(text) };
        } else if (rest.substr(0, 6) == "dword:") {
            std::uint32_t number = 0;
            if (!parseHexNumber(trim(rest.substr(6)), number)) {
                ++skipped;
                continue;
            }
            value.type = static_cast<std::uint32_t>(RegType::Dword);
            for (int k = 0; k < 4; ++k)
                value.data.push_back(static_cast<std::uint8_t>(number >> (8 * k)));
        } else if (rest.substr(0, 4) == "hex:") {
            value.type = static_cast<std::uint32_t>(RegType::Binary);
            if (!parseHexList(rest.substr(4), value.data)) {
                ++skipped;
                continue;
            }
        } else if (rest.substr(0, 4) == "hex(") {
            const std::size_t close = rest.find("):");
            if (close == std::string_view::npos || !parseHexNumber(rest.substr(4, close - 4), value.type)
                || !parseHexList(rest.substr(close + 2), value.data)) {
                ++skipped;
                continue;
            }
        } else {
            ++skipped;
            continue;
        }
        if (auto* existing = key->value(name))
            existing->value = std::move(value);
        else
            key->values.push_back({ std::move(name), std::move(value) });
    }
    if (skippedLines)
        *skippedLines = skipped;
    writeBack();
    return true;
}

} // namespace driver::host
