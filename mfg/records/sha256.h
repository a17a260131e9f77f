#pragma once

#include <cstdint>
#include <string>

namespace mfg::records {

// SHA-256 of some bytes as 64 lower-case hexadecimal digits.
std::string sha256Hex(const std::string& bytes);

} // namespace mfg::records
