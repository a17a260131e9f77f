#include "mfg/records/process_identity.h"
#include "mfg/records/sql_connection.h"

#include <libpq-fe.h>

namespace mfg::records {

namespace {

std::string firstLine(const char* text)
{
    std::string line = text ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

class PostgresConnection final : public SqlConnection {
public:
    explicit PostgresConnection(PGconn* connection, std::string url)
        : m_connection(connection)
        , m_url(std::move(url))
    {
    }
    ~PostgresConnection() override { PQfinish(m_connection); }

    platform::Result<SqlRows> exec(const std::string& sql, const std::vector<SqlValue>& parameters) override
    {
        std::vector<const char*> values;
        for (const auto& parameter : parameters)
            values.push_back(parameter ? parameter->c_str() : nullptr);
        PGresult* result = PQexecParams(
            m_connection, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            platform::Error error { describe() + ": " + firstLine(PQresultErrorMessage(result)) };
            PQclear(result);
            if (PQstatus(m_connection) != CONNECTION_OK)
                error.message = describe() + ": " + firstLine(PQerrorMessage(m_connection));
            return error;
        }
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
        rows.changed = changed && *changed ? std::stoll(changed) : 0;
        PQclear(result);
        return rows;
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
    std::string describe() const override
    {
        // Never the password.
        std::string shown = m_url;
        const auto scheme = shown.find("://");
        const auto at = shown.find('@');
        if (scheme != std::string::npos && at != std::string::npos && at > scheme) {
            const auto colon = shown.find(':', scheme + 3);
            if (colon != std::string::npos && colon < at)
                shown.replace(colon, at - colon, ":***");
        }
        return shown;
    }

private:
    // The advisory lock's key: the id's first 15 digits, a positive bigint.
    static std::string lockKey(const std::string& id)
    {
        return std::to_string(std::stoull(id.substr(0, 15), nullptr, 16));
    }

    // Leases of an older version name the server process of their session
    // with its start time.
    bool olderHolderAlive(const std::string& holder)
    {
        auto live = exec(kBackendIdentity + std::string(" WHERE pid = $1::int"),
            { holder.substr(0, holder.find('/')).find_first_not_of("0123456789") == std::string::npos
                    ? holder.substr(0, holder.find('/'))
                    : std::string("0") });
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

    PGconn* m_connection;
    std::string m_url;
    std::string m_holder;
};

} // namespace

platform::Result<std::unique_ptr<SqlConnection>> openPostgres(const std::string& url)
{
    PGconn* connection = PQconnectdb(url.c_str());
    if (PQstatus(connection) != CONNECTION_OK) {
        auto shown = PostgresConnection(nullptr, url).describe();
        platform::Error error { shown + ": " + firstLine(PQerrorMessage(connection)) };
        PQfinish(connection);
        return error;
    }
    auto result = std::make_unique<PostgresConnection>(connection, url);
    // Notices (a table that already exists) are not the operator's business.
    PQsetNoticeProcessor(
        connection, [](void*, const char*) {}, nullptr);
    auto quiet = result->exec("SET client_min_messages = warning", {});
    if (!quiet)
        return quiet.error();
    return std::unique_ptr<SqlConnection>(std::move(result));
}

} // namespace mfg::records
