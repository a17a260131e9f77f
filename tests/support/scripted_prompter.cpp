#include "tests/support/scripted_prompter.h"

namespace testing_support {

void ScriptedPrompter::message(const std::string& text, const std::string& title, platform::MessageIcon icon)
{
    shown.push_back({ "message", text, title, icon, true });
}

bool ScriptedPrompter::confirm(
    const std::string& text, const std::string& title, platform::MessageIcon icon, bool defaultYes)
{
    shown.push_back({ "confirm", text, title, icon, defaultYes });
    if (confirmAnswers.empty())
        return defaultYes;
    const bool answer = confirmAnswers.front();
    confirmAnswers.pop_front();
    return answer;
}

int ScriptedPrompter::choose(const std::string& title, const std::string& text, const std::string&,
    const std::vector<std::string>&, int preselected)
{
    shown.push_back({ "choose", text, title, platform::MessageIcon::None, true });
    if (chooseAnswers.empty())
        return preselected;
    const int answer = chooseAnswers.front();
    chooseAnswers.pop_front();
    return answer;
}

static std::string nextFile(std::deque<std::string>& answers)
{
    if (answers.empty())
        return {};
    std::string answer = answers.front();
    answers.pop_front();
    return answer;
}

std::string ScriptedPrompter::openFile(const std::string& title, const std::string& filter, const std::string&)
{
    shown.push_back({ "open", filter, title, platform::MessageIcon::None, true });
    return nextFile(fileAnswers);
}

std::string ScriptedPrompter::saveFile(const std::string& title, const std::string& filter, const std::string&)
{
    shown.push_back({ "save", filter, title, platform::MessageIcon::None, true });
    return nextFile(fileAnswers);
}

std::string ScriptedPrompter::chooseFolder(const std::string& title, const std::string&)
{
    shown.push_back({ "folder", {}, title, platform::MessageIcon::None, true });
    return nextFile(fileAnswers);
}

void ScriptedPrompter::beep(int frequencyHz, int durationMs)
{
    shown.push_back({ "beep", std::to_string(frequencyHz) + "/" + std::to_string(durationMs), {},
        platform::MessageIcon::None, true });
}

std::vector<std::string> ScriptedPrompter::messages() const
{
    std::vector<std::string> result;
    for (const auto& item : shown)
        if (item.kind == "message")
            result.push_back(item.text);
    return result;
}

int ScriptedPrompter::count(const std::string& kind) const
{
    int n = 0;
    for (const auto& item : shown)
        n += item.kind == kind ? 1 : 0;
    return n;
}

} // namespace testing_support
