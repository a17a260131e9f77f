#include "tests/support/scripted_prompter.h"
#include "utility/shell/interface_selection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using utility::shell::AppSettings;
using utility::shell::InterfaceSelection;
using utility::shell::NetworkEnvironment;
using utility::shell::selectNetworkInterface;

namespace {

const std::string kAdapterMessage = "Failed to retrieve the network adapter information!\r\n"
                                    "Please check if the adapter's IP address is configured properly.";

// Records what the interface dialog was given, and answers it.
class DialogPrompter final : public platform::Prompter {
public:
    struct Dialog {
        std::string title, text, label;
        std::vector<std::string> options;
        int preselected = -1;
    };
    std::vector<Dialog> dialogs;
    std::optional<int> answer;
    testing_support::ScriptedPrompter other;

    int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected) override
    {
        dialogs.push_back({ title, text, label, options, preselected });
        return answer.value_or(preselected);
    }
    void message(const std::string& text, const std::string& title, platform::MessageIcon icon) override
    {
        other.message(text, title, icon);
    }
    bool confirm(const std::string& text, const std::string& title, platform::MessageIcon icon, bool yes) override
    {
        return other.confirm(text, title, icon, yes);
    }
    std::string openFile(const std::string& t, const std::string& f, const std::string& p) override
    {
        return other.openFile(t, f, p);
    }
    std::string saveFile(const std::string& t, const std::string& f, const std::string& p) override
    {
        return other.saveFile(t, f, p);
    }
    std::string chooseFolder(const std::string& t, const std::string& s) override { return other.chooseFolder(t, s); }
    void beep(int hz, int ms) override { other.beep(hz, ms); }
};

platform::InterfaceAddress adapter(const std::string& address, const std::string& netmask)
{
    return { "eth", address, netmask, false, true };
}

class InterfaceSelectionTest : public ::testing::Test {
protected:
    InterfaceSelectionTest()
    {
        m_environment.startSockets = [] { return true; };
        m_environment.hostName = [] { return std::string("bench-pc"); };
        m_environment.resolveHost = [this](const std::string& name) -> std::optional<std::vector<std::string>> {
            m_resolvedName = name;
            return m_addresses;
        };
        m_environment.listAdapters = [this] { return m_adapters; };
        m_environment.virtualPortsBusy = [this] { return m_busy; };
        m_environment.giveToDeviceView = [this](const std::string& address, const std::string& netmask) {
            m_deviceView.push_back(address + "/" + netmask);
        };
    }

    InterfaceSelection select() { return selectNetworkInterface(m_settings, m_prompter, m_environment); }

    NetworkEnvironment m_environment;
    std::optional<std::vector<std::string>> m_addresses;
    std::vector<platform::InterfaceAddress> m_adapters { adapter("127.0.0.1", "255.0.0.0"),
        adapter("10.0.0.1", "255.255.255.0"), adapter("10.1.0.1", "255.255.0.0") };
    bool m_busy = false;
    std::string m_resolvedName;
    std::vector<std::string> m_deviceView;
    AppSettings m_settings;
    DialogPrompter m_prompter;
};

} // namespace

TEST_F(InterfaceSelectionTest, SingleAddressWinsOverTheSavedOne)
{
    m_addresses = std::vector<std::string> { "10.1.0.1" };
    m_settings.localHostAddress = "10.0.0.1";
    const auto result = select();
    EXPECT_TRUE(result.selected);
    EXPECT_EQ(result.effectiveAddress, "10.1.0.1");
    EXPECT_EQ(result.netmask, "255.255.0.0");
    EXPECT_EQ(m_settings.localHostAddress, "10.1.0.1");
    EXPECT_TRUE(result.item38Updated);
    EXPECT_EQ(m_deviceView, std::vector<std::string> { "10.1.0.1/255.255.0.0" });
    EXPECT_TRUE(m_prompter.dialogs.empty());
    EXPECT_TRUE(m_prompter.other.shown.empty());
    EXPECT_EQ(m_resolvedName, "bench-pc");
}

TEST_F(InterfaceSelectionTest, BusyVirtualPortsKeepTheSavedSelectionWithoutADialog)
{
    m_addresses = std::vector<std::string> { "10.0.0.1", "10.1.0.1" };
    m_settings.localHostAddress = "10.0.0.1";
    m_busy = true;
    const auto result = select();
    EXPECT_TRUE(m_prompter.dialogs.empty());
    EXPECT_FALSE(result.dialogShown);
    EXPECT_EQ(result.effectiveAddress, "10.0.0.1");
    EXPECT_EQ(m_settings.localHostAddress, "10.0.0.1");
    EXPECT_EQ(m_deviceView, std::vector<std::string> { "10.0.0.1/255.255.255.0" });
}

TEST_F(InterfaceSelectionTest, NoSavedSelectionStartsFromTheLastAddress)
{
    m_addresses = std::vector<std::string> { "10.0.0.1", "10.1.0.1" };
    m_busy = true;
    const auto result = select();
    EXPECT_EQ(result.effectiveAddress, "10.1.0.1");
    EXPECT_EQ(m_settings.localHostAddress, "10.1.0.1");
}

TEST_F(InterfaceSelectionTest, SeveralAddressesAskTheUserWithTheLastPreselected)
{
    m_addresses = std::vector<std::string> { "10.0.0.1", "127.0.0.1", "10.1.0.1" };
    m_settings.localHostAddress = "127.0.0.1";
    m_prompter.answer = 0;
    const auto result = select();
    ASSERT_EQ(m_prompter.dialogs.size(), 1u);
    const auto& dialog = m_prompter.dialogs[0];
    EXPECT_EQ(dialog.title, "Selecting a network interface");
    EXPECT_EQ(
        dialog.text, "Multiple network interfaces are detected!\r\n\r\nPlease select a network interface properly:");
    EXPECT_EQ(dialog.label, "Network Interface");
    EXPECT_EQ(dialog.options, *m_addresses);
    EXPECT_EQ(dialog.preselected, 2);
    EXPECT_TRUE(result.dialogShown);
    EXPECT_EQ(result.effectiveAddress, "10.0.0.1");
    EXPECT_EQ(result.netmask, "255.255.255.0");
    EXPECT_EQ(m_settings.localHostAddress, "10.0.0.1");
}

TEST_F(InterfaceSelectionTest, NoMatchingAdapterKeepsItem38AndTheDeviceViewUnchanged)
{
    m_addresses = std::vector<std::string> { "192.168.5.5" };
    m_settings.localHostAddress = "10.0.0.1";
    const auto result = select();
    EXPECT_EQ(m_prompter.other.messages(), std::vector<std::string> { kAdapterMessage });
    EXPECT_FALSE(result.selected);
    EXPECT_EQ(result.effectiveAddress, "192.168.5.5");
    EXPECT_EQ(result.netmask, "");
    EXPECT_FALSE(result.item38Updated);
    EXPECT_EQ(m_settings.localHostAddress, "10.0.0.1");
    EXPECT_TRUE(m_deviceView.empty());
}

TEST_F(InterfaceSelectionTest, LookupFailuresStopWithTheirMessage)
{
    struct Case {
        const char* name;
        bool sockets;
        std::string hostName;
        std::optional<std::vector<std::string>> addresses;
        const char* message;
    };
    const Case cases[] = {
        { "sockets", false, "pc", std::vector<std::string> { "10.0.0.1" },
            "Windows socket interface initialization failed!" },
        { "host name", true, "", std::vector<std::string> { "10.0.0.1" }, "Host name lookup failed!" },
        { "resolve", true, "pc", std::nullopt, "Host information lookup failed!" },
        { "no addresses", true, "pc", std::vector<std::string> {}, "Network adapters lookup failed!" },
    };
    for (const auto& c : cases) {
        DialogPrompter prompter;
        AppSettings settings;
        m_deviceView.clear();
        m_addresses = c.addresses;
        m_environment.startSockets = [&] { return c.sockets; };
        m_environment.hostName = [&] { return c.hostName; };
        const auto result = selectNetworkInterface(settings, prompter, m_environment);
        EXPECT_EQ(prompter.other.messages(), std::vector<std::string> { c.message }) << c.name;
        EXPECT_EQ(result.effectiveAddress, "") << c.name;
        EXPECT_FALSE(result.selected) << c.name;
        EXPECT_EQ(settings.localHostAddress, "0.0.0.0") << c.name;
        EXPECT_TRUE(m_deviceView.empty()) << c.name;
    }
}

TEST_F(InterfaceSelectionTest, SystemEnvironmentFindsAnAdapterForItsOwnAddress)
{
    // Whatever this machine has, its own host address has an adapter.
    const auto result = selectNetworkInterface(m_settings, m_prompter, NetworkEnvironment::system());
    EXPECT_TRUE(m_prompter.other.messages().empty());
    EXPECT_TRUE(result.selected);
    EXPECT_FALSE(result.netmask.empty());
    EXPECT_EQ(m_settings.localHostAddress, result.effectiveAddress);
}
