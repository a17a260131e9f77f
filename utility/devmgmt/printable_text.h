#pragma once

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

// True when the text holds a character escapeControls would escape.
bool hasControls(std::string_view text);

} // namespace utility::devmgmt
