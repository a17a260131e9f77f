#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/result.h"
#include "platform/tcp_socket.h"

#include <cstdint>
#include <functional>
#include <list>
#include <string>

namespace sim::devsim {

// A device's small web server: every GET (any path) gets one HTML page made
// at that moment, and the connection is closed after the answer. Enough for
// a browser pointed at "http://" and the device's address.
class StatusPage {
public:
    using PageMaker = std::function<std::string()>;

    StatusPage(platform::EventLoop& loop, PageMaker page);
    ~StatusPage();
    StatusPage(const StatusPage&) = delete;
    StatusPage& operator=(const StatusPage&) = delete;

    platform::Result<void> start(platform::Ipv4 address, std::uint16_t port);
    void stop();
    bool running() const { return m_listener.isOpen(); }
    std::uint16_t port() const { return m_listener.localEndpoint().port; }

private:
    struct Connection {
        platform::TcpSocket socket;
        std::string request;
        std::string reply;
        std::size_t sent = 0;
        bool answering = false;
    };
    void onAccept();
    void onConnection(Connection& connection, unsigned events);
    void drop(Connection& connection);

    platform::EventLoop& m_loop;
    PageMaker m_page;
    platform::TcpListener m_listener;
    std::list<Connection> m_connections;
};

// "<" ">" "&" and quotes as HTML entities.
std::string escapeHtml(const std::string& text);

} // namespace sim::devsim
