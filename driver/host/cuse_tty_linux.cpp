#include "driver/host/cuse_tty.h"

#include "platform/termios2_linux.h"

#include <linux/serial.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

namespace driver::host {

namespace {

using platform::detail::KernelTermios2;

static_assert(sizeof(KernelTermios2) == kTermios2Size);
static_assert(sizeof(serial_icounter_struct) == kCountsSize);
static_assert(TIOCINQ == FIONREAD);

constexpr unsigned int kSetTermios2Drain = _IOW('T', 0x2C, KernelTermios2);
constexpr unsigned int kSetTermios2Flush = _IOW('T', 0x2D, KernelTermios2);

constexpr std::array<TtyIoctlInfo, 26> kIoctls { {
    { TtyIoctl::GetTermios, TCGETS, "TCGETS", 0, kTermiosSize },
    { TtyIoctl::SetTermios, TCSETS, "TCSETS", kTermiosSize, 0 },
    { TtyIoctl::SetTermiosDrain, TCSETSW, "TCSETSW", kTermiosSize, 0 },
    { TtyIoctl::SetTermiosFlush, TCSETSF, "TCSETSF", kTermiosSize, 0 },
    { TtyIoctl::GetTermios2, static_cast<unsigned int>(platform::detail::kGetTermios2), "TCGETS2", 0, kTermios2Size },
    { TtyIoctl::SetTermios2, static_cast<unsigned int>(platform::detail::kSetTermios2), "TCSETS2", kTermios2Size, 0 },
    { TtyIoctl::SetTermios2Drain, kSetTermios2Drain, "TCSETSW2", kTermios2Size, 0 },
    { TtyIoctl::SetTermios2Flush, kSetTermios2Flush, "TCSETSF2", kTermios2Size, 0 },
    { TtyIoctl::ModemGet, TIOCMGET, "TIOCMGET", 0, sizeof(int) },
    { TtyIoctl::ModemSet, TIOCMSET, "TIOCMSET", sizeof(int), 0 },
    { TtyIoctl::ModemBitsOn, TIOCMBIS, "TIOCMBIS", sizeof(int), 0 },
    { TtyIoctl::ModemBitsOff, TIOCMBIC, "TIOCMBIC", sizeof(int), 0 },
    { TtyIoctl::ModemWait, TIOCMIWAIT, "TIOCMIWAIT", 0, 0 },
    { TtyIoctl::Counts, TIOCGICOUNT, "TIOCGICOUNT", 0, kCountsSize },
    { TtyIoctl::Break, TCSBRK, "TCSBRK", 0, 0 },
    { TtyIoctl::BreakTenths, TCSBRKP, "TCSBRKP", 0, 0 },
    { TtyIoctl::BreakOn, TIOCSBRK, "TIOCSBRK", 0, 0 },
    { TtyIoctl::BreakOff, TIOCCBRK, "TIOCCBRK", 0, 0 },
    { TtyIoctl::Flush, TCFLSH, "TCFLSH", 0, 0 },
    { TtyIoctl::FlowControl, TCXONC, "TCXONC", 0, 0 },
    // TIOCINQ is the same number.
    { TtyIoctl::InputCount, FIONREAD, "FIONREAD", 0, sizeof(int) },
    { TtyIoctl::OutputCount, TIOCOUTQ, "TIOCOUTQ", 0, sizeof(int) },
    { TtyIoctl::Exclusive, TIOCEXCL, "TIOCEXCL", 0, 0 },
    { TtyIoctl::NotExclusive, TIOCNXCL, "TIOCNXCL", 0, 0 },
    { TtyIoctl::GetSerial, TIOCGSERIAL, "TIOCGSERIAL", 0, sizeof(serial_struct) },
    { TtyIoctl::WindowSize, TIOCGWINSZ, "TIOCGWINSZ", 0, 0 },
} };

struct Rate {
    speed_t code;
    std::uint32_t rate;
};
constexpr std::array<Rate, 31> kRates { {
    { B0, 0 },
    { B50, 50 },
    { B75, 75 },
    { B110, 110 },
    { B134, 134 },
    { B150, 150 },
    { B200, 200 },
    { B300, 300 },
    { B600, 600 },
    { B1200, 1200 },
    { B1800, 1800 },
    { B2400, 2400 },
    { B4800, 4800 },
    { B9600, 9600 },
    { B19200, 19200 },
    { B38400, 38400 },
    { B57600, 57600 },
    { B115200, 115200 },
    { B230400, 230400 },
    { B460800, 460800 },
    { B500000, 500000 },
    { B576000, 576000 },
    { B921600, 921600 },
    { B1000000, 1000000 },
    { B1152000, 1152000 },
    { B1500000, 1500000 },
    { B2000000, 2000000 },
    { B2500000, 2500000 },
    { B3000000, 3000000 },
    { B3500000, 3500000 },
    { B4000000, 4000000 },
} };

// Host order: these are the kernel's own structures.
std::uint32_t load32(const std::uint8_t* bytes)
{
    std::uint32_t value = 0;
    std::memcpy(&value, bytes, 4);
    return value;
}

} // namespace

const TtyIoctlInfo* findTtyIoctl(unsigned int code)
{
    auto it
        = std::find_if(kIoctls.begin(), kIoctls.end(), [code](const TtyIoctlInfo& info) { return info.code == code; });
    return it == kIoctls.end() ? nullptr : &*it;
}

TtyTermios termiosFromBytes(const std::uint8_t* bytes, std::size_t size)
{
    TtyTermios out;
    out.iflag = load32(bytes);
    out.oflag = load32(bytes + 4);
    out.cflag = load32(bytes + 8);
    out.lflag = load32(bytes + 12);
    out.line = bytes[16];
    std::memcpy(out.cc, bytes + 17, sizeof(out.cc));
    if (size >= kTermios2Size) {
        out.ispeed = load32(bytes + 36);
        out.ospeed = load32(bytes + 40);
    }
    return out;
}

void termiosToBytes(const TtyTermios& termios, std::uint8_t* bytes, std::size_t size)
{
    KernelTermios2 raw {};
    raw.c_iflag = termios.iflag;
    raw.c_oflag = termios.oflag;
    raw.c_cflag = termios.cflag;
    raw.c_lflag = termios.lflag;
    raw.c_line = termios.line;
    std::memcpy(raw.c_cc, termios.cc, sizeof(raw.c_cc));
    raw.c_ispeed = termios.ispeed;
    raw.c_ospeed = termios.ospeed;
    std::memcpy(bytes, &raw, std::min(size, sizeof(raw)));
}

TtyLine lineOf(const TtyTermios& termios)
{
    TtyLine line;
    const speed_t code = termios.cflag & platform::detail::kRateBits;
    if (code == platform::detail::kOtherRate) {
        line.baudRate = termios.ospeed;
    } else {
        auto it = std::find_if(kRates.begin(), kRates.end(), [code](const Rate& rate) { return rate.code == code; });
        line.baudRate = it == kRates.end() ? 0 : it->rate;
    }
    switch (termios.cflag & CSIZE) {
    case CS5:
        line.dataBits = 5;
        break;
    case CS6:
        line.dataBits = 6;
        break;
    case CS7:
        line.dataBits = 7;
        break;
    default:
        line.dataBits = 8;
        break;
    }
    if (termios.cflag & PARENB) {
        const bool odd = termios.cflag & PARODD;
        if (termios.cflag & CMSPAR)
            line.parity = odd ? TtyParity::Mark : TtyParity::Space;
        else
            line.parity = odd ? TtyParity::Odd : TtyParity::Even;
    }
    line.twoStopBits = termios.cflag & CSTOPB;
    line.rtsCts = termios.cflag & CRTSCTS;
    line.xonOutput = termios.iflag & IXON;
    line.xonInput = termios.iflag & IXOFF;
    line.xonChar = termios.cc[VSTART];
    line.xoffChar = termios.cc[VSTOP];
    return line;
}

void applyLine(TtyTermios& termios, const TtyLine& line)
{
    termios.cflag &= ~(platform::detail::kRateBits | (platform::detail::kRateBits << platform::detail::kInputRateShift)
        | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    auto it
        = std::find_if(kRates.begin(), kRates.end(), [&line](const Rate& rate) { return rate.rate == line.baudRate; });
    termios.cflag |= it == kRates.end() ? platform::detail::kOtherRate : it->code;
    termios.ispeed = line.baudRate;
    termios.ospeed = line.baudRate;
    static constexpr std::array<tcflag_t, 4> kSizes { CS5, CS6, CS7, CS8 };
    termios.cflag |= kSizes[std::clamp<std::uint8_t>(line.dataBits, 5, 8) - 5];
    switch (line.parity) {
    case TtyParity::None:
        break;
    case TtyParity::Odd:
        termios.cflag |= PARENB | PARODD;
        break;
    case TtyParity::Even:
        termios.cflag |= PARENB;
        break;
    case TtyParity::Mark:
        termios.cflag |= PARENB | PARODD | CMSPAR;
        break;
    case TtyParity::Space:
        termios.cflag |= PARENB | CMSPAR;
        break;
    }
    if (line.twoStopBits)
        termios.cflag |= CSTOPB;
    if (line.rtsCts)
        termios.cflag |= CRTSCTS;
    termios.iflag &= ~(IXON | IXOFF);
    termios.iflag |= (line.xonOutput ? IXON : 0) | (line.xonInput ? IXOFF : 0);
    termios.cc[VSTART] = line.xonChar;
    termios.cc[VSTOP] = line.xoffChar;
}

TtyTermios defaultTermios()
{
    TtyTermios termios;
    termios.cflag = CREAD | CLOCAL | HUPCL;
    termios.cc[VMIN] = 1;
    termios.cc[VINTR] = 0x03;
    termios.cc[VQUIT] = 0x1C;
    termios.cc[VERASE] = 0x7F;
    termios.cc[VKILL] = 0x15;
    termios.cc[VEOF] = 0x04;
    applyLine(termios, TtyLine {});
    return termios;
}

TtyReadRule readRuleOf(const TtyTermios& termios) { return TtyReadRule { termios.cc[VMIN], termios.cc[VTIME] }; }

bool hangsUpOnClose(const TtyTermios& termios) { return (termios.cflag & HUPCL) != 0; }

bool canonical(const TtyTermios& termios) { return (termios.lflag & ICANON) != 0; }

unsigned int modemBits(const TtyModem& lines)
{
    return (lines.dtr ? TIOCM_DTR : 0) | (lines.rts ? TIOCM_RTS : 0) | (lines.cts ? TIOCM_CTS : 0)
        | (lines.dsr ? TIOCM_DSR : 0) | (lines.cd ? TIOCM_CAR : 0) | (lines.ri ? TIOCM_RNG : 0);
}

TtyModem modemOfBits(unsigned int bits)
{
    return TtyModem { (bits & TIOCM_DTR) != 0, (bits & TIOCM_RTS) != 0, (bits & TIOCM_CTS) != 0,
        (bits & TIOCM_DSR) != 0, (bits & TIOCM_CAR) != 0, (bits & TIOCM_RNG) != 0 };
}

void countsToBytes(const TtyCounts& counts, std::uint8_t* bytes)
{
    serial_icounter_struct raw {};
    raw.cts = static_cast<int>(counts.cts);
    raw.dsr = static_cast<int>(counts.dsr);
    raw.rng = static_cast<int>(counts.ring);
    raw.dcd = static_cast<int>(counts.cd);
    raw.rx = static_cast<int>(counts.rx);
    raw.tx = static_cast<int>(counts.tx);
    raw.brk = static_cast<int>(counts.brk);
    std::memcpy(bytes, &raw, sizeof(raw));
}

bool modemWaitDone(unsigned int bits, const TtyCounts& before, const TtyCounts& now)
{
    return ((bits & TIOCM_CTS) && before.cts != now.cts) || ((bits & TIOCM_DSR) && before.dsr != now.dsr)
        || ((bits & TIOCM_RNG) && before.ring != now.ring) || ((bits & TIOCM_CAR) && before.cd != now.cd);
}

std::size_t serialInfoSize() { return sizeof(serial_struct); }

void serialInfoToBytes(int line, std::uint32_t baudBase, std::uint8_t* bytes)
{
    serial_struct raw {};
    raw.type = PORT_16550A;
    raw.line = line;
    raw.baud_base = static_cast<int>(baudBase);
    raw.xmit_fifo_size = 16;
    raw.close_delay = 50;
    raw.closing_wait = ASYNC_CLOSING_WAIT_NONE;
    std::memcpy(bytes, &raw, sizeof(raw));
}

TtyFlush flushOf(unsigned long arg)
{
    switch (arg) {
    case TCIFLUSH:
        return TtyFlush::Input;
    case TCOFLUSH:
        return TtyFlush::Output;
    case TCIOFLUSH:
        return TtyFlush::Both;
    default:
        return TtyFlush::Invalid;
    }
}

TtyFlow flowOf(unsigned long arg)
{
    switch (arg) {
    case TCOOFF:
        return TtyFlow::OutputOff;
    case TCOON:
        return TtyFlow::OutputOn;
    case TCIOFF:
        return TtyFlow::SendStop;
    case TCION:
        return TtyFlow::SendStart;
    default:
        return TtyFlow::Invalid;
    }
}

} // namespace driver::host
