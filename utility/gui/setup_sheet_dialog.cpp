#include "utility/gui/setup_sheet_dialog.h"

#include "utility/devmgmt/setting_file.h"
#include "widgets/dialog_title.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace utility::gui {
namespace {

using devmgmt::Item;

QString name(Item item) { return QStringLiteral("item%1").arg(static_cast<int>(item)); }

const char* const kEventLabels[5]
    = { "Cold Start", "Warm Start", "Authentication Fail", "IP Change", "Password Change" };

} // namespace

SetupSheetDialog::SetupSheetDialog(devmgmt::SetupSheet& sheet, QWidget* parent)
    : QDialog(parent)
    , m_sheet(sheet)
{
    setObjectName(QStringLiteral("DeviceSetup"));
    setWindowTitle(QString::fromLatin1(devmgmt::kSetupTitle));
    auto* layout = new QVBoxLayout(this);
    m_pages = new QTabWidget(this);
    m_pages->setObjectName(QStringLiteral("pages"));
    m_pages->addTab(buildNetworkPage(), QString::fromLatin1(devmgmt::kNetworkPageTitle));
    m_pages->addTab(buildSerialPage(), QString::fromLatin1(devmgmt::kSerialPageTitle));
    layout->addWidget(m_pages);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto makeButton = [&](const char* text, const char* objectName) {
        auto* button = new QPushButton(QString::fromLatin1(text), this);
        button->setObjectName(QString::fromLatin1(objectName));
        button->setAutoDefault(false);
        buttons->addWidget(button);
        return button;
    };
    auto* submitButton = makeButton("Submit", "submit");
    auto* save = makeButton("Save", "save");
    auto* load = makeButton("Load", "load");
    auto* password = makeButton("Password", "password");
    password->setVisible(false); // does nothing
    layout->addLayout(buttons);

    connect(submitButton, &QPushButton::clicked, this, [this] { submit(); });
    connect(save, &QPushButton::clicked, this, [this] { m_sheet.clickSave(); });
    connect(load, &QPushButton::clicked, this, [this] {
        m_sheet.clickLoad();
        refresh();
    });
    // The page becoming active applies its rules again.
    connect(m_pages, &QTabWidget::currentChanged, this, [this] {
        m_sheet.applyPageRules();
        refresh();
    });
    m_sheet.setChangedCallback([this] { refresh(); });
    refresh();
    widgets::widenForTitle(*this);
}

SetupSheetDialog::~SetupSheetDialog() { m_sheet.setChangedCallback({}); }

QLineEdit* SetupSheetDialog::lineEdit(Item item) const
{
    const auto it = m_lines.find(item);
    return it == m_lines.end() ? nullptr : it->second;
}

QComboBox* SetupSheetDialog::comboBox(Item item) const
{
    const auto it = m_combos.find(item);
    return it == m_combos.end() ? nullptr : it->second;
}

QCheckBox* SetupSheetDialog::checkBox(Item item) const
{
    const auto it = m_checks.find(item);
    return it == m_checks.end() ? nullptr : it->second;
}

QLineEdit* SetupSheetDialog::addLine(Item item, int limit, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name(item));
    if (limit > 0)
        edit->setMaxLength(limit);
    connect(edit, &QLineEdit::textEdited, this,
        [this, item](const QString& text) { m_sheet.edit(item, text.toLocal8Bit().toStdString()); });
    m_lines[item] = edit;
    return edit;
}

QComboBox* SetupSheetDialog::addCombo(Item item, const QStringList& entries, QWidget* parent)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(name(item));
    box->addItems(entries);
    connect(box, &QComboBox::activated, this, [this, item](int index) { m_sheet.edit(item, std::to_string(index)); });
    m_combos[item] = box;
    return box;
}

QCheckBox* SetupSheetDialog::addCheck(Item item, const QString& label, QWidget* parent)
{
    auto* box = new QCheckBox(label, parent);
    box->setObjectName(name(item));
    connect(box, &QCheckBox::clicked, this, [this, item](bool checked) { m_sheet.edit(item, checked ? "1" : "0"); });
    m_checks[item] = box;
    return box;
}

QWidget* SetupSheetDialog::buildNetworkPage()
{
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("networkPage"));
    auto* grid = new QGridLayout(page);

    auto* basic = new QFormLayout;
    basic->addRow(QStringLiteral("Device Name"), addLine(Item::DeviceName, devmgmt::kNameLimit, page));
    auto* mac = addLine(Item::MacAddress, 0, page);
    mac->setReadOnly(true);
    basic->addRow(QStringLiteral("MAC Address"), mac);
    auto* mode = new QHBoxLayout;
    m_server = new QRadioButton(QStringLiteral("Server"), page);
    m_server->setObjectName(QStringLiteral("server"));
    m_client = new QRadioButton(QStringLiteral("Client"), page);
    m_client->setObjectName(QStringLiteral("client"));
    mode->addWidget(m_server);
    mode->addWidget(m_client);
    basic->addRow(QString(), mode);
    connect(m_server, &QRadioButton::clicked, this, [this] { m_sheet.chooseClient(false); });
    connect(m_client, &QRadioButton::clicked, this, [this] { m_sheet.chooseClient(true); });
    basic->addRow(
        QStringLiteral("DHCP"), addCombo(Item::Dhcp, { QStringLiteral("Disable"), QStringLiteral("Enable") }, page));
    auto* dynamicIp = addLine(Item::DynamicIp, 0, page);
    dynamicIp->setReadOnly(true);
    m_dynamicLabel = new QLabel(QStringLiteral("Static IP"), page);
    basic->addRow(m_dynamicLabel, dynamicIp);
    m_staticLabel = new QLabel(QStringLiteral("Static IP"), page);
    basic->addRow(m_staticLabel, addLine(Item::StaticIp, devmgmt::kAddressLimit, page));
    auto* portValidator = new QIntValidator(0, 65535, this);
    auto* dataPort = addLine(Item::DataPort, 5, page);
    dataPort->setValidator(portValidator);
    basic->addRow(QStringLiteral("Data Listening Port"), dataPort);
    addLine(Item::DestinationIp, devmgmt::kAddressLimit, page)->setVisible(false);
    auto* destinationPort = addLine(Item::ClientDestinationPort, 5, page);
    destinationPort->setValidator(portValidator);
    basic->addRow(QStringLiteral("Destination Port"), destinationPort);
    basic->addRow(
        QStringLiteral("Destination Hostname/IP"), addLine(Item::DestinationHost, devmgmt::kLongTextLimit, page));
    basic->addRow(QStringLiteral("Netmask"), addLine(Item::Netmask, devmgmt::kAddressLimit, page));
    basic->addRow(QStringLiteral("Gateway"), addLine(Item::Gateway, devmgmt::kAddressLimit, page));
    basic->addRow(QStringLiteral("DNS Server"), addLine(Item::Dns, devmgmt::kAddressLimit, page));
    addLine(Item::ConnectionTimeout, 2, page)->setVisible(false);
    auto* timer = addLine(Item::TransmissionTimer, 5, page);
    timer->setValidator(portValidator);
    basic->addRow(QStringLiteral("Transmit Timer"), timer);
    grid->addLayout(basic, 0, 0, 3, 1);

    auto* dataType = new QGroupBox(QStringLiteral("Data Packet Type"), page);
    auto* dataLayout = new QVBoxLayout(dataType);
    dataLayout->addWidget(addCheck(Item::Udp, QStringLiteral("UDP"), dataType));
    dataLayout->addWidget(addCheck(Item::Tcp, QStringLiteral("TCP"), dataType));
    dataLayout->addWidget(addCheck(Item::AutoConnect, QStringLiteral("Auto connect after reboot"), dataType));
    grid->addWidget(dataType, 0, 1);

    auto* management = new QGroupBox(QStringLiteral("Management Packet Type"), page);
    auto* managementLayout = new QVBoxLayout(management);
    managementLayout->addWidget(addCheck(Item::Broadcast, QStringLiteral("Broadcast"), management));
    managementLayout->addWidget(addCheck(Item::Multicast, QStringLiteral("Multicast"), management));
    grid->addWidget(management, 1, 1);

    auto* accessible = new QGroupBox(QStringLiteral("Accessible IP Addresses"), page);
    auto* accessibleLayout = new QFormLayout(accessible);
    accessibleLayout->addRow(addCheck(Item::AccessibleIpCheck, QStringLiteral("Enable"), accessible));
    const Item ips[] = { Item::AccessibleIp1, Item::AccessibleIp2, Item::AccessibleIp3, Item::AccessibleIp4 };
    for (int i = 0; i < 4; ++i)
        accessibleLayout->addRow(
            QStringLiteral("IP %1").arg(i + 1), addLine(ips[i], devmgmt::kAddressLimit, accessible));
    grid->addWidget(accessible, 2, 1);

    auto* mail = new QGroupBox(QStringLiteral("E-mail Notification"), page);
    auto* mailLayout = new QFormLayout(mail);
    mailLayout->addRow(QStringLiteral("Domain Name"), addLine(Item::SmtpDomain, devmgmt::kLongTextLimit, mail));
    mailLayout->addRow(QStringLiteral("From Address"), addLine(Item::SmtpFrom, devmgmt::kLongTextLimit, mail));
    const Item to[] = { Item::SmtpTo1, Item::SmtpTo2, Item::SmtpTo3 };
    for (int i = 0; i < 3; ++i)
        mailLayout->addRow(QStringLiteral("To Address %1").arg(i + 1), addLine(to[i], devmgmt::kLongTextLimit, mail));
    addLine(Item::SmtpUser, 0, mail)->setVisible(false);
    addLine(Item::SmtpPassword, 0, mail)->setVisible(false);
    for (int bit = 0; bit < 5; ++bit) {
        auto* box = new QComboBox(mail);
        box->setObjectName(QStringLiteral("event%1").arg(bit));
        box->addItems({ QStringLiteral("Disable"), QStringLiteral("Enable") });
        connect(box, &QComboBox::activated, this, [this] {
            unsigned bits = 0;
            for (int i = 0; i < 5; ++i)
                if (m_events[static_cast<std::size_t>(i)]->currentIndex() == 1)
                    bits |= 1u << i;
            m_sheet.edit(Item::SmtpEvents, devmgmt::formatEventBits(bits));
        });
        m_events[static_cast<std::size_t>(bit)] = box;
        auto* label = new QLabel(QString::fromLatin1(kEventLabels[bit]), mail);
        mailLayout->addRow(label, box);
        if (bit == 1) { // warm start is kept but not offered
            label->setVisible(false);
            box->setVisible(false);
        }
    }
    grid->addWidget(mail, 0, 2, 3, 1);
    return page;
}

QWidget* SetupSheetDialog::buildSerialPage()
{
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("serialPage"));
    auto* form = new QFormLayout(page);
    // The choices are short: a combo the page's width would hide which
    // label it belongs to.
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    form->addRow(QStringLiteral("Baud Rate"),
        addCombo(Item::BaudRate,
            { QStringLiteral("921600"), QStringLiteral("115200"), QStringLiteral("57600"), QStringLiteral("38400"),
                QStringLiteral("19200"), QStringLiteral("9600"), QStringLiteral("4800"), QStringLiteral("2400"),
                QStringLiteral("1200") },
            page));
    form->addRow(QStringLiteral("Data Bits"),
        addCombo(Item::DataBits, { QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8") },
            page));
    form->addRow(QStringLiteral("Parity"),
        addCombo(Item::Parity, { QStringLiteral("Odd"), QStringLiteral("Even"), QStringLiteral("None") }, page));
    form->addRow(QStringLiteral("Stop Bits"),
        addCombo(Item::StopBits, { QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2") }, page));
    form->addRow(QStringLiteral("Flow Control"),
        addCombo(Item::FlowControl, { QStringLiteral("Xon/Xoff"), QStringLiteral("Hardware"), QStringLiteral("None") },
            page));
    form->addRow(QStringLiteral("RS-485 Mode"),
        addCombo(Item::Rs485Mode,
            { QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3") }, page));
    auto* notes = new QLabel(QStringLiteral("0: Sleep\n1: Single-half\n2: Single-half or double-full-slave\n"
                                            "3: Double-full-master"),
        page);
    notes->setObjectName(QStringLiteral("rs485Notes"));
    form->addRow(QString(), notes);
    return page;
}

void SetupSheetDialog::refresh()
{
    for (auto& [item, edit] : m_lines) {
        const QString text = QString::fromLocal8Bit(m_sheet.value(item).c_str());
        if (edit->text() != text)
            edit->setText(text);
    }
    for (auto& [item, box] : m_combos) {
        const QSignalBlocker block(box);
        box->setCurrentIndex(std::atoi(m_sheet.value(item).c_str()));
    }
    for (auto& [item, box] : m_checks) {
        const QSignalBlocker block(box);
        box->setChecked(m_sheet.value(item) == "1");
    }
    const unsigned bits = devmgmt::parseEventBits(m_sheet.value(Item::SmtpEvents));
    for (int bit = 0; bit < 5; ++bit) {
        const QSignalBlocker block(m_events[static_cast<std::size_t>(bit)]);
        m_events[static_cast<std::size_t>(bit)]->setCurrentIndex((bits >> bit) & 1u ? 1 : 0);
    }
    const bool client = m_sheet.value(Item::ClientMode) == "1";
    m_server->setChecked(!client);
    m_client->setChecked(client);

    const auto& controls = m_sheet.controls();
    m_lines[Item::DataPort]->setEnabled(controls.dataPortEnabled);
    m_lines[Item::ClientDestinationPort]->setEnabled(controls.destinationEnabled);
    m_lines[Item::DestinationHost]->setEnabled(controls.destinationEnabled);
    m_lines[Item::DestinationIp]->setEnabled(controls.destinationEnabled);
    m_checks[Item::AutoConnect]->setEnabled(controls.autoConnectEnabled);
    m_lines[Item::DynamicIp]->setVisible(controls.dynamicIpShown);
    m_dynamicLabel->setVisible(controls.dynamicIpShown);
    m_lines[Item::StaticIp]->setVisible(!controls.dynamicIpShown);
    m_staticLabel->setVisible(!controls.dynamicIpShown);
}

void SetupSheetDialog::submit()
{
    if (m_sheet.submit())
        accept();
}

} // namespace utility::gui
