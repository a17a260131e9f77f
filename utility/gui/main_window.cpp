#include "utility/gui/main_window.h"

#include "utility/gui/navigation_panel.h"
#include "utility/gui/system_log_widget.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>

#include <algorithm>

namespace utility::gui {
namespace {

QWidget* emptyPane(const QString& name, QWidget* parent)
{
    auto* pane = new QLabel(parent);
    pane->setObjectName(name);
    pane->setAlignment(Qt::AlignCenter);
    return pane;
}

} // namespace

MainWindow::MainWindow(shell::FrameModel& frame, shell::NavigationTree& tree, shell::SystemLog& log,
    platform::Prompter& prompter, QWidget* parent)
    : QMainWindow(parent)
    , m_frame(frame)
    , m_tree(tree)
    , m_log(log)
    , m_prompter(prompter)
{
    setObjectName(QStringLiteral("MainWindow"));
    setMinimumSize(665, 550);

    m_vertical = new QSplitter(Qt::Vertical, this);
    m_vertical->setObjectName(QStringLiteral("verticalSplitter"));
    m_horizontal = new QSplitter(Qt::Horizontal, m_vertical);
    m_horizontal->setObjectName(QStringLiteral("horizontalSplitter"));
    // The tree takes the height the buttons leave; where that is too little
    // the buttons drop their descriptions, and only a pane lower than even
    // the compact buttons and the tree scrolls.
    auto* navigationArea = new QScrollArea(m_horizontal);
    navigationArea->setObjectName(QStringLiteral("navigationArea"));
    navigationArea->setWidgetResizable(true);
    navigationArea->setFrameShape(QFrame::NoFrame);
    navigationArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    navigationArea->setMinimumWidth(120);
    m_navigation = new NavigationPanel(frame, tree);
    navigationArea->setWidget(m_navigation);
    m_navigationViewport = navigationArea->viewport();
    m_navigationViewport->installEventFilter(this);
    // The views scroll when the window is too low for them, so a low window
    // can take height from the top row for the log and the terminal.
    auto* topArea = new QScrollArea(m_horizontal);
    topArea->setObjectName(QStringLiteral("topArea"));
    topArea->setWidgetResizable(true);
    topArea->setFrameShape(QFrame::NoFrame);
    m_top = new QStackedWidget;
    m_top->setObjectName(QStringLiteral("topPane"));
    for (const char* name : { "TftpView", "DhcpView", "MonitorView", "VspView", "DeviceView" })
        m_top->addWidget(emptyPane(QString::fromLatin1(name), m_top));
    topArea->setWidget(m_top);
    m_horizontal->addWidget(navigationArea);
    m_horizontal->addWidget(topArea);
    // Growing or shrinking the window changes the right-hand views only; the
    // column's start width is set once the window has its size.
    m_horizontal->setStretchFactor(0, 0);
    m_horizontal->setStretchFactor(1, 1);
    m_horizontal->setCollapsible(0, false);

    m_bottom = new QStackedWidget(m_vertical);
    m_bottom->setObjectName(QStringLiteral("bottomPane"));
    m_bottom->setMinimumHeight(80);
    m_logWidget = new SystemLogWidget(log, m_bottom);
    m_bottom->addWidget(emptyPane(QStringLiteral("WebView"), m_bottom));
    m_bottom->addWidget(emptyPane(QStringLiteral("TerminalView"), m_bottom));
    m_bottom->addWidget(m_logWidget);
    m_vertical->addWidget(m_horizontal);
    m_vertical->addWidget(m_bottom);
    m_vertical->setStretchFactor(0, 0);
    m_vertical->setStretchFactor(1, 1);
    m_vertical->setCollapsible(0, false);
    m_vertical->installEventFilter(this);
    setCentralWidget(m_vertical);

    buildMenusAndToolbar();
    // "Ready" is what the bar says between other messages: a status tip that
    // went away (the pointer left a button) brings it back.
    connect(statusBar(), &QStatusBar::messageChanged, this, [this](const QString& message) {
        if (message.isEmpty())
            statusBar()->showMessage(QStringLiteral("Ready"));
    });
    statusBar()->showMessage(QStringLiteral("Ready"));
    refresh();
}

void MainWindow::buildMenusAndToolbar()
{
    auto makeAction = [this](const QString& name, const QString& text, QStyle::StandardPixmap icon) {
        auto* action = new QAction(style()->standardIcon(icon), text, this);
        action->setObjectName(name);
        return action;
    };
    QAction* openLog
        = makeAction(QStringLiteral("openLog"), QStringLiteral("&Open Log...\tCtrl+O"), QStyle::SP_DialogOpenButton);
    openLog->setShortcut(QKeySequence(QStringLiteral("Ctrl+O")));
    QAction* saveLog
        = makeAction(QStringLiteral("saveLog"), QStringLiteral("&Save Log\tCtrl+S"), QStyle::SP_DialogSaveButton);
    // The key the menu shows is the key that saves the log.
    saveLog->setShortcut(QKeySequence(QStringLiteral("Ctrl+S")));
    QAction* exit = makeAction(QStringLiteral("exit"), QStringLiteral("E&xit"), QStyle::SP_DialogCloseButton);
    QAction* help = makeAction(QStringLiteral("help"), QStringLiteral("Contents"), QStyle::SP_DialogHelpButton);
    // F1 opens the help at the section of the view in use.
    QAction* viewHelp
        = makeAction(QStringLiteral("viewHelp"), QStringLiteral("Help on This &View\tF1"), QStyle::SP_DialogHelpButton);
    viewHelp->setShortcut(QKeySequence::HelpContents);
    viewHelp->setShortcutContext(Qt::WindowShortcut);
    QAction* about
        = makeAction(QStringLiteral("about"), QStringLiteral("&About Qelta..."), QStyle::SP_MessageBoxInformation);
    m_dhcp = makeAction(QStringLiteral("dhcp"), QStringLiteral("DHCP"), QStyle::SP_DriveNetIcon);
    m_dhcp->setCheckable(true);
    m_dhcp->setStatusTip(QStringLiteral("DHCP server function start / stop"));
    m_tftp = makeAction(QStringLiteral("tftp"), QStringLiteral("TFTP"), QStyle::SP_FileDialogDetailedView);
    m_tftp->setCheckable(true);
    m_tftp->setStatusTip(QStringLiteral("TFTP server function start / stop"));

    connect(openLog, &QAction::triggered, this, [this] { m_log.openLog(m_prompter); });
    connect(saveLog, &QAction::triggered, this, [this] { m_log.saveLog(m_prompter); });
    connect(exit, &QAction::triggered, this, &QWidget::close);
    connect(help, &QAction::triggered, this, [this] {
        if (m_actions.help)
            m_actions.help();
    });
    connect(viewHelp, &QAction::triggered, this, [this] {
        if (m_actions.viewHelp)
            m_actions.viewHelp(helpSection());
    });
    connect(about, &QAction::triggered, this, [this] {
        if (m_actions.about)
            m_actions.about();
    });
    // A click toggles a checkable action by itself; the state is put back
    // at once and changes only when the server reports it (setServerChecked).
    connect(m_dhcp, &QAction::triggered, this, [this] {
        m_dhcp->setChecked(m_dhcpRunning);
        if (m_actions.toggleDhcp)
            m_actions.toggleDhcp();
    });
    connect(m_tftp, &QAction::triggered, this, [this] {
        m_tftp->setChecked(m_tftpRunning);
        if (m_actions.toggleTftp)
            m_actions.toggleTftp();
    });

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(openLog);
    file->addAction(saveLog);
    file->addSeparator();
    file->addAction(exit);
    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    QToolBar* toolbar = addToolBar(QStringLiteral("Toolbar"));
    toolbar->setObjectName(QStringLiteral("toolbar"));
    QAction* showToolbar = toolbar->toggleViewAction();
    showToolbar->setText(QStringLiteral("&Toolbar"));
    view->addAction(showToolbar);
    QAction* showStatusBar = view->addAction(QStringLiteral("&Status Bar"));
    showStatusBar->setCheckable(true);
    showStatusBar->setChecked(true);
    connect(showStatusBar, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });
    QMenu* helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    helpMenu->addAction(help);
    helpMenu->addAction(viewHelp);
    helpMenu->addAction(about);

    toolbar->addAction(openLog);
    toolbar->addAction(saveLog);
    toolbar->addAction(help);
    toolbar->addAction(m_dhcp);
    toolbar->addAction(m_tftp);
}

QAction* MainWindow::action(const QString& objectName) const { return findChild<QAction*>(objectName); }

void MainWindow::setServerChecked(bool dhcp, bool checked)
{
    (dhcp ? m_dhcpRunning : m_tftpRunning) = checked;
    (dhcp ? m_dhcp : m_tftp)->setChecked(checked);
}

void MainWindow::applyStartPaneSizes()
{
    // Sizes given before the splitters have their own are scaled to the
    // window later; they are set in pixels once the splitters are laid out.
    const auto total = [](QSplitter* splitter) {
        int sum = 0;
        for (int size : splitter->sizes())
            sum += size;
        return sum;
    };
    const int width = total(m_horizontal);
    const int height = total(m_vertical);
    if (width <= 0 || height <= 0)
        return;
    if (m_paneSizesPending) {
        m_paneSizesPending = false;
        m_horizontal->setSizes({ kNavigationWidth, std::max(0, width - kNavigationWidth) });
        m_vertical->setSizes({ kTopRowHeight, std::max(0, height - kTopRowHeight) });
    }
    // A low window takes the height from the top row too (its views then
    // scroll), down to a least height: the log and the terminal keep room for their rows and
    // their buttons. Made higher again, the window gives that height back.
    const QList<int> sizes = m_vertical->sizes();
    const int bottom = std::min(kBottomRowHeight, height / 2);
    int top = sizes.value(0);
    if (sizes.value(1) < bottom)
        top = std::min(top, std::max(kTopRowLeast, height - bottom));
    else if (m_topShrunk)
        top = std::min(kTopRowHeight, height - bottom);
    if (top == sizes.value(0))
        return;
    m_topShrunk = top < kTopRowHeight;
    m_vertical->setSizes({ top, height - top });
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    applyStartPaneSizes();
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    if (isVisible())
        applyStartPaneSizes();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // The splitter takes its new height after the window's resize event.
    if (watched == m_vertical && event->type() == QEvent::Resize && isVisible())
        applyStartPaneSizes();
    if (watched == m_navigationViewport && event->type() == QEvent::Resize)
        m_navigation->fitHeight(m_navigationViewport->height());
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::setTopView(shell::TopView index, QWidget* view)
{
    const int i = static_cast<int>(index);
    QWidget* old = m_top->widget(i);
    m_top->insertWidget(i, view);
    m_top->removeWidget(old);
    old->deleteLater();
    refresh();
}

void MainWindow::setBottomView(shell::BottomView index, QWidget* view)
{
    const int i = static_cast<int>(index);
    QWidget* old = m_bottom->widget(i);
    m_bottom->insertWidget(i, view);
    m_bottom->removeWidget(old);
    if (old != m_logWidget)
        old->deleteLater();
    refresh();
}

QWidget* MainWindow::topView(shell::TopView index) const { return m_top->widget(static_cast<int>(index)); }
QWidget* MainWindow::bottomView(shell::BottomView index) const { return m_bottom->widget(static_cast<int>(index)); }
QWidget* MainWindow::shownTopView() const { return m_top->currentWidget(); }
QWidget* MainWindow::shownBottomView() const { return m_bottom->currentWidget(); }

void MainWindow::refresh()
{
    m_top->setCurrentIndex(static_cast<int>(m_frame.top()));
    m_bottom->setCurrentIndex(static_cast<int>(m_frame.bottom()));
    m_navigation->refresh();
}

std::string MainWindow::helpSection() const
{
    const QWidget* focus = QApplication::focusWidget();
    if (focus && m_bottom->isAncestorOf(focus)) {
        if (m_frame.bottom() == shell::BottomView::Terminal)
            return "terminal";
        if (m_frame.bottom() == shell::BottomView::SystemLog)
            return "log";
    }
    switch (m_frame.top()) {
    case shell::TopView::Tftp:
        return "tftp";
    case shell::TopView::Dhcp:
        return "dhcp";
    case shell::TopView::Monitor:
        return "monitor";
    case shell::TopView::Vsp:
        return "vsp";
    case shell::TopView::DeviceManagement:
        break;
    }
    return "devices";
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_actions.closing)
        m_actions.closing();
    event->accept();
}

} // namespace utility::gui
