#pragma once

#include <string>

namespace mfg::records {

// "HOST/PID/START": this process, told apart from a later one that reuses
// its number by the start time the kernel keeps for it.
std::string thisProcessIdentity();
// Whether the process an identity names still runs. A process on another
// host is taken to run: it cannot be asked from here.
bool processIdentityAlive(const std::string& identity);
std::string hostName();

// A MAC lease holder's id: 32 lower-case hexadecimal digits drawn from the
// system's random source, so that no two stations (on any host, in any PID
// namespace) share one.
std::string newHolderId();
bool isHolderId(const std::string& text);

} // namespace mfg::records
