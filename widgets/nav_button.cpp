#include "widgets/nav_button.h"

#include <QEnterEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QPen>

#include <algorithm>

namespace widgets {
namespace {

constexpr int kFrameMargin = 2; // between the widget's edge and the drawn frame
constexpr int kTitleTop = 2;
constexpr int kTextLeft = 8;
constexpr int kTextRight = 6;
constexpr int kBottom = 3;
constexpr int kMinimumHeight = 40;
constexpr int kPreferredWidth = 170;

QFont titleFont(const QFont& base)
{
    QFont font = base;
    font.setBold(true);
    return font;
}

} // namespace

NavButton::NavButton(const QString& title, const QString& description, QWidget* parent)
    : QPushButton(title, parent)
    , m_description(description)
{
    setToolTip(description);
    setCursor(Qt::PointingHandCursor);
    setFlat(true);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setFixedHeight(heightForWidth(kPreferredWidth));
}

void NavButton::setHighlighted(bool on)
{
    m_highlighted = on;
    update();
}

QFont NavButton::descriptionFont() const
{
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    return small;
}

QRect NavButton::frameBox(const QRect& bounds) const
{
    return bounds.adjusted(kFrameMargin, kFrameMargin, -kFrameMargin, -kFrameMargin);
}

QRect NavButton::titleBox(const QRect& frame) const
{
    const int height = QFontMetrics(titleFont(font())).height() + 2;
    return QRect(
        frame.left() + kTextLeft - 2, frame.top() + kTitleTop, frame.width() - kTextLeft - kTextRight + 2, height);
}

QRect NavButton::descriptionBox(const QRect& frame) const
{
    const QRect title = titleBox(frame);
    return QRect(QPoint(frame.left() + kTextLeft, title.bottom() + 1),
        QPoint(frame.right() - kTextRight, frame.bottom() - kBottom));
}

int NavButton::descriptionHeight(int width) const
{
    // The description wraps at word boundaries instead of being cut off, so
    // the button grows by the lines its width needs.
    const QRect frame = frameBox(QRect(0, 0, width, 1000));
    const QRect box = descriptionBox(frame);
    return QFontMetrics(descriptionFont())
        .boundingRect(QRect(0, 0, box.width(), 1000), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, m_description)
        .height();
}

int NavButton::fullHeightForWidth(int width) const
{
    const int title = titleBox(frameBox(QRect(0, 0, width, 1000))).height();
    return std::max(kMinimumHeight, 2 * kFrameMargin + kTitleTop + title + 1 + descriptionHeight(width) + kBottom);
}

int NavButton::heightForWidth(int width) const
{
    if (!m_compact)
        return fullHeightForWidth(width);
    return 2 * kFrameMargin + kTitleTop + titleBox(frameBox(QRect(0, 0, width, 1000))).height() + kBottom;
}

void NavButton::setCompact(bool on)
{
    if (m_compact == on)
        return;
    m_compact = on;
    setFixedHeight(heightForWidth(width()));
    update();
}

QSize NavButton::sizeHint() const { return { kPreferredWidth, heightForWidth(kPreferredWidth) }; }

QSize NavButton::minimumSizeHint() const { return { 60, heightForWidth(width()) }; }

QRect NavButton::descriptionRect() const { return descriptionBox(frameBox(rect())); }

void NavButton::resizeEvent(QResizeEvent* event)
{
    QPushButton::resizeEvent(event);
    // A fixed height the layout cannot squeeze: where the column is too low
    // even for compact buttons, the column scrolls instead.
    const int wanted = heightForWidth(width());
    if (height() != wanted)
        setFixedHeight(wanted);
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
    const QRect box = frameBox(rect());
    QColor fill = m_highlighted ? QColor(60, 100, 170) : QColor(235, 238, 245);
    if (m_hover && !m_highlighted)
        fill = QColor(210, 220, 240);
    if (isCheckable() && isChecked())
        fill = QColor(90, 140, 90);
    painter.setPen(QColor(150, 160, 180));
    painter.setBrush(fill);
    painter.drawRoundedRect(box, 5, 5);
    if (hasFocus()) {
        // The keyboard's place (Tab, then Space switches the view): a ring
        // that shows on the highlighted blue and on the plain fill alike.
        painter.setPen(QPen(QColor(240, 150, 0), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(box.adjusted(2, 2, -2, -2), 4, 4);
    }
    const bool dark = m_highlighted || (isCheckable() && isChecked());
    painter.setPen(dark ? Qt::white : QColor(20, 30, 60));
    painter.setFont(titleFont(font()));
    painter.drawText(titleBox(box), Qt::AlignLeft | Qt::AlignVCenter, text());
    if (m_compact)
        return;
    painter.setFont(descriptionFont());
    painter.setPen(dark ? QColor(230, 235, 245) : QColor(70, 80, 100));
    painter.drawText(descriptionBox(box), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, m_description);
}

} // namespace widgets
