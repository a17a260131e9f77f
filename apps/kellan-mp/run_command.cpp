// `kellan-mp run`: the Test page without a window. Message boxes become lines
// on standard error; the operator's prompts are asked on the terminal.

#include "apps/kellan-mp/command.h"
#include "mfg/portio_choice.h"
#include "mfg/station_records.h"
#include "mfg/test_page.h"
#include "platform/event_loop.h"
#include "platform/file_clock.h"
#include "platform/progress_line.h"
#include "platform/text_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kellan_mp {

namespace {

// Ctrl+C (or SIGTERM): noted here; the sequence looks between two steps, the
// operator's prompt at once (through the pipe).
volatile std::sig_atomic_t g_signal = 0;
int g_wakeWrite = -1;
int g_wakeRead = -1;

extern "C" void onInterrupt(int number)
{
    const int savedErrno = errno;
    // Acknowledged at once: a step (the loader's erase, the EEPROM) may take
    // a while. A second one within two seconds ends the program at once:
    // every file is replaced whole and every record change is one
    // transaction, so any point is a safe one for them; only the board may
    // then hold an address that nobody consumed.
    static const char kAcknowledged[]
        = "\nkellan-mp: stopping after the current step (Ctrl+C again within 2 s: at once)\n";
    static const char kAtOnce[] = "\nkellan-mp: stopped at once; a board whose EEPROM was being written may hold the "
                                  "address the next board will get: test it again\n";
    static timespec first {};
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (g_signal == 0) {
        first = now;
        [[maybe_unused]] auto shown = ::write(STDERR_FILENO, kAcknowledged, sizeof kAcknowledged - 1);
    } else if (now.tv_sec - first.tv_sec < 2 || (now.tv_sec - first.tv_sec == 2 && now.tv_nsec < first.tv_nsec)) {
        [[maybe_unused]] auto shown = ::write(STDERR_FILENO, kAtOnce, sizeof kAtOnce - 1);
        ::_exit(128 + number);
    }
    g_signal = number;
    const char byte = 1;
    if (g_wakeWrite >= 0) [[maybe_unused]]
        auto ignored = ::write(g_wakeWrite, &byte, 1);
    errno = savedErrno;
}

bool catchInterrupts()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    g_wakeRead = fds[0];
    g_wakeWrite = fds[1];
    struct sigaction action { };
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // Restarted: a step's waits go on; the sequence stops after the step.
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

bool interruptRequested() { return g_signal != 0; }

// One line from standard input, or nothing once interrupted (or at its end).
bool readLineOrInterrupt()
{
    for (;;) {
        if (interruptRequested())
            return false;
        pollfd fds[2] = { { STDIN_FILENO, POLLIN, 0 }, { g_wakeRead, POLLIN, 0 } };
        const int ready = ::poll(fds, g_wakeRead >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return false;
        if (fds[0].revents) {
            char byte;
            const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || byte == '\n')
                return n > 0;
        }
    }
}

// Answers the operator's "Wait..." box on the terminal (or at once), prints
// every other box on stderr.
class RunPrompter final : public platform::Prompter {
public:
    explicit RunPrompter(bool assumeYes)
        : m_console(assumeYes)
        , m_assumeYes(assumeYes)
    {
    }
    // Boxes start below a progress line left open.
    void setProgressLine(platform::ProgressLine* line) { m_progress = line; }
    void message(const std::string& text, const std::string& title, platform::MessageIcon icon) override
    {
        if (m_progress)
            m_progress->end();
        m_console.message(text, title, icon);
        if (title == "Wait..." && !m_assumeYes) {
            std::fprintf(stderr, "Press Enter when done. ");
            std::fflush(stderr);
            if (!readLineOrInterrupt())
                std::fprintf(stderr, "\n");
        }
    }
    bool confirm(const std::string& text, const std::string& title, platform::MessageIcon icon, bool yes) override
    {
        return m_console.confirm(text, title, icon, yes);
    }
    int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected) override
    {
        return m_console.choose(title, text, label, options, preselected);
    }
    std::string openFile(const std::string& title, const std::string& filter, const std::string& proposed) override
    {
        return m_console.openFile(title, filter, proposed);
    }
    std::string saveFile(const std::string& title, const std::string& filter, const std::string& proposed) override
    {
        return m_console.saveFile(title, filter, proposed);
    }
    std::string chooseFolder(const std::string& title, const std::string& start) override
    {
        return m_console.chooseFolder(title, start);
    }
    void beep(int frequencyHz, int durationMs) override { m_console.beep(frequencyHz, durationMs); }

private:
    platform::ConsolePrompter m_console;
    bool m_assumeYes;
    platform::ProgressLine* m_progress = nullptr;
};

// A firmware download as a progress line: the wait for the board's request,
// then the bytes sent of the file's.
void showDownload(platform::ProgressLine& line, const mfg::DownloadProgress& download, platform::TimePoint now)
{
    const std::string name = std::filesystem::path(download.path).filename().string();
    if (!download.requested) {
        const std::string step = "Waiting for the board's BOOTP request for " + name;
        line.show(step, step, now);
        return;
    }
    const std::string step = "Sending " + name + " to the board";
    line.show(step, step + ": " + platform::ProgressLine::bytesText(download.sent, download.total), now);
}

// Simulators and tests may run the program's waits faster than real time;
// KELLAN_MP_TIME_SCALE=20 makes a 2-second wait take 100 ms. A test that
// runs the simulated boards as processes of their own gives the program and
// them one time, read from KELLAN_MP_CLOCK_FILE.
std::unique_ptr<platform::Clock> makeClock(std::string& problem)
{
    if (const char* path = std::getenv("KELLAN_MP_CLOCK_FILE"); path && *path) {
        auto opened = platform::FileClock::open(path);
        if (!opened) {
            problem = opened.error().message;
            return nullptr;
        }
        return std::move(opened.value());
    }
    const char* scale = std::getenv("KELLAN_MP_TIME_SCALE");
    if (scale && *scale) {
        const double factor = std::atof(scale);
        if (factor > 0 && factor != 1)
            return std::make_unique<platform::ScaledClock>(factor);
    }
    return nullptr;
}

const char* markText(mfg::RowMark mark) { return mark == mfg::RowMark::Passed ? "passed" : "failed"; }

} // namespace

int runCommand(const RunArguments& arguments)
{
    const bool assumeYes = arguments.yes;
    const std::string& portIoArgument = arguments.portIo;
    const std::string& recordsUrl = arguments.records;
    const std::string station = arguments.station.empty() ? mfg::defaultStationName() : arguments.station;
    const std::string directory = platform::currentDirectory();
    auto stationLock = mfg::lockStation(directory);
    if (!stationLock) {
        std::fprintf(stderr, "kellan-mp run: %s\n", stationLock.error().message.c_str());
        return 2;
    }
    // Read as the page reads it: a FIFO or a folder under the name is no
    // settings file either (and would otherwise be tested with none).
    if (!platform::readFileBytes(mfg::settingsFilePath(directory, mfg::kOptionFile), 64 * 1024)) {
        std::fprintf(stderr, "kellan-mp run: %s",
            "Option.dat can not be found ...\nPlease config parameters first in Optoin page !!\n");
        return 2;
    }

    // Ctrl+C and SIGTERM also end a wait for a database that does not answer.
    if (!catchInterrupts())
        std::fprintf(stderr, "kellan-mp run: Ctrl+C cannot be caught: it ends the program at once\n");
    mfg::records::setDatabaseWaitInterrupt(interruptRequested);

    // A station that cannot record does not test boards (a shared store
    // also hands out their addresses), unless the operator asked for no
    // records at all.
    auto opened = mfg::openStationRecords(directory, recordsUrl);
    if (!opened) {
        std::fprintf(stderr, "kellan-mp run: records: %s\n%s", opened.error().message.c_str(),
            recordsUrl == mfg::kNoRecords ? ""
                                          : "No board is tested while its run cannot be recorded; --records none "
                                            "tests without records.\n");
        return g_signal ? 128 + g_signal : 2;
    }
    mfg::StationRecords records = std::move(opened.value());

    std::string clockProblem;
    auto scaled = makeClock(clockProblem);
    if (!clockProblem.empty()) {
        std::fprintf(stderr, "kellan-mp run: %s\n", clockProblem.c_str());
        return 2;
    }
    platform::Clock& clock = scaled ? *scaled : platform::RealClock::instance();
    mfg::RunRecorder recorder(
        { records.store.get(), records.shared, station, mfg::operatorLogin(), mfg::programVersion(), {} }, clock);
    auto loop = platform::makeEpollLoop(clock);
    platform::ProgressLine progress = platform::ProgressLine::forStderr();
    RunPrompter prompter(assumeYes);
    prompter.setProgressLine(&progress);
    mfg::DebugOutput trace;
    trace.configureFromEnvironment();
    const auto portIo = mfg::choosePortIo(portIoArgument, directory);
    std::fprintf(stderr, "%s\n", portIo->describe().c_str());

    mfg::TestPage::Environment environment { *loop, clock, prompter, trace,
        mfg::systemSerialOpener(clock, platform::ComNameResolver::fromEnvironment()), directory, portIo->portIo(), {},
        {} };
    environment.endProgram = [&loop] { loop->quit(1); };
    environment.interruptRequested = interruptRequested;
    environment.recorder = &recorder;
    environment.downloadProgress
        = [&progress, &clock](const mfg::DownloadProgress& download) { showDownload(progress, download, clock.now()); };
    mfg::TestPage page(environment);
    page.create();
    page.activate();
    page.onRowChanged = [&page, &progress](int row) {
        const mfg::TestRow& shown = page.rows()[row];
        if (shown.mark == mfg::RowMark::Passed || shown.mark == mfg::RowMark::Failed) {
            progress.end();
            std::printf("%-28s %s\n", mfg::kItemNames[shown.item], markText(shown.mark));
            std::fflush(stdout);
        }
    };
    bool finished = false;
    page.onRunFinished = [&] {
        finished = true;
        loop->quit(0);
    };
    page.start();
    if (!page.programEnded())
        loop->run();
    progress.end();
    if (!finished)
        return 1;
    if (const auto& today = page.today()) {
        std::fprintf(stderr, "today at %s: %s\n", station.c_str(), mfg::dayCountText(*today).c_str());
    }
    auto sayInterrupted = [&page] {
        // On stdout with the item lines: the board's state goes with them.
        if (page.macConsumed())
            std::printf("interrupted; the board passed and MAC %s was consumed\n", page.consumedMac().c_str());
        else if (page.macWritten())
            std::printf("interrupted; %s", page.boardHoldsText().c_str());
        else
            std::printf("interrupted; the MAC was not consumed\n");
        return 128 + g_signal;
    };
    if (page.interrupted())
        return sayInterrupted();
    int status = 1;
    if (page.picture() == mfg::ResultPicture::Pass) {
        std::printf("PASS\n%s", page.ResultMessage.c_str());
        status = 0;
    } else if (page.picture() == mfg::ResultPicture::PassNotRecorded) {
        // A good board, but no success: the station's records miss it.
        std::printf("PASS, NOT RECORDED\n%s", page.ResultMessage.c_str());
        status = 3;
    } else {
        std::printf("FAIL\n%s", page.ResultMessage.c_str());
        if (!page.ResultMessage.empty() && page.ResultMessage.back() != '\n')
            std::printf("\n");
    }
    return g_signal ? sayInterrupted() : status;
}

} // namespace kellan_mp
