#include "tests/mfg/records/chaos_line.h"

#include "mfg/records/record_store.h"
#include "platform/child_process.h"
#include "tests/mfg/records/postgres_server.h"
#include "tests/mfg/station_files.h"
#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testing_support::chaos {

namespace {

using namespace std::chrono_literals;

constexpr const char* kOption
    = "loader.bin\ntest.bin\nprod.bin\neeprom.ini\nfail.log\n127.0.0.2\n00A0B0C0D0E0\n00A0B0C0FFFF\n4\n";

std::string readAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The address the board's EEPROM holds: the last value written to each of
// the six words that carry it (entries 6 to 11, last byte first).
std::string eepromMac(const std::string& events)
{
    std::map<int, std::string> words;
    std::istringstream in(events);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("command ew ", 0) != 0 || line.size() < 20)
            continue;
        const int address = std::stoi(line.substr(11, 4), nullptr, 16);
        if (address >= 6 && address <= 11)
            words[address] = line.substr(16, 4);
    }
    if (words.size() != 6)
        return {};
    std::string mac;
    for (int address = 11; address >= 6; --address)
        mac += words[address].substr(2, 2);
    return mac;
}

class Line {
public:
    Line(const ChaosSetup& setup, ChaosResult& result)
        : m_setup(setup)
        , m_result(result)
        , m_random(setup.seed)
        , m_pids(static_cast<std::size_t>(setup.stations))
    {
        for (auto& pid : m_pids)
            pid = 0;
    }

    bool setUp()
    {
        if (m_setup.backend == "postgres") {
            std::string problem;
            if (PostgresServer::binDir().empty() || !m_server.start(problem))
                return fail("PostgreSQL: " + (problem.empty() ? std::string("not installed") : problem));
            m_url = m_server.createDatabase("line", problem);
            if (m_url.empty())
                return fail(problem);
        } else {
            const std::string folder = m_dir.file("shared");
            ::mkdir(folder.c_str(), 0755);
            if (m_setup.tmpfsMb > 0) {
                const std::string size = "size=" + std::to_string(m_setup.tmpfsMb) + "m";
                if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, size.c_str()) != 0)
                    return fail("no tmpfs at " + folder + " (run in a mount namespace of its own, as root)");
                m_tmpfs = folder;
            }
            m_url = "sqlite:" + folder + "/line.db";
        }
        // Written once, before any station runs: rewritten for each board, a
        // station's sh could read it empty while another wrote it, and end
        // at once with status 0.
        write(m_dir.file("read-only.sh"),
            "mount --bind \"$RO_DIR\" \"$RO_DIR\" && mount -o remount,bind,ro \"$RO_DIR\" && cd \"$RO_DIR\" || "
            "exit 99\nexec \"$@\"\n");
        for (int s = 0; s < m_setup.stations; ++s) {
            const std::string folder = stationFolder(s);
            ::mkdir(folder.c_str(), 0755);
            write(folder + "/Option.dat", kOption);
            write(folder + "/com.dat", "COM2\n921.6K");
            write(folder + "/item.dat", "124\n");
            TempDir files;
            writeStationFiles(files);
            for (const char* name : { "eeprom.ini", "loader.bin", "test.bin", "prod.bin" })
                write(folder + "/" + name, readAll(files.file(name)));
        }
        return true;
    }

    void run()
    {
        std::atomic<bool> done { false };
        std::thread faults([&] { injectFaults(done); });
        std::vector<std::thread> stations;
        for (int s = 0; s < m_setup.stations; ++s)
            stations.emplace_back([this, s] { runStation(s); });
        for (auto& station : stations)
            station.join();
        done = true;
        faults.join();
        if (m_setup.backend == "postgres") {
            std::string problem;
            if (!m_server.running() && !m_server.restart(problem))
                m_result.violations.push_back("the server did not start again: " + problem);
        }
    }

    void check();

    ~Line()
    {
        if (!m_tmpfs.empty())
            ::umount2(m_tmpfs.c_str(), MNT_DETACH);
    }

private:
    bool fail(const std::string& problem)
    {
        m_result.setupProblem = problem;
        return false;
    }
    static void write(const std::string& path, const std::string& bytes) { std::ofstream(path) << bytes; }
    std::string stationFolder(int s) const { return m_dir.file("s" + std::to_string(s + 1)); }
    void say(const std::string& text)
    {
        if (m_setup.log) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_setup.log(text);
        }
    }
    int pick(int count)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return std::uniform_int_distribution<int>(0, count - 1)(m_random);
    }
    void count(const std::string& fault)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_result.faults[fault];
    }

    void runStation(int s);
    void injectFaults(std::atomic<bool>& done);

    ChaosSetup m_setup;
    ChaosResult& m_result;
    std::mutex m_lock; // m_random, m_result
    std::mt19937 m_random;
    std::vector<std::atomic<int>> m_pids; // each station's running kellan-mp, 0 between boards
    TempDir m_dir;
    PostgresServer m_server;
    std::string m_url;
    std::string m_tmpfs;
};

void Line::runStation(int s)
{
    const std::string folder = stationFolder(s);
    const std::string name = "s" + std::to_string(s + 1);
    const std::string scale = std::to_string(m_setup.timeScale);
    for (int b = 0; b < m_setup.boards; ++b) {
        BoardOutcome board { name, b, -1, {}, {}, false };
        const std::string events = folder + "/board" + std::to_string(b) + ".events";
        // A few boards fail their EEPROM test, as on a real line.
        const std::string options = pick(8) == 0 ? "normal,test-firmware,fail-et" : "normal,test-firmware";
        auto sim = platform::ChildProcess::start({ "sh", "-c",
            "exec '" + programPath("boardsim") + "' --events --time-scale " + scale + " --link '" + folder
                + "/board' --options " + options + " > '" + events + "'" });
        if (!sim) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_result.violations.push_back("boardsim did not start: " + sim.error().message);
            return;
        }
        for (int wait = 0; wait < 1000 && readAll(events).empty(); ++wait)
            std::this_thread::sleep_for(10ms);
        write(folder + "/com-ports", "COM2 " + folder + "/board\n");
        // Now and then the station's folder is read-only for a board.
        std::string prefix;
        if (::geteuid() == 0 && pick(10) == 0) {
            count("folder read-only");
            prefix = "env RO_DIR='" + folder + "' unshare -m --propagation private sh '" + m_dir.file("read-only.sh")
                + "'";
        }
        // A station that could not start (its store out of reach) touched
        // nothing: the operator starts it again on the same board.
        for (int attempt = 0; attempt < 100 && (board.code == -1 || board.code == 2); ++attempt) {
            if (attempt > 0) {
                count("station start refused, started again");
                std::this_thread::sleep_for(300ms);
            }
            board.out.clear();
            auto station = platform::ChildProcess::start({ "sh", "-c",
                "cd '" + folder + "' && SUITE_COM_MAP=com-ports PORTIO_MODULE=none KELLAN_MP_TIME_SCALE=" + scale
                    + " LOGNAME=op-" + name + " exec " + prefix + " '" + programPath("kellan-mp")
                    + "' run --yes --records '" + m_url + "' --station " + name + " 2>>'" + m_dir.file(name + ".err")
                    + "'" });
            if (!station)
                break;
            m_pids[static_cast<std::size_t>(s)] = station.value().pid();
            while (auto line = station.value().readLine(300s))
                board.out += line.value() + "\n";
            m_pids[static_cast<std::size_t>(s)] = 0;
            board.code = station.value().wait(60s).value_or(-1);
        }
        sim.value().terminate();
        (void)sim.value().wait(10s);
        board.eepromMac = eepromMac(readAll(events));
        std::string why;
        if (board.code == 2) {
            // The station's last complaint (the store it could not open).
            const std::string errors = readAll(m_dir.file(name + ".err"));
            const auto end = errors.find_last_not_of('\n');
            const auto begin = end == std::string::npos ? end : errors.rfind('\n', end);
            why = end == std::string::npos ? std::string()
                                           : ": "
                    + errors.substr(begin == std::string::npos ? 0 : begin + 1,
                        end - (begin == std::string::npos ? 0 : begin + 1) + 1);
        }
        say(name + " board " + std::to_string(b) + ": exit " + std::to_string(board.code) + " "
            + (board.eepromMac.empty() ? "-" : board.eepromMac) + why);
        std::lock_guard<std::mutex> guard(m_lock);
        m_result.boards.push_back(board);
    }
}

void Line::injectFaults(std::atomic<bool>& done)
{
    std::vector<std::string> kinds = { "station SIGKILL", "station SIGTERM", "station SIGINT", "options mid-run" };
    if (m_setup.backend == "postgres")
        kinds.push_back("database stopped and restarted");
    else
        kinds.push_back("write lock held");
    if (!m_tmpfs.empty())
        kinds.push_back("disk full");
    auto pause = [&](int ms) {
        for (int slept = 0; slept < ms && !done; slept += 10)
            std::this_thread::sleep_for(10ms);
    };
    while (!done) {
        pause(m_setup.faultPeriodMs / 2 + pick(m_setup.faultPeriodMs));
        if (done)
            break;
        const std::string kind = kinds[static_cast<std::size_t>(pick(static_cast<int>(kinds.size())))];
        const int s = pick(m_setup.stations);
        if (kind.rfind("station ", 0) == 0) {
            const int pid = m_pids[static_cast<std::size_t>(s)];
            const int signal = kind == "station SIGKILL" ? SIGKILL : kind == "station SIGTERM" ? SIGTERM : SIGINT;
            if (pid > 0 && ::kill(pid, signal) == 0)
                count(kind);
        } else if (kind == "options mid-run") {
            auto options = platform::ChildProcess::start({ "sh", "-c",
                "cd '" + stationFolder(s) + "' && SUITE_COM_MAP=com-ports exec '" + programPath("kellan-mp")
                    + "' options --loader loader.bin >/dev/null 2>&1" });
            if (options) {
                const int code = options.value().wait(60s).value_or(-1);
                count(code == 2 ? "options mid-run (refused)" : "options mid-run (applied between boards)");
            }
        } else if (kind == "database stopped and restarted") {
            if (m_server.stop()) {
                count(kind);
                pause(m_setup.downMs);
                std::string problem;
                if (!m_server.restart(problem)) {
                    std::lock_guard<std::mutex> guard(m_lock);
                    m_result.violations.push_back("the server did not start again: " + problem);
                }
            }
        } else if (kind == "write lock held") {
            auto store = mfg::records::RecordStore::open(m_url);
            if (store && store.value()->sql().beginWrite()) {
                count(kind);
                pause(m_setup.writeLockMs);
                store.value()->sql().rollback();
            }
        } else if (kind == "disk full") {
            const std::string filler = m_tmpfs + "/filler";
            {
                std::ofstream out(filler, std::ios::binary);
                const std::string block(1 << 16, '\0');
                while (out.write(block.data(), static_cast<std::streamsize>(block.size())) && out.flush()) { }
            }
            count(kind);
            pause(m_setup.faultPeriodMs);
            ::unlink(filler.c_str());
        }
    }
}

void Line::check()
{
    auto opened = mfg::records::RecordStore::open(m_url);
    if (!opened) {
        m_result.violations.push_back("the store cannot be opened: " + opened.error().message);
        return;
    }
    auto& store = *opened.value();
    // Every station has ended: every holder is gone.
    if (auto reclaimed = store.reclaimDeadLeases(); !reclaimed)
        m_result.violations.push_back("leases not reclaimed: " + reclaimed.error().message);
    auto range = store.macRange();
    auto runs = store.runsSince("");
    auto consumed = store.sql().exec("SELECT mac FROM mac_lease WHERE consumed = 1");
    auto quarantined = store.quarantinedMacs();
    if (!range || !range.value() || !runs || !consumed || !quarantined) {
        m_result.violations.push_back("the store cannot be read");
        return;
    }
    m_result.leasesLeft = range.value()->leased;
    if (m_result.leasesLeft != 0)
        m_result.violations.push_back(std::to_string(m_result.leasesLeft) + " leases left after the stations ended");
    std::set<std::pair<std::string, std::string>> recordedPasses; // station, MAC
    for (const auto& run : runs.value()) {
        if (run.outcome == mfg::records::Outcome::Pass)
            recordedPasses.insert({ run.station, run.mac });
    }
    std::set<std::string> quarantinedMacs;
    for (const auto& mac : quarantined.value())
        quarantinedMacs.insert(mfg::records::macText(mac.mac));
    m_result.quarantined = static_cast<std::int64_t>(quarantinedMacs.size());
    // Passing boards: those that said PASS, and those whose pass the store
    // recorded before their station was killed (the station's latest board
    // holding that address).
    for (auto& board : m_result.boards) {
        if (board.code != 0)
            continue;
        board.passing = true;
        if (board.out.find("PASS\n") == std::string::npos)
            m_result.violations.push_back(
                board.station + " board " + std::to_string(board.board) + ": exit 0 without PASS");
        if (!recordedPasses.count({ board.station, board.eepromMac }))
            m_result.violations.push_back(board.station + " board " + std::to_string(board.board) + " passed with "
                + (board.eepromMac.empty() ? "no address" : board.eepromMac) + " but is not recorded");
    }
    for (const auto& [station, mac] : recordedPasses) {
        BoardOutcome* holder = nullptr;
        bool said = false;
        for (auto& board : m_result.boards) {
            if (board.station == station && board.eepromMac == mac) {
                said = said || board.code == 0;
                holder = &board;
            }
        }
        if (!holder)
            m_result.violations.push_back("a recorded pass of " + mac + " at " + station + " on no board");
        else if (!said)
            holder->passing = true;
    }
    std::map<std::string, int> passingWith;
    for (const auto& board : m_result.boards) {
        if (!board.passing)
            continue;
        if (++passingWith[board.eepromMac] == 2)
            m_result.violations.push_back(board.eepromMac + " is on two passing boards");
        if (quarantinedMacs.count(board.eepromMac))
            m_result.violations.push_back(board.eepromMac + " is quarantined but on a passing board");
    }
    m_result.consumed = static_cast<std::int64_t>(consumed.value().rows.size());
    for (const auto& row : consumed.value().rows) {
        const std::string mac = mfg::records::macText(static_cast<std::uint64_t>(std::stoull(row[0].value_or("0"))));
        if (!passingWith.count(mac) && !quarantinedMacs.count(mac))
            m_result.violations.push_back("consumed " + mac + " is on no passing board and not quarantined");
    }
}

} // namespace

std::string ChaosResult::summary() const
{
    int passed = 0, failed = 0, killed = 0, refused = 0;
    for (const auto& board : boards) {
        passed += board.passing;
        failed += board.code == 1;
        killed += board.code > 128;
        refused += board.code == 2;
    }
    std::string text = std::to_string(boards.size()) + " boards: " + std::to_string(passed) + " passing, "
        + std::to_string(failed) + " failed, " + std::to_string(killed) + " stopped by a signal, "
        + std::to_string(refused) + " not started (store unreachable); consumed " + std::to_string(consumed)
        + ", quarantined " + std::to_string(quarantined) + ", leases left " + std::to_string(leasesLeft)
        + "; broken promises " + std::to_string(violations.size()) + "\nfaults:";
    for (const auto& [fault, count] : faults)
        text += " " + fault + " " + std::to_string(count) + ";";
    for (const auto& violation : violations)
        text += "\n  " + violation;
    return text + "\n";
}

ChaosResult runChaos(const ChaosSetup& setup)
{
    ChaosResult result;
    Line line(setup, result);
    if (!line.setUp())
        return result;
    line.run();
    line.check();
    return result;
}

} // namespace testing_support::chaos
