#include "widgets/nav_button.h"

#include <QEnterEvent>
#include <QPainter>

namespace widgets {

NavButton::NavButton(const QString& title, const QString& description, QWidget* parent)
    : QPushButton(title, parent)
    , m_description(description)
{
    setToolTip(description);
    setMinimumHeight(46);
    setCursor(Qt::PointingHandCursor);
    setFlat(true);
}

void NavButton::setHighlighted(bool on)
{
    m_highlighted = on;
    update();
}

void NavButton::enterEvent(QEnterEvent* event)
{
    m_hover = true;
    update();
    QPushButton::enterEvent(event);
}

void NavButton::leaveEvent(QEvent* event)
{
    m_hover = false;
    update();
    QPushButton::leaveEvent(event);
}

void NavButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect box = rect().adjusted(2, 2, -2, -2);
    QColor fill = m_highlighted ? QColor(60, 100, 170) : QColor(235, 238, 245);
    if (m_hover && !m_highlighted)
        fill = QColor(210, 220, 240);
    if (isCheckable() && isChecked())
        fill = QColor(90, 140, 90);
    painter.setPen(QColor(150, 160, 180));
    painter.setBrush(fill);
    painter.drawRoundedRect(box, 5, 5);
    const bool dark = m_highlighted || (isCheckable() && isChecked());
    painter.setPen(dark ? Qt::white : QColor(20, 30, 60));
    QFont titleFont = font();
    titleFont.setBold(true);
    painter.setFont(titleFont);
    const QRect titleBox = box.adjusted(6, 3, -6, -box.height() / 2);
    painter.drawText(titleBox, Qt::AlignLeft | Qt::AlignVCenter, text());
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    painter.setFont(small);
    painter.setPen(dark ? QColor(230, 235, 245) : QColor(70, 80, 100));
    const QRect descriptionBox = box.adjusted(8, box.height() / 2 - 2, -6, -2);
    const QString elided = painter.fontMetrics().elidedText(m_description, Qt::ElideRight, descriptionBox.width());
    painter.drawText(descriptionBox, Qt::AlignLeft | Qt::AlignVCenter, elided);
}

} // namespace widgets
