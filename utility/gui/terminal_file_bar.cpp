#include "utility/gui/terminal_file_bar.h"

#include "platform/prompter.h"
#include "utility/services/terminal_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace utility::gui {

namespace {
constexpr const char* kFileFilter = "All Files (*.*)|*.*|";
constexpr const char* kLogFilter = "Log Files (*.log;*.txt)|*.log;*.txt|All Files (*.*)|*.*|";
} // namespace

TerminalFileBar::TerminalFileBar(platform::EventLoop& loop, services::Terminal& terminal, QWidget* parent)
    : QWidget(parent)
    , m_terminal(terminal)
    , m_send(loop, terminal)
    , m_sendButton(new QPushButton(QStringLiteral("Send File..."), this))
    , m_cancel(new QPushButton(QStringLiteral("Cancel"), this))
    , m_logButton(new QPushButton(QStringLiteral("Log to File..."), this))
    , m_progress(new QProgressBar(this))
    , m_status(new QLabel(this))
{
    const QString n = QString::number(terminal.number());
    setObjectName(QStringLiteral("terminalFiles%1").arg(n));
    m_sendButton->setObjectName(QStringLiteral("sendFile%1").arg(n));
    m_cancel->setObjectName(QStringLiteral("cancelSend%1").arg(n));
    m_logButton->setObjectName(QStringLiteral("logToFile%1").arg(n));
    m_logButton->setCheckable(true);
    m_sendButton->setToolTip(QStringLiteral("Send the bytes of a file to the port as they are."));
    m_logButton->setToolTip(QStringLiteral("Add everything the log shows to the end of a file; click again to stop."));
    m_progress->setRange(0, 1000);
    m_progress->setTextVisible(false);
    m_progress->setMaximumHeight(m_sendButton->sizeHint().height() / 2);
    m_status->setWordWrap(true);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(2);
    auto* row = new QHBoxLayout;
    row->addWidget(m_sendButton);
    row->addWidget(m_progress, 1);
    row->addWidget(m_cancel);
    row->addWidget(m_logButton);
    outer->addLayout(row);
    outer->addWidget(m_status);
    m_send.setProgressCallback([this] { showProgress(); });
    m_send.setFinishedCallback([this](services::TerminalFileSend::Outcome outcome) { sendFinished(outcome); });
    connect(m_sendButton, &QPushButton::clicked, this, [this] {
        if (!m_prompter)
            return;
        const std::string path = m_prompter->openFile("Send File", kFileFilter, {});
        if (!path.empty())
            sendFile(path);
    });
    connect(m_cancel, &QPushButton::clicked, this, [this] { m_send.cancel(); });
    connect(m_logButton, &QPushButton::clicked, this, [this] {
        if (m_log.isOpen()) {
            stopLogging();
            return;
        }
        const std::string path
            = m_prompter ? m_prompter->saveFile("Log to File (added to its end)", kLogFilter, {}) : std::string();
        if (!path.empty())
            logToFile(path);
        refresh();
    });
    refresh();
}

void TerminalFileBar::say(const std::string& text)
{
    m_status->setText(QString::fromStdString(text));
    if (m_systemLog)
        m_systemLog(text);
}

void TerminalFileBar::sendFile(const std::string& path)
{
    std::string why;
    if (!m_send.start(path, why)) {
        say("Send File: " + why + "; nothing was sent");
        return;
    }
    m_sending = path;
    m_progress->setValue(0);
    say("Sending " + path + " (" + std::to_string(m_send.total()) + " bytes) to " + m_terminal.openPortName());
    refresh();
    if (m_changed)
        m_changed();
}

void TerminalFileBar::showProgress()
{
    const std::uint64_t total = m_send.total();
    m_progress->setValue(total == 0 ? 1000 : static_cast<int>(m_send.taken() * 1000 / total));
}

void TerminalFileBar::sendFinished(services::TerminalFileSend::Outcome outcome)
{
    using Outcome = services::TerminalFileSend::Outcome;
    const std::string done = std::to_string(m_send.taken()) + " of " + std::to_string(m_send.total()) + " bytes";
    const std::string port = m_terminal.openPortName();
    showProgress();
    switch (outcome) {
    case Outcome::Sent:
        say("Sent " + m_sending + " to " + port + ": " + done);
        break;
    case Outcome::Cancelled:
        say("Send File cancelled: " + done + " of " + m_sending + " went to " + port);
        break;
    case Outcome::PortClosed:
        say("Send File stopped: the port closed after " + done + " of " + m_sending);
        break;
    case Outcome::ReadFailed:
        say("Send File stopped: " + m_sending + " could not be read after " + done);
        break;
    }
    refresh();
    if (m_changed)
        m_changed();
}

void TerminalFileBar::logToFile(const std::string& path)
{
    const std::string why = m_log.open(path);
    if (!why.empty())
        say("Log to File: cannot write " + why + "; not logging");
    else
        say("Log to File: adding the log of terminal " + std::to_string(m_terminal.number()) + " to " + path);
    refresh();
}

void TerminalFileBar::stopLogging()
{
    if (!m_log.isOpen())
        return;
    m_log.close();
    say("Log to File: " + m_log.path() + " closed");
    refresh();
}

void TerminalFileBar::shown(const std::string& text)
{
    if (!m_log.isOpen())
        return;
    const std::string why = m_log.write(text);
    if (!why.empty()) {
        say("Log to File stopped: cannot write " + why);
        refresh();
    }
}

void TerminalFileBar::refresh()
{
    const bool sending = m_send.running();
    m_sendButton->setEnabled(m_terminal.isOpen() && !sending && !m_terminal.autoTest() && !m_terminal.echo());
    m_cancel->setEnabled(sending);
    m_progress->setVisible(sending || m_progress->value() > 0);
    m_logButton->setChecked(m_log.isOpen());
}

} // namespace utility::gui
