// `kellan-mp run`: the Test page without a window. Message boxes become lines
// on standard error; the operator's prompts are asked on the terminal.

#include "apps/kellan-mp/command.h"
#include "mfg/test_page.h"
#include "platform/event_loop.h"
#include "platform/port_io.h"
#include "platform/termination_signals.h"
#include "platform/text_file.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

namespace kellan_mp {

namespace {

// Answers the operator's "Wait..." box on the terminal (or at once), prints
// every other box on stderr.
class RunPrompter final : public platform::Prompter {
public:
    explicit RunPrompter(bool assumeYes)
        : m_console(assumeYes)
        , m_assumeYes(assumeYes)
    {
    }
    void message(const std::string& text, const std::string& title, platform::MessageIcon icon) override
    {
        m_console.message(text, title, icon);
        if (title == "Wait..." && !m_assumeYes) {
            std::fprintf(stderr, "Press Enter when done. ");
            std::fflush(stderr);
            std::string line;
            std::getline(std::cin, line);
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
};

// Simulators and tests may run the program's waits faster than real time;
// KELLAN_MP_TIME_SCALE=20 makes a 2-second wait take 100 ms.
std::unique_ptr<platform::Clock> makeClock()
{
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

int runCommand(const std::vector<std::string>& arguments)
{
    bool assumeYes = false;
    for (const auto& argument : arguments) {
        if (argument == "--yes" || argument == "-y") {
            assumeYes = true;
        } else {
            std::fprintf(stderr, "kellan-mp run: unknown option %s\nusage: kellan-mp run [--yes]\n", argument.c_str());
            return 2;
        }
    }
    const std::string directory = platform::currentDirectory();
    if (!platform::canOpenForReading(mfg::settingsFilePath(directory, mfg::kOptionFile))) {
        std::fprintf(stderr, "kellan-mp run: %s",
            "Option.dat can not be found ...\nPlease config parameters first in Optoin page !!\n");
        return 2;
    }

    auto scaled = makeClock();
    platform::Clock& clock = scaled ? *scaled : platform::RealClock::instance();
    auto loop = platform::makeEpollLoop(clock);
    platform::quitOnTerminationSignals(*loop);
    RunPrompter prompter(assumeYes);
    mfg::DebugOutput trace;
    trace.configureFromEnvironment();
    std::unique_ptr<platform::PortIoModule> portIo;
    if (auto loaded = platform::PortIoModule::load(platform::defaultPortIoModulePath()))
        portIo = std::move(loaded.value());

    mfg::TestPage::Environment environment { *loop, clock, prompter, trace,
        mfg::systemSerialOpener(clock, platform::ComNameResolver::fromEnvironment()), directory, portIo.get(), {}, {} };
    environment.endProgram = [&loop] { loop->quit(1); };
    mfg::TestPage page(environment);
    page.create();
    page.activate();
    page.onRowChanged = [&page](int row) {
        const mfg::TestRow& shown = page.rows()[row];
        if (shown.mark == mfg::RowMark::Passed || shown.mark == mfg::RowMark::Failed) {
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
    if (!finished)
        return 1;
    if (page.picture() == mfg::ResultPicture::Pass) {
        // A passing run's message can only say that Option.dat was not updated.
        std::printf("PASS\n%s", page.ResultMessage.c_str());
        return 0;
    }
    std::printf("FAIL\n%s", page.ResultMessage.c_str());
    if (!page.ResultMessage.empty() && page.ResultMessage.back() != '\n')
        std::printf("\n");
    return 1;
}

} // namespace kellan_mp
