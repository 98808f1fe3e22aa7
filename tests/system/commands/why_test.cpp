// ku_why, run as installed against a real terminal session, login record
// and process table: its whole answer, byte for byte, across the rules.
#include <ctime>
#include <memory>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::HasSubstr;

namespace
{

constexpr std::int32_t loginTime = 1765000000; // 2025-12-06 05:46 UTC

// An account of alice's with the limits the case sets.
struct Account {
    std::int32_t tLeft = 500, tLimit = 600;
    std::int32_t sLeft = 100, sLimit = 120;
    std::int16_t classLeft = 0, classLimit = classUnlimited; // class 0
    std::uint16_t flags = 0;
    int priority = 4;
};

struct WhyCase {
    const char *name;
    Account account;
    const char *config; // "Devices" is replaced by a line that stays free
    bool connected;     // alice logged in on a terminal, with a process there
    long idleSeconds;   // since the terminal was last typed on
    const char *golden; // "{pts}" stands for the terminal's line
};

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
        text.replace(at, from.size(), to), at += to.size();
    return text;
}

UserRecord accountOf(const Account &account)
{
    UserRecord record = accountFor(alice.uid);
    record.tLeft = account.tLeft;
    record.tLimit = account.tLimit;
    record.sLeft = account.sLeft;
    record.sLimit = account.sLimit;
    record.cLeft.fill(0);
    record.cLimit.fill(classUnlimited);
    record.cLeft[0] = account.classLeft;
    record.cLimit[0] = account.classLimit;
    record.flags = withPriority(account.flags, account.priority);
    return record;
}

class WhyFor : public SystemTest, public ::testing::WithParamInterface<WhyCase>
{
};

TEST_P(WhyFor, TellsWhatTheNextCycleWouldDoAndWhy)
{
    const WhyCase &c = GetParam();
    writeAccounts({accountOf(c.account)});
    // /dev/null as the one modem line: no user's process ever holds it.
    writeConfig(replaced(c.config, "Devices", "Devices null 1") + "TimeClass 0-6 0-0\n");
    std::unique_ptr<UserProcess> session;
    std::string line = "-";
    if (c.connected) {
        session = std::make_unique<UserProcess>(UserProcess::Options{.terminal = true});
        line = session->line();
        addLogin(alice.name, line, loginTime);
        std::time_t now = std::time(nullptr);
        setTimes(session->path(), now - c.idleSeconds, now - c.idleSeconds);
    }
    Running running = start({"ku_why", "alice"}, 0, {"TZ=UTC"});
    Result result = finish(running);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, replaced(c.golden, "{pts}", line));
}

// The rows every answer for alice on a terminal begins with.
#define CONNECTED(lines)                                                                           \
    "login         alice (uid 1001)\n"                                                             \
    "time class    0\n"                                                                            \
    "lines         " lines "\n"                                                                    \
    "connected     {pts} since 2025-12-06 05:46\n"                                                \
    "expires       never\n"                                                                        \
    "\n"                                                                                           \
    "limit          left  applies\n"

INSTANTIATE_TEST_SUITE_P(
    Commands, WhyFor,
    ::testing::Values(
        WhyCase{"TotalBinds",
                {.tLeft = 50},
                "",
                true,
                0,
                CONNECTED("all busy") "total            49  yes\n"
                                      "session          99  yes\n"
                                      "\n"
                                      "binding       total limit, 49 minutes left\n"
                                      "next cycle    charges a minute\n"
                                      "login now     admitted\n"},
        WhyCase{"SessionBindsAndWarns",
                {.sLeft = 6},
                "WarnBoot 5 1\n",
                true,
                0,
                CONNECTED("all busy") "total           499  yes\n"
                                      "session           5  yes\n"
                                      "\n"
                                      "binding       session limit, 5 minutes left\n"
                                      "next cycle    charges a minute; warns \"You have 5 "
                                      "minute(s) remaining.\"\n"
                                      "login now     admitted\n"},
        WhyCase{"TimeClassSpentDisconnects",
                {.classLeft = 1, .classLimit = 30},
                "",
                true,
                0,
                CONNECTED("all busy") "total           499  yes\n"
                                      "session          99  yes\n"
                                      "time class 0      0  yes\n"
                                      "\n"
                                      "binding       time class limit, 0 minutes left\n"
                                      "next cycle    charges a minute; disconnects: time class\n"
                                      "login now     refused: time class\n"},
        WhyCase{"AFreeClassChargesNothing",
                {.tLeft = 0, .classLimit = classFree},
                "",
                true,
                0,
                CONNECTED("all busy") "total             0  yes\n"
                                      "session         100  yes\n"
                                      "\n"
                                      "binding       total limit, 0 minutes left\n"
                                      "next cycle    charges nothing; disconnects: total\n"
                                      "login now     refused: total\n"},
        WhyCase{"SmartBootWithALineFree",
                {.tLeft = 1, .sLimit = -1, .flags = flagSmartBoot},
                "Devices\n",
                true,
                0,
                CONNECTED("a line is free") "total             0  no, a line is free\n"
                                            "\n"
                                            "binding       none while a line is free\n"
                                            "next cycle    charges a minute\n"
                                            "login now     admitted\n"},
        WhyCase{"SmartBootWithEveryLineBusy",
                {.tLeft = 1, .sLimit = -1, .flags = flagSmartBoot},
                "",
                true,
                0,
                CONNECTED("all busy") "total             0  yes\n"
                                      "\n"
                                      "binding       total limit, 0 minutes left\n"
                                      "next cycle    charges a minute; disconnects: total\n"
                                      "login now     refused: total\n"},
        WhyCase{"PriorityZeroGivesWayToBusyLines",
                {.priority = 0},
                "",
                true,
                0,
                CONNECTED("all busy") "total           499  yes\n"
                                      "session          99  yes\n"
                                      "busy lines        0  yes\n"
                                      "\n"
                                      "binding       busy lines, 0 minutes left\n"
                                      "next cycle    charges a minute; disconnects: busy lines\n"
                                      "login now     refused: busy lines\n"},
        WhyCase{"IdleNearItsLimit",
                {.flags = flagIdleBoot},
                "IdleBoot 5\n",
                true,
                250,
                CONNECTED("all busy") "total           499  yes\n"
                                      "session          99  yes\n"
                                      "idle on {pts}     1  yes\n"
                                      "\n"
                                      "binding       idle limit, 1 minute left\n"
                                      "next cycle    charges a minute; warns \"You will be "
                                      "logged out after 1 more minute of idle time.\"\n"
                                      "login now     admitted\n"},
        WhyCase{"NotConnected",
                {.tLeft = 1},
                "",
                false,
                0,
                "login         alice (uid 1001)\n"
                "time class    0\n"
                "lines         all busy\n"
                "connected     no\n"
                "expires       never\n"
                "\n"
                "limit          left  applies\n"
                "total             0  yes\n"
                "session          99  yes\n"
                "\n"
                "binding       total limit, 0 minutes left\n"
                "next cycle    nothing, not connected\n"
                "login now     refused: total\n"}),
    [](const auto &test) { return test.param.name; });

using Why = SystemTest;

TEST_F(Why, GivesScriptsTheSameAnswerAsJson)
{
    writeAccounts({accountOf({.sLeft = 6})});
    writeConfig("WarnBoot 5\n");
    UserProcess session({.terminal = true});
    addLogin(alice.name, session.line(), loginTime);
    Result result = run({"ku_why", "--json", "alice"}, alice.uid);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out,
              "{\"login\":\"alice\",\"uid\":1001,\"timeClass\":null,\"linesBusy\":true,"
              "\"expire\":0,\"connected\":[{\"line\":\"" +
                  session.line() +
                  "\",\"session\":\"\",\"since\":1765000000}],"
                  "\"limits\":[{\"rule\":\"total\",\"minutesLeft\":499,\"applies\":true},"
                  "{\"rule\":\"session\",\"minutesLeft\":5,\"applies\":true}],\"idle\":[],"
                  "\"binding\":{\"rule\":\"session\",\"minutesLeft\":5},"
                  "\"nextCycle\":{\"judged\":true,\"charges\":true,"
                  "\"warning\":\"You have 5 minute(s) remaining.\",\"disconnects\":false},"
                  "\"loginNow\":{\"admitted\":true,\"rule\":null}}\n");
    // Asking changes nothing: the account is as it was.
    EXPECT_EQ(recordOf(alice.uid).sLeft, 6);
}

TEST_F(Why, LetsAUserAskOnlyAboutThemselves)
{
    writeAccounts({accountFor(alice.uid), accountFor(bob.uid)});
    writeConfig("");
    EXPECT_EQ(run({"ku_why", "alice"}, alice.uid).status, 0);
    Result other = run({"ku_why", "alice"}, bob.uid);
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.out, "permission denied: alice\n");
    EXPECT_EQ(run({"ku_why", "bob"}, 0).status, 0);
}

TEST_F(Why, RefusesWhatItCannotAnswer)
{
    writeAccounts({accountFor(alice.uid)});
    writeConfig("");
    const std::string usage = "usage: ku_why [--json] <login>\n";
    EXPECT_EQ(run({"ku_why"}).out, usage);
    EXPECT_EQ(run({"ku_why", "alice", "bob"}).out, usage);
    EXPECT_EQ(run({"ku_why", "--json", "--json", "alice"}).out, usage);
    EXPECT_EQ(run({"ku_why", "-x", "alice"}).out, usage);
    EXPECT_EQ(run({"ku_why", "nosuchuser"}).out, "user does not exist: nosuchuser\n");
    Result missing = run({"ku_why", "bob"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "user not found: bob\n");
}

} // namespace
