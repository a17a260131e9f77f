// A program nobody here wrote (pyserial) on a vorpild port, carried over
// framed TCP to a simulated device server.
#include "platform/child_process.h"
#include "platform/serial_port.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr const char* kPython = "/usr/bin/python3";

// Opens the port at 115200 8N1, sends a greeting and prints what comes back.
constexpr const char* kApplication = R"(import sys, serial
with serial.Serial(sys.argv[1], 115200, bytesize=8, parity="N", stopbits=1, timeout=15) as port:
    print("ready", flush=True)
    port.write(b"hello-from-app")
    port.flush()
    print("got", port.read(15).decode(), flush=True)
)";

using testing_support::eventually;

std::string field(const std::string& line, const std::string& key)
{
    std::istringstream words(line);
    std::string word;
    while (words >> word)
        if (word.rfind(key + "=", 0) == 0)
            return word.substr(key.size() + 1);
    return {};
}

int devcon(const std::string& runtimeDir, std::vector<std::string> args)
{
    std::vector<std::string> argv { "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + runtimeDir,
        testing_support::programPath("devcon") };
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = platform::ChildProcess::start(argv, false);
    return child.ok() ? child->wait(20s).value_or(-1) : -1;
}

} // namespace

TEST(VorpildEndToEnd, PyserialTalksToADeviceServerOverFramedTcp)
{
    testing_support::TempDir dir;
    const std::string runtime = dir.path() + "/run";
    auto device
        = platform::ChildProcess::start({ testing_support::programPath("devsim"), "--first-address", "127.0.0.10" });
    ASSERT_TRUE(device.ok());
    auto listed = device->readLine(10s);
    ASSERT_TRUE(listed.ok());
    const std::string devicePty = field(*listed, "serial");
    ASSERT_FALSE(devicePty.empty()) << *listed;

    auto daemon = platform::ChildProcess::start({ testing_support::programPath("vorpild"), "--foreground",
                                                    "--runtime-dir", runtime, "--state-dir", dir.path() + "/state" },
        false);
    ASSERT_TRUE(daemon.ok());
    ASSERT_TRUE(eventually([&] { return devcon(runtime, { "status" }) == 0; }));
    ASSERT_EQ(devcon(runtime, { "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" }), 0);
    ASSERT_EQ(devcon(runtime, { "set", "COM5", "--remote", "127.0.0.10:5000", "--tcp", "--client", "--framed" }), 0);
    ASSERT_EQ(devcon(runtime, { "connect", "COM5" }), 0);

    auto deviceSide = platform::openSerialPort(devicePty, platform::RealClock::instance());
    ASSERT_TRUE(deviceSide.ok()) << deviceSide.error().message;
    dir.write("app.py", kApplication);
    auto application = platform::ChildProcess::start({ kPython, dir.file("app.py"), runtime + "/dev/COM5" });
    ASSERT_TRUE(application.ok());
    auto ready = application->readLine(15s);
    ASSERT_TRUE(ready.ok() && *ready == "ready");

    // The device server was told 115200 baud (0x15 with code 0x01, line control 0x03 for 8N1).
    EXPECT_TRUE(eventually([&] {
        auto settings = (*deviceSide)->settings();
        return settings.ok() && settings->baud == 115200 && settings->dataBits == 8;
    }));

    std::string received;
    std::uint8_t buffer[64];
    EXPECT_TRUE(eventually([&] {
        const auto got = (*deviceSide)->read(buffer, sizeof buffer, 100ms);
        received.append(reinterpret_cast<const char*>(buffer), got.count);
        return received.size() >= 14;
    }));
    EXPECT_EQ(received, "hello-from-app");
    const std::string answer = "hello-from-dev!";
    (void)(*deviceSide)->write(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size());
    auto got = application->readLine(20s);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*got, "got hello-from-dev!");
    EXPECT_EQ(application->wait(10s).value_or(-1), 0);

    daemon->terminate();
    EXPECT_EQ(daemon->wait(20s).value_or(-1), 0);
}
