#pragma once

#include "driver/host/cuse_tty_io.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace driver::host {

// The tty requests a serial character device answers, independent of their
// numbers on the machine.
enum class TtyIoctl {
    GetTermios, // TCGETS
    SetTermios, // TCSETS
    SetTermiosDrain, // TCSETSW
    SetTermiosFlush, // TCSETSF
    GetTermios2, // TCGETS2
    SetTermios2, // TCSETS2
    SetTermios2Drain, // TCSETSW2
    SetTermios2Flush, // TCSETSF2
    ModemGet, // TIOCMGET
    ModemSet, // TIOCMSET
    ModemBitsOn, // TIOCMBIS
    ModemBitsOff, // TIOCMBIC
    ModemWait, // TIOCMIWAIT
    Counts, // TIOCGICOUNT
    Break, // TCSBRK
    BreakTenths, // TCSBRKP
    BreakOn, // TIOCSBRK
    BreakOff, // TIOCCBRK
    Flush, // TCFLSH
    FlowControl, // TCXONC
    InputCount, // FIONREAD, TIOCINQ
    OutputCount, // TIOCOUTQ
    Exclusive, // TIOCEXCL
    NotExclusive, // TIOCNXCL
    GetSerial, // TIOCGSERIAL
    WindowSize, // TIOCGWINSZ: a serial line has none
};

// How a request travels: `inSize` bytes are read from the caller's pointer,
// `outSize` bytes written back to it; with both 0 the argument is a value.
struct TtyIoctlInfo {
    TtyIoctl request;
    unsigned int code;
    const char* name;
    std::size_t inSize;
    std::size_t outSize;
};

// The entry for an ioctl number; null for one a serial port does not know.
const TtyIoctlInfo* findTtyIoctl(unsigned int code);

// The kernel's termios2; the older termios is its first kTermiosSize bytes.
struct TtyTermios {
    std::uint32_t iflag = 0;
    std::uint32_t oflag = 0;
    std::uint32_t cflag = 0;
    std::uint32_t lflag = 0;
    std::uint8_t line = 0;
    std::uint8_t cc[19] = {};
    std::uint32_t ispeed = 0;
    std::uint32_t ospeed = 0;
};
inline constexpr std::size_t kTermiosSize = 36;
inline constexpr std::size_t kTermios2Size = 44;

TtyTermios termiosFromBytes(const std::uint8_t* bytes, std::size_t size);
void termiosToBytes(const TtyTermios& termios, std::uint8_t* bytes, std::size_t size);

enum class TtyParity : std::uint8_t { None, Odd, Even, Mark, Space };

// What of a termios a serial line carries.
struct TtyLine {
    std::uint32_t baudRate = 9600; // 0: hang up (B0)
    std::uint8_t dataBits = 8;
    TtyParity parity = TtyParity::None;
    bool twoStopBits = false;
    bool rtsCts = false; // CRTSCTS
    bool xonOutput = false; // IXON
    bool xonInput = false; // IXOFF
    std::uint8_t xonChar = 0x11;
    std::uint8_t xoffChar = 0x13;
    bool operator==(const TtyLine&) const = default;
};

// The rate comes from ospeed when the rate bits say BOTHER (termios2).
TtyLine lineOf(const TtyTermios& termios);
// Writes `line` into `termios`, keeping everything else it has. Rates with
// a B-constant use it, others BOTHER with the number.
void applyLine(TtyTermios& termios, const TtyLine& line);
// A raw 9600 8N1 terminal, as a serial driver starts with (CREAD, CLOCAL,
// HUPCL, no echo).
TtyTermios defaultTermios();
// VMIN and VTIME.
TtyReadRule readRuleOf(const TtyTermios& termios);
// HUPCL: the last close drops DTR and RTS.
bool hangsUpOnClose(const TtyTermios& termios);
// ICANON: line editing asked for.
bool canonical(const TtyTermios& termios);

// Modem lines as TIOCM bits and back.
struct TtyModem {
    bool dtr = false;
    bool rts = false;
    bool cts = false;
    bool dsr = false;
    bool cd = false;
    bool ri = false;
    bool operator==(const TtyModem&) const = default;
};
unsigned int modemBits(const TtyModem& lines);
TtyModem modemOfBits(unsigned int bits);

// TIOCGICOUNT.
struct TtyCounts {
    std::uint32_t cts = 0;
    std::uint32_t dsr = 0;
    std::uint32_t ring = 0;
    std::uint32_t cd = 0;
    std::uint32_t rx = 0;
    std::uint32_t tx = 0;
    std::uint32_t brk = 0;
};
inline constexpr std::size_t kCountsSize = 80; // struct serial_icounter_struct
void countsToBytes(const TtyCounts& counts, std::uint8_t* bytes);
// True when a line TIOCMIWAIT watches (`bits`) changed between the two counts.
bool modemWaitDone(unsigned int bits, const TtyCounts& before, const TtyCounts& now);

// TIOCGSERIAL: a 16550A-like port of line `line`.
std::size_t serialInfoSize();
void serialInfoToBytes(int line, std::uint32_t baudBase, std::uint8_t* bytes);

// Arguments of the value requests.
enum class TtyFlush { Input, Output, Both, Invalid };
TtyFlush flushOf(unsigned long arg);
enum class TtyFlow { OutputOff, OutputOn, SendStop, SendStart, Invalid };
TtyFlow flowOf(unsigned long arg);

} // namespace driver::host
