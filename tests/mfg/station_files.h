#pragma once

#include "tests/support/temp_dir.h"

#include <cstdio>
#include <string>

namespace testing_support {

// The files a production station's Option.dat names: the EEPROM data (34
// words, 0x2200 upwards) and loader, test and production firmware of
// distinct sizes and contents.
inline void writeStationFiles(TempDir& dir)
{
    std::string eeprom;
    for (int k = 0; k < 34; ++k) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "[%04X]\n%04X\n", k, 0x2200 + k);
        eeprom += entry;
    }
    dir.write("eeprom.ini", eeprom);
    dir.write("loader.bin", std::string(2000, '\x5A'));
    dir.write("test.bin", std::string(700, '\x11'));
    dir.write("prod.bin", std::string(1600, '\x22'));
}

} // namespace testing_support
