#pragma once

#include "platform/event_loop.h"
#include "platform/prompter.h"
#include "utility/devmgmt/device_commands.h"
#include "utility/devmgmt/device_view.h"

#include <QDialog>
#include <QObject>

#include <memory>

class QLineEdit;
class QSpinBox;

namespace utility::gui {

class DeviceViewWidget;

// "Firmware Upgrade": the TFTP server address, the upgrade period and the
// firmware file name with its browse button.
class FirmwareUpgradeDialog final : public QDialog {
    Q_OBJECT
public:
    FirmwareUpgradeDialog(devmgmt::UpgradeSettings& settings, platform::Prompter& prompter, QWidget* parent = nullptr);

    QLineEdit* serverEdit() const { return m_server; }
    QLineEdit* periodEdit() const { return m_period; }
    QLineEdit* fileEdit() const { return m_file; }

private:
    void correctPeriod();
    void takeFields();
    void browse();

    devmgmt::UpgradeSettings& m_settings;
    platform::Prompter& m_prompter;
    QLineEdit* m_server;
    QLineEdit* m_period;
    QLineEdit* m_file;
};

// Binds "Restore", "Reboot" and "Firmware Upgrade" of the device view to
// their controllers; the upgrade dialog is shown modally.
class DeviceCommandsBinding final : public QObject, private devmgmt::UpgradeDialog {
    Q_OBJECT
public:
    DeviceCommandsBinding(platform::EventLoop& loop, devmgmt::DeviceView& view, DeviceViewWidget& widget,
        platform::Prompter& prompter, QWidget* dialogParent);
    ~DeviceCommandsBinding() override;

    devmgmt::DeviceRestore& restore() { return *m_restore; }
    devmgmt::DeviceReboot& reboot() { return *m_reboot; }
    devmgmt::FirmwareUpgrade& upgrade() { return *m_upgrade; }

private:
    bool show(devmgmt::UpgradeSettings& settings) override;

    platform::Prompter& m_prompter;
    QWidget* m_dialogParent;
    std::unique_ptr<devmgmt::DeviceRestore> m_restore;
    std::unique_ptr<devmgmt::DeviceReboot> m_reboot;
    std::unique_ptr<devmgmt::FirmwareUpgrade> m_upgrade;
};

} // namespace utility::gui
