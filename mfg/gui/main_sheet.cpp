#include "mfg/gui/main_sheet.h"

#include "mfg/config_files.h"
#include "mfg/station_records.h"

#include "platform/com_names.h"
#include "platform/port_io.h"
#include "platform/text_file.h"
#include "widgets/help_window.h"
#include "widgets/qt_event_loop.h"
#include "widgets/qt_prompter.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace mfg::gui {
namespace {

Surroundings completed(Surroundings surroundings)
{
    if (!surroundings.clock)
        surroundings.clock = &platform::RealClock::instance();
    if (!surroundings.opener)
        surroundings.opener = systemSerialOpener(*surroundings.clock, platform::ComNameResolver::fromEnvironment());
    if (surroundings.directory.empty())
        surroundings.directory = platform::currentDirectory();
    return surroundings;
}

// Boxes without a title of their own carry the program's name.
class TitledPrompter final : public platform::Prompter {
public:
    explicit TitledPrompter(platform::Prompter& target)
        : m_target(target)
    {
    }
    void message(const std::string& text, const std::string& title, platform::MessageIcon icon) override
    {
        m_target.message(text, title.empty() ? std::string("kellan-mp") : title, icon);
    }
    bool confirm(const std::string& text, const std::string& title, platform::MessageIcon icon, bool yes) override
    {
        return m_target.confirm(text, title.empty() ? std::string("kellan-mp") : title, icon, yes);
    }
    int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected) override
    {
        return m_target.choose(title, text, label, options, preselected);
    }
    std::string openFile(const std::string& title, const std::string& filter, const std::string& proposed) override
    {
        return m_target.openFile(title, filter, proposed);
    }
    std::string saveFile(const std::string& title, const std::string& filter, const std::string& proposed) override
    {
        return m_target.saveFile(title, filter, proposed);
    }
    std::string chooseFolder(const std::string& title, const std::string& start) override
    {
        return m_target.chooseFolder(title, start);
    }
    void beep(int frequencyHz, int durationMs) override { m_target.beep(frequencyHz, durationMs); }

private:
    platform::Prompter& m_target;
};

std::unique_ptr<platform::Clock> clockFromEnvironment()
{
    // As for `kellan-mp run`: simulators may run the program's waits faster.
    const char* scale = std::getenv("KELLAN_MP_TIME_SCALE");
    if (scale && *scale) {
        const double factor = std::atof(scale);
        if (factor > 0 && factor != 1)
            return std::make_unique<platform::ScaledClock>(factor);
    }
    return nullptr;
}

// Lets the window's loop run until `done` holds or the time is over.
template <typename Done> void settle(Done done, int limitMs = 1000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limitMs)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    QApplication::processEvents();
}

} // namespace

MainSheet::MainSheet(const Surroundings& given, platform::EventLoop& loop, platform::Prompter& prompter,
    PortProbe probe, QWidget* parent)
    : QDialog(parent)
    , m_prompter(std::make_unique<TitledPrompter>(prompter))
{
    Surroundings surroundings = completed(given);
    m_directory = surroundings.directory;
    if (surroundings.portIo) {
        m_portIoGiven = true;
        m_portIoText = "Direct UART access: on";
    } else {
        m_portIoGiven = !surroundings.portIoArgument.empty();
        m_portIo = choosePortIo(surroundings.portIoArgument, surroundings.directory);
        surroundings.portIo = m_portIo->portIo();
        m_portIoText = m_portIo->describe();
    }
    setObjectName(QStringLiteral("KellanSheet"));
    setWindowTitle(QString::fromLatin1(kProgramTitle));
    m_sequence = std::make_unique<SequenceThread>(surroundings, loop, *m_prompter);

    auto* layout = new QVBoxLayout(this);
    m_tabs = new QTabWidget(this);
    m_test = new TestPageView(*m_sequence, m_tabs);
    m_option = new OptionPageView({ surroundings.directory, *surroundings.clock, *m_prompter, surroundings.opener,
                                      std::move(probe), surroundings.portIo },
        m_tabs);
    m_option->page().recordsUrl = surroundings.recordsUrl;
    m_test->showPortIo(m_portIoText);
    m_tabs->addTab(m_test, QStringLiteral("  Test"));
    m_tabs->addTab(m_option, QStringLiteral("Option"));
    layout->addWidget(m_tabs);
    // The sheet's OK, Cancel and Apply are gone; its Help button is "Exit".
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_exit = new QPushButton(QStringLiteral("Exit"), this);
    m_exit->setObjectName(QStringLiteral("Exit"));
    buttons->addWidget(m_exit);
    layout->addLayout(buttons);

    connect(m_exit, &QPushButton::clicked, this, &QDialog::reject);
    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this, &MainSheet::showHelp);
    connect(m_tabs, &QTabWidget::currentChanged, this, &MainSheet::pageChanged);
    m_sequence->onView = [this](const SequenceThread::View& view) { viewArrived(view); };
    m_test->onStartPressed = [this] { setBusy(true); };
    m_sequence->onProgramEnded = [this] { done(2); };
    m_option->onApplied = [this](const MfgSettings& options) {
        m_sequence->applyOptions(options);
        portIoAsked(m_option->page().portIoModule);
    };
    m_sequence->create();
    m_sequence->activate();
}

MainSheet::~MainSheet() = default;

bool MainSheet::askToStop()
{
    if (m_closeAfterRun)
        return true;
    m_closeAfterRun = m_prompter->confirm("A board is being tested.\nStop after the current step and exit?", "Exit",
        platform::MessageIcon::Question, false);
    if (m_closeAfterRun)
        m_sequence->stopAfterStep();
    return m_closeAfterRun;
}

void MainSheet::reject()
{
    if (!m_busy) {
        QDialog::reject();
        return;
    }
    // Closed when the run's end arrives (viewArrived), or now when it came
    // while the question was open.
    if (askToStop() && !m_busy)
        QDialog::reject();
}

void MainSheet::showHelp()
{
    if (!m_help)
        m_help = new widgets::HelpWindow(this);
    const std::string folder = m_directory.empty() || m_directory.back() == '/' ? m_directory : m_directory + "/";
    std::string why;
    if (!m_help->showSection(
            widgets::findHelpFile(folder), m_tabs->currentIndex() == 0 ? "kellan-test" : "kellan-option", why))
        m_prompter->message("Help: " + why, "Help", platform::MessageIcon::Information);
}

void MainSheet::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        if (m_busy && askToStop() && !m_busy)
            QDialog::reject();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainSheet::pageChanged(int index)
{
    // During a run the Test page's activation waits for the run's end (the
    // sequence defers it): the tabs may be looked at meanwhile.
    if (index == 0)
        m_sequence->activate();
    else
        m_option->activate(m_view.settings.currentMac);
}

void MainSheet::viewArrived(const SequenceThread::View& view)
{
    m_view = view;
    // A view sent before the last START may still arrive after it.
    setBusy(m_sequence->startsRequested() > view.startsAnswered);
    m_test->show(view, m_busy);
    if (m_closeAfterRun && !m_busy)
        QDialog::reject();
}

void MainSheet::setBusy(bool busy)
{
    const bool ended = m_busy && !busy;
    m_busy = busy;
    m_option->setRunning(busy, m_view.settings.comName);
    // The address the next board gets, not the one the page read before.
    if (ended && m_option->setUpDone())
        m_option->activate(m_view.settings.currentMac);
}

void MainSheet::portIoAsked(const std::string& module)
{
    if (m_portIoGiven || !m_portIo || module == m_portIo->asked)
        return;
    // Apply has written portio.dat; the choice is made as at the start.
    auto chosen = choosePortIo({}, m_directory);
    m_sequence->setPortIo(chosen->portIo());
    m_option->setPortIo(chosen->portIo());
    m_retiredPortIo.push_back(std::move(m_portIo));
    m_portIo = std::move(chosen);
    m_portIoText = m_portIo->describe();
    m_test->showPortIo(m_portIoText);
}

bool guiAvailable()
{
    for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" }) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

namespace {

// The pictures leave the working folder as it was: the pages work on copies
// of its settings files in a folder of their own, left again at the end.
class ScratchFolder {
public:
    ScratchFolder()
        : m_home(QDir::currentPath())
    {
        for (const char* name : { kOptionFile, kComFile, kItemFile, kItemFileCreated, kPortIoFile })
            if (QFileInfo::exists(QDir(m_home).filePath(QString::fromLatin1(name))))
                QFile::copy(QDir(m_home).filePath(QString::fromLatin1(name)),
                    QDir(m_scratch.path()).filePath(QString::fromLatin1(name)));
        m_entered = m_scratch.isValid() && QDir::setCurrent(m_scratch.path());
    }
    ~ScratchFolder() { QDir::setCurrent(m_home); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    bool entered() const { return m_entered; }

private:
    QString m_home;
    QTemporaryDir m_scratch;
    bool m_entered = false;
};

// The run pictured opens the run's port: only a simulated board (a pseudo-
// terminal) may answer it, never a serial port of the machine.
std::optional<std::string> realPortOfTheRun()
{
    QFile file(QString::fromLatin1(kComFile));
    std::string name = "COM1";
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray line = file.readLine().trimmed();
        if (!line.isEmpty())
            name = line.toStdString();
    }
    const std::string device = platform::ComNameResolver::fromEnvironment().resolve(name);
    const QString resolved = QFileInfo(QString::fromStdString(device)).canonicalFilePath();
    if (resolved.startsWith(QStringLiteral("/dev/pts/")))
        return std::nullopt;
    return name + " (" + device + ")";
}

} // namespace

int runKellanGui(int argc, char** argv, const GuiOptions& options)
{
    const bool screenshots = !options.screenshotDir.empty();
    if (screenshots && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QDir dir(QDir(QString::fromStdString(options.screenshotDir)).absolutePath());
    std::optional<ScratchFolder> scratch;
    if (screenshots) {
        scratch.emplace();
        if (!scratch->entered()) {
            std::fprintf(stderr, "kellan-mp: no folder of its own for the pictures' settings\n");
            return 1;
        }
    }
    // The window is the station while it is open: no run and no change of
    // options from another program in its folder.
    auto stationLock = lockStation(platform::currentDirectory());
    if (!stationLock) {
        std::fprintf(stderr, "kellan-mp: %s\n", stationLock.error().message.c_str());
        return 2;
    }
    auto scaled = clockFromEnvironment();
    Surroundings surroundings;
    surroundings.clock = scaled ? scaled.get() : &platform::RealClock::instance();
    surroundings.portIoArgument = options.portIoArgument;
    surroundings.recordsUrl = options.recordsUrl;
    surroundings.station = options.station;

    widgets::QtEventLoop loop(*surroundings.clock);
    widgets::QtPrompter qtPrompter;
    // While rendering pictures nobody is there to close a box: they go to stderr.
    platform::ConsolePrompter consolePrompter;
    MainSheet sheet(surroundings, loop, screenshots ? static_cast<platform::Prompter&>(consolePrompter) : qtPrompter);
    qtPrompter.setParent(&sheet);
    if (!screenshots)
        return sheet.exec() == 2 ? 1 : 0;

    sheet.resize(sheet.sizeHint());
    sheet.show();
    settle([&] { return !sheet.lastView().rows.empty(); });
    bool saved = sheet.grab().save(dir.filePath(QStringLiteral("kellan-test-page.png")));
    sheet.tabs()->setCurrentIndex(1);
    settle([] { return false; });
    saved = sheet.grab().save(dir.filePath(QStringLiteral("kellan-option-page.png"))) && saved;
    sheet.optionPage()->execItemSelection = [&](ItemSelectionDialog& dialog) {
        dialog.show();
        settle([] { return false; });
        saved = dialog.grab().save(dir.filePath(QStringLiteral("kellan-item-selection.png"))) && saved;
    };
    sheet.optionPage()->button("TestItems")->click();
    // A run that fails, for the marks, the FAIL picture and the error text.
    sheet.tabs()->setCurrentIndex(0);
    if (const auto real = realPortOfTheRun()) {
        std::fprintf(stderr, "kellan-mp: %s is no simulated board: the failed run is not pictured\n", real->c_str());
        if (!saved)
            std::fprintf(stderr, "kellan-mp: could not save the pictures in %s\n", options.screenshotDir.c_str());
        return saved ? 0 : 1;
    }
    bool finished = false;
    sheet.sequence().onRunFinished = [&finished] { finished = true; };
    settle([] { return false; });
    sheet.testPage()->startButton()->click();
    settle([&] { return finished; }, 30000);
    settle([] { return false; }, 200);
    if (finished)
        saved = sheet.grab().save(dir.filePath(QStringLiteral("kellan-test-page-failed.png"))) && saved;
    else
        std::fprintf(stderr, "kellan-mp: the run for the picture did not end\n");
    saved = saved && finished;
    if (!saved)
        std::fprintf(stderr, "kellan-mp: could not save the pictures in %s\n", options.screenshotDir.c_str());
    return saved ? 0 : 1;
}

} // namespace mfg::gui
