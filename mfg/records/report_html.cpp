// The report as one page that needs nothing beside it: the charts are SVG
// drawn here, the style sheet is inline, nothing is fetched.

#include "mfg/records/report.h"

#include <algorithm>
#include <cstdio>

namespace mfg::records {

namespace {

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string num(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return buffer;
}

std::string percent(double share)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f%%", share * 100.0);
    return buffer;
}

constexpr int kWidth = 720;
constexpr int kHeight = 260;
constexpr int kLeft = 50, kRight = 50, kTop = 20, kBottom = 60;

std::string text(double x, double y, const std::string& content, const char* anchor = "middle", const char* extra = "")
{
    return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" text-anchor=\"" + anchor + "\" " + extra + ">"
        + escaped(content) + "</text>";
}

std::string rect(double x, double y, double w, double h, const char* fill)
{
    return "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) + "\" height=\"" + num(h) + "\" fill=\""
        + fill + "\"/>";
}

// The frame of a chart: a left axis of counts up to `top`, a right axis of
// percentages.
std::string axes(std::int64_t top, const char* leftTitle, const char* rightTitle)
{
    const int plotHeight = kHeight - kTop - kBottom;
    std::string svg;
    for (int step = 0; step <= 4; ++step) {
        const double y = kTop + plotHeight - plotHeight * step / 4.0;
        svg += "<line x1=\"" + num(kLeft) + "\" x2=\"" + num(kWidth - kRight) + "\" y1=\"" + num(y) + "\" y2=\""
            + num(y) + "\" stroke=\"#ddd\"/>";
        svg += text(kLeft - 6, y + 4, std::to_string(top * step / 4), "end");
        svg += text(kWidth - kRight + 6, y + 4, std::to_string(25 * step) + "%", "start");
    }
    svg += text(14, kTop + plotHeight / 2.0, leftTitle, "middle",
        ("transform=\"rotate(-90 14 " + num(kTop + plotHeight / 2.0) + ")\"").c_str());
    svg += text(kWidth - 12, kTop + plotHeight / 2.0, rightTitle, "middle",
        ("transform=\"rotate(90 " + num(kWidth - 12) + " " + num(kTop + plotHeight / 2.0) + ")\"").c_str());
    return svg;
}

std::int64_t niceTop(std::int64_t most)
{
    // Four even steps of a round size.
    std::int64_t unit = 1;
    while (most > 40 * unit)
        unit *= 10;
    return (most + 4 * unit - 1) / (4 * unit) * 4 * unit;
}

template <typename Row, typename Label, typename Bars, typename Share>
std::string barChart(const std::vector<Row>& rows, Label label, Bars bars, Share share, const char* leftTitle,
    const char* rightTitle, const char* lineColour, bool roomAbove = false)
{
    std::int64_t most = 1;
    for (const Row& row : rows)
        most = std::max(most, bars(row).first + bars(row).second);
    // Room above the bars keeps a line near 100% clear of their labels.
    const std::int64_t top = niceTop(roomAbove ? most + most / 3 : most);
    const double plotWidth = kWidth - kLeft - kRight;
    const double plotHeight = kHeight - kTop - kBottom;
    const double slot = rows.empty() ? plotWidth : plotWidth / double(rows.size());
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + std::to_string(kWidth) + " "
        + std::to_string(kHeight) + "\" width=\"" + std::to_string(kWidth) + "\" height=\"" + std::to_string(kHeight)
        + "\" font-size=\"11\" font-family=\"sans-serif\">";
    svg += axes(top, leftTitle, rightTitle);
    std::string points;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto [lower, upper] = bars(rows[i]);
        const double x = kLeft + slot * double(i) + slot * 0.15;
        const double w = slot * 0.7;
        const double hLower = plotHeight * double(lower) / double(top);
        const double hUpper = plotHeight * double(upper) / double(top);
        svg += rect(x, kTop + plotHeight - hLower, w, hLower, "#3a7d44");
        svg += rect(x, kTop + plotHeight - hLower - hUpper, w, hUpper, "#c0392b");
        svg += text(x + w / 2, kTop + plotHeight - hLower - hUpper - 4, std::to_string(lower + upper));
        svg += text(x + w / 2, kTop + plotHeight + 16, label(rows[i]));
        const double y = kTop + plotHeight - plotHeight * share(rows[i]);
        points += num(x + w / 2) + "," + num(y) + " ";
        svg += "<circle cx=\"" + num(x + w / 2) + "\" cy=\"" + num(y) + "\" r=\"3\" fill=\"" + lineColour + "\"/>";
    }
    if (!rows.empty())
        svg += "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" + std::string(lineColour) + "\" points=\""
            + points + "\"/>";
    svg += "</svg>";
    return svg;
}

std::string macBar(const MacRange& range)
{
    const double all = double(range.end - range.first + 1);
    const double plotWidth = kWidth - 20;
    struct Part {
        double count;
        const char* colour;
        const char* name;
    };
    const Part parts[] = { { double(range.used), "#3a7d44", "used" },
        { double(range.leased), "#e0a800", "in runs now" }, { double(range.free), "#8e44ad", "given back" },
        { double(range.next > range.end ? 0 : range.end - range.next + 1), "#cfd8dc", "never handed out" } };
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + std::to_string(kWidth)
        + " 70\" width=\"" + std::to_string(kWidth) + "\" height=\"70\" font-size=\"11\" font-family=\"sans-serif\">";
    double x = 10;
    double legend = 10;
    for (const Part& part : parts) {
        const double w = all > 0 ? plotWidth * part.count / all : 0;
        svg += rect(x, 10, w, 24, part.colour);
        x += w;
        svg += rect(legend, 46, 10, 10, part.colour);
        const std::string label = std::string(part.name) + " " + std::to_string(static_cast<long long>(part.count));
        svg += text(legend + 14, 55, label, "start");
        legend += 30 + 7.0 * double(label.size());
    }
    svg += "</svg>";
    return svg;
}

} // namespace

std::string reportHtml(const Report& report)
{
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<title>Production report</title><style>"
                       "body{font-family:sans-serif;margin:24px;color:#222;max-width:780px}"
                       "h1{font-size:20px}h2{font-size:16px;margin-top:28px}"
                       "table{border-collapse:collapse;font-size:13px}"
                       "td,th{border:1px solid #ccc;padding:3px 10px;text-align:right}"
                       "td:first-child,th:first-child{text-align:left}"
                       ".key span{display:inline-block;width:10px;height:10px;margin:0 4px 0 12px}"
                       "</style></head><body>\n";
    html += "<h1>Production report</h1><p>" + escaped(report.source)
        + (report.since.empty() ? std::string() : " since " + escaped(report.since)) + "; "
        + std::to_string(report.total.runs) + " boards tested, " + std::to_string(report.total.passed)
        + " passed, first-pass yield " + percent(report.total.yield())
        + (report.interrupted ? "; " + std::to_string(report.interrupted) + " interrupted runs not counted" : "")
        + ".</p>\n";

    html += "<h2>Boards per day (UTC)</h2><p class=\"key\"><span style=\"background:#3a7d44\"></span>passed"
            "<span style=\"background:#c0392b\"></span>failed<span style=\"background:#1f5fa8\"></span>"
            "first-pass yield</p>\n";
    html += barChart(
        report.days, [](const DayRow& day) { return day.day; },
        [](const DayRow& day) { return std::make_pair(day.passed, day.runs - day.passed); },
        [](const DayRow& day) { return day.yield(); }, "boards", "yield", "#1f5fa8", true);
    html += "\n<table><tr><th>day</th><th>boards</th><th>passed</th><th>failed</th><th>first-pass yield</th></tr>";
    for (const DayRow& day : report.days) {
        html += "<tr><td>" + escaped(day.day) + "</td><td>" + std::to_string(day.runs) + "</td><td>"
            + std::to_string(day.passed) + "</td><td>" + std::to_string(day.runs - day.passed) + "</td><td>"
            + percent(day.yield()) + "</td></tr>";
    }
    html += "</table>\n";

    html += "<h2>Failures per item</h2>";
    if (report.pareto.empty()) {
        html += "<p>No failed board.</p>\n";
    } else {
        html += "<p class=\"key\"><span style=\"background:#c0392b\"></span>failures"
                "<span style=\"background:#444\"></span>cumulative share</p>\n";
        html += barChart(
            report.pareto, [](const ItemFailures& row) { return row.item; },
            [](const ItemFailures& row) { return std::make_pair(std::int64_t(0), row.count); },
            [](const ItemFailures& row) { return row.cumulative; }, "failures", "cumulative", "#444");
        html += "\n<table><tr><th>item</th><th>failures</th><th>cumulative</th></tr>";
        for (const ItemFailures& row : report.pareto) {
            html += "<tr><td>" + escaped(row.item) + "</td><td>" + std::to_string(row.count) + "</td><td>"
                + percent(row.cumulative) + "</td></tr>";
        }
        html += "</table>\n";
    }

    html += "<h2>MAC addresses</h2>";
    if (report.range) {
        const MacRange& range = *report.range;
        html += "<p>Range " + macText(range.first) + " &ndash; " + macText(range.end) + ": "
            + std::to_string(range.left()) + " left.</p>\n" + macBar(range) + "\n";
    } else {
        html += "<p>No shared range: each station steps its own in Option.dat.</p>\n";
    }
    html += "<p>Different MACs on passing boards in this report: " + std::to_string(report.macsPassed) + ".</p>\n";
    html += "</body></html>\n";
    return html;
}

} // namespace mfg::records
