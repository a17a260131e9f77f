#include "driver/host/device_directory.h"

#include <cerrno>
#include <climits>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace driver::host {

using namespace common;

NtStatus createDeviceLink(const std::string& directory, const std::string& name, const std::string& target)
{
    const std::string path = directory + "/" + name;
    const std::string temporary = directory + "/." + name + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0)
        return errno == ENOENT ? kStatusObjectNameNotFound : kStatusUnsuccessful;
    // Renamed into place, so a program never finds the name missing or half made.
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return kStatusUnsuccessful;
    }
    return kStatusSuccess;
}

void removeDeviceLink(const std::string& directory, const std::string& name)
{
    const std::string path = directory + "/" + name;
    struct stat info { };
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
        ::unlink(path.c_str());
}

void clearDeviceDirectory(const std::string& directory)
{
    DIR* dir = ::opendir(directory.c_str());
    if (!dir)
        return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            removeDeviceLink(directory, name);
    }
    ::closedir(dir);
}

std::string deviceLinkTarget(const std::string& directory, const std::string& name)
{
    char buffer[PATH_MAX];
    const std::string path = directory + "/" + name;
    const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(length));
}

} // namespace driver::host
