// Value readers shared by devsim's command line and its configuration file.
#pragma once

#include "platform/clock.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace sim::devsim::setup_values {

inline std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Decimal, or hexadecimal with 0x.
inline bool parseUnsigned(std::string_view text, std::uint64_t max, std::uint64_t& value)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return false;
    std::uint64_t parsed = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed, base);
    if (ec != std::errc() || ptr != text.data() + text.size() || parsed > max)
        return false;
    value = parsed;
    return true;
}

inline bool parseBool(std::string_view text, bool& value)
{
    for (std::string_view yes : { "1", "yes", "on", "true" })
        if (text == yes)
            return value = true, true;
    for (std::string_view no : { "0", "no", "off", "false" })
        if (text == no)
            return value = false, true;
    return false;
}

// Seconds with an optional fraction ("3", "0.5").
inline bool parseSeconds(std::string_view text, platform::Duration& duration)
{
    double seconds = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(seconds) || seconds < 0
        || seconds > 86400)
        return false;
    duration = std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(seconds));
    return true;
}

} // namespace sim::devsim::setup_values
