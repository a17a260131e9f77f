#include "mfg/debug_output.h"

#include <cstdarg>
#include <cstdlib>
#include <vector>

namespace mfg {

DebugOutput::~DebugOutput() { closeFile(); }

void DebugOutput::closeFile()
{
    if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
}

void DebugOutput::configureFromEnvironment()
{
    const char* value = std::getenv("KELLAN_MP_TRACE");
    if (!value || !*value)
        toNone();
    else if (std::string(value) == "stderr")
        toStderr();
    else if (!toFile(value))
        toStderr();
}

void DebugOutput::toNone()
{
    closeFile();
    m_target = Target::None;
}

void DebugOutput::toStderr()
{
    closeFile();
    m_target = Target::Stderr;
}

bool DebugOutput::toFile(const std::string& path)
{
    closeFile();
    m_file = std::fopen(path.c_str(), "ab");
    m_target = m_file ? Target::File : Target::None;
    return m_file != nullptr;
}

void DebugOutput::toMemory()
{
    closeFile();
    m_target = Target::Memory;
    m_captured.clear();
}

void DebugOutput::write(const std::string& text)
{
    switch (m_target) {
    case Target::None:
        return;
    case Target::Stderr:
        std::fwrite(text.data(), 1, text.size(), stderr);
        return;
    case Target::File:
        std::fwrite(text.data(), 1, text.size(), m_file);
        std::fflush(m_file);
        return;
    case Target::Memory:
        m_captured += text;
        return;
    }
}

void DebugOutput::print(const char* format, ...)
{
    if (m_target == Target::None)
        return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        write(std::string(buffer.data(), static_cast<std::size_t>(size)));
    }
    va_end(args);
}

} // namespace mfg
