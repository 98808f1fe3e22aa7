// The accounting pass in-process over a snapshot the test builds, with a
// host that keeps the accounts in memory and records what the pass does.
#include <gmock/gmock.h>

#include <syslog.h>

#include "fake_host.h"
#include "monitor.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

namespace
{

constexpr std::time_t noon = 1700000000;
constexpr uid_t alice = 1001, bob = 1002, guest = 1003, carol = 1006;

UserRecord account(uid_t uid, std::int32_t tLeft = 600, int priority = 4)
{
    UserRecord record;
    record.uid = static_cast<std::uint16_t>(uid);
    record.flags = withPriority(0, priority);
    record.tLeft = tLeft;
    record.tLimit = 600;
    record.sLeft = record.sLimit = 120;
    record.cLeft.fill(classUnlimited);
    record.cLimit.fill(classUnlimited);
    record.stamp = noon - 3600;
    return record;
}

// The record as a pass leaves it that charged it a minute of no class.
UserRecord charged(UserRecord record)
{
    --record.tLeft;
    --record.sLeft;
    record.stamp = noon;
    return record;
}

class Pass : public ::testing::Test
{
  protected:
    void SetUp() override { snapshot.guestUid = guest; }

    // A process of the user; `tty` is the device of its terminal, if any.
    pid_t process(uid_t uid, DeviceNumber tty = 0, uid_t euid = static_cast<uid_t>(-1))
    {
        ProcEntry entry;
        entry.pid = static_cast<pid_t>(50000 + snapshot.processTable.size());
        entry.uid = uid;
        entry.euid = euid == static_cast<uid_t>(-1) ? uid : euid;
        entry.tty = tty;
        snapshot.processTable.push_back(entry);
        return entry.pid;
    }
    void login(uid_t uid, const std::string &line, std::time_t at = noon)
    {
        LoginEntry entry;
        entry.uid = uid;
        copyText(entry.line, line);
        entry.loginTime = static_cast<std::int32_t>(at);
        snapshot.loginTable.push_back(entry);
    }
    // A logind session; without a line, it has no terminal.
    void session(uid_t uid, const std::string &id, const std::string &line = "", pid_t leader = 0,
                 std::time_t at = noon)
    {
        login(uid, line, at);
        snapshot.loginTable.back().session = id;
        snapshot.loginTable.back().leader = leader;
    }
    // A user on a line of their own, with one process.
    pid_t connected(uid_t uid, int unit = -1)
    {
        login(uid, "pts/" + std::to_string(40 + snapshot.loginTable.size()));
        if (unit >= 0)
            snapshot.unitOwner[static_cast<std::size_t>(unit)] = uid;
        return process(uid);
    }
    // A terminal line with its device, last typed on at `lastInput`.
    void terminal(const std::string &line, DeviceNumber device, std::time_t lastInput = noon)
    {
        host.devices[line] = device;
        host.lastInputs[line] = lastInput;
    }
    PassDecisions pass()
    {
        PassDecisions decisions = accountingPass(snapshot, settings, host);
        carryOut(decisions, snapshot, host);
        finishDisconnections(decisions, host);
        return decisions;
    }

    Snapshot snapshot;
    SiteSettings settings;
    FakeHost host;
};

TEST_F(Pass, OnlyAccountsWithAProcessAndALoginAreCharged)
{
    constexpr uid_t wrapped = 4464, bigid = 70000; // bigid's last 16 bits are wrapped's id
    host.accounts = {account(alice), account(bob), account(carol), account(wrapped)};
    std::vector<UserRecord> expected = host.accounts;
    connected(alice);
    process(bob);           // no login
    login(carol, "pts/30"); // no process
    connected(bigid);
    process(4242, 0, wrapped + 65536); // likewise by effective id
    PassDecisions decisions = pass();

    expected[0] = charged(expected[0]);
    EXPECT_EQ(host.accounts, expected);
    EXPECT_THAT(decisions.charged, ElementsAre(alice));
    EXPECT_THAT(host.terminated, IsEmpty());
    EXPECT_FALSE(host.accountsOpen);
}

TEST_F(Pass, AFreeClassMovesOnlyTheStampAndLinkTrafficIsCounted)
{
    settings.TimeClass.push(TimeClassEntry{0, 6, 0, 23}); // all week
    UserRecord record = account(alice);
    record.cLimit[0] = classFree;
    record.lastBytes = 600;
    host.accounts = {record};
    connected(alice, 4);
    host.counters = PppCounters{800, 100};
    pass();

    record.stamp = noon;
    record.lastBytes = 900;
    record.totalBytes = 300;
    EXPECT_THAT(host.accounts, ElementsAre(record));
}

TEST_F(Pass, BootOneEndsOnlyTheLastJudgedOfTheLowestPriority)
{
    settings.BootOne = true;
    settings.SendMail = true;
    host.accounts = {account(alice, 1, 4), account(bob, -4, 2), account(carol, -4, 2)};
    connected(alice, 0);
    connected(bob, 1);
    pid_t carols = connected(carol, 2);
    PassDecisions decisions = pass();
    EXPECT_THAT(host.terminated, ElementsAre(carols));
    EXPECT_THAT(host.mails, ElementsAre(Pair(carol, NoticeReason::time_period)));
    ASSERT_EQ(decisions.disconnections.size(), 1u);
    EXPECT_EQ(decisions.disconnections[0].uid, carol);
}

TEST_F(Pass, BootOneLetsAGuestDisplaceAnAccountOnlyWithAsFewMinutes)
{
    settings.BootOne = true;
    host.accounts = {account(alice, -2)}; // -3 once charged
    pid_t alices = connected(alice);
    terminal("pts/7", 0x8807);
    pid_t guests = process(guest, 0x8807);
    pid_t bobOnIt = process(bob, 0x8807);

    login(guest, "pts/7", noon - 1140); // -3 minutes left
    pass();
    EXPECT_THAT(host.terminated, ElementsAre(guests, bobOnIt));

    snapshot.loginTable.resize(1);
    login(guest, "pts/7", noon - 1080); // -2 minutes left
    host.terminated.clear();
    pass();
    EXPECT_THAT(host.terminated, ElementsAre(alices));
}

TEST_F(Pass, AGuestWhoseTerminalWentAwayIsNotChosen)
{
    settings.BootOne = true;
    host.accounts = {account(alice, -2)};
    pid_t alices = connected(alice);
    process(guest, 0x8807);
    login(guest, "pts/7", noon - 3600); // far past the guest time, but no device
    pass();
    EXPECT_THAT(host.terminated, ElementsAre(alices));
}

TEST_F(Pass, AProcessDueTwiceIsSignalledOnce)
{
    host.accounts = {account(alice, 0)};
    terminal("pts/7", 0x8807);
    login(alice, "pts/30");
    pid_t alicesOnGuestLine = process(alice, 0x8807);
    pid_t guests = process(guest, 0x8807);
    login(guest, "pts/7", noon - 3600);
    PassDecisions decisions = pass();
    EXPECT_THAT(host.terminated, ElementsAre(alicesOnGuestLine, guests));
    ASSERT_EQ(decisions.disconnections.size(), 2u);
    EXPECT_EQ(decisions.disconnections[1].processes.size(), 1u);
}

TEST_F(Pass, DisconnectionsAreLoggedWithTheirReason)
{
    settings.SendMail = true;
    snapshot.linesBusy = true;
    host.logins[alice] = "alice";
    terminal("pts/7", 0x8807);
    host.accounts = {account(alice, 50, 0), account(4242, 0)};
    connected(alice, 0);
    connected(4242);
    process(4242);
    process(guest, 0x8807);
    login(guest, "pts/7", noon - 3600);
    pass();
    EXPECT_THAT(host.logLines,
                ElementsAre(Pair(LOG_NOTICE, "disconnected alice: busy lines, 1 process signalled"),
                            Pair(LOG_NOTICE, "disconnected uid 4242: total, 2 processes signalled"),
                            Pair(LOG_NOTICE, "disconnected guest on pts/7: guest time, 1 process "
                                             "signalled")));
    // The busy-lines rule is mailed as such, not as idleness.
    EXPECT_THAT(host.mails, ElementsAre(Pair(alice, NoticeReason::busy)));
}

TEST_F(Pass, RootsAccountIsChargedButNeverCutOff)
{
    host.accounts = {account(0, 0)};
    connected(0);
    pass();
    EXPECT_THAT(host.terminated, IsEmpty());
    EXPECT_EQ(host.accounts[0].tLeft, -1);
}

TEST_F(Pass, WithoutAGuestEntryNobodyIsAGuest)
{
    constexpr uid_t edge = 65535; // the "unknown" id
    snapshot.guestUid = unknownUid;
    terminal("pts/7", 0x8807);
    process(edge, 0x8807);
    login(edge, "pts/7", noon - 3600);
    pass();
    EXPECT_THAT(host.terminated, IsEmpty());
}

TEST_F(Pass, ALineWithoutADeviceLeavesOutOnlyTheIdleRule)
{
    settings.IdleBoot = 10;
    UserRecord spent = account(alice, 0);
    UserRecord withTime = account(bob, 30);
    for (UserRecord *record : {&spent, &withTime})
        record->flags |= flagIdleBoot;
    host.accounts = {spent, withTime};
    // Lines whose last input the host cannot tell.
    login(alice, "pts/99");
    login(bob, ":0");
    pid_t alices = process(alice);
    process(bob);
    pass();
    EXPECT_THAT(host.terminated, ElementsAre(alices));
    EXPECT_EQ(host.accounts[0].tLeft, -1);
    EXPECT_EQ(host.accounts[1].tLeft, 29);
}

TEST_F(Pass, IdleTerminalUsersAreWarnedThenCutOff)
{
    settings.IdleBoot = 10;
    UserRecord record = account(alice);
    record.flags |= flagIdleBoot;
    host.accounts = {record, account(bob)};
    terminal("pts/1", 0x8801, noon - 550);
    terminal("pts/2", 0x8802, noon - 5000);
    login(alice, "pts/1");
    login(bob, "pts/2");
    pid_t alices = process(alice, 0x8801);
    process(bob, 0x8802);
    // bob's account is not subject to idleness; alice's is.
    pass();
    EXPECT_THAT(host.notices,
                ElementsAre("pts/1: You will be logged out after 1 more minute of idle time."));
    EXPECT_THAT(host.terminated, IsEmpty());

    host.lastInputs["pts/1"] = noon - 601;
    host.notices.clear();
    pass();
    EXPECT_THAT(host.notices, IsEmpty());
    EXPECT_THAT(host.terminated, ElementsAre(alices));
}

TEST_F(Pass, ALinkUserIsJudgedIdleByTheDriverAndNeverWarned)
{
    settings.IdleBoot = 10;
    settings.WarnBoot.push(9);
    UserRecord record = account(alice, 10);
    record.flags |= flagIdleBoot;
    host.accounts = {record};
    pid_t alices = connected(alice, 3);
    host.idle = PppIdle{700, 30}; // the last packet came in 30 s ago
    pass();
    EXPECT_THAT(host.notices, IsEmpty());
    EXPECT_THAT(host.terminated, IsEmpty());

    host.idle = PppIdle{700, 601};
    pass();
    EXPECT_THAT(host.terminated, ElementsAre(alices));
}

TEST_F(Pass, ALastNoticeHasAMomentToArriveBeforeTheSignals)
{
    settings.WarnBoot.push(0);
    host.accounts = {account(alice, 1), account(bob, -5)};
    pid_t alices = connected(alice);
    pass();
    EXPECT_THAT(host.notices, ElementsAre("pts/40: You have 0 minute(s) remaining."));
    EXPECT_THAT(host.terminated, ElementsAre(alices));
    EXPECT_EQ(host.pausedAfter, 0u);

    // Nobody warned: no pause.
    host = FakeHost{};
    host.accounts = {account(bob, -5)};
    snapshot.loginTable.clear();
    snapshot.processTable.clear();
    pid_t bobs = connected(bob);
    pass();
    EXPECT_THAT(host.terminated, ElementsAre(bobs));
    EXPECT_EQ(host.pausedAfter, std::nullopt);
}

TEST_F(Pass, ARecordThatCannotBeWrittenBackIsJudgedButNotCountedAsCharged)
{
    settings.WarnBoot.push(4);
    host.accounts = {account(alice, 5), account(bob, 5)};
    host.unwritable = 1;
    connected(alice);
    connected(bob);
    PassDecisions decisions = pass();
    EXPECT_THAT(host.notices, ElementsAre("pts/40: You have 4 minute(s) remaining.",
                                          "pts/41: You have 4 minute(s) remaining."));
    EXPECT_THAT(decisions.charged, ElementsAre(alice));
    EXPECT_EQ(host.accounts[1], account(bob, 5));
}

TEST_F(Pass, DecidingActsOnNothing)
{
    settings.SendMail = true;
    settings.WarnBoot.push(0);
    host.accounts = {account(alice, 1), account(bob, -5)};
    connected(alice, 0);
    connected(bob, 1);
    PassDecisions decisions = accountingPass(snapshot, settings, host);
    EXPECT_THAT(host.notices, IsEmpty());
    EXPECT_THAT(host.terminated, IsEmpty());
    EXPECT_THAT(host.mails, IsEmpty());
    EXPECT_THAT(host.logLines, IsEmpty());
    ASSERT_EQ(decisions.warnings.size(), 0u); // link users get no warnings
    ASSERT_EQ(decisions.disconnections.size(), 2u);
    EXPECT_EQ(decisions.mails.size(), 2u);
}

} // namespace

TEST_F(Pass, ASessionWithoutATerminalIsChargedAndCutOffButNeverWarnedNorIdle)
{
    settings.IdleBoot = 10;
    settings.WarnBoot.push(1);
    UserRecord record = account(alice, 2);
    record.flags |= flagIdleBoot;
    host.accounts = {record};
    session(alice, "c7");
    pid_t alices = process(alice);
    PassDecisions decisions = pass();
    EXPECT_THAT(decisions.charged, ElementsAre(alice));
    EXPECT_EQ(host.accounts[0].tLeft, 1);
    EXPECT_THAT(host.notices, IsEmpty());
    EXPECT_THAT(host.terminated, IsEmpty());

    pass();
    EXPECT_THAT(host.notices, IsEmpty());
    EXPECT_THAT(host.terminated, ElementsAre(alices));
    // The session goes whole, once its processes had their grace.
    EXPECT_THAT(host.endedSessions, ElementsAre(Pair("c7", true)));
}

TEST_F(Pass, AUserIsWarnedOnTheTerminalOfAnyOfTheirSessionsAndLosesThemAll)
{
    settings.WarnBoot.push(0);
    host.accounts = {account(alice, 1), account(bob, 5)};
    session(alice, "c1", "", 0, noon - 60);
    session(alice, "c2", "pts/3");
    session(bob, "c3", "pts/4");
    pid_t alices = process(alice);
    process(bob);
    pass();
    EXPECT_THAT(host.notices, ElementsAre("pts/3: You have 0 minute(s) remaining."));
    EXPECT_THAT(host.terminated, ElementsAre(alices));
    EXPECT_THAT(host.endedSessions, ElementsAre(Pair("c1", true), Pair("c2", true)));
}

TEST_F(Pass, AGuestWithoutATerminalIsJudgedByItsTimeAndLosesOnlyItsSession)
{
    settings.IdleBoot = 10;       // no terminal to be idle on: not a reason to skip the guest
    pid_t leader = process(0);    // the root side of the connection
    pid_t relay = process(guest); // its child, the guest's side
    snapshot.processTable.back().ppid = leader;
    pid_t command = process(guest);
    snapshot.processTable.back().ppid = relay;
    process(guest); // another session of the guest's
    session(guest, "c9", "", leader, noon - 3600);
    pass();
    EXPECT_THAT(host.terminated, ElementsAre(relay, command));
    EXPECT_THAT(host.endedSessions, ElementsAre(Pair("c9", true)));
    ASSERT_EQ(host.logLines.size(), 1u);
    EXPECT_THAT(host.logLines[0].second,
                ::testing::StartsWith("disconnected guest in session c9: "));
}

TEST_F(Pass, AGuestSessionWithNothingLeftToEndIsNotChosen)
{
    session(guest, "c9", "", 4242, noon - 3600); // its leader gone
    process(guest);
    PassDecisions decisions = pass();
    EXPECT_THAT(decisions.disconnections, IsEmpty());
    EXPECT_THAT(host.endedSessions, IsEmpty());
}
