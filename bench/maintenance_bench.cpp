// The maintenance commands whose cost grows with the password database and
// the account file: ku_reconcile over 20,000 and 40,000 records against as
// many users, and ku_list of 10,000 accounts. Run as root, inside the test
// sandbox, with the installed programs and a generated /etc/passwd.
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "sandbox.h"

extern char **environ;

namespace
{

constexpr uid_t firstUid = 2000;

// A password database of `users` logins after the sandbox's own.
void writePasswords(const std::string &path, int users)
{
    std::string text = sandbox::readFile("/etc/passwd");
    for (int i = 0; i < users; ++i) {
        uid_t uid = firstUid + static_cast<uid_t>(i);
        text += "user" + std::to_string(uid) + ":x:" + std::to_string(uid) + ":100::/tmp:/bin/sh\n";
    }
    sandbox::writeFile(path, text);
}

// `count` records: one in twenty repeats an earlier user's id, and twenty
// belong to no user.
std::vector<UserRecord> untidyAccounts(int count)
{
    std::vector<UserRecord> records;
    uid_t next = firstUid;
    for (int i = 0; i < count; ++i) {
        uid_t uid = next++;
        if (i % 20 == 19) // the id of an earlier record, about halfway back
            uid = firstUid + static_cast<uid_t>(i / 2 - (i / 2) % 20 + 9);
        else if (i % (count / 20) == 7)
            uid = 60000 + static_cast<uid_t>(i / (count / 20));
        records.push_back(sandbox::accountFor(uid));
    }
    return records;
}

// Runs an installed program as root, its output thrown away; its status.
int runQuietly(const char *path)
{
    const char *argv[] = {path, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    int status = -1;
    if (posix_spawn(&child, path, &actions, nullptr, const_cast<char **>(argv), environ) == 0)
        waitpid(child, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return status;
}

void BM_Reconcile(benchmark::State &state)
{
    int count = static_cast<int>(state.range(0));
    writePasswords("/tmp/bench-passwd", count);
    sandbox::StandIn passwords("/etc/passwd", "/tmp/bench-passwd");
    std::string untidy = sandbox::userRecordImage(untidyAccounts(count));
    for (auto _ : state) {
        state.PauseTiming();
        sandbox::writeFile(userFilePath, untidy);
        state.ResumeTiming();
        if (runQuietly("/usr/sbin/ku_reconcile") != 0)
            state.SkipWithError("ku_reconcile failed");
    }
    state.counters["records"] = count;
    state.counters["kept"] = static_cast<double>(sandbox::readAccounts().size() / userRecordSize);
}
BENCHMARK(BM_Reconcile)->Arg(20000)->Arg(40000)->Unit(benchmark::kMillisecond);

void BM_List(benchmark::State &state)
{
    int count = static_cast<int>(state.range(0));
    writePasswords("/tmp/bench-passwd", count);
    sandbox::StandIn passwords("/etc/passwd", "/tmp/bench-passwd");
    sandbox::writeConfig("");
    std::vector<UserRecord> records;
    for (int i = 0; i < count; ++i)
        records.push_back(sandbox::accountFor(firstUid + static_cast<uid_t>(i)));
    sandbox::writeAccounts(records);
    for (auto _ : state) {
        if (runQuietly("/usr/sbin/ku_list") != 0)
            state.SkipWithError("ku_list failed");
    }
    state.counters["accounts"] = count;
}
BENCHMARK(BM_List)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (geteuid() != 0) {
        std::fprintf(stderr, "the benchmarks need root to build their sandbox\n");
        return 1;
    }
    sandbox::runInside([] {
        mkdir(productDir, 0755);
        benchmark::RunSpecifiedBenchmarks();
        return 0;
    });
}
