#include "mfg/portio_choice.h"
#include "mfg/config_files.h"
#include "platform/data_files.h"

#include <cstdlib>

namespace mfg {

std::string PortIoChoice::describe() const
{
    if (module)
        return "Direct UART access: on (" + path + ", asked by " + askedBy + ")";
    if (asked.empty())
        return "Direct UART access: off (serial driver only)";
    return "Direct UART access: off (" + problem + ")";
}

std::unique_ptr<PortIoChoice> choosePortIo(const std::string& commandLine, const std::string& directory)
{
    auto choice = std::make_unique<PortIoChoice>();
    if (!commandLine.empty()) {
        choice->asked = commandLine == "none" ? std::string() : commandLine;
        choice->askedBy = "--portio";
    } else {
        choice->asked = readPortIoFile(directory);
        choice->askedBy = "Option page";
    }
    if (choice->asked.empty())
        return choice;
    const char* configured = std::getenv("PORTIO_MODULE");
    if (configured && std::string(configured) == "none") {
        choice->problem = "PORTIO_MODULE=none";
        return choice;
    }
    if (configured && *configured)
        choice->path = configured;
    else if (choice->asked.find('/') == std::string::npos) {
        choice->path = platform::findInDirectories(choice->asked, platform::moduleDirectories());
        // Not found anywhere: the load names the file beside the program.
        if (choice->path.empty())
            choice->path = platform::programDirectory() + choice->asked;
    } else
        choice->path = choice->asked;
    auto loaded = platform::PortIoModule::load(choice->path);
    if (!loaded) {
        choice->problem = choice->path + " did not load: " + loaded.error().message;
        return choice;
    }
    choice->module = std::move(loaded.value());
    return choice;
}

} // namespace mfg
