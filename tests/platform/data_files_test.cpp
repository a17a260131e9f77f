#include "platform/data_files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

using testing_support::TempDir;

namespace {

TEST(DataFiles, FirstFolderHoldingTheFileInTheGivenOrder)
{
    TempDir first;
    TempDir second;
    first.write("only-first.html", "a");
    second.write("only-second.html", "b");
    first.write("both.html", "a");
    second.write("both.html", "b");
    const std::vector<std::string> folders { "", first.path() + "/", second.path() };
    EXPECT_EQ(platform::findInDirectories("both.html", folders), first.file("both.html"));
    EXPECT_EQ(platform::findInDirectories("only-first.html", folders), first.file("only-first.html"));
    EXPECT_EQ(platform::findInDirectories("only-second.html", folders), second.file("only-second.html"));
    EXPECT_EQ(platform::findInDirectories("missing.html", folders), "");
    EXPECT_EQ(platform::findInDirectories("both.html", {}), "");
}

} // namespace
