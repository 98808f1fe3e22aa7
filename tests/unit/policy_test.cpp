// The monitor's rules for one minute, case by case: charging, the limits in
// force, warnings, idleness, guests, the one-at-a-time choice, and the
// traffic count of PPP links.
#include <climits>

#include <gtest/gtest.h>

#include "monitor.h"
#include "rule_table.h"

namespace
{

using namespace ruletable;

// ---------------------------------------------------------------- charging

struct ChargeCase {
    int timeClass;
    std::int16_t classLimit;
    int total, session, classLeft; // what each counter loses
};

class Charging : public ::testing::TestWithParam<ChargeCase>
{
};

TEST_P(Charging, TheClassInForceDecidesWhichCountersPay)
{
    const ChargeCase &c = GetParam();
    UserRecord record = account(50, 40);
    record.cLimit[1] = c.classLimit;
    record.cLeft[1] = 30;
    chargeMinute(record, c.timeClass);
    EXPECT_EQ(record.tLeft, 50 - c.total);
    EXPECT_EQ(record.sLeft, 40 - c.session);
    EXPECT_EQ(record.cLeft[1], 30 - c.classLeft);
}

INSTANTIATE_TEST_SUITE_P(Policy, Charging,
                         ::testing::Values(ChargeCase{-1, 10, 1, 1, 0}, // no class in force
                                           ChargeCase{1, 10, 1, 1, 1},  // limited class
                                           ChargeCase{1, 0, 1, 1, 1},
                                           ChargeCase{1, -1, 1, 1, 0}, // not limited
                                           ChargeCase{1, -2, 1, 0, 0}, // not the session's
                                           ChargeCase{1, -3, 0, 0, 0}, // free
                                           ChargeCase{1, -40, 0, 0, 0},
                                           ChargeCase{0, 10, 1, 1, 0}));

TEST(Charging, CountersStopAtTheirLeastValueInsteadOfWrapping)
{
    UserRecord record = account(INT_MIN, INT_MIN + 1);
    record.cLimit[2] = 5;
    record.cLeft[2] = SHRT_MIN;
    chargeMinute(record, 2);
    chargeMinute(record, 2);
    EXPECT_EQ(record.tLeft, INT_MIN);
    EXPECT_EQ(record.sLeft, INT_MIN);
    EXPECT_EQ(record.cLeft[2], SHRT_MIN);
}

// ---------------------------------------------------------------- the limits in force

class Rules : public ::testing::TestWithParam<RuleCase>
{
};

TEST_P(Rules, GiveTheMinutesLeftAndTheRuleThatSetThem)
{
    const RuleCase &c = GetParam();
    SiteSettings settings;
    PassFacts facts{1700000000, c.timeClass, c.busy};
    Verdict verdict = judgeAccount(c.record, settings, facts, std::nullopt, false);
    EXPECT_EQ(verdict.minutesLeft, c.minutesLeft) << c.name;
    EXPECT_EQ(verdict.disconnect, c.disconnect) << c.name;
    if (c.disconnect) {
        EXPECT_EQ(verdict.cause, c.cause) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Policy, Rules, ::testing::ValuesIn(ruleCases()), ruleCaseName);

// ---------------------------------------------------------------- idleness and warnings

struct IdleCase {
    long idleSeconds;
    int idleLeft;
    Warning warning;
    bool disconnect;
};

class Idleness : public ::testing::TestWithParam<IdleCase>
{
};

TEST_P(Idleness, WarnsInTheLastMinuteAndEndsAfterIt)
{
    const IdleCase &c = GetParam();
    SiteSettings settings;
    settings.IdleBoot = 10;
    std::time_t now = 1700000000;
    long left = terminalIdleSecondsLeft(settings.IdleBoot, now, now - c.idleSeconds);
    Verdict verdict =
        judgeAccount(account(30, 100, flagIdleBoot), settings, {now, -1, false}, left, false);
    EXPECT_EQ(verdict.idleLeft, c.idleLeft);
    EXPECT_EQ(verdict.warning, c.warning);
    EXPECT_EQ(verdict.disconnect, c.disconnect);
    if (c.disconnect) {
        EXPECT_EQ(verdict.cause, Cause::idle);
    }
}

INSTANTIATE_TEST_SUITE_P(Policy, Idleness,
                         ::testing::Values(IdleCase{0, 11, Warning::none, false},
                                           IdleCase{540, 2, Warning::none, false},
                                           IdleCase{541, 1, Warning::idle, false},
                                           IdleCase{600, 1, Warning::idle, false},
                                           IdleCase{601, 0, Warning::none, true},
                                           IdleCase{5000, 0, Warning::none, true}));

TEST(Idleness, IdleSmartBootSuspendsTheRuleButNotTheWarning)
{
    SiteSettings settings;
    UserRecord record = account(30, 100, flagIdleBoot | flagIdleSmartBoot);
    Verdict free = judgeAccount(record, settings, {0, -1, false}, -100, false);
    EXPECT_FALSE(free.disconnect);
    Verdict warned = judgeAccount(record, settings, {0, -1, false}, 30, false);
    EXPECT_EQ(warned.warning, Warning::idle);
    Verdict busy = judgeAccount(record, settings, {0, -1, true}, -100, false);
    EXPECT_TRUE(busy.disconnect);
    EXPECT_EQ(busy.cause, Cause::idle);
}

TEST(Warnings, AreGivenAtTheConfiguredMinutesToTerminalUsersOnly)
{
    SiteSettings settings;
    settings.WarnBoot.push(5);
    settings.WarnBoot.push(1);
    PassFacts facts{0, -1, false};
    auto warningAt = [&](std::int32_t left, bool ppp) {
        return judgeAccount(account(left), settings, facts, std::nullopt, ppp);
    };
    EXPECT_EQ(warningAt(5, false).warning, Warning::remaining);
    EXPECT_EQ(warningAt(5, false).warnMinutes, 5);
    EXPECT_EQ(warningAt(1, false).warnMinutes, 1);
    EXPECT_EQ(warningAt(3, false).warning, Warning::none);
    EXPECT_EQ(warningAt(5, true).warning, Warning::none);

    // One notice a minute: the idle one first, unless the time is nearly up.
    Verdict idleFirst = judgeAccount(account(5), settings, facts, 30, false);
    EXPECT_EQ(idleFirst.warning, Warning::idle);
    Verdict lastMinute = judgeAccount(account(1), settings, facts, 30, false);
    EXPECT_EQ(lastMinute.warning, Warning::remaining);
    EXPECT_EQ(lastMinute.warnMinutes, 1);
}

// ---------------------------------------------------------------- mail

TEST(Mail, GoesToLinkUsersWithATotalLimitAndSaysWhy)
{
    SiteSettings settings;
    settings.SendMail = true;
    PassFacts facts{0, 1, true};
    auto judged = [&](const UserRecord &record, bool ppp = true, std::optional<long> idle = {}) {
        return judgeAccount(record, settings, facts, idle, ppp);
    };
    EXPECT_EQ(judged(account(0, 0)).mailReason, NoticeReason::time_period);
    EXPECT_EQ(judged(account(5, 0)).mailReason, NoticeReason::time_session);
    EXPECT_EQ(judged(withClass(account(5, 5), 1, 3, 0)).mailReason, NoticeReason::time_class);
    EXPECT_EQ(judged(withPriorityOf(0, account(5, 5))).mailReason, NoticeReason::busy);
    EXPECT_EQ(judged(account(5, 5, flagIdleBoot), true, -1).mailReason, NoticeReason::idle);

    EXPECT_TRUE(judged(account(0)).mail);
    EXPECT_FALSE(judged(account(0), false).mail);
    EXPECT_FALSE(judged(withLimits(0, 120, account(0))).mail);
    settings.SendMail = false;
    EXPECT_FALSE(judged(account(0)).mail);
}

// ---------------------------------------------------------------- guests

struct GuestCase {
    long connected; // seconds since login
    int minutesLeft;
};

class GuestMinutes : public ::testing::TestWithParam<GuestCase>
{
};

TEST_P(GuestMinutes, CountDownFromTheLoginTime)
{
    SiteSettings settings; // GuestTime 15
    std::int32_t login = 1700000000;
    Verdict verdict =
        judgeGuest(login, settings, {login + GetParam().connected, -1, false}, std::nullopt);
    EXPECT_EQ(verdict.minutesLeft, GetParam().minutesLeft);
    EXPECT_EQ(verdict.disconnect, GetParam().minutesLeft <= 0);
}

INSTANTIATE_TEST_SUITE_P(Policy, GuestMinutes,
                         ::testing::Values(GuestCase{0, 15}, GuestCase{55, 15}, GuestCase{56, 14},
                                           GuestCase{12 * 60 + 55, 3}, GuestCase{12 * 60 + 56, 2},
                                           GuestCase{13 * 60 + 56, 1}, GuestCase{15 * 60 + 54, 1},
                                           GuestCase{15 * 60 + 55, 0}));

TEST(Guests, AreWarnedAndThenCutOffOnTime)
{
    // Logged in at 12:00:10; the monitor looks at each minute boundary.
    SiteSettings settings;
    settings.WarnBoot.push(1);
    std::int32_t login = 1700000010;
    std::time_t noon = 1700000000;
    auto at = [&](int minutes) {
        return judgeGuest(login, settings, {noon + minutes * 60, -1, false}, std::nullopt);
    };
    EXPECT_EQ(at(14).warning, Warning::none);
    EXPECT_EQ(at(15).warning, Warning::remaining);
    EXPECT_EQ(at(15).warnMinutes, 1);
    EXPECT_EQ(at(16).warnMinutes, 1);
    EXPECT_FALSE(at(16).disconnect);
    EXPECT_TRUE(at(17).disconnect);
    EXPECT_EQ(at(17).cause, Cause::guestTime);
}

TEST(Guests, FollowTheGuestSettingsForBusyLinesAndIdleness)
{
    SiteSettings settings;
    settings.GuestPriority = 0;
    settings.IdleSmartBoot = true;
    std::int32_t login = 1700000000;
    Verdict busy = judgeGuest(login, settings, {login + 60, -1, true}, std::nullopt);
    EXPECT_TRUE(busy.disconnect);
    EXPECT_EQ(busy.cause, Cause::busyLines);
    settings.GuestPriority = 4;
    EXPECT_FALSE(judgeGuest(login, settings, {login + 60, -1, false}, -10).disconnect);
    Verdict idle = judgeGuest(login, settings, {login + 60, -1, true}, -10);
    EXPECT_TRUE(idle.disconnect);
    EXPECT_EQ(idle.cause, Cause::idle);
}

// ---------------------------------------------------------------- one at a time

TEST(BootOne, ThePriorityValueThenTheMinutesThenTheLastJudgedWin)
{
    BootOneChoice choice;
    EXPECT_TRUE(choice.consider(4, 0));
    EXPECT_TRUE(choice.consider(2, -5));
    EXPECT_TRUE(choice.consider(2, -5)); // the one judged last
    EXPECT_FALSE(choice.consider(2, -4));
    EXPECT_FALSE(choice.consider(3, -100));

    BootOneChoice account;
    ASSERT_TRUE(account.consider(4, -3));
    EXPECT_FALSE(account.consider(5, -100)); // a guest of priority 5 never wins
    EXPECT_FALSE(account.consider(4, -2));
    EXPECT_TRUE(account.consider(4, -3));

    BootOneChoice fresh;
    EXPECT_FALSE(fresh.consider(8, -100)); // above the starting priority
}

// ---------------------------------------------------------------- PPP traffic

TEST(PppTraffic, CountsWhatTheLinkMovedSinceTheLastPoll)
{
    UserRecord record = account(30);
    record.lastBytes = 600;
    record.totalBytes = 10000;
    addPppTraffic(record, PppCounters{500, 400});
    EXPECT_EQ(record.lastBytes, 900u);
    EXPECT_EQ(record.totalBytes, 10300u);

    // A new link starts its counters again: nothing counts until they pass
    // the last figure.
    addPppTraffic(record, PppCounters{300, 200});
    EXPECT_EQ(record.lastBytes, 900u);
    EXPECT_EQ(record.totalBytes, 10300u);

    // The two 32-bit counters add up modulo 2^32.
    record.lastBytes = 100;
    addPppTraffic(record, PppCounters{0xFFFFFF00u, 0x300u});
    EXPECT_EQ(record.lastBytes, 0x200u);
    EXPECT_EQ(record.totalBytes, 10300u + 0x200u - 100u);

    addPppTraffic(record, std::nullopt);
    EXPECT_EQ(record.lastBytes, 0x200u);
}

TEST(PppIdleness, CountsFromTheMoreRecentPacket)
{
    EXPECT_EQ(linkIdleSecondsLeft(15, PppIdle{100, 400}), 800);
    // A driver that cannot tell leaves one minute, which never disconnects.
    EXPECT_EQ(linkIdleSecondsLeft(15, std::nullopt), 0);
    EXPECT_EQ(idleMinutesLeft(0), 1);
}

} // namespace
