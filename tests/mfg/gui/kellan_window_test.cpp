// The kellan-mp window off screen: runs started with the START button against
// the board simulator behind a real pseudo-terminal (BOOTP and TFTP on real
// sockets in the test's own network namespace), with the sequence's waits on
// a clock sped up ten times; the Option page and "Test Item Selection".

#include "tests/mfg/gui/kellan_window_fixture.h"
#include "tests/support/help_view.h"
#include "widgets/help_window.h"

using mfg::ResultPicture;
using mfg::gui::MainSheet;

#include <cstdlib>

namespace {

using namespace kellan_window;

TEST_F(KellanWindow, IsASheetOfTwoPagesWithAnExitButton)
{
    open("", 255);
    EXPECT_EQ(sheet->windowTitle().toStdString(), "Kellan Manufacture Program    Version 1.8.1");
    ASSERT_EQ(sheet->tabs()->count(), 2);
    EXPECT_EQ(sheet->tabs()->tabText(0).toStdString(), "  Test");
    EXPECT_EQ(sheet->tabs()->tabText(1).toStdString(), "Option");
    EXPECT_EQ(sheet->tabs()->currentIndex(), 0);
    EXPECT_EQ(sheet->exitButton()->text().toStdString(), "Exit");
    for (const char* gone : { "OK", "Cancel", "Apply", "Help" }) {
        for (auto* button : sheet->findChildren<QPushButton*>()) {
            if (button->parent() == sheet.get()) {
                EXPECT_NE(button->text().toStdString(), gone);
            }
        }
    }
    const QFont font = sheet->testPage()->startButton()->font();
    EXPECT_EQ(font.family().toStdString(), "Arial");
    EXPECT_EQ(font.pixelSize(), 62);
    EXPECT_EQ(font.weight(), QFont::Weight(800));
    // Eight rows in the text colour (grey would say "disabled") with the
    // blank images, the blank display.
    ASSERT_EQ(list()->topLevelItemCount(), 8);
    for (int row = 0; row < 8; ++row) {
        EXPECT_EQ(list()->topLevelItem(row)->text(1).toStdString(), mfg::kItemNames[row]);
        EXPECT_EQ(textColour(row), QColor(0, 0, 0));
        EXPECT_EQ(sheet->testPage()->rowImage(row, 0), mfg::gui::kBlankImage);
        EXPECT_EQ(sheet->testPage()->rowImage(row, 2), mfg::gui::kBlankImage);
    }
    EXPECT_EQ(sheet->testPage()->shownPicture(), ResultPicture::Blank);
    EXPECT_TRUE(sheet->testPage()->errorBox()->isReadOnly());
}

// F1 opens the help at the shown page's section, in a window of its own.
TEST_F(KellanWindow, F1OpensTheHelpOfThePageShown)
{
    open("", 255);
    sheet->activateWindow();
    QTest::keyClick(sheet.get(), Qt::Key_F1);
    widgets::HelpWindow* help = sheet->helpWindow();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_TRUE(help->isWindow());
    help->resize(480, 200);
    sheet->showHelp();
    EXPECT_TRUE(testing_support::headingShown(help->browser(), QStringLiteral("kellan-mp: Test page")));
    sheet->tabs()->setCurrentIndex(1);
    sheet->showHelp();
    EXPECT_TRUE(testing_support::headingShown(help->browser(), QStringLiteral("kellan-mp: Option page")));
}

TEST_F(KellanWindow, PassingRunEndsOnPassWithEveryRowTicked)
{
    open("", 255);
    // The Option page has read its files before the run.
    sheet->tabs()->setCurrentIndex(1);
    EXPECT_EQ(sheet->optionPage()->field("MacStart")->text().toStdString(), "00A0B0C0D0E0");
    sheet->tabs()->setCurrentIndex(0);
    runToTheEnd();
    EXPECT_EQ(sheet->lastView().resultMessage, "");
    EXPECT_EQ(sheet->testPage()->shownPicture(), ResultPicture::Pass);
    EXPECT_EQ(
        sheet->testPage()->pictureLabel()->pixmap().toImage(), mfg::gui::resultPicture(ResultPicture::Pass).toImage());
    for (int row = 0; row < 8; ++row) {
        EXPECT_EQ(sheet->testPage()->rowImage(row, 2), mfg::gui::kTickImage) << row;
        EXPECT_EQ(sheet->testPage()->rowImage(row, 0), mfg::gui::kBlankImage) << row;
        EXPECT_EQ(textColour(row), QColor(0, 0, 0)) << row;
    }
    EXPECT_TRUE(sawArrow);
    EXPECT_TRUE(sawWait);
    EXPECT_EQ(sheet->testPage()->startButton()->text().toStdString(), "START");
    EXPECT_TRUE(sheet->testPage()->startButton()->isEnabled());
    EXPECT_EQ(sheet->testPage()->errorBox()->toPlainText().toStdString(), "");
    // The boxes of the run were real boxes of the window, closed by the
    // operator; the board's port is a pseudo-terminal, so no box calls it a
    // slow USB port.
    EXPECT_EQ(closer.boxes,
        std::vector<std::string>(
            { "Wait...: 1. Please turn off power and switch device from ISP mode to Normal mode.\n2. Press 'OK' then "
              "turn on power." }));
    // The next board gets the next address, which the Option page shows.
    EXPECT_NE(dir.read("Option.dat").find("\n00A0B0C0D0E1\n"), std::string::npos);
    sheet->tabs()->setCurrentIndex(1);
    EXPECT_EQ(sheet->optionPage()->field("MacStart")->text().toStdString(), "00A0B0C0D0E1");
}

TEST_F(KellanWindow, FailingRunEndsOnFailWithTheReasonAndTheRowInRed)
{
    open("fail-c", 255);
    runToTheEnd();
    EXPECT_EQ(sheet->testPage()->shownPicture(), ResultPicture::Fail);
    EXPECT_EQ(sheet->testPage()->errorBox()->toPlainText().toStdString(), "CPU test failed.\n");
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(sheet->testPage()->rowImage(row, 2), mfg::gui::kTickImage) << row;
    EXPECT_EQ(sheet->testPage()->rowImage(3, 2), mfg::gui::kCrossImage);
    EXPECT_EQ(textColour(3), QColor(255, 0, 0));
    for (int row = 4; row < 8; ++row) {
        EXPECT_EQ(sheet->testPage()->rowImage(row, 2), mfg::gui::kBlankImage) << row;
        EXPECT_EQ(textColour(row), QColor(0, 0, 0)) << row;
    }
    // Three blinks: the blank display, then FAIL, three times; it ends on FAIL.
    ASSERT_GE(pictures.size(), 6u);
    const std::vector<ResultPicture> blink { ResultPicture::Blank, ResultPicture::Fail, ResultPicture::Blank,
        ResultPicture::Fail, ResultPicture::Blank, ResultPicture::Fail };
    std::vector<ResultPicture> seen;
    for (auto picture : pictures) {
        if (seen.empty() || seen.back() != picture)
            seen.push_back(picture);
    }
    ASSERT_GE(seen.size(), 6u);
    EXPECT_EQ(std::vector<ResultPicture>(seen.end() - 6, seen.end()), blink);
    EXPECT_EQ(dir.read("fail.log"), "[00A0B0C0D0E0]\nCPU test failed.\n\n\n");

    // A look at the Option page keeps the run's marks until the next START.
    const std::size_t views = pictures.size();
    sheet->tabs()->setCurrentIndex(1);
    sheet->tabs()->setCurrentIndex(0);
    ASSERT_TRUE(waitFor([&] { return pictures.size() > views; })) << "the Test page's activation showed nothing";
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(sheet->testPage()->rowImage(row, 2), mfg::gui::kTickImage) << row;
    EXPECT_EQ(sheet->testPage()->rowImage(3, 2), mfg::gui::kCrossImage);
    EXPECT_EQ(textColour(3), QColor(255, 0, 0));
}

TEST_F(KellanWindow, TheErrorBoxSaysWhatTheBoxesDoNot)
{
    // Option.dat missing: said before the first run.
    open("", 255, "");
    ASSERT_TRUE(waitFor([&] { return !sheet->testPage()->errorBox()->toPlainText().isEmpty(); }));
    EXPECT_EQ(sheet->testPage()->errorBox()->toPlainText().toStdString(),
        "Option.dat can not be found ...\nPlease config parameters first in Optoin page !!\n");
}

TEST_F(KellanWindow, AFailedBoardWhoseLogDoesNotOpenSaysSoToo)
{
    open("fail-c", 255, "no-such-folder/fail.log");
    runToTheEnd();
    EXPECT_EQ(sheet->testPage()->errorBox()->toPlainText().toStdString(),
        "CPU test failed.\nCan not open log file ...\nPlease check file directory of setting !!\n");
}

TEST_F(KellanWindow, ClosingDuringARunEndsTheSequenceCleanly)
{
    open("", 255);
    QTest::mouseClick(sheet->testPage()->startButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return sheet->testPage()->startButton()->text() == "WAIT"; }));
    // Exit asks first (answered No here: the run goes on).
    QTest::mouseClick(sheet->exitButton(), Qt::LeftButton);
    EXPECT_TRUE(sheet->isVisible());
    ASSERT_FALSE(closer.boxes.empty());
    EXPECT_EQ(closer.boxes.back(), "Exit: A board is being tested.\nStop after the current step and exit?");
    // The window going away all the same (the program ends) ends the sequence.
    sheet.reset();
    EXPECT_EQ(runsFinished, 0);
}

TEST_F(KellanWindow, APortThatDoesNotOpenEndsTheProgram)
{
    open("", 4);
    dir.write("com.dat", "COM200\n115.2K");
    // Back to the front: com.dat is read again.
    sheet->tabs()->setCurrentIndex(1);
    sheet->tabs()->setCurrentIndex(0);
    waitFor([] { return false; }, 100);
    QTest::mouseClick(sheet->testPage()->startButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return !sheet->isVisible(); }));
    EXPECT_EQ(sheet->result(), 2);
    EXPECT_EQ(closer.boxes.back(),
        "ERROR: Could not open COM200.\nProgram will be closed, please check COM port and restart program.");
}

TEST_F(KellanWindow, ApplyRefusesAnElevenCharacterMacAndSavesNothing)
{
    open("", 255);
    sheet->tabs()->setCurrentIndex(1);
    auto* option = sheet->optionPage();
    ASSERT_TRUE(option->setUpDone());
    const std::string optionBefore = dir.read("Option.dat");
    const std::string comBefore = dir.read("com.dat");
    EXPECT_EQ(option->portCombo()->currentText().toStdString(), "COM3");
    EXPECT_EQ(option->speedCombo()->currentText().toStdString(), "921.6K");
    EXPECT_EQ(option->eraseCombo()->currentText().toStdString(), "6");

    QLineEdit* mac = option->field("MacStart");
    mac->setFocus();
    mac->clear();
    QTest::keyClicks(mac, "00a0b0c0d0e");
    EXPECT_EQ(mac->text().toStdString(), "00A0B0C0D0E");
    QTest::keyClicks(mac, "fff");
    EXPECT_EQ(mac->text().toStdString(), "00A0B0C0D0EF") << "at most 12 characters";
    mac->setText("00A0B0C0D0E");
    option->field("LoaderFile")->setFocus();
    QTest::mouseClick(option->button("Apply"), Qt::LeftButton);
    EXPECT_EQ(closer.boxes, std::vector<std::string>({ "MAC ERROR: MAC start address must be 12 hexs !!" }));
    EXPECT_EQ(dir.read("Option.dat"), optionBefore);
    EXPECT_EQ(dir.read("com.dat"), comBefore);
    EXPECT_EQ(sheet->focusWidget(), mac);
    EXPECT_EQ(option->field("LoaderFile")->maxLength(), 128);
    EXPECT_EQ(mac->maxLength(), 12);
}

TEST_F(KellanWindow, ApplyHandsTheSavedValuesToTheNextRun)
{
    open("", 255);
    sheet->tabs()->setCurrentIndex(1);
    auto* option = sheet->optionPage();
    option->field("MacStart")->setText("00A0B0C0D0F0");
    option->eraseCombo()->setCurrentIndex(4);
    option->speedCombo()->setCurrentIndex(1);
    QTest::mouseClick(option->button("Apply"), Qt::LeftButton);
    EXPECT_TRUE(closer.boxes.empty());
    EXPECT_NE(dir.read("Option.dat").find("\n00A0B0C0D0F0\n00A0B0C0D0FF\n4\n"), std::string::npos);
    EXPECT_EQ(dir.read("com.dat"), "COM3\n115.2K");
    ASSERT_TRUE(waitFor([&] { return sheet->lastView().settings.currentMac == "00A0B0C0D0F0"; }));
    EXPECT_EQ(sheet->lastView().settings.erase_wait_time, 10);
}

TEST_F(KellanWindow, BrowseButtonsFillTheirFieldsThroughFileDialogsWithTheirFilters)
{
    open("", 255);
    sheet->tabs()->setCurrentIndex(1);
    auto* option = sheet->optionPage();
    struct Browse {
        const char* button;
        const char* field;
        const char* filters;
    };
    for (const Browse& c : { Browse { "BrowseLoader", "LoaderFile", "Binary files(*.bin)" },
             Browse { "BrowseTestFirmware", "TestFirmware", "Binary files(*.bin)" },
             Browse { "BrowseProductionFirmware", "ProductionFirmware", "Binary files(*.bin)" },
             Browse { "BrowseEeprom", "EepromFile", "EEPROM files(*.ini)" },
             Browse { "BrowseLog", "LogFile", "Text files(*.txt);;All files(*.*)" } }) {
        closer.boxes.clear();
        closer.fileAnswer = dir.file(std::string("chosen-") + c.field);
        dir.write(std::string("chosen-") + c.field, "x");
        QTest::mouseClick(option->button(c.button), Qt::LeftButton);
        EXPECT_EQ(closer.boxes, std::vector<std::string>({ std::string("open: ") + c.filters })) << c.button;
        EXPECT_EQ(option->field(c.field)->text().toStdString(), closer.fileAnswer) << c.button;
    }
    // The chosen paths are what Apply saves.
    QTest::mouseClick(option->button("Apply"), Qt::LeftButton);
    EXPECT_EQ(dir.read("Option.dat").substr(0, dir.file("chosen-LoaderFile").size() + 1),
        dir.file("chosen-LoaderFile") + "\n");
}

TEST(KellanPictures, RowImagesAreCutFromAMagentaStrip)
{
    const QImage strip = mfg::gui::rowImageStrip().toImage();
    ASSERT_EQ(strip.size(), QSize(64, 15));
    auto count = [&](int image, QColor colour) {
        int n = 0;
        for (int y = 0; y < 15; ++y)
            for (int x = 16 * image; x < 16 * image + 16; ++x)
                n += strip.pixelColor(x, y) == colour;
        return n;
    };
    const QColor magenta(255, 0, 255);
    EXPECT_EQ(count(mfg::gui::kBlankImage, magenta), 16 * 15);
    EXPECT_GT(count(mfg::gui::kArrowImage, QColor(0, 0, 255)), 20);
    EXPECT_GT(count(mfg::gui::kCrossImage, QColor(255, 0, 0)), 20);
    EXPECT_GT(count(mfg::gui::kTickImage, QColor(0, 160, 0)), 20);
    // The magenta is transparent once cut.
    const QImage blank = mfg::gui::rowImage(mfg::gui::kBlankImage).toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(blank.pixel(0, 0)), 0);
    const QImage tick = mfg::gui::rowImage(mfg::gui::kTickImage).toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(tick.pixel(0, 0)), 0);
}

TEST_F(KellanWindow, ItemSelectionWritesItemDatAndTheTestPageShowsTheRowsInBitOrder)
{
    open("", 255);
    sheet->tabs()->setCurrentIndex(1);
    auto* option = sheet->optionPage();
    std::string title;
    option->execItemSelection = [&](mfg::gui::ItemSelectionDialog& dialog) {
        title = dialog.windowTitle().toStdString();
        QTreeWidget* rows = dialog.list();
        EXPECT_EQ(rows->topLevelItem(0)->checkState(0), Qt::Checked);
        dialog.findChild<QPushButton*>("UnselectAll")->click();
        for (int row = 0; row < 8; ++row)
            EXPECT_EQ(rows->topLevelItem(row)->checkState(0), Qt::Unchecked);
        // Ticked out of order.
        for (int row : { 5, 2, 0 })
            rows->topLevelItem(row)->setCheckState(0, Qt::Checked);
        dialog.findChild<QPushButton*>("Apply")->click();
    };
    QTest::mouseClick(option->button("TestItems"), Qt::LeftButton);
    EXPECT_EQ(title, "Test Item Selection");
    EXPECT_EQ(dir.read("item.dat"), "37\n");

    sheet->tabs()->setCurrentIndex(0);
    ASSERT_TRUE(waitFor([&] { return list()->topLevelItemCount() == 3; }));
    EXPECT_EQ(list()->topLevelItem(0)->text(1).toStdString(), "Download Boot Loader");
    EXPECT_EQ(list()->topLevelItem(1)->text(1).toStdString(), "RAM Test");
    EXPECT_EQ(list()->topLevelItem(2)->text(1).toStdString(), "HSUART Test");

    // Select All, then Cancel: nothing is written.
    sheet->tabs()->setCurrentIndex(1);
    option->execItemSelection = [&](mfg::gui::ItemSelectionDialog& dialog) {
        dialog.findChild<QPushButton*>("SelectAll")->click();
        for (int row = 0; row < 8; ++row)
            EXPECT_EQ(dialog.list()->topLevelItem(row)->checkState(0), Qt::Checked);
        dialog.findChild<QPushButton*>("Cancel")->click();
    };
    QTest::mouseClick(option->button("TestItems"), Qt::LeftButton);
    EXPECT_EQ(dir.read("item.dat"), "37\n");
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Never the machine's own port-I/O module, however the test is started:
    // the window tests give the window a fake UART when they need one.
    ::setenv("PORTIO_MODULE", "none", 1);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
