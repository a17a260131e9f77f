#pragma once

#include "platform/clock.h"
#include "utility/devmgmt/device_monitor_row.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace utility::devmgmt {

// One rate of a device between two of its answers: the transmit and receive
// byte counters' growth per second, at the time of the later answer.
struct RatePoint {
    double seconds = 0; // since the history began
    double txPerSecond = 0;
    double rxPerSecond = 0;
};

// The last cycles of every monitored device's counters, for the view's
// chart: each answer is paired with the device's previous answer to give a
// byte rate. A missing reply gives no point; a counter that went down (the
// device restarted and cleared it) counts from zero.
class MonitorHistory {
public:
    static constexpr std::size_t kDefaultKept = 30;

    explicit MonitorHistory(std::size_t kept = kDefaultKept);

    void clear();
    // A row's state after its reply or timeout, at `when`.
    void record(const MonitorRow& row, platform::TimePoint when);

    // The devices seen, by the row's "NO." and "IP", in the order first seen.
    struct Device {
        std::string number;
        std::string ip;
        std::string name;
        std::deque<RatePoint> rates; // oldest first, at most `kept`
    };
    const std::vector<Device>& devices() const { return m_devices; }
    const Device* device(const std::string& number, const std::string& ip) const;

private:
    struct Last {
        bool valid = false;
        platform::TimePoint when {};
        std::uint32_t tx = 0;
        std::uint32_t rx = 0;
    };

    std::size_t m_kept;
    bool m_started = false;
    platform::TimePoint m_start {};
    std::vector<Device> m_devices;
    std::vector<Last> m_last; // beside m_devices
};

// The monitor's rows for a spreadsheet: one line per row and cycle, CR LF
// ended, fields quoted where they hold a comma, quote or line break, and a
// field starting with =, +, -, @, tab or CR prefixed with ' so that it
// stays text.
std::string monitorCsvHeader();
std::string monitorCsvLine(const std::string& time, const MonitorRow& row);

} // namespace utility::devmgmt
