#pragma once

#include "mfg/option_page.h"

#include <QDialog>
#include <QWidget>

#include <array>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTreeWidget;

namespace mfg::gui {

// "Test Item Selection": a check box per item, bound to ItemSelection.
class ItemSelectionDialog final : public QDialog {
    Q_OBJECT
public:
    ItemSelectionDialog(ItemSelection& selection, QWidget* parent = nullptr);
    QTreeWidget* list() const { return m_list; }
    // While a run goes on Apply is disabled and says why.
    void setRunning(bool running);

private:
    void showChecks();
    void takeChecks();

    ItemSelection& m_selection;
    QTreeWidget* m_list;
    QPushButton* m_apply;
    QLabel* m_reason;
};

// The Option page: the groups of fields bound to OptionPage.
class OptionPageView final : public QWidget {
    Q_OBJECT
public:
    struct Needs {
        std::string directory;
        platform::Clock& clock;
        platform::Prompter& prompter;
        SerialOpener opener;
        PortProbe probe; // empty: every COM name is tried with the opener
        platform::PortIo* portIo = nullptr; // the port check's as the run's
    };

    explicit OptionPageView(Needs needs, QWidget* parent = nullptr);
    ~OptionPageView() override;

    // The page comes to the front; the first time it reads its files.
    // `currentMac` is the MAC the next board gets.
    void activate(const std::string& currentMac);
    bool setUpDone() const { return m_setUp; }
    // While a run goes on: Apply, the port check and "Test Item Selection"'s
    // Apply are disabled with the reason shown; the run's port is listed.
    void setRunning(bool running, const std::string& portInUse);
    // The module the port check uses, as the run does.
    void setPortIo(platform::PortIo* portIo) { m_isp.setPortIo(portIo); }

    // After a successful Apply, with the values it saved.
    std::function<void(const MfgSettings&)> onApplied;
    // Runs the "Test Item Selection" dialog (tests replace the exec).
    std::function<void(ItemSelectionDialog&)> execItemSelection;

    OptionPage& page() { return m_page; }
    QLineEdit* field(const char* name) const;
    QComboBox* portCombo() const { return m_port; }
    QComboBox* speedCombo() const { return m_speed; }
    QComboBox* eraseCombo() const { return m_erase; }
    QPushButton* button(const char* name) const;
    QLabel* label(const char* name) const;

private:
    void showFields();
    void takeFields();
    void apply();
    void openItemSelection();
    QLineEdit* pathEdit(const char* name, std::string OptionPage::*field);
    QPushButton* browseButton(const char* name, void (OptionPage::*browse)(), QLineEdit* edit);

    Needs m_needs;
    DebugOutput m_trace;
    MfgSettings m_settings;
    OptionPage m_page;
    SerialLink m_link;
    IspSession m_isp;
    bool m_setUp = false;
    bool m_running = false;
    ItemSelectionDialog* m_openDialog = nullptr;
    QLabel* m_runningReason;
    QLabel* m_usedUp;
    QLineEdit* m_portIo;
    QComboBox* m_port;
    QComboBox* m_speed;
    QComboBox* m_erase;
    QLineEdit* m_loader;
    QLineEdit* m_testFirmware;
    QLineEdit* m_productionFirmware;
    QLineEdit* m_eeprom;
    QLineEdit* m_log;
    QLineEdit* m_macStart;
    QLineEdit* m_macEnd;
    QLabel* m_macSource;
    std::array<QSpinBox*, 4> m_address {};
};

} // namespace mfg::gui
