#include "widgets/dialog_title.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLayout>
#include <QWidget>

#include <algorithm>

namespace widgets {

int titleWidth(const QWidget& dialog)
{
    // Title bars draw in a bold face, often larger than the text's: a fifth
    // more, and room for the icon and three buttons.
    QFont font = QApplication::font();
    font.setBold(true);
    const int text = QFontMetrics(font).horizontalAdvance(dialog.windowTitle());
    return text + text / 5 + 150;
}

void widenForTitle(QWidget& dialog)
{
    if (QLayout* layout = dialog.layout())
        layout->activate();
    const QSize hint = dialog.sizeHint();
    dialog.resize(std::max(hint.width(), titleWidth(dialog)), hint.height());
}

} // namespace widgets
