// linewatchd run as an administrator runs it, against real terminal
// sessions: login records written through the C library and real processes
// of the users holding their terminals.
#include <csignal>
#include <ctime>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{

constexpr int logErr = 24 + 3; // LOG_DAEMON | LOG_ERR
constexpr int logNotice = 24 + 5;
constexpr int logInfo = 24 + 6;

using Daemon = SystemTest;

// A user logged in on a terminal of their own, as a login program leaves it.
struct Session {
    UserProcess process;
    Session(const User &user, std::time_t loginTime = std::time(nullptr))
        : process({.uid = user.uid, .terminal = true})
    {
        addLogin(user.name, process.line(), static_cast<std::int32_t>(loginTime));
    }
};

TEST_F(Daemon, AMissingConfigurationIsReportedOnTheStartingTerminal)
{
    Result result = run({"linewatchd"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "couldn't open config file\n");
    EXPECT_EQ(result.err, "");
    EXPECT_THAT(processesNamed("linewatchd"), IsEmpty());
}

TEST_F(Daemon, AFailedDetachingForkIsReportedAndNoDaemonRuns)
{
    writeConfig("");
    Result result = runWithoutFork({"linewatchd"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "fork: Resource temporarily unavailable\n");
    EXPECT_THAT(processesNamed("linewatchd"), IsEmpty());
}

TEST_F(Daemon, StandardStreamsLeftClosedAreOpenedOnTheNullDevice)
{
    writeConfig("");
    Monitor monitor({}, {"/bin/sh", "-c", "exec linewatchd <&- >&- 2>&-"});
    ASSERT_GT(monitor.pid(), 0);
    for (int fd = 0; fd <= 2; ++fd) {
        std::string link = "/proc/" + std::to_string(monitor.pid()) + "/fd/" + std::to_string(fd);
        char target[64] = "";
        EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << fd << " is closed";
        EXPECT_STREQ(target, "/dev/null") << fd;
    }
}

TEST_F(Daemon, AFailureAfterDetachingIsReportedInTheSystemLog)
{
    // Nobody reads the starting terminal once the monitor has left it.
    writeConfig("");
    ASSERT_EQ(unlink(utmpPath), 0);
    Result starter = run({"linewatchd"});
    EXPECT_EQ(starter.status, 0);
    EXPECT_EQ(starter.out + starter.err, "");
    // The detached monitor ends in its first cycle, before anyone could
    // look for it: its last word is found in the log.
    std::vector<std::string> lines;
    for (int tries = 0; tries < 100 && !syslogHas(lines, logErr, "linewatchd: fopen:"); ++tries) {
        std::this_thread::sleep_for(100ms);
        std::vector<std::string> more = syslogLines();
        lines.insert(lines.end(), more.begin(), more.end());
    }
    EXPECT_TRUE(syslogHas(lines, logErr, "linewatchd: fopen: No such file or directory"));
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

TEST_F(Daemon, TheFirstCycleRunsAtOnceAndChargesConnectedAccountsOnly)
{
    writeConfig("");
    writeAccounts({accountFor(alice.uid), accountFor(bob.uid), accountFor(carol.uid)});
    Session aliceSession(alice);
    UserProcess bobWithoutLogin({.uid = bob.uid});
    addLogin("carol", "pts/9", 1700000000); // a login without any process
    std::time_t before = std::time(nullptr);

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(monitor.starter.out, "");
    std::vector<UserRecord> records = accountRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].tLeft, 599);
    EXPECT_EQ(records[0].sLeft, 119);
    EXPECT_GE(records[0].stamp, before);
    EXPECT_LE(records[0].stamp, std::time(nullptr));
    EXPECT_EQ(records[1], accountFor(bob.uid));
    EXPECT_EQ(records[2], accountFor(carol.uid));

    // Detached: a session of its own, no terminal, at the root.
    EXPECT_EQ(monitor.statField(6), std::to_string(monitor.pid()));
    EXPECT_EQ(monitor.statField(7), "0");
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(monitor.pid()) + "/cwd"),
              "/");
    // A configuration older than the start is not read again.
    EXPECT_FALSE(syslogHas(syslogLines(), logInfo, "re-read"));
}

TEST_F(Daemon, ANewerConfigurationIsReadAgainAndSaidSo)
{
    writeConfig("");
    setTimes(configPath, std::time(nullptr) + 30, std::time(nullptr) + 30);
    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_TRUE(
        syslogHas(syslogLines(), logInfo, "linewatchd: re-read /usr/lib/Kestrune/kestrune.config"));
}

TEST_F(Daemon, AConfigurationChangedWithinTheSecondOfTheLastReadIsReadAgain)
{
    writeConfig("");
    // Early in a second, the file is dated at its end: later than the start,
    // by well under a second.
    timespec now{};
    for (clock_gettime(CLOCK_REALTIME, &now); now.tv_nsec > 300'000'000;
         clock_gettime(CLOCK_REALTIME, &now))
        std::this_thread::sleep_for(10ms);
    const timespec late[2] = {{now.tv_sec, 999'000'000}, {now.tv_sec, 999'000'000}};
    ASSERT_EQ(utimensat(AT_FDCWD, configPath, late, 0), 0);
    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_TRUE(syslogHas(syslogLines(), logInfo, "re-read /usr/lib/Kestrune/kestrune.config"));
}

TEST_F(Daemon, NoticesReachOnlyTerminalsThatTakeMessagesAndKeepTheirTimes)
{
    writeConfig("WarnBoot 5\nIdleBoot 10\n");
    writeAccounts({withLeft(alice.uid, 6), withLeft(bob.uid, 6), withLeft(carol.uid, 6),
                   withLeft(maximilian.uid, 6)});
    std::time_t now = std::time(nullptr);
    Session aliceSession(alice);
    setTimes(aliceSession.process.path(), now - 30, now - 100);
    Session bobSession(bob);
    chmod(bobSession.process.path().c_str(), 0600); // bob refuses messages
    setTimes(bobSession.process.path(), now - 40, now - 50);
    // carol's terminal is open, but no session's controlling terminal: the
    // monitor must not take it as its own.
    UserProcess carolDetached({.uid = carol.uid, .terminalOnlyOpen = true});
    addLogin("carol", carolDetached.line(), static_cast<std::int32_t>(now));
    // A line that climbs out of /dev names a plain file writable by the group.
    UserProcess maximilianProcess({.uid = maximilian.uid});
    writeFile("/tmp/decoy", "unchanged", 0620);
    setTimes("/tmp/decoy", now - 60, now - 60);
    addLogin("maximilian", "../tmp/decoy", static_cast<std::int32_t>(now));

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(aliceSession.process.readTerminal(2s),
              "\a\n\nNOTICE: You have 5 minute(s) remaining.\n\n");
    struct stat alicesTerminal = statusOf(aliceSession.process.path());
    EXPECT_EQ(alicesTerminal.st_atime, now - 30);
    EXPECT_EQ(alicesTerminal.st_mtime, now - 30);

    EXPECT_EQ(bobSession.process.readTerminal(300ms), "");
    struct stat bobsTerminal = statusOf(bobSession.process.path());
    EXPECT_EQ(bobsTerminal.st_atime, now - 40);
    EXPECT_EQ(bobsTerminal.st_mtime, now - 50);

    EXPECT_EQ(carolDetached.readTerminal(2s), "\a\n\nNOTICE: You have 5 minute(s) remaining.\n\n");
    EXPECT_EQ(monitor.statField(7), "0") << "the monitor took a user's terminal";

    EXPECT_EQ(readFile("/tmp/decoy"), "unchanged");
    EXPECT_EQ(statusOf("/tmp/decoy").st_mtime, now - 60);
    EXPECT_EQ(recordOf(maximilian.uid).tLeft, 5) << "charged all the same";
}

TEST_F(Daemon, SpentTimeEndsEveryProcessOfTheUserTermFirstKillAfterFiveSeconds)
{
    writeConfig("");
    writeAccounts({withLeft(alice.uid, 1), accountFor(bob.uid)});
    Session aliceSession(alice);
    UserProcess stubborn({.uid = alice.uid, .ignoreTerm = true});
    UserProcess elsewhere({.uid = 4242, .euid = alice.uid}); // alice's by effective id
    Session bobSession(bob);

    Monitor monitor;
    EXPECT_EQ(aliceSession.process.waitForExit(10s), 128 + SIGTERM);
    EXPECT_EQ(elsewhere.waitForExit(1s), 128 + SIGTERM);
    auto terminated = std::chrono::steady_clock::now();
    EXPECT_EQ(stubborn.waitForExit(10s), 128 + SIGKILL);
    EXPECT_GE(std::chrono::steady_clock::now() - terminated, 4500ms);
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_TRUE(bobSession.process.running());
    EXPECT_EQ(recordOf(alice.uid).tLeft, 0);
    EXPECT_TRUE(syslogHas(syslogLines(), logNotice,
                          "linewatchd: disconnected alice: total, 3 processes signalled"));
}

TEST_F(Daemon, GuestsAreCutOffByTheirTerminal)
{
    writeConfig("GuestTime 15\n");
    std::time_t now = std::time(nullptr);
    Session overdue(guest, now - 16 * 60);
    Session recent(guest, now - 60);
    UserProcess guestElsewhere({.uid = guest.uid}); // no terminal: not a guest login
    // A terminal that hung up since its login was recorded.
    addLogin("guest", "pts/77", static_cast<std::int32_t>(now - 20 * 60));

    Monitor monitor;
    EXPECT_EQ(overdue.process.waitForExit(10s), 128 + SIGTERM);
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_TRUE(recent.process.running());
    EXPECT_TRUE(guestElsewhere.running());
    EXPECT_EQ(monitor.waitForExit(0ms), -1) << "the vanished terminal ended the monitor";
    EXPECT_TRUE(syslogHas(syslogLines(), logNotice,
                          "disconnected guest on " + overdue.process.line() +
                              ": guest time, 1 process signalled"));
}

TEST_F(Daemon, SmartBootWaitsUntilEveryLineIsBusy)
{
    UserRecord smart = withLeft(alice.uid, 0);
    smart.flags |= flagSmartBoot;
    smart.sLimit = -1;
    writeAccounts({smart});
    Session aliceSession(alice);
    Session bobSession(bob);
    ASSERT_EQ(bobSession.process.terminal(), aliceSession.process.terminal() + 1);
    {
        // Three lines, the third free: the spent allowance is not enforced.
        writeConfig("Devices " + aliceSession.process.line() + " 3\n");
        Monitor monitor;
        ASSERT_TRUE(monitor.waitForCycle());
        EXPECT_TRUE(aliceSession.process.running());
        EXPECT_EQ(recordOf(alice.uid).tLeft, -1);
    }
    writeConfig("devices " + aliceSession.process.line() + " 2\n");
    Monitor monitor;
    EXPECT_EQ(aliceSession.process.waitForExit(10s), 128 + SIGTERM);
    EXPECT_TRUE(bobSession.process.running());
}

TEST_F(Daemon, DisconnectedLinkUsersAreMailedWhyWithoutAShell)
{
    installFakeMail();
    // WarnBoot 0 would warn a terminal user in alice's place.
    writeConfig("SendMail\nWarnBoot 0\n");
    writeFile("/usr/lib/Kestrune/linewatchd.time_period", "Your time is up.\n");
    writeAccounts({withLeft(alice.uid, 1)});
    Session aliceSession(alice);
    UserProcess pppd({.uid = alice.uid, .name = "pppd"});
    writeFile("/var/run/ppp0.pid", std::to_string(pppd.pid()) + "\n");

    Monitor monitor({fakeMailPath, "MAILHOST=example.org;touch /tmp/injected"});
    EXPECT_EQ(pppd.waitForExit(10s), 128 + SIGTERM);
    ASSERT_TRUE(monitor.waitForCycle());
    std::vector<Mail> mails = mailsSent();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_THAT(mails[0].arguments, ElementsAre("-s", "Connection Terminated",
                                                "alice@example.org;touch /tmp/injected"));
    EXPECT_EQ(mails[0].body, "Your time is up.\n");
    EXPECT_FALSE(exists("/tmp/injected"));
    // A link user gets no notice on the terminal.
    EXPECT_EQ(aliceSession.process.readTerminal(100ms), "");
}

TEST_F(Daemon, AskingALinkForItsIdleTimeNeverTakesItsTerminal)
{
    writeConfig("IdleBoot 10\n");
    UserRecord record = accountFor(alice.uid);
    record.flags |= flagIdleBoot;
    writeAccounts({record});
    // The modem line, open but left by the session that dialled in.
    UserProcess line({.uid = alice.uid, .terminalOnlyOpen = true});
    addLogin("alice", line.line(), static_cast<std::int32_t>(std::time(nullptr)));
    UserProcess pppd({.uid = alice.uid, .name = "pppd"});
    writeFile("/var/run/ppp1.pid", std::to_string(pppd.pid()) + "\n");

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(monitor.statField(7), "0") << "the monitor took the line as its terminal";
    // The line carries no PPP here: the driver cannot tell, which leaves a
    // minute of idleness and no disconnection.
    EXPECT_TRUE(pppd.running());
    EXPECT_EQ(recordOf(alice.uid).tLeft, 599);
}

TEST_F(Daemon, ALinksIdleTimeIsAskedOfATerminalOnly)
{
    writeConfig("IdleBoot 10\n");
    UserRecord record = accountFor(alice.uid);
    record.flags |= flagIdleBoot;
    writeAccounts({record});
    // A line that climbs out of /dev names a pipe; whoever opens it for
    // reading lets its writer go on.
    ASSERT_EQ(mkfifo("/tmp/line", 0666), 0);
    pid_t writer = fork();
    if (writer == 0)
        _exit(open("/tmp/line", O_WRONLY) >= 0 ? 0 : 1);
    addLogin("alice", "../tmp/line", static_cast<std::int32_t>(std::time(nullptr)));
    UserProcess pppd({.uid = alice.uid, .name = "pppd"});
    writeFile("/var/run/ppp1.pid", std::to_string(pppd.pid()) + "\n");

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(recordOf(alice.uid).tLeft, 599);
    EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the monitor opened the pipe";
    close(open("/tmp/line", O_RDONLY | O_NONBLOCK));
    waitpid(writer, nullptr, 0);
}

TEST_F(Daemon, NoticesGoToTerminalsOnly)
{
    writeConfig("WarnBoot 5\nIdleBoot 10\n");
    writeAccounts({withLeft(alice.uid, 6)});
    // A device that is no terminal, writable by the group as a terminal
    // that takes messages is: the null device under a line's name.
    ASSERT_EQ(mknod("/dev/ttyN0", S_IFCHR | 0620, makedev(1, 3)), 0);
    ASSERT_EQ(chmod("/dev/ttyN0", 0620), 0); // whatever the umask left
    std::time_t now = std::time(nullptr);
    setTimes("/dev/ttyN0", now - 60, now - 30);
    UserProcess process({.uid = alice.uid});
    addLogin("alice", "ttyN0", static_cast<std::int32_t>(now));

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(recordOf(alice.uid).tLeft, 5);
    EXPECT_EQ(statusOf("/dev/ttyN0").st_mtime, now - 30) << "the monitor wrote to the device";
    unlink("/dev/ttyN0");
}

TEST_F(Daemon, AMissingNoticeFileSendsNoMail)
{
    installFakeMail();
    writeConfig("SendMail\n");
    writeAccounts({withLeft(alice.uid, 1)});
    Session aliceSession(alice);
    UserProcess pppd({.uid = alice.uid, .name = "pppd"});
    writeFile("/var/run/ppp3.pid", std::to_string(pppd.pid()) + "\n");

    Monitor monitor({fakeMailPath});
    EXPECT_EQ(pppd.waitForExit(10s), 128 + SIGTERM);
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_THAT(mailsSent(), IsEmpty());
}

TEST_F(Daemon, AnOverlongMailHostIsRefusedAtStart)
{
    writeConfig("");
    Running running = start({"linewatchd"}, 0, {"MAILHOST=" + std::string(64, 'h')});
    Result result = finish(running);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "MAILHOST is longer than 63 characters\n");
    EXPECT_THAT(processesNamed("linewatchd"), IsEmpty());
}

TEST_F(Daemon, TheNextCycleStartsOnTheMinuteAndALostConfigurationEndsIt)
{
    // The one test that waits for a second cycle.
    writeConfig("");
    writeAccounts({accountFor(alice.uid)});
    Session aliceSession(alice);
    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    ASSERT_EQ(unlink(configPath), 0);
    EXPECT_EQ(monitor.waitForExit(65s), 1);
    std::time_t ended = std::time(nullptr);
    EXPECT_LE(ended % 60, 2) << "the second cycle did not start at a minute boundary";
    EXPECT_TRUE(syslogHas(syslogLines(), logErr,
                          "linewatchd: couldn't stat /usr/lib/Kestrune/kestrune.config"));
    EXPECT_EQ(recordOf(alice.uid).tLeft, 599);
}

} // namespace
