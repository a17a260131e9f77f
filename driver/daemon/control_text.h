#pragma once

#include <string>
#include <string_view>

namespace driver::daemon {

// Key and name comparisons of the control requests: registry keys and COM
// names are compared without regard to case.
inline std::string upperCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

inline bool startsWithText(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && upperCase(text.substr(0, prefix.size())) == upperCase(prefix);
}

inline bool sameText(std::string_view a, std::string_view b) { return upperCase(a) == upperCase(b); }

} // namespace driver::daemon
