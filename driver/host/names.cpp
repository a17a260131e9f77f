#include "driver/host/names.h"

namespace driver::host {

using namespace common;

std::string ObjectNamespace::canonical(std::string_view name)
{
    std::string key(name);
    constexpr std::string_view kDosDevices = "\\DOSDEVICES\\";
    for (char& c : key) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    if (key.rfind(kDosDevices, 0) == 0)
        key = "\\??\\" + key.substr(kDosDevices.size());
    return key;
}

NtStatus ObjectNamespace::insertDevice(std::string_view name, const std::shared_ptr<Device>& device)
{
    std::lock_guard lock(m_mutex);
    const std::string key = canonical(name);
    if (key.empty())
        return kStatusObjectNameInvalid;
    auto existing = m_devices.find(key);
    if ((existing != m_devices.end() && !existing->second.expired()) || m_links.count(key))
        return kStatusObjectNameCollision;
    m_devices[key] = device;
    return kStatusSuccess;
}

void ObjectNamespace::removeDevice(std::string_view name)
{
    std::lock_guard lock(m_mutex);
    m_devices.erase(canonical(name));
}

NtStatus ObjectNamespace::createLink(std::string_view link, std::string_view target)
{
    {
        std::lock_guard lock(m_mutex);
        const std::string key = canonical(link);
        if (key.empty() || target.empty())
            return kStatusObjectNameInvalid;
        if (m_links.count(key) || m_devices.count(key))
            return kStatusObjectNameCollision;
        m_links[key] = Link { std::string(link), std::string(target) };
    }
    notifyLinks();
    return kStatusSuccess;
}

NtStatus ObjectNamespace::deleteLink(std::string_view link)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_links.erase(canonical(link)))
            return kStatusObjectNameNotFound;
    }
    notifyLinks();
    return kStatusSuccess;
}

void ObjectNamespace::setLinkObserver(LinkObserver observer)
{
    std::lock_guard lock(m_mutex);
    m_observer = observer ? std::make_shared<const LinkObserver>(std::move(observer)) : nullptr;
}

void ObjectNamespace::notifyLinks() const
{
    std::shared_ptr<const LinkObserver> observer;
    {
        std::lock_guard lock(m_mutex);
        observer = m_observer;
    }
    if (observer)
        (*observer)();
}

std::optional<std::string> ObjectNamespace::linkTarget(std::string_view link) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_links.find(canonical(link));
    if (it == m_links.end())
        return std::nullopt;
    return it->second.target;
}

std::shared_ptr<Device> ObjectNamespace::resolve(std::string_view name) const
{
    std::lock_guard lock(m_mutex);
    std::string key = canonical(name);
    // A few hops cover every real chain; a loop of links resolves to nothing.
    for (int hop = 0; hop < 8; ++hop) {
        if (auto device = m_devices.find(key); device != m_devices.end())
            return device->second.lock();
        auto link = m_links.find(key);
        if (link == m_links.end())
            return nullptr;
        key = canonical(link->second.target);
    }
    return nullptr;
}

std::vector<std::string> ObjectNamespace::links() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> names;
    for (const auto& [key, link] : m_links)
        names.push_back(link.name);
    return names;
}

} // namespace driver::host
