#include "widgets/qt_prompter.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace widgets {
namespace {

QString q(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<int>(text.size())); }

QMessageBox::Icon toQt(platform::MessageIcon icon)
{
    switch (icon) {
    case platform::MessageIcon::Information:
        return QMessageBox::Information;
    case platform::MessageIcon::Warning:
        return QMessageBox::Warning;
    case platform::MessageIcon::Error:
        return QMessageBox::Critical;
    case platform::MessageIcon::Question:
        return QMessageBox::Question;
    case platform::MessageIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

void QtPrompter::message(const std::string& text, const std::string& title, platform::MessageIcon icon)
{
    QMessageBox box(toQt(icon), q(title.empty() ? std::string("QELTA") : title), q(text), QMessageBox::Ok, m_parent);
    box.exec();
}

bool QtPrompter::confirm(const std::string& text, const std::string& title, platform::MessageIcon icon, bool defaultYes)
{
    QMessageBox box(toQt(icon), q(title), q(text), QMessageBox::Yes | QMessageBox::No, m_parent);
    box.setDefaultButton(defaultYes ? QMessageBox::Yes : QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

ChoiceDialog::ChoiceDialog(const std::string& title, const std::string& text, const std::string& label,
    const std::vector<std::string>& options, int preselected, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(q(title));
    setObjectName(QStringLiteral("ChoiceDialog"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(q(text), this));
    layout->addWidget(new QLabel(q(label), this));
    m_combo = new QComboBox(this);
    for (const auto& option : options)
        m_combo->addItem(q(option));
    m_combo->setCurrentIndex(preselected);
    layout->addWidget(m_combo);
    auto* button = new QPushButton(QStringLiteral("Continue"), this);
    button->setDefault(true);
    QObject::connect(button, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(button);
}

int ChoiceDialog::chosen() const { return m_combo->currentIndex(); }

int QtPrompter::choose(const std::string& title, const std::string& text, const std::string& label,
    const std::vector<std::string>& options, int preselected)
{
    ChoiceDialog dialog(title, text, label, options, preselected, m_parent);
    dialog.exec();
    return dialog.chosen();
}

std::string QtPrompter::toQtFilter(const std::string& filter)
{
    // Pairs of display text and pattern, separated by '|'.
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos <= filter.size()) {
        const std::size_t end = filter.find('|', pos);
        parts.push_back(filter.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    if (parts.size() < 2)
        return filter;
    std::string result;
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].empty())
            continue;
        if (!result.empty())
            result += ";;";
        // A text that already ends in its patterns keeps them once: Qt reads
        // the last parentheses, and "(*.txt) (*.txt)" is what users would see.
        const std::string& text = parts[i];
        if (text.back() == ')' && text.find('(') != std::string::npos) {
            result += text;
            continue;
        }
        std::string patterns = parts[i + 1];
        for (auto& c : patterns)
            if (c == ';')
                c = ' ';
        result += text + " (" + patterns + ")";
    }
    return result;
}

std::string QtPrompter::openFile(const std::string& title, const std::string& filter, const std::string& proposedName)
{
    return QFileDialog::getOpenFileName(m_parent, q(title), q(proposedName), q(toQtFilter(filter)))
        .toLocal8Bit()
        .toStdString();
}

std::string QtPrompter::saveFile(const std::string& title, const std::string& filter, const std::string& proposedName)
{
    return QFileDialog::getSaveFileName(m_parent, q(title), q(proposedName), q(toQtFilter(filter)))
        .toLocal8Bit()
        .toStdString();
}

std::string QtPrompter::chooseFolder(const std::string& title, const std::string& start)
{
    return QFileDialog::getExistingDirectory(m_parent, q(title), q(start)).toLocal8Bit().toStdString();
}

void QtPrompter::beep(int, int) { QApplication::beep(); }

} // namespace widgets
