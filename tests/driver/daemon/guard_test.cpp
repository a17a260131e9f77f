// What vorpild and its clients do with what other users (or runaway
// clients) put in their way: directories and sockets made by someone else,
// more clients than the daemon serves at once, empty datagrams.
#include "common/control_client.h"
#include "common/win32_error.h"
#include "platform/child_process.h"
#include "platform/seqpacket.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace common;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kOtherUser = 65534;

using testing_support::eventually;

struct ToolRun {
    int code = -1;
    std::string output;
};

// Runs a shell command line with its standard error in the output.
ToolRun shell(const std::string& command)
{
    ToolRun run;
    auto child = platform::ChildProcess::start({ "/bin/sh", "-c", command + " 2>&1" }, true);
    if (!child.ok())
        return run;
    for (;;) {
        auto line = child->readLine(std::chrono::seconds(20));
        if (!line.ok())
            break;
        run.output += *line + "\n";
    }
    run.code = child->wait(std::chrono::seconds(20)).value_or(-1);
    return run;
}

int threadsOf(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    return -1;
}

class VorpildGuard : public ::testing::Test {
protected:
    std::string runtimeDir() const { return m_dir.path() + "/run"; }
    std::string vorpild() const { return testing_support::programPath("vorpild"); }

    void startDaemon()
    {
        auto child = platform::ChildProcess::start(
            { vorpild(), "--foreground", "--runtime-dir", runtimeDir(), "--state-dir", m_dir.path() + "/state" },
            false);
        ASSERT_TRUE(child.ok()) << child.error().message;
        m_daemon = std::move(*child);
        ASSERT_TRUE(eventually([&] { return ntSuccess(ControlClient::connect(runtimeDir(), m_client)); }));
    }

    testing_support::TempDir m_dir;
    platform::ChildProcess m_daemon;
    std::unique_ptr<ControlClient> m_client;
};

} // namespace

TEST_F(VorpildGuard, AStateDirectoryOfAnotherUserIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make directories of another user";
    struct Case {
        const char* name;
        std::function<void(const std::string&)> plant;
    };
    const Case cases[] = {
        { "made by another user",
            [](const std::string& dir) {
                std::filesystem::create_directory(dir);
                ASSERT_EQ(::chown(dir.c_str(), kOtherUser, kOtherUser), 0);
            } },
        { "writable by all",
            [](const std::string& dir) {
                std::filesystem::create_directory(dir);
                ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
            } },
        { "a link to a directory",
            [this](const std::string& dir) {
                std::filesystem::create_directory(m_dir.path() + "/elsewhere");
                std::filesystem::create_directory_symlink(m_dir.path() + "/elsewhere", dir);
            } },
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string state = m_dir.path() + "/state" + std::to_string(++round);
        c.plant(state);
        const ToolRun run = shell(vorpild() + " --foreground --runtime-dir " + runtimeDir() + std::to_string(round)
            + " --state-dir " + state);
        EXPECT_NE(run.code, 0);
        EXPECT_NE(run.output.find("refusing the state directory"), std::string::npos) << run.output;
        EXPECT_FALSE(std::filesystem::exists(state + "/registry.reg"));
    }
}

TEST_F(VorpildGuard, TheTmpFallbackStateDirectoryPlantedByAnotherUserIsRefused)
{
    // An ordinary user without HOME or XDG_STATE_HOME keeps the registry in
    // /tmp/vorpil-state-UID, which anyone could have made first.
    if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs root and setpriv to run the daemon as another user";
    const std::string planted = "/tmp/vorpil-state-" + std::to_string(kOtherUser);
    if (std::filesystem::exists(planted))
        GTEST_SKIP() << planted << " exists already";
    char runtime[] = "/tmp/vorpil-guard-XXXXXX";
    ASSERT_NE(::mkdtemp(runtime), nullptr);
    ASSERT_EQ(::chown(runtime, kOtherUser, kOtherUser), 0);
    ASSERT_EQ(::mkdir(planted.c_str(), 0755), 0); // root's, as another user would plant it
    const ToolRun run = shell("/usr/bin/env -u HOME -u XDG_STATE_HOME VORPIL_RUNTIME_DIR=" + std::string(runtime)
        + " /usr/bin/setpriv --reuid=" + std::to_string(kOtherUser) + " --regid=" + std::to_string(kOtherUser)
        + " --clear-groups " + vorpild() + " --foreground");
    std::filesystem::remove_all(planted);
    std::filesystem::remove_all(runtime);
    EXPECT_NE(run.code, 0);
    EXPECT_NE(run.output.find("refusing the state directory: " + planted), std::string::npos) << run.output;
}

TEST_F(VorpildGuard, ClientsTalkOnlyToASocketOfRootOrTheirOwnUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a socket to another user";
    std::filesystem::create_directories(runtimeDir());
    const std::string path = runtimeDir() + "/control";
    auto listener = platform::SeqPacketListener::listen(path);
    ASSERT_TRUE(listener.ok()) << listener.error().message;
    std::unique_ptr<ControlClient> client;
    EXPECT_EQ(ControlClient::connect(runtimeDir(), client), kStatusSuccess) << "root's own socket";
    client.reset();

    ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0);
    EXPECT_EQ(ControlClient::connect(runtimeDir(), client), kStatusAccessDenied);
    const ToolRun devcon
        = shell("VORPIL_RUNTIME_DIR=" + runtimeDir() + " " + testing_support::programPath("devcon") + " status");
    EXPECT_EQ(devcon.code, 3);
    EXPECT_NE(devcon.output.find("belongs to neither root nor this user"), std::string::npos) << devcon.output;
}

TEST_F(VorpildGuard, ManyIdleSessionsLockNobodyOutAndCostNoThreads)
{
    startDaemon();
    const int threadsBefore = threadsOf(m_daemon.pid());
    ASSERT_GT(threadsBefore, 0);

    // An empty datagram is malformed, not the end of the session.
    std::vector<std::uint8_t> answer;
    ASSERT_EQ(m_client->exchange({}, answer), kStatusSuccess);
    ControlResponse response;
    ASSERT_TRUE(decodeResponse(answer, response));
    EXPECT_EQ(response.status, kStatusInvalidParameter);
    std::vector<std::string> lines;
    EXPECT_EQ(m_client->terminals(lines), kStatusSuccess) << "the session goes on";

    // More idle clients than there used to be threads for sessions.
    std::vector<std::unique_ptr<ControlClient>> clients;
    for (std::size_t i = 0; i < 100; ++i) {
        std::unique_ptr<ControlClient> client;
        ASSERT_EQ(ControlClient::connect(runtimeDir(), client), kStatusSuccess);
        ASSERT_EQ(client->terminals(lines), kStatusSuccess) << i;
        clients.push_back(std::move(client));
    }
    // A thread per session would add a hundred; the host may still be
    // starting a pool thread or two of its own on a busy machine.
    EXPECT_LT(threadsOf(m_daemon.pid()), threadsBefore + 10) << "no thread per session";
    const ToolRun devcon
        = shell("VORPIL_RUNTIME_DIR=" + runtimeDir() + " " + testing_support::programPath("devcon") + " status");
    EXPECT_EQ(devcon.code, 0) << devcon.output;
    ASSERT_TRUE(m_daemon.terminate());
    EXPECT_EQ(m_daemon.wait(20s).value_or(-1), 0);
}
