#pragma once

#include "utility/services/dhcp_view.h"

#include <QWidget>

#include <array>
#include <functional>

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace widgets {
class ReportList;
}

namespace utility::gui {

class MainWindow;

// The DHCP server page: binds the DHCP view's controller to its address
// fields, Start/Stop button, mapping list with its Delete buttons and log box.
class DhcpViewWidget final : public QWidget {
    Q_OBJECT
public:
    enum Field { Start, End, Gateway, Netmask, Dns, Server, FieldCount };

    DhcpViewWidget(services::DhcpView& view, QWidget* parent = nullptr);

    // Redraws everything from the controller (the log box only grows).
    void refresh();
    // Hands what the fields show to the controller (it keeps them only while
    // the server is stopped).
    void takeFields();
    void appendLog(const std::string& text);
    // Who asks before Delete All drops every mapping (none: nobody asks).
    void setPrompter(platform::Prompter* prompter) { m_prompter = prompter; }

    QLineEdit* field(Field field) const { return m_fields[field]; }
    QLineEdit* bootFile() const { return m_bootFile; }
    QPushButton* startButton() const { return m_start; }
    QPushButton* deleteButton() const { return m_delete; }
    QPushButton* deleteAllButton() const { return m_deleteAll; }
    widgets::ReportList* list() const { return m_list; }
    QPlainTextEdit* log() const { return m_log; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    services::DhcpView& m_view;
    platform::Prompter* m_prompter = nullptr;
    std::array<QLineEdit*, FieldCount> m_fields {};
    QLineEdit* m_bootFile;
    QPushButton* m_start;
    QPushButton* m_delete;
    QPushButton* m_deleteAll;
    widgets::ReportList* m_list;
    QPlainTextEdit* m_log;
};

// Places the page into the frame and binds it: the page redraws after every
// change of the controller, and the toolbar's DHCP button shows the server's
// real running state (a failed start leaves it unchecked). Returns what the
// toolbar command does (FrameActions::toggleDhcp).
std::function<void()> bindDhcpView(MainWindow& window, services::DhcpView& view, DhcpViewWidget* widget);

} // namespace utility::gui
