#include "mfg/isp.h"

#include <functional>

#include <cstdio>

namespace mfg {

namespace {

using std::chrono::milliseconds;

constexpr int kStatusPolls = 1000;
constexpr std::uint8_t kDataReady = 0x01;
constexpr std::uint8_t kTransmitEmpty = 0x20;
constexpr auto kEventWait = milliseconds(5000);
constexpr auto kReadWait = milliseconds(5000);
constexpr auto kRetryPause = milliseconds(500);

constexpr const char* kNoTransmit = "1.The FLASH does not have any response.\nPlease check device or serial line.\n";
constexpr const char* kNoReply = "2.The FLASH does not have any response.\nPlease check device or serial line.\n";
constexpr const char* kProgramBroken = "This function is broken ...\nPlease restart Flash Program !!\n";
constexpr const char* kNoSecondReply = "The FLASH does not have any response.\nPlease check device or serial line.\n";

const char* writeFailure(const platform::IoResult& result, std::size_t expected)
{
    switch (result.status) {
    case platform::IoStatus::Done:
        return result.count == expected ? nullptr : "Write ERR_1";
    case platform::IoStatus::FailedAtOnce:
        return nullptr; // not reported; the wait that follows finds out
    case platform::IoStatus::WaitFailed:
        return "Write ERR_3";
    case platform::IoStatus::CompletionFailed:
        return "Write ERR_2";
    case platform::IoStatus::TimedOut:
        return "Write ERR_1";
    }
    return nullptr;
}

const char* waitFailure(const platform::IoResult& result)
{
    switch (result.status) {
    case platform::IoStatus::Done:
        return nullptr;
    case platform::IoStatus::TimedOut:
        return "Wait ERR_2";
    case platform::IoStatus::CompletionFailed:
        return "Wait ERR_1";
    default:
        return "Wait ERR_3";
    }
}

const char* readFailure(const platform::IoResult& result)
{
    switch (result.status) {
    case platform::IoStatus::Done:
        return nullptr;
    case platform::IoStatus::FailedAtOnce:
        return "Read ERR_4";
    case platform::IoStatus::TimedOut:
        return "Read ERR_2";
    case platform::IoStatus::WaitFailed:
        return "Read ERR_3";
    case platform::IoStatus::CompletionFailed:
        return "Read ERR_1";
    }
    return nullptr;
}

} // namespace

IspSession::IspSession(platform::Clock& clock, platform::Prompter& prompter, DebugOutput& trace)
    : m_clock(clock)
    , m_prompter(prompter)
    , m_trace(trace)
{
}

void IspSession::setFrame(std::uint8_t command, std::uint32_t address, std::uint8_t data)
{
    m_frame = { command, static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>((address >> 8) & 0xFF),
        static_cast<std::uint8_t>((address >> 16) & 0xFF), data };
}

void IspSession::DetectUsbPort(SerialLink& link, int comIndex)
{
    if (!m_portIo) {
        // Without port access every port goes through the serial driver.
        link.setUsbPort(true);
        return;
    }
    const std::uint16_t base = legacyBaseForIndex(comIndex);
    (void)link.OpenLegacyPort(false, comIndex);
    InitUart(*m_portIo, base, true);
    const bool answered = Io_Com_Check(base);
    link.close();
    link.setUsbPort(!answered);
}

// ---- Direct UART access ----

bool IspSession::waitLineStatus(std::uint16_t base, std::uint8_t bit)
{
    int reads = 0;
    while (!(m_portIo->Inp32(base + 5) & bit)) {
        if (reads++ == kStatusPolls)
            return false;
    }
    return true;
}

bool IspSession::Io_SendFrame(std::uint16_t base)
{
    if (!m_portIo) {
        m_ispErrorText = kNoTransmit;
        return false;
    }
    for (std::uint8_t byte : m_frame) {
        if (!waitLineStatus(base, kTransmitEmpty)) {
            m_ispErrorText = kNoTransmit;
            return false;
        }
        m_portIo->Out32(base, byte);
    }
    if (!waitLineStatus(base, kDataReady)) {
        m_ispErrorText = kNoReply;
        return false;
    }
    return true;
}

bool IspSession::Io_Com_Check(std::uint16_t base)
{
    setFrame(kIspSync, 0, 0);
    return Io_SendFrame(base) && m_portIo->Inp32(base) == 0x05;
}

bool IspSession::Io_WriteSequence(std::uint16_t base, std::uint32_t address, std::uint8_t data)
{
    setFrame(kIspBusWrite, address, data);
    if (!Io_SendFrame(base))
        return false;
    (void)m_portIo->Inp32(base); // the reply's value means nothing
    return true;
}

bool IspSession::Io_ProgramByte(std::uint16_t base, std::uint32_t address, std::uint8_t data)
{
    setFrame(kIspProgram, address, data);
    if (!Io_SendFrame(base)) {
        m_ispErrorText = kProgramBroken;
        return false;
    }
    (void)m_portIo->Inp32(base); // first reply byte
    if (!waitLineStatus(base, kDataReady)) {
        m_ispErrorText = kNoSecondReply;
        return false;
    }
    if (m_portIo->Inp32(base) == data)
        return true;
    char text[100];
    std::snprintf(text, sizeof text, "Program 0x%x with Data 0x%x Failed !!\n", static_cast<unsigned>(address),
        static_cast<unsigned>(data));
    m_ispErrorText = text;
    return false;
}

bool IspSession::Io_ChipErase(std::uint16_t base, int seconds, int* progress)
{
    static constexpr std::pair<std::uint32_t, std::uint8_t> kCycles[]
        = { { 0x555, 0xAA }, { 0x2AA, 0x55 }, { 0x555, 0x80 }, { 0x555, 0xAA }, { 0x2AA, 0x55 }, { 0x555, 0x10 } };
    for (const auto& [address, data] : kCycles) {
        if (!Io_WriteSequence(base, address, data))
            return false;
    }
    for (int second = 1; second <= seconds; ++second) {
        m_clock.sleepFor(milliseconds(1000));
        if (progress)
            *progress = second;
    }
    return true;
}

bool IspSession::Io_Program(std::uint16_t base, std::size_t length, const std::uint8_t* bytes, int* progress)
{
    if (!Io_WriteSequence(base, 0x555, 0xAA) || !Io_WriteSequence(base, 0x2AA, 0x55)
        || !Io_WriteSequence(base, 0x555, 0x20))
        return false;
    for (std::size_t p = 0; p < length; ++p) {
        (void)Io_WriteSequence(base, 0x333, 0xA0);
        if (!Io_ProgramByte(base, static_cast<std::uint32_t>(p), bytes[p]))
            return false;
        if (progress)
            *progress = static_cast<int>(p + 1);
    }
    (void)Io_WriteSequence(base, 0x333, 0x90);
    (void)Io_WriteSequence(base, 0x333, 0xF0);
    return true;
}

int IspSession::Io_DownloadLoader(int eraseWaitTime, std::uint16_t legacyBase, std::size_t length,
    const std::uint8_t* bytes, int& downloadStage, int* progress)
{
    return downloadLoader([&] { return Io_Com_Check(legacyBase); },
        [&] { return Io_ChipErase(legacyBase, eraseWaitTime, progress); },
        [&] { return Io_Program(legacyBase, length, bytes, progress); },
        [&] { (void)Io_WriteSequence(legacyBase, 0x333, 0xF0); }, downloadStage);
}

// ---- Serial-driver access ----

bool IspSession::usbFail(const char* routine, const char* kind)
{
    m_prompter.message(std::string(routine) + "(): " + kind + ".\r\n");
    return false;
}

bool IspSession::usbExchange(SerialLink& link, Exchange exchange)
{
    const char* routine = exchange == Exchange::ComCheck
        ? "Usb_Com_Check"
        : (exchange == Exchange::ReadFlash ? "Usb_ReadFlash" : "Usb_WriteSequenceRspOne");
    platform::SerialPort* port = link.port();
    if (!port)
        return usbFail(routine, "Wait ERR_3");
    link.setWaitMask(platform::kSerialEventRxChar | platform::kSerialEventLineError);
    (void)port->purge();

    const platform::IoResult written = port->write(m_frame.data(), m_frame.size());
    link.setTransferred(static_cast<std::uint32_t>(written.count));
    if (const char* failure = writeFailure(written, m_frame.size()))
        return usbFail(routine, failure);

    m_clock.sleepFor(milliseconds(exchange == Exchange::ComCheck ? 21 : 14));

    for (;;) {
        std::uint32_t events = 0;
        const platform::IoResult waited = port->waitEvent(kEventWait, events);
        if (const char* failure = waitFailure(waited))
            return usbFail(routine, failure);
        link.setEventMask(events);
        if (events & platform::kSerialEventRxChar) {
            std::uint8_t reply[2] = {};
            const std::size_t want = exchange == Exchange::ReadFlash ? 1 : 2;
            const platform::IoResult got = port->read(reply, want, kReadWait);
            if (const char* failure = readFailure(got))
                return usbFail(routine, failure);
            link.setTransferred(static_cast<std::uint32_t>(got.count));
            switch (exchange) {
            case Exchange::WriteSequenceRspOne:
                return got.count >= 1 ? true : usbFail(routine, "Check ERR");
            case Exchange::ReadFlash:
                if (got.count == 1) {
                    m_readBackByte = reply[0];
                    return true;
                }
                continue;
            case Exchange::ComCheck:
                if (got.count == 2)
                    return reply[1] == 0x05 ? true : usbFail(routine, "Check ERR_1");
                if (got.count == 1)
                    return reply[0] == 0x05 ? true : usbFail(routine, "Check ERR_2");
                continue;
            }
        }
        if (events & platform::kSerialEventLineError) {
            (void)port->clearErrors();
            return usbFail(routine, exchange == Exchange::ReadFlash ? "Unknown ERR_1" : "Unknown ERR");
        }
    }
}

bool IspSession::Usb_Com_Check(SerialLink& link)
{
    setFrame(kIspSync, 0, 0);
    return usbExchange(link, Exchange::ComCheck);
}

bool IspSession::Usb_WriteSequenceRspOne(SerialLink& link, std::uint32_t address, std::uint8_t data)
{
    setFrame(kIspBusWrite, address, data);
    return usbExchange(link, Exchange::WriteSequenceRspOne);
}

bool IspSession::Usb_ReadFlash(SerialLink& link, std::uint32_t address)
{
    setFrame(kIspRead, address, 0);
    return usbExchange(link, Exchange::ReadFlash);
}

void IspSession::traceReceived(const std::uint8_t* bytes, std::size_t count)
{
    if (!m_trace.enabled())
        return;
    m_trace.write("RxBuf:");
    for (std::size_t i = 0; i < count; i += 4) {
        std::string line;
        for (std::size_t j = i; j < i + 4 && j < count; ++j) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02X", bytes[j]);
            line += hex;
        }
        m_trace.write(line + "\r\n");
    }
}

bool IspSession::Usb_BlockWrite(SerialLink& link, int count, const std::uint8_t* block, bool fast)
{
    static constexpr const char* kRoutine = "Usb_BlockWrite";
    platform::SerialPort* port = link.port();
    if (!port)
        return usbFail(kRoutine, "Wait ERR_3");
    if (count <= 0 || static_cast<std::size_t>(count) > kPairsPerBlock)
        return usbFail(kRoutine, "Write ERR_1");
    const std::size_t n = static_cast<std::size_t>(count);
    link.setWaitMask(platform::kSerialEventRxChar | platform::kSerialEventLineError);
    (void)port->purge();

    const platform::IoResult written = port->write(block, 10 * n);
    link.setTransferred(static_cast<std::uint32_t>(written.count));
    if (const char* failure = writeFailure(written, 10 * n))
        return usbFail(kRoutine, failure);

    m_clock.sleepFor(milliseconds(fast ? 7 : 28));

    for (;;) {
        std::uint32_t events = 0;
        const platform::IoResult waited = port->waitEvent(kEventWait, events);
        if (const char* failure = waitFailure(waited))
            return usbFail(kRoutine, failure);
        link.setEventMask(events);
        if (events & platform::kSerialEventRxChar)
            break;
        if (events & platform::kSerialEventLineError) {
            (void)port->clearErrors();
            return usbFail(kRoutine, "Unknown ERR");
        }
    }

    std::array<std::uint8_t, 5 * kPairsPerBlock> reply {};
    const platform::IoResult got = port->read(reply.data(), 5 * n, kReadWait);
    if (const char* failure = readFailure(got))
        return usbFail(kRoutine, failure);
    const std::size_t c = got.count;
    link.setTransferred(static_cast<std::uint32_t>(c));
    m_trace.print("nByte: %d\r\n", static_cast<int>(c));

    if (c == 4 * n || c == 3 * n) {
        const std::size_t group = c / n;
        for (std::size_t i = 0; i < n; ++i) {
            if (reply[group * i + group - 1] == m_expected[i])
                continue;
            traceReceived(reply.data(), c);
            // The four-byte form fails quietly; the caller reports the download.
            return group == 4 ? false : usbFail(kRoutine, "Check ERR_2");
        }
        return true;
    }
    traceReceived(reply.data(), c);
    return usbFail(kRoutine, "Check ERR_3");
}

bool IspSession::Usb_ChipErase(SerialLink& link, int seconds, int* progress)
{
    bool retried = false;
    while (!Usb_WriteSequenceRspOne(link, 0x555, 0xAA)) {
        if (retried)
            return false;
        retried = true;
        // A board that is still busy with an earlier command gets a reset;
        // it is worth a second try only when it said something meanwhile.
        (void)Usb_WriteSequenceRspOne(link, 0x333, 0xF0);
        m_clock.sleepFor(kRetryPause);
        platform::SerialPort* port = link.port();
        auto status = port ? port->clearErrors() : platform::Result<platform::SerialStatus>(platform::Error {});
        if (!status || status.value().inQueue < 1)
            return false;
    }
    static constexpr std::pair<std::uint32_t, std::uint8_t> kRest[]
        = { { 0x2AA, 0x55 }, { 0x555, 0x80 }, { 0x555, 0xAA }, { 0x2AA, 0x55 }, { 0x555, 0x10 } };
    for (const auto& [address, data] : kRest) {
        if (!Usb_WriteSequenceRspOne(link, address, data))
            return false;
    }
    for (int second = 1; second <= seconds; ++second) {
        m_clock.sleepFor(milliseconds(1000));
        if (progress)
            *progress = second;
    }
    if (Usb_ReadFlash(link, kBlankCheckAddress) && m_readBackByte == 0xFF)
        return true;
    m_clock.sleepFor(kRetryPause);
    return Usb_ReadFlash(link, kBlankCheckAddress) && m_readBackByte == 0xFF;
}

bool IspSession::Usb_Program(SerialLink& link, bool fast, std::size_t length, const std::uint8_t* bytes, int* progress)
{
    if (!Usb_WriteSequenceRspOne(link, 0x555, 0xAA) || !Usb_WriteSequenceRspOne(link, 0x2AA, 0x55)
        || !Usb_WriteSequenceRspOne(link, 0x555, 0x20))
        return false;
    if (progress)
        *progress = 0;
    std::array<std::uint8_t, 10 * kPairsPerBlock> block {};
    std::size_t pairs = 0;
    for (std::size_t p = 0; p < length; ++p) {
        std::uint8_t* slot = block.data() + 10 * pairs;
        const std::uint8_t d = bytes[p];
        const std::uint8_t pair[10]
            = { kIspBusWrite, 0x33, 0x03, 0x00, 0xA0, kIspProgram, static_cast<std::uint8_t>(p & 0xFF),
                  static_cast<std::uint8_t>((p >> 8) & 0xFF), static_cast<std::uint8_t>((p >> 16) & 0xFF), d };
        std::copy(std::begin(pair), std::end(pair), slot);
        m_expected[pairs] = d;
        m_trace.print("TxBuf: %02X %02x %02X %02x %02X %02x %02X %02x %02X %02x\r\n", slot[0], slot[1], slot[2],
            slot[3], slot[4], slot[5], slot[6], slot[7], slot[8], slot[9]);
        ++pairs;
        if (pairs == kPairsPerBlock || p + 1 == length) {
            m_trace.print("nBlk: %d\r\n", static_cast<int>(pairs));
            m_trace.print("s_chTxBuf: %02X%02x%02X%02x%02X%02x%02X%02x%02X%02x\r\n", m_expected[0], m_expected[1],
                m_expected[2], m_expected[3], m_expected[4], m_expected[5], m_expected[6], m_expected[7], m_expected[8],
                m_expected[9]);
            if (!Usb_BlockWrite(link, static_cast<int>(pairs), block.data(), fast)) {
                (void)Usb_WriteSequenceRspOne(link, 0x333, 0x90);
                return false;
            }
            if (progress)
                *progress += static_cast<int>(pairs);
            pairs = 0;
        }
    }
    (void)Usb_WriteSequenceRspOne(link, 0x333, 0x90);
    (void)Usb_WriteSequenceRspOne(link, 0x333, 0xF0);
    return true;
}

int IspSession::Usb_DownloadLoader(SerialLink& link, bool fast, int eraseWaitTime, std::size_t length,
    const std::uint8_t* bytes, int& downloadStage, int* progress)
{
    return downloadLoader([&] { return Usb_Com_Check(link); },
        [&] { return Usb_ChipErase(link, eraseWaitTime, progress); },
        [&] { return Usb_Program(link, fast, length, bytes, progress); },
        [&] { (void)Usb_WriteSequenceRspOne(link, 0x333, 0xF0); }, downloadStage);
}

// Both ways of reaching the board run the same stages: two tries to sync,
// then erase, then program; a failed stage resets the flash and pauses.
int IspSession::downloadLoader(const std::function<bool()>& sync, const std::function<bool()>& erase,
    const std::function<bool()>& program, const std::function<void()>& reset, int& downloadStage)
{
    bool synced = false;
    for (int attempt = 0; attempt < 2 && !synced; ++attempt) {
        synced = sync();
        if (!synced)
            m_clock.sleepFor(kRetryPause);
    }
    if (!synced) {
        downloadStage = 1;
        return kDownloadNoSync;
    }
    downloadStage = 2;
    if (!erase()) {
        reset();
        m_clock.sleepFor(kRetryPause);
        return kDownloadEraseFailed;
    }
    downloadStage = 3;
    if (!program()) {
        reset();
        m_clock.sleepFor(kRetryPause);
        return kDownloadProgramFailed;
    }
    return kDownloadOk;
}

} // namespace mfg
