#pragma once

#include "mfg/debug_output.h"
#include "mfg/serial_link.h"
#include "platform/clock.h"
#include "platform/port_io.h"
#include "platform/prompter.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace mfg {

// Results of a loader download.
inline constexpr int kDownloadOk = 0;
inline constexpr int kDownloadNoSync = -1;
inline constexpr int kDownloadEraseFailed = -2;
inline constexpr int kDownloadProgramFailed = -3;

// Writing the boot loader into a board's flash over its ISP mode, by direct
// UART access (Io_*) or through the serial driver (Usb_*). Holds the values
// that live for the whole run of the program: the reason of the last
// direct-access failure, the frame being sent, the expected read-back bytes
// of a block and the last byte read from the flash.
class IspSession {
public:
    static constexpr std::uint8_t kIspRead = 0x00;
    static constexpr std::uint8_t kIspSync = 0x01;
    static constexpr std::uint8_t kIspBusWrite = 0x80;
    static constexpr std::uint8_t kIspProgram = 0xC0;
    static constexpr std::size_t kPairsPerBlock = 40;
    static constexpr std::uint32_t kBlankCheckAddress = 0x6000;

    IspSession(platform::Clock& clock, platform::Prompter& prompter, DebugOutput& trace);

    // The port-I/O module, or null when none is loaded.
    void setPortIo(platform::PortIo* io) { m_portIo = io; }
    platform::PortIo* portIo() const { return m_portIo; }

    const std::string& IspErrorText() const { return m_ispErrorText; }
    std::uint8_t readBackByte() const { return m_readBackByte; }

    // Chooses the transport for the COM index: direct access when the legacy
    // UART answers a sync frame, else the serial driver.
    void DetectUsbPort(SerialLink& link, int comIndex);

    // Direct UART access.
    bool Io_SendFrame(std::uint16_t base);
    bool Io_Com_Check(std::uint16_t base);
    bool Io_WriteSequence(std::uint16_t base, std::uint32_t address, std::uint8_t data);
    bool Io_ProgramByte(std::uint16_t base, std::uint32_t address, std::uint8_t data);
    bool Io_ChipErase(std::uint16_t base, int seconds, int* progress);
    bool Io_Program(std::uint16_t base, std::size_t length, const std::uint8_t* bytes, int* progress);
    int Io_DownloadLoader(int eraseWaitTime, std::uint16_t legacyBase, std::size_t length, const std::uint8_t* bytes,
        int& downloadStage, int* progress = nullptr);

    // Serial-driver access. Failures are shown in message boxes.
    bool Usb_Com_Check(SerialLink& link);
    bool Usb_WriteSequenceRspOne(SerialLink& link, std::uint32_t address, std::uint8_t data);
    bool Usb_ReadFlash(SerialLink& link, std::uint32_t address);
    bool Usb_BlockWrite(SerialLink& link, int count, const std::uint8_t* block, bool fast);
    bool Usb_ChipErase(SerialLink& link, int seconds, int* progress);
    bool Usb_Program(SerialLink& link, bool fast, std::size_t length, const std::uint8_t* bytes, int* progress);
    int Usb_DownloadLoader(SerialLink& link, bool fast, int eraseWaitTime, std::size_t length,
        const std::uint8_t* bytes, int& downloadStage, int* progress = nullptr);

private:
    int downloadLoader(const std::function<bool()>& sync, const std::function<bool()>& erase,
        const std::function<bool()>& program, const std::function<void()>& reset, int& downloadStage);
    enum class Exchange { WriteSequenceRspOne, ReadFlash, ComCheck };

    void setFrame(std::uint8_t command, std::uint32_t address, std::uint8_t data);
    bool waitLineStatus(std::uint16_t base, std::uint8_t bit);
    bool usbExchange(SerialLink& link, Exchange exchange);
    bool usbFail(const char* routine, const char* kind);
    void traceReceived(const std::uint8_t* bytes, std::size_t count);

    platform::Clock& m_clock;
    platform::Prompter& m_prompter;
    DebugOutput& m_trace;
    platform::PortIo* m_portIo = nullptr;
    std::string m_ispErrorText;
    std::array<std::uint8_t, 5> m_frame {};
    std::array<std::uint8_t, kPairsPerBlock> m_expected {};
    std::uint8_t m_readBackByte = 0;
};

} // namespace mfg
