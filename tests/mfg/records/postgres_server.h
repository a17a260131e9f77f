#pragma once

#include <string>

namespace testing_support {

// A PostgreSQL server of the test's own: Debian's initdb and pg_ctl in a
// temporary folder, run as an unprivileged user when the test runs as root,
// listening on a Unix socket in that folder only (no TCP).
class PostgresServer {
public:
    PostgresServer() = default;
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // Where initdb and pg_ctl are; empty when the server is not installed.
    static std::string binDir();
    // Starts the server; false with the reason in `problem`. Tests run it
    // without waiting for the disk; `durable` keeps the server's default.
    bool start(std::string& problem, bool durable = false);
    // A URL for a new, empty database of that name.
    std::string createDatabase(const std::string& name, std::string& problem);
    std::string url(const std::string& database) const;
    // Stops the server at once, as a crash or a power cut would (every
    // session ends), and starts it again on the same folder.
    bool stop();
    bool restart(std::string& problem);
    bool running() const { return m_running; }
    // The folder of the server (its socket and data).
    const std::string& folder() const { return m_dir; }

private:
    std::string command(const std::string& pgCtlArguments) const;

    std::string m_dir;
    bool m_running = false;
    bool m_durable = false;
};

} // namespace testing_support
