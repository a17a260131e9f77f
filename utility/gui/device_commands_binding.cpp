#include "utility/gui/device_commands_binding.h"

#include "utility/gui/device_view_widget.h"
#include "widgets/dialog_title.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace utility::gui {

FirmwareUpgradeDialog::FirmwareUpgradeDialog(
    devmgmt::UpgradeSettings& settings, platform::Prompter& prompter, QWidget* parent)
    : QDialog(parent)
    , m_settings(settings)
    , m_prompter(prompter)
{
    setObjectName(QStringLiteral("FirmwareUpgradeDialog"));
    setWindowTitle(QStringLiteral("Firmware Upgrade"));
    auto* layout = new QVBoxLayout(this);

    auto* serverGroup = new QGroupBox(QStringLiteral("TFTP Server IP Address"), this);
    auto* serverRow = new QHBoxLayout(serverGroup);
    m_server = new QLineEdit(QString::fromStdString(settings.server), serverGroup);
    m_server->setObjectName(QStringLiteral("tftpServer"));
    m_server->setMaxLength(15);
    serverRow->addWidget(m_server);
    layout->addWidget(serverGroup);

    auto* timerGroup = new QGroupBox(QStringLiteral("Timer"), this);
    auto* timerRow = new QHBoxLayout(timerGroup);
    timerRow->addWidget(new QLabel(QStringLiteral("Upgrade Period"), timerGroup));
    m_period = new QLineEdit(QString::number(settings.period), timerGroup);
    m_period->setObjectName(QStringLiteral("upgradePeriod"));
    // Digits only; an empty field is allowed while typing and corrected on leaving.
    m_period->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), m_period));
    m_period->setFixedWidth(60);
    timerRow->addWidget(m_period);
    timerRow->addWidget(new QLabel(QStringLiteral("(sec / device)"), timerGroup));
    timerRow->addStretch();
    layout->addWidget(timerGroup);

    auto* fileGroup = new QGroupBox(QStringLiteral("Production Firmware Name"), this);
    auto* fileRow = new QHBoxLayout(fileGroup);
    m_file = new QLineEdit(QString::fromStdString(settings.fileName), fileGroup);
    m_file->setObjectName(QStringLiteral("firmwareName"));
    m_file->setMaxLength(128);
    auto* browseButton = new QPushButton(QStringLiteral("..."), fileGroup);
    browseButton->setObjectName(QStringLiteral("browse"));
    fileRow->addWidget(m_file, 1);
    fileRow->addWidget(browseButton);
    layout->addWidget(fileGroup);

    auto* buttons = new QHBoxLayout;
    auto* upgrade = new QPushButton(QStringLiteral("Upgrade Firmware"), this);
    upgrade->setObjectName(QStringLiteral("upgradeFirmware"));
    upgrade->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    buttons->addStretch();
    buttons->addWidget(upgrade);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    // The period is corrected when the field is left (or the dialog
    // accepted): correcting every keystroke turned the "2" of "20" into 10
    // and made the field impossible to empty.
    connect(m_period, &QLineEdit::editingFinished, this, [this] { correctPeriod(); });
    connect(browseButton, &QPushButton::clicked, this, [this] { browse(); });
    connect(upgrade, &QPushButton::clicked, this, [this] {
        takeFields();
        if (auto error = devmgmt::validateUpgrade(m_settings)) {
            m_prompter.message(*error, "Firmware Upgrade", platform::MessageIcon::Warning);
            return;
        }
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
    widgets::widenForTitle(*this);
}

void FirmwareUpgradeDialog::correctPeriod()
{
    const QString corrected = QString::number(devmgmt::clampUpgradePeriod(m_period->text().toInt()));
    if (m_period->text() != corrected)
        m_period->setText(corrected);
}

void FirmwareUpgradeDialog::takeFields()
{
    correctPeriod();
    m_settings.period = devmgmt::clampUpgradePeriod(m_period->text().toInt());
    m_settings.server = m_server->text().trimmed().toStdString();
    m_settings.fileName = m_file->text().toStdString();
}

void FirmwareUpgradeDialog::browse()
{
    // "Binary files(*.bin)|*.bin|" as the dialog's own filter.
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open"), QString(), QStringLiteral("Binary files(*.bin) (*.bin)"));
    if (path.isEmpty())
        return;
    const auto chosen = devmgmt::browsedFileName(path.toStdString());
    if (chosen.error) {
        m_prompter.message(*chosen.error, "Firmware Upgrade", platform::MessageIcon::Warning);
        return;
    }
    m_file->setText(QString::fromStdString(*chosen.name));
}

DeviceCommandsBinding::DeviceCommandsBinding(platform::EventLoop& loop, devmgmt::DeviceView& view,
    DeviceViewWidget& widget, platform::Prompter& prompter, QWidget* dialogParent)
    : m_prompter(prompter)
    , m_dialogParent(dialogParent)
    , m_restore(std::make_unique<devmgmt::DeviceRestore>(loop, view, prompter))
    , m_reboot(std::make_unique<devmgmt::DeviceReboot>(loop, view, prompter))
{
    m_upgrade = std::make_unique<devmgmt::FirmwareUpgrade>(loop, view, prompter, static_cast<UpgradeDialog&>(*this));
    connect(widget.button(devmgmt::Button::Restore), &QPushButton::clicked, this, [this] { m_restore->start(); });
    connect(widget.button(devmgmt::Button::Reboot), &QPushButton::clicked, this, [this] { m_reboot->start(); });
    connect(
        widget.button(devmgmt::Button::FirmwareUpgrade), &QPushButton::clicked, this, [this] { m_upgrade->start(); });
}

DeviceCommandsBinding::~DeviceCommandsBinding() = default;

bool DeviceCommandsBinding::show(devmgmt::UpgradeSettings& settings)
{
    FirmwareUpgradeDialog dialog(settings, m_prompter, m_dialogParent);
    return dialog.exec() == QDialog::Accepted;
}

} // namespace utility::gui
