// Ending processes through pidfds: SIGKILL only ever reaches a process that
// was sent SIGTERM, even when its id has been given to another one since.
#include <csignal>
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
    EXPECT_TRUE(terminateProcess(scanned(stubborn.pid()), terminated));
    EXPECT_TRUE(terminateProcess(scanned(polite.pid()), terminated));
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
        ASSERT_TRUE(terminateProcess(scanned(reused), terminated));
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
    EXPECT_FALSE(terminateProcess(gone, terminated));
    EXPECT_EQ(terminated.size(), 0u);
    EXPECT_TRUE(second.running());
}

TEST_F(Signals, TerminateNeverSignalsTheCaller)
{
    TerminatedList terminated;
    EXPECT_FALSE(terminateProcess(scanned(getpid()), terminated));
    EXPECT_EQ(errno, 0);
    EXPECT_TRUE(terminated.empty());
}

} // namespace
