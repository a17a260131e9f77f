#include "utility/devmgmt/device_list_text.h"

#include <algorithm>
#include <cstdio>

namespace utility::devmgmt {
namespace {

// Length of the valid UTF-8 sequence starting at `i`, or 0.
std::size_t utf8Length(const std::string& text, std::size_t i)
{
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (byte >= 0xC2 && byte <= 0xDF)
        length = 2;
    else if (byte >= 0xE0 && byte <= 0xEF)
        length = 3;
    else if (byte >= 0xF0 && byte <= 0xF4)
        length = 4;
    if (length == 0 || i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    return length;
}

} // namespace

std::string jsonString(const std::string& bytes)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (const std::size_t length = c >= 0x80 ? utf8Length(bytes, i) : 0; length > 0) {
            out.append(bytes, i, length);
            i += length - 1;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
        }
    }
    return out + "\"";
}

std::string formatDeviceTable(const std::vector<ListRow>& rows)
{
    const auto& columns = deviceColumns();
    std::array<std::size_t, kColumnCount> widths {};
    for (int column = kColumnNumber; column < kColumnCount; ++column) {
        widths[column] = std::string(columns[column].title).size();
        for (const auto& row : rows)
            widths[column] = std::max(widths[column], row.texts[column].size());
    }
    auto line = [&](auto textOf) {
        std::string out;
        for (int column = kColumnNumber; column < kColumnCount; ++column) {
            std::string text = textOf(column);
            if (column + 1 < kColumnCount)
                text.resize(widths[column] + 2, ' ');
            out += text;
        }
        return out + "\n";
    };
    std::string out = line([&](int column) { return std::string(columns[column].title); });
    for (const auto& row : rows)
        out += line([&](int column) { return row.texts[column]; });
    return out;
}

std::string formatDeviceJson(const std::vector<ListRow>& rows)
{
    std::string out = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& texts = rows[i].texts;
        out += i == 0 ? "\n  " : ",\n  ";
        out += "{\"no\": " + texts[kColumnNumber];
        out += ", \"name\": " + jsonString(texts[kColumnName]);
        out += ", \"mac\": " + jsonString(texts[kColumnMac]);
        out += ", \"dhcp\": " + jsonString(texts[kColumnDhcp]);
        out += ", \"ip\": " + jsonString(texts[kColumnIp]);
        out += ", \"port\": " + texts[kColumnPort];
        out += ", \"mode\": " + jsonString(texts[kColumnMode]);
        out += ", \"status\": " + jsonString(texts[kColumnStatus]) + "}";
    }
    return out + (rows.empty() ? "]\n" : "\n]\n");
}

} // namespace utility::devmgmt
