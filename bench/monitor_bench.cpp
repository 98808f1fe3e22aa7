// The monitor's two costs that grow with the host: the process scan, next
// to ps over the same processes, and the accounting pass over a large
// account file. Run as root, inside the test sandbox, so that /proc holds
// only the processes the benchmark starts.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "monitor.h"
#include "sandboxed.h"

extern char **environ;

namespace
{

constexpr int liveProcesses = 1000;
constexpr int accounts = 10000;
constexpr int logins = 256;

std::vector<pid_t> sleepers;

void startSleepers()
{
    for (int i = 0; i < liveProcesses; ++i) {
        pid_t child = fork();
        if (child == 0) {
            for (;;)
                pause();
        }
        sleepers.push_back(child);
    }
}

void stopSleepers()
{
    for (pid_t child : sleepers)
        kill(child, SIGKILL);
    for (pid_t child : sleepers)
        waitpid(child, nullptr, 0);
}

void BM_ScanProcesses(benchmark::State &state)
{
    ProcessTable table;
    for (auto _ : state) {
        scanProcesses(table);
        benchmark::DoNotOptimize(table.size());
    }
    state.counters["processes"] = static_cast<double>(table.size());
}
BENCHMARK(BM_ScanProcesses)->Unit(benchmark::kMillisecond);

// The same columns from ps, its output thrown away.
void BM_PsCommand(benchmark::State &state)
{
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
BENCHMARK(BM_PsCommand)->Unit(benchmark::kMillisecond);

// Signals and mail are not what is measured.
class Quiet : public MonitorEffects
{
  public:
    bool terminate(const ProcEntry &) override { return false; }
    void mail(std::uint16_t, NoticeReason) override {}
};

// 10,000 accounts, of which the 256 with logins are charged; none is near
// its end, so no notice is due.
void preparePass()
{
    std::vector<UserRecord> records;
    for (int i = 0; i < accounts; ++i) {
        UserRecord record = sandbox::accountFor(static_cast<uid_t>(2000 + i));
        record.tLeft = record.tLimit = 1000000;
        record.sLeft = record.sLimit = 1000000;
        records.push_back(record);
    }
    sandbox::writeAccounts(records);
    processTable.clear();
    for (int i = 0; i < liveProcesses; ++i) {
        ProcEntry process;
        process.pid = 100000 + i;
        // Four processes to each logged-in user, as far as they go.
        process.uid = process.euid = i < 4 * logins ? static_cast<uid_t>(2000 + 37 * (i / 4)) : 0;
        processTable.push_back(process);
    }
    loginTable.clear();
    for (int i = 0; i < logins; ++i) {
        LoginEntry login;
        login.uid = static_cast<uid_t>(2000 + 37 * i);
        std::snprintf(login.line.data(), login.line.size(), "ttyS%d", i);
        loginTable.push_back(login);
    }
    unitOwner.fill(unknownUid);
    Settings.WarnBoot.push(5);
}

void BM_AccountingPass(benchmark::State &state)
{
    preparePass();
    Quiet effects;
    for (auto _ : state)
        accountingPass(effects);
    state.counters["accounts"] = accounts;
}
BENCHMARK(BM_AccountingPass)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return runSandboxedBenchmarks(argc, argv, startSleepers, stopSleepers);
}
