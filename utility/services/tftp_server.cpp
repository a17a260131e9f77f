#include "utility/services/tftp_server.h"

#include <cerrno>
#include <filesystem>

namespace utility::services {

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

TftpServer::TftpServer(platform::EventLoop& loop, platform::Prompter& prompter)
    : m_loop(loop)
    , m_prompter(prompter)
    , m_timers(loop)
    , m_session(*this)
    , m_listen(loop, ViewSocket::kTftp, [this](ViewSocket& socket) { receive(socket, true); })
    , m_transfer(loop, ViewSocket::kTftp, [this](ViewSocket& socket) { receive(socket, false); })
    , m_receive(kTftpReceiveBufferSize)
{
}

TftpServer::~TftpServer()
{
    m_session.reset();
    m_listen.close();
    m_transfer.close();
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
    m_session.reset();
    // Never a folder the user did not choose: the working directory, where
    // an unusable path would lead, holds the settings files.
    const std::string problem = tftpFolderProblem(m_filePath);
    if (!problem.empty()) {
        appendLog("TFTP server not started: " + problem + ". " + m_folderHint + "\r\n");
        return;
    }
    if (!m_transfer.create(0, m_localAddress)) {
        appendLog("Failed to create TFTP socket!\r\n");
        return;
    }
    if (!m_listen.create(m_listenPort, m_localAddress)) {
        m_transfer.close();
        appendLog("Failed to create TFTP server socket!\r\n");
        return;
    }
    m_session.setDirectory(m_filePath);
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
    m_transfer.close();
    // A transfer cut off here must not keep the file open until the next one.
    m_session.reset();
    appendLog("TFTP server stoped.\r\n\r\n");
    if (m_addLogLine)
        m_addLogLine("TFTP server stoped.");
}

void TftpServer::receive(ViewSocket& socket, bool fromListenSocket)
{
    // Everything waiting is handled now; a message box shown on the way may
    // let the user stop the server, which closes the socket.
    while (socket.isOpen()) {
        platform::Endpoint sender;
        auto received = socket.receiveFrom(m_receive, sender);
        if (!received) {
            if (received.error().code == EAGAIN || received.error().code == EWOULDBLOCK)
                return;
            continue;
        }
        if (*received == 0)
            continue;
        m_session.dispatch({ m_receive.data(), *received }, sender, fromListenSocket);
    }
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

std::size_t TftpServer::sendDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& to)
{
    if (!m_transfer.isOpen())
        return 0;
    auto sent = m_transfer.sendTo(to, datagram);
    return sent ? *sent : 0;
}

void TftpServer::startRetransmitTimer(std::chrono::milliseconds period)
{
    m_timers.start(kRetransmitTimer, period, [this] { m_session.timeout(); });
}

void TftpServer::stopRetransmitTimer() { m_timers.kill(kRetransmitTimer); }

void TftpServer::appendLog(const std::string& text)
{
    m_log += text;
    if (m_logAppended)
        m_logAppended(text);
    changed();
}

void TftpServer::showMessage(const std::string& text) { m_prompter.message(text); }

void TftpServer::beep(int frequencyHz, int durationMs) { m_prompter.beep(frequencyHz, durationMs); }

void TftpServer::setProgressRange(int maximum)
{
    m_progressMaximum = maximum;
    m_progressPosition = 0;
}

void TftpServer::setProgressPosition(int position)
{
    m_progressPosition = position;
    // The bar follows every block; a redraw per block would cost more than the
    // transfer, so the view refreshes only when a block starts a new percent.
    if (m_progressMaximum <= 100 || position % (m_progressMaximum / 100) == 0 || position >= m_progressMaximum)
        changed();
}

} // namespace utility::services
