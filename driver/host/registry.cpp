#include "driver/host/registry_internal.h"

#include "platform/text_file.h"

#include <algorithm>
#include <cstdio>

namespace driver::host {

using namespace common;
using namespace registry_detail;

namespace {

constexpr std::size_t kMaxFileBytes = 16 << 20;

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
    const auto written = platform::writeFileAtomic(m_path, registryText(*m_root));
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

} // namespace driver::host
