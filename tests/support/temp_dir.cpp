#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

namespace testing_support {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/suite-test-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

void TempDir::write(const std::string& name, const std::string& bytes) const
{
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string TempDir::read(const std::string& name) const
{
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

ScopedWorkingDirectory::ScopedWorkingDirectory(const std::string& path)
    : m_previous(std::filesystem::current_path().string())
{
    std::filesystem::current_path(path);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory()
{
    std::error_code ignored;
    std::filesystem::current_path(m_previous, ignored);
}

std::string programPath(const std::string& name)
{
    const char* dir = std::getenv("SUITE_BIN_DIR");
#ifdef SUITE_DEFAULT_BIN_DIR
    const std::string fallback = SUITE_DEFAULT_BIN_DIR;
#else
    const std::string fallback = ".";
#endif
    return std::string(dir && *dir ? dir : fallback.c_str()) + "/" + name;
}

} // namespace testing_support
