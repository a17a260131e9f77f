#include "utility/gui/terminal_view_widget.h"

#include "utility/gui/terminal_file_bar.h"
#include "utility/services/terminal_text.h"

#include <algorithm>

#include <QCheckBox>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

namespace utility::gui {

using services::Terminal;

namespace {
constexpr std::uint32_t kMinBaud = 50;
constexpr std::uint32_t kMaxBaud = 4000000;
} // namespace

void PortComboBox::showPopup()
{
    if (aboutToOpen)
        aboutToOpen();
    QComboBox::showPopup();
}

TerminalLog::TerminalLog(Terminal& terminal, QWidget* parent)
    : QPlainTextEdit(parent)
    , m_terminal(terminal)
    , m_queueTimer(new QTimer(this))
{
    m_queueTimer->setInterval(2);
    connect(m_queueTimer, &QTimer::timeout, this, [this] { sendQueued(); });
    QFont font(QStringLiteral("Courier New"), 10);
    font.setStyleHint(QFont::Monospace);
    setFont(font);
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFocusPolicy(Qt::StrongFocus);
}

void TerminalLog::apply(const Terminal::LogChange& change)
{
    if (change.kind == Terminal::LogChange::Append) {
        show(change.text, change.received);
    } else {
        const std::string& log = m_terminal.log();
        setPlainText(QString::fromLatin1(log.data(), static_cast<qsizetype>(log.size())));
    }
    // The end stays in view.
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TerminalLog::show(const std::string& data, bool received)
{
    std::string text = received && m_hex ? services::terminalHexText(data) : data;
    if (received && m_timeStamps)
        text = "\n" + services::terminalTimeStamp() + text;
    moveCursor(QTextCursor::End);
    insertPlainText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    if (m_shown)
        m_shown(text);
}

void TerminalLog::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy) || event->matches(QKeySequence::SelectAll)) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    if (m_blocked && m_blocked()) {
        event->ignore();
        return;
    }
    std::uint8_t key = 0;
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        key = '\r';
    else if (event->key() == Qt::Key_Backspace)
        key = '\b';
    else if (!event->text().isEmpty())
        key = static_cast<std::uint8_t>(event->text().at(0).toLatin1());
    Key typed { m_asTyped, {} };
    if (m_asTyped) {
        if (key == '\r')
            typed.bytes = m_lineEnd;
        else if (key == '\b')
            typed.bytes = "\b";
        else if (!event->text().isEmpty())
            typed.bytes = event->text().toLatin1().toStdString();
    } else if (key != 0) {
        typed.bytes = std::string(1, static_cast<char>(key));
    }
    event->accept();
    if (typed.bytes.empty() || !m_terminal.isOpen())
        return;
    if (m_queued.empty() && !m_terminal.writePending()) {
        send(typed);
        return;
    }
    m_queued.push_back(std::move(typed));
    m_queueTimer->start();
}

void TerminalLog::send(const Key& key)
{
    if (key.asTyped) {
        m_terminal.send(reinterpret_cast<const std::uint8_t*>(key.bytes.data()), key.bytes.size());
        if (m_localEcho)
            show(key.bytes, true);
    } else if (m_terminal.type(static_cast<std::uint8_t>(key.bytes[0])) && m_localEcho) {
        show(key.bytes, true);
    }
}

void TerminalLog::sendQueued()
{
    // Keys typed into a port that closed meanwhile go nowhere.
    if (!m_terminal.isOpen())
        m_queued.clear();
    if (!m_queued.empty() && !m_terminal.writePending()) {
        send(m_queued.front());
        m_queued.pop_front();
    }
    if (m_queued.empty())
        m_queueTimer->stop();
}

TerminalViewWidget::TerminalViewWidget(
    services::TerminalView& view, const shell::AppSettings& settings, QWidget* parent)
    : QWidget(parent)
    , m_view(view)
    , m_settings(settings)
{
    setObjectName(QStringLiteral("TerminalView"));
    // The bottom pane of a small window is far lower than both terminals'
    // controls: the view scrolls there instead of squeezing the logs away.
    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("terminalScroll"));
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget(m_scroll);
    auto* layout = new QHBoxLayout(content);
    auto* left = new QVBoxLayout;
    auto* right = new QVBoxLayout;
    for (int i = 0; i < 2; ++i) {
        left->addWidget(buildTerminal(i));
        TerminalLog* log = m_controls[static_cast<std::size_t>(i)].log;
        log->setMinimumHeight(log->fontMetrics().lineSpacing() * kLogMinimumLines + 2 * log->frameWidth() + 8);
        right->addWidget(log);
    }
    left->addStretch(1);
    layout->addLayout(left);
    layout->addLayout(right, 1);
    m_scroll->setWidget(content);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(m_scroll);
    refresh();
}

QWidget* TerminalViewWidget::buildTerminal(int index)
{
    Terminal& terminal = m_view.terminal(index);
    TerminalControls& c = m_controls[static_cast<std::size_t>(index)];
    auto* box = new QGroupBox(QStringLiteral("Terminal %1").arg(index + 1), this);
    auto* grid = new QGridLayout(box);
    grid->setVerticalSpacing(2);
    auto tip = [](QWidget* widget, const char* text) {
        widget->setToolTip(QStringLiteral("<p style='width:200px'>%1</p>").arg(QString::fromLatin1(text)));
    };

    c.port = new PortComboBox(box);
    c.port->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    c.port->setMinimumContentsLength(10);
    c.port->aboutToOpen = [this, &terminal] {
        terminal.refillPorts();
        refresh();
    };
    connect(c.port, qOverload<int>(&QComboBox::activated), this, [this, &terminal](int row) {
        terminal.selectPort(row);
        refresh();
    });
    grid->addWidget(new QLabel(QStringLiteral("Port"), box), 0, 0);
    grid->addWidget(c.port, 0, 1);

    const char* labels[] = { "Baud Rate", "Data Bits", "Parity Check", "Stop Bits", "Flow Control" };
    auto addList = [&](int n, auto items) {
        auto* combo = new QComboBox(box);
        for (const char* item : items)
            combo->addItem(QString::fromLatin1(item));
        c.lists[static_cast<std::size_t>(n)] = combo;
        grid->addWidget(new QLabel(QString::fromLatin1(labels[n]), box), (n + 1) / 2, ((n + 1) % 2) * 2);
        grid->addWidget(combo, (n + 1) / 2, ((n + 1) % 2) * 2 + 1);
        connect(combo, qOverload<int>(&QComboBox::activated), this, [this, &terminal, n](int row) {
            switch (n) {
            case 0:
                terminal.setBaudIndex(row);
                break;
            case 1:
                terminal.setDataBitsIndex(row);
                break;
            case 2:
                terminal.setParityIndex(row);
                break;
            case 3:
                terminal.setStopBitsIndex(row);
                break;
            default:
                terminal.setFlowIndex(row);
            }
            refresh();
        });
    };
    addList(0, services::kTerminalBaudRates);
    addList(1, services::kTerminalDataBits);
    addList(2, services::kTerminalParities);
    addList(3, services::kTerminalStopBits);
    addList(4, services::kTerminalFlows);

    auto button = [&](const char* text, const char* toolTip, void (Terminal::*click)()) {
        auto* b = new QPushButton(QString::fromLatin1(text), box);
        if (toolTip)
            tip(b, toolTip);
        connect(b, &QPushButton::clicked, this, [this, &terminal, click] {
            (terminal.*click)();
            refresh();
        });
        return b;
    };
    c.open = button("Open Port", services::kTipOpen, &Terminal::clickOpen);
    c.close = button("Close Port", services::kTipClose, &Terminal::clickClose);
    c.purge = button("Purge Buffer", nullptr, &Terminal::clickPurge);
    c.clearLog = button("Clear Log", services::kTipClearLog, &Terminal::clickClearLog);
    grid->addWidget(c.open, 3, 0);
    grid->addWidget(c.close, 3, 1);
    grid->addWidget(c.purge, 3, 2);
    grid->addWidget(c.clearLog, 3, 3);

    c.autoTest = new QCheckBox(QStringLiteral("Auto Test"), box);
    tip(c.autoTest, services::kTipAutoTest);
    connect(c.autoTest, &QCheckBox::clicked, this, [this, &terminal](bool on) {
        terminal.setAutoTest(on);
        refresh();
    });
    c.echo = new QCheckBox(QStringLiteral("Echo"), box);
    tip(c.echo, services::kTipEcho);
    connect(c.echo, &QCheckBox::clicked, this, [this, &terminal](bool on) {
        terminal.setEcho(on);
        refresh();
    });
    grid->addWidget(c.autoTest, 4, 0);
    grid->addWidget(c.echo, 4, 1);
    // How received data is shown; the terminal's own log stays as it came.
    c.hex = new QCheckBox(QStringLiteral("Hex"), box);
    tip(c.hex, "Show the bytes received from now on as hex pairs.");
    connect(c.hex, &QCheckBox::toggled, this, [log = &c.log](bool on) { (*log)->setHex(on); });
    c.timeStamps = new QCheckBox(QStringLiteral("Time Stamps"), box);
    tip(c.timeStamps, "Begin each block received from now on with the local time, on a line of its own.");
    connect(c.timeStamps, &QCheckBox::toggled, this, [log = &c.log](bool on) { (*log)->setTimeStamps(on); });
    grid->addWidget(c.hex, 6, 0);
    grid->addWidget(c.timeStamps, 6, 1);
    // How keys go out: by the typing rules, or as they are with a line end.
    c.asTyped = new QCheckBox(QStringLiteral("As Typed"), box);
    tip(c.asTyped, "Send keys as they are, spaces and bytes from 0x80 included; Enter sends the Line End.");
    connect(c.asTyped, &QCheckBox::toggled, this, [log = &c.log](bool on) { (*log)->setAsTyped(on); });
    c.lineEnd = new QComboBox(box);
    for (const char* item : { "CR", "LF", "CR LF" })
        c.lineEnd->addItem(QString::fromLatin1(item));
    connect(c.lineEnd, qOverload<int>(&QComboBox::activated), this, [log = &c.log](int row) {
        (*log)->setLineEnd(row == 0 ? "\r" : row == 1 ? "\n" : "\r\n");
    });
    c.localEcho = new QCheckBox(QStringLiteral("Local Echo"), box);
    tip(c.localEcho, "Show what is sent in the log, as received bytes are shown.");
    connect(c.localEcho, &QCheckBox::toggled, this, [log = &c.log](bool on) { (*log)->setLocalEcho(on); });
    grid->addWidget(c.asTyped, 7, 0);
    grid->addWidget(new QLabel(QStringLiteral("Line End"), box), 7, 2);
    grid->addWidget(c.lineEnd, 7, 3);
    grid->addWidget(c.localEcho, 6, 2);

    auto field = [&](const char* label, const char* toolTip, void (Terminal::*set)(int), int row) {
        auto* edit = new QLineEdit(box);
        edit->setValidator(new QIntValidator(0, 999999, edit));
        tip(edit, toolTip);
        connect(edit, &QLineEdit::editingFinished, this, [this, &terminal, edit, set] {
            (terminal.*set)(edit->text().toInt());
            refresh();
            // The field shows what the value became.
            const auto& lists = terminal.lists();
            edit->setText(QString::number(set == &Terminal::setInterval ? lists.testIntervalMs : lists.testDataLength));
        });
        grid->addWidget(new QLabel(QString::fromLatin1(label), box), row, 2);
        grid->addWidget(edit, row, 3);
        return edit;
    };
    c.interval = field("TX Interval (ms)", services::kTipInterval, &Terminal::setInterval, 4);
    c.length = field("TX Data Length", services::kTipLength, &Terminal::setLength, 5);

    // A rate the Baud Rate list does not hold; emptied, the list's rate is
    // used again (one of the list's rates selects its entry).
    c.otherBaud = new QLineEdit(box);
    c.otherBaud->setObjectName(QStringLiteral("otherBaud%1").arg(index + 1));
    // Digits only, empty allowed (an integer validator would hold an empty
    // field back from finishing).
    c.otherBaud->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,7}")), c.otherBaud));
    c.otherBaud->setPlaceholderText(QStringLiteral("the list's"));
    tip(c.otherBaud, "Any rate the port takes, 50 to 4000000; empty to use the Baud Rate list.");
    connect(c.otherBaud, &QLineEdit::editingFinished, this, [this, &terminal, edit = c.otherBaud] {
        // Clamped as the other fields are; empty (or 0) is the list's rate.
        const long rate = edit->text().toLong();
        terminal.setBaudRate(rate == 0 ? 0 : static_cast<std::uint32_t>(std::clamp<long>(rate, kMinBaud, kMaxBaud)));
        edit->clearFocus();
        refresh();
    });
    grid->addWidget(new QLabel(QStringLiteral("Other Baud"), box), 5, 0);
    grid->addWidget(c.otherBaud, 5, 1);

    c.log = new TerminalLog(terminal, this);
    c.log->setObjectName(QStringLiteral("terminalLog%1").arg(index + 1));
    c.log->setAccessibleName(QStringLiteral("Terminal %1 Log").arg(index + 1));
    terminal.setLogCallback([log = c.log](const Terminal::LogChange& change) { log->apply(change); });
    terminal.setChangedCallback([this] { refresh(); });

    c.files = new TerminalFileBar(terminal.loop(), terminal, box);
    c.files->setChangedCallback([this] { refresh(); });
    c.log->setShownCallback([files = c.files](const std::string& text) { files->shown(text); });
    c.log->setInputBlocked([files = c.files] { return files->sending(); });
    grid->addWidget(c.files, 8, 0, 1, 4);
    return box;
}

void TerminalViewWidget::setPrompter(platform::Prompter* prompter)
{
    for (auto& c : m_controls)
        c.files->setPrompter(prompter);
}

void TerminalViewWidget::setSystemLog(std::function<void(const std::string&)> log)
{
    for (auto& c : m_controls)
        c.files->setSystemLog(log);
}

void TerminalViewWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_view.shown()) {
        m_view.firstShown(m_settings);
        refresh();
    }
}

void TerminalViewWidget::refresh()
{
    if (m_refreshing)
        return;
    m_refreshing = true;
    for (int i = 0; i < 2; ++i) {
        Terminal& t = m_view.terminal(i);
        TerminalControls& c = m_controls[static_cast<std::size_t>(i)];
        {
            QSignalBlocker block(c.port);
            c.port->clear();
            for (const auto& entry : t.ports())
                c.port->addItem(QString::fromStdString(entry.name));
            c.port->setCurrentIndex(t.portIndex());
        }
        const auto& lists = t.lists();
        const int indices[] = { lists.baudRateIndex, lists.dataBitsIndex, lists.parityIndex, lists.stopBitsIndex,
            lists.flowControlIndex };
        for (std::size_t n = 0; n < 5; ++n) {
            QSignalBlocker block(c.lists[n]);
            c.lists[n]->setCurrentIndex(indices[n]);
            c.lists[n]->setEnabled(t.listsEnabled());
        }
        c.port->setEnabled(t.listsEnabled());
        c.open->setEnabled(t.openEnabled());
        c.close->setEnabled(t.closeEnabled());
        c.purge->setEnabled(t.purgeEnabled());
        // A file going out takes every write: no auto test or echo meanwhile.
        c.autoTest->setEnabled(t.autoTestEnabled() && !c.files->sending());
        c.autoTest->setChecked(t.autoTest());
        c.echo->setEnabled(t.echoEnabled() && !c.files->sending());
        c.files->refresh();
        c.echo->setChecked(t.echo());
        c.interval->setEnabled(t.intervalEnabled());
        c.length->setEnabled(t.lengthEnabled());
        if (!c.interval->hasFocus())
            c.interval->setText(QString::number(lists.testIntervalMs));
        if (!c.length->hasFocus())
            c.length->setText(QString::number(lists.testDataLength));
        // The free rate, when one is in force, is shown in its field.
        c.otherBaud->setEnabled(t.listsEnabled());
        if (!c.otherBaud->hasFocus())
            c.otherBaud->setText(t.freeBaudRate() ? QString::number(t.baudRate()) : QString());
    }
    m_refreshing = false;
}

} // namespace utility::gui
