#include "utility/gui/device_dialogs.h"

#include "widgets/dialog_title.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace utility::gui {
namespace {

QLineEdit* addressField(const std::string& text, QWidget* parent)
{
    auto* field = new QLineEdit(QString::fromStdString(text), parent);
    field->setMaxLength(15);
    return field;
}

// The dialogs' integer fields: a text that is not a number reads as out of range.
int fieldValue(const QLineEdit* field)
{
    bool ok = false;
    const int value = field->text().trimmed().toInt(&ok);
    return ok ? value : -1;
}

} // namespace

DevicesSearchingDialog::DevicesSearchingDialog(
    devmgmt::SearchSettings settings, platform::Prompter& prompter, QWidget* parent)
    : QDialog(parent)
    , m_prompter(prompter)
{
    setWindowTitle(QStringLiteral("Devices Searching"));
    setObjectName(QStringLiteral("DevicesSearchingDialog"));
    auto* layout = new QVBoxLayout(this);

    auto* multicastBox = new QGroupBox(this);
    auto* multicastLayout = new QFormLayout(multicastBox);
    m_multicast = new QRadioButton(QStringLiteral("Multicast"), multicastBox);
    m_multicastIp = addressField(settings.multicastGroup, multicastBox);
    m_multicastIp->setObjectName(QStringLiteral("multicastIp"));
    m_ttl = new QLineEdit(QString::number(settings.ttl), multicastBox);
    m_ttl->setObjectName(QStringLiteral("ttl"));
    m_loopback = new QCheckBox(QStringLiteral("Loopback"), multicastBox);
    m_loopback->setChecked(settings.loopback);
    multicastLayout->addRow(m_multicast);
    multicastLayout->addRow(QStringLiteral("IP"), m_multicastIp);
    multicastLayout->addRow(QStringLiteral("TTL"), m_ttl);
    multicastLayout->addRow(m_loopback);
    layout->addWidget(multicastBox);

    auto* broadcastBox = new QGroupBox(this);
    auto* broadcastLayout = new QFormLayout(broadcastBox);
    m_broadcast = new QRadioButton(QStringLiteral("Broadcast"), broadcastBox);
    m_broadcastIp = addressField(settings.broadcastAddress, broadcastBox);
    m_broadcastIp->setObjectName(QStringLiteral("broadcastIp"));
    broadcastLayout->addRow(m_broadcast);
    broadcastLayout->addRow(QStringLiteral("IP"), m_broadcastIp);
    layout->addWidget(broadcastBox);

    (settings.kind == devmgmt::SearchKind::Multicast ? m_multicast : m_broadcast)->setChecked(true);
    connect(m_multicast, &QRadioButton::toggled, this, [this] { updateEnabling(); });
    connect(m_broadcast, &QRadioButton::toggled, this, [this] { updateEnabling(); });
    updateEnabling();

    auto* buttons = new QHBoxLayout;
    auto* search = new QPushButton(QStringLiteral("Search"), this);
    search->setObjectName(QStringLiteral("search"));
    search->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    buttons->addStretch();
    buttons->addWidget(search);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(search, &QPushButton::clicked, this, [this] { finish(true); });
    connect(cancel, &QPushButton::clicked, this, [this] { finish(false); });
    widgets::widenForTitle(*this);
}

void DevicesSearchingDialog::updateEnabling()
{
    const bool multicast = m_multicast->isChecked();
    m_multicastIp->setEnabled(multicast);
    m_ttl->setEnabled(multicast);
    m_loopback->setEnabled(multicast);
    m_broadcastIp->setEnabled(!multicast);
}

devmgmt::SearchSettings DevicesSearchingDialog::settings() const
{
    devmgmt::SearchSettings settings;
    settings.kind = m_multicast->isChecked() ? devmgmt::SearchKind::Multicast : devmgmt::SearchKind::Broadcast;
    settings.multicastGroup = m_multicastIp->text().toStdString();
    settings.broadcastAddress = m_broadcastIp->text().toStdString();
    settings.ttl = fieldValue(m_ttl);
    settings.loopback = m_loopback->isChecked();
    return settings;
}

void DevicesSearchingDialog::finish(bool search)
{
    if (auto error = devmgmt::validateSearchSettings(settings())) {
        m_prompter.message(*error, "QELTA", platform::MessageIcon::Warning);
        m_ttl->setFocus();
        return;
    }
    m_search = search;
    search ? accept() : reject();
}

IpSearchingDialog::IpSearchingDialog(const std::string& address, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("IP Searching"));
    setObjectName(QStringLiteral("IpSearchingDialog"));
    auto* layout = new QFormLayout(this);
    m_address = addressField(address, this);
    m_address->setObjectName(QStringLiteral("ip"));
    layout->addRow(QStringLiteral("IP"), m_address);
    auto* buttons = new QDialogButtonBox(this);
    auto* search = buttons->addButton(QStringLiteral("Search"), QDialogButtonBox::AcceptRole);
    search->setObjectName(QStringLiteral("search"));
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole)->setObjectName(QStringLiteral("cancel"));
    layout->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        m_search = true;
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    widgets::widenForTitle(*this);
}

std::string IpSearchingDialog::address() const { return m_address->text().toStdString(); }

SettingDialog::SettingDialog(const devmgmt::Periods& periods, platform::Prompter& prompter, QWidget* parent)
    : QDialog(parent)
    , m_prompter(prompter)
{
    setWindowTitle(QStringLiteral("Setting"));
    setObjectName(QStringLiteral("SettingDialog"));
    auto* layout = new QVBoxLayout(this);
    auto* group = new QGroupBox(QStringLiteral("Timer Setting"), this);
    auto* form = new QFormLayout(group);
    m_search = new QLineEdit(QString::number(periods.search), group);
    m_search->setObjectName(QStringLiteral("searchPeriod"));
    m_restore = new QLineEdit(QString::number(periods.restore), group);
    m_restore->setObjectName(QStringLiteral("restorePeriod"));
    m_reboot = new QLineEdit(QString::number(periods.reboot), group);
    m_reboot->setObjectName(QStringLiteral("rebootPeriod"));
    // The periods count in different units: a bare 10 could be a second or ten.
    const auto withUnit = [group](QLineEdit* field, const QString& unit, const QString& name) {
        auto* row = new QHBoxLayout;
        row->addWidget(field, 1);
        auto* label = new QLabel(unit, group);
        label->setObjectName(name);
        row->addWidget(label);
        return row;
    };
    form->addRow(QStringLiteral("Search period"),
        withUnit(m_search, QStringLiteral("x 100 ms (5 - 1000)"), QStringLiteral("searchPeriodUnit")));
    form->addRow(QStringLiteral("Restore period"),
        withUnit(m_restore, QStringLiteral("x 100 ms (10 - 1000)"), QStringLiteral("restorePeriodUnit")));
    form->addRow(QStringLiteral("Reboot period"),
        withUnit(m_reboot, QStringLiteral("seconds (10 - 1000)"), QStringLiteral("rebootPeriodUnit")));
    layout->addWidget(group);
    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, [this] { finish(true); });
    connect(cancel, &QPushButton::clicked, this, [this] { finish(false); });
    widgets::widenForTitle(*this);
}

devmgmt::Periods SettingDialog::periods() const
{
    return { fieldValue(m_search), fieldValue(m_restore), fieldValue(m_reboot) };
}

void SettingDialog::finish(bool ok)
{
    if (auto error = devmgmt::validatePeriods(periods())) {
        m_prompter.message(*error, "QELTA", platform::MessageIcon::Warning);
        return;
    }
    m_ok = ok;
    ok ? accept() : reject();
}

devmgmt::DialogResult QtDeviceDialogs::devicesSearching(devmgmt::SearchSettings& settings)
{
    DevicesSearchingDialog dialog(settings, m_prompter, m_parent);
    dialog.exec();
    if (!devmgmt::validateSearchSettings(dialog.settings()))
        settings = dialog.settings();
    return dialog.searchChosen() ? devmgmt::DialogResult::Accepted : devmgmt::DialogResult::Cancelled;
}

devmgmt::DialogResult QtDeviceDialogs::ipSearching(std::string& address)
{
    IpSearchingDialog dialog(address, m_parent);
    dialog.exec();
    address = dialog.address();
    return dialog.searchChosen() ? devmgmt::DialogResult::Accepted : devmgmt::DialogResult::Cancelled;
}

devmgmt::DialogResult QtDeviceDialogs::setting(devmgmt::Periods& periods)
{
    SettingDialog dialog(periods, m_prompter, m_parent);
    const bool closed = dialog.exec() == QDialog::Accepted || !devmgmt::validatePeriods(dialog.periods());
    if (closed)
        periods = dialog.periods();
    return dialog.okChosen() ? devmgmt::DialogResult::Accepted : devmgmt::DialogResult::Cancelled;
}

} // namespace utility::gui
