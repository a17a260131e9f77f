#include "mfg/gui/option_page_view.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace mfg::gui {
namespace {

QString q(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<int>(text.size())); }
std::string s(const QString& text) { return text.toLocal8Bit().toStdString(); }

QPushButton* namedButton(const QString& text, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

} // namespace

ItemSelectionDialog::ItemSelectionDialog(ItemSelection& selection, QWidget* parent)
    : QDialog(parent)
    , m_selection(selection)
{
    setObjectName(QStringLiteral("ItemSelection"));
    setWindowTitle(QStringLiteral("Test Item Selection"));
    auto* layout = new QHBoxLayout(this);
    m_list = new QTreeWidget(this);
    m_list->setRootIsDecorated(false);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setHeaderLabels({ QStringLiteral("Item"), QStringLiteral("Description") });
    m_list->setColumnWidth(0, 40);
    m_list->setColumnWidth(1, 252);
    m_list->setMinimumSize(40 + 252 + 8, 200);
    for (int i = 0; i < 8; ++i) {
        auto* item = new QTreeWidgetItem(m_list);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setText(1, QString::fromLatin1(kItemNames[i]));
    }
    layout->addWidget(m_list, 1);

    auto* buttons = new QVBoxLayout;
    auto* selectAll = namedButton(QStringLiteral("Select All"), "SelectAll", this);
    auto* unselectAll = namedButton(QStringLiteral("Unselect All"), "UnselectAll", this);
    auto* applyButton = namedButton(QStringLiteral("Apply"), "Apply", this);
    auto* cancel = namedButton(QStringLiteral("Cancel"), "Cancel", this);
    m_apply = applyButton;
    applyButton->setDefault(true);
    for (auto* button : { selectAll, unselectAll, applyButton, cancel })
        buttons->addWidget(button);
    m_reason = new QLabel(QString::fromLatin1(OptionPage::kRunningReason), this);
    m_reason->setObjectName(QStringLiteral("RunningReason"));
    m_reason->setWordWrap(true);
    m_reason->setMaximumWidth(160);
    m_reason->hide();
    buttons->addWidget(m_reason);
    buttons->addStretch();
    layout->addLayout(buttons);

    connect(selectAll, &QPushButton::clicked, this, [this] {
        m_selection.selectAll();
        showChecks();
    });
    connect(unselectAll, &QPushButton::clicked, this, [this] {
        m_selection.unselectAll();
        showChecks();
    });
    connect(applyButton, &QPushButton::clicked, this, [this] {
        takeChecks();
        if (m_selection.apply() >= 0)
            accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    showChecks();
    setRunning(m_selection.running());
}

void ItemSelectionDialog::setRunning(bool running)
{
    m_selection.setRunning(running);
    m_apply->setEnabled(!running);
    m_reason->setVisible(running);
}

void ItemSelectionDialog::showChecks()
{
    for (int i = 0; i < 8; ++i)
        m_list->topLevelItem(i)->setCheckState(0, m_selection.checked[i] ? Qt::Checked : Qt::Unchecked);
}

void ItemSelectionDialog::takeChecks()
{
    for (int i = 0; i < 8; ++i)
        m_selection.checked[i] = m_list->topLevelItem(i)->checkState(0) == Qt::Checked;
}

OptionPageView::OptionPageView(Needs needs, QWidget* parent)
    : QWidget(parent)
    , m_needs(std::move(needs))
    , m_page(m_needs.directory, m_settings, m_needs.prompter,
          m_needs.probe ? m_needs.probe : systemPortProbe(m_needs.opener))
    , m_link(m_needs.opener, m_needs.prompter)
    , m_isp(m_needs.clock, m_needs.prompter, m_trace)
{
    m_isp.setPortIo(m_needs.portIo);
    setObjectName(QStringLiteral("OptionPage"));
    m_trace.configureFromEnvironment();
    auto* layout = new QGridLayout(this);

    auto* com = new QGroupBox(QStringLiteral("COM Port"), this);
    auto* comLayout = new QVBoxLayout(com);
    auto* comRow = new QHBoxLayout;
    m_port = new QComboBox(com);
    m_port->setObjectName(QStringLiteral("Port"));
    m_speed = new QComboBox(com);
    m_speed->setObjectName(QStringLiteral("Speed"));
    comRow->addWidget(m_port);
    comRow->addWidget(m_speed);
    comLayout->addLayout(comRow);
    auto* check = namedButton(QStringLiteral("Check if selected COM port available."), "CheckPort", com);
    comLayout->addWidget(check);
    // Direct UART access only when asked for: it rewrites the legacy UART
    // of the COM number at every START.
    comLayout->addWidget(new QLabel(QStringLiteral("Port-I/O module for direct UART access:"), com));
    m_portIo = pathEdit("PortIoModule", &OptionPage::portIoModule);
    m_portIo->setMinimumWidth(200);
    m_portIo->setPlaceholderText(QStringLiteral("none: serial driver only"));
    comLayout->addWidget(m_portIo);
    layout->addWidget(com, 0, 0);

    auto* loader = new QGroupBox(QStringLiteral("Boot Loader"), this);
    auto* loaderLayout = new QGridLayout(loader);
    loaderLayout->addWidget(new QLabel(QStringLiteral("Loader File:"), loader), 0, 0);
    m_loader = pathEdit("LoaderFile", &OptionPage::loaderPath);
    loaderLayout->addWidget(m_loader, 0, 1);
    loaderLayout->addWidget(browseButton("BrowseLoader", &OptionPage::browseLoader, m_loader), 0, 2);
    loaderLayout->addWidget(new QLabel(QStringLiteral("Erase waiting time:"), loader), 1, 0);
    auto* eraseRow = new QHBoxLayout;
    m_erase = new QComboBox(loader);
    m_erase->setObjectName(QStringLiteral("EraseTime"));
    eraseRow->addWidget(m_erase);
    eraseRow->addWidget(new QLabel(QStringLiteral("Secs"), loader));
    eraseRow->addStretch();
    loaderLayout->addLayout(eraseRow, 1, 1);
    layout->addWidget(loader, 0, 1);

    auto* tftp = new QGroupBox(QStringLiteral("TFTP Server"), this);
    auto* tftpLayout = new QGridLayout(tftp);
    tftpLayout->addWidget(new QLabel(QStringLiteral("Assign IP address for client:"), tftp), 0, 0);
    auto* addressRow = new QHBoxLayout;
    for (std::size_t i = 0; i < m_address.size(); ++i) {
        if (i > 0)
            addressRow->addWidget(new QLabel(QStringLiteral("."), tftp));
        m_address[i] = new QSpinBox(tftp);
        m_address[i]->setObjectName(QStringLiteral("Address%1").arg(i));
        m_address[i]->setRange(0, 255);
        m_address[i]->setButtonSymbols(QAbstractSpinBox::NoButtons);
        m_address[i]->setAlignment(Qt::AlignCenter);
        addressRow->addWidget(m_address[i]);
    }
    addressRow->addStretch();
    tftpLayout->addLayout(addressRow, 0, 1, 1, 2);
    tftpLayout->addWidget(new QLabel(QStringLiteral("Test FW:"), tftp), 1, 0);
    m_testFirmware = pathEdit("TestFirmware", &OptionPage::testFirmwarePath);
    tftpLayout->addWidget(m_testFirmware, 1, 1);
    tftpLayout->addWidget(browseButton("BrowseTestFirmware", &OptionPage::browseTestFirmware, m_testFirmware), 1, 2);
    tftpLayout->addWidget(new QLabel(QStringLiteral("Production FW:"), tftp), 2, 0);
    m_productionFirmware = pathEdit("ProductionFirmware", &OptionPage::productionFirmwarePath);
    tftpLayout->addWidget(m_productionFirmware, 2, 1);
    tftpLayout->addWidget(
        browseButton("BrowseProductionFirmware", &OptionPage::browseProductionFirmware, m_productionFirmware), 2, 2);
    layout->addWidget(tftp, 1, 0, 1, 2);

    auto* eeprom = new QGroupBox(QStringLiteral("EEPROM"), this);
    auto* eepromLayout = new QGridLayout(eeprom);
    m_eeprom = pathEdit("EepromFile", &OptionPage::eepromPath);
    eepromLayout->addWidget(m_eeprom, 0, 0, 1, 4);
    eepromLayout->addWidget(browseButton("BrowseEeprom", &OptionPage::browseEeprom, m_eeprom), 0, 4);
    eepromLayout->addWidget(new QLabel(QStringLiteral("Mac address:"), eeprom), 1, 0);
    m_macStart = new QLineEdit(eeprom);
    m_macStart->setObjectName(QStringLiteral("MacStart"));
    m_macEnd = new QLineEdit(eeprom);
    m_macEnd->setObjectName(QStringLiteral("MacEnd"));
    for (auto* mac : { m_macStart, m_macEnd }) {
        mac->setMaxLength(static_cast<int>(OptionPage::kMacLimit));
        connect(mac, &QLineEdit::textEdited, this, [this, mac](const QString& text) {
            if (mac == m_macStart)
                m_page.typeMacStart(s(text));
            else
                m_page.typeMacEnd(s(text));
            const int cursor = mac->cursorPosition();
            mac->setText(q(mac == m_macStart ? m_page.macStart() : m_page.macEnd()));
            mac->setCursorPosition(cursor);
        });
    }
    eepromLayout->addWidget(m_macStart, 1, 1);
    eepromLayout->addWidget(new QLabel(QStringLiteral("~"), eeprom), 1, 2);
    eepromLayout->addWidget(m_macEnd, 1, 3);
    m_usedUp = new QLabel(QString::fromLatin1(OptionPage::kRangeUsedUp), eeprom);
    m_usedUp->setObjectName(QStringLiteral("RangeUsedUp"));
    m_usedUp->setStyleSheet(QStringLiteral("color: red"));
    m_usedUp->hide();
    eepromLayout->addWidget(m_usedUp, 1, 4);
    m_macSource = new QLabel(eeprom);
    m_macSource->setObjectName(QStringLiteral("MacSource"));
    m_macSource->setWordWrap(true);
    m_macSource->hide();
    eepromLayout->addWidget(m_macSource, 2, 0, 1, 5);
    layout->addWidget(eeprom, 2, 0, 1, 2);

    auto* logGroup = new QGroupBox(QStringLiteral("Log File"), this);
    auto* logLayout = new QHBoxLayout(logGroup);
    m_log = pathEdit("LogFile", &OptionPage::logPath);
    logLayout->addWidget(m_log);
    logLayout->addWidget(browseButton("BrowseLog", &OptionPage::browseLog, m_log));
    layout->addWidget(logGroup, 3, 0, 1, 2);

    auto* buttons = new QHBoxLayout;
    auto* items = namedButton(QStringLiteral("Test Items"), "TestItems", this);
    auto* applyButton = namedButton(QStringLiteral("Apply"), "Apply", this);
    m_runningReason = new QLabel(QString::fromLatin1(OptionPage::kRunningReason), this);
    m_runningReason->setObjectName(QStringLiteral("RunningReason"));
    m_runningReason->hide();
    buttons->addWidget(m_runningReason);
    buttons->addStretch();
    buttons->addWidget(items);
    buttons->addWidget(applyButton);
    layout->addLayout(buttons, 4, 0, 1, 2);
    layout->setRowStretch(5, 1);

    connect(check, &QPushButton::clicked, this, [this] {
        takeFields();
        m_page.checkPort(m_link, m_isp);
    });
    connect(items, &QPushButton::clicked, this, &OptionPageView::openItemSelection);
    connect(applyButton, &QPushButton::clicked, this, &OptionPageView::apply);
}

OptionPageView::~OptionPageView() = default;

QLineEdit* OptionPageView::pathEdit(const char* name, std::string OptionPage::*field)
{
    auto* edit = new QLineEdit(this);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMaxLength(static_cast<int>(OptionPage::kPathLimit));
    edit->setMinimumWidth(360);
    connect(edit, &QLineEdit::textEdited, this, [this, field](const QString& text) { m_page.*field = s(text); });
    return edit;
}

QPushButton* OptionPageView::browseButton(const char* name, void (OptionPage::*browse)(), QLineEdit* edit)
{
    auto* button = namedButton(QStringLiteral("..."), name, this);
    connect(button, &QPushButton::clicked, this, [this, browse, edit] {
        takeFields();
        (m_page.*browse)();
        showFields();
        edit->setFocus();
    });
    return button;
}

QLineEdit* OptionPageView::field(const char* name) const { return findChild<QLineEdit*>(QString::fromLatin1(name)); }

QPushButton* OptionPageView::button(const char* name) const
{
    return findChild<QPushButton*>(QString::fromLatin1(name));
}

QLabel* OptionPageView::label(const char* name) const { return findChild<QLabel*>(QString::fromLatin1(name)); }

void OptionPageView::setRunning(bool running, const std::string& portInUse)
{
    m_running = running;
    m_page.setRunning(running);
    m_page.setPortInUse(running ? portInUse : std::string());
    button("Apply")->setEnabled(!running);
    button("CheckPort")->setEnabled(!running);
    m_runningReason->setVisible(running);
    if (m_openDialog)
        m_openDialog->setRunning(running);
}

void OptionPageView::activate(const std::string& currentMac)
{
    if (!m_setUp) {
        m_setUp = true;
        m_page.setUp();
        m_erase->clear();
        for (const auto& entry : m_page.eraseEntries())
            m_erase->addItem(q(entry));
        m_speed->clear();
        for (const auto& entry : m_page.speedEntries())
            m_speed->addItem(q(entry));
        m_port->clear();
        for (const auto& port : m_page.ports())
            m_port->addItem(q(port.present ? port.text : port.text + " (absent)"), port.number);
    } else {
        takeFields();
    }
    m_settings.currentMac = currentMac;
    m_page.activate();
    showFields();
}

void OptionPageView::showFields()
{
    m_loader->setText(q(m_page.loaderPath));
    m_testFirmware->setText(q(m_page.testFirmwarePath));
    m_productionFirmware->setText(q(m_page.productionFirmwarePath));
    m_eeprom->setText(q(m_page.eepromPath));
    m_log->setText(q(m_page.logPath));
    m_macStart->setText(q(m_page.macStart()));
    m_macEnd->setText(q(m_page.macEnd()));
    m_macSource->setText(q(m_page.macSourceNote()));
    m_macSource->setVisible(!m_page.macSourceNote().empty());
    for (std::size_t i = 0; i < m_address.size(); ++i)
        m_address[i]->setValue(m_page.clientAddress[i]);
    m_erase->setCurrentIndex(m_page.eraseSelection);
    m_port->setCurrentIndex(m_page.portSelection);
    m_speed->setCurrentIndex(m_page.speedSelection);
    m_portIo->setText(q(m_page.portIoModule));
    m_usedUp->setVisible(m_page.rangeUsedUp());
}

void OptionPageView::takeFields()
{
    m_page.loaderPath = s(m_loader->text());
    m_page.testFirmwarePath = s(m_testFirmware->text());
    m_page.productionFirmwarePath = s(m_productionFirmware->text());
    m_page.eepromPath = s(m_eeprom->text());
    m_page.logPath = s(m_log->text());
    m_page.typeMacStart(s(m_macStart->text()));
    m_page.typeMacEnd(s(m_macEnd->text()));
    for (std::size_t i = 0; i < m_address.size(); ++i)
        m_page.clientAddress[i] = static_cast<std::uint8_t>(m_address[i]->value());
    m_page.eraseSelection = m_erase->currentIndex();
    m_page.portSelection = m_port->currentIndex();
    m_page.speedSelection = m_speed->currentIndex();
    m_page.portIoModule = s(m_portIo->text());
}

void OptionPageView::apply()
{
    takeFields();
    // Apply clears this mark exactly when it wrote Option.dat and took the
    // values; a failed write must not hand the run a half-filled copy.
    m_settings.macValuesParsed = true;
    if (!m_page.apply()) {
        if (m_page.focus() == OptionPage::Field::Port)
            m_port->setFocus();
        else if (m_page.focus() != OptionPage::Field::None)
            (m_page.focus() == OptionPage::Field::MacEnd ? m_macEnd : m_macStart)->setFocus();
        return;
    }
    showFields();
    if (!m_settings.macValuesParsed && onApplied)
        onApplied(m_settings);
}

void OptionPageView::openItemSelection()
{
    ItemSelection selection(m_needs.directory, m_needs.prompter);
    selection.open();
    selection.setRunning(m_running);
    ItemSelectionDialog dialog(selection, this);
    m_openDialog = &dialog;
    if (execItemSelection)
        execItemSelection(dialog);
    else
        dialog.exec();
    m_openDialog = nullptr;
}

} // namespace mfg::gui
