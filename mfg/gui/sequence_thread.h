#pragma once

#include "mfg/station_records.h"
#include "mfg/test_page.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace mfg::gui {

// What the program needs from its surroundings; tests put a simulated board
// and a sped-up clock here.
struct Surroundings {
    platform::Clock* clock = nullptr; // null: the real clock
    SerialOpener opener; // empty: the system's COM names
    std::string directory; // empty: the working directory
    platform::PortIo* portIo = nullptr; // given (tests); null: chosen as asked
    std::string portIoArgument; // --portio MODULE; empty: the Option page's choice
    std::function<void(const std::string&)> forgetNeighbour; // empty: the system's
    std::uint16_t bootpPort = 67;
    std::uint16_t tftpPort = 69;
    std::string recordsUrl; // --records URL; empty: records.dat, else production.db
    std::string station; // empty: the host's name
};

// The Test page's sequence on a thread of its own. Its steps block for
// seconds while they wait for the board and while the firmware server
// serves a file; on their own thread the window keeps repainting, while the
// sequence keeps its order of steps and waits on its own event loop. The
// window sees the page through copies of its state, handed over on the
// window's loop, and answers the sequence's message boxes there too: the
// sequence waits for the answer as it would for a modal box.
class SequenceThread {
public:
    // The page as the window shows it.
    struct View {
        std::vector<TestRow> rows;
        ResultPicture picture = ResultPicture::Blank;
        std::string startText = "START";
        bool startEnabled = true;
        std::string errorMessage;
        std::string resultMessage;
        MfgSettings settings;
        // START requests answered so far: by a run's end, or refused.
        int startsAnswered = 0;
        // The station's boards of the day; nothing without records.
        std::optional<records::DayCount> today;
    };

    SequenceThread(const Surroundings& surroundings, platform::EventLoop& window, platform::Prompter& prompter);
    ~SequenceThread();
    SequenceThread(const SequenceThread&) = delete;
    SequenceThread& operator=(const SequenceThread&) = delete;

    // The page's events, queued to the sequence's thread.
    void create();
    void activate();
    void start();
    // The Option page's Apply: the values it saved take effect from the next
    // run. Between runs only: during a run they are not taken.
    void applyOptions(const MfgSettings& options);
    // Direct UART access from the next run on (between runs).
    void setPortIo(platform::PortIo* portIo);
    // Ends the run going on after its current step (the window closes).
    void stopAfterStep() { m_stopRequested = true; }
    // On the window's thread: START requests made so far. A run goes on
    // while the views have answered fewer.
    int startsRequested() const { return m_startsRequested; }

    // On the window's thread.
    std::function<void(const View&)> onView;
    std::function<void()> onRunFinished;
    std::function<void()> onProgramEnded;

private:
    class ForwardingPrompter;
    void onSequence(std::function<void()> call);
    void publish();

    Surroundings m_surroundings;
    platform::EventLoop& m_window;
    std::shared_ptr<ForwardingPrompter> m_prompter;
    std::unique_ptr<platform::EventLoop> m_loop;
    DebugOutput m_trace;
    MfgSettings m_settings;
    std::unique_ptr<TestPage> m_page; // lives on the sequence's thread
    // The records connection, used on the sequence's thread only.
    StationRecords m_records;
    std::unique_ptr<RunRecorder> m_recorder;
    std::shared_ptr<bool> m_alive; // window-side guard for queued views
    int m_startsRequested = 0; // window's thread
    int m_startsAnswered = 0; // sequence's thread
    std::atomic<bool> m_stopRequested { false }; // set by the window, read between steps
    std::thread m_thread;
};

} // namespace mfg::gui
