// Line settings a program gives a port's pseudo-terminal: what it reads back
// is what the device server has. A Linux pty holds 8 data bits and no parity
// whatever is asked, so those stay as `devcon serial` gave them to the port;
// stop bits follow the program, and CSTOPB at 5 data bits is 1.5 stop bits.
#include "tests/driver/daemon/vorpild_fixture.h"

#include <termios.h>

using namespace vorpild_testing;

namespace {

using VorpildPtyLine = VorpildFixture;

// Sets each line setting in turn (octal c_cflag bits among CSIZE, PARENB,
// PARODD, CMSPAR and CSTOPB), prints "ok" or the error and the bits read
// back, then writes one marker byte and waits for the device server to send
// it back, so that the next setting is made only once the marker arrived.
constexpr const char* kProgram = R"(import errno, os, signal, sys, termios
signal.alarm(60)
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
CMSPAR = 0o10000000000
mask = termios.CSIZE | termios.PARENB | termios.PARODD | CMSPAR | termios.CSTOPB
attrs = termios.tcgetattr(fd)
attrs[0] = attrs[1] = attrs[3] = 0
attrs[6][termios.VMIN], attrs[6][termios.VTIME] = 1, 0
for row, bits in enumerate(sys.argv[2:]):
    attrs[2] = (attrs[2] & ~mask) | int(bits, 8) | termios.CREAD | termios.CLOCAL
    try:
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        result = "ok"
    except termios.error as error:
        result = errno.errorcode[error.args[0]]
    print(row, result, format(termios.tcgetattr(fd)[2] & mask, "o"), flush=True)
    os.write(fd, bytes([0x40 + row]))
    assert os.read(fd, 1) == bytes([0x40 + row])
os.close(fd)
)";

struct Row {
    unsigned bits = 0; // as set
    unsigned back = 0; // as read back
    std::string result;
};

// The line-control byte (16550 layout) of c_cflag bits; `wordLength` is
// the port's where the terminal cannot show it.
std::uint8_t lineControl(unsigned cflag, int wordLength)
{
    std::uint8_t line = static_cast<std::uint8_t>(wordLength - 5);
    if (cflag & CSTOPB)
        line |= 0x04; // 2 stop bits, or 1.5 at 5 data bits
    if (cflag & PARENB) {
        const bool odd = cflag & PARODD;
        line |= (cflag & CMSPAR) ? (odd ? 0x28 : 0x38) : (odd ? 0x08 : 0x18);
    }
    return line;
}

int wordLengthOf(unsigned cflag)
{
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

class LineRun {
public:
    // Runs the program over `rows`; for each, the line-control byte the
    // device server had when the row's marker arrived.
    void run(TcpPeer& peer, const std::string& program, const std::string& path, const std::vector<unsigned>& rows,
        std::uint8_t deviceLine)
    {
        std::vector<std::string> argv { kPython, program, path };
        for (unsigned bits : rows) {
            std::ostringstream octal;
            octal << std::oct << bits;
            argv.push_back(octal.str());
        }
        auto child = platform::ChildProcess::start(argv, true);
        ASSERT_TRUE(child.ok());
        Bytes stream;
        std::size_t seen = 0;
        for (std::size_t row = 0; row < rows.size(); ++row) {
            const auto line = child->readLine(60s);
            ASSERT_TRUE(line.ok()) << "row " << row << ": the program stopped";
            std::istringstream words(*line);
            std::size_t index = 0;
            std::string result, back;
            words >> index >> result >> back;
            ASSERT_EQ(index, row) << *line;
            // The marker, then the line control in effect before it.
            const std::uint8_t marker = static_cast<std::uint8_t>(0x40 + row);
            bool arrived = false;
            ASSERT_TRUE(eventually(
                [&] {
                    const Bytes more = peer.receive(65536, 100ms);
                    stream.insert(stream.end(), more.begin(), more.end());
                    const auto all = packets(stream);
                    for (; seen < all.size() && !arrived; ++seen) {
                        const auto& [type, payload] = all[seen];
                        if (type == 0x33 && payload.size() >= 2 && payload[0] == 0x19)
                            deviceLine = payload[1];
                        else if (type == 0x33 && payload.size() >= 3 && payload[0] == 0x15)
                            deviceLine = payload[2];
                        else if (type == 0x32 && !payload.empty()) {
                            EXPECT_EQ(payload, Bytes { marker });
                            arrived = true;
                        }
                    }
                    return arrived;
                },
                60s))
                << "row " << row << ": no marker";
            const Bytes echo { 0x32, 0x00, 0x01, marker };
            ASSERT_TRUE(peer.send(echo));
            rowsSeen.push_back({ rows[row], static_cast<unsigned>(std::stoul(back, nullptr, 8)), result });
            deviceLines.push_back(deviceLine);
        }
        EXPECT_EQ(child->wait(60s).value_or(-1), 0);
    }

    std::vector<Row> rowsSeen;
    std::vector<std::uint8_t> deviceLines;
};

std::string octalText(unsigned bits)
{
    std::ostringstream text;
    text << "0" << std::oct << bits;
    return text.str();
}

} // namespace

// Data bits 5-8, every parity, one and two stop bits (1.5 at CS5): what the
// program reads back after each is the line the device server has.
TEST_F(VorpildPtyLine, TheDeviceServerHasTheLineTheProgramReadsBack)
{
    startDaemon();
    TcpListener device;
    addPort(device.port(), true, false);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    const std::string program = script("line.py", kProgram);
    const std::vector<unsigned> sizes { CS5, CS6, CS7, CS8 };
    const std::vector<unsigned> parities { 0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR };
    std::vector<unsigned> rows;
    for (unsigned size : sizes)
        for (unsigned parity : parities)
            for (unsigned stop : { 0u, static_cast<unsigned>(CSTOPB) })
                rows.push_back(size | parity | stop);
    // Ending at one stop bit, for the word length `devcon serial` sets next.
    rows.push_back(CS8);

    LineRun run;
    run.run(*peer, program, port(), rows, 0x03);
    ASSERT_EQ(run.deviceLines.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = run.rowsSeen[i];
        EXPECT_EQ(run.deviceLines[i], lineControl(row.back, wordLengthOf(row.back)))
            << "set " << octalText(row.bits) << " (" << row.result << "), read back " << octalText(row.back);
    }

    // 5 data bits given to the port by devcon: CSTOPB is then 1.5 stop bits
    // at the device server, and clearing it is one again.
    ASSERT_EQ(devcon({ "serial", "COM5", "--data-bits", "5", "--stop-bits", "1" }).code, 0);
    LineRun five;
    five.run(*peer, program, port(), { CS5 | CSTOPB, CS5 }, 0x00);
    ASSERT_EQ(five.deviceLines.size(), 2u);
    EXPECT_EQ(five.deviceLines[0], 0x04) << "5 data bits, 1.5 stop bits";
    EXPECT_EQ(five.deviceLines[1], 0x00) << "5 data bits, 1 stop bit";
}

// A rate the port refuses (250000: the device server's packet has no code
// for it) reads back as the rate the line keeps, as on the character
// device; the terminal alone would hold any rate it is given.
TEST_F(VorpildPtyLine, ARefusedRateReadsBackAsTheRateTheLineKeeps)
{
    startDaemon();
    TcpListener device;
    addPort(device.port(), true, false);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    const std::string program = script("rate.py", R"(import fcntl, os, struct, sys, time
TCGETS2, TCSETS2, BOTHER, CBAUD, LAYOUT = 0x802C542A, 0x402C542B, 0o010000, 0o010017, "IIIIB19sII"
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
def get():
    return list(struct.unpack(LAYOUT, fcntl.ioctl(fd, TCGETS2, bytes(struct.calcsize(LAYOUT)))))
fields = get()
fields[2] = (fields[2] & ~CBAUD) | BOTHER
fields[6] = fields[7] = 250000
fcntl.ioctl(fd, TCSETS2, struct.pack(LAYOUT, *fields))
deadline = time.monotonic() + 30
while get()[7] == 250000 and time.monotonic() < deadline:
    time.sleep(0.05)
print(get()[7])
)");
    const ToolRun result = run({ kPython, program, port() });
    EXPECT_EQ(result.code, 0) << result.output;
    EXPECT_EQ(result.output, "9600\n");
}
