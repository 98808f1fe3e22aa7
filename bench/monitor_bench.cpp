// The monitor's costs that grow with the host. The process scan at 1,000 and
// 10,000 live processes, next to a bare loop that reads the same two files
// of every process (the most any scan can do) and to ps; and whole cycles,
// the tables and the accounting pass, on a busy host and on one with twice
// the work. Run as root, inside the test sandbox, so that /proc holds only
// the processes the benchmark starts.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <benchmark/benchmark.h>

#include "monitor.h"
#include "sandboxed.h"

extern char **environ;

namespace
{

// ---------------------------------------------------------------- the host

// Processes that sleep until the benchmark ends them: root's, and each
// logged-in user's.
class Sleepers
{
  public:
    ~Sleepers() { resize(0, {}); }

    // Makes the host run `total` processes of the benchmark's, of which
    // `perUser` for each of `users`, the rest root's.
    void resize(int total, const std::vector<uid_t> &users, int perUser = 0)
    {
        std::vector<uid_t> owners;
        for (uid_t user : users)
            owners.insert(owners.end(), static_cast<std::size_t>(perUser), user);
        owners.resize(static_cast<std::size_t>(total), 0);
        if (owners == owners_)
            return;
        stopAll();
        for (uid_t owner : owners)
            pids_.push_back(startSleeper(owner));
        owners_ = owners;
    }

  private:
    void stopAll()
    {
        stopSleepers(pids_);
        owners_.clear();
    }

    std::vector<pid_t> pids_;
    std::vector<uid_t> owners_;
};

Sleepers sleepers;

// The size of a host: the processes it runs, the login records it keeps and
// the accounts it has.
struct HostSize {
    int processes;
    int logins;
    int accounts;
};

constexpr uid_t firstUser = 20000;
constexpr int processesPerLogin = 4;

std::string userLogin(int i)
{
    return "user" + std::to_string(firstUser + static_cast<uid_t>(i));
}

std::vector<uid_t> loggedInUsers(int logins)
{
    std::vector<uid_t> users;
    for (int i = 0; i < logins; ++i)
        users.push_back(firstUser + static_cast<uid_t>(i));
    return users;
}

// One login record per logged-in user, written as the platform lays them.
void writeLoginRecords(int logins)
{
    std::vector<utmp> records(static_cast<std::size_t>(logins));
    for (int i = 0; i < logins; ++i) {
        utmp &record = records[static_cast<std::size_t>(i)];
        record.ut_type = USER_PROCESS;
        record.ut_pid = 1;
        std::snprintf(record.ut_line, sizeof record.ut_line, "tty%d", i);
        std::snprintf(record.ut_user, sizeof record.ut_user, "%s", userLogin(i).c_str());
        record.ut_tv.tv_sec = static_cast<std::int32_t>(std::time(nullptr));
    }
    std::FILE *file = std::fopen(utmpPath, "wb");
    std::fwrite(records.data(), sizeof(utmp), records.size(), file);
    std::fclose(file);
}

// Every logged-in user has an account; the other accounts belong to users
// who are not connected. Nobody is near an end, so no notice is due.
void writeAccountFile(int accounts, int logins)
{
    std::vector<UserRecord> records;
    for (int i = 0; i < accounts; ++i) {
        auto uid = static_cast<uid_t>(i < logins ? firstUser + i : 30000 + i % 30000);
        UserRecord record = sandbox::accountFor(uid);
        record.tLeft = record.tLimit = 100000000;
        record.sLeft = record.sLimit = 100000000;
        records.push_back(record);
    }
    sandbox::writeAccounts(records);
}

// The host of a benchmark, laid out once for a run of its iterations.
class BusyHost
{
  public:
    void become(const HostSize &host)
    {
        if (host.processes == now_.processes && host.logins == now_.logins &&
            host.accounts == now_.accounts)
            return;
        users_.reset();
        users_ = std::make_unique<sandbox::MoreUsers>(host.logins, firstUser, userLogin);
        writeLoginRecords(host.logins);
        writeAccountFile(host.accounts, host.logins);
        sleepers.resize(host.processes, loggedInUsers(host.logins), processesPerLogin);
        Settings = SiteSettings{};
        Settings.WarnBoot.push(5);
        now_ = host;
        // The first scan after so many new processes runs slow for reasons of
        // the kernel's own; it is not what is measured.
        ProcessTable warmUp;
        scanProcesses(warmUp);
    }

  private:
    HostSize now_{};
    std::unique_ptr<sandbox::MoreUsers> users_;
};

BusyHost busyHost;

// Signals and mail are not what is measured.
class Quiet : public SystemHost
{
  public:
    bool terminate(const ProcEntry &) override { return false; }
    void mail(std::uint16_t, NoticeReason) override {}
};

// ---------------------------------------------------------------- the scan

void onlyProcesses(benchmark::State &state)
{
    sleepers.resize(static_cast<int>(state.range(0)), {});
}

void BM_ScanProcesses(benchmark::State &state)
{
    onlyProcesses(state);
    ProcessTable table;
    for (auto _ : state) {
        scanProcesses(table);
        benchmark::DoNotOptimize(table.data());
    }
    state.counters["processes"] = static_cast<double>(table.size());
}
BENCHMARK(BM_ScanProcesses)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Reads the start of a file relative to a directory; its length.
ssize_t readAt(int directory, const char *name, char *buffer, std::size_t size)
{
    int fd = openat(directory, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t got = read(fd, buffer, size);
    close(fd);
    return got;
}

// The least any scan must do: open each process's directory once and read
// its stat and status, with nothing parsed or kept.
void BM_BareProcLoop(benchmark::State &state)
{
    onlyProcesses(state);
    char buffer[4096];
    for (auto _ : state) {
        DIR *proc = opendir("/proc");
        long bytes = 0;
        while (const dirent *item = readdir(proc)) {
            if (item->d_name[0] < '0' || item->d_name[0] > '9')
                continue;
            int process = openat(dirfd(proc), item->d_name, O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (process < 0)
                continue;
            bytes += readAt(process, "stat", buffer, sizeof buffer);
            bytes += readAt(process, "status", buffer, sizeof buffer);
            close(process);
        }
        closedir(proc);
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_BareProcLoop)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// The same columns from ps, its output thrown away.
void BM_PsCommand(benchmark::State &state)
{
    onlyProcesses(state);
    const char *argv[] = {"ps", "-e", "-o", "pid=,ruid=,euid=,tty=,comm=", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t child = 0;
        if (posix_spawnp(&child, "ps", &actions, nullptr, const_cast<char **>(argv), environ) !=
            0) {
            state.SkipWithError("ps cannot be started");
            break;
        }
        int status = 0;
        waitpid(child, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}
BENCHMARK(BM_PsCommand)->Arg(1000)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- whole cycles

HostSize hostOf(const benchmark::State &state)
{
    return HostSize{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                    static_cast<int>(state.range(2))};
}

Snapshot snapshot;

void countHost(benchmark::State &state)
{
    state.counters["processes"] = static_cast<double>(snapshot.processTable.size());
    state.counters["logins"] = static_cast<double>(snapshot.loginTable.size());
    state.counters["accounts"] = static_cast<double>(state.range(2));
}

// The tables a cycle builds: logins, processes, links and busy lines.
void buildTables()
{
    takeSnapshot(snapshot, Settings, unknownUid);
}

void BM_CycleTables(benchmark::State &state)
{
    busyHost.become(hostOf(state));
    for (auto _ : state)
        buildTables();
    countHost(state);
}

void BM_CyclePass(benchmark::State &state)
{
    busyHost.become(hostOf(state));
    buildTables();
    Quiet effects;
    for (auto _ : state)
        carryOut(accountingPass(snapshot, Settings, effects), snapshot, effects);
    countHost(state);
}

void BM_WholeCycle(benchmark::State &state)
{
    busyHost.become(hostOf(state));
    Quiet effects;
    for (auto _ : state) {
        buildTables();
        carryOut(accountingPass(snapshot, Settings, effects), snapshot, effects);
    }
    countHost(state);
}

// A busy host, and half of it, so that the cost of twice the work shows.
// Twice the busy host needs more process ids than most hosts allow; it is
// measured where the kernel's pid_max leaves room for it.
void hostSizes(benchmark::internal::Benchmark *benchmark)
{
    benchmark->Args({10000, 1000, 50000})->Args({20000, 2000, 100000});
    long pidMax = 0;
    if (std::FILE *file = std::fopen("/proc/sys/kernel/pid_max", "r")) {
        if (std::fscanf(file, "%ld", &pidMax) != 1)
            pidMax = 0;
        std::fclose(file);
    }
    if (pidMax > 45000)
        benchmark->Args({40000, 4000, 200000});
    benchmark->ArgNames({"processes", "logins", "accounts"})->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_CycleTables)->Apply(hostSizes);
BENCHMARK(BM_CyclePass)->Apply(hostSizes);
BENCHMARK(BM_WholeCycle)->Apply(hostSizes);

} // namespace

int main(int argc, char **argv)
{
    return runSandboxedBenchmarks(
        argc, argv, [] {}, [] { sleepers.resize(0, {}); });
}
