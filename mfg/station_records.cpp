#include "mfg/station_records.h"

#include "mfg/config_files.h"
#include "mfg/records/process_identity.h"
#include "mfg/test_page.h"
#include "platform/text_file.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace mfg {

namespace {

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    const auto first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

// Lines 7 and 8 replaced, every other byte kept.
platform::Result<void> showRangeInOptionFile(const std::string& directory, const records::MacRange& range)
{
    const std::string path = settingsFilePath(directory, kOptionFile);
    auto bytes = platform::readFileBytes(path, 1 << 20);
    if (!bytes)
        return {};
    std::vector<std::string> lines;
    std::size_t at = 0;
    const std::string& text = bytes.value();
    while (at < text.size()) {
        const auto end = text.find('\n', at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    if (lines.size() < 8)
        return {};
    bool changed = false;
    for (std::size_t index : { std::size_t(6), std::size_t(7) }) {
        std::string& line = lines[index];
        const auto body = line.find_first_of("\r\n");
        const std::string ending = body == std::string::npos ? std::string() : line.substr(body);
        const std::string shown = records::macText(index == 6 ? range.first : range.end) + ending;
        if (line != shown) {
            line = shown;
            changed = true;
        }
    }
    if (!changed)
        return {};
    std::string rewritten;
    for (const auto& line : lines)
        rewritten += line;
    return platform::writeFileAtomic(path, rewritten);
}

} // namespace

std::string readRecordsFile(const std::string& directory)
{
    auto bytes = platform::readFileBytes(settingsFilePath(directory, kRecordsFile), 4096);
    if (!bytes)
        return {};
    LineReader reader(bytes.value());
    auto line = reader.next(4000);
    return line ? trimmed(*line) : std::string();
}

bool recordsFilePresent(const std::string& directory)
{
    struct stat info { };
    return ::lstat(settingsFilePath(directory, kRecordsFile).c_str(), &info) == 0 || errno != ENOENT;
}

std::string stationRecordsUrl(const std::string& directory, const std::string& url, bool& shared)
{
    shared = true;
    if (!url.empty())
        return url;
    std::string named = readRecordsFile(directory);
    if (!named.empty())
        return named;
    // A records.dat that is there but names nothing (an empty first line, a
    // folder, a FIFO, a link to nowhere, a read error) still makes the
    // station one of a line: going on alone would hand out Option.dat's
    // addresses, which only show the line's range.
    if (recordsFilePresent(directory))
        return {};
    shared = false;
    return "sqlite:" + directory + "/" + records::kDefaultDatabase;
}

platform::Result<StationRecords> openStationRecords(const std::string& directory, const std::string& url)
{
    StationRecords result;
    if (url == kNoRecords) {
        // A station of a line takes its addresses from the line's store;
        // without it, Option.dat's MAC lines (which only show the range)
        // would hand out addresses other stations hand out too.
        if (recordsFilePresent(directory))
            return platform::Error { std::string(kRecordsFile) + " in " + directory
                + " makes this station one of a line, whose MAC addresses come from the shared records "
                  "store: it cannot run without records (--records none)" };
        return result;
    }
    if (!url.empty() && recordsFilePresent(directory) && trimmed(url) != readRecordsFile(directory)) {
        // Another store would start its own count of the line's range (as
        // Option.dat shows it) and hand out addresses the line's store
        // hands out too. The URLs are not repeated: they may hold a password.
        return platform::Error { std::string(kRecordsFile) + " in " + directory
            + " makes this station one of a line, whose MAC addresses come from the store it names; --records "
              "names another store (leave --records out, or give records.dat's own)" };
    }
    result.url = stationRecordsUrl(directory, url, result.shared);
    if (result.url.empty())
        return platform::Error { std::string(kRecordsFile) + " in " + directory
            + " names no records store on its first line (or cannot be read)" };
    auto store = records::RecordStore::open(result.url);
    if (!store)
        return store.error();
    result.store = std::move(store.value());
    if (!result.shared)
        return result;
    auto reclaimed = result.store->reclaimDeadLeases();
    if (!reclaimed)
        return reclaimed.error();
    auto range = result.store->macRange();
    if (!range)
        return range.error();
    if (!range.value()) {
        MfgSettings settings;
        std::string ignored;
        (void)readOptionFileForTestPage(directory, settings, ignored);
        const auto first = records::macValue(settings.currentMac);
        const auto end = records::macValue(settings.endMac);
        if (!first || !end || *first > *end)
            return platform::Error { result.store->describe()
                + ": the records store has no MAC range, and Option.dat's MAC lines give none to start it with" };
        auto seeded = result.store->seedMacRange(*first, *end);
        if (!seeded)
            return seeded.error();
        range = result.store->macRange();
        if (!range || !range.value())
            return platform::Error { result.store->describe() + ": the MAC range could not be read back" };
    }
    auto shown = showRangeInOptionFile(directory, *range.value());
    if (!shown)
        return platform::Error { "Option.dat: " + shown.error().message };
    return result;
}

platform::Result<platform::FileLock> lockStation(const std::string& directory)
{
    auto lock
        = platform::FileLock::acquire(directory, platform::FileLock::Kind::Exclusive, platform::FileLock::Wait::No);
    if (!lock && lock.error().code == EWOULDBLOCK)
        return platform::Error { "another kellan-mp (a run, the window or a change of options) is using the station's "
                                 "settings in "
                + directory + "; one station, one folder",
            EWOULDBLOCK };
    return lock;
}

std::string defaultStationName() { return records::hostName(); }

std::string operatorLogin()
{
    for (const char* name : { "LOGNAME", "USER" }) {
        const char* value = std::getenv(name);
        if (value && *value)
            return value;
    }
    return "unknown";
}

std::string programVersion()
{
    const std::string title = kProgramTitle;
    const auto at = title.rfind("Version ");
    return at == std::string::npos ? title : title.substr(at + 8);
}

} // namespace mfg
