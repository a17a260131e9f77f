#pragma once

#include <string>

namespace testing_support {

// A fresh directory under $TMPDIR, removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    void write(const std::string& name, const std::string& bytes) const;
    std::string read(const std::string& name) const;

private:
    std::string m_path;
};

// Changes the working directory for its lifetime.
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const std::string& path);
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

private:
    std::string m_previous;
};

// The build's directory of programs (devsim, qelta ...), from SUITE_BIN_DIR or
// the path the tests were configured with.
std::string programPath(const std::string& name);

} // namespace testing_support
