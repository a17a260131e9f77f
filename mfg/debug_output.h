#pragma once

#include <cstdio>
#include <string>

namespace mfg {

// The channel for diagnostic trace lines: nowhere (as when no debugger
// listens), standard error, a file (appended), or memory for tests.
class DebugOutput {
public:
    enum class Target { None, Stderr, File, Memory };

    DebugOutput() = default;
    ~DebugOutput();
    DebugOutput(const DebugOutput&) = delete;
    DebugOutput& operator=(const DebugOutput&) = delete;

    // KELLAN_MP_TRACE: "stderr", a file path, or unset for none.
    void configureFromEnvironment();
    void toNone();
    void toStderr();
    bool toFile(const std::string& path);
    void toMemory();

    Target target() const { return m_target; }
    bool enabled() const { return m_target != Target::None; }
    void write(const std::string& text);
    void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // What went to memory so far.
    const std::string& captured() const { return m_captured; }

private:
    void closeFile();
    Target m_target = Target::None;
    std::FILE* m_file = nullptr;
    std::string m_captured;
};

} // namespace mfg
