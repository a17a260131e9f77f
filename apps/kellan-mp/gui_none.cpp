#include "apps/kellan-mp/command.h"

namespace kellan_mp {

// Built without Qt: only the command line.
bool guiBuilt() { return false; }

bool displayAvailable() { return false; }

int runGui(int, char**, const std::string&, const std::string&, const std::string&, const std::string&) { return 2; }

} // namespace kellan_mp
