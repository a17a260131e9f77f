#include "widgets/qt_event_loop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>

namespace widgets {

QtEventLoop::QtEventLoop(platform::Clock& clock, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
{
}

QtEventLoop::~QtEventLoop()
{
    for (auto& [id, timer] : m_timers)
        delete timer;
}

platform::TimerId QtEventLoop::startTimer(platform::Duration period, Callback callback)
{
    const platform::TimerId id = m_nextId++;
    auto* timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(period).count();
    timer->setInterval(static_cast<int>(ms > 0 ? ms : 1));
    auto shared = std::make_shared<Callback>(std::move(callback));
    connect(timer, &QTimer::timeout, this, [shared] { (*shared)(); });
    m_timers[id] = timer;
    timer->start();
    return id;
}

void QtEventLoop::killTimer(platform::TimerId id)
{
    auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    it->second->stop();
    // The timer may be killing itself from its own timeout.
    it->second->deleteLater();
    m_timers.erase(it);
}

bool QtEventLoop::timerActive(platform::TimerId id) const { return m_timers.count(id) != 0; }

void QtEventLoop::watchFd(int fd, unsigned events, IoCallback callback)
{
    unwatchFd(fd);
    Watch watch;
    watch.callback = std::make_shared<IoCallback>(std::move(callback));
    auto shared = watch.callback;
    if (events & platform::kIoRead) {
        watch.read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(watch.read.get(), &QSocketNotifier::activated, this, [shared] { (*shared)(platform::kIoRead); });
    }
    if (events & platform::kIoWrite) {
        watch.write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        connect(watch.write.get(), &QSocketNotifier::activated, this, [shared] { (*shared)(platform::kIoWrite); });
    }
    m_watches[fd] = std::move(watch);
}

void QtEventLoop::unwatchFd(int fd)
{
    auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    // A notifier may be unwatched from its own signal: delete it later.
    if (it->second.read) {
        it->second.read->setEnabled(false);
        it->second.read.release()->deleteLater();
    }
    if (it->second.write) {
        it->second.write->setEnabled(false);
        it->second.write.release()->deleteLater();
    }
    m_watches.erase(it);
}

void QtEventLoop::post(Callback callback)
{
    QMetaObject::invokeMethod(
        this, [callback = std::move(callback)] { callback(); }, Qt::QueuedConnection);
}

int QtEventLoop::run() { return QCoreApplication::exec(); }

void QtEventLoop::quit(int code)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

} // namespace widgets
