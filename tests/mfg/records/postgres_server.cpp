#include "tests/mfg/records/postgres_server.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <libpq-fe.h>
#include <unistd.h>

namespace testing_support {

namespace {

constexpr uid_t kUnprivileged = 65534; // nobody / nogroup

std::string readAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::string PostgresServer::binDir()
{
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ignored)) {
        const std::string bin = entry.path().string() + "/bin";
        if (::access((bin + "/initdb").c_str(), X_OK) == 0 && ::access((bin + "/pg_ctl").c_str(), X_OK) == 0)
            return bin;
    }
    return {};
}

bool PostgresServer::start(std::string& problem, bool durable)
{
    const std::string bin = binDir();
    if (bin.empty()) {
        problem = "PostgreSQL server binaries (initdb, pg_ctl) are not installed";
        return false;
    }
    char pattern[] = "/tmp/kellan-pg-XXXXXX";
    if (!::mkdtemp(pattern)) {
        problem = "no temporary folder";
        return false;
    }
    m_dir = pattern;
    // The server refuses to run as root: the folder goes to an unprivileged
    // user, who runs both programs.
    std::string as;
    if (::geteuid() == 0) {
        if (::chown(m_dir.c_str(), kUnprivileged, kUnprivileged) != 0) {
            problem = "cannot hand " + m_dir + " to an unprivileged user";
            return false;
        }
        as = "setpriv --reuid=" + std::to_string(kUnprivileged) + " --regid=" + std::to_string(kUnprivileged)
            + " --clear-groups ";
    }
    const std::string init = as + bin + "/initdb -D " + m_dir + "/data -A trust -U kellan -E UTF8 --no-sync >" + m_dir
        + "/initdb.log 2>&1";
    if (std::system(init.c_str()) != 0) {
        problem = "initdb failed: " + readAll(m_dir + "/initdb.log");
        return false;
    }
    m_durable = durable;
    return restart(problem);
}

std::string PostgresServer::command(const std::string& pgCtlArguments) const
{
    const std::string as = ::geteuid() == 0 ? "setpriv --reuid=" + std::to_string(kUnprivileged)
            + " --regid=" + std::to_string(kUnprivileged) + " --clear-groups "
                                            : std::string();
    return as + binDir() + "/pg_ctl -D " + m_dir + "/data " + pgCtlArguments;
}

bool PostgresServer::restart(std::string& problem)
{
    const std::string run = command("-l " + m_dir + "/server.log -w -t 60 -o \"-c listen_addresses='' -k " + m_dir
        + (m_durable ? "" : " -c fsync=off") + " -c max_connections=60\" start >" + m_dir + "/pg_ctl.log 2>&1");
    if (std::system(run.c_str()) != 0) {
        problem = "pg_ctl start failed: " + readAll(m_dir + "/pg_ctl.log") + readAll(m_dir + "/server.log");
        return false;
    }
    m_running = true;
    return true;
}

bool PostgresServer::stop()
{
    if (!m_running)
        return true;
    m_running = std::system(command("-m immediate -w stop >/dev/null 2>&1").c_str()) != 0;
    return !m_running;
}

std::string PostgresServer::url(const std::string& database) const
{
    return "postgresql:///" + database + "?host=" + m_dir + "&user=kellan";
}

std::string PostgresServer::createDatabase(const std::string& name, std::string& problem)
{
    PGconn* connection = PQconnectdb(url("postgres").c_str());
    if (PQstatus(connection) != CONNECTION_OK) {
        problem = PQerrorMessage(connection);
        PQfinish(connection);
        return {};
    }
    PGresult* result = PQexec(connection, ("CREATE DATABASE " + name).c_str());
    const bool made = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!made)
        problem = PQresultErrorMessage(result);
    PQclear(result);
    PQfinish(connection);
    return made ? url(name) : std::string();
}

PostgresServer::~PostgresServer()
{
    (void)stop();
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

} // namespace testing_support
