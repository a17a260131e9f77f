// kellan-mp --screenshots: the pictures come from copies of the settings,
// and the failed run is pictured only against a simulated board.
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace {

std::set<std::string> entries(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

} // namespace

// COM1 of a line's com.dat is the machine's first serial port here: the
// pages are drawn, the run is not started, and the working folder keeps
// exactly its files (no Item.dat, no log of a failed board).
TEST(KellanScreenshots, LeaveTheWorkingFolderAsItWasAndStartNoRunOnARealPort)
{
    testing_support::TempDir work;
    testing_support::TempDir pictures;
    work.write("Option.dat",
        "fw/loader.bin\nfw/test.bin\nfw/prod.bin\nfw/eeprom.ini\nfail.txt\n192.168.0.50\n"
        "00A0B0C0D0E0\n00A0B0C0D0FF\n3\n");
    work.write("com.dat", "COM1\n921.6K");
    const auto before = entries(work.path());
    const std::string command = "cd '" + work.path() + "' && QT_QPA_PLATFORM=offscreen PORTIO_MODULE=none"
        + " SUITE_COM_MAP=/nonexistent VORPIL_RUNTIME_DIR=/nonexistent '" + testing_support::programPath("kellan-mp")
        + "' --screenshots '" + pictures.path() + "' </dev/null >'" + pictures.file("out.txt") + "' 2>'"
        + pictures.file("err.txt") + "'";
    const int status = std::system(command.c_str());
    const std::string err = pictures.read("err.txt");
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(entries(work.path()), before);
    EXPECT_EQ(work.read("com.dat"), "COM1\n921.6K");
    for (const char* name : { "kellan-test-page.png", "kellan-option-page.png", "kellan-item-selection.png" })
        EXPECT_TRUE(std::filesystem::exists(pictures.file(name))) << name;
    EXPECT_FALSE(std::filesystem::exists(pictures.file("kellan-test-page-failed.png")));
    EXPECT_NE(err.find("COM1 (/dev/ttyS0) is no simulated board"), std::string::npos) << err;
}
