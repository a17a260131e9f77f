#include "utility/gui/device_view_widget.h"

#include "widgets/report_list.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace utility::gui {
namespace {

const char* const kButtonTexts[devmgmt::kButtonCount] = { "System Setting", "Search", "IP Search", "Device Setup",
    "Web Browser", "Restore", "Reboot", "Firmware Upgrade" };
const char* const kButtonNames[devmgmt::kButtonCount]
    = { "systemSetting", "search", "ipSearch", "deviceSetup", "webBrowser", "restore", "reboot", "firmwareUpgrade" };

QColor toQColor(const devmgmt::Rgb& colour) { return QColor(colour.red, colour.green, colour.blue); }

} // namespace

DeviceViewWidget::DeviceViewWidget(devmgmt::DeviceView& view, QWidget* parent)
    : QWidget(parent)
    , m_view(view)
{
    setObjectName(QStringLiteral("DeviceView"));
    auto* layout = new QVBoxLayout(this);

    auto* buttonRow = new QGridLayout;
    for (int i = 0; i < devmgmt::kButtonCount; ++i) {
        auto* button = new QPushButton(QString::fromLatin1(kButtonTexts[i]), this);
        button->setObjectName(QString::fromLatin1(kButtonNames[i]));
        buttonRow->addWidget(button, i / 4, i % 4);
        m_buttons[static_cast<std::size_t>(i)] = button;
    }
    layout->addLayout(buttonRow);

    auto* options = new QHBoxLayout;
    m_externalBrowser = new QCheckBox(QStringLiteral("Use External Browser"), this);
    m_externalBrowser->setObjectName(QStringLiteral("useExternalBrowser"));
    m_searchAtStart = new QCheckBox(QStringLiteral("Search After Application Start"), this);
    m_searchAtStart->setObjectName(QStringLiteral("searchAfterStart"));
    options->addWidget(m_externalBrowser);
    options->addWidget(m_searchAtStart);
    options->addStretch();
    layout->addLayout(options);

    m_list = new widgets::ReportList(this);
    m_list->setObjectName(QStringLiteral("deviceList"));
    m_list->setAccessibleName(QStringLiteral("Device List"));
    std::vector<widgets::ReportList::Column> columns;
    for (const auto& column : devmgmt::deviceColumns())
        columns.push_back({ column.title, column.width });
    m_list->setColumns(columns, true);
    layout->addWidget(m_list, 1);

    auto* statusRow = new QHBoxLayout;
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setFrameShape(QFrame::Panel);
    m_status->setFrameShadow(QFrame::Sunken);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, devmgmt::DeviceView::kProgressMax);
    m_progress->setTextVisible(false);
    statusRow->addWidget(m_status, 1);
    statusRow->addWidget(m_progress, 1);
    layout->addLayout(statusRow);

    using devmgmt::Button;
    connect(button(Button::Search), &QPushButton::clicked, this, [this] { m_view.clickSearch(); });
    connect(button(Button::IpSearch), &QPushButton::clicked, this, [this] { m_view.clickIpSearch(); });
    connect(button(Button::SystemSetting), &QPushButton::clicked, this, [this] { m_view.clickSystemSetting(); });
    connect(m_externalBrowser, &QCheckBox::toggled, this, [this](bool on) { m_view.setUseExternalBrowser(on); });
    connect(m_searchAtStart, &QCheckBox::toggled, this, [this](bool on) { m_view.setSearchAfterStart(on); });
    connect(m_list, &widgets::ReportList::cellClicked, this,
        [this](int row, int column) { m_view.clickCell(static_cast<std::size_t>(row), column); });
    connect(m_list, &widgets::ReportList::checkToggled, this,
        [this](int row, bool checked) { m_view.setChecked(static_cast<std::size_t>(row), checked); });
    connect(m_list, &widgets::ReportList::rowDoubleClicked, this,
        [this](int row) { m_view.doubleClickRow(static_cast<std::size_t>(row)); });
    refresh();
}

void DeviceViewWidget::refresh()
{
    std::vector<widgets::ReportList::Row> rows;
    rows.reserve(m_view.rows().size());
    for (const auto& row : m_view.rows()) {
        widgets::ReportList::Row item;
        item.checked = row.checked;
        item.texts.assign(row.texts.begin(), row.texts.end());
        if (row.background)
            item.background = toQColor(*row.background);
        if (row.textColour)
            item.text = toQColor(*row.textColour);
        rows.push_back(std::move(item));
    }
    m_list->setRows(rows);
    for (int i = 0; i < devmgmt::kButtonCount; ++i)
        m_buttons[static_cast<std::size_t>(i)]->setEnabled(m_view.buttonEnabled(static_cast<devmgmt::Button>(i)));
    m_status->setText(QString::fromStdString(m_view.statusText()));
    m_progress->setRange(0, m_view.progressRange());
    m_progress->setValue(m_view.progress());
    const QSignalBlocker blockBrowser(m_externalBrowser);
    const QSignalBlocker blockSearch(m_searchAtStart);
    m_externalBrowser->setChecked(m_view.useExternalBrowser());
    m_searchAtStart->setChecked(m_view.searchAfterStart());
}

} // namespace utility::gui
