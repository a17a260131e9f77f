#include "mfg/records/record_store.h"
#include "mfg/records/sql_values.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>

namespace mfg::records {

namespace {

using platform::Error;
using platform::Result;
using namespace detail;

// Each step takes the schema from the version before it to its own number.
// A step is never changed once released: databases out there hold it.
std::vector<std::string> migrationStep(int version, const std::string& idColumn)
{
    switch (version) {
    case 1:
        return {
            "CREATE TABLE mac_range (id INTEGER PRIMARY KEY CHECK (id = 1), first_mac BIGINT NOT NULL,"
            " end_mac BIGINT NOT NULL, next_mac BIGINT NOT NULL)",
            "CREATE TABLE mac_free (mac BIGINT PRIMARY KEY)",
            // The primary key is what keeps two stations from ever holding
            // the same address, whatever the program does.
            "CREATE TABLE mac_lease (mac BIGINT PRIMARY KEY, holder TEXT NOT NULL, station TEXT NOT NULL,"
            " leased_at TEXT NOT NULL, consumed INTEGER NOT NULL DEFAULT 0)",
            "CREATE TABLE runs (id " + idColumn
                + ", station TEXT NOT NULL, operator TEXT NOT NULL, started_at TEXT NOT NULL,"
                  " ended_at TEXT NOT NULL, mac TEXT NOT NULL, mac_from_store INTEGER NOT NULL,"
                  " outcome TEXT NOT NULL, result_message TEXT NOT NULL, program_version TEXT NOT NULL)",
            "CREATE TABLE run_items (run_id BIGINT NOT NULL REFERENCES runs (id), position INTEGER NOT NULL,"
            " item INTEGER NOT NULL, name TEXT NOT NULL, passed INTEGER NOT NULL, duration_ms BIGINT NOT NULL,"
            " failure TEXT NOT NULL, PRIMARY KEY (run_id, position))",
            "CREATE TABLE run_files (run_id BIGINT NOT NULL REFERENCES runs (id), role TEXT NOT NULL,"
            " path TEXT NOT NULL, sha256 TEXT NOT NULL, size BIGINT NOT NULL, PRIMARY KEY (run_id, role))",
        };
    case 2:
        // The report reads by time, the history and the Test page by MAC and station.
        return {
            "CREATE INDEX runs_ended ON runs (ended_at)",
            "CREATE INDEX runs_mac ON runs (mac)",
            "CREATE INDEX runs_station_ended ON runs (station, ended_at)",
        };
    case 3:
        // A lease whose address is being written into a board, and the
        // addresses taken out of the range for good.
        return {
            "ALTER TABLE mac_lease ADD COLUMN written INTEGER NOT NULL DEFAULT 0",
            "CREATE TABLE mac_quarantine (mac BIGINT PRIMARY KEY, station TEXT NOT NULL,"
            " quarantined_at TEXT NOT NULL, reason TEXT NOT NULL)",
        };
    case 4:
        // Whether the run's address went into its board: a failed run that
        // never wrote it shares the address with the board that got it next.
        // Unknown (NULL) for the runs recorded before.
        // The report counts from indexes alone: runs per day and outcome, and
        // the passing and failed runs with their MACs.
        return {
            "ALTER TABLE runs ADD COLUMN mac_written INTEGER",
            "CREATE INDEX runs_ended_outcome ON runs (ended_at, outcome)",
            "CREATE INDEX runs_outcome_mac ON runs (outcome, mac, ended_at, id)",
        };
    case 5:
        // What the report counts, kept on the run as it is saved: the item a
        // failed run failed at (its last item that did not pass), and when
        // the run's MAC passed last before it. The different MACs that
        // passed since a time are then the passing runs since then whose MAC
        // had not passed since then: a count along an index, where a
        // DISTINCT over every MAC would sort them all.
        return {
            "ALTER TABLE runs ADD COLUMN failed_item TEXT",
            "ALTER TABLE runs ADD COLUMN mac_passed_before TEXT",
            "UPDATE runs SET failed_item = coalesce((SELECT name FROM run_items i WHERE i.run_id = runs.id"
            " AND i.passed = 0 ORDER BY i.position DESC LIMIT 1), '(before the first item)') WHERE outcome = 'fail'",
            // Only the passes of a MAC that passed before are written.
            "UPDATE runs SET mac_passed_before = earlier.passed FROM (SELECT id, lag(ended_at) OVER"
            " (PARTITION BY mac ORDER BY ended_at, id) AS passed FROM runs WHERE outcome = 'pass') AS earlier"
            " WHERE runs.id = earlier.id AND earlier.passed IS NOT NULL",
            "CREATE INDEX runs_failed_item ON runs (ended_at, failed_item, id) WHERE outcome = 'fail'",
            "CREATE INDEX runs_first_pass ON runs (ended_at, mac_passed_before) WHERE outcome = 'pass'",
        };
    default:
        return {};
    }
}

// A database that lives only as long as its connection would hand out the
// same addresses to every run and keep no record.
bool throwAwayDatabase(const std::string& path)
{
    return path.empty() || path == ":memory:" || path.find("mode=memory") != std::string::npos;
}

bool isSqliteUrl(const std::string& url, std::string& path)
{
    for (const char* prefix : { "sqlite://", "sqlite:" }) {
        if (url.rfind(prefix, 0) == 0) {
            path = url.substr(std::string(prefix).size());
            return true;
        }
    }
    if (url.find("://") == std::string::npos && url.find('=') == std::string::npos) {
        path = url;
        return true;
    }
    return false;
}

// The item a failed run failed at: its last item that did not pass.
SqlValue failedItem(const RunRecord& run)
{
    if (run.outcome != Outcome::Fail)
        return {};
    for (auto item = run.items.rbegin(); item != run.items.rend(); ++item) {
        if (!item->passed)
            return item->name;
    }
    return std::string(kBeforeTheFirstItem);
}

} // namespace

const char* outcomeText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Pass:
        return "pass";
    case Outcome::Fail:
        return "fail";
    case Outcome::Interrupted:
        return "interrupted";
    }
    return "fail";
}

std::optional<Outcome> outcomeFromText(const std::string& value)
{
    for (Outcome outcome : { Outcome::Pass, Outcome::Fail, Outcome::Interrupted }) {
        if (value == outcomeText(outcome))
            return outcome;
    }
    return std::nullopt;
}

std::string macText(std::uint64_t value)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%012llX", static_cast<unsigned long long>(value));
    return buffer;
}

std::optional<std::uint64_t> macValue(const std::string& given)
{
    std::string value = given;
    if (given.size() == 17) {
        const char joint = given[2];
        value.clear();
        for (std::size_t i = 0; i < given.size(); ++i) {
            if (i % 3 != 2)
                value += given[i];
            else if (given[i] != joint || (joint != '-' && joint != ':'))
                return std::nullopt;
        }
    }
    if (value.size() != 12)
        return std::nullopt;
    std::uint64_t result = 0;
    for (char c : value) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        if (digit < 0)
            return std::nullopt;
        result = result * 16 + static_cast<std::uint64_t>(digit);
    }
    return result;
}

std::string utcNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm parts {};
    gmtime_r(&seconds, &parts);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
        parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(millis));
    return buffer;
}

RecordStore::RecordStore(std::unique_ptr<SqlConnection> connection)
    : m_sql(std::move(connection))
{
}

Result<std::unique_ptr<RecordStore>> RecordStore::open(const std::string& url, OpenFor use)
{
    return openAtVersion(url, kSchemaVersion, use);
}

Result<std::unique_ptr<RecordStore>> RecordStore::openAtVersion(const std::string& url, int version, OpenFor use)
{
    std::string path;
    const bool sqlite = isSqliteUrl(url, path);
    if (sqlite && throwAwayDatabase(path))
        return Error { "\"" + url + "\" names no lasting records database: give the path of an SQLite file" };
    auto connection = sqlite ? openSqlite(path, use) : openPostgres(url);
    if (!connection)
        return connection.error();
    auto store = std::make_unique<RecordStore>(std::move(connection.value()));
    auto current = store->storedVersion();
    if (!current)
        return current.error();
    if (current.value() > kSchemaVersion) {
        return Error { store->describe() + ": the records database has schema version "
            + std::to_string(current.value()) + ", newer than this program's " + std::to_string(kSchemaVersion)
            + "; use a newer kellan-mp with it" };
    }
    // Current: nothing is written, whatever the role may do. A report
    // reads an older schema it can use as it is.
    if (current.value() >= version || (use == OpenFor::Reading && current.value() >= kOldestUsableVersion))
        return store;
    auto migrated = store->migrate(version);
    // A station whose role may not upgrade records into a usable schema as
    // it is; `records upgrade` fills in what it leaves out.
    if (!migrated && current.value() >= kOldestUsableVersion)
        return store;
    if (!migrated) {
        return Error { migrated.error().message + " (the schema is "
            + (current.value() ? "version " + std::to_string(current.value()) : std::string("not made yet"))
            + ": a role that may create tables runs `kellan-mp records " + (current.value() ? "upgrade" : "init")
            + "` once)" };
    }
    return store;
}

Result<int> RecordStore::initSchema(const std::string& url)
{
    std::string path;
    const bool sqlite = isSqliteUrl(url, path);
    if (sqlite && throwAwayDatabase(path))
        return Error { "\"" + url + "\" names no lasting records database: give the path of an SQLite file" };
    auto connection = sqlite ? openSqlite(path) : openPostgres(url);
    if (!connection)
        return connection.error();
    RecordStore store(std::move(connection.value()));
    auto before = store.storedVersion();
    if (!before)
        return before.error();
    auto migrated = store.migrate(kSchemaVersion);
    if (!migrated)
        return migrated.error();
    return before.value();
}

Result<int> RecordStore::storedVersion()
{
    auto made = m_sql->hasTable("schema_version");
    if (!made)
        return made.error();
    if (!made.value())
        return 0;
    return schemaVersion();
}

Result<int> RecordStore::schemaVersion()
{
    auto rows = m_sql->exec("SELECT max(version) FROM schema_version");
    if (!rows)
        return rows.error();
    return rows.value().rows.empty() ? 0 : static_cast<int>(number(rows.value().rows[0][0]));
}

Result<void> RecordStore::migrate(int target)
{
    auto done = inWriteTransaction<int>(*m_sql, [&]() -> Result<int> {
        auto locked = m_sql->lockSchema();
        if (!locked)
            return locked.error();
        auto created = m_sql->exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        if (!created)
            return created.error();
        auto current = schemaVersion();
        if (!current)
            return current.error();
        if (current.value() > kSchemaVersion) {
            return Error { describe() + ": the records database has schema version " + std::to_string(current.value())
                + ", newer than this program's " + std::to_string(kSchemaVersion) + "; use a newer kellan-mp with it" };
        }
        for (int version = current.value() + 1; version <= target; ++version) {
            for (const std::string& statement : migrationStep(version, m_sql->idColumn())) {
                auto applied = m_sql->exec(statement);
                if (!applied)
                    return Error { "upgrading the records to version " + std::to_string(version) + ": "
                        + applied.error().message };
            }
            auto noted = m_sql->exec("INSERT INTO schema_version (version) VALUES ($1)", { std::to_string(version) });
            if (!noted)
                return noted.error();
        }
        return target;
    });
    if (!done)
        return done.error();
    return {};
}

Result<std::int64_t> RecordStore::saveRun(const RunRecord& run)
{
    return inWriteTransaction<std::int64_t>(*m_sql, [&] { return insertRun(run); });
}

Result<std::int64_t> RecordStore::insertRun(const RunRecord& run)
{
    {
        // One spelling of the address, the one history looks up.
        const auto mac = macValue(run.mac);
        const std::string macColumn = mac ? macText(*mac) : run.mac;
        std::vector<SqlValue> values { run.station, run.operatorName, run.startedAt, run.endedAt, macColumn,
            run.macFromStore ? "1" : "0", outcomeText(run.outcome), run.resultMessage, run.programVersion,
            run.macWritten ? "1" : "0" };
        std::string columns = "station, operator, started_at, ended_at, mac, mac_from_store, outcome,"
                              " result_message, program_version, mac_written";
        // Asked in the transaction: the schema may have been upgraded since
        // this station opened it.
        auto version = schemaVersion();
        if (!version)
            return version.error();
        if (version.value() >= 5) {
            auto before
                = m_sql->exec("SELECT max(ended_at) FROM runs WHERE outcome = 'pass' AND mac = $1 AND ended_at <= $2",
                    { macColumn, run.endedAt });
            if (!before)
                return before.error();
            columns += ", failed_item, mac_passed_before";
            values.push_back(failedItem(run));
            values.push_back(
                run.outcome == Outcome::Pass && !before.value().rows.empty() ? before.value().rows[0][0] : SqlValue {});
        }
        std::string placeholders;
        for (std::size_t i = 1; i <= values.size(); ++i)
            placeholders += (i > 1 ? ", $" : "$") + std::to_string(i);
        auto inserted
            = m_sql->exec("INSERT INTO runs (" + columns + ") VALUES (" + placeholders + ") RETURNING id", values);
        if (!inserted)
            return inserted.error();
        if (inserted.value().rows.empty())
            return Error { "no id for the new run" };
        const std::string id = text(inserted.value().rows[0][0]);
        for (std::size_t i = 0; i < run.items.size(); ++i) {
            const ItemRecord& item = run.items[i];
            auto saved = m_sql->exec("INSERT INTO run_items (run_id, position, item, name, passed, duration_ms,"
                                     " failure) VALUES ($1, $2, $3, $4, $5, $6, $7)",
                { id, std::to_string(i), std::to_string(item.item), item.name, item.passed ? "1" : "0",
                    numberText(item.durationMs), item.failure });
            if (!saved)
                return saved.error();
        }
        for (const FileRecord& file : run.files) {
            auto saved = m_sql->exec("INSERT INTO run_files (run_id, role, path, sha256, size)"
                                     " VALUES ($1, $2, $3, $4, $5)",
                { id, file.role, file.path, file.sha256, numberText(file.size) });
            if (!saved)
                return saved.error();
        }
        return number(inserted.value().rows[0][0]);
    }
}

} // namespace mfg::records
