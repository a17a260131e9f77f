#include "utility/gui/vsp_view.h"

#include "platform/com_names.h"
#include "platform/text_file.h"
#include "utility/services/terminal_view.h"
#include "utility/shell/navigation.h"
#include "widgets/dialog_title.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <sys/stat.h>

#include <cstdlib>

namespace utility::gui {

namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

} // namespace

void addWireProtocolItems(QComboBox& combo)
{
    combo.addItem(QStringLiteral("Native framing"));
    combo.addItem(QStringLiteral("RFC 2217"));
}

ComPortDialog::ComPortDialog(
    const std::vector<std::string>& texts, int preselected, vsp::WireProtocol wire, QWidget* parent)
    : QDialog(parent)
    , m_combo(new QComboBox(this))
    , m_protocol(new QComboBox(this))
{
    setWindowTitle(QStringLiteral("COM Port Configuration"));
    setObjectName(QStringLiteral("comPortConfiguration"));
    for (const auto& item : texts)
        m_combo->addItem(text(item));
    m_combo->setCurrentIndex(preselected);
    m_combo->setMaxVisibleItems(12);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("COM Port Number"), m_combo);
    addWireProtocolItems(*m_protocol);
    m_protocol->setCurrentIndex(static_cast<int>(wire));
    form->addRow(QStringLiteral("Protocol"), m_protocol);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    widgets::widenForTitle(*this);
}

int ComPortDialog::chosen() const { return m_combo->currentIndex(); }

vsp::WireProtocol ComPortDialog::wireProtocol() const
{
    return m_protocol->currentIndex() == 1 ? vsp::WireProtocol::Rfc2217 : vsp::WireProtocol::Native;
}

std::optional<int> QtVspDialogs::comPortConfiguration(const std::vector<std::string>& texts, int preselected)
{
    const auto choice = comPortChoice(texts, preselected, vsp::WireProtocol::Native);
    return choice ? std::optional<int>(choice->index) : std::nullopt;
}

bool machineSerialPort(int number)
{
    platform::ComNameResolver resolver = platform::ComNameResolver::fromEnvironment();
    resolver.runtimeDir.clear(); // the virtual ports are in the usage already
    const std::string path = resolver.resolve("COM" + std::to_string(number));
    struct stat status { };
    if (path.empty() || ::stat(path.c_str(), &status) != 0)
        return false;
    // Every machine has /dev/ttyS0 to 31; only those with a UART behind them
    // have a port type other than 0 ("unknown").
    const std::string legacy = "/dev/ttyS";
    if (path.compare(0, legacy.size(), legacy) == 0) {
        const auto type = platform::readFileBytes("/sys/class/tty/" + path.substr(5) + "/type", 16);
        return type && std::atoi(type.value().c_str()) != 0;
    }
    return true;
}

std::optional<vsp::ComPortChoice> QtVspDialogs::comPortChoice(
    const std::vector<std::string>& givenTexts, int preselected, vsp::WireProtocol wire)
{
    // A new port is offered the first number that neither a virtual port nor
    // one of this machine's serial ports uses: under a machine port's name it
    // would take what programs configured for that port send.
    std::vector<std::string> texts = givenTexts;
    const auto taken = [&texts](int index) {
        return index < 0 || index >= static_cast<int>(texts.size())
            || texts[static_cast<std::size_t>(index)].find('(') != std::string::npos;
    };
    std::optional<int> firstFree;
    for (int index = 0; index < static_cast<int>(texts.size()); ++index) {
        if (taken(index))
            continue;
        if (machinePort && machinePort(index + 1))
            texts[static_cast<std::size_t>(index)] += " (serial port of this machine)";
        else if (!firstFree)
            firstFree = index;
    }
    if (firstFree && taken(preselected))
        preselected = *firstFree;
    ComPortDialog dialog(texts, preselected, wire, m_parent);
    std::optional<int> index;
    if (script)
        index = script(dialog);
    else if (dialog.exec() == QDialog::Accepted)
        index = dialog.chosen();
    if (!index)
        return std::nullopt;
    return vsp::ComPortChoice { *index, dialog.wireProtocol() };
}

bool TreeNeighbours::portItemContains(const std::string& value) { return m_tree.contains(value); }

void TreeNeighbours::setPortItemText(const std::string&, const std::string& value)
{
    m_tree.setByName(value);
    portsChanged();
}

void TreeNeighbours::removePortItem(const std::string& portName)
{
    m_tree.remove(portName);
    portsChanged();
}

void TreeNeighbours::rebuildPortItems()
{
    m_tree.rebuild(m_manager.portDescriptions());
    portsChanged();
}

void TreeNeighbours::portClosing(const std::string& portName)
{
    if (m_terminal)
        (void)m_terminal->closeByName(portName);
}

void TreeNeighbours::portsChanged()
{
    // Lists are first filled when the terminal is first shown.
    if (m_terminal && m_terminal->shown())
        m_terminal->refreshPortLists();
}

VspView::VspView(vsp::VspManager& manager, QWidget* parent)
    : QWidget(parent)
    , m_manager(manager)
    , m_list(new QTreeWidget(this))
    , m_add(new QPushButton(QStringLiteral("Add"), this))
    , m_remove(new QPushButton(QStringLiteral("Remove"), this))
    , m_connect(new QPushButton(QStringLiteral("Connect"), this))
    , m_close(new QPushButton(QStringLiteral("Close"), this))
    , m_setting(new QPushButton(QStringLiteral("Setting"), this))
    , m_address(new QLineEdit(this))
    , m_remotePort(new QLineEdit(this))
    , m_listenPort(new QLineEdit(this))
    , m_client(new QRadioButton(QStringLiteral("Client"), this))
    , m_server(new QRadioButton(QStringLiteral("Server"), this))
    , m_tcp(new QRadioButton(QStringLiteral("TCP"), this))
    , m_udp(new QRadioButton(QStringLiteral("UDP"), this))
    , m_typeGroup(new QButtonGroup(this))
    , m_protocolGroup(new QButtonGroup(this))
    , m_connectAtStart(new QCheckBox(QStringLiteral("Connect at Windows Start"), this))
    , m_flowPackets(new QCheckBox(QStringLiteral("Enable Flow Control Packet"), this))
    , m_portNumber(new QComboBox(this))
    , m_wire(new QComboBox(this))
    , m_maxPacketLabel(new QLabel(QStringLiteral("Max Packet Size"), this))
    , m_maxPacket(new QSpinBox(this))
    , m_status(new QLabel(this))
    , m_progress(new QProgressBar(this))
    , m_heldCheck(new QTimer(this))
{
    setObjectName(QStringLiteral("vspView"));
    // The bar shows Add's progress; a percentage at rest would say nothing.
    m_progress->setTextVisible(false);
    // Columns and widths as the report list takes them: "Port ID, 60;Port Name, 150;Status, 100;Remote IP, 120;Remote
    // Port, 90".
    m_list->setColumnCount(5);
    m_list->setHeaderLabels({ QStringLiteral("Port ID"), QStringLiteral("Port Name"), QStringLiteral("Status"),
        QStringLiteral("Remote IP"), QStringLiteral("Remote Port") });
    const int widths[] = { 60, 150, 100, 120, 90 };
    for (int column = 0; column < 5; ++column)
        m_list->setColumnWidth(column, widths[column]);
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setAccessibleName(QStringLiteral("Virtual Serial Ports"));
    m_address->setMaxLength(15);
    m_remotePort->setMaxLength(5);
    m_listenPort->setMaxLength(5);
    m_maxPacket->setRange(0, 65535);
    m_typeGroup->addButton(m_client);
    m_typeGroup->addButton(m_server);
    m_protocolGroup->addButton(m_tcp);
    m_protocolGroup->addButton(m_udp);
    addWireProtocolItems(*m_wire);

    auto* settings = new QGroupBox(QStringLiteral("Settings"), this);
    auto* grid = new QGridLayout(settings);
    // Each field is named by its label (for screen readers and scripts).
    const auto labelled = [settings, grid](const char* label, QWidget* field, int row) {
        auto* text = new QLabel(QString::fromLatin1(label), settings);
        text->setBuddy(field);
        grid->addWidget(text, row, 0);
        grid->addWidget(field, row, 1);
    };
    labelled("Virtual Port Number", m_portNumber, 0);
    grid->addWidget(m_client, 1, 0);
    grid->addWidget(m_server, 1, 1);
    labelled("Remote Host IP", m_address, 2);
    labelled("Remote Host Port", m_remotePort, 3);
    labelled("Listen Port", m_listenPort, 4);
    grid->addWidget(m_tcp, 5, 0);
    grid->addWidget(m_udp, 5, 1);
    grid->addWidget(m_connectAtStart, 6, 0, 1, 2);
    grid->addWidget(m_flowPackets, 7, 0, 1, 2);
    labelled("Protocol", m_wire, 8);
    m_maxPacketLabel->setBuddy(m_maxPacket);
    grid->addWidget(m_maxPacketLabel, 9, 0);
    grid->addWidget(m_maxPacket, 9, 1);

    auto* buttons = new QHBoxLayout;
    for (auto* button : { m_add, m_remove, m_connect, m_close, m_setting })
        buttons->addWidget(button);
    auto* top = new QHBoxLayout;
    top->addWidget(m_list, 1);
    top->addWidget(settings);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addLayout(buttons);
    layout->addWidget(m_status);
    layout->addWidget(m_progress);

    const bool showMax = m_manager.options().showMaxPacket;
    m_maxPacketLabel->setVisible(showMax);
    m_maxPacket->setVisible(showMax);

    connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (m_refreshing)
            return;
        const auto items = m_list->selectedItems();
        m_manager.selectRow(
            items.isEmpty() ? std::nullopt : std::optional<std::size_t>(m_list->indexOfTopLevelItem(items.first())));
    });
    // A row held open by a program is looked at again while it stays
    // selected: once the program lets the port go, the row and the buttons
    // come back by themselves.
    m_heldCheck->setInterval(1000);
    connect(m_heldCheck, &QTimer::timeout, this, [this] { recheckHeldRow(); });
    connect(m_list, &QTreeWidget::itemClicked, this, [this] { recheckHeldRow(); });
    connect(m_client, &QRadioButton::clicked, this, [this] {
        takeControls();
        m_manager.chooseClient();
        showControls();
    });
    connect(m_server, &QRadioButton::clicked, this, [this] {
        takeControls();
        m_manager.chooseServer();
        showControls();
    });
    connect(m_maxPacket, &QSpinBox::editingFinished, this, [this] {
        takeControls();
        m_manager.setMaxPacketLen(static_cast<std::uint32_t>(m_maxPacket->value()));
        showControls();
    });
    connect(m_add, &QPushButton::clicked, this, [this] { m_manager.clickAdd(); });
    connect(m_remove, &QPushButton::clicked, this, [this] {
        const auto selected = m_manager.selected();
        if (m_prompter && selected && *selected < m_manager.rows().size()
            && !m_prompter->confirm("Remove the virtual serial port " + m_manager.rows()[*selected].entry.portName
                    + "? Programs using it lose it.",
                "Remove", platform::MessageIcon::Question, false))
            return;
        m_manager.clickRemove();
    });
    connect(m_connect, &QPushButton::clicked, this, [this] {
        takeControls();
        m_manager.clickConnect();
    });
    connect(m_close, &QPushButton::clicked, this, [this] { m_manager.clickClose(); });
    connect(m_setting, &QPushButton::clicked, this, [this] {
        takeControls();
        m_manager.clickSetting();
    });
    refresh();
}

void VspView::recheckHeldRow()
{
    const auto selected = m_manager.selected();
    if (selected && *selected < m_manager.rows().size() && m_manager.rows()[*selected].held)
        m_manager.selectRow(selected);
}

void VspView::takeControls()
{
    auto& controls = m_manager.controls();
    controls.address = m_address->text().toStdString();
    controls.remoteHostPort = m_remotePort->text().toStdString();
    controls.listenPort = m_listenPort->text().toStdString();
    controls.protocol = m_udp->isChecked() ? 1 : 0;
    controls.connectAtWinStart = m_connectAtStart->isChecked();
    controls.cmdByte = m_flowPackets->isChecked();
    controls.maxPacketLen = static_cast<std::uint32_t>(m_maxPacket->value());
    if (m_client->isChecked())
        controls.connType = 1;
    else if (m_server->isChecked())
        controls.connType = 0;
    else
        controls.connType.reset();
    if (m_portNumber->currentIndex() >= 0)
        controls.comIndex = m_portNumber->currentIndex();
    controls.wireProtocol = m_wire->currentIndex() == 1 ? vsp::WireProtocol::Rfc2217 : vsp::WireProtocol::Native;
}

void VspView::showControls()
{
    if (!m_manager.selected() && !m_manager.buttons().editControls) {
        // No row: the panel shows no port (a removed one would stay).
        for (QLineEdit* edit : { m_address, m_remotePort, m_listenPort })
            edit->clear();
        m_portNumber->setCurrentIndex(-1);
        m_typeGroup->setExclusive(false);
        m_client->setChecked(false);
        m_server->setChecked(false);
        m_typeGroup->setExclusive(true);
        for (QWidget* widget : std::initializer_list<QWidget*> { m_maxPacket, m_portNumber, m_wire, m_connectAtStart,
                 m_flowPackets, m_tcp, m_udp, m_client, m_server, m_address, m_remotePort, m_listenPort })
            widget->setEnabled(false);
        return;
    }
    const auto& controls = m_manager.controls();
    m_address->setText(text(controls.address));
    m_remotePort->setText(text(controls.remoteHostPort));
    m_listenPort->setText(text(controls.listenPort));
    (controls.protocol ? m_udp : m_tcp)->setChecked(true);
    m_connectAtStart->setChecked(controls.connectAtWinStart);
    m_flowPackets->setChecked(controls.cmdByte);
    m_maxPacket->setValue(static_cast<int>(controls.maxPacketLen));
    m_typeGroup->setExclusive(false);
    m_client->setChecked(controls.connType && *controls.connType == 1);
    m_server->setChecked(controls.connType && *controls.connType == 0);
    m_typeGroup->setExclusive(true);
    if (m_portNumber->count() != static_cast<int>(controls.comTexts.size())) {
        m_portNumber->clear();
        for (const auto& item : controls.comTexts)
            m_portNumber->addItem(text(item));
    } else {
        for (int i = 0; i < m_portNumber->count(); ++i)
            m_portNumber->setItemText(i, text(controls.comTexts[static_cast<std::size_t>(i)]));
    }
    m_portNumber->setCurrentIndex(controls.comIndex);
    m_wire->setCurrentIndex(static_cast<int>(controls.wireProtocol));
    const bool editing = m_manager.buttons().editControls;
    const bool client = m_client->isChecked();
    for (QWidget* widget : std::initializer_list<QWidget*> {
             m_maxPacket, m_portNumber, m_wire, m_connectAtStart, m_flowPackets, m_tcp, m_udp, m_client, m_server })
        widget->setEnabled(editing);
    m_address->setEnabled(editing && client);
    m_remotePort->setEnabled(editing && client);
    m_listenPort->setEnabled(editing && !client);
}

void VspView::refresh()
{
    m_refreshing = true;
    const auto& rows = m_manager.rows();
    // The rows are updated in place: a refresh runs inside the list's own
    // selection signal, while the clicked item is still in use.
    while (m_list->topLevelItemCount() > static_cast<int>(rows.size()))
        delete m_list->takeTopLevelItem(m_list->topLevelItemCount() - 1);
    while (m_list->topLevelItemCount() < static_cast<int>(rows.size()))
        new QTreeWidgetItem(m_list);
    const auto selected = m_manager.selected();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        QTreeWidgetItem* item = m_list->topLevelItem(static_cast<int>(i));
        const bool inUse = row.held && row.status == vsp::kStatusIdle;
        const QString status = inUse ? QStringLiteral("In use") : text(row.status);
        const QString texts[]
            = { text(row.entry.portId), text(row.entry.portName), status, text(row.remoteIp), text(row.remotePort) };
        const auto colour = vsp::rowColour(row.status);
        for (int column = 0; column < 5; ++column) {
            item->setText(column, texts[column]);
            item->setBackground(column, QColor(colour.red, colour.green, colour.blue));
        }
        item->setSelected(selected && *selected == i);
        item->setToolTip(2, inUse ? QStringLiteral("A program holds the port open.") : QString());
    }
    const bool heldSelected = selected && *selected < rows.size() && rows[*selected].held;
    if (heldSelected && !m_heldCheck->isActive())
        m_heldCheck->start();
    else if (!heldSelected)
        m_heldCheck->stop();
    const auto& buttons = m_manager.buttons();
    m_list->setEnabled(buttons.list);
    m_add->setEnabled(buttons.add);
    m_remove->setEnabled(buttons.remove);
    m_connect->setEnabled(buttons.connect);
    m_close->setEnabled(buttons.close);
    m_setting->setEnabled(buttons.setting);
    m_connect->setText(text(buttons.connectCaption));
    m_setting->setText(text(buttons.settingCaption));
    m_status->setText(text(m_manager.statusLine()));
    const auto [position, maximum] = m_manager.progress();
    m_progress->setRange(0, std::max(1, maximum));
    m_progress->setValue(position);
    showControls();
    m_refreshing = false;
}

} // namespace utility::gui
