#include "platform/seqpacket.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(ClientRuntimeDir, ConfiguredThenOwnDaemonThenTheSystemService)
{
    const std::string own = "/run/user/1000/vorpil";
    const std::string system = platform::kSystemVorpilRuntimeDir;
    struct Case {
        const char* name;
        std::string configured;
        bool root;
        std::set<std::string> serving;
        std::string expected;
    };
    const Case cases[] = {
        { "the setting decides", "/tmp/mine", false, { own, system }, "/tmp/mine" },
        { "the setting decides for root too", "/tmp/mine", true, { system }, "/tmp/mine" },
        { "root takes the system's", "", true, {}, system },
        { "a user's own daemon first", "", false, { own, system }, own },
        { "else the service", "", false, { system }, system },
        { "nothing runs: the user's own is named", "", false, {}, own },
    };
    for (const auto& c : cases) {
        platform::VorpilRuntimeLookup lookup;
        lookup.configured = c.configured;
        lookup.root = c.root;
        lookup.own = c.root ? system : own;
        lookup.serves = [&c](const std::string& directory) { return c.serving.count(directory) != 0; };
        EXPECT_EQ(platform::chooseClientRuntimeDir(lookup), c.expected) << c.name;
    }
}

} // namespace
