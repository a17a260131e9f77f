#pragma once

#include "utility/services/tftp_server.h"

#include <QWidget>

class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace utility::gui {

class MainWindow;
struct FrameActions;

// The TFTP server page: Start/Stop, the "File Path" with its "..." chooser,
// the progress bar, the running transfers and the log, bound to the
// server's controller.
class TftpView final : public QWidget {
    Q_OBJECT
public:
    explicit TftpView(services::TftpServer& server, QWidget* parent = nullptr);

    // Start/Stop from the button or the toolbar: the typed path is used.
    void toggle();
    // Redraws everything from the controller.
    void refresh();

    QPushButton* startButton() const { return m_start; }
    QLineEdit* pathEdit() const { return m_path; }
    QPlainTextEdit* logBox() const { return m_log; }
    QProgressBar* progressBar() const { return m_progress; }
    // One row per running transfer: client, transfer port, file, blocks.
    QTreeWidget* transferList() const { return m_transfers; }

private:
    services::TftpServer& m_server;
    QPushButton* m_start;
    QLineEdit* m_path;
    QPushButton* m_browse;
    QProgressBar* m_progress;
    QTreeWidget* m_transfers;
    QPlainTextEdit* m_log;
    std::uint64_t m_shownLog = 0; // log texts already in the box
};

// Puts the view into the window's top pane and ties the toolbar's TFTP
// command to it: the command toggles the server, and the button's check
// follows the server's real state after every toggle.
TftpView* installTftpView(MainWindow& window, FrameActions& actions, services::TftpServer& server);

} // namespace utility::gui
