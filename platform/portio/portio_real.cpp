// Port-I/O module for the machine's own I/O ports. Needs the privilege to
// open the port range (root); without it the module reports itself not ready,
// so callers fall back to the serial driver instead of faulting on inb/outb.

#include <sys/io.h>

namespace {

// The legacy UART ranges 0x2E8-0x2EF ... 0x3F8-0x3FF lie within this window.
constexpr unsigned long kFirst = 0x2E8;
constexpr unsigned long kCount = 0x3FF - 0x2E8 + 1;
bool g_granted = false;

bool granted()
{
    if (!g_granted)
        g_granted = ::ioperm(kFirst, kCount, 1) == 0;
    return g_granted;
}

bool inWindow(short address)
{
    const unsigned long port = static_cast<unsigned short>(address);
    return port >= kFirst && port < kFirst + kCount;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int PortIo_Ready() { return granted() ? 1 : 0; }

extern "C" __attribute__((visibility("default"))) short Inp32(short address)
{
    if (!inWindow(address) || !granted())
        return 0xFF;
    return static_cast<short>(::inb(static_cast<unsigned short>(address)));
}

extern "C" __attribute__((visibility("default"))) void Out32(short address, short data)
{
    if (!inWindow(address) || !granted())
        return;
    ::outb(static_cast<unsigned char>(data), static_cast<unsigned short>(address));
}
