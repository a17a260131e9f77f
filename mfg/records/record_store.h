#pragma once

#include "mfg/records/sql_connection.h"
#include "platform/result.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mfg::records {

// The schema version this program writes; an older database is upgraded to
// it, a newer one refused.
inline constexpr int kSchemaVersion = 5;
// The oldest schema this program reads and records into as it is, without
// upgrading it (a role with only the rights on the rows cannot): the report
// then counts more slowly, and `kellan-mp records upgrade` brings it up.
inline constexpr int kOldestUsableVersion = 4;
inline constexpr const char* kDefaultDatabase = "production.db";

struct ItemRecord {
    int item = 0; // bit of the item selection
    std::string name;
    bool passed = false;
    std::int64_t durationMs = 0;
    std::string failure; // what the run said when this item failed
};

struct FileRecord {
    std::string role; // loader, test, production
    std::string path;
    std::string sha256; // empty: the file could not be read
    std::int64_t size = -1;
};

enum class Outcome { Pass, Fail, Interrupted };
const char* outcomeText(Outcome outcome);
std::optional<Outcome> outcomeFromText(const std::string& text);

struct RunRecord {
    std::int64_t id = 0;
    std::string station;
    std::string operatorName;
    std::string startedAt; // UTC, 2026-12-09T21:40:24.123Z
    std::string endedAt;
    std::string mac; // the board's MAC, or the one it would have had
    bool macFromStore = false; // leased from the shared range, not Option.dat
    bool macWritten = true; // the address went (or was going) into the board
    Outcome outcome = Outcome::Fail;
    std::string resultMessage;
    std::string programVersion;
    std::vector<ItemRecord> items;
    std::vector<FileRecord> files;
};

struct MacRange {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    std::uint64_t next = 0; // the lowest address never handed out
    std::int64_t used = 0; // consumed by passing boards
    std::int64_t leased = 0; // held by runs going on now
    std::int64_t free = 0; // handed out once, given back by a failed run
    std::int64_t quarantined = 0; // written into a board whose pass was not confirmed: never handed out again
    std::uint64_t left() const { return (next > end ? 0 : end - next + 1) + static_cast<std::uint64_t>(free); }
};

// An address held by one run until it passes (consumed) or ends otherwise
// (given back, and offered again before any new one).
struct MacLease {
    std::uint64_t mac = 0;
};

// An address taken out of the range for good: it went into a board whose
// pass could not be confirmed, so it may be on a board out there.
struct QuarantinedMac {
    std::uint64_t mac = 0;
    std::string station;
    std::string at; // UTC
    std::string reason;
};

struct DayCount {
    std::int64_t runs = 0;
    std::int64_t passed = 0;
};

// What the report counts, counted by the database.
inline constexpr const char* kBeforeTheFirstItem = "(before the first item)";
struct RunCounts {
    std::vector<std::pair<std::string, DayCount>> days; // UTC day, oldest first; interrupted runs left out
    std::int64_t interrupted = 0;
    std::vector<std::pair<std::string, std::int64_t>> failuresPerItem; // the item each failed run failed at
    std::int64_t macsPassed = 0; // different MACs of passing runs
};

// Production records and, for a shared store, the MAC range of a line of
// stations. One connection; not shared between threads.
class RecordStore {
public:
    // Opens the database a URL names: postgresql://... or postgres://...
    // (URL or keyword form), sqlite:PATH, or a plain path of an SQLite file.
    // A schema older than this program's is created or upgraded when the
    // connection's role may (`init` and `upgrade` do it on purpose); a
    // current one is only read, so stations and reports need nothing but
    // the rights on the rows.
    static platform::Result<std::unique_ptr<RecordStore>> open(
        const std::string& url, OpenFor use = OpenFor::Recording);
    // As open, but upgrades no further than `version` (tests of upgrades).
    static platform::Result<std::unique_ptr<RecordStore>> openAtVersion(
        const std::string& url, int version, OpenFor use = OpenFor::Recording);
    // `kellan-mp records init|upgrade`: the schema made or brought up to
    // date; the version it had before.
    static platform::Result<int> initSchema(const std::string& url);

    explicit RecordStore(std::unique_ptr<SqlConnection> connection);
    platform::Result<int> schemaVersion();
    std::string describe() const { return m_sql->describe(); }
    SqlConnection& sql() { return *m_sql; }

    // The range, or nothing when none was set.
    platform::Result<std::optional<MacRange>> macRange();
    // Sets the range when there is none yet (true), else leaves it (false).
    platform::Result<bool> seedMacRange(std::uint64_t first, std::uint64_t end);
    // Gives back the addresses of leases whose holder is provably gone;
    // one already being written into a board is quarantined instead.
    platform::Result<int> reclaimDeadLeases();
    // The lowest given-back address, else the next new one; nothing when the
    // range is used up or there is none.
    platform::Result<std::optional<MacLease>> leaseMac(const std::string& station);
    // The address is about to go into the board: from now on it never goes
    // back to the free addresses unless this station gives it back itself.
    // Fails when the lease is no longer this station's.
    platform::Result<void> markWritten(const MacLease& lease);
    // The board passed with this address: it is consumed and the passing
    // run saved, in one transaction (both or neither). The run's id.
    platform::Result<std::int64_t> consumeMac(const MacLease& lease, const RunRecord& run);
    // The run ended without passing: the address is offered again.
    platform::Result<void> releaseMac(const MacLease& lease);
    // The board holds the address but its pass could not be confirmed:
    // the address is never handed out again. A passing record of it this
    // station's lost commit may have left becomes a failed one.
    platform::Result<void> quarantineMac(const MacLease& lease, const std::string& station, const std::string& reason);
    platform::Result<std::vector<QuarantinedMac>> quarantinedMacs();

    // Saves a finished run, its items and files in one transaction.
    platform::Result<std::int64_t> saveRun(const RunRecord& run);
    // Runs that ended at or after `since` (a UTC date or time text; empty:
    // all), oldest first, with their items (files only with `withFiles`).
    platform::Result<std::vector<RunRecord>> runsSince(const std::string& since, bool withFiles = false);
    // The runs of a MAC (any case, with or without - or : between the
    // bytes); runs that failed before the address went into their board
    // are another board's and left out.
    platform::Result<std::vector<RunRecord>> runsOfMac(const std::string& mac);
    // One station's runs that ended on a UTC day (YYYY-MM-DD).
    platform::Result<DayCount> stationDay(const std::string& station, const std::string& day);
    // The report's counts of the runs that ended at or after `since`.
    platform::Result<RunCounts> countRuns(const std::string& since);

private:
    platform::Result<void> migrate(int target);
    platform::Result<int> storedVersion();
    platform::Result<std::int64_t> insertRun(const RunRecord& run);
    platform::Result<std::vector<std::pair<std::string, std::int64_t>>> countFailuresPerItem(
        const std::string& since, int version);
    platform::Result<std::int64_t> countMacsPassed(const std::string& since, int version);
    platform::Result<std::vector<RunRecord>> loadRuns(
        const std::string& where, const std::vector<SqlValue>& parameters, bool withFiles);

    std::unique_ptr<SqlConnection> m_sql;
};

// MAC texts: twelve capital hexadecimal digits (thirteen past FFFFFFFFFFFF).
std::string macText(std::uint64_t value);
// Twelve hexadecimal digits, either case, or six pairs joined by - or :.
std::optional<std::uint64_t> macValue(const std::string& text);
// Now, in UTC, as stored.
std::string utcNow();

} // namespace mfg::records
