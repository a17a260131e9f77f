#include "mfg/records/report.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace mfg::records {

namespace {

std::string format(const char* pattern, double a)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, a);
    return buffer;
}

std::string percent(double share) { return format("%.1f%%", share * 100.0); }

} // namespace

std::string failingItem(const RunRecord& run)
{
    for (auto item = run.items.rbegin(); item != run.items.rend(); ++item) {
        if (!item->passed)
            return item->name;
    }
    return "(before the first item)";
}

Report buildReport(const std::vector<RunRecord>& runs, const std::optional<MacRange>& range)
{
    Report report;
    report.range = range;
    std::map<std::string, DayRow> days;
    std::map<std::string, std::int64_t> failures;
    std::set<std::string> macs;
    for (const RunRecord& run : runs) {
        if (run.outcome == Outcome::Interrupted) {
            ++report.interrupted;
            continue;
        }
        DayRow& day = days[run.endedAt.substr(0, 10)];
        day.day = run.endedAt.substr(0, 10);
        ++day.runs;
        ++report.total.runs;
        if (run.outcome == Outcome::Pass) {
            ++day.passed;
            ++report.total.passed;
            macs.insert(run.mac);
        } else {
            ++failures[failingItem(run)];
        }
    }
    for (auto& [name, day] : days)
        report.days.push_back(day);
    std::int64_t allFailures = 0;
    for (const auto& [item, count] : failures) {
        report.pareto.push_back({ item, count, 0.0 });
        allFailures += count;
    }
    std::stable_sort(report.pareto.begin(), report.pareto.end(),
        [](const ItemFailures& a, const ItemFailures& b) { return a.count > b.count; });
    std::int64_t sum = 0;
    for (auto& row : report.pareto) {
        sum += row.count;
        row.cumulative = double(sum) / double(allFailures);
    }
    report.macsPassed = static_cast<std::int64_t>(macs.size());
    return report;
}

std::string reportText(const Report& report)
{
    std::string out = "Production report: " + report.source
        + (report.since.empty() ? std::string() : " since " + report.since) + "\n\n";
    out += "Boards per day (UTC)   boards  passed  failed  first-pass yield\n";
    char line[160];
    for (const DayRow& day : report.days) {
        std::snprintf(line, sizeof line, "%-20s %8lld %7lld %7lld  %s\n", day.day.c_str(),
            static_cast<long long>(day.runs), static_cast<long long>(day.passed),
            static_cast<long long>(day.runs - day.passed), percent(day.yield()).c_str());
        out += line;
    }
    std::snprintf(line, sizeof line, "%-20s %8lld %7lld %7lld  %s\n", "all", static_cast<long long>(report.total.runs),
        static_cast<long long>(report.total.passed), static_cast<long long>(report.total.runs - report.total.passed),
        percent(report.total.yield()).c_str());
    out += line;
    if (report.interrupted)
        out += "(" + std::to_string(report.interrupted) + " interrupted runs not counted)\n";
    out += "\nFailures per item\n";
    if (report.pareto.empty())
        out += "  none\n";
    for (const ItemFailures& row : report.pareto) {
        std::snprintf(line, sizeof line, "  %-28s %6lld  %s\n", row.item.c_str(), static_cast<long long>(row.count),
            percent(row.cumulative).c_str());
        out += line;
    }
    out += "\nMAC addresses\n";
    if (report.range) {
        const MacRange& range = *report.range;
        out += "  range " + macText(range.first) + " - " + macText(range.end) + "\n";
        std::snprintf(line, sizeof line, "  used %lld, in runs now %lld, given back %lld, left %llu\n",
            static_cast<long long>(range.used), static_cast<long long>(range.leased),
            static_cast<long long>(range.free), static_cast<unsigned long long>(range.left()));
        out += line;
        std::snprintf(line, sizeof line, "  quarantined %lld (each in a board whose pass was not confirmed)\n",
            static_cast<long long>(range.quarantined));
        out += line;
        for (const QuarantinedMac& mac : report.quarantined)
            out += "    " + macText(mac.mac) + "  " + mac.station + "  " + mac.at + "  " + mac.reason + "\n";
    } else {
        out += "  no shared range (each station steps its own in Option.dat)\n";
    }
    out += "  different MACs on passing boards in this report: " + std::to_string(report.macsPassed) + "\n";
    return out;
}

std::string historyText(const std::string& mac, const std::vector<RunRecord>& runs)
{
    std::string out = "MAC " + mac + ": " + std::to_string(runs.size()) + (runs.size() == 1 ? " run\n" : " runs\n");
    char line[200];
    for (const RunRecord& run : runs) {
        out += "\nrun " + std::to_string(run.id) + ": " + outcomeText(run.outcome) + "\n";
        out += "  station " + run.station + ", operator " + run.operatorName + ", kellan-mp " + run.programVersion
            + "\n";
        out += "  started " + run.startedAt + ", ended " + run.endedAt + "\n";
        out += std::string("  MAC from ") + (run.macFromStore ? "the shared range" : "Option.dat") + "\n";
        for (const ItemRecord& item : run.items) {
            std::snprintf(line, sizeof line, "  %-28s %-6s %8.3f s\n", item.name.c_str(),
                item.passed ? "passed" : "failed", double(item.durationMs) / 1000.0);
            out += line;
            if (!item.failure.empty())
                out += "    " + item.failure + (item.failure.back() == '\n' ? "" : "\n");
        }
        for (const FileRecord& file : run.files) {
            out += "  " + file.role + " " + file.path + ": "
                + (file.sha256.empty() ? std::string("not readable")
                                       : "sha256 " + file.sha256 + ", " + std::to_string(file.size) + " bytes")
                + "\n";
        }
        if (!run.resultMessage.empty())
            out += "  message: " + run.resultMessage + (run.resultMessage.back() == '\n' ? "" : "\n");
    }
    return out;
}

} // namespace mfg::records
