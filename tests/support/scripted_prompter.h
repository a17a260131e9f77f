#pragma once

#include "platform/prompter.h"

#include <deque>
#include <string>
#include <vector>

namespace testing_support {

// A Prompter that records every interaction and answers from a script.
class ScriptedPrompter final : public platform::Prompter {
public:
    struct Shown {
        std::string kind; // "message", "confirm", "choose", "open", "save", "folder", "beep"
        std::string text;
        std::string title;
        platform::MessageIcon icon = platform::MessageIcon::None;
        bool defaultYes = true;
    };

    // Answers for confirm(); when the script is empty the default button is taken.
    std::deque<bool> confirmAnswers;
    std::deque<int> chooseAnswers;
    std::deque<std::string> fileAnswers;
    std::vector<Shown> shown;

    void message(const std::string& text, const std::string& title, platform::MessageIcon icon) override;
    bool confirm(
        const std::string& text, const std::string& title, platform::MessageIcon icon, bool defaultYes) override;
    int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected) override;
    std::string openFile(const std::string& title, const std::string& filter, const std::string& proposedName) override;
    std::string saveFile(const std::string& title, const std::string& filter, const std::string& proposedName) override;
    std::string chooseFolder(const std::string& title, const std::string& start) override;
    void beep(int frequencyHz, int durationMs) override;

    // Texts of every message box shown, in order.
    std::vector<std::string> messages() const;
    int count(const std::string& kind) const;
};

} // namespace testing_support
