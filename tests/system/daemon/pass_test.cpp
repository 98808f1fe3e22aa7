// The accounting pass in-process, over a real account file and chosen login
// and process tables, with the signals, mail and clock recorded instead.
#include <csignal>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "monitor.h"
#include "sandbox.h"

using namespace sandbox;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{

constexpr std::time_t noon = 1700000000;

class Recorder : public MonitorEffects
{
  public:
    std::vector<std::string> notices; // "line: text"
    std::vector<pid_t> terminated;
    std::vector<std::pair<std::uint16_t, NoticeReason>> mails;
    std::optional<PppCounters> counters;
    std::optional<std::size_t> pausedAfter; // how many were signalled before the pause

    std::time_t now() override { return noon; }
    void letNoticesArrive() override { pausedAfter = terminated.size(); }
    void notify(const char *line, const char *text) override
    {
        notices.push_back(std::string(line) + ": " + text);
    }
    bool terminate(const ProcEntry &process) override
    {
        terminated.push_back(process.pid);
        return true;
    }
    void mail(std::uint16_t uid, NoticeReason reason) override { mails.emplace_back(uid, reason); }
    std::optional<PppCounters> pppCounters(int) override { return counters; }
    std::optional<PppIdle> pppIdle(const char *) override { return std::nullopt; }
};

class Pass : public SystemTest
{
  protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        Settings = SiteSettings{};
        loginTable.clear();
        processTable.clear();
        unitOwner.fill(unknownUid);
        linesBusy = false;
        guestUid = guest.uid;
        openlog("linewatchd", 0, LOG_DAEMON); // as the daemon does at start
    }
    void TearDown() override
    {
        Settings = SiteSettings{};
        SystemTest::TearDown();
    }

    // A process of the user; `tty` is the device of its terminal, if any.
    pid_t process(uid_t uid, DeviceNumber tty = 0, uid_t euid = static_cast<uid_t>(-1))
    {
        ProcEntry entry;
        entry.pid = static_cast<pid_t>(50000 + processTable.size());
        entry.uid = uid;
        entry.euid = euid == static_cast<uid_t>(-1) ? uid : euid;
        entry.tty = tty;
        processTable.push_back(entry);
        return entry.pid;
    }
    void login(uid_t uid, const std::string &line, std::time_t at = noon)
    {
        LoginEntry entry;
        entry.uid = uid;
        copyText(entry.line, line);
        entry.loginTime = static_cast<std::int32_t>(at);
        loginTable.push_back(entry);
    }
    // A user on a line of their own, with one process.
    pid_t connected(uid_t uid, int unit = -1)
    {
        login(uid, "pts/" + std::to_string(40 + loginTable.size()));
        if (unit >= 0)
            unitOwner[static_cast<std::size_t>(unit)] = uid;
        return process(uid);
    }

    Recorder effects;
};

UserRecord withLeft(uid_t uid, std::int32_t tLeft, int priority = 4)
{
    UserRecord record = accountFor(uid);
    record.tLeft = tLeft;
    record.flags = withPriority(record.flags, priority);
    return record;
}

// A real terminal for the rules that look at one, with nobody on it.
struct Terminal {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string line;
    DeviceNumber device = 0;
    Terminal()
    {
        EXPECT_GE(master, 0);
        EXPECT_EQ(unlockpt(master), 0);
        std::string path = ptsname(master);
        line = path.substr(5);
        device = deviceNumberOf(statusOf(path).st_rdev);
    }
    ~Terminal() { close(master); }
};

TEST_F(Pass, OnlyAccountsWithAProcessAndALoginAreCharged)
{
    std::vector<UserRecord> records = {accountFor(alice.uid), accountFor(bob.uid),
                                       accountFor(carol.uid), accountFor(wrapped.uid)};
    writeAccounts(records);
    connected(alice.uid);
    process(bob.uid);                      // no login
    login(carol.uid, "pts/30");            // no process
    connected(bigid.uid);                  // 70000, whose last 16 bits are wrapped's id
    process(4242, 0, wrapped.uid + 65536); // likewise by effective id
    accountingPass(effects);

    records[0].tLeft = 599;
    records[0].sLeft = 119;
    records[0].stamp = noon;
    EXPECT_EQ(readAccounts(), userRecordImage(records));
    EXPECT_THAT(effects.terminated, IsEmpty());
}

TEST_F(Pass, AFreeClassMovesOnlyTheStampAndLinkTrafficIsCounted)
{
    Settings.TimeClass.push(TimeClassEntry{0, 6, 0, 23}); // all week
    UserRecord record = accountFor(alice.uid);
    record.cLimit[0] = classFree;
    record.lastBytes = 600;
    writeAccounts({record});
    connected(alice.uid, 4);
    effects.counters = PppCounters{800, 100};
    accountingPass(effects);

    record.stamp = noon;
    record.lastBytes = 900;
    record.totalBytes = 300;
    EXPECT_EQ(readAccounts(), userRecordImage({record}));
}

TEST_F(Pass, BootOneEndsOnlyTheLastJudgedOfTheLowestPriority)
{
    Settings.BootOne = true;
    Settings.SendMail = true;
    writeAccounts(
        {withLeft(alice.uid, 1, 4), withLeft(bob.uid, -4, 2), withLeft(carol.uid, -4, 2)});
    connected(alice.uid, 0);
    connected(bob.uid, 1);
    pid_t carols = connected(carol.uid, 2);
    accountingPass(effects);
    EXPECT_THAT(effects.terminated, ElementsAre(carols));
    ASSERT_EQ(effects.mails.size(), 1u);
    EXPECT_EQ(effects.mails[0].first, carol.uid);
    EXPECT_EQ(effects.mails[0].second, NoticeReason::time_period);
}

TEST_F(Pass, BootOneLetsAGuestDisplaceAnAccountOnlyWithAsFewMinutes)
{
    Settings.BootOne = true;
    writeAccounts({withLeft(alice.uid, -2)}); // -3 once charged
    pid_t alices = connected(alice.uid);
    Terminal terminal;
    pid_t guests = process(guest.uid, terminal.device);
    pid_t bobOnIt = process(bob.uid, terminal.device);

    login(guest.uid, terminal.line, noon - 1140); // -3 minutes left
    accountingPass(effects);
    EXPECT_THAT(effects.terminated, ElementsAre(guests, bobOnIt));

    loginTable.resize(1);
    login(guest.uid, terminal.line, noon - 1080); // -2 minutes left
    effects.terminated.clear();
    accountingPass(effects);
    EXPECT_THAT(effects.terminated, ElementsAre(alices));
}

TEST_F(Pass, AProcessDueTwiceIsSignalledOnce)
{
    writeAccounts({withLeft(alice.uid, 0)});
    Terminal terminal;
    login(alice.uid, "pts/30");
    pid_t alicesOnGuestLine = process(alice.uid, terminal.device);
    pid_t guests = process(guest.uid, terminal.device);
    login(guest.uid, terminal.line, noon - 3600);
    accountingPass(effects);
    EXPECT_THAT(effects.terminated, ElementsAre(alicesOnGuestLine, guests));
}

TEST_F(Pass, DisconnectionsAreLoggedWithTheirReason)
{
    Settings.SendMail = true;
    linesBusy = true;
    UserRecord priorityZero = withLeft(alice.uid, 50, 0);
    writeAccounts({priorityZero, withLeft(4242, 0)});
    connected(alice.uid, 0);
    connected(4242);
    process(4242);
    syslogLines();
    accountingPass(effects);
    std::vector<std::string> lines = syslogLines();
    EXPECT_TRUE(syslogHas(lines, 24 + 5, "disconnected alice: busy lines, 1 process signalled"));
    EXPECT_TRUE(syslogHas(lines, 24 + 5, "disconnected uid 4242: total, 2 processes signalled"));
    // The busy-lines rule is mailed as such, not as idleness.
    ASSERT_EQ(effects.mails.size(), 1u);
    EXPECT_EQ(effects.mails[0].second, NoticeReason::busy);
}

TEST_F(Pass, RootsAccountIsChargedButNeverCutOff)
{
    writeAccounts({withLeft(0, 0)});
    connected(0);
    accountingPass(effects);
    EXPECT_THAT(effects.terminated, IsEmpty());
    std::vector<UserRecord> records = accountRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].tLeft, -1);
}

TEST_F(Pass, WithoutAGuestEntryNobodyIsAGuest)
{
    guestUid = unknownUid;
    Terminal terminal;
    process(edge.uid, terminal.device); // id 65535, the "unknown" id
    login(edge.uid, terminal.line, noon - 3600);
    accountingPass(effects);
    EXPECT_THAT(effects.terminated, IsEmpty());
}

TEST_F(Pass, ALineWithoutADeviceLeavesOutOnlyTheIdleRule)
{
    Settings.IdleBoot = 10;
    UserRecord spent = withLeft(alice.uid, 0);
    UserRecord withTime = withLeft(bob.uid, 30);
    for (UserRecord *record : {&spent, &withTime})
        record->flags |= flagIdleBoot;
    writeAccounts({spent, withTime});
    // Lines a login record may name with no terminal under /dev.
    login(alice.uid, "pts/99");
    login(bob.uid, ":0");
    pid_t alices = process(alice.uid);
    process(bob.uid);
    accountingPass(effects);
    EXPECT_THAT(effects.terminated, ElementsAre(alices));
    std::vector<UserRecord> records = accountRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].tLeft, -1);
    EXPECT_EQ(records[1].tLeft, 29);
}

TEST_F(Pass, IdleTerminalUsersAreWarnedThenCutOff)
{
    Settings.IdleBoot = 10;
    UserRecord record = accountFor(alice.uid);
    record.flags |= flagIdleBoot;
    writeAccounts({record, accountFor(bob.uid)});
    Terminal alicesTerminal, bobsTerminal;
    login(alice.uid, alicesTerminal.line);
    login(bob.uid, bobsTerminal.line);
    pid_t alices = process(alice.uid, alicesTerminal.device);
    process(bob.uid, bobsTerminal.device);
    // bob's account is not subject to idleness; alice's is.
    setTimes("/dev/" + alicesTerminal.line, noon - 550, noon - 550);
    setTimes("/dev/" + bobsTerminal.line, noon - 5000, noon - 5000);
    accountingPass(effects);
    EXPECT_THAT(effects.notices,
                ElementsAre(alicesTerminal.line +
                            ": You will be logged out after 1 more minute of idle time."));
    EXPECT_THAT(effects.terminated, IsEmpty());

    setTimes("/dev/" + alicesTerminal.line, noon - 601, noon - 601);
    effects.notices.clear();
    accountingPass(effects);
    EXPECT_THAT(effects.notices, IsEmpty());
    EXPECT_THAT(effects.terminated, ElementsAre(alices));
}

TEST_F(Pass, ALastNoticeHasAMomentToArriveBeforeTheSignals)
{
    Settings.WarnBoot.push(0);
    writeAccounts({withLeft(alice.uid, 1), withLeft(bob.uid, -5)});
    pid_t alices = connected(alice.uid);
    accountingPass(effects);
    EXPECT_THAT(effects.notices, ElementsAre("pts/40: You have 0 minute(s) remaining."));
    EXPECT_THAT(effects.terminated, ElementsAre(alices));
    EXPECT_EQ(effects.pausedAfter, 0u);

    // Nobody warned: no pause.
    effects = Recorder{};
    loginTable.clear();
    processTable.clear();
    pid_t bobs = connected(bob.uid);
    accountingPass(effects);
    EXPECT_THAT(effects.terminated, ElementsAre(bobs));
    EXPECT_EQ(effects.pausedAfter, std::nullopt);
}

TEST_F(Pass, ARecordThatCannotBeWrittenBackIsPassedOver)
{
    Settings.WarnBoot.push(4);
    std::vector<UserRecord> records = {withLeft(alice.uid, 5), withLeft(bob.uid, 5)};
    writeAccounts(records);
    connected(alice.uid);
    connected(bob.uid);
    Result result = runFunction([&] {
        alarm(10); // a pass that never ends is ended here
        // Only the first record lies within the size a write may reach.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{userRecordSize, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        accountingPass(effects);
        for (const std::string &notice : effects.notices)
            std::printf("%s\n", notice.c_str());
    });
    EXPECT_EQ(result.status, 0) << "the pass did not end";
    EXPECT_EQ(result.out, "pts/40: You have 4 minute(s) remaining.\n"
                          "pts/41: You have 4 minute(s) remaining.\n");
    records[0].tLeft = 4;
    records[0].sLeft = 119;
    records[0].stamp = noon;
    EXPECT_EQ(readAccounts(), userRecordImage(records));
}

} // namespace
