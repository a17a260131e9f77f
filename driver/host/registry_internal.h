#pragma once

// Shared by the parts of the registry store (registry*.cpp) only.

#include "driver/host/registry.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace driver::host {

namespace registry_detail {

// Bounds that keep a hostile file from exhausting memory or the stack.
inline constexpr std::size_t kMaxDepth = 64;
inline constexpr std::size_t kMaxNameLength = 255;
inline constexpr std::size_t kMaxValueBytes = 1 << 20;

inline bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// Splits a key path into its names; false for an empty name or too deep a path.
inline bool splitPath(std::string_view path, std::vector<std::string_view>& parts)
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

inline void appendUtf8(std::string& out, char32_t code)
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

} // namespace registry_detail

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
            if (registry_detail::sameName(key->name, childName))
                return key.get();
        }
        return nullptr;
    }
    Value* value(std::string_view valueName)
    {
        for (auto& entry : values) {
            if (registry_detail::sameName(entry.name, valueName))
                return &entry;
        }
        return nullptr;
    }
};

namespace registry_detail {

// The store's keys as the text of a registration file.
std::string registryText(const RegistryStore::Key& root);

} // namespace registry_detail

} // namespace driver::host
