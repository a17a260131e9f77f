// Programming throughput of the serial-driver ISP path through a pty to the
// board simulator, as a fraction of the wire ceiling at 921600 baud: ten
// wire bytes per data byte at ten bits each, 9216 data bytes per second.
// Real time, so the specified sleeps (7 ms per block) count.

#include "bench/bench_arguments.h"
#include "mfg/isp.h"
#include "sim/boardsim/pty_board.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

class QuietPrompter final : public platform::Prompter {
public:
    void message(const std::string& text, const std::string&, platform::MessageIcon) override
    {
        std::fprintf(stderr, "message: %s\n", text.c_str());
    }
    bool confirm(const std::string&, const std::string&, platform::MessageIcon, bool yes) override { return yes; }
    int choose(const std::string&, const std::string&, const std::string&, const std::vector<std::string>&,
        int preselected) override
    {
        return preselected;
    }
    std::string openFile(const std::string&, const std::string&, const std::string&) override { return {}; }
    std::string saveFile(const std::string&, const std::string&, const std::string&) override { return {}; }
    std::string chooseFolder(const std::string&, const std::string&) override { return {}; }
    void beep(int, int) override { }
};

double run(const char* options, std::size_t size)
{
    sim::boardsim::BoardOptions parsed;
    sim::boardsim::BoardOptions::parse(options, parsed);
    auto& clock = platform::RealClock::instance();
    auto board = sim::boardsim::PtyBoard::start(clock, parsed);
    if (!board)
        return -1;
    platform::ComNameResolver resolver;
    QuietPrompter prompter;
    mfg::DebugOutput trace;
    mfg::SerialLink link(
        [&](const std::string&) { return platform::openSerialPort(board.value()->path(), clock); }, prompter);
    mfg::IspSession isp(clock, prompter, trace);
    if (!link.OpenUsbPort(2, "COM1", false))
        return -1;
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<std::uint8_t>(i * 13 + 1);
    // Erase first so that only programming is timed.
    if (!isp.Usb_Com_Check(link) || !isp.Usb_ChipErase(link, 0, nullptr))
        return -1;
    const auto begin = std::chrono::steady_clock::now();
    const bool ok = isp.Usb_Program(link, true, image.size(), image.data(), nullptr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (!ok || board.value()->board().flashBytes(0, size) != image)
        return -1;
    return size / seconds;
}

} // namespace

int main(int argc, char** argv)
{
    if (const int status = bench::parseArguments(argc, argv, "bench_mfg_isp",
            "Programs 16 KiB through the serial-driver ISP path into the board simulator behind a\n"
            "pty, in real time, and prints the rate against the 921600-baud wire ceiling.");
        status != cli::kContinue)
        return status;
    constexpr double kCeiling = 921600.0 / 10 / 10;
    constexpr std::size_t kSize = 16 * 1024;
    std::printf("ISP programming, %zu bytes, 921600 baud settings; ceiling %.0f B/s\n", kSize, kCeiling);
    for (const char* options : { "erase-ms=0", "erase-ms=0,wire-time=1" }) {
        const double rate = run(options, kSize);
        if (rate < 0) {
            std::printf("%-26s failed\n", options);
            return 1;
        }
        std::printf("%-26s %8.0f B/s  %5.1f %% of the wire ceiling\n", options, rate, 100.0 * rate / kCeiling);
    }
    return 0;
}
