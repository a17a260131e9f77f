#include "utility/devmgmt/device_list_text.h"

#include <gtest/gtest.h>

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

TEST(DeviceListText, JsonEscapesHostileNamesAndKeepsNumbersNumeric)
{
    EXPECT_EQ(formatDeviceJson({}), "[]\n");
    const std::string json = formatDeviceJson({ row("3", "q\"b\\s\x01\xff\xc3\xa9", "127.0.0.12", "502") });
    EXPECT_EQ(json,
        "[\n  {\"no\": 3, \"name\": \"q\\\"b\\\\s\\u0001\\u00FF\xc3\xa9\", \"mac\": \"00-60-E9-00-00-01\", "
        "\"dhcp\": \"Disable\", \"ip\": \"127.0.0.12\", \"port\": 502, \"mode\": \"Server\", "
        "\"status\": \"Idle\"}\n]\n");
    EXPECT_EQ(jsonString("\xe2\x82"), "\"\\u00E2\\u0082\""); // cut sequence
    EXPECT_EQ(jsonString("\n\t"), "\"\\u000A\\u0009\"");
}
