#pragma once

#include "mfg/gui/option_page_view.h"
#include "mfg/gui/sequence_thread.h"
#include "mfg/gui/test_page_view.h"
#include "mfg/portio_choice.h"

#include <QDialog>

class QPushButton;
class QTabWidget;

namespace widgets {
class HelpWindow;
}

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
    // A START was pressed and its run has not been seen to end.
    bool busy() const { return m_busy; }
    const std::string& portIoText() const { return m_portIoText; }

    // Exit, or the window's close button: at once between runs; during a run
    // only when the operator says so, and then after the run's current step
    // (the sequence never goes on without its window).
    void reject() override;

    // F1: the help page at the section of the page shown, in a window of its own.
    void showHelp();
    // Null until help was first asked for.
    widgets::HelpWindow* helpWindow() const { return m_help; }

protected:
    // Escape asks as Exit does during a run, and does nothing between runs.
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool askToStop();
    void pageChanged(int index);
    void viewArrived(const SequenceThread::View& view);
    void setBusy(bool busy);
    void portIoAsked(const std::string& module);

    std::unique_ptr<platform::Prompter> m_prompter;
    std::unique_ptr<SequenceThread> m_sequence;
    SequenceThread::View m_view;
    bool m_busy = false;
    bool m_closeAfterRun = false; // the operator chose to exit during a run
    bool m_portIoGiven = false; // by the surroundings or --portio: the Option page does not decide
    std::unique_ptr<PortIoChoice> m_portIo;
    std::vector<std::unique_ptr<PortIoChoice>> m_retiredPortIo; // the sequence may still point there
    std::string m_portIoText;
    std::string m_directory;
    QTabWidget* m_tabs;
    TestPageView* m_test;
    OptionPageView* m_option;
    QPushButton* m_exit;
    widgets::HelpWindow* m_help = nullptr;
};

// `kellan-mp` without a command: the window; with a folder, pictures of its
// pages saved there instead (off screen).
struct GuiOptions {
    std::string screenshotDir;
    std::string portIoArgument; // --portio MODULE
    std::string recordsUrl; // --records URL
    std::string station; // --station NAME
};
bool guiAvailable();
int runKellanGui(int argc, char** argv, const GuiOptions& options);

} // namespace mfg::gui
