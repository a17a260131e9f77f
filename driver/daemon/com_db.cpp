#include "driver/daemon/com_db.h"

#include "common/win32_error.h"

namespace driver::daemon {

using namespace common;

namespace {

// The database grows in blocks of 256 numbers.
constexpr std::size_t kBlockBytes = 32;

bool validNumber(std::uint32_t number) { return number >= 1 && number <= ComDb::kHighest; }

} // namespace

std::vector<std::uint8_t> ComDb::load()
{
    host::RegValue value;
    if (!ntSuccess(m_registry.queryValue(kKey, "ComDB", value)))
        return std::vector<std::uint8_t>(kBlockBytes, 0);
    value.data.resize(std::min<std::size_t>(value.data.size(), kHighest / 8));
    return value.data;
}

NtStatus ComDb::store(const std::vector<std::uint8_t>& bits)
{
    NtStatus status = m_registry.createKey(kKey);
    if (!ntSuccess(status))
        return status;
    return m_registry.setValue(kKey, "ComDB", static_cast<std::uint32_t>(host::RegType::Binary), bits);
}

NtStatus ComDb::usage(std::uint32_t highest, std::vector<std::uint8_t>& bytes)
{
    if (!validNumber(highest))
        return kStatusInvalidParameter;
    const auto bits = load();
    bytes.assign(highest, 0);
    for (std::uint32_t number = 1; number <= highest; ++number) {
        const std::size_t index = (number - 1) / 8;
        if (index < bits.size() && (bits[index] >> ((number - 1) % 8) & 1))
            bytes[number - 1] = 1;
    }
    return kStatusSuccess;
}

NtStatus ComDb::claim(std::uint32_t number, bool force, bool& forced)
{
    forced = false;
    if (!validNumber(number))
        return kStatusInvalidParameter;
    auto bits = load();
    const std::size_t index = (number - 1) / 8;
    const auto mask = static_cast<std::uint8_t>(1u << ((number - 1) % 8));
    if (index >= bits.size())
        bits.resize((index / kBlockBytes + 1) * kBlockBytes, 0);
    if (bits[index] & mask) {
        if (!force)
            return kStatusSharingViolation;
        forced = true;
        return kStatusSuccess;
    }
    bits[index] |= mask;
    return store(bits);
}

NtStatus ComDb::release(std::uint32_t number)
{
    if (!validNumber(number))
        return kStatusInvalidParameter;
    auto bits = load();
    const std::size_t index = (number - 1) / 8;
    if (index >= bits.size())
        return kStatusSuccess;
    bits[index] &= static_cast<std::uint8_t>(~(1u << ((number - 1) % 8)));
    return store(bits);
}

} // namespace driver::daemon
