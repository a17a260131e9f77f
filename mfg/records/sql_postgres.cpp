#include "mfg/records/postgres_url.h"
#include "mfg/records/process_identity.h"
#include "mfg/records/sql_connection.h"
#include "utility/devmgmt/printable_text.h"

#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <poll.h>

namespace mfg::records {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool (*)()> g_interrupted { nullptr };

std::string firstLine(const char* text)
{
    std::string line = text ? text : "";
    const auto end = line.find('\n');
    if (end != std::string::npos)
        line.erase(end);
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

// The server takes only UTF-8: a byte of another encoding (a Latin-1 file
// name in Option.dat) becomes U+FFFD, so the record is kept all the same.
std::string utf8Text(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte < 0x80 ? 1 : utility::devmgmt::utf8SequenceLength(text, i);
        if (length == 0) {
            result += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        result.append(text, i, length);
        i += length;
    }
    return result;
}

// What a station waiting on the server may see: an answer, the time up, or
// the operator ending the wait.
enum class Waited { Ready, TimedOut, Interrupted };

Waited waitFor(int socket, short events, Clock::time_point deadline)
{
    // An answer that comes at once is taken even after Ctrl+C: a commit
    // under way is finished, not left in doubt.
    const auto patient = Clock::now() + std::chrono::seconds(1);
    for (;;) {
        if (auto interrupted = g_interrupted.load(); interrupted && interrupted() && Clock::now() >= patient)
            return Waited::Interrupted;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Waited::TimedOut;
        // Short slices: a signal that the handler only notes is seen soon.
        pollfd fd { socket, events, 0 };
        if (::poll(&fd, 1, static_cast<int>(std::min<long long>(left, 200))) > 0)
            return Waited::Ready;
    }
}

class PostgresConnection final : public SqlConnection {
public:
    explicit PostgresConnection(std::string url)
        : m_url(std::move(url))
        , m_shown(shownPostgresUrl(m_url))
    {
    }
    ~PostgresConnection() override { drop(); }

    platform::Result<void> connect()
    {
        drop();
        // Defaults first: what the connection string says overrides them.
        const char* keywords[] = { "connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
            "keepalives_count", "dbname", nullptr };
        const std::string wait = std::to_string(databaseAnswerWaitSeconds());
        const char* values[] = { wait.c_str(), "1", "10", "5", "3", m_url.c_str(), nullptr };
        m_connection = PQconnectStartParams(keywords, values, 1);
        if (!m_connection)
            return platform::Error { describe() + ": out of memory" };
        const auto deadline = Clock::now() + std::chrono::seconds(databaseAnswerWaitSeconds());
        for (PostgresPollingStatusType polled = PGRES_POLLING_WRITING;;) {
            if (polled == PGRES_POLLING_OK)
                break;
            if (polled == PGRES_POLLING_FAILED || PQstatus(m_connection) == CONNECTION_BAD)
                return fail(firstLine(PQerrorMessage(m_connection)));
            const Waited waited
                = waitFor(PQsocket(m_connection), polled == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline);
            if (waited != Waited::Ready)
                return fail(notAnswering(waited));
            polled = PQconnectPoll(m_connection);
        }
        // Notices (a table that already exists) are not the operator's business.
        PQsetNoticeProcessor(
            m_connection, [](void*, const char*) {}, nullptr);
        // Short statements: compiling them (JIT) would cost more than it saves.
        for (const char* setting : { "SET client_min_messages = warning", "SET jit = off" }) {
            auto set = exec(setting, {});
            if (!set)
                return set.error();
        }
        return {};
    }

    platform::Result<SqlRows> exec(const std::string& sql, const std::vector<SqlValue>& parameters) override
    {
        const bool ending = sql == "COMMIT" || sql == "ROLLBACK";
        // A server restarted while this connection was idle closed it: found
        // out before anything is sent, so a new connection takes the
        // statement instead of the first statement failing.
        if (!m_inTransaction && closedWhileIdle())
            drop();
        if (!m_connection || PQstatus(m_connection) != CONNECTION_OK) {
            // A transaction whose connection is gone is gone with it: a
            // later statement on a new connection would run outside it.
            if (m_inTransaction) {
                m_inTransaction = !ending;
                if (sql == "ROLLBACK")
                    return SqlRows {};
                return platform::Error { describe() + ": the connection was lost during the transaction" };
            }
            auto connected = connect();
            if (!connected)
                return connected.error();
        }
        std::vector<std::string> texts;
        texts.reserve(parameters.size());
        for (const auto& parameter : parameters)
            texts.push_back(parameter ? utf8Text(*parameter) : std::string());
        std::vector<const char*> values;
        for (std::size_t i = 0; i < parameters.size(); ++i)
            values.push_back(parameters[i] ? texts[i].c_str() : nullptr);
        if (!PQsendQueryParams(m_connection, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                nullptr, nullptr, 0))
            return lost(firstLine(PQerrorMessage(m_connection)));
        const auto deadline = Clock::now() + std::chrono::seconds(databaseAnswerWaitSeconds());
        while (PQflush(m_connection) == 1) {
            if (const Waited waited = waitFor(PQsocket(m_connection), POLLIN | POLLOUT, deadline);
                waited != Waited::Ready)
                return lost(notAnswering(waited));
            if (!PQconsumeInput(m_connection))
                return lost(firstLine(PQerrorMessage(m_connection)));
        }
        PGresult* last = nullptr;
        for (;;) {
            while (PQisBusy(m_connection)) {
                if (const Waited waited = waitFor(PQsocket(m_connection), POLLIN, deadline); waited != Waited::Ready) {
                    PQclear(last);
                    return lost(notAnswering(waited));
                }
                if (!PQconsumeInput(m_connection)) {
                    PQclear(last);
                    return lost(firstLine(PQerrorMessage(m_connection)));
                }
            }
            PGresult* next = PQgetResult(m_connection);
            if (!next)
                break;
            PQclear(last);
            last = next;
        }
        return rowsOf(last, sql);
    }

    platform::Result<void> beginWrite() override
    {
        auto begun = exec("BEGIN", {});
        if (!begun)
            return begun.error();
        return {};
    }
    platform::Result<void> lockSchema() override
    {
        // Held to the end of the transaction; any fixed number shared by
        // every copy of the program will do.
        auto locked = exec("SELECT pg_advisory_xact_lock(7316012)", {});
        if (!locked)
            return locked.error();
        return {};
    }
    std::string idColumn() const override { return "BIGSERIAL PRIMARY KEY"; }
    platform::Result<std::string> holder() override
    {
        if (!m_holder.empty())
            return m_holder;
        const std::string id = newHolderId();
        // Held by this session until it ends: a station that dies, or loses
        // its connection, lets go of it with the session.
        auto locked = exec("SELECT pg_advisory_lock($1::bigint)", { lockKey(id) });
        if (!locked)
            return locked.error();
        m_holder = id;
        return m_holder;
    }
    bool isHolder(const std::string& holder) const override { return !m_holder.empty() && holder == m_holder; }
    bool holderAlive(const std::string& holder) override
    {
        if (!isHolderId(holder))
            return olderHolderAlive(holder);
        auto live = exec("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted"
                         " AND classid = ($1::bigint >> 32)::oid AND objid = ($1::bigint & 4294967295)::oid"
                         " AND objsubid = 1",
            { lockKey(holder) });
        // When the server cannot be asked the lease is kept: giving an
        // address out twice is worse than leaving it unused.
        if (!live || live.value().rows.empty() || !live.value().rows[0][0])
            return true;
        return *live.value().rows[0][0] != "0";
    }
    std::string describe() const override { return m_shown; }
    platform::Result<bool> hasTable(const std::string& name) override
    {
        auto found = exec("SELECT to_regclass($1) IS NOT NULL", { name });
        if (!found)
            return found.error();
        return !found.value().rows.empty() && found.value().rows[0][0].value_or("f") == "t";
    }

private:
    platform::Result<SqlRows> rowsOf(PGresult* result, const std::string& sql)
    {
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            std::string message = firstLine(result ? PQresultErrorMessage(result) : PQerrorMessage(m_connection));
            PQclear(result);
            if (PQstatus(m_connection) != CONNECTION_OK)
                return lost(firstLine(PQerrorMessage(m_connection)));
            return platform::Error { describe() + ": " + withoutPassword(message, m_url) };
        }
        if (sql == "BEGIN")
            m_inTransaction = true;
        else if (sql == "COMMIT" || sql == "ROLLBACK")
            m_inTransaction = false;
        SqlRows rows;
        for (int row = 0; row < PQntuples(result); ++row) {
            SqlRow values;
            for (int column = 0; column < PQnfields(result); ++column) {
                if (PQgetisnull(result, row, column))
                    values.emplace_back(std::nullopt);
                else
                    values.emplace_back(std::string(
                        PQgetvalue(result, row, column), static_cast<std::size_t>(PQgetlength(result, row, column))));
            }
            rows.rows.push_back(std::move(values));
        }
        const char* changed = PQcmdTuples(result);
        rows.changed = changed && *changed ? std::atoll(changed) : 0;
        PQclear(result);
        return rows;
    }

    // Whether the server has ended the session while no statement was
    // going on: anything it sent then is its farewell, followed by the end
    // of the connection.
    bool closedWhileIdle()
    {
        // Each read takes what has come; the end is seen by the read after.
        for (int reads = 0; reads < 16; ++reads) {
            if (!m_connection || PQstatus(m_connection) != CONNECTION_OK)
                return m_connection != nullptr;
            pollfd ready { PQsocket(m_connection), POLLIN, 0 };
            if (::poll(&ready, 1, 0) <= 0 || !(ready.revents & (POLLIN | POLLHUP | POLLERR)))
                return false;
            if (!PQconsumeInput(m_connection))
                return true;
        }
        return false;
    }

    std::string notAnswering(Waited waited) const
    {
        return waited == Waited::Interrupted
            ? "the wait for the database was interrupted"
            : "database not answering (nothing in " + std::to_string(databaseAnswerWaitSeconds()) + " s)";
    }

    // The connection is given up: the next statement opens a new one.
    platform::Error lost(const std::string& why)
    {
        drop();
        return platform::Error { describe() + ": " + withoutPassword(why, m_url) };
    }
    platform::Error fail(const std::string& why) { return lost(why); }

    // The session ends, and the holder's lock with it: the leases it held
    // are no longer this station's.
    void drop()
    {
        if (m_connection)
            PQfinish(m_connection);
        m_connection = nullptr;
        m_holder.clear();
    }

    // The advisory lock's key: the id's first 15 digits, a positive bigint.
    static std::string lockKey(const std::string& id)
    {
        return std::to_string(std::stoull(id.substr(0, 15), nullptr, 16));
    }

    // Leases of an older version name the server process of their session
    // with its start time.
    bool olderHolderAlive(const std::string& holder)
    {
        const std::string pid = holder.substr(0, holder.find('/'));
        auto live = exec(kBackendIdentity + std::string(" WHERE pid = $1::int"),
            { !pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos ? pid : std::string("0") });
        if (!live)
            return true;
        for (const auto& row : live.value().rows) {
            // Another role's session shows no start time without the right
            // to see it: the number alone has to do then.
            if (!row[0] || *row[0] == holder)
                return true;
        }
        return false;
    }

    // A server process with its start time: a later session that gets the
    // same process number is another holder.
    static constexpr const char* kBackendIdentity
        = "SELECT pid::text || '/' || extract(epoch FROM backend_start)::text FROM pg_stat_activity";

    PGconn* m_connection = nullptr;
    std::string m_url;
    std::string m_shown;
    std::string m_holder;
    bool m_inTransaction = false;
};

} // namespace

namespace {
int g_defaultWait = 30;
}

int databaseAnswerWaitSeconds()
{
    const char* given = std::getenv("KELLAN_MP_DB_WAIT");
    const int seconds = given && *given ? std::atoi(given) : 0;
    return seconds > 0 ? seconds : g_defaultWait;
}

void setDefaultDatabaseWait(int seconds) { g_defaultWait = seconds > 0 ? seconds : 30; }

void setDatabaseWaitInterrupt(bool (*interrupted)()) { g_interrupted = interrupted; }

platform::Result<std::unique_ptr<SqlConnection>> openPostgres(const std::string& url)
{
    auto connection = std::make_unique<PostgresConnection>(url);
    auto connected = connection->connect();
    if (!connected)
        return connected.error();
    return std::unique_ptr<SqlConnection>(std::move(connection));
}

} // namespace mfg::records
