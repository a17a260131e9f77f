#pragma once

#include "common/ntstatus.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace driver::host {

using common::NtStatus;

// Value types, with the registry's numbers.
enum class RegType : std::uint32_t {
    None = 0,
    Sz = 1,
    ExpandSz = 2,
    Binary = 3,
    Dword = 4,
    MultiSz = 7,
    Qword = 11,
};

struct RegValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data; // as the registry keeps it: strings UTF-16LE with their terminator
};

// UTF-8 text <-> the UTF-16LE bytes of a REG_SZ value (with its terminating zero).
std::vector<std::uint8_t> toRegString(std::string_view utf8);
// Decodes UTF-16LE up to the first zero unit; nullopt when the bytes are no string.
std::optional<std::string> fromRegString(const std::vector<std::uint8_t>& data);

// The machine's registry: keys named by paths such as
// "HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\ROOT\PORTS\0000", names
// compared without regard to case. With a backing file every change is
// written through (atomically) in the .reg text format, so the store survives
// a restart and a person can read it. Volatile keys live in memory only.
class RegistryStore {
public:
    RegistryStore();
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // Loads `path` (a missing file is an empty registry) and writes every later
    // change back to it. A file that is not a registry export is refused and
    // left untouched; lines that cannot be understood are skipped.
    NtStatus attachFile(const std::string& path);
    // Writes the file now (retries a write-back that failed earlier).
    NtStatus flush();
    // Why the last write-back failed ("" when the file holds the store).
    std::string writeError() const;

    // Every change below fails (kStatusUnsuccessful) when it could not be
    // written back to the file; it is kept in memory and written later.

    // Creates the key and any missing parents; an existing key is opened.
    NtStatus createKey(std::string_view path, bool isVolatile = false);
    bool keyExists(std::string_view path) const;
    // Deletes the key with everything below it.
    NtStatus deleteKey(std::string_view path);
    std::vector<std::string> subkeyNames(std::string_view path) const;
    std::vector<std::string> valueNames(std::string_view path) const;

    NtStatus setValue(std::string_view path, std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data);
    NtStatus queryValue(std::string_view path, std::string_view name, RegValue& value) const;
    NtStatus deleteValue(std::string_view path, std::string_view name);

    NtStatus setDword(std::string_view path, std::string_view name, std::uint32_t value);
    NtStatus setString(std::string_view path, std::string_view name, std::string_view utf8);
    NtStatus queryDword(std::string_view path, std::string_view name, std::uint32_t& value) const;
    NtStatus queryString(std::string_view path, std::string_view name, std::string& utf8) const;

    // The .reg text of every non-volatile key.
    std::string exportText() const;
    // Merges a .reg text into the store. Returns false (and changes nothing)
    // when the text lacks the header; `skippedLines` counts lines ignored.
    bool importText(std::string_view text, int* skippedLines = nullptr);

    struct Key;

private:
    Key* find(std::string_view path) const;
    Key* create(std::string_view path, bool isVolatile);
    void writeBack();
    // writeBack(), and whether the file holds the store now.
    NtStatus writtenBack();

    mutable std::mutex m_mutex; // protects the key tree and the write-back state
    std::unique_ptr<Key> m_root;
    std::string m_path;
    bool m_dirty = false;
    std::string m_writeError;
};

} // namespace driver::host
