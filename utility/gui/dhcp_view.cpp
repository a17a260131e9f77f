#include "utility/gui/dhcp_view.h"

#include "platform/net.h"
#include "utility/gui/main_window.h"
#include "widgets/report_list.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTextCursor>
#include <QVBoxLayout>

namespace utility::gui {
namespace {

QString dotted(std::uint32_t address) { return QString::fromStdString(platform::formatIpv4(address)); }

} // namespace

DhcpViewWidget::DhcpViewWidget(services::DhcpView& view, QWidget* parent)
    : QWidget(parent)
    , m_view(view)
{
    setObjectName(QStringLiteral("DhcpView"));
    auto* settings = new QGroupBox(QStringLiteral("DHCP Server Settings"), this);
    auto* form = new QFormLayout(settings);
    const char* labels[FieldCount] = { "Start IP Address", "End IP Address", "Gateway (Router)", "Subnet Mask",
        "Domain Name Server", "Server IP Address" };
    const char* names[FieldCount] = { "start", "end", "gateway", "netmask", "dns", "server" };
    // Like an IP-address control: four numbers of at most three digits.
    const QRegularExpression quad(QStringLiteral("^(\\d{1,3}\\.){0,3}\\d{0,3}$"));
    for (int i = 0; i < FieldCount; ++i) {
        m_fields[i] = new QLineEdit(settings);
        m_fields[i]->setObjectName(QString::fromLatin1(names[i]));
        m_fields[i]->setValidator(new QRegularExpressionValidator(quad, m_fields[i]));
        form->addRow(QString::fromLatin1(labels[i]), m_fields[i]);
        connect(m_fields[i], &QLineEdit::editingFinished, this, &DhcpViewWidget::takeFields);
    }
    m_bootFile = new QLineEdit(settings);
    m_bootFile->setObjectName(QStringLiteral("bootFile"));
    m_bootFile->setMaxLength(static_cast<int>(services::kDhcpBootFileMax));
    form->addRow(QStringLiteral("Boot File"), m_bootFile);
    connect(m_bootFile, &QLineEdit::editingFinished, this, &DhcpViewWidget::takeFields);
    m_start = new QPushButton(settings);
    m_start->setObjectName(QStringLiteral("startStop"));
    form->addRow(QString(), m_start);

    auto* mapping = new QGroupBox(QStringLiteral("MAC to IP Address Mapping"), this);
    auto* mappingLayout = new QVBoxLayout(mapping);
    m_list = new widgets::ReportList(mapping);
    m_list->setObjectName(QStringLiteral("mappingList"));
    m_list->setAccessibleName(QStringLiteral("MAC to IP Address Mapping"));
    m_list->setColumns({ { "IP Address", 120 }, { "MAC Address", 150 } }, false);
    m_list->viewport()->installEventFilter(this);
    mappingLayout->addWidget(m_list);
    auto* buttons = new QHBoxLayout;
    m_delete = new QPushButton(QStringLiteral("Delete"), mapping);
    m_delete->setObjectName(QStringLiteral("delete"));
    m_deleteAll = new QPushButton(QStringLiteral("Delete All"), mapping);
    m_deleteAll->setObjectName(QStringLiteral("deleteAll"));
    buttons->addStretch();
    buttons->addWidget(m_delete);
    buttons->addWidget(m_deleteAll);
    mappingLayout->addLayout(buttons);

    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("log"));
    m_log->setReadOnly(true);
    m_log->setAccessibleName(QStringLiteral("DHCP Server Log"));

    auto* top = new QHBoxLayout;
    top->addWidget(settings, 0);
    top->addWidget(mapping, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 0);
    layout->addWidget(m_log, 1);

    connect(m_start, &QPushButton::clicked, this, [this] {
        takeFields();
        m_view.toggle();
    });
    connect(m_delete, &QPushButton::clicked, this, [this] { m_view.clickDelete(); });
    connect(m_deleteAll, &QPushButton::clicked, this, [this] {
        // Every remembered device would get another address: asked first.
        if (m_prompter
            && !m_prompter->confirm("Delete all " + std::to_string(m_list->rowCount()) + " address mappings?",
                "Delete All", platform::MessageIcon::Question, false))
            return;
        m_view.clickDeleteAll();
    });

    const auto& fields = m_view.fields();
    const std::uint32_t values[FieldCount]
        = { fields.start, fields.end, fields.gateway, fields.netmask, fields.dns, fields.server };
    for (int i = 0; i < FieldCount; ++i)
        m_fields[i]->setText(dotted(values[i]));
    m_bootFile->setText(QString::fromStdString(fields.bootFile));
    appendLog(m_view.logText());
    refresh();
}

void DhcpViewWidget::takeFields()
{
    if (!m_view.fieldsEnabled())
        return;
    services::DhcpFields fields = m_view.fields();
    std::uint32_t* values[FieldCount]
        = { &fields.start, &fields.end, &fields.gateway, &fields.netmask, &fields.dns, &fields.server };
    for (int i = 0; i < FieldCount; ++i) {
        // An unfinished address keeps the value the field had.
        if (const auto parsed = platform::parseIpv4(m_fields[i]->text().toStdString()))
            *values[i] = *parsed;
        else
            m_fields[i]->setText(dotted(*values[i]));
    }
    fields.bootFile = m_bootFile->text().toStdString();
    (void)m_view.setFields(fields);
}

void DhcpViewWidget::appendLog(const std::string& text)
{
    if (text.empty())
        return;
    // Appended at the caret, as the log box of the original form does.
    QString plain = QString::fromLocal8Bit(text.c_str());
    plain.remove(QLatin1Char('\r'));
    QTextCursor cursor = m_log->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(plain);
    m_log->setTextCursor(cursor);
}

void DhcpViewWidget::refresh()
{
    m_start->setText(QString::fromLatin1(m_view.buttonCaption()));
    for (auto* field : m_fields)
        field->setEnabled(m_view.fieldsEnabled());
    m_bootFile->setEnabled(m_view.fieldsEnabled());
    std::vector<widgets::ReportList::Row> rows;
    for (const auto& row : m_view.rows())
        rows.push_back({ false, { row.address, row.mac }, {}, {} });
    m_list->setRows(rows);
    m_delete->setEnabled(m_view.deleteEnabled());
    m_deleteAll->setEnabled(m_view.deleteAllEnabled());
}

bool DhcpViewWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_list->viewport() && event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        QTreeWidgetItem* item = m_list->itemAt(mouse->position().toPoint());
        m_view.clickList(item ? m_list->indexOfTopLevelItem(item) : -1);
    }
    return QWidget::eventFilter(watched, event);
}

std::function<void()> bindDhcpView(MainWindow& window, services::DhcpView& view, DhcpViewWidget* widget)
{
    window.setTopView(shell::TopView::Dhcp, widget);
    view.setLogCallback([widget](const std::string& text) { widget->appendLog(text); });
    view.setChangedCallback([&window, &view, widget] {
        widget->refresh();
        window.setServerChecked(true, view.running());
    });
    window.setServerChecked(true, view.running());
    return [&window, &view, widget] {
        widget->takeFields();
        view.toggle();
        // The action checked itself when clicked; the server decides.
        window.setServerChecked(true, view.running());
    };
}

} // namespace utility::gui
