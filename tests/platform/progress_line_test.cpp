#include "platform/progress_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

using namespace std::chrono_literals;
using platform::ProgressLine;

namespace {

struct Output {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file { std::tmpfile(), std::fclose };
    std::string text()
    {
        std::fflush(file.get());
        std::rewind(file.get());
        std::string read;
        char buffer[256];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;)
            read.append(buffer, n);
        return read;
    }
};

const platform::TimePoint kStart = platform::TimePoint {} + 1h;

// What each step reports, twice a second: a search, then a countdown.
void runSteps(ProgressLine& line)
{
    line.show("Searching", "Searching: 0 found, 1 s left", kStart);
    line.show("Searching", "Searching: 1 found, 1 s left", kStart + 500ms);
    line.show("Waiting", "Waiting: 3 s left", kStart + 1s);
    line.show("Waiting", "Waiting: 3 s left", kStart + 1500ms);
    line.show("Waiting", "Waiting: 2 s left", kStart + 2s);
    line.show("Waiting", "Waiting: 1 s left", kStart + 3s);
}

} // namespace

TEST(ProgressLine, ATerminalGetsOneLineRewrittenPerStepAFileOneLinePerStep)
{
    {
        Output out;
        ProgressLine line(out.file.get(), true);
        runSteps(line);
        line.end();
        EXPECT_EQ(out.text(),
            "\rSearching: 0 found, 1 s left\x1b[K\rSearching: 1 found, 1 s left\x1b[K\n"
            "\rWaiting: 3 s left\x1b[K\rWaiting: 2 s left\x1b[K\rWaiting: 1 s left\x1b[K\n");
    }
    {
        Output out;
        ProgressLine line(out.file.get(), false);
        runSteps(line);
        line.end();
        EXPECT_EQ(out.text(), "Searching: 0 found, 1 s left\nWaiting: 3 s left\n");
    }
}

TEST(ProgressLine, RewritesComeAtMostEvery100MsAndTheLastTextIsShownAtTheEnd)
{
    Output out;
    ProgressLine line(out.file.get(), true);
    for (int block = 0; block <= 10; ++block)
        line.show("Sending", "Sending: " + std::to_string(block * 512) + " bytes", kStart + block * 30ms);
    // Held back at 300 ms (last shown at 240 ms), shown when the line ends.
    line.end();
    line.end(); // an ended line is not ended twice
    EXPECT_EQ(out.text(),
        "\rSending: 0 bytes\x1b[K\rSending: 2048 bytes\x1b[K\rSending: 4096 bytes\x1b[K\rSending: 5120 bytes\x1b[K\n");
}

TEST(ProgressLine, AStepGoingOnAfterAnEndedLineStartsANewOneAndLongTextsAreCut)
{
    Output out;
    ProgressLine line(out.file.get(), true, 12);
    line.show("Waiting", "Waiting: 3 s left", kStart);
    line.end(); // a message is printed here
    line.show("Waiting", "Waiting: 2 s", kStart + 1s);
    line.end();
    EXPECT_EQ(out.text(), "\rWaiting: 3 \x1b[K\n\rWaiting: 2 \x1b[K\n");
}

TEST(ProgressLine, TimeLeftIsRoundedUpAndBytesGiveTheirShare)
{
    EXPECT_EQ(ProgressLine::leftText(0s), "0 s left");
    EXPECT_EQ(ProgressLine::leftText(-3s), "0 s left");
    EXPECT_EQ(ProgressLine::leftText(1ms), "1 s left");
    EXPECT_EQ(ProgressLine::leftText(1s), "1 s left");
    EXPECT_EQ(ProgressLine::leftText(14001ms), "15 s left");
    EXPECT_EQ(ProgressLine::bytesText(51200, 131072), "51200 of 131072 bytes (39 %)");
    EXPECT_EQ(ProgressLine::bytesText(0, 0), "0 of 0 bytes (100 %)");
    EXPECT_EQ(ProgressLine::bytesText(16777215, 16777215), "16777215 of 16777215 bytes (100 %)");
}
