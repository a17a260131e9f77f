#pragma once

#include "driver/daemon/frontend.h"
#include "driver/host/cuse_port.h"
#include "driver/host/host.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace driver::daemon {

// A port as a serial character device: what a program does to
// /dev/vorpil/COMn becomes the port's requests, one for one. Its open is
// the port's open (a second one fails with EBUSY, as does one while a
// control-socket client holds the port), its release the port's close, its
// writes the port's writes in the program's order, and the tty ioctls the
// serial requests (the table is in docs/vorpild.md). Reads take what the
// port has received; a read that finds nothing waits for the port's arrival
// event, as do poll and TIOCMIWAIT. Open raises DTR and RTS, the last close
// drops them when HUPCL is set, as a serial driver does. Canonical mode
// (ICANON) is refused: the device carries raw bytes.
class CuseFrontEnd final : public FrontEnd, private host::CuseHandler {
public:
    CuseFrontEnd(host::Host& host, std::string deviceName);
    ~CuseFrontEnd() override;
    CuseFrontEnd(const CuseFrontEnd&) = delete;
    CuseFrontEnd& operator=(const CuseFrontEnd&) = delete;

    // Makes the device /dev/`name`; false with `error` when it cannot be made.
    bool start(const std::string& name, int group, std::string& error);

    const std::string& terminalPath() const override { return m_path; }
    FrontEndStatus status() const override;
    // Opens and closes reach the port as they happen: nothing to catch up.
    std::uint64_t requestSettle() override { return 0; }
    bool waitSettled(std::uint64_t, std::chrono::steady_clock::time_point) override { return true; }
    // An orderly stop: what programs wrote and the device holds still goes
    // (O_NONBLOCK writes were answered already); new writes are refused.
    void requestDrain() override;
    bool waitDrained(std::chrono::steady_clock::time_point deadline) override;
    DrainReport stop() override;

    // What the device does for a program (the device's threads call these;
    // tests call them directly).
    host::CuseHandler& handler() { return *this; }

private:
    int open() override;
    void release() override;
    int write(std::span<const std::uint8_t> bytes, std::size_t& written) override;
    std::size_t writeSlice() override;
    host::TtyReadRule readRule() override;
    int ioctl(const host::TtyIoctlInfo& info, unsigned long arg, std::span<const std::uint8_t> in,
        std::vector<std::uint8_t>& out) override;
    std::size_t read(std::span<std::uint8_t> out) override;
    bool readable() override;
    host::TtyCounts counts() override;
    void watch() override;

    std::shared_ptr<host::FileHandle> handle() const;
    // The port's handle, which the front end holds no more (none when it held none).
    std::shared_ptr<host::FileHandle> takeHandle();
    host::Reply control(host::FileHandle& handle, std::uint32_t code, std::span<const std::uint8_t> input,
        std::size_t outputLength = 0);
    // The tty's settings as the port has them now.
    void refreshTermios(host::FileHandle& handle);
    int setTermios(host::FileHandle& handle, const host::TtyTermios& wanted);
    int setModemLines(host::FileHandle& handle, bool dtr, bool rts);
    // Keeps what the device's other threads read of the settings in step.
    void publishTermios();
    int sendBreak(host::FileHandle& handle, std::chrono::milliseconds length);
    std::uint32_t commStatusWord(host::FileHandle& handle, std::size_t offset);

    host::Host& m_host;
    const std::string m_deviceName;
    std::string m_path;

    mutable std::mutex m_mutex; // protects m_handle, m_counts and m_status
    std::shared_ptr<host::FileHandle> m_handle;
    host::TtyCounts m_counts;
    FrontEndStatus m_status;
    std::optional<FrontEndStatus> m_drainBase; // the counts when the stop began
    std::atomic<bool> m_waitArmed { false };
    std::atomic<host::CusePort*> m_notify { nullptr }; // what an arrival wakes
    std::atomic<std::uint32_t> m_rate { 9600 }; // for the writer's slices
    std::atomic<std::uint16_t> m_readRule { 1 }; // VMIN | VTIME << 8
    // DTR and RTS as this side last set them (kSerialDtrState, kSerialRtsState):
    // what TIOCMGET shows, as a UART's modem control register does. The
    // device server's reports of them trail behind, one may still tell of
    // the close before a reopen.
    std::atomic<std::uint32_t> m_linesSet { 0 };

    // Worker thread only.
    host::TtyTermios m_termios = host::defaultTermios();
    bool m_settingsSent = false; // this open's program set the line already
    std::set<std::uint32_t> m_refusedRates; // logged once each
    bool m_canonicalRefused = false; // logged once

    // Last, so it goes first: its threads call into the members above.
    std::unique_ptr<host::CusePort> m_port;
};

} // namespace driver::daemon
