// The report's figures from runs, its page, and the file digests records keep.

#include "mfg/records/digest.h"
#include "mfg/records/report.h"
#include "tests/mfg/records/records_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace mfg::records;

namespace {

RunRecord run(const std::string& ended, Outcome outcome, const std::string& mac, const std::string& failedItem = "")
{
    RunRecord record;
    record.endedAt = ended;
    record.outcome = outcome;
    record.mac = mac;
    record.items.push_back({ 2, "RAM Test", true, 1000, "" });
    if (!failedItem.empty())
        record.items.push_back({ 4, failedItem, false, 1000, "failed.\n" });
    return record;
}

} // namespace

// Counted by the database (the runs are never all loaded), on both back ends.
TEST_P(RecordsTest, TheReportCountsDaysYieldAndFailuresMostFirst)
{
    std::vector<RunRecord> runs = {
        run("2026-12-01T09:00:00.000Z", Outcome::Pass, "000000000001"),
        run("2026-12-01T10:00:00.000Z", Outcome::Fail, "000000000002", "EEPROM Test"),
        run("2026-12-01T11:00:00.000Z", Outcome::Pass, "000000000002"),
        run("2026-12-02T09:00:00.000Z", Outcome::Fail, "000000000003", "HSUART Test"),
        run("2026-12-02T09:30:00.000Z", Outcome::Fail, "000000000003", "HSUART Test"),
        run("2026-12-02T10:00:00.000Z", Outcome::Fail, "000000000003", "EEPROM Test"),
        run("2026-12-02T10:30:00.000Z", Outcome::Fail, "000000000003", "HSUART Test"),
        run("2026-12-02T11:00:00.000Z", Outcome::Interrupted, "000000000003"),
        run("2026-12-02T12:00:00.000Z", Outcome::Pass, "000000000003"),
    };
    // A run that failed before any item had run.
    RunRecord early = run("2026-12-02T13:00:00.000Z", Outcome::Fail, "000000000004");
    early.items.clear();
    runs.push_back(early);

    auto store = open();
    ASSERT_TRUE(store);
    for (const RunRecord& saved : runs)
        ASSERT_TRUE(store->saveRun(saved));
    auto counts = store->countRuns("");
    ASSERT_TRUE(counts) << counts.error().message;
    const Report report = buildReport(counts.value(), std::nullopt);
    ASSERT_EQ(report.days.size(), 2u);
    EXPECT_EQ(report.days[0].day, "2026-12-01");
    EXPECT_EQ(report.days[0].runs, 3);
    EXPECT_EQ(report.days[0].passed, 2);
    EXPECT_EQ(report.days[1].runs, 6);
    EXPECT_EQ(report.days[1].passed, 1);
    EXPECT_EQ(report.total.runs, 9);
    EXPECT_EQ(report.interrupted, 1);
    EXPECT_DOUBLE_EQ(report.total.yield(), 3.0 / 9.0);
    EXPECT_EQ(report.macsPassed, 3);

    ASSERT_EQ(report.pareto.size(), 3u);
    EXPECT_EQ(report.pareto[0].item, "HSUART Test");
    EXPECT_EQ(report.pareto[0].count, 3);
    EXPECT_EQ(report.pareto[1].item, "EEPROM Test");
    EXPECT_EQ(report.pareto[1].count, 2);
    EXPECT_EQ(report.pareto[2].item, "(before the first item)");
    EXPECT_DOUBLE_EQ(report.pareto[0].cumulative, 0.5);
    EXPECT_DOUBLE_EQ(report.pareto[2].cumulative, 1.0);
}

// What the older schema's report counted from every run, the current one
// counts from what each run keeps: the same figures from a store of the
// previous version read as it is, after `records upgrade` filled in its runs,
// and with runs saved since, for every starting day (a MAC that passed again
// counts once, and a MAC whose first pass lies before the day counts too).
TEST_P(RecordsTest, TheUpgradedSchemaCountsWhatTheOlderOneCounted)
{
    const std::vector<RunRecord> before = {
        run("2026-12-01T09:00:00.000Z", Outcome::Pass, "000000000001"),
        run("2026-12-01T10:00:00.000Z", Outcome::Fail, "000000000002", "EEPROM Test"),
        run("2026-12-02T09:00:00.000Z", Outcome::Pass, "000000000001"),
        run("2026-12-02T10:00:00.000Z", Outcome::Fail, "000000000003"),
        run("2026-12-02T10:00:00.000Z", Outcome::Pass, "000000000003"),
    };
    const std::vector<RunRecord> after = {
        run("2026-12-03T09:00:00.000Z", Outcome::Pass, "000000000001"),
        run("2026-12-03T09:00:00.000Z", Outcome::Pass, "000000000004"),
        run("2026-12-03T10:00:00.000Z", Outcome::Fail, "000000000005", "HSUART Test"),
        run("2026-12-03T11:00:00.000Z", Outcome::Pass, "000000000004"),
    };
    // A failed run's last failing item; none: before the first item.
    RunRecord early = before[3];
    early.items.clear();
    // Counted here the plain way, from every run.
    auto expected = [](const std::vector<RunRecord>& runs, const std::string& since) {
        std::set<std::string> macs;
        std::map<std::string, std::int64_t> failures;
        for (const RunRecord& run : runs) {
            if (run.endedAt < since)
                continue;
            if (run.outcome == Outcome::Pass)
                macs.insert(run.mac);
            if (run.outcome == Outcome::Fail)
                ++failures[run.items.size() > 1 ? run.items.back().name : std::string(kBeforeTheFirstItem)];
        }
        return std::make_pair(static_cast<std::int64_t>(macs.size()), failures);
    };
    auto counted = [](RecordStore& store, const std::string& since) {
        auto counts = store.countRuns(since);
        EXPECT_TRUE(counts) << counts.error().message;
        std::map<std::string, std::int64_t> failures;
        if (!counts)
            return std::make_pair(std::int64_t(-1), failures);
        for (const auto& [item, count] : counts.value().failuresPerItem)
            failures[item] += count;
        return std::make_pair(counts.value().macsPassed, failures);
    };
    const std::vector<std::string> days
        = { "", "2026-12-01", "2026-12-02", "2026-12-02T10:00", "2026-12-03", "2026-12-04" };

    std::vector<RunRecord> saved = before;
    saved[3] = early;
    {
        auto old = RecordStore::openAtVersion(url, kOldestUsableVersion);
        ASSERT_TRUE(old) << old.error().message;
        for (const RunRecord& record : saved)
            ASSERT_TRUE(old.value()->saveRun(record));
    }
    {
        // Read as it is: a report never upgrades.
        auto reader = RecordStore::open(url, OpenFor::Reading);
        ASSERT_TRUE(reader) << reader.error().message;
        EXPECT_EQ(reader.value()->schemaVersion().value(), kOldestUsableVersion);
        for (const std::string& since : days)
            EXPECT_EQ(counted(*reader.value(), since), expected(saved, since)) << "schema 4, since '" << since << "'";
    }
    auto upgraded = RecordStore::initSchema(url);
    ASSERT_TRUE(upgraded) << upgraded.error().message;
    EXPECT_EQ(upgraded.value(), kOldestUsableVersion);
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_EQ(store->schemaVersion().value(), kSchemaVersion);
    for (const std::string& since : days)
        EXPECT_EQ(counted(*store, since), expected(saved, since)) << "upgraded, since '" << since << "'";
    // Every failed run got its item: nothing is looked up among the items.
    auto unknown = store->sql().exec("SELECT count(*) FROM runs WHERE outcome = 'fail' AND failed_item IS NULL");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown.value().rows[0][0], SqlValue("0"));

    for (const RunRecord& record : after) {
        ASSERT_TRUE(store->saveRun(record));
        saved.push_back(record);
    }
    for (const std::string& since : days)
        EXPECT_EQ(counted(*store, since), expected(saved, since)) << "saved since, since '" << since << "'";
}

TEST(Report, ThePageStandsAloneAndEscapesWhatItShows)
{
    RunCounts counts;
    counts.days = { { "2026-12-01", { 2, 1 } } };
    counts.failuresPerItem = { { "<b>&", 1 } };
    counts.macsPassed = 1;
    MacRange range { 0x10, 0x1F, 0x13, 1, 1, 1 };
    Report report = buildReport(counts, range);
    report.source = "postgresql:///line?host=/run/x";
    const std::string html = reportHtml(report);
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(html.find("<svg"), std::string::npos);
    EXPECT_NE(html.find("&lt;b&gt;&amp;"), std::string::npos);
    EXPECT_EQ(html.find("<b>&"), std::string::npos);
    // Nothing fetched from anywhere.
    for (const char* outside : { "src=", "href=", "@import", "url(" })
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;
    // 13 never handed out plus the one given back.
    EXPECT_EQ(range.left(), 14u);
    EXPECT_NE(html.find("14 left"), std::string::npos);
    const std::string text = reportText(report);
    EXPECT_NE(text.find("used 1, in runs now 1, given back 1, left 14"), std::string::npos) << text;
}

TEST(Sha256, KnownDigestsAcrossTheBlockEdges)
{
    struct Case {
        std::string bytes;
        const char* digest;
    };
    const Case cases[] = {
        { "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" },
        { "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" },
        // 56 bytes: the length no longer fits the first block.
        { "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1" },
        { std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0" },
    };
    for (const Case& c : cases)
        EXPECT_EQ(sha256Hex(c.bytes), c.digest) << c.bytes.size() << " bytes";
}

TEST(MacText, RoundTripsAndMarksTheEndOfTheSpace)
{
    EXPECT_EQ(macText(0x00A0B0C0D0EF), "00A0B0C0D0EF");
    EXPECT_EQ(macValue("00a0b0c0d0ef").value(), 0x00A0B0C0D0EFu);
    EXPECT_EQ(macText(0x1000000000000), "1000000000000");
    EXPECT_FALSE(macValue("00A0B0C0D0E"));
    EXPECT_FALSE(macValue("00A0B0C0D0EG"));
}
