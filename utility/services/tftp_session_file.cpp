// The transfer's file: opened, read block by block (netascii converted on
// the way), closed.
#include "utility/services/tftp_session.h"

#include <cstdio>
#include <filesystem>

namespace utility::services {
namespace {

// A netascii file's length once converted takes a read of the whole file on
// the transfer's thread, before its first block: only up to this size.
constexpr std::uint64_t kNetasciiSizeLimit = 16 * 1024 * 1024;

// The length of a file once every LF and CR is sent as a pair.
std::uint64_t netasciiLength(std::FILE* file)
{
    std::uint64_t length = 0;
    char buffer[8192];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        for (std::size_t i = 0; i < count; ++i)
            length += (buffer[i] == '\n' || buffer[i] == '\r') ? 2 : 1;
    std::rewind(file);
    return length;
}

} // namespace

bool TftpSession::openFile(bool lengthWanted)
{
    closeFile();
    std::error_code error;
    // Only regular files: a directory would read as an empty file, a FIFO
    // would block the server.
    if (!std::filesystem::is_regular_file(m_openPath, error))
        return false;
    m_file = std::fopen(m_openPath.c_str(), "rb");
    if (!m_file)
        return false;
    // A read of the file every 128 blocks of 512 bytes, not every 8.
    m_fileBuffer.resize(kFileBufferSize);
    (void)std::setvbuf(m_file, m_fileBuffer.data(), _IOFBF, m_fileBuffer.size());
    const auto size = std::filesystem::file_size(m_openPath, error);
    m_fileLength = error ? 0 : size;
    m_lengthKnown = !m_netascii;
    // Converted, the file is at least as long as it is on disk. Its exact
    // length is worked out only for a client that asks for it, and only for
    // a file that reads quickly: a huge one would hold the thread (and the
    // server's stop) for minutes. Without it, tsize is left out.
    if (m_netascii && lengthWanted && m_fileLength <= kNetasciiSizeLimit) {
        m_fileLength = netasciiLength(m_file);
        m_lengthKnown = true;
    }
    return true;
}

void TftpSession::closeFile()
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

std::size_t TftpSession::readBlock(std::uint8_t* out)
{
    if (!m_file)
        return 0;
    if (!m_netascii)
        return std::fread(out, 1, m_blockSize, m_file);
    // netascii: every LF goes as CR LF and every CR as CR NUL; a pair cut
    // by the end of a block finishes at the start of the next.
    std::size_t count = 0;
    if (m_pendingByte >= 0) {
        out[count++] = static_cast<std::uint8_t>(m_pendingByte);
        m_pendingByte = -1;
    }
    while (count < m_blockSize) {
        const int c = std::fgetc(m_file);
        if (c == EOF)
            break;
        if (c != '\n' && c != '\r') {
            out[count++] = static_cast<std::uint8_t>(c);
            continue;
        }
        out[count++] = '\r';
        const int second = c == '\n' ? '\n' : 0;
        if (count < m_blockSize)
            out[count++] = static_cast<std::uint8_t>(second);
        else
            m_pendingByte = second;
    }
    return count;
}

} // namespace utility::services
