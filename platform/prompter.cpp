#include "platform/prompter.h"

#include <cstdio>

namespace platform {
namespace {

// Message texts end in "\r\n" on the system's own terms; a console shows them
// without the carriage returns.
std::string forConsole(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (char c : text)
        if (c != '\r')
            result += c;
    while (!result.empty() && result.back() == '\n')
        result.pop_back();
    return result;
}

} // namespace

void ConsolePrompter::message(const std::string& text, const std::string& title, MessageIcon)
{
    if (!title.empty())
        std::fprintf(stderr, "%s: ", forConsole(title).c_str());
    std::fprintf(stderr, "%s\n", forConsole(text).c_str());
}

bool ConsolePrompter::confirm(const std::string& text, const std::string& title, MessageIcon icon, bool defaultYes)
{
    const bool answer = m_assumeYes || defaultYes;
    message(text + (answer ? " [yes]" : " [no]"), title, icon);
    return answer;
}

int ConsolePrompter::choose(
    const std::string&, const std::string&, const std::string&, const std::vector<std::string>&, int preselected)
{
    return preselected;
}

std::string ConsolePrompter::openFile(const std::string&, const std::string&, const std::string&) { return {}; }
std::string ConsolePrompter::saveFile(const std::string&, const std::string&, const std::string&) { return {}; }
std::string ConsolePrompter::chooseFolder(const std::string&, const std::string&) { return {}; }
void ConsolePrompter::beep(int, int) { }

} // namespace platform
