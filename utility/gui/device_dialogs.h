#pragma once

#include "utility/devmgmt/device_view.h"

#include <QDialog>

class QButtonGroup;
class QCheckBox;
class QLineEdit;
class QRadioButton;
class QSpinBox;

namespace utility::gui {

// "Devices Searching": broadcast or multicast, with their addresses, TTL and
// loopback. Both buttons hand back the edited values once they pass the check.
class DevicesSearchingDialog final : public QDialog {
    Q_OBJECT
public:
    DevicesSearchingDialog(devmgmt::SearchSettings settings, platform::Prompter& prompter, QWidget* parent = nullptr);
    devmgmt::SearchSettings settings() const;
    bool searchChosen() const { return m_search; }

private:
    void updateEnabling();
    void finish(bool search);

    platform::Prompter& m_prompter;
    QRadioButton* m_multicast;
    QRadioButton* m_broadcast;
    QLineEdit* m_multicastIp;
    QLineEdit* m_ttl;
    QCheckBox* m_loopback;
    QLineEdit* m_broadcastIp;
    bool m_search = false;
};

// "IP Searching": one address field.
class IpSearchingDialog final : public QDialog {
    Q_OBJECT
public:
    IpSearchingDialog(const std::string& address, QWidget* parent = nullptr);
    std::string address() const;
    bool searchChosen() const { return m_search; }

private:
    QLineEdit* m_address;
    bool m_search = false;
};

// "Setting": the three timer periods.
class SettingDialog final : public QDialog {
    Q_OBJECT
public:
    SettingDialog(const devmgmt::Periods& periods, platform::Prompter& prompter, QWidget* parent = nullptr);
    devmgmt::Periods periods() const;
    bool okChosen() const { return m_ok; }

private:
    void finish(bool ok);

    platform::Prompter& m_prompter;
    QLineEdit* m_search;
    QLineEdit* m_restore;
    QLineEdit* m_reboot;
    bool m_ok = false;
};

// The device view's dialogs as modal Qt dialogs.
class QtDeviceDialogs final : public devmgmt::DeviceDialogs {
public:
    QtDeviceDialogs(platform::Prompter& prompter, QWidget* parent)
        : m_prompter(prompter)
        , m_parent(parent)
    {
    }
    void setParent(QWidget* parent) { m_parent = parent; }
    devmgmt::DialogResult devicesSearching(devmgmt::SearchSettings& settings) override;
    devmgmt::DialogResult ipSearching(std::string& address) override;
    devmgmt::DialogResult setting(devmgmt::Periods& periods) override;

private:
    platform::Prompter& m_prompter;
    QWidget* m_parent;
};

} // namespace utility::gui
