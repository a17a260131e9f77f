#include "platform/pty.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/gui/main_window.h"
#include "utility/gui/terminal_file_bar.h"
#include "utility/gui/terminal_view_widget.h"
#include "utility/shell/navigation.h"
#include "utility/shell/system_log.h"
#include "widgets/qt_event_loop.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include <csignal>
#include <sys/resource.h>

using namespace utility;

namespace {

// Terminal 1 open on a pseudo-terminal whose far side plays the device,
// with the file row bound as the program binds it.
struct FilePage {
    testing_support::ScriptedPrompter prompter;
    testing_support::TempDir dir;
    widgets::QtEventLoop loop;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    shell::AppSettings settings;
    std::unique_ptr<services::TerminalView> view;
    gui::MainWindow window { frame, tree, log, prompter };
    gui::TerminalViewWidget* widget = nullptr;
    std::unique_ptr<platform::Pty> device = std::move(*platform::Pty::open());

    FilePage()
    {
        services::TerminalEnvironment environment;
        environment.scanner.devDir = "/nonexistent";
        environment.isVirtualPort = [](const std::string&) { return false; };
        environment.systemLog = [this](const std::string& line) { log.addLogLine(line); };
        view = std::make_unique<services::TerminalView>(loop, std::move(environment));
        widget = new gui::TerminalViewWidget(*view, settings);
        widget->setPrompter(&prompter);
        widget->setSystemLog([this](const std::string& line) { log.addLogLine(line); });
        window.setBottomView(shell::BottomView::Terminal, widget);
        frame.setChangedCallback([this] { window.refresh(); });
        frame.setTerminalChecked(true);
        window.show();
        QApplication::processEvents();
        view->terminal(0).choosePort(device->slavePath());
        QTest::mouseClick(widget->controls(0).open, Qt::LeftButton);
    }
    gui::TerminalFileBar* files() { return widget->controls(0).files; }

    // Reads what the device got, running the window meanwhile, until
    // `expected` bytes came or nothing came for `quiet` ms.
    std::string drain(std::size_t expected, int quiet = 2000)
    {
        std::string got;
        QElapsedTimer idle;
        idle.start();
        while (got.size() < expected && idle.elapsed() < quiet) {
            QApplication::processEvents();
            std::uint8_t buffer[8192];
            auto n = device->read(buffer, sizeof buffer, std::chrono::milliseconds(5));
            if (n.ok() && *n > 0) {
                got.append(reinterpret_cast<char*>(buffer), *n);
                idle.restart();
            }
        }
        return got;
    }

    bool logged(const std::string& part) const
    {
        for (const auto& row : log.rows())
            if (row.message.find(part) != std::string::npos)
                return true;
        return false;
    }
};

std::string randomBytes(std::size_t size)
{
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

} // namespace

// Send File: every byte of the file reaches the device in order, the bar
// fills, and the view and the system log say what went where.
TEST(TerminalFilesGui, SendFileDeliversTheWholeFileWithItsProgress)
{
    FilePage page;
    ASSERT_TRUE(page.view->terminal(0).isOpen());
    ASSERT_TRUE(page.files()->sendButton()->isEnabled());
    const std::string content = randomBytes(300 * 1024 + 17);
    page.dir.write("firmware.bin", content);
    page.prompter.fileAnswers.push_back(page.dir.file("firmware.bin"));
    QTest::mouseClick(page.files()->sendButton(), Qt::LeftButton);
    ASSERT_TRUE(page.files()->sending());
    EXPECT_TRUE(page.files()->cancelButton()->isEnabled());
    EXPECT_FALSE(page.widget->controls(0).autoTest->isEnabled()) << "no auto test while a file goes out";
    const std::string got = page.drain(content.size());
    ASSERT_EQ(got.size(), content.size());
    EXPECT_TRUE(got == content) << "the bytes differ";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !page.files()->sending(); }, 5000));
    EXPECT_EQ(page.files()->progress()->value(), page.files()->progress()->maximum());
    const std::string said = "Sent " + page.dir.file("firmware.bin") + " to " + page.device->slavePath() + ": "
        + std::to_string(content.size()) + " of " + std::to_string(content.size()) + " bytes";
    EXPECT_EQ(page.files()->status()->text().toStdString(), said);
    EXPECT_TRUE(page.logged(said));
    EXPECT_TRUE(page.files()->sendButton()->isEnabled());
    EXPECT_TRUE(page.widget->controls(0).autoTest->isEnabled());

    // A file that is not there, or not a file: said, nothing sent.
    page.files()->sendFile(page.dir.file("missing.bin"));
    EXPECT_FALSE(page.files()->sending());
    EXPECT_TRUE(page.files()->status()->text().contains("No such file"));
    page.files()->sendFile(page.dir.path());
    EXPECT_TRUE(page.files()->status()->text().contains("not a regular file"));
    EXPECT_EQ(page.drain(1, 200), "");
}

// A device that stops reading holds the send, never the window: the view
// answers, typed keys cannot take a block's place, and Cancel ends it with
// exactly the bytes the port took going out.
TEST(TerminalFilesGui, ADeviceThatStopsReadingHoldsTheSendNotTheWindow)
{
    FilePage page;
    const std::string content = randomBytes(4 * 1024 * 1024);
    page.dir.write("big.bin", content);
    page.files()->sendFile(page.dir.file("big.bin"));
    ASSERT_TRUE(page.files()->sending());
    // Nobody reads the device: the send stalls once the line's buffers are full.
    QTest::qWait(600);
    const int stalledAt = page.files()->progress()->value();
    QTest::qWait(300);
    EXPECT_EQ(page.files()->progress()->value(), stalledAt);
    EXPECT_LT(stalledAt, page.files()->progress()->maximum());
    EXPECT_TRUE(page.files()->sending());
    bool answered = false;
    QTimer::singleShot(0, &page.window, [&] { answered = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered; }, 1000)) << "the window must go on answering";
    page.widget->controls(0).log->setFocus();
    QTest::keyClick(page.widget->controls(0).log, Qt::Key_X);

    QTest::mouseClick(page.files()->cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(page.files()->sending());
    EXPECT_TRUE(page.files()->status()->text().startsWith("Send File cancelled"));
    EXPECT_TRUE(page.logged("Send File cancelled"));
    const std::string got = page.drain(content.size(), 1500);
    ASSERT_GT(got.size(), 0u);
    ASSERT_LT(got.size(), content.size());
    EXPECT_TRUE(got == content.substr(0, got.size())) << "a prefix of the file, nothing else in between";
    EXPECT_NE(page.files()->status()->text().toStdString().find(std::to_string(got.size()) + " of "), std::string::npos)
        << page.files()->status()->text().toStdString() << " vs " << got.size();
}

// Log to File adds what the log shows to the end of the file, stops when
// clicked again, refuses a symbolic link and says when it cannot write.
TEST(TerminalFilesGui, LogToFileAppendsRefusesLinksAndSaysWhenItCannotWrite)
{
    FilePage page;
    page.dir.write("term.log", "earlier\n");
    page.prompter.fileAnswers.push_back(page.dir.file("term.log"));
    QTest::mouseClick(page.files()->logButton(), Qt::LeftButton);
    ASSERT_TRUE(page.files()->logging());
    EXPECT_TRUE(page.files()->logButton()->isChecked());
    const std::string hello = "hello from the device";
    ASSERT_TRUE(page.device->write(reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size()).ok());
    ASSERT_TRUE(QTest::qWaitFor([&] { return page.dir.read("term.log") == "earlier\n" + hello; }, 5000))
        << page.dir.read("term.log");
    QTest::mouseClick(page.files()->logButton(), Qt::LeftButton);
    EXPECT_FALSE(page.files()->logging());
    const std::string later = "not logged";
    ASSERT_TRUE(page.device->write(reinterpret_cast<const std::uint8_t*>(later.data()), later.size()).ok());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return page.widget->controls(0).log->toPlainText().contains("not logged"); }, 5000));
    EXPECT_EQ(page.dir.read("term.log"), "earlier\n" + hello);

    // A link in the file's place is not followed.
    page.dir.write("target.txt", "keep");
    std::filesystem::create_symlink(page.dir.file("target.txt"), page.dir.file("link.log"));
    page.files()->logToFile(page.dir.file("link.log"));
    EXPECT_FALSE(page.files()->logging());
    EXPECT_FALSE(page.files()->logButton()->isChecked());
    EXPECT_TRUE(page.files()->status()->text().contains("symbolic link"));
    EXPECT_TRUE(page.logged("symbolic link"));
    page.files()->logToFile(page.dir.file("no/such/folder.log"));
    EXPECT_TRUE(page.files()->status()->text().contains("cannot write"));

    // The file may grow by a few bytes only: the write fails, and the view says so and stops.
    page.files()->logToFile(page.dir.file("small.log"));
    ASSERT_TRUE(page.files()->logging());
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous {};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    rlimit small = previous;
    small.rlim_cur = 8;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const std::string more = "more than eight bytes";
    ASSERT_TRUE(page.device->write(reinterpret_cast<const std::uint8_t*>(more.data()), more.size()).ok());
    const bool stopped = QTest::qWaitFor([&] { return !page.files()->logging(); }, 5000);
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(page.files()->status()->text().startsWith("Log to File stopped: cannot write"))
        << page.files()->status()->text().toStdString();
    EXPECT_FALSE(page.files()->logButton()->isChecked());
}
