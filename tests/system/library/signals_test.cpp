// Ending processes through pidfds: SIGKILL only ever reaches a process that
// was sent SIGTERM, even when its id has been given to another one since.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;

namespace
{

using Signals = SystemTest;

ProcEntry scanned(pid_t pid)
{
    ProcessTable table;
    scanProcesses(table);
    for (const ProcEntry &entry : table) {
        if (entry.pid == pid)
            return entry;
    }
    ADD_FAILURE() << "process " << pid << " not seen";
    return ProcEntry{};
}

// The next process this namespace starts gets `pid`.
void nextPidWillBe(pid_t pid)
{
    std::ofstream("/proc/sys/kernel/ns_last_pid") << pid - 1;
}

TEST_F(Signals, TermThenKillEndsAProcessThatIgnoresTerm)
{
    UserProcess stubborn({.uid = alice.uid, .ignoreTerm = true});
    UserProcess polite({.uid = alice.uid});
    TerminatedList terminated;
    EXPECT_EQ(terminateProcess(scanned(stubborn.pid()), terminated), SignalResult::sent);
    EXPECT_EQ(terminateProcess(scanned(polite.pid()), terminated), SignalResult::sent);
    EXPECT_EQ(polite.waitForExit(5s), 128 + SIGTERM);
    EXPECT_TRUE(stubborn.running());
    killTerminated(terminated);
    EXPECT_EQ(stubborn.waitForExit(5s), 128 + SIGKILL);
    EXPECT_EQ(terminated.size(), 0u);
}

TEST_F(Signals, KillSparesAProcessThatTookTheIdOfOneTerminated)
{
    TerminatedList terminated;
    pid_t reused = 0;
    {
        UserProcess first({.uid = alice.uid});
        reused = first.pid();
        ASSERT_EQ(terminateProcess(scanned(reused), terminated), SignalResult::sent);
        ASSERT_EQ(first.waitForExit(5s), 128 + SIGTERM);
    }
    nextPidWillBe(reused);
    UserProcess second({.uid = bob.uid});
    ASSERT_EQ(second.pid(), reused);
    killTerminated(terminated);
    EXPECT_EQ(second.waitForExit(300ms), -1) << "SIGKILL reached the process that took the id";
}

TEST_F(Signals, TermSparesAProcessStartedUnderAScannedId)
{
    ProcEntry gone;
    {
        UserProcess first({.uid = alice.uid});
        gone = scanned(first.pid());
    }
    // Start times are counted in clock ticks of 10 ms.
    std::this_thread::sleep_for(30ms);
    nextPidWillBe(gone.pid);
    UserProcess second({.uid = alice.uid});
    ASSERT_EQ(second.pid(), gone.pid);
    TerminatedList terminated;
    EXPECT_EQ(terminateProcess(gone, terminated), SignalResult::gone);
    EXPECT_EQ(terminated.size(), 0u);
    EXPECT_TRUE(second.running());
}

TEST_F(Signals, TerminateNeverSignalsTheCaller)
{
    TerminatedList terminated;
    EXPECT_EQ(terminateProcess(scanned(getpid()), terminated), SignalResult::self);
    EXPECT_TRUE(terminated.empty());
}

TEST_F(Signals, AProcessOfAnotherUserIsRefusedWithTheSystemsReason)
{
    UserProcess target({.uid = bob.uid});
    ProcEntry entry = scanned(target.pid());
    Result result = runFunction(
        [entry] {
            TerminatedList terminated;
            bool refused = terminateProcess(entry, terminated) == SignalResult::refused;
            int reason = errno;
            bool killRefused = signalProcess(entry, SIGKILL) == SignalResult::refused;
            std::printf("%d %d %s %zu", refused, killRefused, std::strerror(reason),
                        terminated.size());
        },
        alice.uid);
    EXPECT_EQ(result.out, "1 1 Operation not permitted 0");
    EXPECT_TRUE(target.running());
}

TEST_F(Signals, SignalProcessReachesTheScannedProcessOnly)
{
    UserProcess target({.uid = alice.uid, .ignoreTerm = true});
    ProcEntry entry = scanned(target.pid());
    EXPECT_EQ(signalProcess(entry, SIGKILL), SignalResult::sent);
    EXPECT_EQ(target.waitForExit(5s), 128 + SIGKILL);
    // Ended and reaped: nothing is left under the id to signal.
    EXPECT_EQ(signalProcess(entry, SIGKILL), SignalResult::gone);
    EXPECT_EQ(signalProcess(scanned(getpid()), SIGTERM), SignalResult::self);
}

} // namespace
