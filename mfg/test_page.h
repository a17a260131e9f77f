#pragma once

#include "mfg/config_files.h"
#include "mfg/debug_output.h"
#include "mfg/firmware_server.h"
#include "mfg/isp.h"
#include "mfg/run_recorder.h"
#include "mfg/serial_link.h"
#include "platform/event_loop.h"
#include "platform/port_io.h"
#include "platform/prompter.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mfg {

inline constexpr const char* kProgramTitle = "Kellan Manufacture Program    Version 1.8.1";

// How a row of the Test page's list looks.
enum class RowMark {
    Initial, // grey, no marks
    Running, // arrow, blue
    Passed, // black, tick
    Failed, // red, cross
};

// The big result picture.
// PassNotRecorded: the board passed, and the run's record could not be saved.
enum class ResultPicture { Blank, Pass, Fail, PassNotRecorded };

struct TestRow {
    int item = 0; // bit in ItemMask
    RowMark mark = RowMark::Initial;
    bool resultShown = false; // the tick or cross column has been set
};

// The Test page: the production sequence of one board as a chain of short
// steps carried by a 1 ms timer, the list of items with their marks, the
// result picture and the error text. Steps block while they wait for the
// board, through the clock and the serial link.
class TestPage {
public:
    struct Environment {
        platform::EventLoop& loop;
        platform::Clock& clock;
        platform::Prompter& prompter;
        DebugOutput& trace;
        SerialOpener opener;
        std::string directory; // where Option.dat, com.dat and item.dat live
        platform::PortIo* portIo = nullptr; // null: no direct UART access
        // Ends the whole program (after the COM port could not be opened).
        std::function<void()> endProgram;
        // Makes the PC forget the hardware address of the board's address;
        // not waited for, its failure does not matter. Default: the system's
        // neighbour table through "ip neigh flush".
        std::function<void(const std::string& address)> forgetNeighbour;
        std::uint16_t bootpPort = 67;
        std::uint16_t tftpPort = 69;
        // The settings shared with the Option page; null: the page keeps its own.
        MfgSettings* settings = nullptr;
        // Asked between two steps: true ends the run there (Ctrl+C). Steps
        // are not cut short: a step leaves the board and Option.dat as they
        // belong together (a MAC written and consumed, or neither).
        std::function<bool()> interruptRequested = {};
        // Records every run and, with a shared store, leases its MAC address;
        // null: only the failed-board log of Option.dat.
        RunRecorder* recorder = nullptr;
        // Told how each firmware download goes; null: nobody watches.
        std::function<void(const DownloadProgress&)> downloadProgress = {};
    };

    explicit TestPage(Environment environment);

    // The page is created: Option.dat, the server address, the blank picture.
    void create();
    // The page comes to the front: item.dat and com.dat again, the list
    // rebuilt. During a run this waits for the run's end, and then keeps the
    // run's marks when the selection is the same.
    void activate();
    // START.
    void start();

    // What the page shows.
    const std::vector<TestRow>& rows() const { return m_rows; }
    ResultPicture picture() const { return m_picture; }
    const std::string& startText() const { return m_startText; }
    bool startEnabled() const { return m_startEnabled; }
    const std::string& errorMessage() const { return m_errorMessage; }
    bool running() const { return !m_startEnabled; }
    bool programEnded() const { return m_programEnded; }
    // The last run ended on an interruption; whether it had consumed its MAC.
    bool interrupted() const { return m_interrupted; }
    bool macConsumed() const { return m_macConsumed; }
    const std::string& consumedMac() const { return m_consumedMac; }
    // The last run wrote (or began to write) its address into the board.
    bool macWritten() const { return m_macWritten; }
    // "This board holds MAC, which the next board will get: test it again."
    std::string boardHoldsText() const;
    // What the operator is told when a passing run's record was not saved.
    std::string passNotRecordedText() const;
    // This station's boards of the day from the records (after create() and
    // every run); nothing without records.
    const std::optional<records::DayCount>& today() const { return m_today; }

    // Direct UART access from the next run on; null: serial driver only.
    void setPortIo(platform::PortIo* portIo);

    // Run state.
    std::uint16_t SequenceState = 0;
    std::uint8_t PassFlag = 1;
    int RowIndex = 0;
    int ResetRetries = 0;
    std::string ResultMessage;
    platform::Ipv4 ServerAddress = 0;

    MfgSettings& settings() { return m_settings; }
    SerialLink& link() { return m_link; }
    IspSession& isp() { return m_isp; }

    // Called when a row's mark changes, and when a run has ended.
    std::function<void(int row)> onRowChanged;
    std::function<void()> onRunFinished;
    std::function<void()> onPictureChanged;

private:
    static constexpr std::uint16_t kEndOfRun = 99;

    void tick();
    void runStep(std::uint16_t step);
    void next(std::uint16_t step);
    void markRow(int row, RowMark mark);
    void itemPassed(std::uint16_t nextStep);
    void itemFailed(const std::string& text);
    void selectStep(int bit, std::uint16_t ifSelected, std::uint16_t otherwise);
    bool selected(int bit) const { return (m_settings.ItemMask >> bit) & 1; }
    bool openForTestFirmware();
    bool openForIsp();
    void failToOpen();
    FirmwareServer::Setup serverSetup() const;

    void step0();
    void step1();
    void step3();
    void selfTest(int bit, std::uint16_t nextStep);
    void step13();
    void step15();
    void step99();
    void endInterrupted();
    void runEnded();
    // Consumes the run's address; false (the reason added) when it could
    // not be recorded as used.
    bool advanceMac();
    void reloadSelection(bool keepMarks);
    bool sendReset(std::string& failure);
    enum class ResetWait { Got, Failed, Retry };
    ResetWait waitForBootLoader(std::string& failure);

    Environment m_env;
    MfgSettings m_ownSettings;
    MfgSettings& m_settings;
    SerialLink m_link;
    IspSession m_isp;
    FirmwareServer m_server;
    std::vector<TestRow> m_rows;
    ResultPicture m_picture = ResultPicture::Blank;
    std::string m_startText = "START";
    bool m_startEnabled = true;
    std::string m_errorMessage;
    bool m_reentry = false;
    platform::TimerId m_timer = 0;
    bool m_loaderRan = false; // the boot loader was downloaded in this run
    bool m_programEnded = false;
    bool m_activationDeferred = false;
    bool m_interrupted = false;
    bool m_macConsumed = false;
    bool m_macWritten = false;
    std::string m_consumedMac;
    std::optional<records::DayCount> m_today;
    platform::TimePoint m_stepStart {};
};

} // namespace mfg
