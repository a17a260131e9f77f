// The window while a board is being tested: nothing pressed on the Option
// page or in "Test Item Selection", and no switching of tabs, may reach the
// running sequence; every board gets its own MAC address.

#include "tests/mfg/gui/kellan_window_fixture.h"

#include <set>

namespace {

using namespace kellan_window;

std::string optionLine(const std::string& option, int line)
{
    std::size_t at = 0;
    for (int i = 1; i < line; ++i)
        at = option.find('\n', at) + 1;
    return option.substr(at, option.find('\n', at) - at);
}

class KellanWindowDuringARun : public KellanWindow {
protected:
    explicit KellanWindowDuringARun(double speedUp = 5)
        : KellanWindow(speedUp)
    {
    }

    // START, then waits until the row of `item` carries the arrow.
    void startAndWaitForItem(int item)
    {
        finishedBefore = runsFinished;
        QTest::mouseClick(sheet->testPage()->startButton(), Qt::LeftButton);
        ASSERT_TRUE(waitFor([&] {
            const auto& rows = sheet->lastView().rows;
            for (const auto& row : rows) {
                if (row.item == item && row.mark == mfg::RowMark::Running)
                    return true;
            }
            return runsFinished > finishedBefore;
        })) << "item "
            << item << " never ran";
        ASSERT_EQ(runsFinished, finishedBefore) << "the run ended before item " << item;
    }
    void waitForTheEnd()
    {
        ASSERT_TRUE(waitFor([&] { return runsFinished > finishedBefore; }));
        waitFor([] { return false; }, 50);
    }
    // Presses Apply on the Option page, as an operator would, during the run.
    void pressApply()
    {
        sheet->tabs()->setCurrentIndex(1);
        QTest::mouseClick(sheet->optionPage()->button("Apply"), Qt::LeftButton);
        sheet->tabs()->setCurrentIndex(0);
    }
    int finishedBefore = 0;
};

TEST_F(KellanWindowDuringARun, ApplyIsDisabledWithItsReasonAndEveryBoardGetsItsOwnMac)
{
    open("normal,test-firmware", 0x40); // Write Data Into EEPROM only
    sheet->tabs()->setCurrentIndex(1); // the page has read its files before the run
    sheet->tabs()->setCurrentIndex(0);
    startAndWaitForItem(6);
    sheet->tabs()->setCurrentIndex(1);
    auto* option = sheet->optionPage();
    EXPECT_FALSE(option->button("Apply")->isEnabled());
    EXPECT_FALSE(option->button("CheckPort")->isEnabled());
    EXPECT_TRUE(option->label("RunningReason")->isVisibleTo(option));
    EXPECT_EQ(option->label("RunningReason")->text().toStdString(), mfg::OptionPage::kRunningReason);
    // "Test Item Selection" opens, but its Apply is disabled too.
    bool dialogApply = true;
    option->execItemSelection = [&](mfg::gui::ItemSelectionDialog& dialog) {
        dialogApply = dialog.findChild<QPushButton*>("Apply")->isEnabled();
        EXPECT_TRUE(dialog.findChild<QLabel*>("RunningReason")->isVisibleTo(&dialog));
        dialog.findChild<QPushButton*>("Apply")->click();
    };
    QTest::mouseClick(option->button("TestItems"), Qt::LeftButton);
    EXPECT_FALSE(dialogApply);
    EXPECT_EQ(dir.read("item.dat"), "64\n");
    QTest::mouseClick(option->button("Apply"), Qt::LeftButton);
    sheet->tabs()->setCurrentIndex(0);
    waitForTheEnd();
    EXPECT_EQ(sheet->testPage()->shownPicture(), ResultPicture::Pass) << sheet->lastView().resultMessage;
    EXPECT_EQ(board->board().macAddress(), "00A0B0C0D0E0");
    EXPECT_EQ(optionLine(dir.read("Option.dat"), 7), "00A0B0C0D0E1");
    // The run is over: the page shows the next address and applies again.
    EXPECT_TRUE(option->button("Apply")->isEnabled());
    EXPECT_FALSE(option->label("RunningReason")->isVisibleTo(option));
    EXPECT_EQ(option->field("MacStart")->text().toStdString(), "00A0B0C0D0E1");

    // The second board, Apply pressed while its EEPROM is written.
    plugBoard("normal,test-firmware");
    startAndWaitForItem(6);
    pressApply();
    waitForTheEnd();
    EXPECT_EQ(board->board().macAddress(), "00A0B0C0D0E1");
    EXPECT_EQ(optionLine(dir.read("Option.dat"), 7), "00A0B0C0D0E2");
    // An Apply after the run keeps the address the page now shows.
    sheet->tabs()->setCurrentIndex(1);
    QTest::mouseClick(option->button("Apply"), Qt::LeftButton);
    EXPECT_EQ(optionLine(dir.read("Option.dat"), 7), "00A0B0C0D0E2");
}

TEST_F(KellanWindowDuringARun, OptionPageOpenedDuringARunListsTheRunsPort)
{
    // COM1 opens; COM3 is the board's port, which the run holds locked.
    probe = [this](int number) {
        if (number == 1)
            return true;
        if (number != 3)
            return false;
        platform::ComNameResolver resolver;
        resolver.mappingFile = dir.file("com-ports");
        return mfg::systemSerialOpener(clock, resolver)("COM3").ok();
    };
    open("normal,test-firmware", 0x40);
    startAndWaitForItem(6);
    sheet->tabs()->setCurrentIndex(1); // set up for the first time, mid-run
    auto* option = sheet->optionPage();
    ASSERT_TRUE(option->setUpDone());
    EXPECT_EQ(option->portCombo()->currentText().toStdString(), "COM3");
    sheet->tabs()->setCurrentIndex(0);
    waitForTheEnd();
    sheet->tabs()->setCurrentIndex(1);
    QTest::mouseClick(option->button("Apply"), Qt::LeftButton);
    EXPECT_EQ(dir.read("com.dat"), "COM3\n921.6K");
}

TEST_F(KellanWindowDuringARun, ComingBackToTheTestPageKeepsTheRowsOfTheRun)
{
    open("normal,test-firmware", 0x4C); // RAM Test, CPU Test, Write Data Into EEPROM
    startAndWaitForItem(3);
    // The operator looks at the Option page and comes back; meanwhile
    // item.dat changes under the run.
    sheet->tabs()->setCurrentIndex(1);
    dir.write("item.dat", "4\n");
    sheet->tabs()->setCurrentIndex(0);
    waitForTheEnd();
    EXPECT_EQ(sheet->testPage()->shownPicture(), ResultPicture::Pass) << sheet->lastView().resultMessage;
    // The whole run ran with its own selection, and its marks were kept
    // until the deferred activation read the new one at its end.
    EXPECT_EQ(board->board().macAddress(), "00A0B0C0D0E0");
    ASSERT_EQ(list()->topLevelItemCount(), 1);
    EXPECT_EQ(list()->topLevelItem(0)->text(1).toStdString(), "RAM Test");
}

TEST_F(KellanWindowDuringARun, ComingBackWithTheSameSelectionLeavesEveryRowTicked)
{
    open("normal,test-firmware", 0x4C);
    startAndWaitForItem(3);
    sheet->tabs()->setCurrentIndex(1);
    sheet->tabs()->setCurrentIndex(0);
    waitForTheEnd();
    ASSERT_EQ(list()->topLevelItemCount(), 3);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(sheet->testPage()->rowImage(row, 2), mfg::gui::kTickImage) << row;
}

// Direct UART access as a recording UART: the sync frame is answered.
class RecordingUart final : public platform::PortIo {
public:
    std::uint8_t Inp32(std::uint16_t address) override
    {
        if ((address & 7) == 5)
            return 0x21;
        return 0x05;
    }
    void Out32(std::uint16_t address, std::uint8_t) override { written.insert(address); }
    std::set<std::uint16_t> written;
};

TEST_F(KellanWindow, PortCheckTriesDirectAccessWithTheRunsModule)
{
    RecordingUart uart;
    portIo = &uart;
    open("", 255);
    sheet->tabs()->setCurrentIndex(1);
    QTest::mouseClick(sheet->optionPage()->button("CheckPort"), Qt::LeftButton);
    // COM3's legacy UART at 0x3E8 was programmed and sent a sync frame.
    EXPECT_TRUE(uart.written.count(0x3E8 + 1)) << "interrupt enable register untouched";
    EXPECT_TRUE(uart.written.count(0x3E8)) << "no sync frame";
    EXPECT_EQ(closer.boxes, std::vector<std::string>({ "Success: The selected COM port successful !!" }));
}

TEST_F(KellanWindow, TestPageSaysWhetherDirectAccessIsUsed)
{
    // No module asked for: none is loaded, whatever lies beside the program.
    open("", 255);
    EXPECT_EQ(sheet->testPage()->portIoLabel()->text().toStdString(), "Direct UART access: off (serial driver only)");
    sheet.reset();
    // Asked for on the Option page, but refused here by PORTIO_MODULE=none
    // (a name that is nowhere, should the refusal ever fail).
    dir.write("portio.dat", "absent-portio.so\n");
    open("", 255);
    EXPECT_EQ(sheet->testPage()->portIoLabel()->text().toStdString(), "Direct UART access: off (PORTIO_MODULE=none)");
}

// Each EEPROM command has its 100 ms before the port is purged for the
// read-back, as on a UART; the clock holds while the board works, so a busy
// machine never takes them from it.
using KellanWindowTwentyBoards = KellanWindowDuringARun;

TEST_F(KellanWindowTwentyBoards, TwentyBoardsWithApplyPressedDuringEveryRunGetTwentyAddresses)
{
    // Write Data Into EEPROM alone: the address is consumed right after it.
    open("normal,test-firmware", 0x40);
    std::set<std::string> macs;
    for (int n = 0; n < 20; ++n) {
        if (n > 0)
            plugBoard("normal,test-firmware");
        startAndWaitForItem(6);
        pressApply();
        waitForTheEnd();
        ASSERT_EQ(sheet->testPage()->shownPicture(), ResultPicture::Pass)
            << "board " << n << ": " << sheet->lastView().resultMessage;
        macs.insert(board->board().macAddress());
    }
    EXPECT_EQ(macs.size(), 20u);
    EXPECT_EQ(*macs.begin(), "00A0B0C0D0E0");
    EXPECT_EQ(*macs.rbegin(), "00A0B0C0D0F3");
    EXPECT_EQ(optionLine(dir.read("Option.dat"), 7), "00A0B0C0D0F4");
}

} // namespace

namespace {

using namespace kellan_window;

TEST_F(KellanWindow, AUsedUpRangeIsShownAsSuchAndKeptByApply)
{
    macRange = "1000000000000\nFFFFFFFFFFFF";
    open("", 255);
    const std::string usedUp = dir.read("Option.dat");
    sheet->tabs()->setCurrentIndex(1);
    auto* page = sheet->optionPage();
    EXPECT_TRUE(page->label("RangeUsedUp")->isVisibleTo(page));
    EXPECT_EQ(page->label("RangeUsedUp")->text().toStdString(), "range used up");
    EXPECT_EQ(page->field("MacStart")->text().toStdString(), "FFFFFFFFFFFF");
    QTest::mouseClick(page->button("Apply"), Qt::LeftButton);
    EXPECT_EQ(dir.read("Option.dat"), usedUp);
    EXPECT_TRUE(page->label("RangeUsedUp")->isVisibleTo(page));
    // A new range typed in opens it again.
    page->field("MacStart")->setText("FFFFFFFFFF00");
    QTest::mouseClick(page->button("Apply"), Qt::LeftButton);
    EXPECT_NE(dir.read("Option.dat").find("\nFFFFFFFFFF00\nFFFFFFFFFFFF\n"), std::string::npos);
    EXPECT_FALSE(page->label("RangeUsedUp")->isVisibleTo(page));
}

} // namespace

namespace {

// Answers the next question box with `yes` (Yes or No), as the operator would.
class QuestionAnswerer {
public:
    explicit QuestionAnswerer(bool yes)
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this, yes] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->button(QMessageBox::Yes))
                return;
            questions.push_back(box->text().toStdString());
            box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
        });
        m_timer.start();
    }
    std::vector<std::string> questions;

private:
    QTimer m_timer;
};

} // namespace

TEST_F(KellanWindowDuringARun, EscapeBetweenRunsStaysAndExitDuringARunAsksFirst)
{
    open("normal,test-firmware", 0x4C); // RAM Test, CPU Test, Write Data Into EEPROM
    closer.leaveQuestions = true;
    QTest::keyClick(sheet.get(), Qt::Key_Escape);
    waitFor([] { return false; }, 50);
    EXPECT_TRUE(sheet->isVisible()) << "Escape between runs closed the window";

    {
        // "No": the run goes on to its end and the window stays.
        QuestionAnswerer no(false);
        startAndWaitForItem(2);
        // Asked only while the run goes on (a board may fail fast on a busy
        // machine).
        std::size_t asked = sheet->busy();
        QTest::mouseClick(sheet->exitButton(), Qt::LeftButton);
        asked += sheet->busy();
        QTest::keyClick(sheet.get(), Qt::Key_Escape);
        waitForTheEnd();
        EXPECT_EQ(no.questions.size(), asked);
        EXPECT_TRUE(sheet->isVisible());
    }
    // "Yes": the run stops after its step (however far it got while the
    // question was open) and the window closes with it, never before.
    QuestionAnswerer yes(true);
    startAndWaitForItem(2);
    const bool running = sheet->busy();
    QTest::mouseClick(sheet->exitButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return !sheet->isVisible(); }));
    // It closed on a view of the sequence that had answered every START: the
    // run had ended. The run's end reaches the test right after that view.
    EXPECT_EQ(sheet->lastView().startsAnswered, sheet->sequence().startsRequested())
        << "the window closed before the run ended";
    EXPECT_TRUE(waitFor([&] { return runsFinished == finishedBefore + 1; }));
    if (!running)
        return;
    ASSERT_EQ(yes.questions.size(), 1u);
    EXPECT_EQ(yes.questions[0], "A board is being tested.\nStop after the current step and exit?");
}
