#include "utility/shell/startup.h"

#include "platform/text_file.h"

namespace utility::shell {
namespace {

const std::string kMissingInfMessage = "Failed to find required KESTRIL driver related files!\r\n"
                                       "Please make sure this application is running at correct work directory!\r\n"
                                       "( e.g., C:\\Program Files\\VU-232 ru Dudezazu\\ )";
const std::string kDefaultTitle = "QELTA Configuration Utility v1.9.0";

} // namespace

std::string findDriverInf()
{
    for (std::string_view name : { kPrimaryInfName, kSecondaryInfName })
        if (platform::canOpenForReading(std::string(name)))
            return std::string(name);
    return {};
}

bool checkDriverInf(platform::Prompter& prompter, std::string& infName)
{
    infName = findDriverInf();
    if (!infName.empty())
        return true;
    prompter.message(kMissingInfMessage);
    return false;
}

std::string_view hardwareIdFor(std::string_view infName)
{
    return infName == kSecondaryInfName ? kSecondaryHardwareId : kPrimaryHardwareId;
}

std::string iconFileName(const AppSettings& settings) { return settings.logoFileName + ".ico"; }

std::string windowTitle(const AppSettings& settings)
{
    auto bytes = platform::readFileBytes(settings.titleFileName + ".dat", kTitleLimit);
    if (!bytes.ok())
        return kDefaultTitle;
    // A window title is a C string: it ends at the first NUL.
    std::string title = std::move(*bytes);
    if (const auto nul = title.find('\0'); nul != std::string::npos)
        title.resize(nul);
    return title;
}

} // namespace utility::shell
