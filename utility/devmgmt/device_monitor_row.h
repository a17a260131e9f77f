#pragma once

#include "utility/devmgmt/device_view.h"

#include <array>
#include <string>

namespace utility::devmgmt {

inline constexpr Rgb kMonitorAnsweredRow { 215, 215, 230 };
inline constexpr Rgb kMonitorSilentRow { 230, 230, 215 };

enum MonitorColumn : int {
    kMonitorNumber = 0,
    kMonitorStatus,
    kMonitorName,
    kMonitorIp,
    kMonitorModem,
    kMonitorFirmware,
    kMonitorTx,
    kMonitorRx,
    kMonitorColumnCount
};
const std::array<ColumnInfo, kMonitorColumnCount>& monitorColumns();

struct MonitorRow {
    std::array<std::string, kMonitorColumnCount> texts;
    Rgb background = kMonitorAnsweredRow;
};

} // namespace utility::devmgmt
