#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace utility::devmgmt {

// A text from a device (a name, a firmware version) as a terminal, a log or
// a one-line file may show it: every control character is written as \xHH,
// so that ESC, CR, LF or BEL in a device name can neither move the cursor,
// clear the screen nor break a line. Control characters are C0 (below 0x20),
// DEL, and C1 (0x80..0x9F) whether as a lone byte or in UTF-8 (C2 80..C2 9F);
// every other byte stays as it is.
std::string escapeControls(std::string_view text);

// The length of the valid UTF-8 sequence of two or more bytes at `i`, or 0
// (a lone byte: ASCII, or a byte of another encoding such as Latin-1).
std::size_t utf8SequenceLength(std::string_view text, std::size_t i);

// True when the text holds a character escapeControls would escape.
bool hasControls(std::string_view text);

} // namespace utility::devmgmt
