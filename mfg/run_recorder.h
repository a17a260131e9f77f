#pragma once

#include "mfg/config_files.h"
#include "mfg/records/record_store.h"
#include "platform/clock.h"

#include <optional>
#include <string>
#include <vector>

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

    // A store reached after all (it was away when the station started).
    void useStore(records::RecordStore* store, bool sharedMacs)
    {
        m_setup.store = store;
        m_setup.sharedMacs = sharedMacs;
        m_setup.storeProblem.clear();
    }
    bool hasStore() const { return m_setup.store != nullptr; }
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
    // The run's address is about to go into the board. False (and why in
    // `problem`) when the store no longer holds it for this station: the
    // board must not get it then.
    bool writing(std::string& problem);
    // The board passed with the run's address: it is consumed and the
    // passing run recorded, in one transaction. False (and why in
    // `problem`) when the store did not confirm it; a written address is
    // then quarantined at the run's end.
    bool consume(const MfgSettings& settings, std::string& problem);
    // The address went into the board, and the store did not confirm the pass.
    bool quarantining() const { return m_lease && m_written && m_consumeFailed; }
    // The run's end: its record is saved (a passing run's already is), an
    // address not consumed is given back, or quarantined when it went into
    // a board whose pass was not confirmed. A store problem is added to
    // `resultMessage`.
    void end(records::Outcome outcome, const MfgSettings& settings, std::string& resultMessage);
    // The last run ended and its record could not be saved in the store
    // (a full disk, a store that became read-only).
    bool recordLost() const { return m_recordLost; }
    // The run stopped without an end (the program closes): only the lease
    // is given back (quarantined when it was written).
    void abandon();

    // This station's runs of the (UTC) day, and whether it could be read.
    std::optional<records::DayCount> today();

private:
    void reclaimNow();
    void fillRun(records::Outcome outcome, const MfgSettings& settings, const std::string& resultMessage);
    // Quarantines the lease; kept for the next run when the store cannot be
    // reached (the store does it itself once this station is gone).
    bool quarantine(const records::MacLease& lease, std::string& problem);

    Setup m_setup;
    platform::Clock& m_clock;
    bool m_running = false;
    std::optional<records::MacLease> m_lease;
    bool m_written = false; // the address went (or was going) into the board
    bool m_consumed = false;
    bool m_consumeFailed = false;
    bool m_saved = false; // the run's record is in the store
    bool m_recordLost = false;
    std::vector<records::MacLease> m_pendingQuarantine;
    std::string m_leaseProblem;
    records::RunRecord m_run;
    platform::TimePoint m_itemStart {};
    std::optional<platform::TimePoint> m_reclaimed; // when dead leases were last looked for
};

// The Test page's line about the station's day: "Today: 12 boards, 11
// passed, yield 91.7%", or that nothing is recorded.
std::string todayText(const std::optional<records::DayCount>& today);
// "12 boards, 11 passed, yield 91.7%".
std::string dayCountText(const records::DayCount& count);

} // namespace mfg
