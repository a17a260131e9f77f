#pragma once

#include <QPushButton>

namespace widgets {

// A navigation button drawn highlighted while its view is shown, with its
// description under its title, wrapped onto as many lines as the width needs
// (and as the tooltip); it follows the pointer with a hover look.
class NavButton final : public QPushButton {
    Q_OBJECT
public:
    NavButton(const QString& title, const QString& description, QWidget* parent = nullptr);
    void setHighlighted(bool on);
    bool highlighted() const { return m_highlighted; }
    QString description() const { return m_description; }
    // Compact: the title alone, for a column too low for every description
    // (the tooltip still has it).
    void setCompact(bool on);
    bool compact() const { return m_compact; }
    // The height at `width` with the description shown.
    int fullHeightForWidth(int width) const;

    // Where the description is drawn, and in which font.
    QRect descriptionRect() const;
    QFont descriptionFont() const;

    // The height that shows the whole description at `width`; the button
    // takes it whenever its width changes.
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QRect frameBox(const QRect& bounds) const;
    QRect titleBox(const QRect& frame) const;
    QRect descriptionBox(const QRect& frame) const;
    int descriptionHeight(int width) const;

    QString m_description;
    bool m_highlighted = false;
    bool m_hover = false;
    bool m_compact = false;
};

} // namespace widgets
