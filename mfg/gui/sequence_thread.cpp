#include "mfg/gui/sequence_thread.h"

#include "platform/com_names.h"
#include "platform/text_file.h"

namespace mfg::gui {

// Hands every box of the sequence to the window's prompter on the window's
// thread and waits for its answer. Once the window has gone, every box takes
// its default answer at once so that the sequence can run to its end.
class SequenceThread::ForwardingPrompter final : public platform::Prompter,
                                                 public std::enable_shared_from_this<ForwardingPrompter> {
public:
    ForwardingPrompter(platform::EventLoop& window, platform::Prompter& target)
        : m_window(window)
        , m_target(&target)
    {
    }

    void close()
    {
        std::lock_guard lock(m_mutex);
        m_target = nullptr;
        m_changed.notify_all();
    }

    void message(const std::string& text, const std::string& title, platform::MessageIcon icon) override
    {
        ask<bool>([=](platform::Prompter& target) { return target.message(text, title, icon), true; }, true);
    }
    bool confirm(const std::string& text, const std::string& title, platform::MessageIcon icon, bool yes) override
    {
        return ask<bool>([=](platform::Prompter& target) { return target.confirm(text, title, icon, yes); }, yes);
    }
    int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected) override
    {
        return ask<int>(
            [=](platform::Prompter& target) { return target.choose(title, text, label, options, preselected); },
            preselected);
    }
    std::string openFile(const std::string& title, const std::string& filter, const std::string& proposed) override
    {
        return ask<std::string>(
            [=](platform::Prompter& target) { return target.openFile(title, filter, proposed); }, {});
    }
    std::string saveFile(const std::string& title, const std::string& filter, const std::string& proposed) override
    {
        return ask<std::string>(
            [=](platform::Prompter& target) { return target.saveFile(title, filter, proposed); }, {});
    }
    std::string chooseFolder(const std::string& title, const std::string& start) override
    {
        return ask<std::string>([=](platform::Prompter& target) { return target.chooseFolder(title, start); }, {});
    }
    void beep(int frequencyHz, int durationMs) override
    {
        ask<bool>([=](platform::Prompter& target) { return target.beep(frequencyHz, durationMs), true; }, true);
    }

private:
    template <typename Answer> Answer ask(std::function<Answer(platform::Prompter&)> question, Answer fallback)
    {
        struct Pending {
            bool answered = false;
            Answer answer {};
        };
        auto pending = std::make_shared<Pending>();
        {
            std::lock_guard lock(m_mutex);
            if (!m_target)
                return fallback;
        }
        std::weak_ptr<ForwardingPrompter> self = shared_from_this();
        m_window.post([self, pending, question] {
            auto prompter = self.lock();
            if (!prompter)
                return;
            platform::Prompter* target;
            {
                std::lock_guard lock(prompter->m_mutex);
                target = prompter->m_target;
            }
            // The box runs a nested loop of the window: the lock is not held.
            Answer answer = target ? question(*target) : Answer {};
            std::lock_guard lock(prompter->m_mutex);
            pending->answer = std::move(answer);
            pending->answered = true;
            prompter->m_changed.notify_all();
        });
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return pending->answered || !m_target; });
        return pending->answered ? pending->answer : fallback;
    }

    platform::EventLoop& m_window;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    platform::Prompter* m_target;
};

SequenceThread::SequenceThread(
    const Surroundings& surroundings, platform::EventLoop& window, platform::Prompter& prompter)
    : m_surroundings(surroundings)
    , m_window(window)
    , m_prompter(std::make_shared<ForwardingPrompter>(window, prompter))
    , m_alive(std::make_shared<bool>(true))
{
    platform::Clock& clock = m_surroundings.clock ? *m_surroundings.clock : platform::RealClock::instance();
    if (!m_surroundings.opener)
        m_surroundings.opener = systemSerialOpener(clock, platform::ComNameResolver::fromEnvironment());
    if (m_surroundings.directory.empty())
        m_surroundings.directory = platform::currentDirectory();
    m_trace.configureFromEnvironment();
    m_loop = platform::makeEpollLoop(clock);
    m_thread = std::thread([this] { m_loop->run(); });
    onSequence([this, &clock] {
        TestPage::Environment environment { *m_loop, clock, *m_prompter, m_trace, m_surroundings.opener,
            m_surroundings.directory, m_surroundings.portIo, {}, {} };
        std::weak_ptr<bool> alive = m_alive;
        environment.endProgram = [this, alive] {
            m_window.post([this, alive] {
                if (alive.lock() && onProgramEnded)
                    onProgramEnded();
            });
        };
        if (m_surroundings.forgetNeighbour)
            environment.forgetNeighbour = m_surroundings.forgetNeighbour;
        environment.bootpPort = m_surroundings.bootpPort;
        environment.tftpPort = m_surroundings.tftpPort;
        environment.settings = &m_settings;
        auto records = openStationRecords(m_surroundings.directory, m_surroundings.recordsUrl);
        RunRecorder::Setup recording { nullptr, false,
            m_surroundings.station.empty() ? defaultStationName() : m_surroundings.station, operatorLogin(),
            programVersion(), {} };
        if (records) {
            m_records = std::move(records.value());
            recording.store = m_records.store.get();
            recording.sharedMacs = m_records.shared;
        } else {
            bool shared = false;
            (void)stationRecordsUrl(m_surroundings.directory, m_surroundings.recordsUrl, shared);
            recording.sharedMacs = shared;
            recording.storeProblem = records.error().message;
            m_prompter->message("Production records: " + records.error().message + "\n\n" + kCannotRecordNote,
                "Production records", platform::MessageIcon::Warning);
        }
        m_recorder = std::make_unique<RunRecorder>(recording, clock);
        environment.recorder = m_recorder.get();
        environment.interruptRequested = [this] { return m_stopRequested.load(); };
        m_page = std::make_unique<TestPage>(environment);
        m_page->onRowChanged = [this](int) { publish(); };
        m_page->onPictureChanged = [this] { publish(); };
        m_page->onRunFinished = [this, alive] {
            ++m_startsAnswered;
            publish();
            m_window.post([this, alive] {
                if (alive.lock() && onRunFinished)
                    onRunFinished();
            });
        };
    });
}

SequenceThread::~SequenceThread()
{
    m_alive.reset();
    m_prompter->close();
    // The loop stops between two steps; the page goes once its thread has
    // ended, so that no timer of the page can fire into a destroyed page.
    // (Posted: a quit before the loop has started running would be lost.)
    m_loop->post([this] { m_loop->quit(0); });
    m_thread.join();
    m_page.reset();
    m_recorder.reset();
}

void SequenceThread::onSequence(std::function<void()> call) { m_loop->post(std::move(call)); }

void SequenceThread::create()
{
    onSequence([this] {
        m_page->create();
        publish();
    });
}

void SequenceThread::activate()
{
    onSequence([this] {
        m_page->activate();
        publish();
    });
}

void SequenceThread::start()
{
    ++m_startsRequested;
    onSequence([this] {
        if (!m_page->startEnabled()) {
            ++m_startsAnswered;
            publish();
            return;
        }
        // A store that was away when the window opened (a database being
        // restarted) is tried again at each START; a PostgreSQL connection
        // lost later connects again by itself at its next statement.
        if (!m_recorder->hasStore() && m_surroundings.recordsUrl != kNoRecords) {
            auto reopened = openStationRecords(m_surroundings.directory, m_surroundings.recordsUrl);
            if (reopened) {
                m_records = std::move(reopened.value());
                m_recorder->useStore(m_records.store.get(), m_records.shared);
            } else {
                // As `run`: a station that cannot record tests no board.
                m_prompter->message("Production records: " + reopened.error().message + "\n\n" + kCannotRecordNote,
                    "Production records", platform::MessageIcon::Error);
                ++m_startsAnswered;
                publish();
                return;
            }
        }
        m_page->start();
        if (m_page->programEnded())
            ++m_startsAnswered;
        publish();
    });
}

void SequenceThread::setPortIo(platform::PortIo* portIo)
{
    onSequence([this, portIo] {
        if (!m_page->running())
            m_page->setPortIo(portIo);
    });
}

void SequenceThread::applyOptions(const MfgSettings& options)
{
    onSequence([this, options] {
        // A run in progress keeps the values it started with: its parsed
        // MAC range above all, which AdvanceMac steps at its end.
        if (m_page->running())
            return;
        m_settings.loaderPath = options.loaderPath;
        m_settings.testFirmwarePath = options.testFirmwarePath;
        m_settings.productionFirmwarePath = options.productionFirmwarePath;
        m_settings.eepromPath = options.eepromPath;
        m_settings.logPath = options.logPath;
        m_settings.clientAddress = options.clientAddress;
        m_settings.currentMac = options.currentMac;
        m_settings.endMac = options.endMac;
        m_settings.macValuesParsed = false;
        m_settings.erase_wait_time = options.erase_wait_time;
        publish();
    });
}

void SequenceThread::publish()
{
    View view;
    view.rows = m_page->rows();
    view.picture = m_page->picture();
    view.startText = m_page->startText();
    view.startEnabled = m_page->startEnabled();
    view.errorMessage = m_page->errorMessage();
    view.resultMessage = m_page->ResultMessage;
    view.settings = m_settings;
    view.startsAnswered = m_startsAnswered;
    view.today = m_page->today();
    std::weak_ptr<bool> alive = m_alive;
    m_window.post([this, alive, view = std::move(view)] {
        if (alive.lock() && onView)
            onView(view);
    });
}

} // namespace mfg::gui
