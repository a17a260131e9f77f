#pragma once
// A vorpild started as a program in a private folder, with devcon, scripts
// and tools run against it, for the tests that use ports as programs do.
#include "common/control_client.h"
#include "common/serial_ioctl.h"
#include "platform/child_process.h"
#include "platform/serial_port.h"
#include "tests/driver/transport/loopback_peer.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace vorpild_testing {

using namespace std::chrono_literals;
using namespace common;
using driver_testing::Bytes;
using driver_testing::TcpListener;
using driver_testing::TcpPeer;

inline constexpr const char* kPython = "/usr/bin/python3";

using testing_support::eventually;

inline std::string field(const std::string& line, const std::string& key)
{
    std::istringstream words(line);
    std::string word;
    while (words >> word)
        if (word.rfind(key + "=", 0) == 0)
            return word.substr(key.size() + 1);
    return {};
}

struct ToolRun {
    int code = -1;
    std::string output;
};

inline ToolRun run(const std::vector<std::string>& argv, std::chrono::seconds limit = 60s)
{
    ToolRun result;
    auto child = platform::ChildProcess::start(argv, true);
    if (!child.ok())
        return result;
    for (;;) {
        auto line = child->readLine(limit);
        if (!line.ok())
            break;
        result.output += *line + "\n";
    }
    result.code = child->wait(limit).value_or(-1);
    return result;
}

class VorpildFixture : public ::testing::Test {
protected:
    void TearDown() override { stopDaemon(); }

    std::string runtimeDir() const { return m_dir.path() + "/run"; }
    std::string port(const std::string& name = "COM5") const { return runtimeDir() + "/dev/" + name; }

    // With `user` set (a number), the daemon and devcon run as that user.
    void startDaemon(const std::string& user = {})
    {
        m_user = user;
        std::vector<std::string> argv = asUser({ testing_support::programPath("vorpild"), "--foreground",
            "--runtime-dir", runtimeDir(), "--state-dir", m_dir.path() + "/state" });
        argv.insert(argv.end(), m_daemonArgs.begin(), m_daemonArgs.end());
        // With m_daemonLog the daemon's log is read through m_daemon.readLine().
        if (m_daemonLog)
            argv.insert(argv.begin(), { "/bin/sh", "-c", "exec \"$@\" 2>&1", "sh" });
        auto child = platform::ChildProcess::start(argv, m_daemonLog);
        ASSERT_TRUE(child.ok());
        m_daemon = std::move(*child);
        if (m_user.empty()) {
            ASSERT_TRUE(eventually([&] { return ntSuccess(ControlClient::connect(runtimeDir(), m_client)); }));
        } else {
            ASSERT_TRUE(eventually([&] { return devcon({ "status" }).code == 0; }));
        }
    }

    void stopDaemon()
    {
        m_client.reset();
        if (m_daemon.running()) {
            m_daemon.terminate();
            (void)m_daemon.wait(20s);
        }
    }

    std::vector<std::string> asUser(std::vector<std::string> argv) const
    {
        if (m_user.empty())
            return argv;
        std::vector<std::string> wrapped { "/usr/bin/setpriv", "--reuid=" + m_user, "--regid=" + m_user,
            "--clear-groups", "--" };
        wrapped.insert(wrapped.end(), argv.begin(), argv.end());
        return wrapped;
    }

    ToolRun devcon(std::vector<std::string> args)
    {
        std::vector<std::string> argv { "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + runtimeDir(),
            testing_support::programPath("devcon") };
        argv.insert(argv.end(), args.begin(), args.end());
        return run(asUser(argv));
    }

    // A port as a client of 127.0.0.1:remotePort, connected.
    void addPort(std::uint16_t remotePort, bool framed, bool pacing, const std::string& name = "COM5")
    {
        ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", name }).code, 0);
        ASSERT_EQ(devcon({ "set", name, "--remote", "127.0.0.1:" + std::to_string(remotePort), "--tcp", "--client",
                             framed ? "--framed" : "--raw" })
                      .code,
            0);
        if (!pacing) {
            ASSERT_EQ(devcon({ "set", name, "--pacing", "off" }).code, 0);
        }
        ASSERT_EQ(devcon({ "connect", name }).code, 0);
    }

    // The `devcon status` line of a port's terminal.
    std::string terminalLine(const std::string& name = "COM5")
    {
        std::istringstream lines(devcon({ "status" }).output);
        std::string line;
        while (std::getline(lines, line))
            if (line.rfind("terminal " + name + " ", 0) == 0)
                return line;
        return {};
    }

    std::string script(const std::string& name, const std::string& text)
    {
        m_dir.write(name, text);
        return m_dir.file(name);
    }

    testing_support::TempDir m_dir;
    platform::ChildProcess m_daemon;
    std::unique_ptr<ControlClient> m_client;
    std::string m_user;
    std::vector<std::string> m_daemonArgs; // more arguments for the next startDaemon()
    bool m_daemonLog = false;
};

// Each packet of a framed stream: type and payload.
inline std::vector<std::pair<std::uint8_t, Bytes>> packets(const Bytes& stream)
{
    std::vector<std::pair<std::uint8_t, Bytes>> out;
    std::size_t at = 0;
    while (at + 3 <= stream.size()) {
        const std::size_t length = static_cast<std::size_t>(stream[at + 1]) << 8 | stream[at + 2];
        if (at + 3 + length > stream.size())
            break;
        out.emplace_back(stream[at],
            Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at + 3),
                stream.begin() + static_cast<std::ptrdiff_t>(at + 3 + length)));
        at += 3 + length;
    }
    return out;
}

} // namespace vorpild_testing
