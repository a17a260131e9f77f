// One passing board through all eight items against the board simulator
// behind a pty, in real time, ISP at 921600 baud settings. The run's duration
// is set against its floor: the fixed waits of the sequence plus the wire
// time of the loader (ten bytes of frames per byte, 8E1 at 921600 baud) and
// of both firmware files (100 Mbit/s Ethernet). Operators count boards per
// hour, so the note gives that too.

#include "bench/bench_arguments.h"
#include "mfg/test_page.h"
#include "platform/text_file.h"
#include "sim/boardsim/pty_board.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string pattern(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        seed = seed * 1103515245 + 12345;
        byte = static_cast<char>(seed >> 16);
    }
    return bytes;
}

void put(const std::string& path, const std::string& bytes) { (void)platform::writeFileBytes(path, bytes); }

} // namespace

int main(int argc, char** argv)
{
    if (const int status = bench::parseArguments(argc, argv, "bench_mfg_production",
            "One passing board through all eight items against the board simulator behind a pty,\n"
            "in real time (about half a minute); prints the run's time against its floor and the\n"
            "boards per hour. BENCH_BOARD=OPTIONS replaces the simulator's options\n"
            "(default erase-ms=2000,wire-time=1).");
        status != cli::kContinue)
        return status;
    constexpr std::size_t kLoader = 8 * 1024;
    constexpr std::size_t kTestFirmware = 64 * 1024;
    constexpr std::size_t kProductionFirmware = 256 * 1024;
    constexpr int kEraseSeconds = 6;

    char dirTemplate[] = "/tmp/bench-production-XXXXXX";
    if (!::mkdtemp(dirTemplate))
        return 1;
    const std::string dir = dirTemplate;
    auto& clock = platform::RealClock::instance();
    sim::boardsim::BoardOptions options;
    sim::boardsim::BoardOptions::parse(
        std::getenv("BENCH_BOARD") ? std::getenv("BENCH_BOARD") : "erase-ms=2000,wire-time=1", options);
    auto board = sim::boardsim::PtyBoard::start(clock, options);
    if (!board) {
        std::fprintf(stderr, "no pty: %s\n", board.error().message.c_str());
        return 1;
    }
    put(dir + "/loader.bin", pattern(kLoader, 1));
    put(dir + "/test.bin", pattern(kTestFirmware, 2));
    put(dir + "/prod.bin", pattern(kProductionFirmware, 3));
    std::string eeprom;
    for (int k = 0; k < 34; ++k) {
        char lines[32];
        std::snprintf(lines, sizeof lines, "[%04X]\n%04X\n", k, 0x1100 + k);
        eeprom += lines;
    }
    put(dir + "/eeprom.ini", eeprom);
    put(dir + "/Option.dat",
        dir + "/loader.bin\n" + dir + "/test.bin\n" + dir + "/prod.bin\n" + dir + "/eeprom.ini\n" + dir
            + "/fail.log\n127.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n" + std::to_string(kEraseSeconds - 6) + "\n");
    put(dir + "/com.dat", "COM1\n921.6K");
    put(dir + "/item.dat", "255\n");

    platform::ConsolePrompter prompter(true);
    mfg::DebugOutput trace;
    auto loop = platform::makeEpollLoop(clock);
    const std::string pty = board.value()->path();
    mfg::TestPage::Environment environment { *loop, clock, prompter, trace,
        [&](const std::string&) { return platform::openSerialPort(pty, clock); }, dir, nullptr, {}, {} };
    mfg::TestPage page(environment);
    page.create();
    page.activate();
    page.onRunFinished = [&] { loop->quit(0); };
    const auto begin = std::chrono::steady_clock::now();
    page.start();
    loop->run();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (page.picture() != mfg::ResultPicture::Pass) {
        std::printf("run failed: %s\n", page.ResultMessage.c_str());
        return 1;
    }

    // Fixed waits of a passing run through the serial driver.
    const double blocks = static_cast<double>((kLoader + 39) / 40);
    const double isp = 0.021 + 6 * 0.014 + kEraseSeconds + 0.014 + 3 * 0.014 + blocks * 0.007 + 2 * 0.014;
    const double selfTests = (1.0 + 0.1 + 0.01) * 2 + (1.0 + 0.2 + 0.01) + (1.0 + 0.5 + 0.01);
    const double eepromWrite = 0.1 + 1.0 + 34 * 0.1 + 2.0;
    const double reset = 0.01;
    const double waits = isp + selfTests + eepromWrite + reset;
    const double loaderWire = kLoader * 10.0 * 11.0 / 921600.0;
    const double firmwareWire = (kTestFirmware + kProductionFirmware) * 8.0 / 100e6;
    const double floor = waits + loaderWire + firmwareWire;
    std::printf("production run, loader %zu B, firmware %zu + %zu B, erase %d s, ISP 921600 baud settings\n", kLoader,
        kTestFirmware, kProductionFirmware, kEraseSeconds);
    std::printf("  fixed waits %.2f s (ISP %.2f, self tests %.2f, EEPROM %.2f), wire %.2f s (loader %.2f, "
                "firmware %.3f)\n",
        waits, isp, selfTests, eepromWrite, loaderWire + firmwareWire, loaderWire, firmwareWire);
    std::printf("  run %.2f s, floor %.2f s, ratio %.3f; %.0f boards per hour (floor: %.0f)\n", seconds, floor,
        seconds / floor, 3600.0 / seconds, 3600.0 / floor);
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
