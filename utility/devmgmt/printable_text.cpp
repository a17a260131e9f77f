#include "utility/devmgmt/printable_text.h"

#include <cstdio>

namespace utility::devmgmt {

std::size_t utf8SequenceLength(std::string_view text, std::size_t i)
{
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (byte >= 0xC2 && byte <= 0xDF)
        length = 2;
    else if (byte >= 0xE0 && byte <= 0xEF)
        length = 3;
    else if (byte >= 0xF0 && byte <= 0xF4)
        length = 4;
    if (length == 0 || i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    return length;
}

namespace {

// At `i`: how many bytes form one character and whether it is a control.
struct Character {
    std::size_t length = 1;
    bool control = false;
};

Character characterAt(std::string_view text, std::size_t i)
{
    const auto byte = static_cast<unsigned char>(text[i]);
    if (const std::size_t length = utf8SequenceLength(text, i); length > 0) {
        const auto second = static_cast<unsigned char>(text[i + 1]);
        return { length, byte == 0xC2 && second <= 0x9F };
    }
    return { 1, byte < 0x20 || byte == 0x7F || (byte >= 0x80 && byte <= 0x9F) };
}

} // namespace

std::string escapeControls(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Character character = characterAt(text, i);
        for (std::size_t k = 0; k < character.length; ++k) {
            if (!character.control) {
                out += text[i + k];
                continue;
            }
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%.2X", static_cast<unsigned char>(text[i + k]));
            out += escaped;
        }
        i += character.length;
    }
    return out;
}

bool hasControls(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const Character character = characterAt(text, i);
        if (character.control)
            return true;
        i += character.length;
    }
    return false;
}

} // namespace utility::devmgmt
