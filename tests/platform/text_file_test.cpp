// The one file writer: atomic replacement, the lock around read-modify-write,
// refusal of links and special files, the copy of a file that could not be
// read, and the JSON writer that never throws on text.
#include "platform/json_text.h"
#include "platform/text_file.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testing_support::TempDir;

// Runs `body` in `count` child processes at once; true when every child
// exited with 0.
template <typename Body> bool inProcesses(int count, Body body)
{
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(body(i) ? 0 : 1);
        children.push_back(pid);
    }
    bool ok = true;
    for (pid_t pid : children) {
        int status = 0;
        ok = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
    }
    return ok;
}

// What must not be written through or waited on, in place of the data file.
enum class Planted { Link, Fifo, Folder };

void plant(const TempDir& dir, const std::string& name, Planted what)
{
    const std::string path = dir.file(name);
    switch (what) {
    case Planted::Link:
        dir.write("target", "system file");
        ASSERT_EQ(::symlink(dir.file("target").c_str(), path.c_str()), 0);
        return;
    case Planted::Fifo:
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        return;
    case Planted::Folder:
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
        return;
    }
}

TEST(FileWriter, ALinkAFifoOrAFolderInPlaceOfTheFileIsRefusedWithoutWaiting)
{
    for (const Planted what : { Planted::Link, Planted::Fifo, Planted::Folder }) {
        SCOPED_TRACE(static_cast<int>(what));
        TempDir dir;
        plant(dir, "vsp.dat", what);
        const std::string path = dir.file("vsp.dat");
        // Each of these would block for ever on a FIFO without a writer/reader.
        EXPECT_FALSE(platform::readFileBytes(path).ok() && what != Planted::Link);
        EXPECT_FALSE(platform::readDataFile(path).ok());
        EXPECT_FALSE(platform::canOpenForWriting(path));
        EXPECT_FALSE(platform::writeFileAtomic(path, "new").ok());
        bool changed = false;
        EXPECT_FALSE(platform::updateFileAtomic(path, 100, [&](const platform::CurrentFile&) {
            changed = true;
            return std::optional<std::string>("new");
        }).ok());
        EXPECT_FALSE(changed);
        EXPECT_FALSE(platform::keepBadCopy(path).ok());
        struct stat info { };
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_FALSE(S_ISREG(info.st_mode)) << "replaced by a file";
        if (what == Planted::Link) {
            EXPECT_EQ(dir.read("target"), "system file");
        }
        // No temporary file is left behind either.
        std::size_t entries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            entries += entry.path().filename().string().find(".tmp-") != std::string::npos;
        EXPECT_EQ(entries, 0u);
    }
}

TEST(FileWriter, ATemporaryNameSomeoneLinkedIsNeverWrittenThrough)
{
    TempDir dir;
    dir.write("target", "system file");
    // Every name the old writer would have used for this process.
    ASSERT_EQ(
        ::symlink(dir.file("target").c_str(), (dir.file("Qelta.dat.tmp.") + std::to_string(::getpid())).c_str()), 0);
    ASSERT_TRUE(platform::writeFileAtomic(dir.file("Qelta.dat"), "settings").ok());
    EXPECT_EQ(dir.read("Qelta.dat"), "settings");
    EXPECT_EQ(dir.read("target"), "system file");
}

TEST(FileWriter, TheNewFileKeepsTheOldOnesPermissions)
{
    TempDir dir;
    const std::string path = dir.file("a.dat");
    dir.write("a.dat", "old");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ASSERT_TRUE(platform::writeFileAtomic(path, "new").ok());
    struct stat info { };
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(dir.read("a.dat"), "new");
}

// Killed at any point of a save, the writer leaves the old file or the new
// one, whole. The child alternates two large contents as fast as it can and
// is killed after a varying number of saves.
TEST(FileWriter, AWriterKilledInTheMiddleLeavesTheOldOrTheNewFileWhole)
{
    TempDir dir;
    const std::string path = dir.file("Qelta.dat");
    const std::string first(300000, 'a');
    const std::string second(200000, 'b');
    ASSERT_TRUE(platform::writeFileAtomic(path, first).ok());
    for (int round = 0; round < 20; ++round) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(pipeFds[0]);
            for (int saves = 0;; ++saves) {
                (void)platform::writeFileAtomic(path, saves % 2 ? first : second);
                // Tells the parent how far it got, without waiting for it.
                const char tick = 't';
                (void)!::write(pipeFds[1], &tick, 1);
            }
        }
        ::close(pipeFds[1]);
        // Killed after `round` finished saves, somewhere inside the next one.
        char tick = 0;
        for (int seen = 0; seen < round && ::read(pipeFds[0], &tick, 1) == 1; ++seen) { }
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(pipeFds[0]);
        auto read = platform::readDataFile(path);
        ASSERT_TRUE(read.ok()) << read.error().message;
        EXPECT_TRUE(*read == first || *read == second) << "round " << round << ": " << read->size() << " bytes";
    }
    // The killed writers' temporary files do not pile up: a later save
    // removes those of writers that are gone, once they are an hour old. A
    // newer one, and one of a process still running, stay.
    const auto temporaries = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().filename().string().rfind(".Qelta.dat.tmp-", 0) == 0)
                names.push_back(entry.path().filename().string());
        return names;
    };
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string running = ".Qelta.dat.tmp-" + std::to_string(::getppid()) + "-0-1";
    std::ofstream(dir.file(running)) << "x";
    std::ofstream(dir.file(".Qelta.dat.tmp-" + std::to_string(gone) + "-0-2")) << "x";
    const auto hoursAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(2);
    for (const std::string& name : temporaries())
        std::filesystem::last_write_time(dir.file(name), hoursAgo);
    const std::string recent = ".Qelta.dat.tmp-" + std::to_string(gone) + "-0-1";
    std::ofstream(dir.file(recent)) << "x";
    ASSERT_TRUE(platform::writeFileAtomic(path, first).ok());
    std::vector<std::string> kept = temporaries();
    std::sort(kept.begin(), kept.end());
    std::vector<std::string> expected { running, recent };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(kept, expected);
}

// Eight programs each add their own lines to one file at once, many times:
// none is lost, because each reads and writes under the lock.
TEST(FileWriter, EightProcessesChangingOneFileAtOnceLoseNothing)
{
    TempDir dir;
    const std::string path = dir.file("vsp.dat");
    constexpr int kProcesses = 8;
    constexpr int kChanges = 25;
    const bool ok = inProcesses(kProcesses, [&](int process) {
        for (int change = 0; change < kChanges; ++change) {
            const std::string line = std::to_string(process) + ":" + std::to_string(change) + "\n";
            auto done = platform::updateFileAtomic(path, 1 << 20,
                [&](const platform::CurrentFile& current) { return std::optional<std::string>(current.bytes + line); });
            if (!done.ok())
                return false;
        }
        return true;
    });
    ASSERT_TRUE(ok);
    const std::string result = dir.read("vsp.dat");
    for (int process = 0; process < kProcesses; ++process)
        for (int change = 0; change < kChanges; ++change)
            EXPECT_NE(result.find(std::to_string(process) + ":" + std::to_string(change) + "\n"), std::string::npos)
                << process << ":" << change;
    EXPECT_EQ(std::count(result.begin(), result.end(), '\n'), kProcesses * kChanges);
}

TEST(FileWriter, AnUpdateSeesWhetherTheFileExistsAndMayLeaveItAlone)
{
    TempDir dir;
    const std::string path = dir.file("Qelta.dat");
    std::vector<bool> seen;
    auto createOnce = [&](const platform::CurrentFile& current) {
        seen.push_back(current.exists);
        return current.exists ? std::nullopt : std::optional<std::string>("defaults");
    };
    ASSERT_TRUE(platform::updateFileAtomic(path, 100, createOnce).ok());
    dir.write("Qelta.dat", "mine");
    ASSERT_TRUE(platform::updateFileAtomic(path, 100, createOnce).ok());
    EXPECT_EQ(seen, (std::vector<bool> { false, true }));
    EXPECT_EQ(dir.read("Qelta.dat"), "mine");
}

TEST(FileWriter, AFileThatCouldNotBeReadIsKeptWholeAsBad)
{
    TempDir dir;
    const std::string path = dir.file("vsp.dat");
    const std::string garbage(100000, '\xff');
    dir.write("vsp.dat", garbage);
    dir.write("vsp.dat.bad", "an older copy");
    auto copy = platform::keepBadCopy(path);
    ASSERT_TRUE(copy.ok()) << copy.error().message;
    EXPECT_EQ(*copy, path + ".bad");
    // The data file is then written as usual; the copy stays as it was.
    ASSERT_TRUE(platform::writeFileAtomic(path, "1 \r\n").ok());
    EXPECT_EQ(dir.read("vsp.dat.bad"), garbage);
    EXPECT_EQ(dir.read("vsp.dat"), "1 \r\n");
    // A link planted as the copy's name is refused, not written through.
    dir.write("target", "system file");
    ASSERT_EQ(::unlink((path + ".bad").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("target").c_str(), (path + ".bad").c_str()), 0);
    EXPECT_FALSE(platform::keepBadCopy(path).ok());
    EXPECT_EQ(dir.read("target"), "system file");
}

TEST(JsonText, TextThatIsNoUtf8IsReplacedNeverThrown)
{
    nlohmann::json object;
    object["name"] = std::string("Caf\xe9");
    object["ok"] = "Caf\xc3\xa9";
    std::string text;
    ASSERT_NO_THROW(text = platform::jsonText(object));
    EXPECT_EQ(text, "{\"name\":\"Caf\xef\xbf\xbd\",\"ok\":\"Caf\xc3\xa9\"}");
    nlohmann::ordered_json rows = nlohmann::ordered_json::array({ std::string("\x80\xff") });
    EXPECT_EQ(platform::jsonText(rows, 2), "[\n  \"\xef\xbf\xbd\xef\xbf\xbd\"\n]");
}

} // namespace
