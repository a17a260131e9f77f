#include "widgets/help_window.h"

#include "platform/data_files.h"
#include "platform/text_file.h"

#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace widgets {

HelpWindow::HelpWindow(QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_browser(new QTextBrowser(this))
{
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("Help"));
    m_browser->setObjectName(QStringLiteral("helpBrowser"));
    m_browser->setOpenExternalLinks(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    resize(640, 520);
}

bool HelpWindow::showSection(const std::string& file, const std::string& section, std::string& why)
{
    const QFileInfo info(QString::fromStdString(file));
    if (!info.isFile() || !info.isReadable()) {
        why = file.empty() ? std::string("no help file is installed") : file + " cannot be read";
        return false;
    }
    if (file != m_file) {
        m_browser->setSource(QUrl::fromLocalFile(info.absoluteFilePath()));
        m_file = file;
        setWindowTitle(m_browser->documentTitle().isEmpty() ? QStringLiteral("Help") : m_browser->documentTitle());
    }
    show();
    raise();
    activateWindow();
    // Scrolled once the page is laid out at the window's width.
    if (section.empty())
        m_browser->scrollToAnchor(QStringLiteral("contents"));
    else
        m_browser->scrollToAnchor(QString::fromStdString(section));
    return true;
}

std::string findHelpFile(const std::string& directory)
{
    if (!directory.empty() && platform::fileExists(directory + kHelpFileName))
        return directory + kHelpFileName;
    return platform::findInDirectories(kHelpFileName, platform::dataDirectories());
}

} // namespace widgets
