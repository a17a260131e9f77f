#pragma once

#include <string>
#include <vector>

namespace kellan_mp {

// `kellan-mp run [--yes]`: one board through the production sequence.
int runCommand(const std::vector<std::string>& arguments);

} // namespace kellan_mp
