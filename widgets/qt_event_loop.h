#pragma once

#include "platform/event_loop.h"

#include <QObject>

#include <map>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace widgets {

// The EventLoop of a GUI thread: timers are QTimers, fd watches are socket
// notifiers, posted calls are queued events. Controllers written against
// platform::EventLoop run unchanged under Qt.
class QtEventLoop final : public QObject, public platform::EventLoop {
    Q_OBJECT
public:
    explicit QtEventLoop(platform::Clock& clock = platform::RealClock::instance(), QObject* parent = nullptr);
    ~QtEventLoop() override;

    platform::TimerId startTimer(platform::Duration period, Callback callback) override;
    void killTimer(platform::TimerId id) override;
    bool timerActive(platform::TimerId id) const override;
    void watchFd(int fd, unsigned events, IoCallback callback) override;
    void unwatchFd(int fd) override;
    void post(Callback callback) override;
    int run() override;
    void quit(int code = 0) override;
    platform::Clock& clock() override { return m_clock; }

private:
    struct Watch {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
        std::shared_ptr<IoCallback> callback;
    };

    platform::Clock& m_clock;
    platform::TimerId m_nextId = 1;
    std::map<platform::TimerId, QTimer*> m_timers;
    std::map<int, Watch> m_watches;
};

} // namespace widgets
