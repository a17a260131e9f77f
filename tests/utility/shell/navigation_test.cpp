#include "utility/shell/navigation.h"

#include <gtest/gtest.h>

using namespace utility::shell;

TEST(NavigationTree, PortItemsAreFoundByTheirWholeName)
{
    NavigationTree tree;
    tree.rebuild({ "COM5", "COM15", "COM7", "COM1" });
    EXPECT_TRUE(tree.hasRoot());
    EXPECT_TRUE(tree.expanded());
    EXPECT_TRUE(tree.contains("COM1")); // the address warning's text search
    EXPECT_FALSE(tree.contains("COM8"));

    tree.setByName("COM5 (192.168.0.2)");
    EXPECT_EQ(tree.children()[0], "COM5 (192.168.0.2)");
    tree.setByName("COM1 (10.0.0.1)");
    EXPECT_EQ(tree.children(), (std::vector<std::string> { "COM5 (192.168.0.2)", "COM15", "COM7", "COM1 (10.0.0.1)" }));
    // Reset and removal of COM1 leave COM15 alone.
    tree.set("COM1");
    EXPECT_EQ(tree.children()[3], "COM1");
    EXPECT_EQ(tree.children()[1], "COM15");
    tree.set("COM5");
    EXPECT_EQ(tree.children()[0], "COM5");
    tree.remove("COM1");
    tree.remove("COM99");
    EXPECT_EQ(tree.children(), (std::vector<std::string> { "COM5", "COM15", "COM7" }));
    tree.remove("COM1");
    EXPECT_EQ(tree.children().size(), 3u);
    tree.rebuild({});
    EXPECT_TRUE(tree.children().empty());
}

TEST(NavigationTree, ContextMenuEntryFollowsTheItemText)
{
    struct Case {
        const char* text;
        TreeMenuEntry entry;
    };
    for (const Case& c :
        { Case { "Virtual COM Ports", TreeMenuEntry::Create }, Case { "COM5 (10.0.0.2)", TreeMenuEntry::Close },
            Case { "COM12", TreeMenuEntry::Remove }, Case { "", TreeMenuEntry::None },
            Case { "LPT1", TreeMenuEntry::None }, Case { "X (y)", TreeMenuEntry::Close } })
        EXPECT_EQ(treeMenuEntryFor(c.text), c.entry) << c.text;
    EXPECT_STREQ(treeMenuEntryText(TreeMenuEntry::Close), "&Close");
    EXPECT_EQ(portNameOf("COM5 (10.0.0.2)"), "COM5");
}

TEST(FrameModel, ViewButtonsSwitchTheTopPaneAndCloseTheBrowser)
{
    FrameModel frame;
    int monitorSelected = 0;
    frame.setMonitorSelectedCallback([&] { ++monitorSelected; });
    EXPECT_EQ(frame.top(), TopView::DeviceManagement);
    EXPECT_EQ(frame.bottom(), BottomView::SystemLog);

    frame.showWebPage();
    EXPECT_EQ(frame.bottom(), BottomView::Web);
    frame.clickViewButton(FrameModel::kMonitorButton);
    EXPECT_EQ(frame.top(), TopView::Monitor);
    EXPECT_EQ(frame.highlightedButton(), FrameModel::kMonitorButton);
    EXPECT_EQ(monitorSelected, 1);
    EXPECT_FALSE(frame.browserOpen());
    EXPECT_EQ(frame.bottom(), BottomView::SystemLog);
    frame.clickViewButton(FrameModel::kTftpButton);
    EXPECT_EQ(frame.top(), TopView::Tftp);
}

TEST(FrameModel, TerminalToggleReplacesAndRestoresTheWebPage)
{
    FrameModel frame;
    frame.showWebPage();
    frame.setTerminalChecked(true);
    EXPECT_EQ(frame.bottom(), BottomView::Terminal);
    // With the terminal shown, a view button leaves the browser flag alone.
    frame.clickViewButton(FrameModel::kVspButton);
    EXPECT_TRUE(frame.browserOpen());
    frame.setTerminalChecked(false);
    EXPECT_EQ(frame.bottom(), BottomView::Web);

    FrameModel plain;
    plain.setTerminalChecked(true);
    plain.setTerminalChecked(false);
    EXPECT_EQ(plain.bottom(), BottomView::SystemLog);
    plain.setTerminalChecked(true);
    plain.showWebPage();
    EXPECT_FALSE(plain.terminalChecked());
    EXPECT_EQ(plain.bottom(), BottomView::Web);
}
