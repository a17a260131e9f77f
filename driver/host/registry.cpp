#include "driver/host/registry.h"

#include "platform/text_file.h"

#include <algorithm>
#include <cstdio>

namespace driver::host {

using namespace common;

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
// Bounds that keep a hostile file from exhausting memory or the stack.
constexpr std::size_t kMaxDepth = 64;
constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kMaxValueBytes = 1 << 20;
constexpr std::size_t kMaxFileBytes = 16 << 20;
constexpr int kHexBytesPerLine = 25;

bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// Splits a key path into its names; false for an empty name or too deep a path.
bool splitPath(std::string_view path, std::vector<std::string_view>& parts)
{
    parts.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find('\\', start);
        const std::string_view part = path.substr(start, end == std::string_view::npos ? end : end - start);
        if (part.empty() || part.size() > kMaxNameLength || parts.size() == kMaxDepth)
            return false;
        parts.push_back(part);
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

void appendUtf8(std::string& out, char32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Decodes UTF-8; malformed sequences become U+FFFD.
std::u32string decodeUtf8(std::string_view text)
{
    std::u32string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        bool valid = true;
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            code = code << 6 | (next & 0x3F);
        }
        const char32_t minimum[] = { 0, 0, 0x80, 0x800, 0x10000 };
        if (!valid || code < minimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        out += code;
        i += length;
    }
    return out;
}

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

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHexNumber(std::string_view text, std::uint32_t& value)
{
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        const int digit = hexDigit(c);
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
        if (item.size() != 2 || hexDigit(item[0]) < 0 || hexDigit(item[1]) < 0 || data.size() == kMaxValueBytes)
            return false;
        data.push_back(static_cast<std::uint8_t>(hexDigit(item[0]) << 4 | hexDigit(item[1])));
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

} // namespace

std::vector<std::uint8_t> toRegString(std::string_view utf8)
{
    std::vector<std::uint8_t> out;
    auto unit = [&out](char32_t value) {
        out.push_back(static_cast<std::uint8_t>(value));
        out.push_back(static_cast<std::uint8_t>(value >> 8));
    };
    for (char32_t code : decodeUtf8(utf8)) {
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
    }
    unit(0);
    return out;
}

std::optional<std::string> fromRegString(const std::vector<std::uint8_t>& data)
{
    if (data.size() % 2)
        return std::nullopt;
    std::string text;
    const std::size_t units = data.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        char32_t unit = static_cast<char32_t>(data[2 * i] | data[2 * i + 1] << 8);
        if (unit == 0)
            break;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            const char32_t low = static_cast<char32_t>(data[2 * i + 2] | data[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        appendUtf8(text, unit >= 0xD800 && unit <= 0xDFFF ? U'\uFFFD' : unit);
    }
    return text;
}

struct RegistryStore::Key {
    struct Value {
        std::string name;
        RegValue value;
    };
    std::string name;
    bool isVolatile = false;
    std::vector<Value> values;
    std::vector<std::unique_ptr<Key>> subkeys;

    Key* child(std::string_view childName) const
    {
        for (const auto& key : subkeys) {
            if (sameName(key->name, childName))
                return key.get();
        }
        return nullptr;
    }
    Value* value(std::string_view valueName)
    {
        for (auto& entry : values) {
            if (sameName(entry.name, valueName))
                return &entry;
        }
        return nullptr;
    }
};

namespace {

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

RegistryStore::RegistryStore()
    : m_root(std::make_unique<Key>())
{
}

RegistryStore::~RegistryStore() = default;

RegistryStore::Key* RegistryStore::find(std::string_view path) const
{
    std::vector<std::string_view> parts;
    if (!splitPath(path, parts))
        return nullptr;
    Key* key = m_root.get();
    for (auto part : parts) {
        key = key->child(part);
        if (!key)
            return nullptr;
    }
    return key;
}

RegistryStore::Key* RegistryStore::create(std::string_view path, bool isVolatile)
{
    std::vector<std::string_view> parts;
    if (!splitPath(path, parts))
        return nullptr;
    Key* key = m_root.get();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        Key* next = key->child(parts[i]);
        if (!next) {
            auto created = std::make_unique<Key>();
            created->name = std::string(parts[i]);
            created->isVolatile = key->isVolatile || (isVolatile && i + 1 == parts.size());
            next = created.get();
            key->subkeys.push_back(std::move(created));
        }
        key = next;
    }
    return key;
}

void RegistryStore::writeBack()
{
    if (m_path.empty())
        return;
    std::string text = std::string(kHeader) + "\n\n";
    exportKey(*m_root, "", text);
    const auto written = platform::writeFileAtomic(m_path, text);
    m_dirty = !written.ok();
    m_writeError = written.ok() ? std::string() : m_path + ": " + written.error().message;
}

std::string RegistryStore::writeError() const
{
    std::lock_guard lock(m_mutex);
    return m_writeError;
}

NtStatus RegistryStore::writtenBack()
{
    writeBack();
    // The change stays in the store and goes out with the next write that
    // succeeds (or flush()); until then it is not kept across a restart.
    return m_dirty ? kStatusUnsuccessful : kStatusSuccess;
}

NtStatus RegistryStore::attachFile(const std::string& path)
{
    if (platform::fileExists(path)) {
        bool truncated = false;
        auto bytes = platform::readFileBytes(path, kMaxFileBytes, &truncated);
        if (!bytes.ok() || truncated || !importText(*bytes))
            return kStatusUnsuccessful;
    }
    std::lock_guard lock(m_mutex);
    m_path = path;
    writeBack();
    return m_dirty ? kStatusUnsuccessful : kStatusSuccess;
}

NtStatus RegistryStore::flush()
{
    std::lock_guard lock(m_mutex);
    writeBack();
    return m_dirty ? kStatusUnsuccessful : kStatusSuccess;
}

NtStatus RegistryStore::createKey(std::string_view path, bool isVolatile)
{
    std::lock_guard lock(m_mutex);
    const bool existed = find(path) != nullptr;
    Key* key = create(path, isVolatile);
    if (!key)
        return kStatusObjectNameInvalid;
    if (!existed && !key->isVolatile)
        return writtenBack();
    return kStatusSuccess;
}

bool RegistryStore::keyExists(std::string_view path) const
{
    std::lock_guard lock(m_mutex);
    return find(path) != nullptr;
}

NtStatus RegistryStore::deleteKey(std::string_view path)
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string_view> parts;
    if (!splitPath(path, parts))
        return kStatusObjectNameInvalid;
    Key* parent = m_root.get();
    for (std::size_t i = 0; i + 1 < parts.size() && parent; ++i)
        parent = parent->child(parts[i]);
    if (!parent)
        return kStatusObjectNameNotFound;
    auto& siblings = parent->subkeys;
    auto it = std::find_if(siblings.begin(), siblings.end(),
        [&](const std::unique_ptr<Key>& key) { return sameName(key->name, parts.back()); });
    if (it == siblings.end())
        return kStatusObjectNameNotFound;
    const bool wasVolatile = (*it)->isVolatile;
    siblings.erase(it);
    if (!wasVolatile)
        return writtenBack();
    return kStatusSuccess;
}

std::vector<std::string> RegistryStore::subkeyNames(std::string_view path) const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> names;
    if (const Key* key = find(path)) {
        for (const auto& child : key->subkeys)
            names.push_back(child->name);
    }
    return names;
}

std::vector<std::string> RegistryStore::valueNames(std::string_view path) const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> names;
    if (const Key* key = find(path)) {
        for (const auto& entry : key->values)
            names.push_back(entry.name);
    }
    return names;
}

NtStatus RegistryStore::setValue(
    std::string_view path, std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data)
{
    std::lock_guard lock(m_mutex);
    Key* key = find(path);
    if (!key)
        return kStatusObjectNameNotFound;
    if (name.size() > kMaxNameLength || data.size() > kMaxValueBytes)
        return kStatusInvalidParameter;
    if (auto* existing = key->value(name)) {
        existing->value = RegValue { type, std::move(data) };
    } else {
        key->values.push_back({ std::string(name), RegValue { type, std::move(data) } });
    }
    if (!key->isVolatile)
        return writtenBack();
    return kStatusSuccess;
}

NtStatus RegistryStore::queryValue(std::string_view path, std::string_view name, RegValue& value) const
{
    std::lock_guard lock(m_mutex);
    Key* key = find(path);
    if (!key)
        return kStatusObjectNameNotFound;
    const auto* entry = key->value(name);
    if (!entry)
        return kStatusObjectNameNotFound;
    value = entry->value;
    return kStatusSuccess;
}

NtStatus RegistryStore::deleteValue(std::string_view path, std::string_view name)
{
    std::lock_guard lock(m_mutex);
    Key* key = find(path);
    if (!key)
        return kStatusObjectNameNotFound;
    auto it = std::find_if(
        key->values.begin(), key->values.end(), [&](const Key::Value& entry) { return sameName(entry.name, name); });
    if (it == key->values.end())
        return kStatusObjectNameNotFound;
    key->values.erase(it);
    if (!key->isVolatile)
        return writtenBack();
    return kStatusSuccess;
}

NtStatus RegistryStore::setDword(std::string_view path, std::string_view name, std::uint32_t value)
{
    std::vector<std::uint8_t> data { static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24) };
    return setValue(path, name, static_cast<std::uint32_t>(RegType::Dword), std::move(data));
}

NtStatus RegistryStore::setString(std::string_view path, std::string_view name, std::string_view utf8)
{
    return setValue(path, name, static_cast<std::uint32_t>(RegType::Sz), toRegString(utf8));
}

NtStatus RegistryStore::queryDword(std::string_view path, std::string_view name, std::uint32_t& value) const
{
    RegValue raw;
    const NtStatus status = queryValue(path, name, raw);
    if (!ntSuccess(status))
        return status;
    if (raw.type != static_cast<std::uint32_t>(RegType::Dword) || raw.data.size() != 4)
        return kStatusInvalidParameter;
    value = raw.data[0] | raw.data[1] << 8 | raw.data[2] << 16 | static_cast<std::uint32_t>(raw.data[3]) << 24;
    return kStatusSuccess;
}

NtStatus RegistryStore::queryString(std::string_view path, std::string_view name, std::string& utf8) const
{
    RegValue raw;
    const NtStatus status = queryValue(path, name, raw);
    if (!ntSuccess(status))
        return status;
    auto text = fromRegString(raw.data);
    if (raw.type != static_cast<std::uint32_t>(RegType::Sz) || !text)
        return kStatusInvalidParameter;
    utf8 = std::move(*text);
    return kStatusSuccess;
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
