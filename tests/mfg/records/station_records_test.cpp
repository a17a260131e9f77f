// Which store a station records into, and what a shared store does to the
// station's Option.dat when it opens.

#include "mfg/station_records.h"
#include "platform/text_file.h"
#include "tests/support/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

TEST(StationRecords, TheStoreComesFromTheCommandLineThenRecordsDatThenTheFolder)
{
    testing_support::TempDir dir;
    bool shared = true;
    EXPECT_EQ(mfg::stationRecordsUrl(dir.path(), "", shared), "sqlite:" + dir.path() + "/production.db");
    EXPECT_FALSE(shared);
    dir.write("records.dat", "  postgresql:///line?host=/run/postgresql \r\nignored\n");
    EXPECT_EQ(mfg::stationRecordsUrl(dir.path(), "", shared), "postgresql:///line?host=/run/postgresql");
    EXPECT_TRUE(shared);
    EXPECT_EQ(mfg::stationRecordsUrl(dir.path(), "sqlite:x.db", shared), "sqlite:x.db");
    EXPECT_TRUE(shared);
}

TEST(StationRecords, ASharedStoreShowsItsRangeInOptionDatAndKeepsTheRestByteForByte)
{
    testing_support::TempDir first, second;
    const std::string url = "sqlite:" + first.file("line.db");
    first.write("Option.dat", "a\nb\nc\nd\ne\n10.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n3\n");
    auto opened = mfg::openStationRecords(first.path(), url);
    ASSERT_TRUE(opened) << opened.error().message;
    EXPECT_EQ(opened.value().store->macRange().value()->end, 0x00A0B0C0D0FFu);

    // A second station whose Option.dat still holds older values, written
    // on Windows.
    second.write("Option.dat", "a\r\nb\r\nc\r\nd\r\ne\r\n10.0.0.3\r\n001122334455\r\n0011223344FF\r\n4\r\n");
    auto joined = mfg::openStationRecords(second.path(), url);
    ASSERT_TRUE(joined) << joined.error().message;
    EXPECT_EQ(second.read("Option.dat"), "a\r\nb\r\nc\r\nd\r\ne\r\n10.0.0.3\r\n00A0B0C0D0E0\r\n00A0B0C0D0FF\r\n4\r\n");

    // A store without a range and an Option.dat without one to give.
    testing_support::TempDir third;
    third.write("Option.dat", "a\nb\nc\nd\ne\n10.0.0.2\nnonsense\n00A0B0C0D0FF\n3\n");
    auto refused = mfg::openStationRecords(third.path(), "sqlite:" + third.file("line.db"));
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("no MAC range"), std::string::npos) << refused.error().message;
}

// A station of a line whose records.dat is there but names no store must not
// go on alone: its Option.dat only shows the shared range, so its own count
// would start over at addresses the line has already passed.
TEST(StationRecords, ARecordsDatThatNamesNoStoreStopsTheStationInsteadOfLeavingItAlone)
{
    const std::string option = "a\nb\nc\nd\ne\n10.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n3\n";
    const struct {
        const char* what;
        void (*plant)(const testing_support::TempDir& dir);
    } cases[] = {
        { "an empty first line",
            [](const testing_support::TempDir& dir) { dir.write("records.dat", "\nsqlite:x\n"); } },
        { "an empty file", [](const testing_support::TempDir& dir) { dir.write("records.dat", ""); } },
        { "a folder", [](const testing_support::TempDir& dir) { ::mkdir(dir.file("records.dat").c_str(), 0700); } },
        { "a FIFO", [](const testing_support::TempDir& dir) { ::mkfifo(dir.file("records.dat").c_str(), 0600); } },
        { "a dangling link",
            [](const testing_support::TempDir& dir) { (void)::symlink("gone", dir.file("records.dat").c_str()); } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing_support::TempDir dir;
        dir.write("Option.dat", option);
        c.plant(dir);
        bool shared = false;
        (void)mfg::stationRecordsUrl(dir.path(), "", shared);
        EXPECT_TRUE(shared) << "the station would hand out Option.dat's addresses";
        auto opened = mfg::openStationRecords(dir.path(), "");
        ASSERT_FALSE(opened) << "opened " << opened.value().url;
        EXPECT_NE(opened.error().message.find("records.dat"), std::string::npos) << opened.error().message;
        EXPECT_FALSE(platform::fileExists(dir.file("production.db")));
    }
}

TEST(StationRecords, AStationOfALineDoesNotRunWithoutRecords)
{
    testing_support::TempDir alone;
    alone.write("Option.dat", "a\nb\nc\nd\ne\n10.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n3\n");
    auto opened = mfg::openStationRecords(alone.path(), mfg::kNoRecords);
    ASSERT_TRUE(opened) << opened.error().message;
    EXPECT_FALSE(opened.value().store);
    EXPECT_FALSE(opened.value().shared);

    testing_support::TempDir line;
    line.write("Option.dat", "a\nb\nc\nd\ne\n10.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n3\n");
    line.write("records.dat", "postgresql://station@127.0.0.1:1/production\n");
    auto refused = mfg::openStationRecords(line.path(), mfg::kNoRecords);
    ASSERT_FALSE(refused) << "the station would hand out Option.dat's addresses beside the line";
    EXPECT_NE(refused.error().message.find("--records none"), std::string::npos) << refused.error().message;
}

// A station of a line given another store on the command line would start
// that store's range where Option.dat shows the line's: its first boards
// would get addresses the line's store hands out as well.
TEST(StationRecords, AStationOfALineRecordsOnlyIntoTheLinesStore)
{
    testing_support::TempDir line;
    line.write("Option.dat", "a\nb\nc\nd\ne\n10.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n3\n");
    const std::string lineStore = "sqlite:" + line.file("line.db");
    line.write("records.dat", lineStore + "\n");
    auto opened = mfg::openStationRecords(line.path(), "");
    ASSERT_TRUE(opened) << opened.error().message;
    auto first = opened.value().store->leaseMac("line-1");
    ASSERT_TRUE(first && first.value()) << (first ? "no address" : first.error().message);

    // The line's own store named on the command line as records.dat names it.
    auto same = mfg::openStationRecords(line.path(), lineStore);
    ASSERT_TRUE(same) << same.error().message;

    const std::string other = "sqlite:" + line.file("bench.db");
    auto refused = mfg::openStationRecords(line.path(), other);
    if (refused) {
        auto lease = refused.value().store->leaseMac("line-2");
        ASSERT_TRUE(lease);
        FAIL() << "the other store hands out "
               << (lease.value() ? mfg::records::macText(lease.value()->mac) : std::string("nothing"))
               << "; the line's store handed out " << mfg::records::macText(first.value()->mac);
    }
    EXPECT_NE(refused.error().message.find("records.dat"), std::string::npos) << refused.error().message;
    EXPECT_FALSE(platform::fileExists(line.file("bench.db"))) << "the refused store was created";
}
