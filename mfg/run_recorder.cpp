#include "mfg/run_recorder.h"

#include "mfg/records/digest.h"
#include "platform/text_file.h"

#include <algorithm>
#include <cstdio>

namespace mfg {

namespace {

records::FileRecord describeFile(const char* role, const std::string& path)
{
    records::FileRecord file { role, path, {}, -1 };
    auto digest = records::sha256OfFile(hostFilePath(path));
    if (digest) {
        file.sha256 = digest.value().sha256;
        file.size = digest.value().size;
    }
    return file;
}

} // namespace

RunRecorder::RunRecorder(Setup setup, platform::Clock& clock)
    : m_setup(std::move(setup))
    , m_clock(clock)
{
}

void RunRecorder::begin(MfgSettings& settings)
{
    m_run = records::RunRecord {};
    m_run.station = m_setup.station;
    m_run.operatorName = m_setup.operatorName;
    m_run.programVersion = m_setup.programVersion;
    m_run.startedAt = records::utcNow();
    m_lease.reset();
    m_written = false;
    m_consumed = false;
    m_consumeFailed = false;
    m_saved = false;
    m_recordLost = false;
    m_leaseProblem.clear();
    m_running = true;
    // Addresses of earlier runs that went into boards nobody saw pass.
    for (auto pending = m_pendingQuarantine.begin(); m_setup.store && pending != m_pendingQuarantine.end();) {
        std::string ignored;
        pending = quarantine(*pending, ignored) ? m_pendingQuarantine.erase(pending) : pending + 1;
    }
    // Taken now: a passing run steps the current MAC before its end.
    m_run.mac = settings.currentMac;
    if (!sharedMacs())
        return;
    reclaimNow();
    if (!m_setup.store) {
        m_leaseProblem = m_setup.storeProblem;
        settings.currentMac.clear();
        return;
    }
    auto range = m_setup.store->macRange();
    if (!range || !range.value()) {
        m_leaseProblem = range ? "the records store has no MAC range" : range.error().message;
        settings.currentMac.clear();
        return;
    }
    auto lease = m_setup.store->leaseMac(m_setup.station);
    if (!lease) {
        m_leaseProblem = lease.error().message;
        settings.currentMac.clear();
        return;
    }
    settings.endMac = records::macText(range.value()->end);
    settings.currentMac
        = lease.value() ? records::macText(lease.value()->mac) : records::macText(range.value()->end + 1);
    settings.macValuesParsed = false;
    m_lease = lease.value();
    m_run.mac = settings.currentMac;
}

void RunRecorder::reclaimNow()
{
    // The leases of stations that died while this one runs go back to the
    // range now, not at the next start of some station; asked at most once
    // a minute (the question reads every open lease).
    if (!m_setup.store || (m_reclaimed && m_clock.now() - *m_reclaimed < std::chrono::minutes(1)))
        return;
    m_reclaimed = m_clock.now();
    (void)m_setup.store->reclaimDeadLeases();
}

void RunRecorder::itemStarted(int) { m_itemStart = m_clock.now(); }

void RunRecorder::itemEnded(int item, bool passed)
{
    if (!m_running)
        return;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.now() - m_itemStart);
    m_run.items.push_back({ item, kItemNames[static_cast<std::size_t>(item)], passed, took.count(), {} });
    m_itemStart = m_clock.now();
}

bool RunRecorder::writing(std::string& problem)
{
    // Marked even when the store does not answer: the board may get it.
    m_written = true;
    if (!m_lease)
        return true;
    auto marked = m_setup.store->markWritten(*m_lease);
    if (!marked) {
        problem = marked.error().message;
        return false;
    }
    return true;
}

void RunRecorder::fillRun(records::Outcome outcome, const MfgSettings& settings, const std::string& resultMessage)
{
    m_run.endedAt = records::utcNow();
    m_run.macFromStore = m_lease.has_value();
    m_run.macWritten = m_written;
    m_run.outcome = outcome;
    m_run.resultMessage = resultMessage;
    // The failing item carries what the run said about it.
    if (outcome == records::Outcome::Fail && !m_run.items.empty() && !m_run.items.back().passed)
        m_run.items.back().failure = resultMessage;
    m_run.files = { describeFile("loader", settings.loaderPath), describeFile("test", settings.testFirmwarePath),
        describeFile("production", settings.productionFirmwarePath) };
}

bool RunRecorder::consume(const MfgSettings& settings, std::string& problem)
{
    if (!m_lease)
        return true;
    fillRun(records::Outcome::Pass, settings, {});
    auto consumed = m_setup.store->consumeMac(*m_lease, m_run);
    if (!consumed) {
        problem = consumed.error().message;
        m_consumeFailed = true;
        return false;
    }
    m_consumed = true;
    m_saved = true;
    return true;
}

bool RunRecorder::quarantine(const records::MacLease& lease, std::string& problem)
{
    auto kept = m_setup.store->quarantineMac(
        lease, m_setup.station, "written into a board whose pass the records store did not confirm");
    if (kept)
        return true;
    problem = kept.error().message;
    if (std::find_if(m_pendingQuarantine.begin(), m_pendingQuarantine.end(),
            [&](const records::MacLease& pending) { return pending.mac == lease.mac; })
        == m_pendingQuarantine.end())
        m_pendingQuarantine.push_back(lease);
    return false;
}

void RunRecorder::end(records::Outcome outcome, const MfgSettings& settings, std::string& resultMessage)
{
    if (!m_running)
        return;
    m_running = false;
    if (!m_setup.store || m_saved)
        return;
    fillRun(outcome, settings, resultMessage);
    if (m_lease && !m_consumed) {
        std::string problem;
        if (quarantining()) {
            if (!quarantine(*m_lease, problem))
                resultMessage += "The records store could not be told yet (" + problem
                    + "); it will not hand the address out again all the same.\n";
        } else {
            auto released = m_setup.store->releaseMac(*m_lease);
            if (!released)
                resultMessage += "MAC address not given back to the records store: " + released.error().message + "\n";
        }
    }
    m_lease.reset();
    auto saved = m_setup.store->saveRun(m_run);
    if (!saved) {
        m_recordLost = true;
        resultMessage += "Production record not saved: " + saved.error().message + "\n";
    }
}

void RunRecorder::abandon()
{
    m_running = false;
    if (m_lease && !m_consumed) {
        std::string ignored;
        if (m_written)
            (void)quarantine(*m_lease, ignored);
        else
            (void)m_setup.store->releaseMac(*m_lease);
    }
    m_lease.reset();
}

std::string dayCountText(const records::DayCount& count)
{
    char text[96];
    std::snprintf(text, sizeof text, "%lld board%s, %lld passed, yield %.1f%%", static_cast<long long>(count.runs),
        count.runs == 1 ? "" : "s", static_cast<long long>(count.passed),
        count.runs ? 100.0 * double(count.passed) / double(count.runs) : 0.0);
    return text;
}

std::string todayText(const std::optional<records::DayCount>& today)
{
    if (!today)
        return "Today: runs are not recorded";
    if (today->runs == 0)
        return "Today: no boards yet";
    return "Today: " + dayCountText(*today);
}

std::optional<records::DayCount> RunRecorder::today()
{
    if (!m_setup.store)
        return std::nullopt;
    auto count = m_setup.store->stationDay(m_setup.station, records::utcNow().substr(0, 10));
    if (!count)
        return std::nullopt;
    return count.value();
}

} // namespace mfg
