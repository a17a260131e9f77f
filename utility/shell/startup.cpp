#include "utility/shell/startup.h"

#include "platform/data_files.h"
#include "platform/text_file.h"

namespace utility::shell {
namespace {

const std::string kMissingInfMessage = "Failed to find required KESTRIL driver related files!\r\n"
                                       "Please make sure this application is running at correct work directory!\r\n"
                                       "( e.g., C:\\Program Files\\VU-232 ru Dudezazu\\ )";
const std::string kDefaultTitle = "QELTA Configuration Utility v1.9.0";

} // namespace

std::string findDriverInf(const std::vector<std::string>& directories)
{
    for (std::string_view name : { kPrimaryInfName, kSecondaryInfName })
        if (platform::canOpenForReading(std::string(name)))
            return std::string(name);
    // An installed utility runs from any folder: its own copies serve then.
    for (std::string_view name : { kPrimaryInfName, kSecondaryInfName })
        if (std::string path = platform::findInDirectories(std::string(name), directories); !path.empty())
            return path;
    return {};
}

std::string findDriverInf() { return findDriverInf(platform::dataDirectories()); }

bool checkDriverInf(platform::Prompter& prompter, std::string& infName, const std::vector<std::string>& directories)
{
    infName = findDriverInf(directories);
    if (!infName.empty())
        return true;
    prompter.message(kMissingInfMessage);
    return false;
}

std::string_view hardwareIdFor(std::string_view infName)
{
    const auto slash = infName.rfind('/');
    const std::string_view fileName = slash == std::string_view::npos ? infName : infName.substr(slash + 1);
    return fileName == kSecondaryInfName ? kSecondaryHardwareId : kPrimaryHardwareId;
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
