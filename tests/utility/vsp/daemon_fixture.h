#pragma once

#include "common/control_client.h"
#include "platform/child_process.h"
#include "tests/support/temp_dir.h"

#include <memory>
#include <string>
#include <vector>

namespace vsp_testing {

// A vorpild of its own in a temporary runtime and state directory.
class Daemon {
public:
    Daemon();
    ~Daemon();
    bool ok() const { return m_client != nullptr; }
    const std::string& runtime() const { return m_runtime; }
    const std::string& dir() const { return m_dir.path(); }
    common::ControlClient& client() { return *m_client; }
    // Stops the daemon (SIGTERM) and starts it again on the same state: its
    // ports come back and restore the connections they are set to make.
    bool restart();
    // The two halves of a restart, for a test that acts in the gap.
    void stop();
    bool start();
    // Installs a node named `comName` from the packaged INF's hardware ID.
    bool install(const std::string& comName);
    // Runs devcon with the arguments; its exit code, its stdout lines.
    int devcon(const std::vector<std::string>& args, std::vector<std::string>* out = nullptr);

private:
    testing_support::TempDir m_dir;
    std::string m_runtime;
    platform::ChildProcess m_daemon;
    std::unique_ptr<common::ControlClient> m_client;
};

} // namespace vsp_testing
