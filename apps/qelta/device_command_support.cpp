#include "apps/qelta/device_command_support.h"

#include "platform/net.h"

#include <cstdio>
#include <iostream>

namespace qelta {

void AskingPrompter::message(const std::string& text, const std::string& title, platform::MessageIcon icon)
{
    m_inner.message(text, title, icon);
}

bool AskingPrompter::confirm(const std::string& text, const std::string&, platform::MessageIcon, bool)
{
    // One command asks a question once: a setup's search and its sheet both
    // apply the network segment rule to the same device.
    if (const auto answered = m_answers.find(text); answered != m_answers.end())
        return answered->second;
    const bool yes = ask(text);
    m_answers.emplace(text, yes);
    return yes;
}

bool AskingPrompter::ask(const std::string& text)
{
    if (m_yes) {
        std::fprintf(stderr, "%s [yes]\n", text.c_str());
        return true;
    }
    std::fprintf(stderr, "%s [y/N] ", text.c_str());
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line))
        line.clear();
    return line == "y" || line == "Y" || line == "yes" || line == "Yes";
}

int AskingPrompter::choose(const std::string& title, const std::string& text, const std::string& label,
    const std::vector<std::string>& options, int preselected)
{
    return m_inner.choose(title, text, label, options, preselected);
}

std::string takeAddress(const std::vector<std::string>& arguments, std::size_t& i, std::vector<std::string>& out)
{
    if (i + 1 >= arguments.size())
        return "--ip needs an address";
    const std::string& value = arguments[++i];
    if (value.size() > 15 || !platform::parseIpv4(value))
        return "'" + value + "' is not an IPv4 address";
    out.push_back(value);
    return {};
}

std::optional<int> parseNumber(const std::string& text)
{
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool searchAndWait(platform::EventLoop& loop, utility::devmgmt::DeviceView& view)
{
    view.setSearchFinishedCallback([&] { loop.quit(0); });
    view.networkSearch(utility::devmgmt::DeviceView::SearchOrigin::Command);
    if (view.searching())
        loop.run();
    view.setSearchFinishedCallback({});
    return view.socketError().empty();
}

std::size_t checkAddresses(utility::devmgmt::DeviceView& view, const std::vector<std::string>& addresses)
{
    std::size_t found = 0;
    for (const auto& address : addresses) {
        bool listed = false;
        for (std::size_t row = 0; row < view.rowCount(); ++row) {
            if (view.rows()[row].texts[utility::devmgmt::kColumnIp] == address) {
                view.setChecked(row, true);
                listed = true;
            }
        }
        if (listed)
            ++found;
        else
            std::fprintf(stderr, "qelta: no device at %s answered the search\n", address.c_str());
    }
    return found;
}

} // namespace qelta
