#pragma once

// Positional counts of a benchmark's command line: --help prints the usage
// and ends the program; anything that is not a positive number, or one
// argument too many, is refused (false).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace bench {

inline bool countArguments(int argc, char** argv, const char* usage, std::initializer_list<int*> counts)
{
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        std::exit(0);
    }
    if (argc - 1 > static_cast<int>(counts.size()))
        return false;
    int index = 1;
    for (int* count : counts) {
        if (index >= argc)
            break;
        char* end = nullptr;
        const long value = std::strtol(argv[index++], &end, 10);
        if (*end != '\0' || value < 1 || value > 100000000)
            return false;
        *count = static_cast<int>(value);
    }
    return true;
}

} // namespace bench
