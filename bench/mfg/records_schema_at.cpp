// Makes the records schema of the store a URL names up to a given version
// (an older one than this program's), as an older kellan-mp would have left
// it: records_scale.sh times the report before and after the upgrade.

#include "mfg/records/record_store.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int version = argc == 3 ? std::atoi(argv[2]) : 0;
    if (version < 1 || version > mfg::records::kSchemaVersion) {
        std::fprintf(stderr, "usage: bench_mfg_records_schema URL VERSION (1..%d)\n", mfg::records::kSchemaVersion);
        return 2;
    }
    auto store = mfg::records::RecordStore::openAtVersion(argv[1], version);
    if (!store) {
        std::fprintf(stderr, "%s\n", store.error().message.c_str());
        return 1;
    }
    auto made = store.value()->schemaVersion();
    if (!made || made.value() != version) {
        std::fprintf(stderr, "the schema is at version %d, not %d\n", made ? made.value() : -1, version);
        return 1;
    }
    return 0;
}
