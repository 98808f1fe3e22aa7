// ku_reapprocs run as a scheduled job runs it, against real processes of
// the sandbox's users and real login records: whom it ends, whom it spares,
// and that it never signals itself or what started it.
#include <chrono>
#include <csignal>
#include <memory>
#include <sstream>
#include <thread>

#include <sys/syscall.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;

namespace
{

using ReapProcs = SystemTest;
using Clock = std::chrono::steady_clock;

constexpr int spared = -1;
constexpr int terminated = 128 + SIGTERM;
constexpr int killed = 128 + SIGKILL;

// " word0 word1 ..." or, unnumbered, " word word ...".
std::string words(const std::string &word, int times, bool numbered)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += " " + word + (numbered ? std::to_string(i) : "");
    return text;
}

struct ProcessCase {
    const char *what;
    UserProcess::Options options;
    int expected; // how it ended, or spared
};

TEST_F(ReapProcs, EndsDetachedProcessesOfAbsentOrListedOwnersOnly)
{
    // The exemption list takes 64 ids and the kill list 16 names; a name
    // too long to be kept takes no place.
    writeFile(reapProcsConfigPath, "exempt bob nosuchuser bigid\n"
                                   "Exempt" +
                                       words("nobody", 62, false) +
                                       " guest\n"
                                       "kill pppd" +
                                       words("f", 13, true) + " " + std::string(64, 'x') +
                                       " abcdefghijklmnop lastone dropped\n");
    addLogin("carol", "pts/9", 1700000000);
    const std::vector<ProcessCase> cases = {
        {"absent owner", {.uid = alice.uid}, terminated},
        {"absent owner on its terminal", {.uid = alice.uid, .terminal = true}, spared},
        {"terminal open, not controlling",
         {.uid = alice.uid, .terminalOnlyOpen = true},
         terminated},
        {"root's daemon", {.uid = root.uid}, terminated},
        {"ignores SIGTERM", {.uid = alice.uid, .ignoreTerm = true}, killed},
        {"exempt owner", {.uid = bob.uid}, spared},
        {"exempt, listed name", {.uid = bob.uid, .name = "pppd"}, terminated},
        {"exempt, name that only starts alike", {.uid = bob.uid, .name = "pppdx"}, spared},
        {"exempt, 16th name", {.uid = bob.uid, .name = "lastone"}, terminated},
        {"exempt, 17th name", {.uid = bob.uid, .name = "dropped"}, spared},
        {"exempt, name beyond 15 characters", {.uid = bob.uid, .name = "abcdefghijklmnop"}, spared},
        {"65th exemption", {.uid = guest.uid}, terminated},
        {"logged in", {.uid = carol.uid}, spared},
        {"logged in, listed name", {.uid = carol.uid, .name = "pppd"}, terminated},
        {"listed name on its terminal",
         {.uid = carol.uid, .terminal = true, .name = "pppd"},
         spared},
        {"exempt beyond 16 bits", {.uid = bigid.uid}, spared},
        {"id of the exempt cut to 16 bits", {.uid = wrapped.uid}, terminated},
    };
    std::vector<std::unique_ptr<UserProcess>> processes;
    for (const ProcessCase &process : cases)
        processes.push_back(std::make_unique<UserProcess>(process.options));

    auto started = Clock::now();
    Result result = run({"ku_reapprocs"});
    EXPECT_GE(Clock::now() - started, 5s) << "no grace period";
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    // A signal sent just before the cleaner ended may still be on its way.
    std::this_thread::sleep_for(300ms);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].expected == spared)
            EXPECT_TRUE(processes[i]->running()) << cases[i].what;
        else
            EXPECT_EQ(processes[i]->waitForExit(1s), cases[i].expected) << cases[i].what;
    }
}

TEST_F(ReapProcs, NeverSignalsItselfOrWhatStartedItAndEndsAtOnceWithNothingToDo)
{
    // Every process here is root's and has no terminal: the cleaner, the
    // two shells around it and the test itself.
    writeFile(reapProcsConfigPath, "kill ku_reapprocs sh cleaner_tests\n");
    auto started = Clock::now();
    Result result =
        run({"/bin/sh", "-c", "/bin/sh -c '/usr/sbin/ku_reapprocs; echo inner'; echo outer"});
    EXPECT_LT(Clock::now() - started, 3s) << "waited with nothing to wait for";
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "inner\nouter\n");
    EXPECT_EQ(result.err, "");
}

// Waits until a process sleeps.
bool sleeping(pid_t pid)
{
    auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        std::istringstream call(readFile("/proc/" + std::to_string(pid) + "/syscall"));
        long number = -1;
        if (call >> number && (number == SYS_clock_nanosleep || number == SYS_nanosleep))
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Waits until the process runs the named program.
bool named(pid_t pid, const std::string &name)
{
    auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        if (readFile("/proc/" + std::to_string(pid) + "/comm") == name + "\n")
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST_F(ReapProcs, KillsWhatMeetsTheRulesWhenTheGracePeriodEnds)
{
    writeFile(reapProcsConfigPath, "exempt bob\nkill sh\n");
    UserProcess stubborn({.uid = alice.uid, .ignoreTerm = true});
    // On the kill list until it becomes another program, of an exempt user.
    Running changer =
        start({"/bin/sh", "-c", "trap 'echo term' TERM; sleep 2; exec sleep 30"}, bob.uid);
    ASSERT_TRUE(named(changer.pid, "sh"));
    Running cleaner = start({"ku_reapprocs"});
    ASSERT_TRUE(sleeping(cleaner.pid));
    // Started during the grace period: it was never asked to stop.
    UserProcess latecomer({.uid = alice.uid, .ignoreTerm = true});
    Result result = finish(cleaner);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(stubborn.waitForExit(1s), killed);
    EXPECT_EQ(latecomer.waitForExit(1s), killed);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(changer.finished()) << "killed though no longer on the kill list";
    kill(changer.pid, SIGKILL);
    EXPECT_EQ(finish(changer).out, "term\n") << "never asked to stop";
}

TEST_F(ReapProcs, WithoutItsConfigurationSignalsNothing)
{
    UserProcess process({.uid = alice.uid});
    Result result = run({"ku_reapprocs"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "fopen: No such file or directory\n");
    EXPECT_TRUE(process.running());
}

} // namespace
