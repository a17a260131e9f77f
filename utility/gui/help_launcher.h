#pragma once

#include <functional>
#include <string>

class QWidget;

namespace widgets {
class HelpWindow;
}

namespace utility::gui {

// Opens the utility's help. A compiled help file in the settings folder
// goes to the system's handler, as on the systems it was written for; the
// HTML page is shown in a help window of its own, at the section asked for,
// so the main window stays as it is while the help opens.
class HelpLauncher {
public:
    HelpLauncher(QWidget* owner, std::string directory, std::function<void(const std::string&)> log,
        std::string opener = "xdg-open");

    // The page's contents (empty section) or one view's section.
    void open(const std::string& section);
    // Null until the help window was first asked for.
    widgets::HelpWindow* window() const { return m_window; }

private:
    void showPage(const std::string& section, const std::string& why);

    QWidget* m_owner;
    std::string m_directory;
    std::function<void(const std::string&)> m_log;
    std::string m_opener;
    widgets::HelpWindow* m_window = nullptr;
};

} // namespace utility::gui
