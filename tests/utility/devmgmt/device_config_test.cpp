#include "utility/devmgmt/device_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace utility::devmgmt;

namespace {

const MacAddress kStoredMac = { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E };

// Every switch and code 0, so that a single item's bits can be checked alone.
DeviceItems quietItems()
{
    DeviceItems items;
    for (auto& value : items.values)
        value = "0";
    items[Item::DeviceName] = "base";
    items[Item::MacAddress] = "00-1A-2B-3C-4D-5E";
    items[Item::BroadcastPort] = "25122";
    items[Item::MulticastPort] = "25123";
    for (Item item : { Item::DynamicIp, Item::StaticIp, Item::DestinationIp, Item::Netmask, Item::Gateway, Item::Dns,
             Item::AccessibleIp1, Item::AccessibleIp2, Item::AccessibleIp3, Item::AccessibleIp4, Item::TftpServer })
        items[item] = "0.0.0.0";
    for (Item item : { Item::SmtpDomain, Item::SmtpFrom, Item::SmtpTo1, Item::SmtpTo2, Item::SmtpTo3, Item::SmtpUser,
             Item::SmtpPassword, Item::DestinationHost, Item::FirmwareFile })
        items[item] = "";
    items[Item::SmtpEvents] = "0000";
    return items;
}

std::vector<std::uint8_t> bytesAt(const DeviceConfig& record, std::size_t at, std::size_t count)
{
    return { record.bytes.begin() + at, record.bytes.begin() + at + count };
}

std::vector<std::uint8_t> textBytes(const std::string& text) { return { text.begin(), text.end() }; }

struct ItemCase {
    Item item;
    std::string text;
    std::size_t at;
    std::vector<std::uint8_t> expected; // bytes at `at`, empty when nothing is written
    std::string readBack;
};

// Offsets and encodings written out by hand, independent of the encoder.
const std::vector<ItemCase> kItemCases = {
    { Item::DeviceName, "Dev-01", 10, { 'D', 'e', 'v', '-', '0', '1', 0 }, "Dev-01" },
    { Item::ClientMode, "1", 32, { 0x80 }, "1" },
    { Item::Dhcp, "1", 32, { 0x40 }, "1" },
    { Item::DynamicIp, "192.168.0.10", 34, { 192, 168, 0, 10 }, "192.168.0.10" },
    { Item::StaticIp, "10.1.2.3", 38, { 10, 1, 2, 3 }, "10.1.2.3" },
    { Item::DataPort, "4001", 42, { 0x0F, 0xA1 }, "4001" },
    { Item::BroadcastPort, "25122", 44, { 0x62, 0x22 }, "25122" },
    { Item::MulticastPort, "25123", 46, { 0x62, 0x23 }, "25123" },
    { Item::DestinationIp, "192.168.0.2", 48, { 192, 168, 0, 2 }, "192.168.0.2" },
    { Item::ClientDestinationPort, "5000", 52, { 0x13, 0x88 }, "5000" },
    { Item::Udp, "1", 32, { 0x08 }, "1" },
    { Item::AutoConnect, "1", 9, { 0x03 }, "1" },
    { Item::Tcp, "1", 32, { 0x04 }, "1" },
    { Item::Broadcast, "1", 32, { 0x01 }, "1" },
    { Item::Multicast, "1", 32, { 0x02 }, "1" },
    { Item::Netmask, "255.255.255.0", 54, { 255, 255, 255, 0 }, "255.255.255.0" },
    { Item::Gateway, "192.168.0.254", 58, { 192, 168, 0, 254 }, "192.168.0.254" },
    { Item::Dns, "8.8.4.4", 62, { 8, 8, 4, 4 }, "8.8.4.4" },
    { Item::ConnectionTimeout, "20", 33, { 20 }, "20" },
    { Item::TransmissionTimer, "300", 70, { 0x01, 0x2C }, "300" },
    { Item::AccessibleIpCheck, "1", 32, { 0x10 }, "1" },
    { Item::AccessibleIp1, "172.16.0.1", 72, { 172, 16, 0, 1 }, "172.16.0.1" },
    { Item::AccessibleIp2, "172.16.0.2", 76, { 172, 16, 0, 2 }, "172.16.0.2" },
    { Item::AccessibleIp3, "172.16.0.3", 80, { 172, 16, 0, 3 }, "172.16.0.3" },
    { Item::AccessibleIp4, "172.16.0.4", 84, { 172, 16, 0, 4 }, "172.16.0.4" },
    { Item::SmtpDomain, "mail.example.com", 88, textBytes(std::string("mail.example.com") + '\0'), "mail.example.com" },
    { Item::SmtpFrom, "dev@example.com", 124, textBytes(std::string("dev@example.com") + '\0'), "dev@example.com" },
    { Item::SmtpTo1, "a@example.com", 160, textBytes(std::string("a@example.com") + '\0'), "a@example.com" },
    { Item::SmtpTo2, "b@example.com", 196, textBytes(std::string("b@example.com") + '\0'), "b@example.com" },
    { Item::SmtpTo3, "c@example.com", 232, textBytes(std::string("c@example.com") + '\0'), "c@example.com" },
    { Item::SmtpUser, "user", 0, {}, "" },
    { Item::SmtpPassword, "secret", 0, {}, "" },
    { Item::SmtpEvents, "1F00", 268, { 0x00, 0x1F }, "1F00" },
    { Item::DestinationHost, "host.example.com", 270, textBytes(std::string("host.example.com") + '\0'),
        "host.example.com" },
    { Item::BaudRate, "8", 66, { 0x40 }, "8" },
    { Item::DataBits, "3", 66, { 0x03 }, "3" },
    { Item::Parity, "2", 67, { 0x40 }, "2" },
    { Item::StopBits, "2", 67, { 0x02 }, "2" },
    { Item::FlowControl, "2", 67, { 0x08 }, "2" },
    { Item::Rs485Mode, "3", 68, { 0x03 }, "3" },
    { Item::TftpServer, "192.168.0.100", 306, { 192, 168, 0, 100 }, "192.168.0.100" },
    { Item::FirmwareFile, "fw/runtime_v2.bin", 310, textBytes(std::string("fw/runtime_v2.bin") + '\0'),
        "fw/runtime_v2.bin" },
};

} // namespace

TEST(DeviceConfigItems, EachItemLandsAtItsOffsetAndReadsBack)
{
    const DeviceConfig quiet = buildSetConfig(quietItems(), kStoredMac);
    for (const auto& testCase : kItemCases) {
        SCOPED_TRACE(static_cast<int>(testCase.item));
        DeviceItems items = quietItems();
        items[testCase.item] = testCase.text;
        const DeviceConfig record = buildSetConfig(items, kStoredMac);
        if (testCase.expected.empty()) {
            EXPECT_EQ(record, quiet); // no place in the record
        } else {
            EXPECT_EQ(bytesAt(record, testCase.at, testCase.expected.size()), testCase.expected);
            // Nothing outside the item's bytes changes.
            DeviceConfig other = record;
            std::copy(quiet.bytes.begin() + testCase.at, quiet.bytes.begin() + testCase.at + testCase.expected.size(),
                other.bytes.begin() + testCase.at);
            EXPECT_EQ(other, quiet);
        }
        EXPECT_EQ(parseItems(record)[testCase.item], testCase.readBack);
    }
    EXPECT_EQ(kItemCases.size(), static_cast<std::size_t>(kItemCount - 1)); // every item but the MAC
}

TEST(SetConfig, HeaderFixedFieldsAndTheStoredMac)
{
    DeviceItems items = quietItems();
    items[Item::MacAddress] = "FF-FF-FF-FF-FF-FF"; // the MAC text never reaches the device
    items[Item::BroadcastPort] = "1234";
    items[Item::MulticastPort] = "";
    for (const char* autoConnect : { "0", "1" }) {
        items[Item::AutoConnect] = autoConnect;
        const DeviceConfig record = buildSetConfig(items, kStoredMac);
        EXPECT_EQ(bytesAt(record, 0, 9), (std::vector<std::uint8_t> { 'Z', 'O', 'R', 'V', 'V', 'R', 'O', 'Z', 0x02 }));
        EXPECT_EQ(record.bytes[9] & 0x01, 0x01) << "bit 0 of byte 9 is always set";
        EXPECT_EQ(bytesAt(record, 26, 6), std::vector<std::uint8_t>(kStoredMac.begin(), kStoredMac.end()));
        EXPECT_EQ(bytesAt(record, 44, 4), (std::vector<std::uint8_t> { 0x62, 0x22, 0x62, 0x23 }));
        EXPECT_EQ(record.bytes[69], 0);
    }
}

TEST(SetConfig, SixteenCharacterNameHasNoTerminatorAndLongerTextsAreCut)
{
    DeviceItems items = quietItems();
    items[Item::DeviceName] = "ABCDEFGHIJKLMNOP";
    DeviceConfig record = buildSetConfig(items, kStoredMac);
    EXPECT_EQ(bytesAt(record, 10, 16), textBytes("ABCDEFGHIJKLMNOP"));
    EXPECT_EQ(record.bytes[26], kStoredMac[0]);
    EXPECT_EQ(parseItems(record)[Item::DeviceName], "ABCDEFGHIJKLMNOP");

    items[Item::DeviceName] = "short";
    record = buildSetConfig(items, kStoredMac);
    EXPECT_EQ(bytesAt(record, 10, 16), textBytes(std::string("short") + std::string(11, '\0')));

    items[Item::DeviceName] = "ABCDEFGHIJKLMNOPQRS";
    items[Item::SmtpTo3] = std::string(50, 'x');
    items[Item::DestinationHost] = "next";
    items[Item::FirmwareFile] = std::string(300, 'f');
    record = buildSetConfig(items, kStoredMac);
    EXPECT_EQ(parseItems(record)[Item::DeviceName], "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(bytesAt(record, 26, 6), std::vector<std::uint8_t>(kStoredMac.begin(), kStoredMac.end()));
    EXPECT_EQ(parseItems(record)[Item::SmtpTo3], std::string(36, 'x'));
    // The event bits between the cut text and the next one are untouched.
    EXPECT_EQ(bytesAt(record, 268, 2), (std::vector<std::uint8_t> { 0, 0 }));
    EXPECT_EQ(parseItems(record)[Item::DestinationHost], "next");
    EXPECT_EQ(parseItems(record)[Item::FirmwareFile], std::string(128, 'f'));
}

TEST(SetConfig, AddressTextsAreReadPartByPartModulo256)
{
    struct Case {
        const char* text;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        { "10.0.0.300", { 10, 0, 0, 44 } },
        { "256.257.258.511", { 0, 1, 2, 255 } },
        { "999999999999999999999.0.0.1", { 255, 0, 0, 1 } },
        { "1.2.3", { 1, 2, 3, 0 } },
        { "7", { 7, 0, 0, 0 } },
        { "", { 0, 0, 0, 0 } },
        { "a.b.c.d", { 0, 0, 0, 0 } },
        { "12x.5.-6.7y", { 12, 5, 0, 7 } },
        { "1.2.3.4.5", { 1, 2, 3, 5 } },
        { "1.2.3.", { 1, 2, 3, 0 } },
    };
    for (const auto& testCase : cases) {
        DeviceItems items = quietItems();
        items[Item::Gateway] = testCase.text;
        EXPECT_EQ(bytesAt(buildSetConfig(items, kStoredMac), 58, 4), testCase.bytes) << testCase.text;
    }
}

TEST(SetConfig, OutOfRangeNumbersStayInsideTheirOwnField)
{
    DeviceItems items = quietItems();
    items[Item::DataPort] = "70000"; // 16 bits: 70000 mod 65536 = 4464
    items[Item::BaudRate] = "1";
    items[Item::DataBits] = "9"; // three bits only
    items[Item::Parity] = "2";
    items[Item::FlowControl] = "9";
    items[Item::StopBits] = "7"; // two bits only
    items[Item::Dhcp] = "2"; // a switch is on or off
    items[Item::SmtpEvents] = "1f";
    const DeviceConfig record = buildSetConfig(items, kStoredMac);
    EXPECT_EQ(bytesAt(record, 42, 2), (std::vector<std::uint8_t> { 0x11, 0x70 }));
    EXPECT_EQ(record.bytes[66], 0x09);
    EXPECT_EQ(record.bytes[67], 0x40 | 0x04 | 0x03);
    EXPECT_EQ(record.bytes[32], 0x40);
    // A short event text is a number: 0x001F, so the first byte of the field holds 0x1F.
    EXPECT_EQ(bytesAt(record, 268, 2), (std::vector<std::uint8_t> { 0x1F, 0x00 }));
}

TEST(SetConfig, EventBitsKeepTheSettingFileByteOrder)
{
    DeviceItems items = quietItems();
    items[Item::SmtpEvents] = "0100"; // cold start only
    DeviceConfig record = buildSetConfig(items, kStoredMac);
    EXPECT_EQ(record.port(268), 0x0001);
    items[Item::SmtpEvents] = "1f00";
    record = buildSetConfig(items, kStoredMac);
    EXPECT_EQ(record.port(268), 0x001F);
    EXPECT_EQ(parseItems(record)[Item::SmtpEvents], "1F00");
}

TEST(ParseRecord, TextsDropFillerBytesAndStopAtZero)
{
    DeviceConfig record;
    const std::uint8_t name[] = { 'A', 0xCC, 'B', 0xFF, 'C', 0xCC };
    std::copy(std::begin(name), std::end(name), record.bytes.begin() + 10);
    const std::uint8_t domain[] = { 'x', 0xFF, 'y', 0xCC, 'z', 0, 'q' };
    std::copy(std::begin(domain), std::end(domain), record.bytes.begin() + 88);
    std::fill(record.bytes.begin() + 310, record.bytes.end(), 'n'); // no terminator up to the record's end
    const DeviceItems items = parseItems(record);
    EXPECT_EQ(items[Item::DeviceName],
        "AB\xFF"
        "C");
    EXPECT_EQ(items[Item::SmtpDomain], "xy\xCCz");
    EXPECT_EQ(items[Item::FirmwareFile], std::string(128, 'n'));
    EXPECT_EQ(record.name(), items[Item::DeviceName]);
}

TEST(ParseRecord, ReadersMaskTheirBits)
{
    DeviceConfig record;
    record.bytes[9] = 0xFD; // every bit but auto connect
    record.bytes[32] = 0x20; // reserved bit only
    record.bytes[33] = 0xF4;
    record.bytes[66] = 0xFF;
    record.bytes[67] = 0xFF;
    record.bytes[68] = 0xC8;
    record.bytes[26] = 0xAB;
    const DeviceItems items = parseItems(record);
    EXPECT_EQ(items[Item::AutoConnect], "0");
    for (Item item : { Item::ClientMode, Item::Dhcp, Item::AccessibleIpCheck, Item::Udp, Item::Tcp, Item::Multicast,
             Item::Broadcast })
        EXPECT_EQ(items[item], "0");
    EXPECT_EQ(items[Item::ConnectionTimeout], "20");
    EXPECT_EQ(items[Item::BaudRate], "31");
    EXPECT_EQ(items[Item::DataBits], "7");
    EXPECT_EQ(items[Item::Parity], "7");
    EXPECT_EQ(items[Item::FlowControl], "7");
    EXPECT_EQ(items[Item::StopBits], "3");
    EXPECT_EQ(items[Item::Rs485Mode], "200");
    EXPECT_EQ(items[Item::MacAddress], "AB-00-00-00-00-00");
    EXPECT_EQ(items[Item::SmtpUser], "");
    EXPECT_EQ(items[Item::SmtpPassword], "");
}

TEST(ParseRecord, TakesTheFirst438BytesAndZeroForMissingOnes)
{
    std::vector<std::uint8_t> reply(2000, 0x5A);
    reply[8] = 0x11;
    DeviceConfig record = DeviceConfig::fromDatagram(reply);
    EXPECT_EQ(record.type(), 1);
    EXPECT_EQ(record.bytes[437], 0x5A);

    std::vector<std::uint8_t> shortReply(30, 0x77);
    record = DeviceConfig::fromDatagram(shortReply);
    EXPECT_EQ(record.bytes[29], 0x77);
    EXPECT_EQ(record.bytes[30], 0x00);
    EXPECT_EQ(record.bytes[437], 0x00);
    EXPECT_EQ(parseItems(record)[Item::DynamicIp], "0.0.0.0");
    EXPECT_EQ(DeviceConfig::fromDatagram({}), DeviceConfig {});
}
