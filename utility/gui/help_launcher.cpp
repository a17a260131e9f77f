#include "utility/gui/help_launcher.h"

#include "platform/text_file.h"
#include "utility/gui/window_parts.h"
#include "widgets/help_window.h"

namespace utility::gui {

HelpLauncher::HelpLauncher(
    QWidget* owner, std::string directory, std::function<void(const std::string&)> log, std::string opener)
    : m_owner(owner)
    , m_directory(std::move(directory))
    , m_log(std::move(log))
    , m_opener(std::move(opener))
{
}

void HelpLauncher::open(const std::string& section)
{
    const std::string compiled = m_directory + "QELTA.chm";
    // A compiled help file opens at its own start page only.
    if (section.empty() && platform::fileExists(compiled)) {
        openWithSystemHandler(
            compiled, m_owner, [this](const std::string& why) { showPage({}, why); }, m_opener);
        return;
    }
    showPage(section, {});
}

void HelpLauncher::showPage(const std::string& section, const std::string& why)
{
    if (!m_window)
        m_window = new widgets::HelpWindow(m_owner);
    const std::string file = widgets::findHelpFile(m_directory);
    std::string problem;
    if (!m_window->showSection(file, section, problem)) {
        m_log("Help: " + (why.empty() ? problem : why + "; " + problem));
        return;
    }
    if (!why.empty())
        m_log("Help: " + why + "; showing " + file);
}

} // namespace utility::gui
