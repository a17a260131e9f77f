#include "utility/gui/tftp_view.h"

#include "utility/gui/main_window.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>

namespace utility::gui {

TftpView::TftpView(services::TftpServer& server, QWidget* parent)
    : QWidget(parent)
    , m_server(server)
{
    setObjectName(QStringLiteral("TftpView"));
    m_start = new QPushButton(this);
    m_start->setObjectName(QStringLiteral("startStop")); // control 1116
    m_path = new QLineEdit(this);
    m_path->setObjectName(QStringLiteral("filePath"));
    m_path->setMaxLength(static_cast<int>(services::TftpServer::kFilePathLimit));
    m_browse = new QPushButton(QStringLiteral("..."), this);
    m_browse->setObjectName(QStringLiteral("browse")); // control 1111
    m_browse->setFixedWidth(32);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setTextVisible(false);
    m_transfers = new QTreeWidget(this);
    m_transfers->setObjectName(QStringLiteral("transfers"));
    m_transfers->setRootIsDecorated(false);
    m_transfers->setHeaderLabels(
        { QStringLiteral("Client"), QStringLiteral("Port"), QStringLiteral("File"), QStringLiteral("Blocks") });
    m_transfers->header()->setStretchLastSection(false);
    m_transfers->header()->setSectionResizeMode(2, QHeaderView::Stretch);
    m_transfers->setMaximumHeight(120);
    m_transfers->setAccessibleName(QStringLiteral("TFTP Transfers"));
    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("log"));
    m_log->setReadOnly(true);
    // Screen readers (and scripts that drive the window) find the log and
    // the folder field by name; the field takes its label's.
    m_log->setAccessibleName(QStringLiteral("TFTP Server Log"));
    auto* pathLabel = new QLabel(QStringLiteral("File Path"), this);
    pathLabel->setBuddy(m_path);

    auto* layout = new QGridLayout(this);
    layout->addWidget(m_start, 0, 0);
    layout->addWidget(pathLabel, 0, 1);
    layout->addWidget(m_path, 0, 2);
    layout->addWidget(m_browse, 0, 3);
    layout->addWidget(m_progress, 1, 0, 1, 4);
    layout->addWidget(m_transfers, 2, 0, 1, 4);
    layout->addWidget(m_log, 3, 0, 1, 4);
    layout->setColumnStretch(2, 1);
    layout->setRowStretch(3, 1);

    connect(m_start, &QPushButton::clicked, this, [this] { toggle(); });
    connect(m_browse, &QPushButton::clicked, this, [this] { m_server.browse(); });
    m_path->setText(QString::fromLocal8Bit(m_server.filePath().c_str()));
    refresh();
}

void TftpView::toggle()
{
    if (!m_server.running())
        m_server.setFilePath(m_path->text().toLocal8Bit().toStdString());
    m_server.toggle();
}

void TftpView::refresh()
{
    m_start->setText(QString::fromLatin1(m_server.buttonCaption()));
    // A running server keeps the folder it started with: the folder shown is
    // the one served, and another can be chosen once it stops.
    const bool running = m_server.running();
    m_browse->setEnabled(!running);
    m_path->setReadOnly(running);
    m_browse->setToolTip(running ? QStringLiteral("Stop the server to serve another folder.") : QString());
    const QString path = QString::fromLocal8Bit(m_server.filePath().c_str());
    if (!m_path->hasFocus() && m_path->text() != path)
        m_path->setText(path);
    m_progress->setRange(0, std::max(1, m_server.progressMaximum()));
    m_progress->setValue(std::min(m_server.progressPosition(), std::max(1, m_server.progressMaximum())));
    const auto transfers = m_server.transfers();
    m_transfers->clear();
    for (const auto& transfer : transfers) {
        auto* row = new QTreeWidgetItem(m_transfers);
        row->setText(0,
            QString::fromStdString(
                platform::formatIpv4(transfer.client.address) + ":" + std::to_string(transfer.client.port)));
        row->setText(1, QString::number(transfer.port));
        row->setText(2, QString::fromLocal8Bit(transfer.path.c_str()));
        row->setText(3, QStringLiteral("%1 / %2").arg(transfer.blocksSent).arg(transfer.blocksTotal));
    }
    // Append what the box does not hold yet, at the end (the server keeps
    // only its last lines; the box has its own).
    if (m_server.logNext() > m_shownLog) {
        std::string added = m_server.logSince(m_shownLog);
        std::erase(added, '\r');
        m_shownLog = m_server.logNext();
        m_log->moveCursor(QTextCursor::End);
        m_log->insertPlainText(QString::fromLocal8Bit(added.c_str()));
        m_log->verticalScrollBar()->setValue(m_log->verticalScrollBar()->maximum());
    }
}

TftpView* installTftpView(MainWindow& window, FrameActions& actions, services::TftpServer& server)
{
    auto* view = new TftpView(server);
    window.setTopView(shell::TopView::Tftp, view);
    server.setChangedCallback([view] { view->refresh(); });
    server.setRunningCallback([&window](bool running) { window.setServerChecked(false, running); });
    actions.toggleTftp = [view] { view->toggle(); };
    window.setServerChecked(false, server.running());
    return view;
}

} // namespace utility::gui
