#pragma once

#include "mfg/gui/option_page_view.h"
#include "mfg/gui/sequence_thread.h"
#include "mfg/gui/test_page_view.h"

#include <QDialog>

class QPushButton;
class QTabWidget;

namespace mfg::gui {

// The main window: a sheet titled with the program's name and version, the
// Test page first and the Option page, and one "Exit" button.
class MainSheet final : public QDialog {
    Q_OBJECT
public:
    MainSheet(const Surroundings& surroundings, platform::EventLoop& loop, platform::Prompter& prompter,
        PortProbe probe = {}, QWidget* parent = nullptr);
    ~MainSheet() override;

    TestPageView* testPage() const { return m_test; }
    OptionPageView* optionPage() const { return m_option; }
    QTabWidget* tabs() const { return m_tabs; }
    QPushButton* exitButton() const { return m_exit; }
    SequenceThread& sequence() { return *m_sequence; }
    const SequenceThread::View& lastView() const { return m_view; }

private:
    void pageChanged(int index);

    std::unique_ptr<platform::Prompter> m_prompter;
    std::unique_ptr<SequenceThread> m_sequence;
    SequenceThread::View m_view;
    QTabWidget* m_tabs;
    TestPageView* m_test;
    OptionPageView* m_option;
    QPushButton* m_exit;
};

// `kellan-mp` without a command: the window; with a folder, pictures of its
// pages saved there instead (off screen).
struct GuiOptions {
    std::string screenshotDir;
};
bool guiAvailable();
int runKellanGui(int argc, char** argv, const GuiOptions& options);

} // namespace mfg::gui
