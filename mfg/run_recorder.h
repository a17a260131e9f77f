#pragma once

#include "mfg/config_files.h"
#include "mfg/records/record_store.h"
#include "platform/clock.h"

#include <optional>
#include <string>

namespace mfg {

// Keeps the record of the run going on and, with a shared store, the MAC
// address leased for it. A run's record is written once, at its end, in one
// transaction: a station killed mid-run leaves no record, and its lease goes
// back to the range when the store next sees its holder gone.
class RunRecorder {
public:
    struct Setup {
        records::RecordStore* store = nullptr; // null: nothing is recorded
        bool sharedMacs = false; // the store hands out the MAC addresses
        std::string station;
        std::string operatorName;
        std::string programVersion;
        // A shared store named but not reachable: every run fails to get
        // its address with this reason (Option.dat must not stand in).
        std::string storeProblem;
    };

    RunRecorder(Setup setup, platform::Clock& clock);

    bool sharedMacs() const { return m_setup.sharedMacs && (m_setup.store || !m_setup.storeProblem.empty()); }
    // A run starts. With shared MACs the store leases an address, which
    // becomes the settings' current MAC with the range's end as end MAC; a
    // range used up leaves a current MAC past the end, so that writing the
    // EEPROM fails as for a used-up Option.dat range.
    void begin(MfgSettings& settings);
    // Why no address could be leased (the store could not be reached).
    const std::string& leaseProblem() const { return m_leaseProblem; }
    void itemStarted(int item);
    void itemEnded(int item, bool passed);
    // The board passed with the run's address: it is consumed in the store
    // at once. False (and why in `problem`) when the store did not take it.
    bool consume(std::string& problem);
    // The run's end: its record is saved and an address not consumed is
    // given back. A store problem is added to `resultMessage`.
    void end(records::Outcome outcome, const MfgSettings& settings, std::string& resultMessage);
    // The run stopped without an end (the program closes): only the lease
    // is given back.
    void abandon();

    // This station's runs of the (UTC) day, and whether it could be read.
    std::optional<records::DayCount> today();

private:
    Setup m_setup;
    platform::Clock& m_clock;
    bool m_running = false;
    std::optional<records::MacLease> m_lease;
    bool m_consumed = false;
    std::string m_leaseProblem;
    records::RunRecord m_run;
    platform::TimePoint m_itemStart {};
};

// The Test page's line about the station's day: "Today: 12 boards, 11
// passed, yield 91.7%", or that nothing is recorded.
std::string todayText(const std::optional<records::DayCount>& today);
// "12 boards, 11 passed, yield 91.7%".
std::string dayCountText(const records::DayCount& count);

} // namespace mfg
