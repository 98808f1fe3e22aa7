// The commands whose cost grows with the password database and the account
// file: ku_reconcile over 20,000 and 40,000 records against as many users,
// ku_list of 10,000 accounts, and ku_enrol into a file of 10,000 accounts. Run as root, inside the
// test sandbox, with the installed programs and a generated /etc/passwd.
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "sandboxed.h"

extern char **environ;

namespace
{

constexpr uid_t firstUid = 2000;

// The logins of the password database the benchmarks add to the sandbox's
// own: user2000 and on.
std::string benchLogin(int i)
{
    return "user" + std::to_string(firstUid + static_cast<uid_t>(i));
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
int runQuietly(const char *path, std::vector<const char *> arguments = {})
{
    std::vector<const char *> argv{path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    int status = -1;
    if (posix_spawn(&child, path, &actions, nullptr, const_cast<char **>(argv.data()), environ) ==
        0)
        waitpid(child, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return status;
}

void BM_Reconcile(benchmark::State &state)
{
    int count = static_cast<int>(state.range(0));
    sandbox::MoreUsers passwords(count, firstUid, benchLogin);
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
    sandbox::MoreUsers passwords(count, firstUid, benchLogin);
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

// A new account with a phone number into a file of `count`: the number is
// checked against every account twice (before and under the append's
// lock) and against the ban file.
void BM_Enrol(benchmark::State &state)
{
    int count = static_cast<int>(state.range(0));
    sandbox::MoreUsers passwords(count + 1, firstUid, benchLogin);
    sandbox::writeConfig("PhNoLocalFormat 3-4\n");
    std::vector<UserRecord> records;
    for (int i = 0; i < count; ++i) {
        records.push_back(sandbox::accountFor(firstUid + static_cast<uid_t>(i)));
        records.back().phoneArea = 555;
        records.back().phoneLocal = 1000000 + static_cast<std::uint32_t>(i);
    }
    std::string accounts = sandbox::userRecordImage(records);
    sandbox::writeBans({BanRecord{1, 1900, 0, 0}, BanRecord{0, 555, 9999999, 0}});
    std::string newcomer = benchLogin(count);
    for (auto _ : state) {
        state.PauseTiming();
        sandbox::writeFile(userFilePath, accounts);
        state.ResumeTiming();
        if (runQuietly("/usr/sbin/ku_enrol",
                       {newcomer.c_str(), "30", "600", "600", "4", "555 777-1234"}) != 0)
            state.SkipWithError("ku_enrol failed");
    }
    state.counters["accounts"] = count;
}
BENCHMARK(BM_Enrol)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return runSandboxedBenchmarks(argc, argv);
}
