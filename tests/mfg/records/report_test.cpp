// The report's figures from runs, its page, and the file digests records keep.

#include "mfg/records/digest.h"
#include "mfg/records/report.h"
#include "tests/mfg/records/records_fixture.h"

#include <gtest/gtest.h>

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
