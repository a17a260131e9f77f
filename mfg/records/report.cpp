#include "mfg/records/report.h"
#include "utility/devmgmt/printable_text.h"

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

std::string shown(const std::string& text) { return utility::devmgmt::escapeControls(text); }

// A message of several lines: each shown, the line ends kept.
std::string shownLines(const std::string& text)
{
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto end = text.find('\n', at);
        out += shown(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            break;
        out += "\n";
        at = end + 1;
    }
    return out;
}

} // namespace

Report buildReport(const RunCounts& counts, const std::optional<MacRange>& range)
{
    Report report;
    report.range = range;
    for (const auto& [day, count] : counts.days) {
        report.days.push_back({ day, count.runs, count.passed });
        report.total.runs += count.runs;
        report.total.passed += count.passed;
    }
    report.interrupted = counts.interrupted;
    std::int64_t allFailures = 0;
    for (const auto& [item, count] : counts.failuresPerItem) {
        report.pareto.push_back({ item, count, 0.0 });
        allFailures += count;
    }
    // Most first; equal counts by name, whatever order the database gave.
    std::sort(report.pareto.begin(), report.pareto.end(), [](const ItemFailures& a, const ItemFailures& b) {
        return a.count != b.count ? a.count > b.count : a.item < b.item;
    });
    std::int64_t sum = 0;
    for (auto& row : report.pareto) {
        sum += row.count;
        row.cumulative = double(sum) / double(allFailures);
    }
    report.macsPassed = counts.macsPassed;
    return report;
}

std::string reportText(const Report& report)
{
    std::string out = "Production report: " + shown(report.source)
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
        std::snprintf(line, sizeof line, "  %-28s %6lld  %s\n", shown(row.item).c_str(),
            static_cast<long long>(row.count), percent(row.cumulative).c_str());
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
            out += "    " + macText(mac.mac) + "  " + shown(mac.station) + "  " + shown(mac.at) + "  "
                + shown(mac.reason) + "\n";
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
        out += "  station " + shown(run.station) + ", operator " + shown(run.operatorName) + ", kellan-mp "
            + shown(run.programVersion) + "\n";
        out += "  started " + shown(run.startedAt) + ", ended " + shown(run.endedAt) + "\n";
        out += std::string("  MAC from ") + (run.macFromStore ? "the shared range" : "Option.dat") + "\n";
        for (const ItemRecord& item : run.items) {
            std::snprintf(line, sizeof line, "  %-28s %-6s %8.3f s\n", shown(item.name).c_str(),
                item.passed ? "passed" : "failed", double(item.durationMs) / 1000.0);
            out += line;
            if (!item.failure.empty())
                out += "    " + shownLines(item.failure) + (item.failure.back() == '\n' ? "" : "\n");
        }
        for (const FileRecord& file : run.files) {
            out += "  " + shown(file.role) + " " + shown(file.path) + ": "
                + (file.sha256.empty() ? std::string("not readable")
                                       : "sha256 " + shown(file.sha256) + ", " + std::to_string(file.size) + " bytes")
                + "\n";
        }
        if (!run.resultMessage.empty())
            out += "  message: " + shownLines(run.resultMessage) + (run.resultMessage.back() == '\n' ? "" : "\n");
    }
    return out;
}

} // namespace mfg::records
