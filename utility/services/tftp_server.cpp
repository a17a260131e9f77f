#include "utility/services/tftp_server.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>

namespace utility::services {
namespace {

constexpr int kRetransmitTimer = 1;

std::string endpointText(const platform::Endpoint& endpoint)
{
    return platform::formatIpv4(endpoint.address) + " on port " + std::to_string(endpoint.port);
}

} // namespace

std::string tftpFolderProblem(const std::string& path)
{
    // What the settings hold until a folder is chosen is no choice.
    if (path.empty() || path == kTftpUnchosenFolder)
        return "no folder to serve files from is chosen";
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        return "the folder " + path + " does not exist";
    if (!std::filesystem::is_directory(path, error))
        return path + " is not a folder";
    std::filesystem::directory_iterator listing(path, error);
    if (error)
        return "the folder " + path + " cannot be read";
    return {};
}

// One transfer: its session with the session's own transfer socket (the
// server's transfer identifier for this client) and retransmission timer.
// Everything runs on the loop's thread.
class TftpServer::Transfer final : private TftpSessionHost {
public:
    explicit Transfer(TftpServer& server)
        : m_server(server)
        , m_id(server.m_nextTransferId++)
        , m_timers(server.m_loop)
        , m_socket(server.m_loop, ViewSocket::kTftp, [this](ViewSocket&) { receive(); })
        , m_session(*this)
    {
    }
    ~Transfer() override { m_session.reset(); }

    platform::Result<void> open(const std::string& localAddress) { return m_socket.create(0, localAddress); }
    TftpSession& session() { return m_session; }
    const TftpSession& session() const { return m_session; }
    std::uint16_t port() const { return m_socket.localEndpoint().port; }
    int progressMaximum() const { return m_progressMaximum; }
    int progressPosition() const { return m_progressPosition; }
    TftpLog::Owner id() const { return m_id; }

private:
    void receive()
    {
        // One datagram per readiness: a transfer in lock step has one
        // waiting, and the loop comes back while more are (a read that finds
        // nothing would cost a system call per block).
        if (m_socket.isOpen() && m_session.active()) {
            platform::Endpoint sender;
            auto received = m_socket.receiveFrom(m_server.m_receive, sender);
            if (received && *received != 0)
                m_session.dispatch({ m_server.m_receive.data(), *received }, sender);
        }
        if (!m_session.active())
            m_server.sweepLater();
    }

    std::size_t sendDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& to) override
    {
        if (!m_socket.isOpen())
            return 0;
        auto sent = m_socket.sendTo(to, datagram);
        return sent ? *sent : 0;
    }
    // Every block acknowledged moves the time-out on. The loop's timer is
    // left alone while it would fire no later than the new deadline: when it
    // fires early it is set again for the rest. A block costs no timer work.
    void startRetransmitTimer(std::chrono::milliseconds period) override
    {
        const auto now = m_server.m_loop.clock().now();
        m_deadline = now + period;
        if (!m_timers.active(kRetransmitTimer) || m_armedFor > *m_deadline)
            armRetransmitTimer(now, period);
    }
    void stopRetransmitTimer() override { m_deadline.reset(); }
    void armRetransmitTimer(platform::TimePoint now, platform::Duration wait)
    {
        m_armedFor = now + wait;
        m_timers.start(kRetransmitTimer, wait, [this] { retransmitTimerFired(); });
    }
    void retransmitTimerFired()
    {
        const auto now = m_server.m_loop.clock().now();
        if (m_deadline && now < *m_deadline) {
            armRetransmitTimer(now, *m_deadline - now);
            return;
        }
        m_timers.kill(kRetransmitTimer);
        if (!m_deadline)
            return;
        m_deadline.reset();
        m_session.timeout();
        if (!m_session.active())
            m_server.sweepLater();
    }
    void appendLog(const std::string& text) override { m_server.appendLog(text, m_id); }
    void showMessage(const std::string& text) override { m_server.m_prompter.message(text); }
    void beep(int frequencyHz, int durationMs) override { m_server.m_prompter.beep(frequencyHz, durationMs); }
    void setProgressRange(int maximum) override
    {
        m_progressMaximum = maximum;
        m_progressPosition = 0;
        m_server.transferProgress(*this);
    }
    void setProgressPosition(int position) override
    {
        m_progressPosition = position;
        m_server.transferProgress(*this);
    }

    TftpServer& m_server;
    const TftpLog::Owner m_id; // its log lines' owner
    platform::TimerSet m_timers;
    std::optional<platform::TimePoint> m_deadline; // of the retransmission, while one is due
    platform::TimePoint m_armedFor {}; // when the loop's timer fires
    ViewSocket m_socket;
    TftpSession m_session;
    int m_progressMaximum = 0;
    int m_progressPosition = 0;
};

TftpServer::TftpServer(platform::EventLoop& loop, platform::Prompter& prompter)
    : m_loop(loop)
    , m_prompter(prompter)
    , m_listen(loop, ViewSocket::kTftp, [this](ViewSocket&) { receiveRequests(); })
    , m_receive(kTftpReceiveBufferSize)
{
    m_log.setRunning([this](TftpLog::Owner id) { return transferRunning(id); });
}

TftpServer::~TftpServer()
{
    *m_alive = false;
    if (m_counted)
        *m_counted -= m_transfers.size();
    m_transfers.clear();
    m_listen.close();
}

void TftpServer::browse()
{
    const std::string folder = m_prompter.chooseFolder("Browse for Folder", m_filePath);
    if (folder.empty())
        return;
    m_filePath = folder;
    if (m_folderSink)
        m_folderSink(folder);
    changed();
}

void TftpServer::toggle()
{
    if (m_running)
        stop();
    else
        start();
    notifyRunning();
    changed();
}

void TftpServer::start()
{
    // Never a folder the user did not choose: the working directory, where
    // an unusable path would lead, holds the settings files.
    const std::string problem = tftpFolderProblem(m_filePath);
    if (!problem.empty()) {
        appendLog("TFTP server not started: " + problem + ". " + m_folderHint + "\r\n");
        return;
    }
    // Each transfer opens its own port when its request comes; the listen
    // socket is all the server holds while idle.
    if (auto opened = m_listen.create(m_listenPort, m_localAddress); !opened) {
        appendLog("Failed to create TFTP server socket!\r\n");
        std::string why = "UDP port " + std::to_string(m_listenPort) + " of "
            + (m_localAddress.empty() ? std::string("every address") : m_localAddress) + ": " + opened.error().message;
        if (opened.error().code == EACCES && m_listenPort < 1024)
            why += " (ports below 1024 need root or the capability CAP_NET_BIND_SERVICE)";
        else if (opened.error().code == EADDRINUSE)
            why += " (another TFTP server runs)";
        appendLog(why + ".\r\n");
        return;
    }
    const std::string line = "TFTP server @ " + m_localAddress + " is running on UDP port "
        + std::to_string(m_listenPort) + " successfully.";
    appendLog(line + "\r\n\r\n");
    if (m_addLogLine)
        m_addLogLine(line);
    m_running = true;
}

void TftpServer::stop()
{
    m_running = false;
    m_listen.close();
    // A transfer cut off here must not keep its file open until the next one.
    for (auto& transfer : m_transfers)
        transfer->session().reset();
    sweepLater();
    appendLog("TFTP server stoped.\r\n\r\n");
    if (m_addLogLine)
        m_addLogLine("TFTP server stoped.");
}

void TftpServer::receiveRequests()
{
    while (m_listen.isOpen()) {
        platform::Endpoint sender;
        auto received = m_listen.receiveFrom(m_receive, sender);
        if (!received) {
            if (received.error().code == EAGAIN || received.error().code == EWOULDBLOCK)
                return;
            continue;
        }
        if (*received < 2)
            continue;
        if (m_route)
            m_route(
                std::vector<std::uint8_t>(m_receive.begin(), m_receive.begin() + static_cast<long>(*received)), sender);
        else
            request({ m_receive.data(), *received }, sender);
    }
}

void TftpServer::refuseRequest(const platform::Endpoint& sender, std::uint16_t code, const std::string& text)
{
    (void)m_replies->sendTo(sender, tftpErrorDatagram(code, text));
}

void TftpServer::serveFor(TftpServer& front, std::shared_ptr<std::atomic<std::size_t>> running)
{
    m_localAddress = front.m_localAddress;
    m_filePath = front.m_filePath;
    m_openDirectory = front.m_openDirectory;
    m_transferLimit = front.m_transferLimit;
    m_logAppended = front.m_logAppended;
    m_replies = &front.m_listen;
    m_counted = std::move(running);
}

bool TftpServer::reserveTransfer()
{
    if (!m_counted)
        return transferCount() < m_transferLimit;
    std::size_t running = m_counted->load();
    do {
        if (running >= m_transferLimit)
            return false;
    } while (!m_counted->compare_exchange_weak(running, running + 1));
    return true;
}

void TftpServer::request(std::span<const std::uint8_t> datagram, const platform::Endpoint& sender)
{
    const std::uint16_t opcode = static_cast<std::uint16_t>(datagram[0] << 8 | datagram[1]);
    if (opcode == kTftpWrq) {
        const TftpRequest parsed = parseTftpRequest(datagram);
        appendLog("Refused a Write request from " + endpointText(sender) + " (file: " + parsed.name
            + "): only reads are served.\r\n");
        refuseRequest(sender, 2, "Only read requests are served");
        return;
    }
    if (opcode == kTftpAck || opcode == kTftpData || opcode == kTftpOack) {
        // Transfers are carried on their own ports: nothing here belongs to one.
        refuseRequest(sender, 5, "Unknown transfer ID");
        return;
    }
    // An ERROR is never answered, and no transfer is ended by one sent here.
    if (opcode != kTftpRrq)
        return;
    for (auto& transfer : m_transfers) {
        TftpSession& session = transfer->session();
        if (!session.active() || session.peer() != sender)
            continue;
        // The same client port asks again: a repeat of a request under way is
        // answered by that transfer; a new request after the whole file was
        // sent means the client has it.
        if (!session.completeOnNewRequest()) {
            session.repeatedRequest();
            return;
        }
        sweepLater();
        break;
    }
    // The slot is taken in the same step as the count is checked: workers
    // on other threads take theirs meanwhile.
    if (!reserveTransfer()) {
        appendLog("Refused a Read request from " + endpointText(sender) + ": " + std::to_string(m_transferLimit)
            + " transfers are running.\r\n");
        refuseRequest(sender, 0, "Server busy, try again later");
        return;
    }
    auto transfer = std::make_unique<Transfer>(*this);
    if (auto opened = transfer->open(m_localAddress); !opened) {
        if (m_counted)
            --*m_counted;
        appendLog("Failed to create TFTP socket! (" + opened.error().message + ")\r\n");
        refuseRequest(sender, 0, "No transfer port available");
        return;
    }
    Transfer& started = *transfer;
    m_transfers.push_back(std::move(transfer));
    if (!m_shown)
        m_shown = &started;
    started.session().setDirectory(m_filePath, m_openDirectory);
    started.session().start(datagram, sender);
    if (!started.session().active())
        sweepLater();
}

void TftpServer::sweepLater()
{
    if (m_sweepPosted)
        return;
    m_sweepPosted = true;
    m_loop.post([this, alive = std::weak_ptr<bool>(m_alive)] {
        if (alive.expired())
            return;
        sweep();
    });
}

void TftpServer::sweep()
{
    m_sweepPosted = false;
    std::erase_if(m_transfers, [this](const std::unique_ptr<Transfer>& transfer) {
        if (transfer->session().active())
            return false;
        if (m_shown == transfer.get())
            m_shown = nullptr;
        if (m_counted)
            --*m_counted;
        if (m_transferEnded)
            m_transferEnded(transfer->session().peer());
        return true;
    });
    // The bar moves on to the oldest transfer still running.
    if (!m_shown && !m_transfers.empty()) {
        m_shown = m_transfers.front().get();
        transferProgress(*m_shown);
    }
    changed();
}

std::size_t TftpServer::transferCount() const
{
    return static_cast<std::size_t>(std::count_if(m_transfers.begin(), m_transfers.end(),
        [](const std::unique_ptr<Transfer>& transfer) { return transfer->session().active(); }));
}

std::vector<TftpTransferInfo> TftpServer::transfers() const
{
    std::vector<TftpTransferInfo> list;
    for (const auto& transfer : m_transfers) {
        const TftpSession& session = transfer->session();
        if (session.active())
            list.push_back(
                { session.peer(), transfer->port(), session.path(), session.blocksSent(), session.progressMaximum() });
    }
    return list;
}

const TftpSession* TftpServer::sessionFor(const platform::Endpoint& client) const
{
    for (const auto& transfer : m_transfers)
        if (transfer->session().peer() == client)
            return &transfer->session();
    return nullptr;
}

void TftpServer::transferProgress(const Transfer& transfer)
{
    if (&transfer != m_shown)
        return;
    const bool newRange = m_progressMaximum != transfer.progressMaximum() || transfer.progressPosition() == 0;
    m_progressMaximum = transfer.progressMaximum();
    m_progressPosition = transfer.progressPosition();
    // The bar follows every block; a redraw per block would cost more than the
    // transfer, so the view refreshes only when a block starts a new percent.
    const int position = m_progressPosition;
    if (newRange || m_progressMaximum <= 100 || position % (m_progressMaximum / 100) == 0
        || position >= m_progressMaximum)
        changed();
}

void TftpServer::notifyRunning()
{
    if (m_runningChanged)
        m_runningChanged(m_running);
}

void TftpServer::changed()
{
    if (m_changed)
        m_changed();
}

bool TftpServer::transferRunning(TftpLog::Owner id) const
{
    return std::any_of(m_transfers.begin(), m_transfers.end(), [id](const std::unique_ptr<Transfer>& transfer) {
        return transfer->id() == id && transfer->session().active();
    });
}

void TftpServer::appendLog(const std::string& text, TftpLog::Owner owner)
{
    m_log.append(text, owner);
    if (m_logAppended)
        m_logAppended(text);
    changed();
}

} // namespace utility::services
