#include "mfg/records/postgres_url.h"

#include <libpq-fe.h>

#include <map>

namespace mfg::records {

namespace {

// The connection string's parameters as libpq reads them; empty when it
// cannot (its error text is never shown: it may quote the password).
std::map<std::string, std::string> parameters(const std::string& url)
{
    std::map<std::string, std::string> values;
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
    PQfreemem(error);
    if (!options)
        return values;
    for (PQconninfoOption* option = options; option->keyword; ++option) {
        if (option->val && *option->val)
            values[option->keyword] = option->val;
    }
    PQconninfoFree(options);
    return values;
}

} // namespace

std::string shownPostgresUrl(const std::string& url)
{
    auto values = parameters(url);
    if (values.empty())
        return "postgresql://(a connection string that cannot be read)";
    const std::string host = values["host"];
    // A socket folder goes into the query, a network host before the path.
    const bool socketFolder = !host.empty() && (host[0] == '/' || host[0] == '@');
    std::string shown = "postgresql://";
    if (!values["user"].empty())
        shown += values["user"] + "@";
    if (!socketFolder)
        shown += host;
    if (!values["port"].empty())
        shown += ":" + values["port"];
    shown += "/" + values["dbname"];
    std::string query;
    if (socketFolder)
        query += "host=" + host;
    if (!values["service"].empty())
        query += std::string(query.empty() ? "" : "&") + "service=" + values["service"];
    return query.empty() ? shown : shown + "?" + query;
}

std::string withoutPassword(std::string message, const std::string& url)
{
    auto values = parameters(url);
    for (const char* secret : { "password", "sslpassword" }) {
        const std::string& value = values[secret];
        if (value.empty())
            continue;
        for (auto at = message.find(value); at != std::string::npos; at = message.find(value, at + 3))
            message.replace(at, value.size(), "***");
    }
    return message;
}

} // namespace mfg::records
