// linewatchd on a host where logind keeps the logins, the stand-in logind
// serving them on the sandbox's private bus: sessions without a terminal
// are charged and ended like any other but never warned, a session's
// terminal is found through its leader, and logind's sessions of a user who
// goes are ended whole after the grace.
#include <csignal>
#include <ctime>
#include <thread>

#include <gmock/gmock.h>

#include "logind.h"
#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{

constexpr int logWarning = 24 + 4; // LOG_DAEMON | LOG_WARNING
constexpr int logNotice = 24 + 5;
const std::string fiveMinutesLeft = "\a\n\nNOTICE: You have 5 minute(s) remaining.\n\n";

using DaemonWithLogind = SystemTest;
using Clock = std::chrono::steady_clock;

LogindSession sessionOf(const char *id, const User &user, pid_t leader, const std::string &tty = "",
                        std::time_t started = std::time(nullptr))
{
    return {.id = id,
            .uid = user.uid,
            .user = user.name,
            .leader = leader,
            .tty = tty,
            .started = static_cast<std::int64_t>(started)};
}

// Waits for the stand-in's record to reach `count` calls.
std::vector<std::string> callsOnceThere(const FakeLogind &logind, std::size_t count,
                                        std::chrono::milliseconds timeout = 10s)
{
    auto deadline = Clock::now() + timeout;
    std::vector<std::string> calls = logind.calls();
    while (calls.size() < count && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        calls = logind.calls();
    }
    return calls;
}

TEST_F(DaemonWithLogind, ASessionWithoutATerminalIsChargedButNeitherWarnedNorIdle)
{
    // Five minutes left after the charge, and idle for ever: a terminal
    // session would be warned, and one idle minute allowed would end it.
    writeConfig("WarnBoot 5\nIdleBoot 1\n");
    UserRecord record = withLeft(alice.uid, 6);
    record.flags |= flagIdleBoot;
    writeAccounts({record});
    UserProcess sftp({.uid = alice.uid});
    // A terminal of alice's that no session of hers leads to, and another
    // merely open: neither is hers to be warned on.
    UserProcess elsewhere({.uid = alice.uid, .terminal = true});
    UserProcess open({.uid = alice.uid, .terminalOnlyOpen = true});
    FakeLogind logind({sessionOf("3", alice, sftp.pid())});
    std::time_t before = std::time(nullptr);

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    UserRecord charged = recordOf(alice.uid);
    EXPECT_EQ(charged.tLeft, 5);
    EXPECT_EQ(charged.sLeft, 119);
    EXPECT_GE(charged.stamp, before);
    EXPECT_EQ(elsewhere.readTerminal(500ms), "");
    EXPECT_EQ(open.readTerminal(100ms), "");
    EXPECT_TRUE(sftp.running());
    EXPECT_TRUE(elsewhere.running());
    EXPECT_THAT(logind.calls(), IsEmpty());
    EXPECT_FALSE(syslogHas(syslogLines(), logNotice, "disconnected"));
}

TEST_F(DaemonWithLogind, SpentTimeEndsTheProcessesThenEveryLogindSessionOfTheUser)
{
    writeConfig("");
    writeAccounts({withLeft(alice.uid, 1), accountFor(bob.uid)});
    UserProcess sftp({.uid = alice.uid});
    UserProcess stubborn({.uid = alice.uid, .ignoreTerm = true});
    UserProcess rsync({.uid = alice.uid});
    UserProcess bobShell({.uid = bob.uid, .terminal = true});
    FakeLogind logind({sessionOf("3", alice, sftp.pid()), sessionOf("8", alice, rsync.pid()),
                       sessionOf("5", bob, bobShell.pid(), bobShell.line())});

    Monitor monitor;
    EXPECT_EQ(sftp.waitForExit(10s), 128 + SIGTERM);
    EXPECT_EQ(rsync.waitForExit(1s), 128 + SIGTERM);
    auto terminated = Clock::now();
    EXPECT_THAT(logind.calls(), IsEmpty()) << "a session was ended before the grace";
    EXPECT_EQ(stubborn.waitForExit(10s), 128 + SIGKILL);
    std::vector<std::string> calls = callsOnceThere(logind, 4);
    EXPECT_GE(Clock::now() - terminated, 4500ms);
    EXPECT_THAT(calls, ElementsAre("KillSession 3 all 9", "TerminateSession 3",
                                   "KillSession 8 all 9", "TerminateSession 8"));
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_TRUE(bobShell.running());
    EXPECT_EQ(recordOf(alice.uid).tLeft, 0);
    EXPECT_TRUE(syslogHas(syslogLines(), logNotice,
                          "linewatchd: disconnected alice: total, 3 processes signalled"));
}

// A user whose time is spent, with a process that outlives SIGTERM so that
// the whole grace passes before the session is ended.
struct SpentUser {
    UserProcess sftp{{.uid = alice.uid}};
    UserProcess stubborn{{.uid = alice.uid, .ignoreTerm = true}};
    SpentUser()
    {
        writeConfig("");
        writeAccounts({withLeft(alice.uid, 1)});
    }
};

TEST_F(DaemonWithLogind, ASessionLogindClosedDuringTheGraceIsTakenAsEnded)
{
    SpentUser alices;
    FakeLogind logind({sessionOf("3", alice, alices.sftp.pid())});

    Monitor monitor;
    EXPECT_EQ(alices.sftp.waitForExit(10s), 128 + SIGTERM);
    logind.setSessions({}); // closed as its leader ended
    EXPECT_EQ(alices.stubborn.waitForExit(10s), 128 + SIGKILL);
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_THAT(logind.calls(), ElementsAre("KillSession 3 all 9"));
    EXPECT_FALSE(syslogHas(syslogLines(), logWarning, "couldn't end session"));
}

TEST_F(DaemonWithLogind, ASessionThatCannotBeEndedIsReportedAndTheMonitorGoesOn)
{
    SpentUser alices;
    FakeLogind logind({sessionOf("3", alice, alices.sftp.pid())});

    Monitor monitor;
    EXPECT_EQ(alices.sftp.waitForExit(10s), 128 + SIGTERM);
    logind.stop();
    EXPECT_EQ(alices.stubborn.waitForExit(10s), 128 + SIGKILL);
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_TRUE(syslogHas(syslogLines(), logWarning,
                          "linewatchd: couldn't end session 3: No route to host"));
    EXPECT_EQ(monitor.waitForExit(0ms), -1);
}

TEST_F(DaemonWithLogind, AGuestWithoutATerminalLosesOnlyItsOverdueSession)
{
    writeConfig("GuestTime 15\n");
    std::time_t now = std::time(nullptr);
    // As sshd leaves a session without a terminal: a leader, here the
    // guest's own, and the command below it.
    RemoteLogin overdue(guest.uid, false);
    UserProcess recent({.uid = guest.uid});
    FakeLogind logind({sessionOf("g1", guest, overdue.leader(), "", now - 16 * 60),
                       sessionOf("g2", guest, recent.pid(), "", now - 60)});

    Monitor monitor;
    EXPECT_TRUE(overdue.ended(10s));
    EXPECT_THAT(callsOnceThere(logind, 2),
                ElementsAre("KillSession g1 all 9", "TerminateSession g1"));
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_TRUE(recent.running());
    EXPECT_TRUE(syslogHas(syslogLines(), logNotice,
                          "disconnected guest in session g1: guest time, 2 processes signalled"));
}

TEST_F(DaemonWithLogind, AUserIsWarnedOnTheTerminalOfASessionBesideOneWithout)
{
    writeConfig("WarnBoot 5\n");
    writeAccounts({withLeft(alice.uid, 6)});
    std::time_t now = std::time(nullptr);
    // The session without a terminal started first.
    UserProcess sftp({.uid = alice.uid});
    UserProcess shell({.uid = alice.uid, .terminal = true});
    FakeLogind logind({sessionOf("3", alice, sftp.pid(), "", now - 600),
                       sessionOf("4", alice, shell.pid(), shell.line(), now - 60)});

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(shell.readTerminal(2s), fiveMinutesLeft);
    EXPECT_EQ(recordOf(alice.uid).tLeft, 5);
}

TEST_F(DaemonWithLogind, ASessionWhoseLeadersChildHoldsATerminalIsWarnedThere)
{
    // logind names no terminal for the session; sshd's child of the leader
    // holds the pseudo-terminal it opened.
    writeConfig("WarnBoot 5\n");
    writeAccounts({withLeft(alice.uid, 6)});
    RemoteLogin login(alice.uid, true);
    FakeLogind logind({sessionOf("3", alice, login.leader())});

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(login.readTerminal(2s), fiveMinutesLeft);
    EXPECT_EQ(recordOf(alice.uid).tLeft, 5);
}

TEST_F(DaemonWithLogind, ASessionBeyondSixteenBitsNeverChargesTheAccountOfTheIdCut)
{
    writeConfig("");
    writeAccounts({accountFor(wrapped.uid), accountFor(alice.uid)});
    UserProcess bigidSftp({.uid = bigid.uid});
    UserProcess wrappedStray({.uid = wrapped.uid});
    UserProcess aliceSftp({.uid = alice.uid});
    FakeLogind logind(
        {sessionOf("1", bigid, bigidSftp.pid()), sessionOf("2", alice, aliceSftp.pid())});

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(recordOf(wrapped.uid), accountFor(wrapped.uid));
    EXPECT_EQ(recordOf(alice.uid).tLeft, 599) << "the cycle did not read logind";
    EXPECT_TRUE(wrappedStray.running());
    EXPECT_TRUE(bigidSftp.running());
}

} // namespace
