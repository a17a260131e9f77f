#include "platform/port_io.h"

#include <cstdlib>

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace platform {

PortIoModule::PortIoModule(void* handle, std::string path, Inp32Function in, Out32Function out)
    : m_handle(handle)
    , m_path(std::move(path))
    , m_in(in)
    , m_out(out)
{
}

PortIoModule::~PortIoModule() { ::dlclose(m_handle); }

Result<std::unique_ptr<PortIoModule>> PortIoModule::load(const std::string& path)
{
    // RTLD_LOCAL keeps the module's own copies of anything it links apart
    // from the program's.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = ::dlerror();
        return Error { reason ? reason : ("cannot load " + path), 0 };
    }
    auto in = reinterpret_cast<Inp32Function>(::dlsym(handle, "Inp32"));
    auto out = reinterpret_cast<Out32Function>(::dlsym(handle, "Out32"));
    if (!in || !out) {
        ::dlclose(handle);
        return Error { path + " has no Inp32/Out32", 0 };
    }
    if (auto ready = reinterpret_cast<PortIoReadyFunction>(::dlsym(handle, "PortIo_Ready")); ready && ready() == 0) {
        ::dlclose(handle);
        return Error { path + " cannot reach the I/O ports", 0 };
    }
    return std::unique_ptr<PortIoModule>(new PortIoModule(handle, path, in, out));
}

std::uint8_t PortIoModule::Inp32(std::uint16_t address)
{
    return static_cast<std::uint8_t>(m_in(static_cast<short>(address)));
}

void PortIoModule::Out32(std::uint16_t address, std::uint8_t value)
{
    m_out(static_cast<short>(address), static_cast<short>(value));
}

void* PortIoModule::symbol(const char* name) const { return ::dlsym(m_handle, name); }

std::string programDirectory()
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "./";
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::string defaultPortIoModulePath()
{
    if (const char* configured = std::getenv("PORTIO_MODULE"); configured && *configured)
        return configured;
    return programDirectory() + "portio.so";
}

} // namespace platform
