#pragma once

#include "utility/devmgmt/setup_sheet.h"

#include <QDialog>

#include <array>
#include <map>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace utility::gui {

// "Device Setup": the network and serial pages bound to the sheet's
// controller. Submit closes the dialog only when the controller accepts the
// values; Save and Load leave it open.
class SetupSheetDialog final : public QDialog {
    Q_OBJECT
public:
    SetupSheetDialog(devmgmt::SetupSheet& sheet, QWidget* parent = nullptr);
    ~SetupSheetDialog() override;

    // Shows the controller's values and rules.
    void refresh();

    QTabWidget* pages() const { return m_pages; }
    QLineEdit* lineEdit(devmgmt::Item item) const;
    QComboBox* comboBox(devmgmt::Item item) const;
    QCheckBox* checkBox(devmgmt::Item item) const;
    QComboBox* eventBox(int bit) const { return m_events[static_cast<std::size_t>(bit)]; }
    QRadioButton* serverButton() const { return m_server; }
    QRadioButton* clientButton() const { return m_client; }

private:
    QWidget* buildNetworkPage();
    QWidget* buildSerialPage();
    QLineEdit* addLine(devmgmt::Item item, int limit, QWidget* parent);
    QComboBox* addCombo(devmgmt::Item item, const QStringList& entries, QWidget* parent);
    QCheckBox* addCheck(devmgmt::Item item, const QString& label, QWidget* parent);
    void submit();

    devmgmt::SetupSheet& m_sheet;
    QTabWidget* m_pages;
    std::map<devmgmt::Item, QLineEdit*> m_lines;
    std::map<devmgmt::Item, QComboBox*> m_combos;
    std::map<devmgmt::Item, QCheckBox*> m_checks;
    std::array<QComboBox*, 5> m_events {};
    QRadioButton* m_server = nullptr;
    QRadioButton* m_client = nullptr;
    QLabel* m_staticLabel = nullptr;
    QLabel* m_dynamicLabel = nullptr;
};

} // namespace utility::gui
