#pragma once

// Opening a pseudo-terminal pair, shared by the pty classes (Linux only).

#include "platform/result.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace platform::detail {

struct RawPty {
    int master = -1;
    int slave = -1; // kept open so the line never hangs up between programs
    std::string slavePath;
};

// A new pair with the slave in raw mode: a serial line carries bytes as they
// are, without echo, line editing or CR/LF translation.
inline Result<RawPty> openRawPty(int extraMasterFlags = 0)
{
    auto failure = [](const std::string& what, int code) { return Error { what + ": " + std::strerror(code), code }; };
    RawPty pty;
    pty.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | extraMasterFlags);
    if (pty.master < 0)
        return failure("posix_openpt", errno);
    char name[128] = {};
    if (::grantpt(pty.master) != 0 || ::unlockpt(pty.master) != 0 || ::ptsname_r(pty.master, name, sizeof name) != 0) {
        const int code = errno;
        ::close(pty.master);
        return failure("pty setup", code);
    }
    pty.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.slave < 0) {
        const int code = errno;
        ::close(pty.master);
        return failure(std::string("open ") + name, code);
    }
    termios tio {};
    if (::tcgetattr(pty.slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(pty.slave, TCSANOW, &tio);
    }
    pty.slavePath = name;
    return pty;
}

} // namespace platform::detail
