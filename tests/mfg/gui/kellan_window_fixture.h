// The kellan-mp window off screen against the board simulator behind a real
// pseudo-terminal: what the window tests share.
#pragma once

#include "mfg/gui/main_sheet.h"
#include "mfg/gui/pictures.h"
#include "platform/com_names.h"
#include "sim/boardsim/pty_board.h"
#include "tests/mfg/gui/idle_time_clock.h"
#include "tests/support/temp_dir.h"
#include "widgets/qt_event_loop.h"
#include "widgets/qt_prompter.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdio>

namespace kellan_window {

using mfg::ResultPicture;
using mfg::gui::MainSheet;

inline std::string pattern(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        seed = seed * 1103515245 + 12345;
        byte = static_cast<char>(seed >> 16);
    }
    return bytes;
}

inline std::string eepromFile()
{
    std::string text;
    for (int k = 0; k < 34; ++k) {
        char lines[32];
        std::snprintf(lines, sizeof lines, "[%04X]\n%04X ; word %d\n", k, 0x1100 + k, k);
        text += lines;
    }
    return text;
}

// Closes every message box the window opens, as the operator would with OK,
// and remembers its title and text.
class BoxCloser {
public:
    BoxCloser()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* files = qobject_cast<QFileDialog*>(modal)) {
                boxes.push_back("open: " + files->nameFilters().join(";;").toStdString());
                files->selectFile(QString::fromStdString(fileAnswer));
                QMetaObject::invokeMethod(files, "accept");
                return;
            }
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box || (leaveQuestions && box->button(QMessageBox::Yes)))
                return;
            boxes.push_back(box->windowTitle().toStdString() + ": " + box->text().toStdString());
            box->accept();
        });
        m_timer.start();
    }
    std::vector<std::string> boxes;
    std::string fileAnswer; // chosen in a file dialog
    bool leaveQuestions = false; // Yes/No boxes are answered by the test itself

private:
    QTimer m_timer;
};

// Lets the window work until `done`. Between events the window's thread
// sleeps (the clock's time passes only while every thread does); the limit
// is real time and only ends a test that would otherwise hang.
template <typename Done> bool waitFor(Done done, int limitMs = 120000)
{
    QElapsedTimer timer;
    timer.start();
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

class KellanWindow : public testing::Test {
protected:
    explicit KellanWindow(double speedUp = 5)
        : clock(speedUp)
    {
        clock.setLimit([this]() -> std::optional<platform::TimePoint> {
            sim::boardsim::Board* serving = current.load();
            return serving ? serving->nextDue() : std::nullopt;
        });
    }
    ~KellanWindow() override { clock.setLimit({}); }

    // A new board behind COM3 (the one before is put aside).
    void plugBoard(const std::string& boardOptions)
    {
        sim::boardsim::BoardOptions options;
        ASSERT_TRUE(sim::boardsim::BoardOptions::parse("erase-ms=300," + boardOptions, options));
        auto started = sim::boardsim::PtyBoard::start(clock, options);
        ASSERT_TRUE(started) << started.error().message;
        if (board)
            doneBoards.push_back(std::move(board));
        board = std::move(started.value());
        current = &board->board();
        dir.write("com-ports", "COM3 " + board->path() + "\n");
    }

    void open(const std::string& boardOptions, int itemMask, const std::string& logFile = "fail.log")
    {
        plugBoard(boardOptions);
        platform::ComNameResolver resolver;
        resolver.mappingFile = dir.file("com-ports");
        dir.write("loader.bin", pattern(3000, 1));
        dir.write("test.bin", pattern(1500, 2));
        dir.write("prod.bin", pattern(1024, 3));
        dir.write("eeprom.ini", eepromFile());
        dir.write("Option.dat",
            dir.file("loader.bin") + "\n" + dir.file("test.bin") + "\n" + dir.file("prod.bin") + "\n"
                + dir.file("eeprom.ini") + "\n" + dir.file(logFile) + "\n127.0.0.2\n" + macRange + "\n0\n");
        dir.write("com.dat", "COM3\n921.6K");
        dir.write("item.dat", std::to_string(itemMask) + "\n");
        if (logFile.empty())
            std::remove(dir.file("Option.dat").c_str());
        mfg::gui::Surroundings surroundings;
        surroundings.clock = &clock;
        surroundings.opener = mfg::systemSerialOpener(clock, resolver);
        surroundings.directory = dir.path();
        surroundings.forgetNeighbour = [](const std::string&) {};
        surroundings.portIo = portIo;
        surroundings.recordsUrl = recordsUrl;
        sheet = std::make_unique<MainSheet>(surroundings, loop, prompter, probe);
        prompter.setParent(sheet.get());
        sheet->show();
        sheet->sequence().onRunFinished = [this] { ++runsFinished; };
        auto show = sheet->sequence().onView;
        sheet->sequence().onView = [this, show](const mfg::gui::SequenceThread::View& view) {
            pictures.push_back(view.picture);
            show(view);
        };
        ASSERT_TRUE(waitFor([&] { return list()->topLevelItemCount() > 0 || itemMask == 0; }));
    }

    // Clicks START and lets the window run until the run has ended. Meanwhile
    // notes whether the window saw a row running (it repainted during the run).
    void runToTheEnd()
    {
        QTest::mouseClick(sheet->testPage()->startButton(), Qt::LeftButton);
        ASSERT_TRUE(waitFor([&] {
            for (int row = 0; row < list()->topLevelItemCount(); ++row)
                sawArrow = sawArrow || sheet->testPage()->rowImage(row, 0) == mfg::gui::kArrowImage;
            sawWait = sawWait || sheet->testPage()->startButton()->text() == "WAIT";
            return runsFinished > 0;
        }));
        // The run's last view comes with its end.
        waitFor([] { return false; }, 50);
    }

    QTreeWidget* list() const { return sheet->testPage()->list(); }
    QColor textColour(int row) const { return list()->topLevelItem(row)->foreground(1).color(); }

    // Five times faster than real time, and only while every thread sleeps:
    // a busy machine slows the clock down instead of cutting the board's time.
    IdleTimeClock clock;
    testing_support::TempDir dir;
    std::unique_ptr<sim::boardsim::PtyBoard> board;
    std::vector<std::unique_ptr<sim::boardsim::PtyBoard>> doneBoards;
    std::atomic<sim::boardsim::Board*> current { nullptr }; // the board plugged in last
    platform::PortIo* portIo = nullptr; // direct UART access given to the window
    std::string recordsUrl; // as --records; empty: records.dat, else production.db in `dir`
    mfg::PortProbe probe = [](int number) { return number == 3; };
    std::string macRange = "00A0B0C0D0E0\n00A0B0C0D0FF"; // Option.dat lines 7 and 8
    widgets::QtEventLoop loop;
    widgets::QtPrompter prompter;
    BoxCloser closer;
    std::unique_ptr<MainSheet> sheet;
    int runsFinished = 0;
    std::vector<ResultPicture> pictures;
    bool sawArrow = false;
    bool sawWait = false;
};

} // namespace kellan_window
