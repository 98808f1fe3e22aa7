// The login table from logind, asked over a private system bus of the
// sandbox's, and the choice between logind and the login records: what each
// source gives, and what a program does when its source is missing.
#include <ctime>

#include <unistd.h>

#include <gmock/gmock.h>

#include "logind.h"
#include "sandbox.h"

using namespace sandbox;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{

using Logins = SystemTest;

std::vector<uid_t> uidsOf(const LoginTable &logins)
{
    std::vector<uid_t> uids;
    for (const LoginEntry &login : logins)
        uids.push_back(login.uid);
    return uids;
}

std::vector<std::string> sessionsOf(const LoginTable &logins)
{
    std::vector<std::string> ids;
    for (const LoginEntry &login : logins)
        ids.push_back(login.session);
    return ids;
}

LoginTable readFromLogind()
{
    LoginTable logins;
    EXPECT_EQ(readLogindSessions(logins), 0);
    return logins;
}

TEST_F(Logins, SessionsComeWithTheirUserLineStartIdAndLeaderInStartOrder)
{
    FakeLogind logind({
        {.id = "7",
         .uid = alice.uid,
         .user = "alice",
         .leader = 4001,
         .tty = "pts/3",
         .started = 1700000300},
        {.id = "c2",
         .uid = bob.uid,
         .user = "bob",
         .leader = 4002,
         .tty = "/dev/tty2",
         .started = 1700000100},
        // Ties in start are put in the order of their ids.
        {.id = "6", .uid = carol.uid, .user = "carol", .leader = 4004, .started = 1700000200},
        {.id = "5", .uid = alice.uid, .user = "alice", .leader = 4003, .started = 1700000200},
    });
    LoginTable logins = readFromLogind();
    ASSERT_EQ(logins.size(), 4u);
    EXPECT_THAT(sessionsOf(logins), ElementsAre("c2", "5", "6", "7"));
    EXPECT_THAT(uidsOf(logins), ElementsAre(bob.uid, alice.uid, carol.uid, alice.uid));
    EXPECT_STREQ(logins[0].line.data(), "tty2") << "/dev/ is not part of a line";
    EXPECT_STREQ(logins[1].line.data(), "");
    EXPECT_STREQ(logins[3].line.data(), "pts/3");
    EXPECT_EQ(logins[0].loginTime, 1700000100);
    EXPECT_EQ(logins[3].loginTime, 1700000300);
    EXPECT_EQ(logins[0].leader, 4002);
    EXPECT_EQ(logins[1].leader, 4003);
    EXPECT_EQ(logins[3].leader, 4001);
    EXPECT_THAT(logind.calls(), IsEmpty()) << "reading ended a session";
}

TEST_F(Logins, OnlyUserSessionsThatAreNotClosingCount)
{
    FakeLogind logind({
        {.id = "1", .uid = alice.uid, .sessionClass = "user", .state = "active"},
        {.id = "2", .uid = bob.uid, .sessionClass = "user", .state = "online"},
        {.id = "3", .uid = carol.uid, .sessionClass = "user", .state = "closing"},
        {.id = "4", .uid = guest.uid, .sessionClass = "greeter"},
        {.id = "5", .uid = maximilian.uid, .sessionClass = "lock-screen"},
        {.id = "6", .uid = maximili.uid, .sessionClass = "background"},
    });
    EXPECT_THAT(sessionsOf(readFromLogind()), ElementsAre("1", "2"));
}

TEST_F(Logins, UserIdsBeyondSixteenBitsStayWhole)
{
    FakeLogind logind({{.id = "1", .uid = bigid.uid, .user = "bigid"}});
    LoginTable logins = readFromLogind();
    EXPECT_THAT(uidsOf(logins), ElementsAre(bigid.uid));
    EXPECT_EQ(uidLoggedIn(logins, bigid.uid), 1);
    EXPECT_EQ(uidLoggedIn(logins, wrapped.uid), 0);
}

TEST_F(Logins, ASessionGoneBeforeItsPropertiesAreAskedIsLeftOut)
{
    FakeLogind logind({
        {.id = "1", .uid = alice.uid, .started = 1700000001},
        {.id = "2", .uid = bob.uid, .started = 1700000002, .vanished = true},
        {.id = "3", .uid = carol.uid, .started = 1700000003},
    });
    EXPECT_THAT(sessionsOf(readFromLogind()), ElementsAre("1", "3"));
}

TEST_F(Logins, MoreSessionsThanTheBusLetsWaitForAnswersAreAllRead)
{
    // The system bus refuses a connection's 129th call awaiting an answer.
    constexpr int count = 300;
    std::vector<LogindSession> sessions;
    for (int i = 0; i < count; ++i)
        sessions.push_back({.id = std::to_string(1000 + i),
                            .uid = static_cast<uid_t>(20000 + i),
                            .leader = 5000 + i,
                            .started = 1700000000 + i});
    FakeLogind logind(sessions);
    LoginTable logins = readFromLogind();
    ASSERT_EQ(logins.size(), static_cast<std::size_t>(count)) << logind.log();
    for (int i = 0; i < count; ++i) {
        const LoginEntry &login = logins[static_cast<std::size_t>(i)];
        EXPECT_EQ(login.session, std::to_string(1000 + i));
        EXPECT_EQ(login.uid, static_cast<uid_t>(20000 + i));
        EXPECT_EQ(login.leader, 5000 + i);
        EXPECT_EQ(login.loginTime, 1700000000 + i);
    }
}

TEST_F(Logins, ListedSessionsAreReadAnewEachTime)
{
    FakeLogind logind({{.id = "1", .uid = alice.uid}});
    EXPECT_THAT(uidsOf(readFromLogind()), ElementsAre(alice.uid));
    logind.setSessions({{.id = "2", .uid = bob.uid}});
    EXPECT_THAT(uidsOf(readFromLogind()), ElementsAre(bob.uid));
    logind.setSessions({});
    EXPECT_THAT(readFromLogind(), IsEmpty());
}

TEST_F(Logins, WithoutABusLogindCannotBeAsked)
{
    LoginTable logins{LoginEntry{}};
    EXPECT_LT(readLogindSessions(logins), 0);
    EXPECT_THAT(logins, IsEmpty());
}

// ---------------------------------------------------------------- the source

// What answers on the system bus.
enum class Bus { none, withoutLogind, withLogind };

struct SourceCase {
    const char *what;
    LoginSource source;
    Bus bus;
    std::vector<uid_t> expected;
};

class LoginSources : public Logins, public ::testing::WithParamInterface<SourceCase>
{
};

// alice is logged in as logind sees it; bob as the login records have it.
TEST_P(LoginSources, GiveTheLoginsOfTheSourceThatAnswers)
{
    const SourceCase &test = GetParam();
    addLogin("bob", "pts/1", 1700000000);
    std::unique_ptr<SystemBus> bus;
    std::unique_ptr<FakeLogind> logind;
    if (test.bus == Bus::withoutLogind)
        bus = std::make_unique<SystemBus>();
    if (test.bus == Bus::withLogind)
        logind = std::make_unique<FakeLogind>(
            std::vector<LogindSession>{{.id = "1", .uid = alice.uid, .tty = "pts/0"}});
    LoginTable logins;
    readLogins(logins, test.source);
    EXPECT_EQ(uidsOf(logins), test.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoginSources,
    ::testing::Values(
        // bob logged in through a service that does not register with
        // logind: he must not count as logged out.
        SourceCase{"AutoTakesLogindAndTheRecordsItDoesNotKnow",
                   LoginSource::automatic,
                   Bus::withLogind,
                   {alice.uid, bob.uid}},
        SourceCase{"AutoTakesTheRecordsWithoutABus", LoginSource::automatic, Bus::none, {bob.uid}},
        SourceCase{"AutoTakesTheRecordsWhenNoLogindIsOnTheBus",
                   LoginSource::automatic,
                   Bus::withoutLogind,
                   {bob.uid}},
        SourceCase{"UtmpIgnoresLogind", LoginSource::utmp, Bus::withLogind, {bob.uid}},
        SourceCase{"LogindIgnoresTheRecords", LoginSource::logind, Bus::withLogind, {alice.uid}}),
    [](const ::testing::TestParamInfo<SourceCase> &test) { return test.param.what; });

TEST_F(Logins, AutoCountsALoginBothSourcesHaveOnceAndKeepsLoginOrder)
{
    addLogin("alice", "pts/0", 1700000100);
    addLogin("bob", "pts/1", 1700000050);
    FakeLogind logind({{.id = "1", .uid = alice.uid, .tty = "pts/0", .started = 1700000100}});
    LoginTable logins;
    readLogins(logins, LoginSource::automatic);
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0].uid, bob.uid);
    EXPECT_EQ(logins[1].session, "1");
}

// A program whose only source is missing ends, and says why.
struct MissingSourceCase {
    const char *what;
    std::string config;
    Bus bus;
    bool records;
    std::string message;
};

class MissingSources : public Logins, public ::testing::WithParamInterface<MissingSourceCase>
{
};

// The cleaners read nothing but the login source from the site's
// configuration: they show what a program makes of the source it is given.
TEST_P(MissingSources, EndTheCleanersBeforeTheyActWithTheReason)
{
    const MissingSourceCase &test = GetParam();
    if (!test.config.empty())
        writeConfig(test.config);
    if (!test.records) {
        ASSERT_EQ(unlink(utmpPath), 0);
    }
    std::unique_ptr<SystemBus> bus;
    std::unique_ptr<FakeLogind> logind;
    if (test.bus == Bus::withoutLogind)
        bus = std::make_unique<SystemBus>();
    if (test.bus == Bus::withLogind)
        logind = std::make_unique<FakeLogind>();

    // Something each would act on, were it to go on.
    ASSERT_EQ(mkdir("/tmp/area", 0755), 0);
    writeFile("/tmp/area/old", "left behind\n");
    ASSERT_EQ(chown("/tmp/area/old", alice.uid, 100), 0);
    setTimes("/tmp/area/old", 1600000000, 1600000000);
    writeFile(reapFilesConfigPath, "path /tmp/area\n");
    writeFile(reapProcsConfigPath, "");
    UserProcess process({.uid = alice.uid});

    for (const char *cleaner : {"ku_reapfiles", "ku_reapprocs"}) {
        Result result = run({cleaner});
        EXPECT_EQ(result.status, 1) << cleaner;
        EXPECT_EQ(result.out, "") << cleaner;
        EXPECT_EQ(result.err, test.message) << cleaner;
    }
    EXPECT_TRUE(exists("/tmp/area/old"));
    EXPECT_TRUE(process.running());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MissingSources,
    ::testing::Values(MissingSourceCase{"LogindWithoutABus", "LoginSource logind\n", Bus::none,
                                        true, "logind: No such file or directory\n"},
                      MissingSourceCase{"LogindWithoutLogindOnTheBus", "LoginSource logind\n",
                                        Bus::withoutLogind, true, "logind: No route to host\n"},
                      MissingSourceCase{"UtmpWithoutRecordsThoughLogindAnswers",
                                        "LoginSource utmp\n", Bus::withLogind, false,
                                        "fopen: No such file or directory\n"},
                      MissingSourceCase{"AutoWithNeitherSource", "", Bus::none, false,
                                        "fopen: No such file or directory\n"},
                      MissingSourceCase{"AutoWithABusButNeitherSource", "", Bus::withoutLogind,
                                        false, "fopen: No such file or directory\n"}),
    [](const ::testing::TestParamInfo<MissingSourceCase> &test) { return test.param.what; });

TEST_F(Logins, TheCleanersGoOnWhenTheirSourceAnswers)
{
    // The counterpart of the cases above: the same runs, each source there.
    // The bus and logind are root's, as on a host.
    writeFile(reapFilesConfigPath, "");
    writeFile(reapProcsConfigPath, "exempt root\n");
    for (const char *config : {"LoginSource logind\n", "LoginSource utmp\n", ""}) {
        writeConfig(config);
        FakeLogind logind;
        for (const char *cleaner : {"ku_reapfiles", "ku_reapprocs"}) {
            Result result = run({cleaner});
            EXPECT_EQ(result.status, 0) << cleaner << " with " << config;
            EXPECT_EQ(result.out + result.err, "") << cleaner << " with " << config;
        }
    }
}

// ---------------------------------------------------------------- the setting

struct SettingCase {
    const char *what;
    const char *config; // nullptr for no configuration file
    LoginSource expected;
};

class LoginSourceSetting : public Logins, public ::testing::WithParamInterface<SettingCase>
{
};

TEST_P(LoginSourceSetting, IsReadWithoutEndingTheProgram)
{
    const SettingCase &test = GetParam();
    if (test.config != nullptr)
        writeConfig(test.config);
    EXPECT_EQ(configuredLoginSource(), test.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoginSourceSetting,
    ::testing::Values(SettingCase{"NoFile", nullptr, LoginSource::automatic},
                      SettingCase{"NoKey", "SendMail\n", LoginSource::automatic},
                      SettingCase{"Utmp", "LoginSource utmp\n", LoginSource::utmp},
                      SettingCase{"AnyCase", "loginsource LOGIND\n", LoginSource::logind},
                      SettingCase{"Auto", "LoginSource utmp\nLoginSource auto\n",
                                  LoginSource::automatic},
                      SettingCase{"UnknownKeepsTheEarlier",
                                  "LoginSource logind\nLoginSource wtmp\n", LoginSource::logind},
                      SettingCase{"NoValue", "LoginSource\n", LoginSource::automatic},
                      // A line the monitor would end on is not even looked at.
                      SettingCase{"BesideABadDevice", "Devices nosuchline 4\nLoginSource utmp\n",
                                  LoginSource::utmp}),
    [](const ::testing::TestParamInfo<SettingCase> &test) { return test.param.what; });

} // namespace
