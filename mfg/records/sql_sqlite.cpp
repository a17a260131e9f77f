#include "mfg/records/process_identity.h"
#include "mfg/records/sql_connection.h"
#include "platform/file_lock.h"

#include <sqlite3.h>

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mfg::records {

namespace {

class SqliteConnection final : public SqlConnection {
public:
    SqliteConnection(sqlite3* db, std::string path)
        : m_db(db)
        , m_path(std::move(path))
    {
    }
    ~SqliteConnection() override
    {
        sqlite3_close_v2(m_db);
        // Gone: the lock file goes first, then the lock. Whoever opened the
        // file meanwhile finds it free and this holder gone, which it is.
        if (m_holderLock.held())
            ::unlink((holderFolder() + "/" + m_holder).c_str());
    }

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
    platform::Result<std::string> holder() override
    {
        if (m_holderLock.held())
            return m_holder;
        const std::string id = newHolderId();
        // Several stations share the folder of locks: made once, by whoever
        // comes first.
        if (::mkdir(holderFolder().c_str(), 0755) != 0 && errno != EEXIST)
            return platform::Error { holderFolder() + ": cannot be created for the MAC leases' locks", errno };
        auto lock = platform::FileLock::acquire(
            holderFolder() + "/" + id, platform::FileLock::Kind::Exclusive, platform::FileLock::Wait::No);
        if (!lock)
            return lock.error();
        m_holderLock = std::move(lock.value());
        m_holder = id;
        return m_holder;
    }
    bool isHolder(const std::string& holder) const override { return !m_holder.empty() && holder == m_holder; }
    bool holderAlive(const std::string& holder) override
    {
        // Leases written by an older version name a host and a process.
        if (!isHolderId(holder))
            return processIdentityAlive(holder);
        const std::string path = holderFolder() + "/" + holder;
        if (::access(path.c_str(), F_OK) != 0)
            return errno != ENOENT;
        auto probe
            = platform::FileLock::acquire(path, platform::FileLock::Kind::Exclusive, platform::FileLock::Wait::No);
        // Held: the holder lives (whatever its process number looks like
        // from here). Any other refusal: it cannot be told, so it lives.
        return !probe;
    }
    void forgetHolder(const std::string& holder) override
    {
        if (!isHolderId(holder))
            return;
        const std::string path = holderFolder() + "/" + holder;
        // Removed under the lock: a holder never takes its file back.
        auto probe
            = platform::FileLock::acquire(path, platform::FileLock::Kind::Exclusive, platform::FileLock::Wait::No);
        if (probe)
            ::unlink(path.c_str());
    }
    void forgetGoneHolders() override
    {
        DIR* folder = ::opendir(holderFolder().c_str());
        if (!folder)
            return;
        const auto now = ::time(nullptr);
        while (const dirent* entry = ::readdir(folder)) {
            const std::string name = entry->d_name;
            struct stat info { };
            // A minute old at least: a holder makes its file and locks it
            // at once, and is never taken for gone in between.
            if (!isHolderId(name) || isHolder(name) || ::stat((holderFolder() + "/" + name).c_str(), &info) != 0
                || now - info.st_mtime < 60)
                continue;
            forgetHolder(name);
        }
        ::closedir(folder);
    }
    std::string describe() const override { return "sqlite:" + m_path; }
    platform::Result<bool> hasTable(const std::string& name) override
    {
        auto found = exec("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = $1", { name });
        if (!found)
            return found.error();
        return !found.value().rows.empty() && found.value().rows[0][0].value_or("0") != "0";
    }

private:
    platform::Error failure() const
    {
        std::string message = m_path + ": " + sqlite3_errmsg(m_db);
        // SQLite names a write that found no room "disk I/O error".
        if (sqlite3_system_errno(m_db) == ENOSPC || (sqlite3_extended_errcode(m_db) & 0xFF) == SQLITE_FULL)
            message += " (the disk is full: no space left on the device)";
        return platform::Error { message, sqlite3_extended_errcode(m_db) };
    }

    std::string holderFolder() const { return m_path + "-holders"; }

    sqlite3* m_db;
    std::string m_path;
    std::string m_holder;
    platform::FileLock m_holderLock;
};

} // namespace

platform::Result<std::unique_ptr<SqlConnection>> openSqlite(const std::string& path, OpenFor use)
{
    struct stat info { };
    if (use == OpenFor::Reading && ::stat(path.c_str(), &info) != 0)
        return platform::Error { path + ": there are no production records here (the file does not exist)", errno };
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db,
        SQLITE_OPEN_READWRITE | (use == OpenFor::Recording ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (opened != SQLITE_OK) {
        platform::Error error { path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(opened)), opened };
        sqlite3_close_v2(db);
        return error;
    }
    // Several stations on one machine may share the file: wait for each
    // other's transactions instead of failing, and let readers run beside
    // a writer. Every commit reaches the disk before it is reported: a
    // handed-out address that a power cut rolled back would be handed out
    // again.
    sqlite3_busy_timeout(db, 30000);
    auto connection = std::make_unique<SqliteConnection>(db, path);
    const bool writable = sqlite3_db_readonly(db, "main") == 0;
    if (use == OpenFor::Recording && !writable)
        return platform::Error { path
                + ": the records database cannot be written (the file or its folder is read-only,"
                  " or another user's)",
            EACCES };
    // A reader of a file it may not write changes nothing in it.
    const std::vector<const char*> settings = writable
        ? std::vector<const char*> { "PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON" }
        : std::vector<const char*> { "PRAGMA foreign_keys=ON" };
    for (const char* setting : settings) {
        // Stations opening a new file together all turn it to WAL; the one
        // that loses is told "locked" at once, without the busy wait, so it
        // waits here as long as the busy time-out would have.
        auto done = connection->exec(setting, {});
        for (int waited = 0; !done && (done.error().code & 0xFF) == SQLITE_BUSY && waited < 30000; waited += 20) {
            sqlite3_sleep(20);
            done = connection->exec(setting, {});
        }
        if (!done)
            return done.error();
    }
    // A station must be able to write: a folder it cannot add the journal
    // to, or a file locked for good, is found now and not at the first pass.
    if (use == OpenFor::Recording) {
        auto probe = connection->beginWrite();
        if (!probe)
            return probe.error();
        connection->rollback();
    }
    return std::unique_ptr<SqlConnection>(std::move(connection));
}

} // namespace mfg::records
