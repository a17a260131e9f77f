#include "utility/devmgmt/device_list_text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace utility::devmgmt;

namespace {

ListRow row(std::string number, std::string name, std::string ip, std::string port)
{
    ListRow result;
    result.texts = { "", number, name, "00-60-E9-00-00-01", "Disable", ip, port, "Server", "Idle" };
    return result;
}

} // namespace

TEST(DeviceListText, TableAlignsColumnsUnderTheListTitles)
{
    const std::string table
        = formatDeviceTable({ row("1", "dev1", "127.0.0.10", "4001"), row("2", "a-longer-name", "127.0.0.100", "80") });
    EXPECT_EQ(table,
        "NO.  Device Name    MAC Address        DHCP     IP           Port  Mode    Status\n"
        "1    dev1           00-60-E9-00-00-01  Disable  127.0.0.10   4001  Server  Idle\n"
        "2    a-longer-name  00-60-E9-00-00-01  Disable  127.0.0.100  80    Server  Idle\n");
    EXPECT_EQ(formatDeviceTable({}), "NO.  Device Name  MAC Address  DHCP  IP  Port  Mode  Status\n");
}

TEST(DeviceListText, JsonKeepsHostileNamesWhole)
{
    EXPECT_EQ(nlohmann::json::parse(formatDeviceJson({})), nlohmann::json::array());
    const std::string text = formatDeviceJson({ row("3", "q\"b\\s\x01\xff\xc3\xa9", "127.0.0.12", "502"),
        row("4", "\xe2\x82", "127.0.0.13", "4001"), row("5", "\xed\xa0\x80", "127.0.0.14", "4001") });
    const auto devices = nlohmann::ordered_json::parse(text);
    ASSERT_EQ(devices.size(), 3u);
    std::vector<std::string> keys;
    for (const auto& item : devices[0].items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string> { "no", "name", "mac", "dhcp", "ip", "port", "mode", "status" }));
    EXPECT_EQ(devices[0]["no"], 3);
    EXPECT_EQ(devices[0]["port"], 502);
    EXPECT_EQ(devices[0]["ip"], "127.0.0.12");
    // A byte that is no UTF-8 is its Latin-1 character; valid UTF-8 stays.
    EXPECT_EQ(devices[0]["name"], "q\"b\\s\x01\xc3\xbf\xc3\xa9");
    EXPECT_EQ(devices[1]["name"], "\xc3\xa2\xc2\x82"); // a cut sequence
    EXPECT_TRUE(devices[2]["name"].is_string()); // a surrogate: replaced, not refused
    EXPECT_EQ(devices[2]["no"], 5);
}
