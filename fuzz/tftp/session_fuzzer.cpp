// Arbitrary datagrams (any opcode, length and option list) into one TFTP
// session, with timer expiries between them, against a small served folder.
#include "utility/services/tftp_session.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

using utility::services::TftpSession;

constexpr std::string_view kOutside = "kept outside the served folder";

class Host final : public utility::services::TftpSessionHost {
public:
    std::size_t sendDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint&) override
    {
        // Whatever the session sends must fit a UDP datagram and start with
        // an opcode it is allowed to send.
        if (datagram.size() < 4 || datagram.size() > 4 + utility::services::kTftpMaxBlockSize)
            std::abort();
        const int opcode = datagram[0] << 8 | datagram[1];
        if (opcode != utility::services::kTftpData && opcode != utility::services::kTftpError
            && opcode != utility::services::kTftpOack)
            std::abort();
        // Nothing outside the served folder is ever sent, links or not.
        const std::string_view bytes(reinterpret_cast<const char*>(datagram.data()), datagram.size());
        if (opcode == utility::services::kTftpData && bytes.find(kOutside) != std::string_view::npos)
            std::abort();
        return datagram.size();
    }
    void startRetransmitTimer(std::chrono::milliseconds) override { timerRunning = true; }
    void stopRetransmitTimer() override { timerRunning = false; }
    void appendLog(const std::string&) override { }
    void showMessage(const std::string&) override { }
    void beep(int, int) override { }
    void setProgressRange(int) override { }
    void setProgressPosition(int) override { }
    bool timerRunning = false;
};

std::string servedFolder()
{
    const auto root = std::filesystem::temp_directory_path() / ("tftp-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "sub");
    auto write = [&](const std::string& name, std::size_t size) {
        std::FILE* file = std::fopen((root / name).c_str(), "wb");
        for (std::size_t i = 0; i < size; ++i)
            std::fputc(static_cast<int>(i * 31 & 0xFF), file);
        std::fclose(file);
    };
    write("a", 0);
    write("b", 511);
    write("c", 1024);
    write("sub/d", 3000);
    // Links: one to a file inside, two out of the folder (a file beside it and
    // the folder above).
    const auto outside = root.string() + "-outside";
    if (std::FILE* file = std::fopen(outside.c_str(), "wb")) {
        std::fwrite(kOutside.data(), 1, kOutside.size(), file);
        std::fclose(file);
    }
    std::error_code ignored;
    std::filesystem::create_symlink("sub/d", root / "in", ignored);
    std::filesystem::create_symlink(outside, root / "out", ignored);
    std::filesystem::create_symlink("..", root / "sub" / "up", ignored);
    return root.string();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string folder = servedFolder();
    Host host;
    TftpSession session(host);
    session.setDirectory(folder);
    // Each record: a control byte (bit 7: timer fires first, bit 6: a request on the
    // listen socket, bit 5: from a stranger's port), a length byte, then that many datagram bytes.
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::uint8_t control = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1] | (control & 0x07) << 8, size - at - 2);
        at += 2;
        if (control & 0x80)
            session.timeout();
        if (control & 0x40)
            session.start({ data + at, length }, { 0x7F000001, 1234 });
        else
            session.dispatch(
                { data + at, length }, { 0x7F000001, static_cast<std::uint16_t>(control & 0x20 ? 1235 : 1234) });
        at += length;
        if (!session.active() && session.fileOpen())
            std::abort(); // an ended session keeps no file open
    }
    session.reset();
    return 0;
}
