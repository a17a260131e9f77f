#pragma once

// The kernel's termios with the rates as numbers, for rates that have no
// B-constant (set with BOTHER); declared here because the kernel header
// clashes with the C library's (Linux only: serial ports and the driver
// host's pseudo-terminals).

#include <sys/ioctl.h>
#include <termios.h>

namespace platform::detail {

struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
inline constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
inline constexpr unsigned long kSetTermios2 = _IOW('T', 0x2B, KernelTermios2);
inline constexpr tcflag_t kRateBits = 0010017; // CBAUD
inline constexpr tcflag_t kOtherRate = 0010000; // BOTHER
inline constexpr int kInputRateShift = 16; // IBSHIFT

} // namespace platform::detail
