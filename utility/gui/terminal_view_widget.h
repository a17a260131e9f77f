#pragma once

#include "utility/services/terminal_view.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QWidget>

class QTimer;

#include <array>
#include <deque>
#include <functional>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QScrollArea;

namespace platform {
class Prompter;
}

namespace utility::gui {

class TerminalFileBar;

// The Port list refills itself each time the user opens it.
class PortComboBox final : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    std::function<void()> aboutToOpen;

protected:
    void showPopup() override;
};

// A terminal's log: shows the controller's log and hands typed keys to the
// terminal instead of inserting them.
class TerminalLog final : public QPlainTextEdit {
    Q_OBJECT
public:
    TerminalLog(services::Terminal& terminal, QWidget* parent = nullptr);
    void apply(const services::Terminal::LogChange& change);
    // How received bytes are shown from now on: as hex pairs, each block
    // on a line of its own after the time it came.
    void setHex(bool on) { m_hex = on; }
    void setTimeStamps(bool on) { m_timeStamps = on; }
    // Keys go out as they are (spaces and bytes from 0x80 included), Enter
    // as `lineEnd`, instead of by the terminal's typing rules.
    void setAsTyped(bool on) { m_asTyped = on; }
    void setLineEnd(std::string lineEnd) { m_lineEnd = std::move(lineEnd); }
    // What is sent is shown as received bytes are.
    void setLocalEcho(bool on) { m_localEcho = on; }
    // Gets everything the log shows, as it is shown (the log file).
    void setShownCallback(std::function<void(const std::string&)> shown) { m_shown = std::move(shown); }
    // While it answers true, keys are not sent (a file is going out, and a
    // key would take the place of its next block).
    void setInputBlocked(std::function<bool()> blocked) { m_blocked = std::move(blocked); }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // One key's bytes: by the typing rules (one byte), or as typed.
    struct Key {
        bool asTyped;
        std::string bytes;
    };
    services::Terminal& m_terminal;
    void show(const std::string& text, bool received);
    void send(const Key& key);
    void sendQueued();

    // Keys typed while the port has not taken the last write yet: a write
    // then would take that one's place, so they go out in order as the port
    // takes each.
    std::deque<Key> m_queued;
    QTimer* m_queueTimer;

    bool m_hex = false;
    bool m_timeStamps = false;
    bool m_asTyped = false;
    bool m_localEcho = false;
    std::string m_lineEnd = "\r";
    std::function<void(const std::string&)> m_shown;
    std::function<bool()> m_blocked;
};

// One terminal's controls.
struct TerminalControls {
    PortComboBox* port = nullptr;
    std::array<QComboBox*, 5> lists {}; // baud, data bits, parity, stop bits, flow
    QPushButton* open = nullptr;
    QPushButton* close = nullptr;
    QPushButton* purge = nullptr;
    QPushButton* clearLog = nullptr;
    QCheckBox* autoTest = nullptr;
    QCheckBox* echo = nullptr;
    QCheckBox* hex = nullptr; // received bytes shown as hex pairs
    QCheckBox* timeStamps = nullptr; // each received block after its time
    QCheckBox* asTyped = nullptr; // keys sent as they are
    QComboBox* lineEnd = nullptr; // CR, LF or CR LF for Enter, when as typed
    QCheckBox* localEcho = nullptr; // what is sent shown in the log
    QLineEdit* interval = nullptr;
    QLineEdit* length = nullptr;
    QLineEdit* otherBaud = nullptr; // any rate the port takes; empty: the list's
    TerminalLog* log = nullptr;
    TerminalFileBar* files = nullptr; // Send File and Log to File
};

// The COM Port Terminal view in the bottom pane: both terminals' controls on
// the left, their logs on the right (terminal 1 above, terminal 2 below).
class TerminalViewWidget final : public QWidget {
    Q_OBJECT
public:
    TerminalViewWidget(services::TerminalView& view, const shell::AppSettings& settings, QWidget* parent = nullptr);

    void refresh();
    // For the file choosers of Send File and Log to File.
    void setPrompter(platform::Prompter* prompter);
    // What Send File and Log to File did.
    void setSystemLog(std::function<void(const std::string&)> log);
    const TerminalControls& controls(int index) const { return m_controls[static_cast<std::size_t>(index)]; }
    QScrollArea* scrollArea() const { return m_scroll; }
    // Lines each log keeps in view however low the pane is.
    static constexpr int kLogMinimumLines = 5;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildTerminal(int index);

    services::TerminalView& m_view;
    const shell::AppSettings& m_settings;
    std::array<TerminalControls, 2> m_controls;
    QScrollArea* m_scroll = nullptr;
    bool m_refreshing = false;
};

} // namespace utility::gui
