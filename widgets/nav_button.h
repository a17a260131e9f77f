#pragma once

#include <QPushButton>

namespace widgets {

// A navigation button drawn highlighted while its view is shown, with a
// description line under its title; it follows the pointer with a hover look.
class NavButton final : public QPushButton {
    Q_OBJECT
public:
    NavButton(const QString& title, const QString& description, QWidget* parent = nullptr);
    void setHighlighted(bool on);
    bool highlighted() const { return m_highlighted; }
    QString description() const { return m_description; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QString m_description;
    bool m_highlighted = false;
    bool m_hover = false;
};

} // namespace widgets
