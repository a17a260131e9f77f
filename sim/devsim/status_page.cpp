#include "sim/devsim/status_page.h"

#include <cerrno>

namespace sim::devsim {
namespace {

// A request header longer than this is not one a browser sends; the
// connection is answered with what arrived so far.
constexpr std::size_t kRequestLimit = 8192;

} // namespace

std::string escapeHtml(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

StatusPage::StatusPage(platform::EventLoop& loop, PageMaker page)
    : m_loop(loop)
    , m_page(std::move(page))
{
}

StatusPage::~StatusPage() { stop(); }

platform::Result<void> StatusPage::start(platform::Ipv4 address, std::uint16_t port)
{
    stop();
    SUITE_TRY_ASSIGN(auto listener, platform::TcpListener::listen(address, port));
    m_listener = std::move(listener);
    m_loop.watchFd(m_listener.fd(), platform::kIoRead, [this](unsigned) { onAccept(); });
    return {};
}

void StatusPage::stop()
{
    for (auto& connection : m_connections)
        m_loop.unwatchFd(connection.socket.fd());
    m_connections.clear();
    if (m_listener.isOpen()) {
        m_loop.unwatchFd(m_listener.fd());
        m_listener.close();
    }
}

void StatusPage::onAccept()
{
    while (true) {
        platform::Endpoint peer;
        auto accepted = m_listener.accept(peer);
        if (!accepted.ok())
            return;
        m_connections.push_back(Connection { std::move(accepted.value()), {}, {}, 0, false });
        Connection& connection = m_connections.back();
        m_loop.watchFd(connection.socket.fd(), platform::kIoRead,
            [this, &connection](unsigned events) { onConnection(connection, events); });
    }
}

void StatusPage::drop(Connection& connection)
{
    m_loop.unwatchFd(connection.socket.fd());
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it)
        if (&*it == &connection) {
            m_connections.erase(it);
            return;
        }
}

void StatusPage::onConnection(Connection& connection, unsigned events)
{
    if (!connection.answering) {
        std::uint8_t buffer[1024];
        auto received = connection.socket.receive(buffer);
        if (!received.ok()) {
            if (received.error().code != EAGAIN)
                drop(connection);
            return;
        }
        if (*received == 0) {
            drop(connection);
            return;
        }
        connection.request.append(reinterpret_cast<const char*>(buffer), *received);
        if (connection.request.find("\r\n\r\n") == std::string::npos && connection.request.size() < kRequestLimit)
            return;
        const bool head = connection.request.rfind("HEAD ", 0) == 0;
        const std::string body = m_page();
        connection.reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
            + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + (head ? std::string() : body);
        connection.answering = true;
        m_loop.unwatchFd(connection.socket.fd());
        m_loop.watchFd(connection.socket.fd(), platform::kIoWrite,
            [this, &connection](unsigned ready) { onConnection(connection, ready); });
        return;
    }
    (void)events;
    const auto* data = reinterpret_cast<const std::uint8_t*>(connection.reply.data()) + connection.sent;
    auto sent = connection.socket.send({ data, connection.reply.size() - connection.sent });
    if (!sent.ok()) {
        if (sent.error().code != EAGAIN)
            drop(connection);
        return;
    }
    connection.sent += *sent;
    if (connection.sent >= connection.reply.size()) {
        (void)connection.socket.shutdownSend();
        drop(connection);
    }
}

} // namespace sim::devsim
