#include "mfg/test_page.h"
#include "mfg/eeprom_mac.h"
#include "platform/datagram_wait.h"
#include "platform/text_file.h"

#include <cstdio>

namespace mfg {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kOpenFailed
    = "Could not open COM%d.\nProgram will be closed, please check COM port and restart program.";
constexpr const char* kUsbWarning = "You are using USB COM port.\r\nBurn code speed will slow down !!";
constexpr const char* kSwitchToNormal
    = "1. Please turn off power and switch device from ISP mode to Normal mode.\n2. Press 'OK' then turn on power.";
constexpr const char* kLoaderFailed = "Download boot loader failed.\n";
constexpr const char* kTestFirmwareFailed = "Download test firmware failed.\nPlease check:\n * Ethernet connection\n * "
                                            "IP address or Port\n * Disable I2C boot if EEPROM is NULL.\n";
void forgetNeighbourBySystem(const std::string& address)
{
    if (!address.empty())
        (void)platform::startDetached({ "ip", "-4", "neigh", "flush", "to", address });
}

} // namespace

TestPage::TestPage(Environment environment)
    : m_env(std::move(environment))
    , m_settings(m_env.settings ? *m_env.settings : m_ownSettings)
    , m_link(m_env.opener, m_env.prompter)
    , m_isp(m_env.clock, m_env.prompter, m_env.trace)
    , m_server(m_env.clock, m_env.prompter)
{
    m_isp.setPortIo(m_env.portIo);
    if (!m_env.forgetNeighbour)
        m_env.forgetNeighbour = forgetNeighbourBySystem;
}

void TestPage::create()
{
    (void)readOptionFileForTestPage(m_env.directory, m_settings, ResultMessage);
    const auto addresses = platform::hostAddresses();
    ServerAddress = addresses.empty() ? 0 : platform::parseIpv4(addresses.front()).value_or(0);
    m_picture = ResultPicture::Blank;
    m_link.setUsbPort(false);
    if (m_env.recorder)
        m_today = m_env.recorder->today();
}

void TestPage::activate()
{
    if (running()) {
        // Re-reading the files mid-run would change the port and the items
        // under the sequence and wipe the marks of the rows already run.
        m_activationDeferred = true;
        return;
    }
    // The last run's marks stay until the next START, unless the selection
    // changed under them.
    reloadSelection(true);
}

void TestPage::reloadSelection(bool keepMarks)
{
    const int before = m_settings.ItemMask;
    readItemAndComFiles(m_env.directory, m_settings, m_env.prompter);
    if (keepMarks && m_settings.ItemMask == before && !m_rows.empty())
        return;
    m_rows.clear();
    for (int item : selectedItems(m_settings.ItemMask))
        m_rows.push_back({ item, RowMark::Initial, false });
    for (int row = 0; row < static_cast<int>(m_rows.size()); ++row) {
        if (onRowChanged)
            onRowChanged(row);
    }
}

void TestPage::setPortIo(platform::PortIo* portIo)
{
    m_env.portIo = portIo;
    m_isp.setPortIo(portIo);
}

std::string TestPage::boardHoldsText() const
{
    return "This board holds " + m_settings.currentMac + ", which the next board will get: test it again.\n";
}

std::string TestPage::passNotRecordedText() const
{
    const std::string board = m_macConsumed
        ? "The board passed and keeps " + m_consumedMac + " (the address counts as used: no other board gets it)"
        : std::string("The board passed");
    return board
        + ", but its run is not in the records. Make the records store writable again (free disk space), then note "
          "this board's pass by hand.\n";
}

bool TestPage::advanceMac()
{
    if (m_env.recorder && m_env.recorder->sharedMacs()) {
        // The store keeps the range; Option.dat only shows it. A pass it
        // does not confirm is no pass: the board may hold an address the
        // store could hand out again.
        std::string problem;
        if (!m_env.recorder->consume(m_settings, problem)) {
            ResultMessage += "MAC address not marked as used in the records store: " + problem + "\n";
            if (m_env.recorder->quarantining())
                ResultMessage += "This board holds " + m_settings.currentMac
                    + ", whose pass could not be confirmed: the address is quarantined and never handed out "
                      "again. Test the board again.\n";
            return false;
        }
        m_consumedMac = m_settings.currentMac;
        m_macConsumed = true;
        return true;
    }
    // Option.dat keeps the range: an address it does not show as used
    // would go to the next board as well, so that is no pass either, and
    // the address in memory stays where the file has it.
    const MfgSettings before = m_settings;
    if (!AdvanceMac(m_env.directory, m_settings, ResultMessage)) {
        m_settings.currentMac = before.currentMac;
        m_settings.currentMacValue = before.currentMacValue;
        return false;
    }
    m_consumedMac = before.currentMac;
    m_macConsumed = true;
    return true;
}

void TestPage::start()
{
    if (!m_startEnabled)
        return;
    step0();
}

void TestPage::tick()
{
    if (!m_reentry || m_programEnded)
        return;
    m_reentry = false;
    // Once the run's end is decided it is finished as usual (a failed board
    // is logged): that is as consistent a point as any.
    if (running() && SequenceState != kEndOfRun && m_env.interruptRequested && m_env.interruptRequested())
        return endInterrupted();
    runStep(SequenceState);
}

void TestPage::next(std::uint16_t step)
{
    SequenceState = step;
    m_reentry = true;
}

void TestPage::markRow(int row, RowMark mark)
{
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return;
    m_rows[row].mark = mark;
    if (mark == RowMark::Passed || mark == RowMark::Failed)
        m_rows[row].resultShown = true;
    if (m_env.recorder && mark == RowMark::Running)
        m_env.recorder->itemStarted(m_rows[row].item);
    if (m_env.recorder && (mark == RowMark::Passed || mark == RowMark::Failed))
        m_env.recorder->itemEnded(m_rows[row].item, mark == RowMark::Passed);
    if (onRowChanged)
        onRowChanged(row);
}

void TestPage::itemPassed(std::uint16_t nextStep)
{
    markRow(RowIndex, RowMark::Passed);
    ++RowIndex;
    PassFlag = 1;
    next(nextStep);
}

void TestPage::itemFailed(const std::string& text)
{
    markRow(RowIndex, RowMark::Failed);
    PassFlag = 0;
    ResultMessage += text;
    next(kEndOfRun);
}

void TestPage::selectStep(int bit, std::uint16_t ifSelected, std::uint16_t otherwise)
{
    if (selected(bit))
        markRow(RowIndex, RowMark::Running);
    PassFlag = 1;
    next(selected(bit) ? ifSelected : otherwise);
}

bool TestPage::openForTestFirmware()
{
    if (m_link.UsbPort())
        return m_link.OpenUsbPort(0, m_settings.comName, true);
    return m_link.OpenLegacyPort(false, m_settings.comIndex);
}

bool TestPage::openForIsp()
{
    if (!m_link.UsbPort())
        return m_link.OpenLegacyPort(true, m_settings.comIndex);
    const int mode = m_settings.com_port_speed == 1 ? 2 : 1;
    m_env.trace.print("%d", mode);
    return m_link.OpenUsbPort(mode, m_settings.comName, false);
}

void TestPage::failToOpen()
{
    char text[160];
    std::snprintf(text, sizeof text, kOpenFailed, m_settings.comIndex + 1);
    m_env.prompter.message(text, "ERROR", platform::MessageIcon::Error);
    m_programEnded = true;
    if (m_env.recorder)
        m_env.recorder->abandon();
    m_link.close();
    if (m_env.endProgram)
        m_env.endProgram();
}

FirmwareServer::Setup TestPage::serverSetup() const
{
    FirmwareServer::Setup setup;
    setup.clientAddress = m_settings.clientAddress;
    setup.ServerAddress = ServerAddress;
    setup.portIo = m_env.portIo;
    setup.LegacyBase = m_settings.LegacyBase;
    setup.link = const_cast<SerialLink*>(&m_link);
    setup.bootpPort = m_env.bootpPort;
    setup.tftpPort = m_env.tftpPort;
    setup.progress = m_env.downloadProgress;
    return setup;
}

void TestPage::runStep(std::uint16_t step)
{
    m_stepStart = m_env.clock.now();
    switch (step) {
    case 0:
        return step0();
    case 1:
        return step1();
    case 2:
        if (selected(1)) {
            markRow(RowIndex, RowMark::Running);
            PassFlag = 1;
            return next(3);
        }
        PassFlag = 1;
        return next((m_settings.ItemMask & 0x7C) ? 4 : 12);
    case 3:
        return step3();
    case 4:
        return selectStep(2, 5, 6);
    case 5:
        return selfTest(2, 6);
    case 6:
        return selectStep(3, 7, 8);
    case 7:
        return selfTest(3, 8);
    case 8:
        return selectStep(4, 9, 10);
    case 9:
        return selfTest(4, 10);
    case 10:
        return selectStep(5, 11, 12);
    case 11:
        return selfTest(5, 12);
    case 12:
        return selectStep(6, 13, 14);
    case 13:
        return step13();
    case 14:
        if (selected(7)) {
            markRow(RowIndex, RowMark::Running);
            PassFlag = 1;
            return next(15);
        }
        if (!advanceMac()) {
            PassFlag = 0;
            return next(kEndOfRun);
        }
        PassFlag = 1;
        return next(kEndOfRun);
    case 15:
        return step15();
    case kEndOfRun:
        return step99();
    default:
        return;
    }
}

void TestPage::step0()
{
    for (auto& row : m_rows) {
        row.mark = RowMark::Initial;
        row.resultShown = false;
    }
    for (int row = 0; row < static_cast<int>(m_rows.size()); ++row) {
        if (onRowChanged)
            onRowChanged(row);
    }
    m_picture = ResultPicture::Blank;
    if (onPictureChanged)
        onPictureChanged();
    m_startText = "WAIT";
    m_startEnabled = false;
    ResultMessage.clear();
    m_errorMessage.clear();
    m_loaderRan = false;
    m_interrupted = false;
    m_macConsumed = false;
    m_macWritten = false;
    m_consumedMac.clear();
    RowIndex = 0;
    if (m_env.recorder)
        m_env.recorder->begin(m_settings);
    m_isp.DetectUsbPort(m_link, m_settings.comIndex);
    ResetRetries = 0;
    if (selected(6) && MacRangeUsedUp(m_settings.currentMac, m_settings.endMac)) {
        // No address for this board: it fails before its flash is erased
        // and its time spent, not at the EEPROM item.
        ResultMessage += kMacOutOfRange;
        for (std::size_t row = 0; row < m_rows.size(); ++row) {
            if (m_rows[row].item == 6)
                markRow(static_cast<int>(row), RowMark::Failed);
        }
        PassFlag = 0;
        SequenceState = kEndOfRun;
        m_reentry = true;
        if (!m_timer || !m_env.loop.timerActive(m_timer))
            m_timer = m_env.loop.startTimer(milliseconds(1), [this] { tick(); });
        return;
    }
    if (selected(0)) {
        markRow(0, RowMark::Running);
        SequenceState = 1;
    } else {
        if (!openForTestFirmware())
            return failToOpen();
        SequenceState = 2;
    }
    m_reentry = true;
    if (!m_timer || !m_env.loop.timerActive(m_timer))
        m_timer = m_env.loop.startTimer(milliseconds(1), [this] { tick(); });
    PassFlag = 1;
}

void TestPage::step1()
{
    m_link.close();
    if (!openForIsp())
        return failToOpen();
    auto image = platform::readFileBytes(m_settings.loaderPath);
    int result = kDownloadProgramFailed;
    int stage = 0;
    if (image) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.value().data());
        const std::size_t length = image.value().size();
        if (m_link.UsbPort()) {
            // Only a USB adapter is slow; a pseudo-terminal or a virtual
            // port is not, whatever its number.
            if (m_settings.comIndex >= 1 && m_link.usbAttached())
                m_env.prompter.message(kUsbWarning);
            m_env.trace.print("com_port_speed: %d, erase_wait_time: %d, file_len: %d", m_settings.com_port_speed,
                m_settings.erase_wait_time, static_cast<int>(length));
            result = m_isp.Usb_DownloadLoader(
                m_link, m_settings.com_port_speed == 1, m_settings.erase_wait_time, length, bytes, stage);
            m_link.setWaitMask(0);
            if (m_link.port())
                (void)m_link.port()->purge();
            m_link.close();
            if (result == kDownloadOk && !m_link.OpenUsbPort(0, m_settings.comName, true))
                return failToOpen();
        } else if (m_env.portIo) {
            InitUart(*m_env.portIo, m_settings.LegacyBase, true);
            result = m_isp.Io_DownloadLoader(m_settings.erase_wait_time, m_settings.LegacyBase, length, bytes, stage);
            if (result == kDownloadOk) {
                m_link.close();
                if (!m_link.OpenLegacyPort(false, m_settings.comIndex))
                    return failToOpen();
            }
        }
    }
    if (result != kDownloadOk) {
        ResultMessage = m_isp.IspErrorText() + kLoaderFailed;
        markRow(RowIndex, RowMark::Failed);
        PassFlag = 0;
        m_link.setUsbPort(false);
        return next(kEndOfRun);
    }
    m_loaderRan = true;
    markRow(RowIndex, RowMark::Passed);
    m_env.prompter.message(kSwitchToNormal, "Wait...", platform::MessageIcon::Warning);
    ++RowIndex;
    PassFlag = 1;
    next(2);
}

void TestPage::step3()
{
    m_env.forgetNeighbour(m_settings.clientAddress);
    if (!m_server.ServeFirmware(m_settings.testFirmwarePath, serverSetup(), ResultMessage))
        return itemFailed(kTestFirmwareFailed);
    if (m_loaderRan) {
        m_link.close();
        if (!openForTestFirmware())
            return failToOpen();
    }
    itemPassed(4);
}

void TestPage::step99()
{
    m_link.close();
    if (PassFlag == 1) {
        // Recorded before the picture: a pass that is not in the records
        // must not look like one that is.
        if (m_env.recorder)
            m_env.recorder->end(records::Outcome::Pass, m_settings, ResultMessage);
        m_picture = ResultPicture::Pass;
        if (m_env.recorder && m_env.recorder->recordLost()) {
            m_picture = ResultPicture::PassNotRecorded;
            ResultMessage += passNotRecordedText();
        }
        if (onPictureChanged)
            onPictureChanged();
    } else {
        // A board that holds the address of a run that did not consume it
        // shares it with the next board.
        if (m_macWritten && !m_macConsumed && !(m_env.recorder && m_env.recorder->quarantining()))
            ResultMessage += boardHoldsText();
        m_errorMessage = ResultMessage;
        (void)AppendLog(m_settings.logPath, m_settings.currentMac, ResultMessage);
        for (int blink = 0; blink < 3; ++blink) {
            m_picture = ResultPicture::Blank;
            if (onPictureChanged)
                onPictureChanged();
            m_env.clock.sleepFor(milliseconds(150));
            m_picture = ResultPicture::Fail;
            if (onPictureChanged)
                onPictureChanged();
            m_env.clock.sleepFor(milliseconds(250));
        }
    }
    if (m_env.recorder && PassFlag != 1)
        m_env.recorder->end(records::Outcome::Fail, m_settings, ResultMessage);
    runEnded();
}

void TestPage::endInterrupted()
{
    // Not a failed board: nothing is logged and no picture is shown.
    m_link.close();
    m_interrupted = true;
    if (RowIndex >= 0 && RowIndex < static_cast<int>(m_rows.size()) && m_rows[RowIndex].mark == RowMark::Running)
        markRow(RowIndex, RowMark::Initial);
    if (m_env.recorder)
        m_env.recorder->end(records::Outcome::Interrupted, m_settings, ResultMessage);
    runEnded();
}

// Either way a run ends: START again, and what was put off until the end.
void TestPage::runEnded()
{
    m_startText = "START";
    m_startEnabled = true;
    RowIndex = 0;
    SequenceState = 0;
    if (m_env.recorder)
        m_today = m_env.recorder->today();
    if (m_activationDeferred) {
        m_activationDeferred = false;
        reloadSelection(true);
    }
    if (onRunFinished)
        onRunFinished();
}

} // namespace mfg
