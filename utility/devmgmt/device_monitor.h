#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/prompter.h"
#include "utility/devmgmt/device_monitor_row.h"
#include "utility/devmgmt/device_view.h"
#include "utility/devmgmt/monitor_history.h"

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace utility::devmgmt {

inline constexpr const char* kMonitorSocketFailed = "Failed to create Monitor socket!";
inline constexpr const char* kMonitorStarts = "Monitor function starts";
inline constexpr const char* kMonitorStops = "Monitor function stoped.";
inline constexpr const char* kMonitorIntervalNote = "( 3 ~ 3600 seconds)";

// A device to watch: its index in the device list, name and address.
struct MonitorTarget {
    std::size_t number = 0;
    std::string name;
    std::string ip;
};

// The interval as the field corrects it: 3..3600 seconds; text that is no
// number counts as 0.
unsigned clampMonitorInterval(long long seconds);
unsigned parseMonitorInterval(const std::string& text);

// The device monitor's controller. Polls its rows one after another with
// StatusQuery on its own socket, a cycle starting every interval seconds, and
// fills each row from the device's StatusReply.
class DeviceMonitor {
public:
    static constexpr platform::Duration kReplyTimeout = std::chrono::seconds(1);

    DeviceMonitor(
        platform::EventLoop& loop, platform::Prompter& prompter, std::uint16_t devicePort = kDeviceCommandPort);
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // Opens the socket on the local address and a free port; on failure shows
    // the message and keeps "Start" disabled.
    bool create(const std::string& localAddress);
    bool socketOpen() const { return m_socket.isOpen(); }
    platform::Endpoint localEndpoint() const { return m_socket.localEndpoint(); }

    // The interval from the application settings, clamped.
    void setInterval(unsigned seconds) { m_interval = clampMonitorInterval(seconds); }
    unsigned interval() const { return m_interval; }
    // The field was edited: the corrected value, also handed to the sink.
    unsigned editInterval(const std::string& text);
    void setIntervalSink(std::function<void(unsigned)> sink) { m_intervalSink = std::move(sink); }
    void setLogSink(std::function<void(const std::string&)> sink) { m_log = std::move(sink); }

    // The view was brought to the front: the checked rows of the device list,
    // unless running.
    void rebuild(const DeviceView& view);
    // The same from an explicit list (the command line).
    void rebuild(const std::vector<MonitorTarget>& targets);

    // "Start" / "Stop".
    void clickStart();
    bool running() const { return m_running; }
    bool startEnabled() const { return m_startEnabled; }
    const char* startLabel() const { return m_running ? "Stop" : "Start"; }

    const std::vector<MonitorRow>& rows() const { return m_rows; }
    // The devices' byte rates over the last cycles since "Start".
    const MonitorHistory& history() const { return m_history; }
    std::size_t currentRow() const { return m_current; }

    // After every change of what the view shows; `row` is the row changed, or
    // -1 for the whole list.
    void setChangedCallback(std::function<void(int row)> callback) { m_changed = std::move(callback); }
    // After every reply or timeout (the command line counts cycles with it).
    void setRowDoneCallback(std::function<void(std::size_t row)> callback) { m_rowDone = std::move(callback); }

private:
    void start();
    void stop();
    void startCycle();
    void queryRow();
    void onReadable();
    void replyTimeout();
    void cycleTimerFired();
    void rowDone();
    void changed(int row);
    void stopTimer(platform::TimerId& timer);

    platform::EventLoop& m_loop;
    platform::Prompter& m_prompter;
    std::uint16_t m_devicePort;
    platform::UdpSocket m_socket;
    unsigned m_interval = 3;
    bool m_running = false;
    bool m_startEnabled = false;
    std::vector<MonitorRow> m_rows;
    MonitorHistory m_history;
    std::size_t m_current = 0;
    std::size_t m_last = 0;
    std::string m_target;
    platform::TimerId m_cycleTimer = 0;
    platform::TimerId m_replyTimer = 0;
    bool m_cycleFired = false;
    std::function<void(unsigned)> m_intervalSink;
    std::function<void(const std::string&)> m_log;
    std::function<void(int)> m_changed;
    std::function<void(std::size_t)> m_rowDone;
};

} // namespace utility::devmgmt
