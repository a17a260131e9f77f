// `kellan-mp report` and `kellan-mp history`: what the production records
// say, as text, JSON or (report) one HTML page.

#include "apps/kellan-mp/command.h"
#include "mfg/records/report.h"
#include "mfg/station_records.h"
#include "platform/json_text.h"
#include "platform/text_file.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace kellan_mp {

namespace {

using mfg::records::RecordStore;

// A day of the calendar, YYYY-MM-DD (no 2026-02-30).
bool isDate(const std::string& text)
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return false;
    for (std::size_t i : { 0, 1, 2, 3, 5, 6, 8, 9 }) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    const int year = std::stoi(text.substr(0, 4));
    const int month = std::stoi(text.substr(5, 2));
    const int day = std::stoi(text.substr(8, 2));
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    static const int kDays[] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    return month >= 1 && month <= 12 && day >= 1 && day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// Only read: a folder without records is told so, and no file is made there.
std::unique_ptr<RecordStore> openForReading(const char* command, const std::string& url)
{
    bool shared = false;
    const std::string directory = platform::currentDirectory();
    const std::string named = mfg::stationRecordsUrl(directory, url, shared);
    if (!shared && !platform::canOpenForReading(directory + "/" + mfg::records::kDefaultDatabase)) {
        std::fprintf(stderr,
            "kellan-mp %s: there are no production records in %s (no %s, no records.dat); name the store with "
            "--records URL\n",
            command, directory.c_str(), mfg::records::kDefaultDatabase);
        return nullptr;
    }
    auto store = RecordStore::open(named, mfg::records::OpenFor::Reading);
    if (!store) {
        std::fprintf(stderr, "kellan-mp %s: %s\n", command, store.error().message.c_str());
        return nullptr;
    }
    return std::move(store.value());
}

nlohmann::json runJson(const mfg::records::RunRecord& run)
{
    nlohmann::json items = nlohmann::json::array();
    for (const auto& item : run.items) {
        items.push_back({ { "item", item.name }, { "bit", item.item }, { "passed", item.passed },
            { "duration_ms", item.durationMs }, { "failure", item.failure } });
    }
    nlohmann::json files = nlohmann::json::array();
    for (const auto& file : run.files) {
        files.push_back(
            { { "role", file.role }, { "path", file.path }, { "sha256", file.sha256 }, { "size", file.size } });
    }
    return { { "id", run.id }, { "station", run.station }, { "operator", run.operatorName },
        { "started", run.startedAt }, { "ended", run.endedAt }, { "mac", run.mac },
        { "mac_from_shared_range", run.macFromStore }, { "outcome", mfg::records::outcomeText(run.outcome) },
        { "result_message", run.resultMessage }, { "program_version", run.programVersion }, { "items", items },
        { "files", files } };
}

nlohmann::json reportJson(const mfg::records::Report& report)
{
    nlohmann::json days = nlohmann::json::array();
    for (const auto& day : report.days) {
        days.push_back({ { "day", day.day }, { "boards", day.runs }, { "passed", day.passed },
            { "failed", day.runs - day.passed }, { "first_pass_yield", day.yield() } });
    }
    nlohmann::json pareto = nlohmann::json::array();
    for (const auto& row : report.pareto)
        pareto.push_back({ { "item", row.item }, { "failures", row.count }, { "cumulative", row.cumulative } });
    nlohmann::json out = { { "source", report.source }, { "since", report.since }, { "days", days },
        { "boards", report.total.runs }, { "passed", report.total.passed },
        { "first_pass_yield", report.total.yield() }, { "interrupted", report.interrupted },
        { "failures_per_item", pareto }, { "macs_on_passing_boards", report.macsPassed } };
    if (report.range) {
        const auto& range = *report.range;
        out["mac_range"] = { { "first", mfg::records::macText(range.first) },
            { "end", mfg::records::macText(range.end) }, { "used", range.used }, { "in_runs", range.leased },
            { "given_back", range.free }, { "left", range.left() }, { "quarantined", range.quarantined } };
        nlohmann::json quarantined = nlohmann::json::array();
        for (const auto& mac : report.quarantined)
            quarantined.push_back({ { "mac", mfg::records::macText(mac.mac) }, { "station", mac.station },
                { "at", mac.at }, { "reason", mac.reason } });
        out["quarantined_macs"] = quarantined;
    } else {
        out["mac_range"] = nullptr;
    }
    return out;
}

} // namespace

void declareReport(CLI::App& app, ReportArguments& arguments)
{
    app.description("boards per day, first-pass yield, failures per item (Pareto), MACs used and left; --html also "
                    "writes one self-contained page with charts.");
    app.footer("Exit status: 0 shown, 1 the records could not be read, 2 bad arguments.");
    app.add_option("--since", arguments.since, "only the runs of this day and later")
        ->type_name("YYYY-MM-DD")
        ->check(CLI::Validator(
            [](std::string& text) { return isDate(text) ? std::string() : "'" + text + "' is not a date YYYY-MM-DD"; },
            "", ""));
    app.add_option("--records", arguments.records, "the store to read (default: records.dat, else production.db)")
        ->type_name("URL")
        ->check(notEmpty());
    app.add_option("--html", arguments.html, "also write the report as one HTML page with charts")
        ->type_name("FILE")
        ->check(notEmpty());
    app.add_flag("--json", arguments.json, "print the report as a JSON object");
}

int reportCommand(const ReportArguments& arguments)
{
    const std::string& since = arguments.since;
    const std::string& url = arguments.records;
    const std::string& htmlPath = arguments.html;
    const bool json = arguments.json;
    auto store = openForReading("report", url);
    if (!store)
        return 1;
    auto counts = store->countRuns(since);
    auto range = store->macRange();
    if (!counts || !range) {
        std::fprintf(stderr, "kellan-mp report: %s\n", (!counts ? counts.error() : range.error()).message.c_str());
        return 1;
    }
    auto report = mfg::records::buildReport(counts.value(), range.value());
    if (range.value()) {
        auto quarantined = store->quarantinedMacs();
        if (!quarantined) {
            std::fprintf(stderr, "kellan-mp report: %s\n", quarantined.error().message.c_str());
            return 1;
        }
        report.quarantined = std::move(quarantined.value());
    }
    report.source = store->describe();
    report.since = since;
    if (!htmlPath.empty()) {
        auto written = platform::writeFileAtomic(htmlPath, mfg::records::reportHtml(report));
        if (!written) {
            std::fprintf(stderr, "kellan-mp report: %s: %s\n", htmlPath.c_str(), written.error().message.c_str());
            return 1;
        }
    }
    if (json)
        std::printf("%s\n", platform::jsonText(reportJson(report), 2).c_str());
    else
        std::printf("%s", mfg::records::reportText(report).c_str());
    return 0;
}

void declareHistory(CLI::App& app, HistoryArguments& arguments)
{
    app.description("every run of the board with that MAC: items, times, files, station.");
    app.footer("Exit status: 0 found, 1 nothing known (or unreadable), 2 bad arguments.");
    app.add_option(
           "MAC", arguments.mac, "the board's MAC address: twelve hexadecimal digits, or six pairs joined by - or :")
        ->required()
        ->check(CLI::Validator(
            [](std::string& text) {
                return mfg::records::macValue(text)
                    ? std::string()
                    : "'" + text + "' is not a MAC (twelve hexadecimal digits, or six pairs joined by - or :)";
            },
            "", ""));
    app.add_option("--records", arguments.records, "the store to read (default: records.dat, else production.db)")
        ->type_name("URL")
        ->check(notEmpty());
    app.add_flag("--json", arguments.json, "print the runs as a JSON array");
}

int historyCommand(const HistoryArguments& arguments)
{
    const std::string& mac = arguments.mac;
    const std::string& url = arguments.records;
    const bool json = arguments.json;
    auto store = openForReading("history", url);
    if (!store)
        return 1;
    auto runs = store->runsOfMac(mac);
    if (!runs) {
        std::fprintf(stderr, "kellan-mp history: %s\n", runs.error().message.c_str());
        return 1;
    }
    if (json) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& run : runs.value())
            out.push_back(runJson(run));
        std::printf("%s\n", platform::jsonText(out, 2).c_str());
    } else {
        std::printf(
            "%s", mfg::records::historyText(mfg::records::macText(*mfg::records::macValue(mac)), runs.value()).c_str());
    }
    // Nothing known about the board is an answer, but not a found one.
    return runs.value().empty() ? 1 : 0;
}

void declareRecords(CLI::App& app, RecordsArguments& arguments)
{
    app.description("init makes the records schema in a new database, upgrade brings an older one up to date; both "
                    "need a role that may create tables. Stations and reports need only the rights on the rows.");
    app.footer("Exit status: 0 done (or nothing to do), 1 refused or failed, 2 bad arguments.");
    app.add_option("ACTION", arguments.action, "init or upgrade")
        ->required()
        ->check(CLI::IsMember({ "init", "upgrade" }).description(""));
    app.add_option("--records", arguments.records, "the store (default: records.dat, else production.db)")
        ->type_name("URL")
        ->check(notEmpty());
}

int recordsCommand(const RecordsArguments& arguments)
{
    // Upgrading a store of a million runs takes minutes on a busy server:
    // its statements are not cut short as a station's would be.
    mfg::records::setDefaultDatabaseWait(600);
    bool shared = false;
    const std::string url = mfg::stationRecordsUrl(platform::currentDirectory(), arguments.records, shared);
    if (arguments.action == "upgrade") {
        // Only read first: an upgrade makes no database where there was none.
        auto existing = RecordStore::open(url, mfg::records::OpenFor::Reading);
        if (!existing && existing.error().message.find("does not exist") != std::string::npos) {
            std::fprintf(
                stderr, "kellan-mp records: %s; `kellan-mp records init` makes it\n", existing.error().message.c_str());
            return 1;
        }
    }
    auto made = RecordStore::initSchema(url);
    if (!made) {
        std::fprintf(stderr, "kellan-mp records: %s\n", made.error().message.c_str());
        return 1;
    }
    const int now = mfg::records::kSchemaVersion;
    if (made.value() == now)
        std::printf("The records schema is at version %d already: nothing to do.\n", now);
    else if (made.value() == 0)
        std::printf("The records schema version %d was made.\n", now);
    else
        std::printf("The records schema was upgraded from version %d to %d.\n", made.value(), now);
    return 0;
}

} // namespace kellan_mp
