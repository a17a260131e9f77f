#pragma once

#include "driver/host/registry.h"

#include <cstdint>
#include <vector>

namespace driver::daemon {

// The COM name database: which COM numbers are taken, one bit per number in
// the "ComDB" binary value of the COM name arbiter's key, so it lasts as long
// as the registry does.
class ComDb {
public:
    static constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
    static constexpr std::uint32_t kHighest = 4096;

    explicit ComDb(host::RegistryStore& registry)
        : m_registry(registry)
    {
    }

    // One byte per number 1..highest, 1 when in use.
    common::NtStatus usage(std::uint32_t highest, std::vector<std::uint8_t>& bytes);
    // Takes a number; a number in use is taken only when forced (`forced`
    // then reports it), else STATUS_SHARING_VIOLATION.
    common::NtStatus claim(std::uint32_t number, bool force, bool& forced);
    common::NtStatus release(std::uint32_t number);

private:
    std::vector<std::uint8_t> load();
    common::NtStatus store(const std::vector<std::uint8_t>& bits);

    host::RegistryStore& m_registry;
};

} // namespace driver::daemon
