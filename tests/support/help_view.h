#pragma once

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>

namespace testing_support {

// Whether a heading with exactly `text` lies within the browser's visible
// part (a contents list repeats the texts as links, not headings).
inline bool headingShown(QTextBrowser* browser, const QString& text)
{
    for (QTextBlock block = browser->document()->begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() == 0 || block.text() != text)
            continue;
        const QRectF box = browser->document()->documentLayout()->blockBoundingRect(block);
        const double top = box.top() - browser->verticalScrollBar()->value();
        return top >= 0 && top < browser->viewport()->height();
    }
    return false;
}

} // namespace testing_support
