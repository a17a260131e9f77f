#pragma once

#include "platform/result.h"

#include <cstdint>
#include <string>

namespace mfg::records {

// SHA-256 of some bytes as 64 lower-case hexadecimal digits (libcrypto's).
std::string sha256Hex(const std::string& bytes);

struct FileDigest {
    std::string sha256;
    std::int64_t size = 0;
};
// SHA-256 of a regular file, read in pieces (firmware images run to tens of
// megabytes); links, FIFOs and devices are refused without waiting.
platform::Result<FileDigest> sha256OfFile(const std::string& path);

} // namespace mfg::records
