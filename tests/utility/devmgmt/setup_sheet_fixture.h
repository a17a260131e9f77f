// The device setup sheet: the devices and files its tests share.
#pragma once

#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/devmgmt/setting_file.h"
#include "utility/devmgmt/setup_sheet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>

using namespace utility::devmgmt;
using testing_support::ScriptedPrompter;
using testing_support::TempDir;

namespace setup_sheet_testing {

// The setting file of the device below, written out by hand.
const std::string kExpectedFile
    = "Lab-Gate_07              // ( 1) Device name\r\n"
      "00-60-E9-12-AB-CD        // ( 2) MAC address\r\n"
      "0                        // ( 3) Server/Client switch, 0: Server, 1: Client\r\n"
      "1                        // ( 4) DHCP function switch, 0: Disable, 1: Enable\r\n"
      "10.1.2.3                 // ( 5) Server dynamic listening IP\r\n"
      "192.168.0.50             // ( 6) Server static listening IP\r\n"
      "4001                     // ( 7) Server data listening Port\r\n"
      "25122                    // ( 8) Server broadcast listening Port\r\n"
      "25123                    // ( 9) Server mulitcast listening Port\r\n"
      "192.168.0.9              // (10) Reserved.\r\n"
      "6000                     // (11) Clinet destination Port\r\n"
      "1                        // (12) UDP Protocol, 0: Disable 1: Enable\r\n"
      "1                        // (13) Auto connect after reboot, 0: Disable 1: Enable\r\n"
      "0                        // (14) TCP Protocol, 0: Disable 1: Enable\r\n"
      "1                        // (15) Broadcast, 0: Disable 1: Enable\r\n"
      "0                        // (16) Multicast, 0: Disable 1: Enable\r\n"
      "255.255.0.0              // (17) Netmask\r\n"
      "10.1.0.1                 // (18) Gateway\r\n"
      "8.8.4.4                  // (19) DNS server\r\n"
      "12                       // (20) Connection timeout (min)\r\n"
      "250                      // (21) Transmission timer (ms)\r\n"
      "1                        // (22) Enable Accessible IP check function\r\n"
      "10.1.0.10                // (23) Accessible IP 1\r\n"
      "10.1.0.11                // (24) Accessible IP 2\r\n"
      "0.0.0.0                  // (25) Accessible IP 3\r\n"
      "172.16.5.4               // (26) Accessible IP 4\r\n"
      "mail.example.org         // (27) SMTP domain name\r\n"
      "gate@example.org         // (28) SMTP From Address\r\n"
      "ops@example.org          // (29) SMTP To Address 1\r\n"
      "night@example.org        // (30) SMTP To Address 2\r\n"
      "x@y.z                    // (31) SMTP To Address 3\r\n"
      "                         // (32) SMTP username\r\n"
      "                         // (33) SMTP password\r\n"
      "1500                     // (34) SMTP event enable bits\r\n"
      "collector.example.org    // (35) Destination host name / IP\r\n"
      "5                        // (36) Baud rate(bps), 0: 921600, 1: 115200, 2: 57600, 3: 38400, 4: 19200, 5: 9600, "
      "6: 4800, 7: 2400, 8: 1200\r\n"
      "3                        // (37) Data bits, 0: 5bits, 1: 6bits, 2: 7bits, 3: 8bits\r\n"
      "2                        // (38) Parity, 0: Odd, 1: Even, 2: None\r\n"
      "1                        // (39) Stop bits, 0: 1bit, 1: 1.5bits\r\n"
      "1                        // (40) Flow Control, 0: Xon/Xoff, 1: Hardware, 2: None\r\n"
      "2                        // (41) RS-485 mode, 0: Sleep, 1:Single-half, 2: Single-half or double-full-slave, 3: "
      "Double-full-master\r\n"
      "10.1.0.2                 // (42) Firmware Upgrade - TFTP server IP\r\n"
      "fw_v2.bin                // (43) Firmware Upgrade - Runtime code filename\r\n";

inline void put(DeviceEntry& entry, std::size_t at, std::initializer_list<std::uint8_t> bytes)
{
    std::copy(bytes.begin(), bytes.end(), entry.record.begin() + static_cast<std::ptrdiff_t>(at));
}

inline void putText(DeviceEntry& entry, std::size_t at, const std::string& text)
{
    std::memcpy(entry.record.data() + at, text.data(), text.size());
}

// A QueryReply with every item set, its bytes laid out by offset.
inline DeviceEntry fullDevice()
{
    DeviceEntry entry;
    entry.length = 438;
    putText(entry, 0, "ZORVVROZ");
    put(entry, 8, { 0x01, 0x02 }); // auto connect
    putText(entry, 10, "Lab-Gate_07");
    put(entry, 26, { 0x00, 0x60, 0xE9, 0x12, 0xAB, 0xCD });
    put(entry, 32, { 0x59, 12 }); // DHCP, accessible-IP check, UDP, broadcast; timeout
    put(entry, 34, { 10, 1, 2, 3, 192, 168, 0, 50, 0x0F, 0xA1, 0x62, 0x22, 0x62, 0x23 });
    put(entry, 48, { 192, 168, 0, 9, 0x17, 0x70, 255, 255, 0, 0, 10, 1, 0, 1, 8, 8, 4, 4 });
    put(entry, 66, { 0x2B, 0x45, 2, 1, 0x00, 0xFA }); // serial codes, state connected, timer 250
    put(entry, 72, { 10, 1, 0, 10, 10, 1, 0, 11, 0, 0, 0, 0, 172, 16, 5, 4 });
    putText(entry, 88, "mail.example.org");
    putText(entry, 124, "gate@example.org");
    putText(entry, 160, "ops@example.org");
    putText(entry, 196, "night@example.org");
    putText(entry, 232, "x@y.z");
    put(entry, 268, { 0x00, 0x15 }); // cold start, authentication fail, password change
    putText(entry, 270, "collector.example.org");
    put(entry, 306, { 10, 1, 0, 2 });
    putText(entry, 310, "fw_v2.bin");
    return entry;
}

// A device with nothing but its header, name, MAC and address.
inline DeviceEntry plainDevice(const std::string& name = "")
{
    DeviceEntry entry;
    entry.length = 438;
    putText(entry, 0, "ZORVVROZ");
    put(entry, 8, { 0x01 });
    putText(entry, 10, name);
    put(entry, 26, { 0x02, 0x44, 0x53, 0x00, 0x00, 0x07 });
    put(entry, 32, { 0x05 }); // TCP, broadcast
    put(entry, 34, { 127, 0, 0, 10 });
    put(entry, 42, { 0x13, 0x88 });
    put(entry, 52, { 0x13, 0x88 });
    return entry;
}

inline std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

inline void writeAll(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

struct SheetTest : ::testing::Test {
    ScriptedPrompter prompter;
    SetupSheet sheet { prompter };
    TempDir dir;
    std::string path(const std::string& name) const { return dir.path() + "/" + name; }
    int count(const std::string& message) const
    {
        int n = 0;
        for (const auto& text : prompter.messages())
            n += text == message;
        return n;
    }
};

} // namespace setup_sheet_testing

using namespace setup_sheet_testing;
