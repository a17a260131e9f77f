#pragma once

#include "platform/result.h"

#include <cstddef>
#include <optional>
#include <string>

namespace platform {

// Byte-exact file helpers: no newline translation, no encoding changes.

// Reads at most `limit` bytes of a file. `truncated` (if given) is set when
// the file holds more than that.
Result<std::string> readFileBytes(
    const std::string& path, std::size_t limit = static_cast<std::size_t>(-1), bool* truncated = nullptr);
// Writes the bytes from the start of the file and cuts off anything longer
// that was there before.
Result<void> writeFileBytes(const std::string& path, const std::string& bytes);
// Writes through a temporary file and a rename, so readers never see half a file.
Result<void> writeFileAtomic(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
bool canOpenForReading(const std::string& path);
// Opens an existing file for writing (never creates or truncates it) and closes
// it again; false when that fails.
bool canOpenForWriting(const std::string& path);
std::string absolutePath(const std::string& path);
// The path with its last component removed, keeping the trailing separator.
std::string directoryOf(const std::string& path);
std::string currentDirectory();

} // namespace platform
