#pragma once

#include "utility/services/terminal_file.h"

#include <QWidget>

#include <functional>
#include <string>

class QLabel;
class QProgressBar;
class QPushButton;

namespace platform {
class Prompter;
}

namespace utility::services {
class Terminal;
}

namespace utility::gui {

// A terminal's file row: Send File with its progress and Cancel, and Log to
// File, which adds what the terminal's log shows to a file. What they did is
// said beside them and in the system log.
class TerminalFileBar final : public QWidget {
    Q_OBJECT
public:
    TerminalFileBar(platform::EventLoop& loop, services::Terminal& terminal, QWidget* parent = nullptr);

    void setPrompter(platform::Prompter* prompter) { m_prompter = prompter; }
    void setSystemLog(std::function<void(const std::string&)> log) { m_systemLog = std::move(log); }
    // When a send starts or ends (the view enables its other controls).
    void setChangedCallback(std::function<void()> changed) { m_changed = std::move(changed); }
    // Text the terminal's log has just shown; it goes to the log file.
    void shown(const std::string& text);
    // Enables the buttons for the port's state.
    void refresh();

    // The chooser's steps, also for a file named without the chooser.
    void sendFile(const std::string& path);
    void logToFile(const std::string& path);
    void stopLogging();

    bool sending() const { return m_send.running(); }
    bool logging() const { return m_log.isOpen(); }
    QPushButton* sendButton() const { return m_sendButton; }
    QPushButton* cancelButton() const { return m_cancel; }
    QPushButton* logButton() const { return m_logButton; }
    QProgressBar* progress() const { return m_progress; }
    QLabel* status() const { return m_status; }

private:
    void say(const std::string& text);
    void sendFinished(services::TerminalFileSend::Outcome outcome);
    void showProgress();

    services::Terminal& m_terminal;
    services::TerminalFileSend m_send;
    services::TerminalLogFile m_log;
    platform::Prompter* m_prompter = nullptr;
    std::function<void(const std::string&)> m_systemLog;
    std::function<void()> m_changed;
    std::string m_sending; // the file being sent
    QPushButton* m_sendButton;
    QPushButton* m_cancel;
    QPushButton* m_logButton;
    QProgressBar* m_progress;
    QLabel* m_status;
};

} // namespace utility::gui
