#pragma once

#include <string>
#include <vector>

namespace platform {

enum class MessageIcon { None, Information, Warning, Error, Question };

// Every modal interaction the system has with its user. Controllers decide
// what to ask; a front end (Qt dialogs, a console, a test script) answers.
class Prompter {
public:
    virtual ~Prompter() = default;

    // Modal message box with an OK button.
    virtual void message(const std::string& text, const std::string& title = {}, MessageIcon icon = MessageIcon::None)
        = 0;
    // Yes/No question; `defaultYes` names the button that has the focus.
    virtual bool confirm(const std::string& text, const std::string& title = {},
        MessageIcon icon = MessageIcon::Question, bool defaultYes = true)
        = 0;
    // A list to choose from; returns the chosen index (or `preselected` when
    // the user just continues). Used for the interface selection.
    virtual int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected)
        = 0;
    // File choice; an empty result means cancelled. `filter` is the dialog's
    // filter text as the system defines it.
    virtual std::string openFile(
        const std::string& title, const std::string& filter, const std::string& proposedName = {})
        = 0;
    virtual std::string saveFile(
        const std::string& title, const std::string& filter, const std::string& proposedName = {})
        = 0;
    virtual std::string chooseFolder(const std::string& title, const std::string& start = {}) = 0;
    // A beep of the given frequency and length.
    virtual void beep(int frequencyHz, int durationMs) = 0;
};

// Console front end for the command-line programs: messages go to stderr,
// questions take their default answer unless `assumeYes` is set.
class ConsolePrompter final : public Prompter {
public:
    explicit ConsolePrompter(bool assumeYes = false)
        : m_assumeYes(assumeYes)
    {
    }
    void message(const std::string& text, const std::string& title, MessageIcon icon) override;
    bool confirm(const std::string& text, const std::string& title, MessageIcon icon, bool defaultYes) override;
    int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected) override;
    std::string openFile(const std::string& title, const std::string& filter, const std::string& proposedName) override;
    std::string saveFile(const std::string& title, const std::string& filter, const std::string& proposedName) override;
    std::string chooseFolder(const std::string& title, const std::string& start) override;
    void beep(int frequencyHz, int durationMs) override;

private:
    bool m_assumeYes;
};

} // namespace platform
