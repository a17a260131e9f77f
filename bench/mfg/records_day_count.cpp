// The Test page's count of a station's day, as a station asks it of a store
// of any size: opens the store named by URL for reading and times
// stationDay(STATION, DAY) a number of times; prints the slowest and the
// median in milliseconds. Used by records_scale.sh.

#include "mfg/records/record_store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_mfg_records_day URL STATION YYYY-MM-DD TIMES\n");
        return 2;
    }
    auto store = mfg::records::RecordStore::open(argv[1], mfg::records::OpenFor::Reading);
    if (!store) {
        std::fprintf(stderr, "%s\n", store.error().message.c_str());
        return 1;
    }
    const int times = std::max(1, std::atoi(argv[4]));
    std::vector<double> took;
    mfg::records::DayCount count;
    for (int i = 0; i < times; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto counted = store.value()->stationDay(argv[2], argv[3]);
        took.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (!counted) {
            std::fprintf(stderr, "%s\n", counted.error().message.c_str());
            return 1;
        }
        count = counted.value();
    }
    std::sort(took.begin(), took.end());
    std::printf("%lld runs, %lld passed; median %.2f ms, slowest %.2f ms\n", static_cast<long long>(count.runs),
        static_cast<long long>(count.passed), took[took.size() / 2], took.back());
    return 0;
}
