// linewatchd asked by a signal to stop: SIGTERM, SIGINT and SIGHUP end the
// sleep to the next minute and the grace before SIGKILL at once, and the
// monitor ends with status 0 and says so; the mail commands it runs
// inherit none of its signal handling.
#include <chrono>
#include <csignal>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <gmock/gmock.h>

#include "logind.h"
#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int logInfo = 24 + 6; // LOG_DAEMON | LOG_INFO
constexpr int logNotice = 24 + 5;

using Stopping = SystemTest;

struct Session {
    UserProcess process;
    explicit Session(const User &user) : process({.uid = user.uid, .terminal = true})
    {
        addLogin(user.name, process.line(), static_cast<std::int32_t>(std::time(nullptr)));
    }
};

struct StopSignal {
    int number;
    const char *name;
};

class StopDuringSleep : public SystemTest, public ::testing::WithParamInterface<StopSignal>
{
};

TEST_P(StopDuringSleep, EndsTheMonitorWithinASecondAndSaysWhy)
{
    writeConfig("");
    writeAccounts({accountFor(alice.uid)});
    Session aliceSession(alice);
    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    std::vector<std::string> lines = syslogLines();
    ASSERT_EQ(kill(monitor.pid(), GetParam().number), 0);
    EXPECT_EQ(monitor.waitForExit(1s), 0);
    EXPECT_TRUE(syslogHas(syslogLines(), logInfo,
                          std::string("linewatchd: stopped by ") + GetParam().name));
    EXPECT_EQ(recordOf(alice.uid).tLeft, 599) << "charged once, in the one cycle";
    EXPECT_TRUE(aliceSession.process.running());
}

INSTANTIATE_TEST_SUITE_P(Stopping, StopDuringSleep,
                         ::testing::Values(StopSignal{SIGTERM, "SIGTERM"},
                                           StopSignal{SIGINT, "SIGINT"},
                                           StopSignal{SIGHUP, "SIGHUP"}),
                         [](const ::testing::TestParamInfo<StopSignal> &test) {
                             return std::string(test.param.name);
                         });

TEST_F(Stopping, ASignalTheStarterIgnoredStaysIgnored)
{
    // Started with hangups ignored, as nohup starts a program.
    writeConfig("");
    Monitor monitor({}, {"/bin/sh", "-c", "trap '' HUP; exec linewatchd"});
    ASSERT_TRUE(monitor.waitForCycle());
    ASSERT_EQ(kill(monitor.pid(), SIGHUP), 0);
    EXPECT_EQ(monitor.waitForExit(1500ms), -1) << "a hangup stopped the monitor";
    ASSERT_EQ(kill(monitor.pid(), SIGTERM), 0);
    EXPECT_EQ(monitor.waitForExit(1s), 0);
}

TEST_F(Stopping, ASignalDuringTheGraceKillsAndEndsTheSessionsAtOnce)
{
    writeConfig("");
    writeAccounts({withLeft(alice.uid, 1)});
    UserProcess sftp({.uid = alice.uid});
    UserProcess stubborn({.uid = alice.uid, .ignoreTerm = true});
    FakeLogind logind({{.id = "3",
                        .uid = alice.uid,
                        .user = alice.name,
                        .leader = sftp.pid(),
                        .started = static_cast<std::int64_t>(std::time(nullptr))}});

    Monitor monitor;
    // SIGTERM went out: the grace has begun.
    ASSERT_EQ(sftp.waitForExit(10s), 128 + SIGTERM);
    auto asked = Clock::now();
    ASSERT_EQ(kill(monitor.pid(), SIGTERM), 0);
    EXPECT_EQ(stubborn.waitForExit(1s), 128 + SIGKILL);
    std::vector<std::string> calls = logind.calls();
    for (auto deadline = Clock::now() + 1s; calls.size() < 2 && Clock::now() < deadline;
         calls = logind.calls())
        std::this_thread::sleep_for(10ms);
    EXPECT_THAT(calls, ElementsAre("KillSession 3 all 9", "TerminateSession 3"));
    EXPECT_EQ(monitor.waitForExit(1s), 0);
    EXPECT_LT(Clock::now() - asked, 2s) << "the grace was waited out";
    EXPECT_EQ(recordOf(alice.uid).tLeft, 0);
    std::vector<std::string> lines = syslogLines();
    EXPECT_TRUE(syslogHas(lines, logNotice, "linewatchd: disconnected alice: total"));
    EXPECT_TRUE(syslogHas(lines, logInfo, "linewatchd: stopped by SIGTERM"));
}

TEST_F(Stopping, TheMailCommandHoldsNoSignalBack)
{
    // The monitor holds its stopping signals back outside its waits; a mail
    // command that inherited that could not be stopped by them.
    ASSERT_EQ(mkdir("/tmp/bin", 0755), 0);
    // perl, not a shell: a shell clears the mask it starts with.
    writeFile("/tmp/bin/mail",
              "#!/usr/bin/perl\n"
              "open(my $in, '<', '/proc/self/status') or die;\n"
              "open(my $out, '>', '/tmp/mail-signals') or die;\n"
              "print $out grep { /^SigBlk/ } <$in>;\n",
              0755);
    writeConfig("SendMail\nWarnBoot 0\n");
    writeFile("/usr/lib/Kestrune/linewatchd.time_period", "Your time is up.\n");
    writeAccounts({withLeft(alice.uid, 1)});
    Session aliceSession(alice);
    UserProcess pppd({.uid = alice.uid, .name = "pppd"});
    writeFile("/var/run/ppp0.pid", std::to_string(pppd.pid()) + "\n");

    Monitor monitor({fakeMailPath});
    EXPECT_EQ(pppd.waitForExit(10s), 128 + SIGTERM);
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(readFile("/tmp/mail-signals"), "SigBlk:\t0000000000000000\n");
}

} // namespace
