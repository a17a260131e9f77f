#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace platform {

// The one way the programs print JSON (every --json goes through here).
// Text that is no valid UTF-8 (a device name written in Latin-1, a file name
// from an old station) comes out with U+FFFD in place of each bad byte
// instead of aborting the program with an exception. `indent` < 0 prints one
// line; otherwise that many spaces per level.
template <typename Json> std::string jsonText(const Json& value, int indent = -1)
{
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

} // namespace platform
