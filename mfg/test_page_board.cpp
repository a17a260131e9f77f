// The Test page's steps that talk to the board's test firmware: the self
// tests, the EEPROM data with the run's address, and the reset into the boot
// loader for the production firmware.

#include "mfg/eeprom_mac.h"
#include "mfg/test_page.h"

namespace mfg {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kProductionFailed = "Download production firmware failed.\nPlease check:\n * Ethernet "
                                          "connection\n * IP address or Port\n * Disable I2C boot if EEPROM is NULL.\n";
constexpr const char* kRstFailedAtOnce = "timeout.\n";
constexpr const char* kRstTimedOut = "Timeout.\n";
constexpr const char* kNoReset = "Device can not be reset automatically.\nPlease try again !!\n";

constexpr std::uint8_t kBootLoaderMark = 0x41;
constexpr int kMaxResetRetries = 5;

struct SelfTest {
    std::vector<std::uint8_t> command;
    milliseconds pause;
    std::size_t judged;
    std::uint8_t mark;
    const char* failure;
};

const SelfTest& selfTestFor(int bit)
{
    static const SelfTest kTests[] = {
        { { 'r', '\r', '\n' }, milliseconds(100), 4, 0x21, "RAM test failed.\n" },
        { { 'c', '\r', '\n' }, milliseconds(100), 4, 0x40, "CPU test failed.\n" },
        { { 'e', 't', '\r', '\n' }, milliseconds(200), 5, 0x23, "EEPROM test failed.\n" },
        { { 'h', 's', 'i', 'l', 'o', 'o', 'p', '\r', '\n' }, milliseconds(500), 10, 0x40, "HSUARTS test failed.\n" },
    };
    return kTests[bit - 2];
}

} // namespace

void TestPage::selfTest(int bit, std::uint16_t nextStep)
{
    const SelfTest& test = selfTestFor(bit);
    const bool ramTest = bit == 2;
    auto fail = [&](const char* marker) {
        if (ramTest && marker)
            m_env.prompter.message(marker);
        itemFailed(test.failure);
    };
    auto overTime = [&] { return m_env.clock.now() - m_stepStart > seconds(5); };
    auto passed = [&] {
        m_env.clock.sleepFor(milliseconds(10));
        itemPassed(nextStep);
    };

    if (!m_link.UsbPort()) {
        if (!m_env.portIo)
            return fail(nullptr);
        const std::uint16_t base = m_settings.LegacyBase;
        for (;;) {
            if (bit == 5)
                m_env.clock.sleepFor(milliseconds(10));
            for (std::uint8_t byte : test.command)
                m_env.portIo->Out32(base, byte);
            if (m_env.portIo->Inp32(base) == test.mark)
                return passed();
            if (overTime())
                return fail(nullptr);
        }
    }

    platform::SerialPort* port = m_link.port();
    if (!port)
        return fail("c");
    auto& send = m_link.sendBuffer();
    auto& receive = m_link.receiveBuffer();
    for (;;) {
        std::copy(test.command.begin(), test.command.end(), send.begin());
        m_link.setWaitMask(platform::kSerialEventRxChar | platform::kSerialEventLineError);
        m_env.clock.sleepFor(milliseconds(1000));
        (void)port->purge();
        const platform::IoResult written = port->write(send.data(), test.command.size());
        if (written.status == platform::IoStatus::FailedAtOnce)
            return fail("c");
        if (!written.ok())
            return fail("a");
        m_env.clock.sleepFor(test.pause);
        std::uint32_t events = 0;
        if (!port->waitEvent(milliseconds(1000), events).ok())
            return fail("aa");
        m_link.setEventMask(events);
        if (!(events & platform::kSerialEventRxChar))
            return fail("b");
        const platform::IoResult got = port->read(receive.data(), 50, milliseconds(1000));
        if (got.status == platform::IoStatus::FailedAtOnce)
            return fail("aaaa");
        if (!got.ok())
            return fail("aaa");
        m_link.setTransferred(static_cast<std::uint32_t>(got.count));
        if (got.count == 0)
            return fail("b");
        // Only a byte of this reply counts; a short reply is tried again.
        if (got.count > test.judged && receive[test.judged] == test.mark)
            return passed();
        if (overTime())
            return fail("aaaaa");
    }
}

void TestPage::step13()
{
    if (m_env.recorder && !m_env.recorder->leaseProblem().empty()) {
        ResultMessage += "No MAC address from the records store: " + m_env.recorder->leaseProblem() + "\n";
        markRow(RowIndex, RowMark::Failed);
        PassFlag = 0;
        return next(kEndOfRun);
    }
    std::string problem;
    if (m_env.recorder && !m_env.recorder->writing(problem)) {
        ResultMessage += "MAC address not reserved for this board in the records store: " + problem + "\n";
        markRow(RowIndex, RowMark::Failed);
        PassFlag = 0;
        return next(kEndOfRun);
    }
    m_env.clock.sleepFor(milliseconds(100));
    // From the first word on the board may hold the address.
    EepromTarget target { m_link, m_env.portIo, m_env.clock, m_env.prompter, &m_macWritten };
    if (!WriteEepromData(target, m_settings, ResultMessage)) {
        markRow(RowIndex, RowMark::Failed);
        PassFlag = 0;
        return next(kEndOfRun);
    }
    itemPassed(14);
}

bool TestPage::sendReset(std::string& failure)
{
    static const std::uint8_t kRst[] = { 'r', 's', 't', '\r', '\n' };
    if (!m_link.UsbPort()) {
        if (m_env.portIo) {
            for (std::uint8_t byte : kRst)
                m_env.portIo->Out32(m_settings.LegacyBase, byte);
        }
        return true;
    }
    platform::SerialPort* port = m_link.port();
    if (!port) {
        failure = kRstFailedAtOnce;
        return false;
    }
    if (m_settings.comIndex == 0) {
        static const std::uint8_t kLineEnd[] = { '\r', '\n' };
        (void)port->write(kLineEnd, sizeof kLineEnd);
    }
    (void)port->purge();
    const platform::IoResult written = port->write(kRst, sizeof kRst);
    if (written.status == platform::IoStatus::FailedAtOnce) {
        failure = kRstFailedAtOnce;
        return false;
    }
    if (!written.ok()) {
        failure = kRstTimedOut;
        return false;
    }
    return true;
}

TestPage::ResetWait TestPage::waitForBootLoader(std::string& failure)
{
    failure = kNoReset;
    const platform::TimePoint begin = m_env.clock.now();
    if (!m_link.UsbPort()) {
        if (!m_env.portIo)
            return ResetWait::Failed;
        while (m_env.portIo->Inp32(m_settings.LegacyBase) != kBootLoaderMark) {
            if (m_env.clock.now() - begin > seconds(10))
                return ++ResetRetries >= kMaxResetRetries ? ResetWait::Failed : ResetWait::Retry;
        }
        return ResetWait::Got;
    }
    platform::SerialPort* port = m_link.port();
    if (!port)
        return ResetWait::Failed;
    m_link.setWaitMask(platform::kSerialEventRxChar | platform::kSerialEventLineError);
    m_env.clock.sleepFor(milliseconds(10));
    auto& receive = m_link.receiveBuffer();
    for (;;) {
        std::uint32_t events = 0;
        if (!port->waitEvent(milliseconds(2000), events).ok())
            return ResetWait::Failed;
        m_link.setEventMask(events);
        if (events & platform::kSerialEventRxChar) {
            const platform::IoResult got = port->read(receive.data(), 500, milliseconds(5000));
            if (!got.ok())
                return ResetWait::Failed;
            if (got.count > 0 && receive[0] == kBootLoaderMark)
                return ResetWait::Got;
            if (m_env.clock.now() - begin > seconds(10))
                return ResetWait::Failed;
            continue;
        }
        if (events & platform::kSerialEventLineError)
            return ResetWait::Failed;
    }
}

void TestPage::step15()
{
    std::string failure;
    const bool testFirmwareRuns = (m_settings.ItemMask & 0x7E) != 0;
    if (testFirmwareRuns && !sendReset(failure))
        return itemFailed(failure);
    for (;;) {
        const ResetWait outcome = waitForBootLoader(failure);
        if (outcome == ResetWait::Got)
            break;
        if (outcome == ResetWait::Failed)
            return itemFailed(failure);
        // Direct access heard nothing: look at the port again and repeat rst.
        m_link.close();
        m_isp.DetectUsbPort(m_link, m_settings.comIndex);
        if (!openForTestFirmware())
            return itemFailed(kNoReset);
        if (!sendReset(failure))
            return itemFailed(failure);
    }
    static const std::uint8_t kChoice[] = { '3', '\r', '\n' };
    if (!m_link.UsbPort()) {
        if (m_env.portIo) {
            for (std::uint8_t byte : kChoice)
                m_env.portIo->Out32(m_settings.LegacyBase, byte);
        }
    } else {
        platform::SerialPort* port = m_link.port();
        if (!port)
            return itemFailed(kNoReset);
        (void)port->purge();
        if (!port->write(kChoice, sizeof kChoice).ok())
            return itemFailed(kNoReset);
    }
    m_env.forgetNeighbour(m_settings.clientAddress);
    std::string serverReasons;
    if (!m_server.ServeFirmware(m_settings.productionFirmwarePath, serverSetup(), serverReasons)) {
        markRow(RowIndex, RowMark::Failed);
        PassFlag = 0;
        ResultMessage = kProductionFailed;
        return next(kEndOfRun);
    }
    markRow(RowIndex, RowMark::Passed);
    if (!advanceMac()) {
        m_rows[static_cast<std::size_t>(RowIndex)].mark = RowMark::Failed;
        if (onRowChanged)
            onRowChanged(RowIndex);
        PassFlag = 0;
        return next(kEndOfRun);
    }
    ++RowIndex;
    PassFlag = 1;
    next(kEndOfRun);
}

} // namespace mfg
