#pragma once

#include "mfg/records/record_store.h"
#include "tests/mfg/records/postgres_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// Each records test runs against both back ends: an SQLite file in a
// temporary folder and a PostgreSQL server the test starts itself.
class RecordsTest : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        if (GetParam() == "sqlite") {
            url = "sqlite:" + dir.file("records.db");
            return;
        }
        if (testing_support::PostgresServer::binDir().empty())
            GTEST_SKIP() << "PostgreSQL server binaries (initdb, pg_ctl) are not installed";
        std::string problem;
        ASSERT_TRUE(server.start(problem)) << problem;
        url = server.createDatabase("records", problem);
        ASSERT_FALSE(url.empty()) << problem;
    }

    std::unique_ptr<mfg::records::RecordStore> open()
    {
        auto store = mfg::records::RecordStore::open(url);
        EXPECT_TRUE(store) << (store ? "" : store.error().message);
        return store ? std::move(store.value()) : nullptr;
    }

    testing_support::TempDir dir;
    testing_support::PostgresServer server;
    std::string url;
};

inline std::string backendName(const testing::TestParamInfo<std::string>& info) { return info.param; }
