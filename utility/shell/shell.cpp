#include "utility/shell/shell.h"

namespace utility::shell {
namespace {

const std::string kSocketsFailedMessage = "Windows sockets initialization failed.";

} // namespace

bool Shell::startUp()
{
    if (!checkDriverInf(m_prompter, m_driverInf, m_dataDirectories))
        return false;
    if (m_network.startSockets && !m_network.startSockets()) {
        m_prompter.message(kSocketsFailedMessage);
        return false;
    }
    m_settingsLoaded = m_store.load();
    m_selection = selectNetworkInterface(m_settings, m_prompter, m_network);
    return true;
}

} // namespace utility::shell
