#include "common/inf_file.h"

#include <map>

namespace common {

namespace {

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// One line of a section: its key (field 0, may be empty) and its values.
struct InfLine {
    std::string key;
    std::vector<std::string> values;
};

// Drops a ';' comment outside quotes and splits "key = a, b, c"; quotes are removed.
InfLine splitLine(std::string_view line)
{
    InfLine out;
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    bool hasKey = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && c == ';')
            break;
        if (!quoted && c == '=' && !hasKey) {
            out.key = std::string(trim(field));
            field.clear();
            hasKey = true;
            continue;
        }
        if (!quoted && c == ',') {
            fields.emplace_back(trim(field));
            field.clear();
            continue;
        }
        field += c;
    }
    fields.emplace_back(trim(field));
    out.values = std::move(fields);
    return out;
}

} // namespace

InfResult parseInf(std::string_view text, InfDevice& device)
{
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::map<std::string, std::vector<InfLine>> sections;
    std::vector<InfLine>* current = nullptr;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            current = close == std::string_view::npos ? nullptr : &sections[lower(trim(line.substr(1, close - 1)))];
            continue;
        }
        if (current) {
            InfLine parsed = splitLine(line);
            if (!parsed.key.empty() || !parsed.values.front().empty())
                current->push_back(std::move(parsed));
        }
    }

    auto version = sections.find("version");
    if (version == sections.end())
        return InfResult::NotAnInf;
    bool signed_ = false;
    for (const auto& line : version->second) {
        const std::string key = lower(line.key);
        if (key == "signature")
            signed_ = true;
        else if (key == "class")
            device.className = line.values.front();
        else if (key == "classguid")
            device.classGuid = line.values.front();
    }
    if (!signed_)
        return InfResult::NotAnInf;

    device.hardwareIds.clear();
    auto manufacturer = sections.find("manufacturer");
    if (manufacturer == sections.end() || manufacturer->second.empty())
        return InfResult::NoDevice;
    for (const auto& line : manufacturer->second) {
        const std::string base = line.values.front();
        std::vector<std::string> names { base };
        for (std::size_t i = 1; i < line.values.size(); ++i)
            names.push_back(base + "." + line.values[i]);
        for (const auto& name : names) {
            auto models = sections.find(lower(name));
            if (models == sections.end())
                continue;
            for (const auto& model : models->second) {
                for (std::size_t i = 1; i < model.values.size(); ++i) {
                    if (!model.values[i].empty())
                        device.hardwareIds.push_back(model.values[i]);
                }
            }
        }
    }
    const InfLine& first = manufacturer->second.front();
    std::string modelsName = first.values.front();
    if (first.values.size() > 1)
        modelsName += "." + first.values[1];
    auto models = sections.find(lower(modelsName));
    if (modelsName.empty() || models == sections.end() || models->second.empty())
        return InfResult::NoDevice;
    const InfLine& model = models->second.front();
    device.hardwareId = model.values.size() > 1 ? model.values[1] : std::string();
    return device.hardwareId.empty() ? InfResult::NoDevice : InfResult::Ok;
}

} // namespace common
