// `kellan-mp options`, `kellan-mp check-port` and `kellan-mp items`: the
// Option page and "Test Item Selection" without a window. Message boxes are
// lines on standard error, with the window's texts.

#include "apps/kellan-mp/command.h"
#include "mfg/option_page.h"
#include "mfg/portio_choice.h"
#include "mfg/station_records.h"
#include "platform/com_names.h"
#include "platform/json_text.h"
#include "platform/text_file.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <optional>

namespace kellan_mp {
namespace {

struct Page {
    platform::ConsolePrompter prompter;
    mfg::MfgSettings settings;
    mfg::SerialOpener opener
        = mfg::systemSerialOpener(platform::RealClock::instance(), platform::ComNameResolver::fromEnvironment());
    mfg::OptionPage page { platform::currentDirectory(), settings, prompter, mfg::systemPortProbe(opener) };
};

std::string addressText(const std::array<std::uint8_t, 4>& address)
{
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." + std::to_string(address[2]) + "."
        + std::to_string(address[3]);
}

void printOptions(const mfg::OptionPage& page, bool json)
{
    auto entry = [](const auto& entries, int index) -> std::string {
        return index >= 0 && index < static_cast<int>(entries.size()) ? entries[index] : std::string();
    };
    const bool selected = page.portSelection >= 0 && page.portSelection < static_cast<int>(page.ports().size());
    const std::string port = selected
        ? page.ports()[page.portSelection].text + (page.ports()[page.portSelection].present ? "" : " (absent)")
        : std::string();
    const std::vector<std::pair<std::string, std::string>> rows { { "Loader File", page.loaderPath },
        { "Test FW", page.testFirmwarePath }, { "Production FW", page.productionFirmwarePath },
        { "EEPROM file", page.eepromPath }, { "Log File", page.logPath },
        { "Assign IP address for client", addressText(page.clientAddress) }, { "MAC start", page.macStart() },
        { "MAC end", page.macEnd() }, { "Erase waiting time", entry(page.eraseEntries(), page.eraseSelection) },
        { "COM Port", port }, { "ISP speed", entry(page.speedEntries(), page.speedSelection) },
        { "Port-I/O module", page.portIoModule.empty() ? std::string("none") : page.portIoModule },
        { "MAC range", page.rangeUsedUp() ? mfg::OptionPage::kRangeUsedUp : "open" },
        { "MAC source", page.macSourceNote().empty() ? std::string("Option.dat") : page.macSourceNote() } };
    if (json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        for (const auto& [name, value] : rows)
            out[name] = value;
        out["MAC range used up"] = page.rangeUsedUp();
        nlohmann::ordered_json ports = nlohmann::ordered_json::array();
        for (const auto& available : page.ports()) {
            if (available.present)
                ports.push_back(available.text);
        }
        out["ports"] = ports;
        std::printf("%s\n", platform::jsonText(out, 2).c_str());
        return;
    }
    for (const auto& [name, value] : rows)
        std::printf("%-30s %s\n", name.c_str(), value.c_str());
}

int indexOf(const std::vector<std::string>& entries, const std::string& text)
{
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] == text)
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace

int optionsCommand(const OptionsArguments& arguments)
{
    const bool json = arguments.json;
    const auto& changes = arguments.changes;
    // Only a change needs the station: showing the fields never gets in a
    // run's way.
    platform::FileLock stationLock;
    if (!changes.empty()) {
        auto locked = mfg::lockStation(platform::currentDirectory());
        if (!locked) {
            std::fprintf(stderr, "kellan-mp options: %s\n", locked.error().message.c_str());
            return 2;
        }
        stationLock = std::move(locked.value());
    }
    Page p;
    mfg::OptionPage& page = p.page;
    page.setUp();
    for (const auto& [name, value] : changes) {
        // The page's fields hold what its edits would: at most 128 characters.
        const std::string path = value.substr(0, mfg::OptionPage::kPathLimit);
        if (name == "loader")
            page.loaderPath = path;
        else if (name == "test-fw")
            page.testFirmwarePath = path;
        else if (name == "production-fw")
            page.productionFirmwarePath = path;
        else if (name == "eeprom")
            page.eepromPath = path;
        else if (name == "log")
            page.logPath = path;
        else if (name == "client")
            page.clientAddress = mfg::parseDottedAddress(value);
        else if (name == "mac-start")
            page.typeMacStart(value);
        else if (name == "mac-end")
            page.typeMacEnd(value);
        else if (name == "erase") {
            page.eraseSelection = indexOf(page.eraseEntries(), value);
            if (page.eraseSelection < 0)
                return cli::refuse(*arguments.command, "--erase takes 6, 7, 8, 9 or 10");
        } else if (name == "speed") {
            page.speedSelection = indexOf(page.speedEntries(), value);
            if (page.speedSelection < 0)
                return cli::refuse(*arguments.command, "--speed takes 921.6K or 115.2K");
        } else if (name == "portio") {
            page.portIoModule = value == "none" ? std::string() : value;
        } else if (name == "port") {
            page.portSelection = -1;
            for (std::size_t k = 0; k < page.ports().size(); ++k) {
                if (page.ports()[k].text == value)
                    page.portSelection = static_cast<int>(k);
            }
            if (page.portSelection < 0)
                return cli::refuse(*arguments.command, "--port: " + value + " is not among the usable COM ports");
        }
    }
    if (!changes.empty() && !page.apply())
        return 1;
    printOptions(page, json);
    return 0;
}

int checkPortCommand(const CheckPortArguments& arguments)
{
    const std::optional<std::string>& portName = arguments.port;
    const std::string& portIoArgument = arguments.portIo;
    Page p;
    p.page.setUp();
    if (portName) {
        p.page.portSelection = -1;
        for (std::size_t k = 0; k < p.page.ports().size(); ++k) {
            if (p.page.ports()[k].text == *portName)
                p.page.portSelection = static_cast<int>(k);
        }
    }
    mfg::DebugOutput trace;
    trace.configureFromEnvironment();
    mfg::SerialLink link(p.opener, p.prompter);
    mfg::IspSession isp(platform::RealClock::instance(), p.prompter, trace);
    // The same module as a run would use: the check then tries the same access.
    const auto portIo = mfg::choosePortIo(portIoArgument, platform::currentDirectory());
    isp.setPortIo(portIo->portIo());
    std::fprintf(stderr, "%s\n", portIo->describe().c_str());
    const bool opened = p.page.checkPort(link, isp);
    if (opened)
        std::printf("%s: %s\n", p.page.ports()[p.page.portSelection].text.c_str(),
            link.UsbPort() ? "serial driver" : "direct UART access");
    return opened ? 0 : 1;
}

int itemsCommand(const ItemsArguments& arguments)
{
    const bool json = arguments.json;
    const std::optional<std::string>& select = arguments.select;
    platform::ConsolePrompter prompter;
    mfg::ItemSelection selection(platform::currentDirectory(), prompter);
    platform::FileLock stationLock;
    if (select) {
        auto locked = mfg::lockStation(platform::currentDirectory());
        if (!locked) {
            std::fprintf(stderr, "kellan-mp items: %s\n", locked.error().message.c_str());
            return 2;
        }
        stationLock = std::move(locked.value());
    }
    selection.open(select.has_value());
    if (select) {
        if (*select == "all") {
            selection.selectAll();
        } else if (*select == "none") {
            selection.unselectAll();
        } else {
            selection.unselectAll();
            std::size_t pos = 0;
            while (pos <= select->size()) {
                const std::size_t end = std::min(select->find(',', pos), select->size());
                const std::string bit = select->substr(pos, end - pos);
                selection.checked[bit[0] - '0'] = true;
                pos = end + 1;
            }
        }
        if (selection.apply() < 0)
            return 1;
    }
    if (json) {
        nlohmann::ordered_json rows = nlohmann::ordered_json::array();
        for (int i = 0; i < 8; ++i)
            rows.push_back(
                { { "item", i }, { "description", mfg::kItemNames[i] }, { "checked", selection.checked[i] } });
        std::printf("%s\n", platform::jsonText(rows, 2).c_str());
    } else {
        for (int i = 0; i < 8; ++i)
            std::printf("[%c] %d  %s\n", selection.checked[i] ? 'x' : ' ', i, mfg::kItemNames[i]);
    }
    return 0;
}

} // namespace kellan_mp
