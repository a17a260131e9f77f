#include "apps/qelta/command.h"

namespace qelta {

// Built without Qt: only the command line.
bool guiBuilt() { return false; }

bool displayAvailable() { return false; }

int runGui(int, char**, const std::string&, unsigned) { return kExitFailure; }

} // namespace qelta
