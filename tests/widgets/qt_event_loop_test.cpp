#include "widgets/qt_event_loop.h"

#include "platform/net.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

namespace {

int argc = 1;
char name[] = "widgets_tests";
char* argv[] = { name, nullptr };

QCoreApplication& app()
{
    static QCoreApplication application(argc, argv);
    return application;
}

} // namespace

TEST(QtEventLoop, TimersRepeatUntilKilledAndPostsArriveFromOtherThreads)
{
    app();
    widgets::QtEventLoop loop;
    int ticks = 0;
    platform::TimerId id = 0;
    id = loop.startTimer(1ms, [&] {
        if (++ticks == 3) {
            loop.killTimer(id);
            std::thread([&] { loop.post([&] { loop.quit(5); }); }).detach();
        }
    });
    EXPECT_EQ(loop.run(), 5);
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(loop.timerActive(id));
}

TEST(QtEventLoop, SocketWatchDeliversADatagram)
{
    app();
    widgets::QtEventLoop loop;
    auto receiver = platform::UdpSocket::open();
    auto sender = platform::UdpSocket::open();
    ASSERT_TRUE(receiver.ok() && sender.ok());
    ASSERT_TRUE(receiver->bind("127.0.0.1", 0).ok());
    std::string got;
    loop.watchFd(receiver->fd(), platform::kIoRead, [&](unsigned) {
        std::uint8_t buffer[16];
        platform::Endpoint from;
        if (auto n = receiver->receiveFrom(buffer, from); n.ok())
            got.assign(reinterpret_cast<char*>(buffer), *n);
        loop.unwatchFd(receiver->fd());
        loop.quit(0);
    });
    const std::uint8_t payload[] = { 'o', 'k' };
    ASSERT_TRUE(sender->sendTo(receiver->localEndpoint(), payload).ok());
    loop.startTimer(5s, [&] { loop.quit(1); }); // guard against a hang
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(got, "ok");
}
