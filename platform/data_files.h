#pragma once

#include <string>
#include <vector>

namespace platform {

// Where the programs' read-only files are looked for, in order: beside the
// program (a build tree, or a copy unpacked anywhere), then the installed
// data directory (/usr/share/kellan-suite for the package).
std::vector<std::string> dataDirectories();
// The same for run-time loaded modules: beside the program, then the
// installed module directory (/usr/lib/<arch>/kellan-suite).
std::vector<std::string> moduleDirectories();

// The first directory (each with a trailing separator) that holds a readable
// `name`, joined with it; empty when none does.
std::string findInDirectories(const std::string& name, const std::vector<std::string>& directories);

} // namespace platform
