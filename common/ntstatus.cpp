#include "common/ntstatus.h"

#include <cstdio>
#include <string>

namespace common {

std::string statusText(NtStatus status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

} // namespace common
