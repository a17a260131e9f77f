#include "utility/services/tftp_session.h"

#include <algorithm>

namespace utility::services {

std::uint64_t TftpSession::bytesAcknowledged() const
{
    std::uint64_t pending = 0;
    for (const auto& datagram : m_unacknowledged)
        pending += datagram.size() - 4;
    return m_bytesRead - std::min(pending, m_bytesRead);
}

void TftpSession::reportProgress()
{
    if (m_fileLength == 0)
        return;
    const auto steps = static_cast<int>(
        std::min<std::uint64_t>(bytesAcknowledged() * kTftpProgressSteps / m_fileLength, kTftpProgressSteps - 1));
    if (steps <= m_stepsReported)
        return;
    m_stepsReported = steps;
    logProgress(TftpProgress::Kind::Sending);
}

void TftpSession::logProgress(TftpProgress::Kind kind)
{
    // Only once data flows: a refused or unanswered request has no counts.
    if (m_state != State::Sending)
        return;
    TftpProgress progress;
    progress.kind = kind;
    progress.path = m_path;
    progress.client = m_peer;
    progress.bytes = bytesAcknowledged();
    progress.total = std::max(m_fileLength, progress.bytes);
    m_host.appendLog(formatTftpProgress(progress));
}

} // namespace utility::services
