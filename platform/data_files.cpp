#include "platform/data_files.h"
#include "platform/port_io.h"

#include <unistd.h>

// The install layout is decided when the tree is configured.
#ifndef SUITE_DATA_DIR
#define SUITE_DATA_DIR "/usr/share/kellan-suite"
#endif
#ifndef SUITE_MODULE_DIR
#define SUITE_MODULE_DIR "/usr/lib/kellan-suite"
#endif

namespace platform {

std::vector<std::string> dataDirectories() { return { programDirectory(), SUITE_DATA_DIR "/" }; }

std::vector<std::string> moduleDirectories() { return { programDirectory(), SUITE_MODULE_DIR "/" }; }

std::string findInDirectories(const std::string& name, const std::vector<std::string>& directories)
{
    for (const std::string& directory : directories) {
        if (directory.empty())
            continue;
        std::string path = directory;
        if (path.back() != '/')
            path += '/';
        path += name;
        if (::access(path.c_str(), R_OK) == 0)
            return path;
    }
    return {};
}

} // namespace platform
