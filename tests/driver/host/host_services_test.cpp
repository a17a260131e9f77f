#include "driver/host/host.h"

#include "tests/support/eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace common;
using namespace std::chrono_literals;
using namespace driver::host;

TEST(HostEvent, NotificationStaysSetSynchronizationReleasesOneWaiter)
{
    platform::FakeClock clock;
    Event notification(Event::Kind::Notification);
    const auto start = clock.now();
    EXPECT_FALSE(notification.waitFor(clock, 2s));
    EXPECT_GE(clock.now() - start, 2s);
    notification.set();
    EXPECT_TRUE(notification.waitFor(clock, 0s));
    EXPECT_TRUE(notification.isSet());

    Event synchronization(Event::Kind::Synchronization, true);
    EXPECT_TRUE(synchronization.waitFor(clock, 0s));
    EXPECT_FALSE(synchronization.isSet());
}

TEST(HostTimer, DeferredProcedureRunsOnceAtRaisedLevelAndCancelStopsIt)
{
    platform::FakeClock clock;
    TimerService service(clock);
    KernelTimer cancelled(service);
    KernelTimer timer(service);
    std::atomic<int> cancelledRuns { 0 };
    EXPECT_FALSE(cancelled.set(50ms, [&] { ++cancelledRuns; }));
    EXPECT_TRUE(cancelled.cancel());
    EXPECT_FALSE(cancelled.cancel());

    Event fired;
    std::atomic<bool> raised { false };
    const auto start = clock.now();
    EXPECT_FALSE(timer.set(100ms, [&] {
        raised = atRaisedLevel();
        fired.set();
    }));
    fired.wait();
    EXPECT_GE(clock.now() - start, 100ms);
    EXPECT_TRUE(raised);
    EXPECT_FALSE(timer.armed());
    EXPECT_EQ(cancelledRuns, 0);
}

TEST(HostTimer, DestroyingATimerWaitsForItsRunningProcedure)
{
    platform::FakeClock clock;
    TimerService service(clock);
    auto timer = std::make_unique<KernelTimer>(service);
    Event entered;
    Event release;
    std::atomic<bool> finished { false };
    timer->set(1ms, [&] {
        entered.set();
        release.wait();
        finished = true;
    });
    entered.wait();
    std::thread releaser([&] {
        std::this_thread::sleep_for(10ms);
        release.set();
    });
    timer.reset();
    EXPECT_TRUE(finished);
    releaser.join();
}

TEST(HostWorkItem, QueuesOnceRunsOnceAndAFreedItemNeverRuns)
{
    WorkerPool pool(1);
    Event blockerRunning;
    Event release;
    pool.post([&] {
        blockerRunning.set();
        release.wait();
    });
    blockerRunning.wait();

    std::atomic<int> runs { 0 };
    WorkItem item(pool);
    EXPECT_TRUE(item.queue([&] { ++runs; }));
    EXPECT_FALSE(item.queue([&] { runs += 100; })) << "already queued";
    auto freed = std::make_unique<WorkItem>(pool);
    std::atomic<int> freedRuns { 0 };
    freed->queue([&] { ++freedRuns; });
    freed.reset();
    release.set();
    pool.drain();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(freedRuns, 0);

    // A job may queue its own item again.
    std::atomic<int> again { 0 };
    std::function<void()> requeue = [&] {
        if (++again < 3)
            item.queue(requeue);
    };
    item.queue(requeue);
    while (again < 3 || item.queued())
        pool.drain();
    EXPECT_EQ(again, 3);
}

TEST(HostWorkItem, FreeingWaitsForEveryRunOfAnItemQueuedAgainWhileItRan)
{
    // Queued again while its routine runs, an item runs a second time on
    // another worker, at the same time. Freeing it must wait for both runs:
    // the routines use what the item's owner frees next.
    WorkerPool pool(2);
    Event firstRunning;
    Event releaseFirst;
    Event secondRunning;
    Event releaseSecond;
    auto item = std::make_unique<WorkItem>(pool);
    ASSERT_TRUE(item->queue([&] {
        firstRunning.set();
        releaseFirst.wait();
    }));
    firstRunning.wait();
    ASSERT_TRUE(item->queue([&] {
        secondRunning.set();
        releaseSecond.wait();
    }));
    secondRunning.wait();

    std::atomic<bool> freed { false };
    std::thread freer([&] {
        item.reset();
        freed = true;
    });
    releaseFirst.set();
    EXPECT_FALSE(testing_support::eventually([&] { return freed.load(); }, 300ms))
        << "the item was freed while its second run still went on";
    releaseSecond.set();
    freer.join();
    EXPECT_TRUE(freed);
}

TEST(HostWorkerPool, OnePortsBlockedJobsNeverTakeEveryWorker)
{
    // A port whose item is queued again and again while each run blocks (a
    // send to a peer that reads nothing) gets its share of the workers, and
    // another port's job still runs at once.
    WorkerPool pool(4);
    ASSERT_EQ(pool.share(), 2);
    int stuckPort = 0;
    int otherPort = 0;
    std::atomic<int> running { 0 };
    std::atomic<int> most { 0 };
    Event release;
    WorkItem stuck(pool, &stuckPort);
    auto blocking = [&] {
        const int now = ++running;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) { }
        release.wait();
        --running;
    };
    for (int i = 0; i < 20; ++i) {
        (void)stuck.queue(blocking);
        (void)testing_support::eventually([&] { return !stuck.queued() || running.load() >= pool.share(); }, 2s);
    }
    EXPECT_EQ(running.load(), pool.share());
    Event otherRan;
    WorkItem other(pool, &otherPort);
    ASSERT_TRUE(other.queue([&] { otherRan.set(); }));
    EXPECT_TRUE(testing_support::eventually([&] { return otherRan.isSet(); }, 20s)) << "every worker was taken";
    release.set();
    pool.drain();
    EXPECT_EQ(most.load(), pool.share());
}

TEST(HostWorkerPool, PortsBlockedAtOnceNeverHoldBackAnotherPortsJob)
{
    // Two ports each have their share of the workers blocked (a device
    // server and a hostile server that read nothing, each with a control
    // send waiting); a third port's job (a resume, a reconnection) still
    // runs at once, and the workers started for it are counted.
    WorkerPool pool(4, WorkerPool::kMostWorkers);
    ASSERT_EQ(pool.share(), 2);
    int stalledA = 0;
    int stalledB = 0;
    int otherPort = 0;
    std::atomic<int> running { 0 };
    Event release;
    std::vector<std::unique_ptr<WorkItem>> items;
    for (const void* owner : { static_cast<const void*>(&stalledA), static_cast<const void*>(&stalledB) }) {
        for (int i = 0; i < 3; ++i) {
            items.push_back(std::make_unique<WorkItem>(pool, owner));
            ASSERT_TRUE(items.back()->queue([&] {
                ++running;
                release.wait();
                --running;
            }));
        }
    }
    ASSERT_TRUE(testing_support::eventually([&] { return running.load() == 2 * pool.share(); }, 20s));
    Event otherRan;
    WorkItem other(pool, &otherPort);
    ASSERT_TRUE(other.queue([&] { otherRan.set(); }));
    EXPECT_TRUE(testing_support::eventually([&] { return otherRan.isSet(); }, 20s)) << "every worker was taken";
    // The shares still hold: the third job of each blocked port waits.
    EXPECT_EQ(running.load(), 2 * pool.share());
    EXPECT_LE(pool.workers(), 2 * pool.share() + 1);
    release.set();
    pool.drain();
    EXPECT_EQ(running.load(), 0);
}

TEST(HostPortLocksDeathTest, OnlyCounterUnderDataIsAllowed)
{
    PortLock state(LockRank::State);
    PortLock counter(LockRank::Counter);
    PortLock data(LockRank::Data);
    {
        std::lock_guard outer(data);
        std::lock_guard inner(counter);
        EXPECT_TRUE(PortLock::heldByThisThread(LockRank::Counter));
    }
    EXPECT_FALSE(PortLock::heldByThisThread(LockRank::Data));
    EXPECT_DEATH(
        {
            std::lock_guard outer(counter);
            std::lock_guard inner(data);
        },
        "nesting");
    EXPECT_DEATH(
        {
            std::lock_guard outer(data);
            std::lock_guard inner(state);
        },
        "nesting");
    EXPECT_DEATH(
        {
            std::lock_guard outer(state);
            std::lock_guard inner(counter);
        },
        "nesting");
    PortLock otherData(LockRank::Data);
    EXPECT_DEATH(
        {
            std::lock_guard outer(data);
            std::lock_guard inner(otherData);
        },
        "nesting");
}

namespace {

// A function driver that forwards every plug-and-play request with a wait,
// and records what the bus answered.
class ForwardingDriver final : public Driver {
public:
    NtStatus addDevice(Host& host, DeviceNode& node) override
    {
        DevicePtr device;
        NtStatus status = host.createDevice(
            *this, "\\Device\\Forwarding" + std::to_string(m_count++), 0x22, 0, false, nullptr, device);
        if (!ntSuccess(status))
            return status;
        m_lower = host.attachDevice(*device, node.physicalDevice());
        m_host = &host;
        std::string link;
        host.registerDeviceInterface(node, "{11111111-2222-3333-4444-555555555555}", link);
        m_links.push_back(link);
        return kStatusSuccess;
    }
    NtStatus dispatch(Device& device, const RequestPtr& request) override
    {
        if (request->major() == MajorFunction::Create || request->major() == MajorFunction::Close
            || request->major() == MajorFunction::Cleanup) {
            request->complete(kStatusSuccess);
            return kStatusSuccess;
        }
        const NtStatus status = m_host->forwardAndWait(*device.lower(), request);
        lowerStatuses.push_back(status);
        if (request->pnpMinor() == PnpMinor::StartDevice)
            m_host->setDeviceInterfaceState(m_links.back(), true);
        if (request->pnpMinor() == PnpMinor::RemoveDevice) {
            request->complete(status);
            Device* lower = device.lower();
            m_host->detachDevice(*lower);
            m_host->deleteDevice(device);
            return status;
        }
        request->complete(status);
        return status;
    }
    std::vector<NtStatus> lowerStatuses;

private:
    Host* m_host = nullptr;
    Device* m_lower = nullptr;
    int m_count = 0;
    std::vector<std::string> m_links;
};

} // namespace

TEST(HostPnp, ForwardWithWaitKeepsTheRequestForTheFunctionDriver)
{
    ForwardingDriver driver;
    Host host;
    host.registerDriver("TEST\\Forwarding", driver);
    ASSERT_EQ(host.start(), kStatusSuccess);
    std::string first;
    std::string second;
    ASSERT_EQ(host.installNode("TEST\\Forwarding", &first), kStatusSuccess);
    host.faults().failNth(HostOp::LowerStart, 1, kStatusUnsuccessful);
    EXPECT_EQ(host.installNode("TEST\\Forwarding", &second), kStatusUnsuccessful);
    ASSERT_EQ(host.installNode("test\\forwarding", &second), kStatusSuccess) << "hardware IDs ignore case";
    EXPECT_EQ(first, "ROOT\\PORTS\\0000");
    EXPECT_EQ(second, "ROOT\\PORTS\\0002");
    EXPECT_EQ(driver.lowerStatuses[0], kStatusSuccess);
    EXPECT_EQ(driver.lowerStatuses[1], kStatusUnsuccessful);

    EXPECT_EQ(host.interfacePaths("{11111111-2222-3333-4444-555555555555}"),
        (std::vector<std::string> { "\\\\?\\root#ports#0000#{11111111-2222-3333-4444-555555555555}",
            "\\\\?\\root#ports#0002#{11111111-2222-3333-4444-555555555555}" }));
    std::unique_ptr<FileHandle> handle;
    EXPECT_EQ(host.open("\\\\?\\root#ports#0002#{11111111-2222-3333-4444-555555555555}", handle), kStatusSuccess);
    handle->close();
    EXPECT_EQ(host.removeNode(second), kStatusSuccess);
    EXPECT_EQ(host.interfacePaths("{11111111-2222-3333-4444-555555555555}").size(), 1u);
    EXPECT_EQ(
        host.open("\\\\?\\root#ports#0002#{11111111-2222-3333-4444-555555555555}", handle), kStatusObjectNameNotFound);
    std::uint32_t uiNumber = 99;
    EXPECT_EQ(host.queryUiNumber(*host.findNode(first), uiNumber), kStatusSuccess);
    EXPECT_EQ(uiNumber, 0u);
}

TEST(HostRequest, ACompletionRoutineCanKeepTheRequestForASecondCompletion)
{
    auto request = Request::make(MajorFunction::Power);
    int routineRuns = 0;
    request->setCompletionRoutine([&](Request&) {
        ++routineRuns;
        return false;
    });
    request->complete(kStatusCancelled);
    EXPECT_FALSE(request->finished());
    EXPECT_EQ(request->status(), kStatusCancelled);
    request->complete(kStatusSuccess, 3);
    EXPECT_TRUE(request->finished());
    EXPECT_EQ(request->information(), 3u);
    EXPECT_EQ(routineRuns, 1);
    EXPECT_DEATH(request->complete(kStatusSuccess), "completed twice");
}
