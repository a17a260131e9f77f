#include "platform/file_lock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <unistd.h>

namespace {

using platform::FileLock;

TEST(FileLock, OneExclusiveHolderAtATimeAndManySharedOnes)
{
    testing_support::TempDir dir;
    for (const std::string& path : { dir.file("station.lock"), dir.path() }) {
        SCOPED_TRACE(path);
        auto first = FileLock::acquire(path);
        ASSERT_TRUE(first.ok()) << first.error().message;
        auto second = FileLock::acquire(path, FileLock::Kind::Exclusive, FileLock::Wait::No);
        ASSERT_FALSE(second.ok());
        EXPECT_EQ(second.error().code, EWOULDBLOCK);
        EXPECT_NE(second.error().message.find("locked by another program"), std::string::npos);
        first->release();
        auto shared1 = FileLock::acquire(path, FileLock::Kind::Shared, FileLock::Wait::No);
        auto shared2 = FileLock::acquire(path, FileLock::Kind::Shared, FileLock::Wait::No);
        EXPECT_TRUE(shared1.ok() && shared2.ok());
        EXPECT_FALSE(FileLock::acquire(path, FileLock::Kind::Exclusive, FileLock::Wait::No).ok());
    }
}

TEST(FileLock, AMovedLockLetsGoOnceAndALinkOrFifoIsRefused)
{
    testing_support::TempDir dir;
    {
        auto taken = FileLock::acquire(dir.file("a.lock"));
        ASSERT_TRUE(taken.ok());
        FileLock moved = std::move(*taken);
        EXPECT_TRUE(moved.held());
        EXPECT_FALSE(FileLock::acquire(dir.file("a.lock"), FileLock::Kind::Exclusive, FileLock::Wait::No).ok());
    }
    EXPECT_TRUE(FileLock::acquire(dir.file("a.lock"), FileLock::Kind::Exclusive, FileLock::Wait::No).ok());

    std::ofstream(dir.file("target")) << "keep";
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link.lock").c_str()), 0);
    auto viaLink = FileLock::acquire(dir.file("link.lock"));
    ASSERT_FALSE(viaLink.ok());
    EXPECT_NE(viaLink.error().message.find("symbolic link"), std::string::npos);
    ASSERT_EQ(::mkfifo(dir.file("fifo.lock").c_str(), 0600), 0);
    EXPECT_FALSE(FileLock::acquire(dir.file("fifo.lock")).ok()); // must not hang on the FIFO
    EXPECT_EQ(dir.read("target"), "keep");
}

} // namespace
