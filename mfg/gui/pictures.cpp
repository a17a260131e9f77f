#include "mfg/gui/pictures.h"

#include <QBitmap>
#include <QFont>
#include <QPainter>
#include <QPainterPath>

namespace mfg::gui {
namespace {

constexpr int kImageWidth = 16;
constexpr int kImageHeight = 15;
const QColor kTransparent(255, 0, 255);

void drawArrow(QPainter& painter, int x)
{
    QPainterPath arrow;
    arrow.moveTo(x + 2, 5);
    arrow.lineTo(x + 8, 5);
    arrow.lineTo(x + 8, 1);
    arrow.lineTo(x + 14, 7);
    arrow.lineTo(x + 8, 13);
    arrow.lineTo(x + 8, 9);
    arrow.lineTo(x + 2, 9);
    arrow.closeSubpath();
    painter.fillPath(arrow, QColor(0, 0, 255));
}

void drawCross(QPainter& painter, int x)
{
    painter.setPen(QPen(QColor(255, 0, 0), 3, Qt::SolidLine, Qt::SquareCap));
    painter.drawLine(x + 3, 2, x + 12, 11);
    painter.drawLine(x + 12, 2, x + 3, 11);
}

void drawTick(QPainter& painter, int x)
{
    painter.setPen(QPen(QColor(0, 160, 0), 3, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    const QPoint tick[] = { { x + 2, 7 }, { x + 6, 11 }, { x + 13, 2 } };
    painter.drawPolyline(tick, 3);
}

} // namespace

QPixmap rowImageStrip()
{
    // Painted without antialiasing so that every pixel is either an image
    // colour or exactly the transparent magenta.
    QPixmap strip(4 * kImageWidth, kImageHeight);
    strip.fill(kTransparent);
    QPainter painter(&strip);
    drawArrow(painter, kArrowImage * kImageWidth);
    drawCross(painter, kCrossImage * kImageWidth);
    drawTick(painter, kTickImage * kImageWidth);
    return strip;
}

QPixmap rowImage(int index)
{
    static const QPixmap strip = rowImageStrip();
    QPixmap image = strip.copy(index * kImageWidth, 0, kImageWidth, kImageHeight);
    image.setMask(image.createMaskFromColor(kTransparent, Qt::MaskInColor));
    return image;
}

QPixmap resultPicture(ResultPicture picture)
{
    QPixmap pixmap(300, 130);
    pixmap.fill(QColor(0, 0, 0));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(96, 96, 96), 4));
    painter.drawRect(pixmap.rect().adjusted(2, 2, -2, -2));
    if (picture == ResultPicture::Blank)
        return pixmap;
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(96);
    font.setWeight(QFont::Black);
    if (picture == ResultPicture::PassNotRecorded) {
        // A good board whose run the records miss: no plain PASS.
        font.setPixelSize(64);
        painter.setFont(font);
        painter.setPen(QColor(0, 255, 0));
        painter.drawText(pixmap.rect().adjusted(0, 6, 0, -50), Qt::AlignCenter, QStringLiteral("PASS"));
        font.setPixelSize(30);
        painter.setFont(font);
        painter.setPen(QColor(255, 160, 0));
        painter.drawText(pixmap.rect().adjusted(0, 80, 0, -8), Qt::AlignCenter, QStringLiteral("NOT RECORDED"));
        return pixmap;
    }
    painter.setFont(font);
    painter.setPen(picture == ResultPicture::Pass ? QColor(0, 255, 0) : QColor(255, 0, 0));
    painter.drawText(pixmap.rect(), Qt::AlignCenter,
        picture == ResultPicture::Pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
    return pixmap;
}

} // namespace mfg::gui
