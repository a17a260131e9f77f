#include "platform/com_names.h"
#include "platform/seqpacket.h"
#include "platform/text_file.h"

#include <cctype>
#include <cstdlib>

namespace platform {
namespace {

std::string stripDevicePrefix(const std::string& name)
{
    static const std::string kPrefix = "\\\\.\\";
    if (name.compare(0, kPrefix.size(), kPrefix) == 0)
        return name.substr(kPrefix.size());
    return name;
}

std::string trim(const std::string& text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The mapping file is small; anything beyond 64 KiB is ignored.
std::string lookUpMapping(const std::string& file, int number)
{
    auto bytes = readFileBytes(file, 64 * 1024);
    if (!bytes)
        return {};
    const std::string& text = bytes.value();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        line = trim(line);
        std::size_t split = line.find_first_of("= \t");
        if (split == std::string::npos)
            continue;
        const std::string name = trim(line.substr(0, split));
        std::string path = trim(line.substr(split + 1));
        if (!path.empty() && path[0] == '=')
            path = trim(path.substr(1));
        if (comNumber(name) == number && !path.empty())
            return path;
    }
    return {};
}

} // namespace

int comNumber(const std::string& rawName)
{
    const std::string name = stripDevicePrefix(rawName);
    if (name.size() < 4 || name.size() > 8)
        return 0;
    if (std::toupper(static_cast<unsigned char>(name[0])) != 'C'
        || std::toupper(static_cast<unsigned char>(name[1])) != 'O'
        || std::toupper(static_cast<unsigned char>(name[2])) != 'M')
        return 0;
    int number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return 0;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

ComNameResolver ComNameResolver::fromEnvironment()
{
    ComNameResolver resolver;
    resolver.runtimeDir = vorpilClientRuntimeDir();
    resolver.mappingFile = environment("SUITE_COM_MAP");
    if (resolver.mappingFile.empty()) {
        const std::string config = environment("XDG_CONFIG_HOME");
        const std::string home = environment("HOME");
        if (!config.empty())
            resolver.mappingFile = config + "/kellan-suite/com-ports";
        else if (!home.empty())
            resolver.mappingFile = home + "/.config/kellan-suite/com-ports";
    }
    return resolver;
}

std::string ComNameResolver::resolve(const std::string& comName) const
{
    const std::string name = stripDevicePrefix(comName);
    if (!name.empty() && name[0] == '/')
        return name;
    const int number = comNumber(name);
    if (number <= 0)
        return {};
    const std::string canonical = "COM" + std::to_string(number);
    if (!runtimeDir.empty()) {
        const std::string link = vorpilDeviceDir(runtimeDir) + "/" + canonical;
        if (fileExists(link))
            return link;
    }
    if (!mappingFile.empty()) {
        std::string mapped = lookUpMapping(mappingFile, number);
        if (!mapped.empty())
            return mapped;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

} // namespace platform
