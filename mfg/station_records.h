#pragma once

#include "mfg/records/record_store.h"
#include "mfg/run_recorder.h"
#include "platform/file_lock.h"
#include "platform/result.h"

#include <memory>
#include <string>

namespace mfg {

// The records store the station uses when no --records is given: one line,
// its URL. Kept apart from Option.dat, whose lines are fixed.
inline constexpr const char* kRecordsFile = "records.dat";
// `--records none`: the operator asked for no records (Option.dat steps
// the addresses as before there were records).
inline constexpr const char* kNoRecords = "none";
inline constexpr const char* kSharedRangeNote
    = "MAC addresses come from the shared records store; Option.dat's MAC lines only show its range.";

// What a station that cannot record says when it refuses to test a board.
inline constexpr const char* kCannotRecordNote
    = "No board is tested while its run cannot be recorded: mend the records store (or records.dat), or start "
      "kellan-mp with --records none to test boards without records.";

std::string readRecordsFile(const std::string& directory);
// Whether there is anything at all named records.dat in `directory`.
bool recordsFilePresent(const std::string& directory);

struct StationRecords {
    std::string url;
    // Named by --records or records.dat: the store keeps the MAC range too.
    bool shared = false;
    std::unique_ptr<records::RecordStore> store;
};

// The store a station in `directory` records into: `url` when given, else
// records.dat's, else production.db in the directory (records only; the
// MAC range stays in Option.dat). A records.dat that is there but names no
// store gives an empty URL, and `shared` is set all the same.
std::string stationRecordsUrl(const std::string& directory, const std::string& url, bool& shared);

// Opens it. A shared store gives back the leases of killed stations, takes
// its range from Option.dat when it has none yet, and Option.dat's MAC lines
// are set to show the store's range.
// `url` kNoRecords opens nothing, and is refused where records.dat makes
// the station one of a line.
platform::Result<StationRecords> openStationRecords(const std::string& directory, const std::string& url);

// One station, one folder of settings: `run`, the window and every command
// that changes the settings hold this lock over the folder while they work,
// so two of them never hand out the same Option.dat address or write each
// other's files. Not waited for: the refusal names the reason.
platform::Result<platform::FileLock> lockStation(const std::string& directory);

// The station's name (the host's unless given) and the operator's login.
std::string defaultStationName();
std::string operatorLogin();
std::string programVersion();

} // namespace mfg
