#include "mfg/records/digest.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace mfg::records {

namespace {

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestFree>;

Digest newDigest()
{
    Digest context(EVP_MD_CTX_new());
    if (context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        context.reset();
    return context;
}

std::string finish(EVP_MD_CTX* context)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1)
        return {};
    static const char* const kDigits = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 15];
    }
    return text;
}

} // namespace

std::string sha256Hex(const std::string& bytes)
{
    Digest context = newDigest();
    if (!context || EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1)
        return {};
    return finish(context.get());
}

platform::Result<FileDigest> sha256OfFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return platform::Error { path + ": " + std::strerror(errno), errno };
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return platform::Error { path + ": not a regular file", EINVAL };
    }
    Digest context = newDigest();
    FileDigest result;
    std::unique_ptr<char[]> buffer(new char[1 << 16]);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.get(), 1 << 16);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return platform::Error { path + ": " + std::strerror(error), error };
        }
        if (got == 0)
            break;
        if (!context || EVP_DigestUpdate(context.get(), buffer.get(), static_cast<std::size_t>(got)) != 1)
            break;
        result.size += got;
    }
    ::close(fd);
    result.sha256 = context ? finish(context.get()) : std::string();
    if (result.sha256.empty())
        return platform::Error { path + ": no SHA-256 digest from libcrypto" };
    return result;
}

} // namespace mfg::records
