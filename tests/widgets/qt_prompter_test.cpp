#include "widgets/qt_prompter.h"

#include <gtest/gtest.h>

TEST(QtPrompter, ConvertsTheSystemsFilterStringsToQtFilters)
{
    using widgets::QtPrompter;
    // A text that shows its patterns already is not given them twice.
    EXPECT_EQ(QtPrompter::toQtFilter("QELTA Log files(*.log)|*.log|"), "QELTA Log files(*.log)");
    EXPECT_EQ(QtPrompter::toQtFilter("Text(*.txt)|*.txt|All Files (*.*)|*.*||"), "Text(*.txt);;All Files (*.*)");
    EXPECT_EQ(QtPrompter::toQtFilter("Images|*.bmp;*.png|"), "Images (*.bmp *.png)");
    // A plain Qt-style filter passes through.
    EXPECT_EQ(QtPrompter::toQtFilter("QELTA Log Files (*.log)"), "QELTA Log Files (*.log)");
}
