#pragma once

#include <string>
#include <string_view>

namespace utility::services {

// Received bytes as a terminal shows them in hex: "41 54 0D " (each byte two
// upper-case digits and a space).
std::string terminalHexText(std::string_view bytes);

// "[hh:mm:ss.mmm] ", the local time a received block begins with.
std::string terminalTimeStamp();

} // namespace utility::services
