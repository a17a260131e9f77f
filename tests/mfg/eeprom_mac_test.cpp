// MAC range checks and steps, the EEPROM file and write commands, and the
// read-back from the firmware's dump.

#include "mfg/eeprom_mac.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

struct MacStep {
    const char* current;
    const char* end;
    const char* next; // current MAC after a passing run
    bool validAfterwards; // a further board is accepted
};

class AdvanceMacTable : public testing::TestWithParam<MacStep> { };

TEST_P(AdvanceMacTable, StepsByOneAndMarksTheRangeUsedUp)
{
    const MacStep& c = GetParam();
    testing_support::TempDir dir;
    mfg::MfgSettings settings;
    settings.currentMac = c.current;
    settings.endMac = c.end;
    settings.erase_wait_time = 8;
    std::string result;
    ASSERT_TRUE(mfg::ValidateMacRange(settings, result)) << result;
    mfg::AdvanceMac(dir.path(), settings, result);
    EXPECT_EQ(settings.currentMac, c.next);
    EXPECT_EQ(result, "");
    EXPECT_EQ(dir.read("Option.dat"), "\n\n\n\n\n\n" + std::string(c.next) + "\n" + c.end + "\n2\n");
    EXPECT_EQ(mfg::ValidateMacRange(settings, result), c.validAfterwards);
    EXPECT_EQ(result, c.validAfterwards ? "" : "The MAC address is out of range now !!\n");
}

INSTANTIATE_TEST_SUITE_P(Ranges, AdvanceMacTable,
    testing::Values(MacStep { "00A0B0C0D0EF", "00A0B0C0D0FF", "00A0B0C0D0F0", true },
        MacStep { "0000FFFFFFFF", "0001FFFFFFFF", "000100000000", true },
        MacStep { "00a0b0c0d0e0", "00A0B0C0D0E1", "00A0B0C0D0E1", true },
        MacStep { "00A0B0C0D0E1", "00A0B0C0D0E1", "00A0B0C0D0E2", false },
        // The top of the address space still ends up marked as used up.
        MacStep { "FFFFFFFFFFFF", "FFFFFFFFFFFF", "1000000000000", false }));

TEST(ValidateMacRange, RefusesBadTextsWithTheirReason)
{
    struct Case {
        const char* current;
        const char* end;
        const char* reason;
    };
    for (const Case& c : { Case { "00A0B0C0D0E2", "00A0B0C0D0E1", "The MAC address is out of range now !!\n" },
             Case { "00A0B0C0D0G0", "00A0B0C0D0Z0", "Invalid MAC address format !!\n" },
             Case { "00A0B0C0D0E0", "00A0B0C0D0EX", "Invalid MAC address format !!\n" } }) {
        mfg::MfgSettings settings;
        settings.currentMac = c.current;
        settings.endMac = c.end;
        std::string result;
        EXPECT_FALSE(mfg::ValidateMacRange(settings, result)) << c.current;
        EXPECT_EQ(result, c.reason) << c.current;
        EXPECT_FALSE(settings.macValuesParsed);
    }
}

TEST(AdvanceMac, WithoutParsedRangeKeepsTheAddressButRewritesTheFile)
{
    testing_support::TempDir dir;
    mfg::MfgSettings settings;
    settings.currentMac = "00A0B0C0D0E0";
    settings.endMac = "00A0B0C0D0E1";
    std::string result;
    mfg::AdvanceMac(dir.path(), settings, result);
    EXPECT_EQ(settings.currentMac, "00A0B0C0D0E0");
    EXPECT_NE(dir.read("Option.dat").find("00A0B0C0D0E0\n00A0B0C0D0E1\n3\n"), std::string::npos);
    mfg::AdvanceMac(dir.file("missing-folder"), settings, result);
    EXPECT_EQ(result, "Can not update Option.dat ..\nMac start address could be wrong in next program starting !!\n");
}

std::string eepromText(const std::string& firstValue)
{
    std::string text = "[0000]\n" + firstValue + "\n";
    for (int k = 1; k < 34; ++k) {
        char lines[32];
        std::snprintf(lines, sizeof lines, "[%04X]\n%04X\n", k, k);
        text += lines;
    }
    return text;
}

TEST(EepromFile, EntriesSixToElevenCarryTheMacBackwards)
{
    std::string text = eepromText("ABCD");
    auto entries = mfg::parseEepromFile(text);
    ASSERT_TRUE(entries);
    auto commandText = [&](std::size_t k) {
        const auto command = mfg::eepromWriteCommand((*entries)[k], k, "00A0B0C0D0E7");
        return std::string(command.begin(), command.end());
    };
    EXPECT_EQ(commandText(0), "ew 0000 ABCD\r\n");
    EXPECT_EQ(commandText(6), "ew 0006 00E7\r\n");
    EXPECT_EQ(commandText(9), "ew 0009 00B0\r\n");
    EXPECT_EQ(commandText(11), "ew 000B 0000\r\n");
    EXPECT_EQ(commandText(12), "ew 000C 000C\r\n");
}

TEST(EepromFile, LongLinesSplitAndShortFilesAreRefused)
{
    // An 85-character line becomes two lines: the rest is an entry's start.
    std::string text = std::string(85, 'x') + "\n" + eepromText("1234");
    auto entries = mfg::parseEepromFile(text);
    ASSERT_TRUE(entries);
    EXPECT_EQ(std::string((*entries)[0].address.begin(), (*entries)[0].address.end()), "xxxx");
    EXPECT_EQ(std::string((*entries)[0].value.begin(), (*entries)[0].value.end()), "xxxx");
    EXPECT_FALSE(mfg::parseEepromFile("[0000]\n1234\n"));
    // A short line gives zeros, never the line end.
    auto shortValue = mfg::parseEepromFile(eepromText("12"));
    ASSERT_TRUE(shortValue);
    EXPECT_EQ(std::string((*shortValue)[0].value.begin(), (*shortValue)[0].value.end()), "1200");
}

TEST(EepromDump, DigitsFollowTheFirstColon)
{
    std::string dump = "er\r\nEEPROM:";
    for (int k = 0; k < 64; ++k) {
        char field[8];
        std::snprintf(field, sizeof field, " %02x", k >= 6 && k <= 11 ? 0xa0 + k : k);
        dump += field;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(dump.data());
    EXPECT_EQ(mfg::macFromDump(bytes, dump.size()), "ABAAA9A8A7A6");
    // Without a colon the fields are counted as if it stood before byte 0.
    auto read = [](const std::string& text) {
        return mfg::macFromDump(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    const std::string fields = dump.substr(dump.find(':') + 1);
    EXPECT_EQ(read(fields), "ABAAA9A8A7A6");
    EXPECT_NE(read("er\r\nEEPROM" + fields), "ABAAA9A8A7A6");
    // A dump cut short reads as zeros past its end.
    EXPECT_EQ(mfg::macFromDump(bytes, 20), std::string(12, '\0'));
}

} // namespace

// The log entry of a failed read-back says what the board answered.
TEST(EepromReadBack, TheReasonSaysWhatTheBoardAnswered)
{
    std::string dump = "er\r\nEEPROM:";
    for (int k = 0; k < 64; ++k) {
        char field[8];
        std::snprintf(field, sizeof field, " %02x", k >= 6 && k <= 11 ? 0x10 + k : 0);
        dump += field;
    }
    const struct {
        int code;
        std::string reply;
        std::string reason;
    } cases[] = {
        { 9, dump + "\r\n>",
            "the board does not keep what is written: read back MAC 1B1A19181716, wrote 00A0B0C0D0E0" },
        { 9, "er\r\nEEPROM: read error\r\n>", "the board answered \"EEPROM: read error\" instead of its EEPROM words" },
        // No colon: the whole answer, line ends as blanks, control bytes shown.
        { 9, "er\r\n?\x01\r\n>", "the board answered \"er ?\\x01 >\" instead of its EEPROM words" },
        // A dump cut short before the address words is no dump.
        { 9, dump.substr(0, 29), "the board answered \"" + dump.substr(4, 25) + "\" instead of its EEPROM words" },
        { 9, "EEPROM:" + std::string(100, 'z'),
            "the board answered \"EEPROM:" + std::string(73, 'z') + "...\" instead of its EEPROM words" },
        { 4, "", "the board did not answer the dump command (er) within 3 s" },
        { 10, "", "the board's answer to the dump command (er) was empty" },
        { 11, "", "no character came from the board after the dump command (er)" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        EXPECT_EQ(mfg::readBackReason(
                      c.code, reinterpret_cast<const std::uint8_t*>(c.reply.data()), c.reply.size(), "00A0B0C0D0E0"),
            c.reason);
    }
}
