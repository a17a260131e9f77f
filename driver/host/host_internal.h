#pragma once

// Shared by the parts of the driver host (host*.cpp) only.

#include <string>
#include <string_view>

namespace driver::host::detail {

// Names, paths and identifiers compare without regard to ASCII case.
inline std::string lowerCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

inline bool sameText(std::string_view a, std::string_view b) { return lowerCase(a) == lowerCase(b); }

} // namespace driver::host::detail
