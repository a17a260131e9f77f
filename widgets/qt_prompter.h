#pragma once

#include "platform/prompter.h"

#include <QDialog>

class QComboBox;
class QWidget;

namespace widgets {

// A list to choose from with a "Continue" button (the interface selection).
class ChoiceDialog final : public QDialog {
    Q_OBJECT
public:
    ChoiceDialog(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected, QWidget* parent = nullptr);
    int chosen() const;

private:
    QComboBox* m_combo;
};

// Prompter answered with real Qt dialogs, parented to a window.
class QtPrompter final : public platform::Prompter {
public:
    explicit QtPrompter(QWidget* parent = nullptr)
        : m_parent(parent)
    {
    }
    void setParent(QWidget* parent) { m_parent = parent; }

    void message(const std::string& text, const std::string& title, platform::MessageIcon icon) override;
    bool confirm(
        const std::string& text, const std::string& title, platform::MessageIcon icon, bool defaultYes) override;
    int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected) override;
    std::string openFile(const std::string& title, const std::string& filter, const std::string& proposedName) override;
    std::string saveFile(const std::string& title, const std::string& filter, const std::string& proposedName) override;
    std::string chooseFolder(const std::string& title, const std::string& start) override;
    void beep(int frequencyHz, int durationMs) override;

    // "Name(*.x)|*.x|Other|*.y|" (the system's filter strings) as a Qt filter.
    static std::string toQtFilter(const std::string& filter);

private:
    QWidget* m_parent;
};

} // namespace widgets
