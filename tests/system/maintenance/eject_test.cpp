// ku_eject against real processes of the sandbox's users: SIGTERM, and 5
// seconds later SIGKILL to the very same processes, however many.
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "logind.h"
#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;

namespace
{

using Eject = SystemTest;

class EjectRefusals : public SystemTest, public ::testing::WithParamInterface<CommandRefusal>
{
};

TEST_P(EjectRefusals, SignalNothing)
{
    UserProcess process({.uid = alice.uid});
    expectRefused(run(GetParam().argv), GetParam().message);
    EXPECT_TRUE(process.running());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EjectRefusals,
    ::testing::Values(CommandRefusal{{"ku_eject"}, "usage: ku_eject <login>"},
                      CommandRefusal{{"ku_eject", "alice", "bob"}, "usage: ku_eject <login>"},
                      CommandRefusal{{"ku_eject", "1001"}, "user does not exist: 1001"},
                      CommandRefusal{{"ku_eject", "root"}, "can't kick root!"}));

TEST_F(Eject, EndsEveryProcessOfTheUserEvenOneThatIgnoresTerm)
{
    UserProcess polite({.uid = alice.uid});
    UserProcess stubborn({.uid = alice.uid, .ignoreTerm = true});
    UserProcess borrowed({.uid = bob.uid, .euid = alice.uid}); // set-user-id to alice
    UserProcess lent({.uid = alice.uid, .euid = bob.uid});
    UserProcess other({.uid = bob.uid});
    auto begun = std::chrono::steady_clock::now();
    Result result = run({"ku_eject", "alice"});
    EXPECT_GE(std::chrono::steady_clock::now() - begun, 5s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user kicked: alice\n");
    EXPECT_EQ(polite.waitForExit(1s), 128 + SIGTERM);
    EXPECT_EQ(borrowed.waitForExit(1s), 128 + SIGTERM);
    EXPECT_EQ(lent.waitForExit(1s), 128 + SIGTERM);
    EXPECT_EQ(stubborn.waitForExit(1s), 128 + SIGKILL);
    EXPECT_TRUE(other.running());
}

TEST_F(Eject, RunByWhoMayNotSignalTheUserSaysSo)
{
    UserProcess process({.uid = alice.uid});
    expectRefused(run({"ku_eject", "alice"}, bob.uid), "must be root");
    EXPECT_EQ(process.waitForExit(300ms), -1);
}

TEST_F(Eject, WithoutProcessesSaysNothing)
{
    // bigid's id cut to 16 bits is wrapped's: the process is not wrapped's.
    UserProcess bigids({.uid = bigid.uid});
    Result result = run({"ku_eject", "wrapped"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_TRUE(bigids.running());
}

class EjectWholeIds : public SystemTest, public ::testing::WithParamInterface<User>
{
};

TEST_P(EjectWholeIds, EndExactlyThatUsersProcesses)
{
    // Ids of 65535 and more hold no account, but their users log in all the
    // same; wrapped's id is bigid's cut to 16 bits.
    UserProcess target({.uid = GetParam().uid});
    UserProcess wrappeds({.uid = wrapped.uid});
    Result result = run({"ku_eject", GetParam().name});
    EXPECT_EQ(result.out, "user kicked: " + std::string(GetParam().name) + "\n");
    EXPECT_EQ(target.waitForExit(1s), 128 + SIGTERM);
    EXPECT_TRUE(wrappeds.running());
}

INSTANTIATE_TEST_SUITE_P(Users, EjectWholeIds, ::testing::Values(bigid, edge),
                         [](const auto &test) { return std::string(test.param.name); });

// Lets the user's process end by ku_eject's SIGTERM and gives its id to a
// new process of the user before the SIGKILL is due.
void expectTheIdsNewProcessSpared(const std::function<Running()> &startEject)
{
    auto first = std::make_unique<UserProcess>(UserProcess::Options{.uid = alice.uid});
    pid_t reused = first->pid();
    // Start times are counted in clock ticks: the new process must start in
    // a later one to be told from the old.
    std::this_thread::sleep_for(50ms);
    Running eject = startEject();
    ASSERT_EQ(first->waitForExit(4s), 128 + SIGTERM);
    first.reset();
    std::ofstream("/proc/sys/kernel/ns_last_pid") << reused - 1;
    UserProcess second({.uid = alice.uid});
    ASSERT_EQ(second.pid(), reused);
    Result result = finish(eject);
    EXPECT_EQ(result.out, "user kicked: alice\n");
    EXPECT_EQ(second.waitForExit(300ms), -1) << "SIGKILL reached the process that took the id";
}

TEST_F(Eject, KillSparesAProcessThatTookAnIdDuringTheWait)
{
    expectTheIdsNewProcessSpared([] { return start({"ku_eject", "alice"}); });
}

TEST_F(Eject, KillSparesAProcessThatTookAnIdWhereTheKernelHasNoProcessDescriptors)
{
    expectTheIdsNewProcessSpared([] {
        return startFailingCalls({"/usr/sbin/ku_eject", "alice"}, {SYS_pidfd_open}, ENOSYS);
    });
}

TEST_F(Eject, EndsMoreProcessesThanOneListHolds)
{
    Crowd family(alice.uid, 1100);
    auto begun = std::chrono::steady_clock::now();
    // With room for few descriptors, it must make room for a whole list.
    Result result = run({"/bin/sh", "-c", "ulimit -S -n 256 && exec ku_eject alice"});
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 20s) << "more rounds than two lists need";
    EXPECT_EQ(result.out, "user kicked: alice\n");
    EXPECT_TRUE(family.ended()) << "some of the user's processes still run";
}

TEST_F(Eject, EndsTheUsersProcessesWhenNoDescriptorIsLeftToHoldThem)
{
    // Room for about 28 descriptors: two rounds.
    Crowd family(alice.uid, 40);
    Result result = run({"/bin/sh", "-c", "ulimit -n 32 && exec ku_eject alice"});
    EXPECT_EQ(result.out, "user kicked: alice\n");
    EXPECT_TRUE(family.ended()) << "some of the user's processes still run";
}

TEST_F(Eject, FindsTheUserAmongMoreProcessesThanTheTableHolds)
{
    // Another user's processes come first in /proc, and fill a table.
    Crowd crowd(bob.uid, 1100);
    UserProcess process({.uid = alice.uid});
    Result result = run({"ku_eject", "alice"});
    EXPECT_EQ(result.out, "user kicked: alice\n");
    EXPECT_EQ(process.waitForExit(1s), 128 + SIGTERM);
}

TEST_F(Eject, EndsTheUsersLogindSessionsWholeAfterTheGrace)
{
    FakeLogind logind({{.id = "3", .uid = alice.uid, .user = "alice"},
                       {.id = "4", .uid = bob.uid, .user = "bob"}});
    UserProcess process({.uid = alice.uid});
    Result result = run({"ku_eject", "alice"});
    EXPECT_EQ(result.out, "user kicked: alice\n");
    EXPECT_EQ(process.waitForExit(1s), 128 + SIGTERM);
    EXPECT_THAT(logind.calls(),
                ::testing::ElementsAre("KillSession 3 all 9", "TerminateSession 3"));
}

TEST_F(Eject, LeavesLogindAloneWhenTheLoginRecordsAreTheSource)
{
    writeFile(configPath, "LoginSource utmp\n");
    FakeLogind logind({{.id = "3", .uid = alice.uid, .user = "alice"}});
    UserProcess process({.uid = alice.uid});
    EXPECT_EQ(run({"ku_eject", "alice"}).out, "user kicked: alice\n");
    EXPECT_THAT(logind.calls(), ::testing::IsEmpty());
}

} // namespace
