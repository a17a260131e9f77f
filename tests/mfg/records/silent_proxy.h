#pragma once

// A PostgreSQL server's Unix socket forwarded through another folder's
// socket, byte for byte, until told to go silent: then it neither reads nor
// writes nor closes, as a network that stops carrying packets.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class SilentProxy {
public:
    // Listens on FOLDER/.s.PGSQL.5432 and forwards to the server's socket in
    // `serverFolder`.
    SilentProxy(const std::string& folder, const std::string& serverFolder);
    ~SilentProxy();
    SilentProxy(const SilentProxy&) = delete;
    SilentProxy& operator=(const SilentProxy&) = delete;

    bool listening() const { return m_listener >= 0; }
    void setForwarding(bool forwarding) { m_forwarding = forwarding; }
    // Connections taken so far (also while silent).
    int accepted() const { return m_accepted; }

private:
    void serve();

    std::string m_server;
    int m_listener = -1;
    int m_wake[2] = { -1, -1 };
    std::atomic<bool> m_forwarding { true };
    std::atomic<bool> m_stop { false };
    std::atomic<int> m_accepted { 0 };
    std::thread m_thread;
};

} // namespace testing_support
