#pragma once

#include <string>

namespace mfg::records {

// A PostgreSQL connection string (URL or keyword form) as the programs show
// it: host, port, database, user and service, never a password in any form
// (user:pass@, ?password=, password=...) nor any other secret parameter.
// A string libpq cannot read is shown only by its scheme.
std::string shownPostgresUrl(const std::string& url);

// A message with every occurrence of the connection string's password
// replaced by "***" (a server or library message that echoes it back).
std::string withoutPassword(std::string message, const std::string& url);

} // namespace mfg::records
