#pragma once

#include <QWidget>

#include <string>

class QTextBrowser;

namespace widgets {

// The suite's help page in a window of its own. A text browser draws the
// page at once, so opening help never holds up or blanks the window it was
// asked from (an embedded web engine takes seconds to start).
class HelpWindow final : public QWidget {
    // No signals or slots of its own.
public:
    explicit HelpWindow(QWidget* parent = nullptr);

    // Shows `file` scrolled to the section named `section` (an anchor of the
    // page; empty: its top), and brings the window to the front. False with
    // the reason when the file cannot be read.
    bool showSection(const std::string& file, const std::string& section, std::string& why);
    QTextBrowser* browser() const { return m_browser; }

private:
    QTextBrowser* m_browser;
    std::string m_file;
};

// The help page: in `directory` (the settings folder, ending in a separator), beside the program,
// or among the installed data files; empty when none is there.
std::string findHelpFile(const std::string& directory);

inline constexpr const char* kHelpFileName = "QELTA.html";

} // namespace widgets
