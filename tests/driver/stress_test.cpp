#include "common/serial_ioctl.h"
#include "tests/driver/port_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace common;
using namespace driver_testing;
using driver::host::Request;
using driver::host::RequestPtr;

namespace {

// One application thread's mix of serial requests, until the port refuses them.
void issueRequests(
    driver::host::FileHandle& handle, int seed, std::atomic<int>& completed, std::vector<RequestPtr>& waits)
{
    const std::uint32_t rates[] = { 9600, 115200, 300 };
    for (int i = 0;; ++i) {
        NtStatus status = kStatusSuccess;
        switch ((i + seed) % 6) {
        case 0:
            status = handle.deviceIoControl(kIoctlSerialSetBaudRate, le32({ rates[i % 3] }), 0).status;
            if (status == kStatusInvalidParameter)
                status = kStatusSuccess;
            break;
        case 1:
            status
                = handle.deviceIoControl(kIoctlSerialSetLineControl, std::vector<std::uint8_t> { 0, 0, 8 }, 0).status;
            break;
        case 2:
            status = handle.deviceIoControl(kIoctlSerialSetDtr, {}, 0).status;
            break;
        case 3:
            status = handle.deviceIoControl(kIoctlSerialGetCommStatus, {}, 20).status;
            break;
        case 4:
            status = handle.deviceIoControl(kIoctlSerialSetWaitMask, le32({ kSerialEvCts }), 0).status;
            break;
        case 5: {
            auto wait = Request::makeDeviceControl(kIoctlSerialWaitOnMask, {}, 4);
            status = handle.submit(wait);
            waits.push_back(wait);
            if (status == kStatusPending || status == kStatusInvalidParameter)
                status = kStatusSuccess;
            break;
        }
        }
        if (status == kStatusInvalidDeviceState)
            return; // the port is gone
        EXPECT_EQ(status, kStatusSuccess);
        ++completed;
    }
}

} // namespace

TEST(PortStress, RequestsRacingASurpriseRemovalAllCompleteOnce)
{
    for (int round = 0; round < 5; ++round) {
        PortHarness harness;
        ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
        auto handle = harness.open("COM5");
        ASSERT_NE(handle, nullptr);
        auto* port = harness.port(11);

        std::atomic<int> completed { 0 };
        std::atomic<bool> transportOpen { true };
        std::vector<std::vector<RequestPtr>> waits(4);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] { issueRequests(*handle, t, completed, waits[t]); });
        std::thread transport([&] {
            const std::uint8_t report[] = { 0x33, 0x00, 0x03, 0x81, 0x11, 0x03 };
            while (transportOpen) {
                driver::host::RaisedLevelScope receiveHandler;
                driver::reportModemStatus(*port, report);
                std::this_thread::yield();
            }
        });
        while (completed < 200)
            std::this_thread::yield();
        ASSERT_EQ(harness.host().surpriseRemoveNode("ROOT\\PORTS\\0000"), kStatusSuccess);
        for (auto& thread : threads)
            thread.join();
        transportOpen = false;
        transport.join();
        handle->close(); // completes a pending wait; the remove follows

        EXPECT_EQ(harness.port(11), nullptr);
        EXPECT_TRUE(port->goneEvent.isSet());
        EXPECT_EQ(port->requestCount, 0);
        EXPECT_EQ(port->pendingWait, nullptr);
        for (const auto& list : waits) {
            for (const auto& wait : list)
                EXPECT_TRUE(wait->finished());
        }
    }
}

TEST(PortStress, OpenAndCloseRacingQueryRemoveNeverLeaveAHandleOnARemovedPort)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    std::atomic<bool> removed { false };
    std::atomic<int> opens { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            while (!removed) {
                NtStatus status = 0;
                auto handle = harness.open("COM5", &status);
                if (!handle)
                    continue;
                ++opens;
                const auto reply = handle->deviceIoControl(kIoctlSerialGetBaudRate, {}, 4);
                EXPECT_TRUE(reply.status == kStatusSuccess || reply.status == kStatusInvalidDeviceState);
                handle->close();
            }
        });
    }
    while (opens < 50)
        std::this_thread::yield();
    NtStatus status = kStatusDeviceBusy;
    while (status == kStatusDeviceBusy)
        status = harness.host().removeNode("ROOT\\PORTS\\0000");
    EXPECT_EQ(status, kStatusSuccess);
    removed = true;
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(harness.port(11), nullptr);
    NtStatus late = 0;
    EXPECT_EQ(harness.open("COM5", &late), nullptr);
    EXPECT_EQ(late, kStatusObjectNameNotFound);
}
