#include "mfg/records/process_identity.h"
#include "mfg/records/sql_connection.h"

#include <sqlite3.h>

namespace mfg::records {

namespace {

class SqliteConnection final : public SqlConnection {
public:
    SqliteConnection(sqlite3* db, std::string path)
        : m_db(db)
        , m_path(std::move(path))
        , m_holder(thisProcessIdentity())
    {
    }
    ~SqliteConnection() override { sqlite3_close_v2(m_db); }

    platform::Result<SqlRows> exec(const std::string& sql, const std::vector<SqlValue>& parameters) override
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK)
            return failure();
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            const int index = sqlite3_bind_parameter_index(statement, ("$" + std::to_string(i + 1)).c_str());
            if (index == 0)
                continue;
            if (parameters[i])
                sqlite3_bind_text(statement, index, parameters[i]->c_str(), static_cast<int>(parameters[i]->size()),
                    SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(statement, index);
        }
        SqlRows result;
        for (;;) {
            const int step = sqlite3_step(statement);
            if (step == SQLITE_DONE)
                break;
            if (step != SQLITE_ROW) {
                sqlite3_finalize(statement);
                return failure();
            }
            SqlRow row;
            for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                const auto* text = sqlite3_column_text(statement, column);
                if (text)
                    row.emplace_back(std::string(reinterpret_cast<const char*>(text),
                        static_cast<std::size_t>(sqlite3_column_bytes(statement, column))));
                else
                    row.emplace_back(std::nullopt);
            }
            result.rows.push_back(std::move(row));
        }
        result.changed = sqlite3_changes(m_db);
        sqlite3_finalize(statement);
        return result;
    }

    platform::Result<void> beginWrite() override
    {
        auto begun = exec("BEGIN IMMEDIATE", {});
        if (!begun)
            return begun.error();
        return {};
    }
    platform::Result<void> lockSchema() override { return {}; }
    std::string idColumn() const override { return "INTEGER PRIMARY KEY"; }
    std::string holder() override { return m_holder; }
    bool holderAlive(const std::string& holder) override { return processIdentityAlive(holder); }
    std::string describe() const override { return "sqlite:" + m_path; }

private:
    platform::Error failure() const
    {
        return platform::Error { m_path + ": " + sqlite3_errmsg(m_db), sqlite3_extended_errcode(m_db) };
    }

    sqlite3* m_db;
    std::string m_path;
    std::string m_holder;
};

} // namespace

platform::Result<std::unique_ptr<SqlConnection>> openSqlite(const std::string& path)
{
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(
        path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (opened != SQLITE_OK) {
        platform::Error error { path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(opened)), opened };
        sqlite3_close_v2(db);
        return error;
    }
    // Several stations on one machine may share the file: wait for each
    // other's transactions instead of failing, and let readers run beside
    // a writer.
    sqlite3_busy_timeout(db, 30000);
    auto connection = std::make_unique<SqliteConnection>(db, path);
    for (const char* setting : { "PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON" }) {
        auto done = connection->exec(setting, {});
        if (!done)
            return done.error();
    }
    return std::unique_ptr<SqlConnection>(std::move(connection));
}

} // namespace mfg::records
