#pragma once

#include "platform/result.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace platform {

// Byte-exact file helpers: no newline translation, no encoding changes.
//
// Every file the programs keep (settings, tables, logs) is written by
// writeFileAtomic or, when the new content depends on the old, by
// updateFileAtomic. Neither ever writes through a symbolic link or into a
// FIFO, a device or a folder: a program that runs as root (the DHCP and TFTP
// servers need it) would otherwise overwrite whatever a link planted in a
// shared folder points at. The same refusal holds for every user, so a file
// behaves the same whoever runs the program; nothing of ours keeps its data
// files behind links.

// Reads at most `limit` bytes of a file. `truncated` (if given) is set when
// the file holds more than that. Only a regular file is read: a FIFO, a
// device or a folder is refused at once (never waited on).
Result<std::string> readFileBytes(
    const std::string& path, std::size_t limit = static_cast<std::size_t>(-1), bool* truncated = nullptr);

// As readFileBytes, for a file the program keeps itself: a symbolic link is
// refused too. A missing file is an error with the code ENOENT.
Result<std::string> readDataFile(
    const std::string& path, std::size_t limit = static_cast<std::size_t>(-1), bool* truncated = nullptr);

// Writes the bytes as the file's whole new content: into a temporary file of
// its own in the same folder (a fresh name, created exclusively), fsynced,
// renamed over the file, and the folder fsynced. A reader sees the old file
// or the new one, never a mix or an empty one, even when the writer is killed
// half way. An existing file keeps its permission bits. Refused (nothing is
// written) when the path is a symbolic link or anything but a regular file.
Result<void> writeFileAtomic(const std::string& path, const std::string& bytes);

// What updateFileAtomic found in the file.
struct CurrentFile {
    bool exists = false;
    std::string bytes; // at most the limit
    bool truncated = false; // the file is longer than the limit
};
// Gets the current content and returns the new one, or nothing to leave the
// file as it is.
using FileChange = std::function<std::optional<std::string>(const CurrentFile& current)>;

// Read-modify-write: takes the advisory lock PATH.lock (a file of its own
// beside the data file, which the rename replaces), reads the file, asks
// `change` for the new content and writes it as writeFileAtomic does, all
// while the lock is held, so two programs changing one file at once never
// lose each other's change. Every program that changes such a file goes
// through here. Refused as writeFileAtomic is, and before `change` runs.
Result<void> updateFileAtomic(const std::string& path, std::size_t limit, const FileChange& change);

// Appends the bytes to a log file, creating it when missing: one write
// (O_APPEND), never through a symbolic link, never into a FIFO, a device or a
// folder (refused at once, never waited on). A short write is an error.
Result<void> appendFileBytes(const std::string& path, const std::string& bytes);

// Keeps what is at `path` as PATH.bad (replacing an older copy) before a
// program that could not read it writes over it. Returns the copy's path.
Result<std::string> keepBadCopy(const std::string& path);

// The old helper's name: the same as writeFileAtomic.
inline Result<void> writeFileBytes(const std::string& path, const std::string& bytes)
{
    return writeFileAtomic(path, bytes);
}

bool fileExists(const std::string& path);
bool canOpenForReading(const std::string& path);
// Opens an existing regular file for writing (never creates or truncates it,
// never waits on a FIFO) and closes it again; false when that fails.
bool canOpenForWriting(const std::string& path);
std::string absolutePath(const std::string& path);
// The path with its last component removed, keeping the trailing separator.
std::string directoryOf(const std::string& path);
std::string currentDirectory();

} // namespace platform
