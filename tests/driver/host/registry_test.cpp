#include "driver/host/registry.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>
#include <unistd.h>

using namespace common;
using driver::host::RegistryStore;
using driver::host::RegType;
using driver::host::RegValue;

namespace {

const std::string kKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0000\\Device Parameters";

} // namespace

TEST(RegistryStore, ValuesRoundTripThroughTheRegFile)
{
    testing_support::TempDir dir;
    const std::string file = dir.file("system.reg");
    {
        RegistryStore store;
        ASSERT_EQ(store.attachFile(file), kStatusSuccess);
        ASSERT_EQ(store.createKey(kKey), kStatusSuccess);
        store.setDword(kKey, "RemoteHostIP", 0x0200A8C0);
        store.setString(kKey, "PortName", "COM5");
        store.setString(kKey, "Quoted", "a \"b\" \\c\\ \xC3\xA9");
        store.setValue(kKey, "Blob", static_cast<std::uint32_t>(RegType::Binary), std::vector<std::uint8_t>(60, 0xAB));
        store.setValue(kKey, "Odd", static_cast<std::uint32_t>(RegType::Sz), { 'A', 0, 'B' }); // no terminator
        store.setValue(kKey, "Multi", static_cast<std::uint32_t>(RegType::MultiSz), { 'A', 0, 0, 0, 0, 0 });
        store.setString(kKey, "Lines", "one\r\ntwo");
        store.createKey("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true);
        store.setString("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\Serial11", "COM5");
    }
    const std::string text = dir.read("system.reg");
    EXPECT_NE(text.find("[" + kKey + "]\n\"RemoteHostIP\"=dword:0200a8c0\n\"PortName\"=\"COM5\"\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\"Quoted\"=\"a \\\"b\\\" \\\\c\\\\ \xC3\xA9\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Blob\"=hex:ab,ab"), std::string::npos);
    EXPECT_NE(text.find(",\\\n  ab"), std::string::npos) << "long lists continue on the next line";
    EXPECT_NE(text.find("\"Multi\"=hex(7):41,00,00,00,00,00\n"), std::string::npos);
    EXPECT_EQ(text.find("HARDWARE"), std::string::npos) << "volatile keys are not written";

    RegistryStore reloaded;
    ASSERT_EQ(reloaded.attachFile(file), kStatusSuccess);
    std::uint32_t ip = 0;
    EXPECT_EQ(reloaded.queryDword(kKey, "remotehostip", ip), kStatusSuccess) << "names ignore case";
    EXPECT_EQ(ip, 0x0200A8C0u);
    std::string quoted;
    EXPECT_EQ(reloaded.queryString(kKey, "Quoted", quoted), kStatusSuccess);
    EXPECT_EQ(quoted, "a \"b\" \\c\\ \xC3\xA9");
    RegValue odd;
    reloaded.queryValue(kKey, "Odd", odd);
    EXPECT_EQ(odd.type, 1u);
    EXPECT_EQ(odd.data, (std::vector<std::uint8_t> { 'A', 0, 'B' }));
    std::string lines;
    EXPECT_EQ(reloaded.queryString(kKey, "Lines", lines), kStatusSuccess);
    EXPECT_EQ(lines, "one\r\ntwo");
    EXPECT_EQ(reloaded.exportText(), text);
}

TEST(RegistryStore, KeysAndValuesCanBeDeleted)
{
    RegistryStore store;
    store.createKey(kKey);
    store.setDword(kKey, "A", 1);
    EXPECT_EQ(store.deleteValue(kKey, "a"), kStatusSuccess);
    EXPECT_EQ(store.deleteValue(kKey, "A"), kStatusObjectNameNotFound);
    EXPECT_EQ(store.deleteKey("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS"), kStatusSuccess);
    EXPECT_FALSE(store.keyExists(kKey));
    std::uint32_t value = 0;
    EXPECT_EQ(store.queryDword(kKey, "A", value), kStatusObjectNameNotFound);
    EXPECT_EQ(store.setDword(kKey, "A", 1), kStatusObjectNameNotFound);
    EXPECT_EQ(store.createKey("HKEY_LOCAL_MACHINE\\\\empty"), kStatusObjectNameInvalid);
}

struct HostileInput {
    const char* what;
    std::string text;
    bool understood;
};

class RegistryHostileInput : public testing::TestWithParam<HostileInput> { };

TEST_P(RegistryHostileInput, IsSkippedWithoutHarm)
{
    const HostileInput& input = GetParam();
    RegistryStore store;
    store.createKey(kKey);
    store.setDword(kKey, "Kept", 7);
    int skipped = -1;
    EXPECT_EQ(store.importText(input.text, &skipped), input.understood) << input.what;
    std::uint32_t kept = 0;
    EXPECT_EQ(store.queryDword(kKey, "Kept", kept), kStatusSuccess) << input.what;
    EXPECT_EQ(kept, 7u);
    // Whatever was taken in can be written out and read back to the same text.
    RegistryStore copy;
    ASSERT_TRUE(copy.importText(store.exportText()));
    EXPECT_EQ(copy.exportText(), store.exportText()) << input.what;
}

const std::string kHead = "Windows Registry Editor Version 5.00\n\n";

INSTANTIATE_TEST_SUITE_P(Table, RegistryHostileInput,
    testing::Values(HostileInput { "empty", "", false },
        HostileInput { "no header", "[HKEY_LOCAL_MACHINE\\A]\n", false },
        HostileInput { "binary garbage", std::string("\x00\xff\x13\x80garbage\n", 13), false },
        HostileInput { "header only", kHead, true },
        HostileInput { "truncated key", kHead + "[HKEY_LOCAL_MACHINE\\A", true },
        HostileInput { "value before any key", kHead + "\"A\"=dword:1\n", true },
        HostileInput { "truncated string", kHead + "[HKEY_LOCAL_MACHINE\\A]\n\"A\"=\"abc", true },
        HostileInput { "truncated name", kHead + "[HKEY_LOCAL_MACHINE\\A]\n\"A", true },
        HostileInput { "bad dword", kHead + "[HKEY_LOCAL_MACHINE\\A]\n\"A\"=dword:123456789\n\"B\"=dword:xyz\n", true },
        HostileInput {
            "bad hex", kHead + "[HKEY_LOCAL_MACHINE\\A]\n\"A\"=hex:1,2,3\n\"B\"=hex:zz\n\"C\"=hex(:00\n", true },
        HostileInput { "huge type", kHead + "[HKEY_LOCAL_MACHINE\\A]\n\"A\"=hex(123456789):00\n", true },
        HostileInput { "dangling continuation", kHead + "[HKEY_LOCAL_MACHINE\\A]\n\"A\"=hex:00,\\", true },
        HostileInput { "empty key names", kHead + "[\\\\\\]\n[]\n[-]\n[HKEY_LOCAL_MACHINE\\\\B]\n", true },
        HostileInput { "deep path",
            kHead + "[" +
                [] {
                    std::string path = "HKEY_LOCAL_MACHINE";
                    for (int i = 0; i < 5000; ++i)
                        path += "\\k";
                    return path;
                }()
                + "]\n\"A\"=dword:1\n",
            true },
        HostileInput {
            "long line", kHead + "[HKEY_LOCAL_MACHINE\\A]\n\"" + std::string(1 << 20, 'x') + "\"=dword:1\n", true },
        HostileInput { "UTF-16 with odd length", std::string("\xff\xfeW\0i\0n", 7), false },
        HostileInput { "delete of the store's own key", kHead + "[-" + kKey + "x]\n\"A\"=-\n", true }));

TEST(RegistryStore, ReadsAUtf16ExportWithContinuedHexLists)
{
    const std::string text = kHead + "[HKEY_LOCAL_MACHINE\\A]\r\n\"Bin\"=hex:01,02,\\\r\n  03\r\n@=\"default\"\r\n";
    std::string utf16 = "\xff\xfe";
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    RegistryStore store;
    ASSERT_TRUE(store.importText(utf16));
    RegValue bin;
    ASSERT_EQ(store.queryValue("HKEY_LOCAL_MACHINE\\A", "Bin", bin), kStatusSuccess);
    EXPECT_EQ(bin.data, (std::vector<std::uint8_t> { 1, 2, 3 }));
    std::string fallback;
    EXPECT_EQ(store.queryString("HKEY_LOCAL_MACHINE\\A", "", fallback), kStatusSuccess);
    EXPECT_EQ(fallback, "default");
}

TEST(RegistryStore, AFileThatIsNoExportIsRefusedAndLeftAlone)
{
    testing_support::TempDir dir;
    dir.write("system.reg", "not a registry\n");
    RegistryStore store;
    EXPECT_EQ(store.attachFile(dir.file("system.reg")), kStatusUnsuccessful);
    EXPECT_EQ(dir.read("system.reg"), "not a registry\n");
}

// A change that cannot reach the file (a full or read-only disk; here a
// folder where the file was) is no success: the port would forget it at the
// next start. The store keeps it and writes it once the file can be written.
TEST(RegistryStore, AChangeThatCannotBeWrittenBackIsReportedAndWrittenLater)
{
    testing_support::TempDir dir;
    const std::string file = dir.file("registry.reg");
    RegistryStore store;
    ASSERT_EQ(store.attachFile(file), kStatusSuccess);
    ASSERT_EQ(store.createKey(kKey), kStatusSuccess);
    ASSERT_EQ(store.setDword(kKey, "RemoteHostPort", 5000), kStatusSuccess);
    ASSERT_EQ(::unlink(file.c_str()), 0);
    ASSERT_EQ(::mkdir(file.c_str(), 0700), 0);

    EXPECT_FALSE(ntSuccess(store.setDword(kKey, "RemoteHostPort", 4001)));
    EXPECT_FALSE(ntSuccess(store.createKey(kKey + "\\More")));
    EXPECT_FALSE(ntSuccess(store.deleteValue(kKey, "RemoteHostPort")));
    EXPECT_FALSE(ntSuccess(store.setDword(kKey, "RemoteHostPort", 4002)));
    EXPECT_NE(store.writeError().find(file), std::string::npos) << store.writeError();

    ASSERT_EQ(::rmdir(file.c_str()), 0);
    ASSERT_EQ(store.flush(), kStatusSuccess);
    EXPECT_EQ(store.writeError(), "");
    RegistryStore reloaded;
    ASSERT_EQ(reloaded.attachFile(file), kStatusSuccess);
    std::uint32_t port = 0;
    EXPECT_EQ(reloaded.queryDword(kKey, "RemoteHostPort", port), kStatusSuccess);
    EXPECT_EQ(port, 4002u);
    EXPECT_TRUE(reloaded.keyExists(kKey + "\\More"));
}
