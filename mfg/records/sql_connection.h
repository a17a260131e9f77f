#pragma once

#include "platform/result.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mfg::records {

using SqlValue = std::optional<std::string>; // nothing: NULL
using SqlRow = std::vector<SqlValue>;

struct SqlRows {
    std::vector<SqlRow> rows;
    long long changed = 0; // rows an INSERT, UPDATE or DELETE touched
};

// One connection to a records database. Statements are written once for
// both back ends: parameters are $1, $2, ... (SQLite binds them by those
// names), texts travel as texts and the database converts them.
class SqlConnection {
public:
    virtual ~SqlConnection() = default;
    virtual platform::Result<SqlRows> exec(const std::string& sql, const std::vector<SqlValue>& parameters = {}) = 0;
    // A write transaction that holds its locks from the start, so two
    // stations never both read a counter and then both step it.
    virtual platform::Result<void> beginWrite() = 0;
    // Serialises schema changes between programs opening the same database.
    virtual platform::Result<void> lockSchema() = 0;
    // The column type of a generated row id.
    virtual std::string idColumn() const = 0;
    // Who holds a MAC lease: a random id drawn when the connection first
    // leases, which no other station (another host, another PID namespace)
    // can come up with. The holder keeps a lock for as long as it lives: a
    // session advisory lock (PostgreSQL) or an flock on a file beside the
    // database (SQLite). A lease is reclaimed only once that lock is free,
    // that is when its holder is provably gone.
    virtual platform::Result<std::string> holder() = 0;
    // Whether `holder` is this connection's (without drawing an id).
    virtual bool isHolder(const std::string& holder) const = 0;
    // False only when the holder is provably gone; a holder that cannot be
    // asked about is taken to live.
    virtual bool holderAlive(const std::string& holder) = 0;
    // After a gone holder's leases were reclaimed: drops what is left of
    // its lock (the SQLite lock file).
    virtual void forgetHolder(const std::string& holder) { (void)holder; }
    // Drops what is left of the locks of every holder that is gone, leases
    // or not (the SQLite lock files of killed stations).
    virtual void forgetGoneHolders() { }
    virtual std::string describe() const = 0;
    // Whether the database has a table of that name.
    virtual platform::Result<bool> hasTable(const std::string& name) = 0;

    platform::Result<void> commit();
    void rollback();
};

// How long a PostgreSQL station waits for the server to answer a statement
// (30 s, or KELLAN_MP_DB_WAIT seconds) before it says the database is not
// answering and drops the connection; the next statement connects again.
int databaseAnswerWaitSeconds();
// The wait when KELLAN_MP_DB_WAIT is not set: a schema upgrade, which
// rewrites the runs of a large store, waits longer than a station.
void setDefaultDatabaseWait(int seconds);
// Waits for the database end early when this says so (Ctrl+C, SIGTERM).
// Set by the program before it opens a store; called from the waiting thread.
void setDatabaseWaitInterrupt(bool (*interrupted)());

// What a program opens a store for: a station records (an SQLite file is
// made when there is none, and must be writable); report and history only
// read (a missing file is refused, never made; a read-only one will do).
enum class OpenFor { Recording, Reading };
platform::Result<std::unique_ptr<SqlConnection>> openSqlite(const std::string& path, OpenFor use = OpenFor::Recording);
platform::Result<std::unique_ptr<SqlConnection>> openPostgres(const std::string& url);

} // namespace mfg::records
