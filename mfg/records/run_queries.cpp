// Reading the runs back: by time, by MAC, a station's day, and the counts
// of the report (counted by the database: a million runs never come here).

#include "mfg/records/record_store.h"
#include "mfg/records/sql_values.h"

#include <ctime>
#include <map>

namespace mfg::records {

using platform::Error;
using platform::Result;
using namespace detail;

namespace {

// The UTC day after YYYY-MM-DD; empty for a text that is no day.
std::string nextDay(const std::string& day)
{
    std::tm parts {};
    const char* end = ::strptime(day.c_str(), "%Y-%m-%d", &parts);
    if (end == nullptr || *end != '\0')
        return {};
    const std::time_t next = ::timegm(&parts) + 24 * 3600;
    ::gmtime_r(&next, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
    return text;
}

} // namespace

Result<std::vector<RunRecord>> RecordStore::loadRuns(
    const std::string& where, const std::vector<SqlValue>& parameters, bool withFiles)
{
    auto rows = m_sql->exec("SELECT id, station, operator, started_at, ended_at, mac, mac_from_store, outcome,"
                            " result_message, program_version, mac_written FROM runs "
            + where + " ORDER BY ended_at, id",
        parameters);
    if (!rows)
        return rows.error();
    std::vector<RunRecord> runs;
    std::map<std::int64_t, std::size_t> byId;
    for (const SqlRow& row : rows.value().rows) {
        RunRecord run;
        run.id = number(row[0]);
        run.station = text(row[1]);
        run.operatorName = text(row[2]);
        run.startedAt = text(row[3]);
        run.endedAt = text(row[4]);
        run.mac = text(row[5]);
        run.macFromStore = number(row[6]) != 0;
        run.outcome = outcomeFromText(text(row[7])).value_or(Outcome::Fail);
        run.resultMessage = text(row[8]);
        run.programVersion = text(row[9]);
        run.macWritten = !row[10] || number(row[10]) != 0;
        byId[run.id] = runs.size();
        runs.push_back(std::move(run));
    }
    if (runs.empty())
        return runs;
    const std::string ofRuns = " WHERE run_id IN (SELECT id FROM runs " + where + ")";
    auto items = m_sql->exec("SELECT run_id, item, name, passed, duration_ms, failure FROM run_items" + ofRuns
            + " ORDER BY run_id, position",
        parameters);
    if (!items)
        return items.error();
    for (const SqlRow& row : items.value().rows) {
        auto found = byId.find(number(row[0]));
        if (found == byId.end())
            continue;
        runs[found->second].items.push_back(
            { static_cast<int>(number(row[1])), text(row[2]), number(row[3]) != 0, number(row[4]), text(row[5]) });
    }
    if (!withFiles)
        return runs;
    auto files = m_sql->exec(
        "SELECT run_id, role, path, sha256, size FROM run_files" + ofRuns + " ORDER BY run_id, role", parameters);
    if (!files)
        return files.error();
    for (const SqlRow& row : files.value().rows) {
        auto found = byId.find(number(row[0]));
        if (found == byId.end())
            continue;
        runs[found->second].files.push_back({ text(row[1]), text(row[2]), text(row[3]), number(row[4]) });
    }
    return runs;
}

Result<std::vector<RunRecord>> RecordStore::runsSince(const std::string& since, bool withFiles)
{
    return loadRuns("WHERE ended_at >= $1", { since }, withFiles);
}

Result<std::vector<RunRecord>> RecordStore::runsOfMac(const std::string& mac)
{
    const auto value = macValue(mac);
    if (!value)
        return std::vector<RunRecord>();
    // The column as stored, so that its index serves: runs are saved with
    // capitals, lower case is what older versions may have kept.
    std::string lower = macText(*value);
    for (char& c : lower)
        c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return loadRuns("WHERE mac IN ($1, $2) AND (outcome = 'pass' OR mac_written IS NULL OR mac_written <> 0)",
        { macText(*value), lower }, true);
}

Result<DayCount> RecordStore::stationDay(const std::string& station, const std::string& day)
{
    // A range of the ended_at column, which the (station, ended_at) index serves.
    const std::string next = nextDay(day);
    if (next.empty())
        return Error { "'" + day + "' is not a day" };
    auto rows = m_sql->exec("SELECT count(*), coalesce(sum(CASE WHEN outcome = 'pass' THEN 1 ELSE 0 END), 0)"
                            " FROM runs WHERE station = $1 AND ended_at >= $2 AND ended_at < $3"
                            " AND outcome <> 'interrupted'",
        { station, day, next });
    if (!rows)
        return rows.error();
    DayCount count;
    if (!rows.value().rows.empty()) {
        count.runs = number(rows.value().rows[0][0]);
        count.passed = number(rows.value().rows[0][1]);
    }
    return count;
}

Result<RunCounts> RecordStore::countRuns(const std::string& since)
{
    RunCounts counts;
    // Day by day along the (ended_at, outcome) index: a range each, where
    // one GROUP BY over every run would sort them all.
    std::string from = since;
    for (;;) {
        auto first = m_sql->exec("SELECT min(ended_at) FROM runs WHERE ended_at >= $1", { from });
        if (!first)
            return first.error();
        if (first.value().rows.empty() || !first.value().rows[0][0] || first.value().rows[0][0]->size() < 10)
            break;
        const std::string day = first.value().rows[0][0]->substr(0, 10);
        const std::string next = nextDay(day);
        if (next.empty())
            break;
        auto counted = m_sql->exec("SELECT count(*), coalesce(sum(CASE WHEN outcome = 'pass' THEN 1 ELSE 0 END), 0),"
                                   " coalesce(sum(CASE WHEN outcome = 'interrupted' THEN 1 ELSE 0 END), 0)"
                                   " FROM runs WHERE ended_at >= $1 AND ended_at < $2",
            { from, next });
        if (!counted)
            return counted.error();
        const SqlRow& row = counted.value().rows.at(0);
        counts.interrupted += number(row[2]);
        if (number(row[0]) > number(row[2]))
            counts.days.push_back({ day, { number(row[0]) - number(row[2]), number(row[1]) } });
        from = next;
    }
    auto version = storedVersion();
    if (!version)
        return version.error();
    auto macs = countMacsPassed(since, version.value());
    if (!macs)
        return macs.error();
    counts.macsPassed = macs.value();
    auto failures = countFailuresPerItem(since, version.value());
    if (!failures)
        return failures.error();
    counts.failuresPerItem = std::move(failures.value());
    return counts;
}

Result<std::int64_t> RecordStore::countMacsPassed(const std::string& since, int version)
{
    // Each MAC that passed since then once: at its first pass since then.
    // The rows of a store recorded before this was kept count as they are:
    // NULL, never passed before. The upgrade fills them in.
    auto macs = version >= 5 ? m_sql->exec("SELECT count(*) FROM runs WHERE outcome = 'pass' AND ended_at >= $1"
                                           " AND (mac_passed_before IS NULL OR mac_passed_before < $1)",
                    { since })
                             : m_sql->exec("SELECT count(*) FROM (SELECT DISTINCT mac FROM runs"
                                           " WHERE outcome = 'pass' AND ended_at >= $1) AS passing",
                                 { since });
    if (!macs)
        return macs.error();
    return macs.value().rows.empty() ? 0 : number(macs.value().rows[0][0]);
}

Result<std::vector<std::pair<std::string, std::int64_t>>> RecordStore::countFailuresPerItem(
    const std::string& since, int version)
{
    // A failed run failed at its last item that did not pass: kept on the
    // run since version 5, looked up among its items before (and for a run
    // a station of the older schema saved).
    const std::string lookedUp = "(SELECT name FROM run_items i WHERE i.run_id = r.id AND i.passed = 0"
                                 " ORDER BY i.position DESC LIMIT 1)";
    auto items = m_sql->exec("SELECT coalesce(" + std::string(version >= 5 ? "r.failed_item, " : "") + lookedUp
            + ", $2), count(*) FROM runs r WHERE r.outcome = 'fail' AND r.ended_at >= $1 GROUP BY 1",
        { since, std::string(kBeforeTheFirstItem) });
    if (!items)
        return items.error();
    std::vector<std::pair<std::string, std::int64_t>> failures;
    for (const SqlRow& row : items.value().rows)
        failures.push_back({ text(row[0]), number(row[1]) });
    return failures;
}

} // namespace mfg::records
