#pragma once

#include "utility/devmgmt/device_view.h"

#include <QWidget>

#include <array>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace widgets {
class ReportList;
}

namespace utility::gui {

// The device management page: binds the device view's controller to its
// buttons, list, status line and progress bar.
class DeviceViewWidget final : public QWidget {
    Q_OBJECT
public:
    DeviceViewWidget(devmgmt::DeviceView& view, QWidget* parent = nullptr);

    // Redraws everything from the controller.
    void refresh();

    widgets::ReportList* list() const { return m_list; }
    QPushButton* button(devmgmt::Button button) const { return m_buttons[static_cast<int>(button)]; }
    QCheckBox* externalBrowserBox() const { return m_externalBrowser; }
    QCheckBox* searchAtStartBox() const { return m_searchAtStart; }
    QLabel* statusLabel() const { return m_status; }
    QProgressBar* progressBar() const { return m_progress; }

private:
    devmgmt::DeviceView& m_view;
    widgets::ReportList* m_list;
    std::array<QPushButton*, devmgmt::kButtonCount> m_buttons {};
    QCheckBox* m_externalBrowser;
    QCheckBox* m_searchAtStart;
    QLabel* m_status;
    QProgressBar* m_progress;
};

} // namespace utility::gui
