#pragma once

#include "mfg/records/record_store.h"

#include <optional>
#include <string>
#include <vector>

namespace mfg::records {

struct DayRow {
    std::string day; // YYYY-MM-DD, UTC
    std::int64_t runs = 0; // finished runs (interrupted ones are not boards tested)
    std::int64_t passed = 0;
    double yield() const { return runs ? double(passed) / double(runs) : 0.0; }
};

struct ItemFailures {
    std::string item;
    std::int64_t count = 0;
    double cumulative = 0.0; // share of all failures up to this item
};

// What `kellan-mp report` shows. Boards carry no serial number of their own,
// so each finished run is one board's attempt: the first-pass yield is the
// share of attempts that passed.
struct Report {
    std::string source;
    std::string since; // empty: all
    std::vector<DayRow> days;
    DayRow total;
    std::int64_t interrupted = 0;
    std::vector<ItemFailures> pareto; // most failures first
    std::optional<MacRange> range; // a shared store's range
    std::int64_t macsPassed = 0; // different MACs of passing runs
    std::vector<QuarantinedMac> quarantined; // never handed out again
};

// The report of the runs the database counted.
Report buildReport(const RunCounts& counts, const std::optional<MacRange>& range);
// Text for a terminal: control characters in what stations wrote (a
// station's name) are shown as \xHH, never sent to the terminal.
std::string reportText(const Report& report);
// One self-contained page: the tables and charts drawn as inline SVG.
std::string reportHtml(const Report& report);
// `kellan-mp history`: everything known about the runs of one MAC.
std::string historyText(const std::string& mac, const std::vector<RunRecord>& runs);

} // namespace mfg::records
