#include "utility/services/dhcp_view.h"

#include "platform/net.h"
#include "platform/text_file.h"

#include <array>
#include <cerrno>

namespace utility::services {

DhcpView::DhcpView(platform::EventLoop& loop, platform::Prompter& prompter)
    : m_loop(loop)
    , m_prompter(prompter)
    , m_timers(loop)
{
}

DhcpView::~DhcpView() = default;

void DhcpView::firstShown(const shell::AppSettings& settings, const std::string& localAddress, std::string mappingFile)
{
    m_running = false;
    m_server.clearPending();
    m_server.setFields({ settings.dhcpStart, settings.dhcpEnd, settings.dhcpGateway, settings.dhcpNetmask,
        settings.dhcpDns, settings.dhcpServer, settings.dhcpBootFile });
    m_localAddress = localAddress;
    // Without a usable selected address the identifier stays 0.0.0.0.
    m_server.setServerIdentifier(platform::parseIpv4(localAddress).value_or(0));
    m_mappingFile = std::move(mappingFile);
    m_deleteEnabled = false;
    m_deleteAllEnabled = false;
    m_selected = -1;

    // A missing file leaves the list empty. The whole file is read, however
    // long: the rows past a fixed buffer would otherwise be lost at the next
    // save. A file that is there but cannot be read (another user's, a
    // FIFO) is not written over with a list that lacks its rows: it is kept
    // as "dhcp.dat.bad" first, or, where that cannot be done, not written.
    m_server.setRows({});
    m_saver.setBase({});
    m_keepFile = false;
    if (auto text = platform::readFileBytes(m_mappingFile)) {
        m_server.setRows(parseDhcpFile(*text));
        m_saver.setBase(parseDhcpFile(*text));
    } else if (text.error().code != ENOENT) {
        keepUnreadableFile(text.error().message);
    }
    m_deleteAllEnabled = !m_server.rows().empty();
    changed();
}

bool DhcpView::setFields(const DhcpFields& fields)
{
    if (m_running)
        return false;
    m_server.setFields(fields);
    changed();
    return true;
}

void DhcpView::toggle()
{
    if (m_running)
        stop();
    else
        start();
    changed();
}

void DhcpView::start()
{
    // A range that cannot be served would start and never answer.
    const std::string refused = checkDhcpRange(m_server.fields(), m_server.serverIdentifier());
    if (!refused.empty()) {
        appendLog("DHCP server not started: " + refused + "\r\n");
        return;
    }
    auto socket = std::make_unique<ViewSocket>(m_loop, ViewSocketKind::Dhcp);
    const auto opened
        = socket->open(m_localAddress, kDhcpServerPort, ViewSocket::Binding::InterfaceOfAddress, [this] { receive(); });
    if (!opened) {
        appendLog("Failed to create socket!\r\n");
        std::string why = "UDP port 67 of " + m_localAddress + ": " + opened.error().message;
        if (opened.error().code == EACCES || opened.error().code == EPERM)
            why += " (ports below 1024 need root or the capability CAP_NET_BIND_SERVICE)";
        else if (opened.error().code == EADDRINUSE)
            why += " (another DHCP server runs)";
        appendLog(why + ".\r\n");
        return;
    }
    // Devices that come up together (a rack after a power cut) ask at once:
    // their requests wait here instead of being dropped and asked again a
    // second later. Less room than asked for is no reason not to serve.
    (void)socket->socket().setReceiveBuffer(1 << 20);
    m_socket = std::move(socket);
    const std::string message = "DHCP server @ " + m_localAddress + " is running on UDP port 67 successfully.";
    if (m_systemLog)
        m_systemLog(message);
    appendLog(message + "\r\n\r\n");
    m_running = true;
    m_server.buildPool();
    // Offers nobody takes give their addresses back even when no datagram
    // comes to notice it.
    m_timers.start(kExpiryTimer, std::chrono::seconds(1), [this] {
        if (m_server.expire(m_loop.clock().now()))
            listChanged();
    });
}

void DhcpView::stop()
{
    m_running = false;
    m_timers.kill(kExpiryTimer);
    m_socket.reset();
    const std::string message = "DHCP server stoped.";
    if (m_systemLog)
        m_systemLog(message);
    appendLog(message + "\r\n\r\n");
}

std::uint16_t DhcpView::boundPort() { return m_socket ? m_socket->socket().localEndpoint().port : 0; }

void DhcpView::receive()
{
    if (!m_socket)
        return;
    std::array<std::uint8_t, kDhcpBufferSize> datagram;
    platform::Endpoint sender;
    const auto received = m_socket->socket().receiveFrom(datagram, sender);
    if (!received)
        return;
    const auto outcome
        = m_server.handle(std::span<const std::uint8_t>(datagram.data(), *received), m_loop.clock().now());
    if (!outcome.reply.empty()) {
        // Clients without an address hear only broadcasts; the reply goes back
        // to the port the request came from. A failed send is not retried:
        // the client asks again.
        (void)m_socket->socket().sendTo(platform::Endpoint { outcome.destination, sender.port }, outcome.reply);
    }
    if (outcome.acked)
        m_deleteAllEnabled = true;
    if (!outcome.log.empty())
        appendLog(outcome.log);
    if (outcome.listChanged)
        listChanged();
    if (outcome.kind != DhcpKind::Ignore)
        changed();
}

void DhcpView::clickList(int row)
{
    m_selected = (row >= 0 && static_cast<std::size_t>(row) < m_server.rows().size()) ? row : -1;
    m_deleteEnabled = m_selected >= 0;
    changed();
}

void DhcpView::clickDelete()
{
    if (m_selected < 0 || !m_server.deleteRow(static_cast<std::size_t>(m_selected)))
        return;
    m_selected = -1;
    m_deleteEnabled = false;
    if (m_server.rows().empty())
        m_deleteAllEnabled = false;
    listChanged();
}

void DhcpView::clickDeleteAll()
{
    m_server.deleteAll();
    m_selected = -1;
    m_deleteEnabled = false;
    m_deleteAllEnabled = false;
    listChanged();
}

void DhcpView::listChanged()
{
    // Saved at once: a server killed, or its terminal closed, leaves a file
    // that knows every address it gave out.
    (void)saveMappingFile();
    if (m_server.rows().empty())
        m_deleteAllEnabled = false;
    changed();
}

bool DhcpView::handOver(shell::AppSettings& settings)
{
    handOverSettings(settings);
    return saveMappingFile();
}

void DhcpView::handOverSettings(shell::AppSettings& settings) const
{
    const DhcpFields& f = m_server.fields();
    settings.dhcpStart = f.start;
    settings.dhcpEnd = f.end;
    settings.dhcpGateway = f.gateway;
    settings.dhcpNetmask = f.netmask;
    settings.dhcpDns = f.dns;
    settings.dhcpServer = f.server;
    settings.dhcpBootFile = f.bootFile;
}

void DhcpView::keepUnreadableFile(const std::string& why)
{
    auto copy = platform::keepBadCopy(m_mappingFile);
    if (copy.ok()) {
        m_saver.setBase({}, true);
        appendLog(std::string(kDhcpFileName) + " could not be read (" + why + "); it is kept as " + *copy + "\r\n");
        return;
    }
    m_keepFile = true;
    appendLog(std::string(kDhcpFileName) + " could not be read (" + why + ") nor kept aside (" + copy.error().message
        + "); the list is not saved over it\r\n");
}

bool DhcpView::saveMappingFile()
{
    // Offers still waiting for their request are not kept: read back, they
    // would hold their addresses for good.
    const std::vector<DhcpMapping> rows = m_server.savedRows();
    if (!m_keepFile
        && (m_writer ? m_writer(m_mappingFile, formatDhcpFile(rows)) : m_saver.save(m_mappingFile, rows).ok())) {
        m_saveFailing = false;
        return true;
    }
    // Said once until a save succeeds again, not at every change.
    if (!m_saveFailing) {
        m_prompter.beep(5000, 100);
        m_prompter.message(kDhcpSaveFailed, "QELTA", platform::MessageIcon::Warning);
    }
    m_saveFailing = true;
    return false;
}

void DhcpView::appendLog(const std::string& text)
{
    m_log += text;
    if (m_logCallback)
        m_logCallback(text);
}

void DhcpView::changed()
{
    if (m_changed)
        m_changed();
}

} // namespace utility::services
