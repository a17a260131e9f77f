#include "platform/background.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

Result<void> runInBackground()
{
    const pid_t child = ::fork();
    if (child < 0)
        return Error { std::string("fork: ") + std::strerror(errno), errno };
    if (child > 0)
        std::_Exit(0);
    if (::setsid() < 0)
        return Error { std::string("setsid: ") + std::strerror(errno), errno };
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::close(null);
    }
    return {};
}

} // namespace platform

namespace platform {

unsigned long raiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return static_cast<unsigned long>(limit.rlim_cur);
}

} // namespace platform
