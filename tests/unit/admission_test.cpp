// The login gate's rules in-process: it refuses exactly whom the monitor's
// next pass would cut off, over the whole table of the limit rules, plus
// expiry and the account requirement; and the word a user gets at login.
#include <gtest/gtest.h>

#include "fake_host.h"
#include "monitor.h"
#include "rule_table.h"

using namespace ruletable;

namespace
{

constexpr uid_t alice = 1001;

// Settings under which `timeClass` is the class in force at `now`.
SiteSettings settingsWithClass(int timeClass, std::time_t now)
{
    SiteSettings settings;
    std::tm local{};
    localtime_r(&now, &local);
    int otherDay = (local.tm_wday + 1) % 7;
    for (int i = 0; i < timeClass; ++i)
        settings.TimeClass.push({otherDay, otherDay, 0, 23});
    if (timeClass >= 0)
        settings.TimeClass.push({0, 6, 0, 23});
    return settings;
}

// The record before a charge of no class brought it to the case's values.
UserRecord oneMinuteEarlier(UserRecord record, int timeClass)
{
    ++record.tLeft;
    ++record.sLeft;
    if (timeClass >= 0)
        ++record.cLeft[timeClass];
    return record;
}

// Whether the monitor's pass, alice connected with the record, cuts her
// off; the rule it names when it does.
std::optional<Cause> monitorCuts(const UserRecord &record, const SiteSettings &settings, bool busy,
                                 FakeHost &host)
{
    Snapshot snapshot;
    LoginEntry login;
    login.uid = alice;
    copyText(login.line, "pts/40");
    snapshot.loginTable.push_back(login);
    ProcEntry process;
    process.pid = 4242;
    process.uid = process.euid = alice;
    snapshot.processTable.push_back(process);
    snapshot.linesBusy = busy;
    host.accounts = {record};
    PassDecisions decisions = accountingPass(snapshot, settings, host);
    if (decisions.disconnections.empty())
        return std::nullopt;
    return decisions.disconnections.front().cause;
}

class GateAndMonitor : public ::testing::TestWithParam<RuleCase>
{
};

TEST_P(GateAndMonitor, TheGateRefusesExactlyWhomTheNextPassCutsOff)
{
    const RuleCase &c = GetParam();
    FakeHost host;
    SiteSettings settings = settingsWithClass(c.timeClass, host.clock);
    for (const UserRecord &record : {c.record, oneMinuteEarlier(c.record, c.timeClass)}) {
        std::optional<Cause> cut = monitorCuts(record, settings, c.busy, host);
        Admission admission =
            admitLogin({alice, false, record}, settings, factsAt(host.clock, settings, c.busy));
        EXPECT_EQ(!admission.admitted, cut.has_value()) << c.name << ", tLeft " << record.tLeft;
        if (cut) {
            EXPECT_EQ(admission.rule, causeText(*cut)) << c.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Admission, GateAndMonitor, ::testing::ValuesIn(ruleCases()), ruleCaseName);

constexpr std::time_t now = 1700000000;
const PassFacts quiet{now, -1, false};

TEST(Admission, ExpiryAndTheAccountRequirementRefuseButNeverRoot)
{
    SiteSettings settings;
    UserRecord record = account(300);
    EXPECT_TRUE(admitLogin({alice, false, record}, settings, quiet).admitted);
    record.expire = static_cast<std::int32_t>(now - 1);
    EXPECT_EQ(admitLogin({alice, false, record}, settings, quiet).rule, "expired");
    record.expire = static_cast<std::int32_t>(now + 60);
    EXPECT_TRUE(admitLogin({alice, false, record}, settings, quiet).admitted);

    UserRecord spent = account(-5);
    spent.uid = 0;
    spent.expire = static_cast<std::int32_t>(now - 1);
    EXPECT_TRUE(admitLogin({0, false, spent}, settings, quiet).admitted);

    EXPECT_TRUE(admitLogin({alice, false, std::nullopt}, settings, quiet).admitted);
    settings.RequireAccount = true;
    settings.RequireAccountExempt.push(1002);
    Admission none = admitLogin({alice, false, std::nullopt}, settings, quiet);
    EXPECT_FALSE(none.admitted);
    EXPECT_EQ(none.rule, "no account");
    EXPECT_TRUE(admitLogin({1002, false, std::nullopt}, settings, quiet).admitted);
    EXPECT_TRUE(admitLogin({0, false, std::nullopt}, settings, quiet).admitted);
    // A guest has no account by nature: the guest rules judge it.
    EXPECT_TRUE(admitLogin({1003, true, std::nullopt}, settings, quiet).admitted);
}

TEST(Admission, AGuestIsJudgedByTheGuestRules)
{
    SiteSettings settings;
    settings.GuestPriority = 0;
    EXPECT_TRUE(admitLogin({1003, true, std::nullopt}, settings, quiet).admitted);
    Admission busy = admitLogin({1003, true, std::nullopt}, settings, {now, -1, true});
    EXPECT_EQ(busy.rule, "busy lines");
    settings.GuestTime = 0;
    EXPECT_EQ(admitLogin({1003, true, std::nullopt}, settings, quiet).rule, "guest time");
}

struct WordCase {
    const char *name;
    UserRecord record;
    bool busy;
    int idleBoot;
    const char *word;
};

class LoginWord : public ::testing::TestWithParam<WordCase>
{
};

TEST_P(LoginWord, SaysTheTimeLeftUnderTheBindingRuleAndTheIdleLimit)
{
    const WordCase &c = GetParam();
    SiteSettings settings;
    settings.IdleBoot = c.idleBoot;
    EXPECT_EQ(loginWord({alice, false, c.record}, settings, {now, -1, c.busy}), c.word);
}

UserRecord withFlags(UserRecord record, std::uint16_t flags)
{
    record.flags |= flags;
    return record;
}

INSTANTIATE_TEST_SUITE_P(
    Admission, LoginWord,
    ::testing::Values(
        WordCase{"Total", account(120, 500), true, 0, "Kestrune: 119 minutes left (total limit)"},
        WordCase{"SessionAndIdle", withFlags(account(300, 43), flagIdleBoot), true, 10,
                 "Kestrune: 42 minutes left (session limit); idle logout after 10 minutes"},
        WordCase{"OneMinute", account(2), true, 0, "Kestrune: 1 minute left (total limit)"},
        WordCase{"NoLimits", withLimits(-1, -1, account(0)), true, 0, "Kestrune: no time limit"},
        WordCase{"SmartBootALineFree", withLimits(600, -1, account(5, 0, flagSmartBoot)), false, 0,
                 "Kestrune: no time limit while a line is free"},
        WordCase{"IdleHeldBackALineFree",
                 withFlags(withLimits(-1, -1, account(0)), flagIdleBoot | flagIdleSmartBoot), false,
                 5, "Kestrune: no time limit"},
        WordCase{"IdleFlagWithoutIdleBoot", withFlags(account(61), flagIdleBoot), true, 0,
                 "Kestrune: 60 minutes left (total limit)"}),
    [](const auto &test) { return test.param.name; });

TEST(LoginWord, IsEmptyWithoutAnAccount)
{
    EXPECT_EQ(loginWord({alice, false, std::nullopt}, SiteSettings{}, quiet), "");
}

} // namespace
