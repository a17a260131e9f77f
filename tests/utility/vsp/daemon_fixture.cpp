#include "tests/utility/vsp/daemon_fixture.h"

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace vsp_testing {

Daemon::Daemon()
    : m_runtime(m_dir.path() + "/run")
{
    (void)start();
}

bool Daemon::restart()
{
    stop();
    return start();
}

void Daemon::stop()
{
    m_client.reset();
    if (m_daemon.running()) {
        m_daemon.terminate();
        (void)m_daemon.wait(20s);
    }
}

bool Daemon::start()
{
    auto daemon
        = platform::ChildProcess::start({ testing_support::programPath("vorpild"), "--foreground", "--runtime-dir",
                                            m_runtime, "--state-dir", m_dir.path() + "/state" },
            false);
    if (!daemon.ok())
        return false;
    m_daemon = std::move(*daemon);
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::unique_ptr<common::ControlClient> client;
        if (common::ntSuccess(common::ControlClient::connect(m_runtime, client))) {
            std::vector<common::NodeInfo> nodes;
            if (common::ntSuccess(client->listNodes(nodes))) {
                m_client = std::move(client);
                return true;
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

Daemon::~Daemon()
{
    m_client.reset();
    if (m_daemon.running()) {
        m_daemon.terminate();
        (void)m_daemon.wait(20s);
    }
}

bool Daemon::install(const std::string& comName)
{
    std::string instance;
    return common::ntSuccess(m_client->installNode("ZORV\\Rure", comName, instance));
}

int Daemon::devcon(const std::vector<std::string>& args, std::vector<std::string>* out)
{
    std::vector<std::string> argv { "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + m_runtime,
        testing_support::programPath("devcon") };
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = platform::ChildProcess::start(argv, true);
    if (!child.ok())
        return -1;
    for (;;) {
        auto line = child->readLine(20s);
        if (!line.ok())
            break;
        if (out)
            out->push_back(*line);
    }
    return child->wait(20s).value_or(-1);
}

} // namespace vsp_testing
