#include "utility/devmgmt/device_list_text.h"

#include "platform/json_text.h"
#include "utility/devmgmt/printable_text.h"

#include <algorithm>
#include <charconv>

namespace utility::devmgmt {
namespace {

// The number columns are numbers in JSON; a text that is none stays text.
nlohmann::ordered_json numberOrText(const std::string& text)
{
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && end == text.data() + text.size() && !text.empty())
        return value;
    return text;
}

} // namespace

std::string utf8Text(const std::string& bytes)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const std::size_t length = utf8SequenceLength(bytes, i); length > 0) {
            out.append(bytes, i, length);
            i += length - 1;
        } else {
            // Device names come from the device as single bytes; one that is
            // no UTF-8 is taken as Latin-1, as older devices write it.
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string formatDeviceTable(const std::vector<ListRow>& rows)
{
    const auto& columns = deviceColumns();
    // A device's name may hold anything; shown raw, ESC [ 2 J would clear
    // the screen and CR LF break the row.
    std::vector<std::array<std::string, kColumnCount>> cells;
    cells.reserve(rows.size());
    for (const auto& row : rows) {
        auto& texts = cells.emplace_back();
        for (int column = kColumnNumber; column < kColumnCount; ++column)
            texts[column] = escapeControls(row.texts[column]);
    }
    std::array<std::size_t, kColumnCount> widths {};
    for (int column = kColumnNumber; column < kColumnCount; ++column) {
        widths[column] = std::string(columns[column].title).size();
        for (const auto& texts : cells)
            widths[column] = std::max(widths[column], texts[column].size());
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
    for (const auto& texts : cells)
        out += line([&](int column) { return texts[column]; });
    return out;
}

std::string formatDeviceJson(const std::vector<ListRow>& rows)
{
    // Keys in the order of the list's columns.
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    for (const auto& row : rows) {
        const auto& texts = row.texts;
        nlohmann::ordered_json device;
        device["no"] = numberOrText(texts[kColumnNumber]);
        device["name"] = utf8Text(texts[kColumnName]);
        device["mac"] = utf8Text(texts[kColumnMac]);
        device["dhcp"] = utf8Text(texts[kColumnDhcp]);
        device["ip"] = utf8Text(texts[kColumnIp]);
        device["port"] = numberOrText(texts[kColumnPort]);
        device["mode"] = utf8Text(texts[kColumnMode]);
        device["status"] = utf8Text(texts[kColumnStatus]);
        devices.push_back(std::move(device));
    }
    // utf8Text lets through what a lenient check accepts (overlong forms,
    // surrogates); the library replaces those instead of refusing the table.
    return platform::jsonText(devices, 2) + "\n";
}

} // namespace utility::devmgmt
