// Which store a station records into, and what a shared store does to the
// station's Option.dat when it opens.

#include "mfg/station_records.h"
#include "tests/support/temp_dir.h"

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
