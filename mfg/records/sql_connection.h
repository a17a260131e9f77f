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
    // Who holds a MAC lease: this connection (PostgreSQL) or this process
    // (SQLite); and whether such a holder still lives. A lease whose holder
    // died (a killed station) goes back to the free addresses.
    virtual std::string holder() = 0;
    virtual bool holderAlive(const std::string& holder) = 0;
    virtual std::string describe() const = 0;

    platform::Result<void> commit();
    void rollback();
};

platform::Result<std::unique_ptr<SqlConnection>> openSqlite(const std::string& path);
platform::Result<std::unique_ptr<SqlConnection>> openPostgres(const std::string& url);

} // namespace mfg::records
