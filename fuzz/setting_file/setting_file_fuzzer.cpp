// Feeds arbitrary bytes, of any length, to the device setting file loader.
// The loader must never read past the data, what it applies must fit the
// sheet's controls and be sent as shown, and it must save to a file that
// loads back to the same values.
#include "platform/net.h"
#include "utility/devmgmt/device_config.h"
#include "utility/devmgmt/setting_file.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

using namespace utility::devmgmt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A copy of exactly the input's size, so any read beyond it is caught.
    auto bytes = std::make_unique<char[]>(size);
    if (size > 0)
        std::memcpy(bytes.get(), data, size);
    const auto values = readSettingValues(std::string_view(bytes.get(), size));
    for (const auto& value : values)
        if (value.find_first_of(std::string_view(" \r\n", 3)) != std::string::npos || value.size() > size)
            std::abort();

    DeviceItems sheet;
    std::vector<int> empty;
    std::vector<RefusedItem> refused;
    applySettingValues(values, sheet, empty, refused);
    // What was applied fits its control, and an address is sent as shown.
    const DeviceItems sent = parseItems(buildSetConfig(sheet, MacAddress {}));
    for (int item = 1; item <= kItemCount; ++item) {
        const std::string& value = sheet.values[static_cast<std::size_t>(item - 1)];
        if (value.size() > settingTextLimit(item))
            std::abort();
        if (isAddressItem(item) && !value.empty()
            && platform::parseIpv4(value) != platform::parseIpv4(sent.values[static_cast<std::size_t>(item - 1)]))
            std::abort();
    }
    for (const auto& item : refused)
        if (settingValueProblem(item.item, item.value, false).empty())
            std::abort();

    const std::string saved = formatSettingFile(sheet);
    DeviceItems again = sheet;
    std::vector<int> emptyAgain;
    applySettingValues(readSettingValues(saved), again, emptyAgain);
    if (again != sheet)
        std::abort();

    (void)buildSetConfig(sheet, MacAddress {});
    return 0;
}
