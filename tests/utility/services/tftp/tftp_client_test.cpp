#include "platform/child_process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using namespace std::chrono_literals;
using testing_support::programPath;
using testing_support::TempDir;

namespace {

// How long the server may take to start, print or stop before the test calls
// it hung. Stopping passes the signal to the worker process, joins its
// threads and saves Qelta.dat (with an fsync); that normally takes well under
// a second, yet took over 10 s on a machine busy with other work. Only a hang
// may fail the test, never a busy machine.
constexpr auto kHung = 90s;

// Bytes that differ from block to block, so a block sent twice or out of
// order shows up in the comparison.
void writePattern(const std::string& path, std::size_t size)
{
    std::string data(size, '\0');
    std::uint32_t state = 0x12345678u ^ static_cast<std::uint32_t>(size);
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = static_cast<char>(state >> 24);
    }
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

// "qelta tftp" serving a folder, inside this test's own network namespace,
// fetched from by TFTP clients that Debian ships.
class TftpClients : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(std::system(("cp '" + programPath("VORPIL.inf") + "' '" + work.path() + "/'").c_str()), 0);
        ASSERT_EQ(std::system(("mkdir '" + work.file("srv") + "' '" + work.file("got") + "'").c_str()), 0);
        auto started = platform::ChildProcess::start({ "/bin/sh", "-c",
            "cd '" + work.path() + "' && exec '" + programPath("qelta") + "' tftp --dir '" + work.file("srv") + "'" });
        ASSERT_TRUE(started.ok());
        qelta = std::move(started.value());
        auto line = qelta.readLine(kHung);
        ASSERT_TRUE(line.ok()) << "qelta tftp did not start";
        ASSERT_EQ(*line, "TFTP server @ 127.0.0.1 is running on UDP port 69 successfully.");
    }

    void TearDown() override
    {
        if (qelta.running() && qelta.interrupt()) {
            EXPECT_EQ(qelta.wait(kHung), 0);
        }
    }

    // Runs a shell command in the work folder; its output (both streams).
    std::string run(const std::string& command, int* status = nullptr)
    {
        const int result = std::system(("cd '" + work.path() + "' && (" + command + ") >client.txt 2>&1").c_str());
        if (status)
            *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
        return readFile(work.file("client.txt"));
    }

    TempDir work;
    platform::ChildProcess qelta;
};

struct Client {
    const char* name;
    const char* command; // %R: the remote name, %L: the local file
};

const Client kClients[] = {
    { "tftp_hpa", "tftp 127.0.0.1 -m binary -c get %R %L" },
    { "curl", "curl -sS tftp://127.0.0.1/%R -o %L" },
    { "curl_blksize_1468", "curl -sS --tftp-blksize 1468 tftp://127.0.0.1/%R -o %L" },
    { "atftp_blksize_1468", "atftp --option 'blksize 1468' -g -r %R -l %L 127.0.0.1" },
    { "busybox_blksize_1468", "busybox tftp -b 1468 -g -r %R -l %L 127.0.0.1" },
};

std::string commandFor(const Client& client, const std::string& remote, const std::string& local)
{
    std::string command = client.command;
    command.replace(command.find("%R"), 2, remote);
    command.replace(command.find("%L"), 2, local);
    return command;
}

class TftpClientSizes : public TftpClients, public ::testing::WithParamInterface<std::tuple<int, std::size_t>> { };

TEST_P(TftpClientSizes, FileArrivesIntact)
{
    const Client& client = kClients[std::get<0>(GetParam())];
    const std::size_t size = std::get<1>(GetParam());
    const std::string name = "f" + std::to_string(size) + ".bin";
    writePattern(work.file("srv/" + name), size);
    int status = -1;
    const std::string output = run(commandFor(client, name, "got/" + name), &status);
    EXPECT_EQ(status, 0) << output;
    const std::string sent = readFile(work.file("srv/" + name));
    const std::string received = readFile(work.file("got/" + name));
    ASSERT_EQ(received.size(), sent.size()) << client.name;
    EXPECT_TRUE(received == sent) << client.name << ": bytes differ";
}

INSTANTIATE_TEST_SUITE_P(Small, TftpClientSizes,
    ::testing::Combine(::testing::Range(0, 5), ::testing::Values(0, 511, 512, 1000, 1024)), [](const auto& info) {
        return std::string(kClients[std::get<0>(info.param)].name) + "_" + std::to_string(std::get<1>(info.param));
    });

// 40 MiB: at 512 bytes a block (tftp-hpa sends no options) the block number
// wraps past 65535 and the transfer must go on; the others use 1468.
INSTANTIATE_TEST_SUITE_P(Large, TftpClientSizes,
    ::testing::Combine(::testing::Values(0, 2, 3, 4), ::testing::Values(std::size_t { 40 } << 20)),
    [](const auto& info) { return std::string(kClients[std::get<0>(info.param)].name) + "_40MiB"; });

// --dir serves from elsewhere for this run only: item 20 of Qelta.dat keeps
// its value when the interrupted server saves the settings.
TEST_F(TftpClients, InterruptStopsTheServerAndDirDoesNotChangeTheSetting)
{
    qelta.interrupt();
    EXPECT_EQ(qelta.wait(kHung), 0);
    auto stopped = qelta.readLine(kHung);
    ASSERT_TRUE(stopped.ok());
    EXPECT_EQ(*stopped, "");
    stopped = qelta.readLine(kHung);
    ASSERT_TRUE(stopped.ok());
    EXPECT_EQ(*stopped, "TFTP server stoped.");
    EXPECT_NE(readFile(work.file("Qelta.dat")).find("C:\\$" + std::string(12, ' ') + "// (20) (TFTP) File Path\r\n"),
        std::string::npos);
    int status = 0;
    run("'" + programPath("qelta") + "' tftp --port 0", &status);
    EXPECT_EQ(status, 2);
}

TEST_F(TftpClients, NamesLeavingTheFolderAreRefused)
{
    const std::string secret = "kept outside the served folder";
    std::ofstream(work.file("secret")) << secret;
    ASSERT_EQ(std::system(("ln -s ../secret '" + work.file("srv/link") + "'").c_str()), 0);
    // The link leads nowhere for a server shut into the folder: its target
    // is not there.
    for (const auto& [name, error] : { std::pair { std::string("../secret"), "Access violation" },
             std::pair { work.file("secret"), "Access violation" },
             std::pair { std::string("link"), "File not found" } }) {
        const std::string output = run(commandFor(kClients[0], name, "got/out"));
        EXPECT_NE(output.find(error), std::string::npos) << name << ": " << output;
        EXPECT_NE(readFile(work.file("got/out")), secret);
    }
    int status = 0;
    const std::string output = run("curl -sS --path-as-is tftp://127.0.0.1/../secret -o got/curl", &status);
    EXPECT_NE(status, 0) << output;
    EXPECT_NE(readFile(work.file("got/curl")), secret);
}

// What cannot be served is said at once: a client left without an answer
// waits out its own retries (tftp-hpa about 25 s, curl 300 s).
TEST_F(TftpClients, MissingFilesAndWritesAreAnsweredAtOnce)
{
    struct Case {
        const char* command;
        const char* expected; // in the client's output
        int status; // the client's exit status
    };
    std::ofstream(work.file("upload.bin")) << "not taken";
    // curl tells the TFTP error by its status: 68 file not found, 69
    // permission problem.
    const Case cases[] = {
        { "tftp 127.0.0.1 -m binary -c get absent.bin got/absent", "Error code 1: File not found", 0 },
        { "curl -sS tftp://127.0.0.1/absent.bin -o got/absent", "", 68 },
        { "busybox tftp -g -r absent.bin -l got/absent 127.0.0.1", "server error: (1) File not found", 1 },
        { "tftp 127.0.0.1 -m binary -c put upload.bin", "Error code 2: Only read requests are served", 0 },
        { "curl -sS -T upload.bin tftp://127.0.0.1/upload.bin", "", 69 },
    };
    for (const Case& c : cases) {
        const auto begun = std::chrono::steady_clock::now();
        int status = 0;
        // Without an answer each of them would still be waiting when the
        // time limit stops it.
        const std::string output = run(std::string("timeout 20 ") + c.command, &status);
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        std::printf("%s: %.2f s\n", c.command, seconds);
        EXPECT_EQ(status, c.status) << c.command << ": " << output;
        EXPECT_NE(output.find(c.expected), std::string::npos) << c.command << ": " << output;
    }
    EXPECT_FALSE(std::ifstream(work.file("srv/upload.bin")).good());
}

// Clients at once, each on a port of its own: every file arrives whole.
TEST_F(TftpClients, EightClientsAtOnceEachGetTheirFile)
{
    std::string script;
    for (int i = 0; i < 8; ++i) {
        const std::string name = "c" + std::to_string(i) + ".bin";
        writePattern(work.file("srv/" + name), (std::size_t { 1 } << 20) + static_cast<std::size_t>(i));
        script += "timeout 60 " + commandFor(kClients[i % 4], name, "got/" + name) + " & ";
    }
    run(script + "wait");
    for (int i = 0; i < 8; ++i) {
        const std::string name = "c" + std::to_string(i) + ".bin";
        EXPECT_TRUE(readFile(work.file("got/" + name)) == readFile(work.file("srv/" + name))) << kClients[i % 4].name;
    }
}

// The "Uid:" and "CapEff:" lines of a process.
std::string statusLine(int pid, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return line.substr(key.size() + 2);
    return {};
}

int workerOf(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    int worker = 0;
    in >> worker;
    return worker;
}

// What parses datagrams from the network runs as nobody, without any
// capability and shut into the served folder; the process that started it
// keeps root only to save the settings.
TEST_F(TftpClients, TheWorkerGivesUpRoot)
{
    // A request answered: the worker handles datagrams only once it gave up root.
    std::ofstream(work.file("srv/h.txt")) << "hello";
    ASSERT_EQ(run("tftp 127.0.0.1 -m binary -c get h.txt got/h.txt && cat got/h.txt"), "hello");
    const int worker = workerOf(qelta.pid());
    ASSERT_GT(worker, 0);
    EXPECT_EQ(statusLine(worker, "Uid"), "65534\t65534\t65534\t65534");
    EXPECT_EQ(statusLine(worker, "CapEff"), "0000000000000000");
    EXPECT_EQ(statusLine(worker, "CapPrm"), "0000000000000000");
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(worker) + "/root"), work.file("srv"));
    EXPECT_EQ(statusLine(qelta.pid(), "Uid").substr(0, 1), "0");
}

// Without root: port 69 needs CAP_NET_BIND_SERVICE, and the start says so
// when it is missing; with it the server runs and gives it up.
TEST_F(TftpClients, WithoutRootTheBindCapabilityIsNeededAndThenDropped)
{
    qelta.interrupt();
    ASSERT_EQ(qelta.wait(kHung), 0);
    ASSERT_EQ(std::system(("chmod 755 '" + work.path() + "' && mkdir -p '" + work.file("own/srv") + "' && cp '"
                  + programPath("VORPIL.inf") + "' '" + work.file("own") + "/' && echo hello > '"
                  + work.file("own/srv/h.txt") + "' && chmod -R a+rwX '" + work.file("own") + "'")
                              .c_str()),
        0);
    const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    int status = 0;
    const std::string refused
        = run("cd own && timeout 20 " + asNobody + "'" + programPath("qelta") + "' tftp --dir srv", &status);
    EXPECT_EQ(status, 1) << refused;
    EXPECT_NE(refused.find("Failed to create TFTP server socket!\nUDP port 69 of 127.0.0.1: bind: Permission denied "
                           "(ports below 1024 need root or the capability CAP_NET_BIND_SERVICE)."),
        std::string::npos)
        << refused;

    auto started = platform::ChildProcess::start({ "/bin/sh", "-c",
        "cd '" + work.file("own") + "' && exec " + asNobody
            + "--inh-caps +net_bind_service --ambient-caps +net_bind_service '" + programPath("qelta")
            + "' tftp --dir srv" });
    ASSERT_TRUE(started.ok());
    qelta = std::move(started.value());
    auto line = qelta.readLine(kHung);
    ASSERT_TRUE(line.ok());
    EXPECT_EQ(*line, "TFTP server @ 127.0.0.1 is running on UDP port 69 successfully.");
    EXPECT_EQ(run("tftp 127.0.0.1 -m binary -c get h.txt got/h.txt && cat got/h.txt"), "hello\n");
    const int worker = workerOf(qelta.pid());
    ASSERT_GT(worker, 0);
    EXPECT_NE(statusLine(qelta.pid(), "CapEff"), "0000000000000000");
    EXPECT_EQ(statusLine(worker, "CapEff"), "0000000000000000");
    EXPECT_EQ(statusLine(worker, "CapAmb"), "0000000000000000");
}

// Without a folder chosen (the settings' first value) or with one that is
// not there, the command says so and serves nothing.
TEST_F(TftpClients, NoUsableFolderRefusesToStart)
{
    ASSERT_EQ(std::system(("mkdir '" + work.file("fresh") + "' && cp '" + programPath("VORPIL.inf") + "' '"
                  + work.file("fresh") + "/'")
                              .c_str()),
        0);
    struct Case {
        std::string arguments;
        std::string expected;
    };
    const Case cases[] = {
        { "", "TFTP server not started: no folder to serve files from is chosen. Choose one with --dir DIR" },
        { "--dir /nonexistent", "TFTP server not started: the folder /nonexistent does not exist." },
    };
    for (const Case& c : cases) {
        int status = 0;
        const std::string output
            = run("cd fresh && timeout 20 '" + programPath("qelta") + "' tftp --port 6969 " + c.arguments, &status);
        EXPECT_EQ(status, 2) << c.arguments << ": " << output;
        EXPECT_NE(output.find(c.expected), std::string::npos) << output;
        EXPECT_EQ(output.find("running on UDP port"), std::string::npos) << output;
    }
}

} // namespace
