#include "mfg/records/process_identity.h"

#include "platform/text_file.h"

#include <cstdint>
#include <random>
#include <sstream>
#include <vector>

namespace mfg::records {

namespace {

// The process's number and its start time (field 22) from /proc/PID/stat;
// the name in parentheses may itself hold blanks, so fields count from the
// last ')'.
std::string pidAndStart(const std::string& stat, bool* zombie = nullptr)
{
    const auto close = stat.rfind(')');
    const auto open = stat.find(' ');
    if (close == std::string::npos || open == std::string::npos)
        return {};
    std::istringstream rest(stat.substr(close + 2));
    std::vector<std::string> fields;
    std::string field;
    while (rest >> field)
        fields.push_back(field);
    // Fields from the third on: state is field 3, start time field 22.
    if (fields.size() < 20)
        return {};
    if (zombie)
        *zombie = fields[0] == "Z" || fields[0] == "X";
    return stat.substr(0, open) + "/" + fields[19];
}

} // namespace

std::string hostName()
{
    auto name = platform::readFileBytes("/proc/sys/kernel/hostname");
    std::string text = name ? name.value() : std::string("localhost");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "localhost" : text;
}

std::string thisProcessIdentity()
{
    auto stat = platform::readFileBytes("/proc/self/stat");
    return hostName() + "/" + (stat ? pidAndStart(stat.value()) : std::string("?"));
}

bool processIdentityAlive(const std::string& identity)
{
    const auto slash = identity.find('/');
    if (slash == std::string::npos || identity.substr(0, slash) != hostName())
        return true;
    const std::string rest = identity.substr(slash + 1);
    const auto pid = rest.substr(0, rest.find('/'));
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
        return false;
    auto stat = platform::readFileBytes("/proc/" + pid + "/stat");
    // A killed process its parent has not yet waited for is gone too.
    bool zombie = false;
    return stat && pidAndStart(stat.value(), &zombie) == rest && !zombie;
}

std::string newHolderId()
{
    std::random_device source;
    static const char kDigits[] = "0123456789abcdef";
    std::string id;
    for (int word = 0; word < 4; ++word) {
        std::uint32_t bits = source();
        for (int digit = 0; digit < 8; ++digit, bits >>= 4)
            id += kDigits[bits & 0xF];
    }
    return id;
}

bool isHolderId(const std::string& text)
{
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

} // namespace mfg::records
