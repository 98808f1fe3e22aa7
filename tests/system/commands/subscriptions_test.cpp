// ku_optin and ku_optout, run as installed: a subscription saves the
// account's own expiry, flags and limits and its end puts them back.
#include <ctime>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

// An account that never had a subscription, with values of its own
// everywhere a subscription could touch.
UserRecord ownAccount(uid_t uid)
{
    UserRecord record = accountFor(uid);
    record.flags = withPriority(flagIdleBoot | flagSessionSmartBoot, 3); // 0x6C00
    record.phoneLocal = 5551234;
    record.tLeft = 17;
    record.tLimit = 600;
    record.sLeft = 5;
    record.sLimit = 120;
    record.cLeft = {1, 2, 3, 4};
    record.cLimit = {30, -1, -2, -3};
    record.lastBytes = 11;
    record.totalBytes = 22;
    record.expire = 1900000000;
    return record;
}

// What ku_optin alice <expire> 900 300 2 60 -2 makes of ownAccount.
UserRecord subscribedAccount(uid_t uid, std::int32_t expire)
{
    UserRecord own = ownAccount(uid);
    UserRecord record = own;
    record.savedExpire = own.expire;
    record.savedFlags = own.flags;
    record.savedTime = own.tLimit;
    record.savedSession = own.sLimit;
    record.savedClass = own.cLimit;
    record.expire = expire;
    record.flags = 0x4C80;
    record.tLeft = record.tLimit = 900;
    record.sLeft = record.sLimit = 300;
    record.cLeft = record.cLimit = {60, -2, -1, -1};
    return record;
}

// What ku_optout makes of subscribedAccount: the limits are back and full.
UserRecord endedAccount(uid_t uid)
{
    UserRecord record = ownAccount(uid);
    record.tLeft = record.tLimit;
    record.sLeft = record.sLimit;
    record.cLeft = record.cLimit;
    record.savedClass.fill(-1);
    return record;
}

using Subscriptions = SystemTest;

TEST_F(Subscriptions, OptOutGivesBackWhatOptInSaved)
{
    writeAccounts({accountFor(bob.uid), ownAccount(alice.uid)});
    std::time_t earliest = std::time(nullptr);
    Result in = run({"ku_optin", "alice", "30", "900", "300", "2", "60", "-2"});
    std::time_t latest = std::time(nullptr);
    EXPECT_EQ(in.status, 0);
    EXPECT_EQ(in.out, "user subscribed: alice\n");
    EXPECT_EQ(in.err, "");
    std::int32_t expire = accountRecords().at(1).expire;
    expectExpiry(expire, "30", earliest, latest);
    EXPECT_EQ(readAccounts(),
              userRecordImage({accountFor(bob.uid), subscribedAccount(alice.uid, expire)}));

    Result out = run({"/usr/sbin/ku_optout", "alice"});
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.out, "user unsubscribed: alice\n");
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(readAccounts(), userRecordImage({accountFor(bob.uid), endedAccount(alice.uid)}));
}

TEST_F(Subscriptions, TheSubscriptionHasPriorityFourUnlessGiven)
{
    writeAccounts({ownAccount(alice.uid)});
    ASSERT_EQ(run({"ku_optin", "alice", "30", "600"}).status, 0);
    UserRecord during = accountRecords().at(0);
    EXPECT_EQ(during.flags, 0x8C80);
    EXPECT_EQ(during.sLimit, 600);
    EXPECT_EQ(during.cLimit, (std::array<std::int16_t, 4>{-1, -1, -1, -1}));
    ASSERT_EQ(run({"ku_optout", "alice"}).status, 0);
    EXPECT_EQ(accountRecords().at(0).flags, 0x6C00);
}

TEST_F(Subscriptions, ChangesMadeDuringTheSubscriptionEndWithIt)
{
    writeAccounts({ownAccount(alice.uid)});
    ASSERT_EQ(run({"ku_optin", "alice", "30", "900", "300", "2", "60", "-2"}).status, 0);
    ASSERT_EQ(run({"ku_limits", "alice", "+SmartBoot"}).status, 0);
    ASSERT_EQ(run({"ku_limits", "alice", "tLimit", "=", "5"}).status, 0);
    ASSERT_EQ(run({"ku_limits", "alice", "cLimit", "3", "=", "5"}).status, 0);
    ASSERT_EQ(run({"ku_optout", "alice"}).status, 0);
    EXPECT_EQ(readAccounts(), userRecordImage({endedAccount(alice.uid)}));
}

TEST_F(Subscriptions, AnEndedSubscriptionNeverLeavesTheMark)
{
    // A save area that itself carries the mark must not keep the account
    // marked over the emptied area, to be "ended" again from zeros.
    UserRecord record = subscribedAccount(alice.uid, 2000000000);
    record.savedFlags |= flagSubscribed;
    writeAccounts({record});
    ASSERT_EQ(run({"ku_optout", "alice"}).status, 0);
    EXPECT_EQ(readAccounts(), userRecordImage({endedAccount(alice.uid)}));
    Result again = run({"ku_optout", "alice"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "user does not have a subscription: alice\n");
}

class SubscriptionRefusals : public SystemTest, public ::testing::WithParamInterface<CommandRefusal>
{
};

// alice has no subscription; bob has one that ends never, as a damaged
// record might; carol has no account.
TEST_P(SubscriptionRefusals, LeaveTheRecordsAlone)
{
    UserRecord bobs = subscribedAccount(bob.uid, 0);
    writeAccounts({ownAccount(alice.uid), bobs});
    std::string before = readAccounts();
    expectRefused(run(GetParam().argv), GetParam().message);
    EXPECT_EQ(readAccounts(), before);
}

const std::string optinUsage =
    "usage: ku_optin <login> <expire> <time_limit> [session_limit] [priority]\n"
    "                      {period_limit}";

std::vector<std::string> command(const char *program, std::vector<std::string> args)
{
    args.insert(args.begin(), program);
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Subscriptions, SubscriptionRefusals,
    ::testing::Values(
        CommandRefusal{command("ku_optin", {"alice", "30"}), optinUsage},
        CommandRefusal{command("ku_optin", {"ghost", "30", "600", "700"}),
                       "invalid session_limit: 700"},
        CommandRefusal{command("ku_optin", {"ghost", "30", "600", "600", "-1"}),
                       "invalid priority: -1"},
        CommandRefusal{command("ku_optin", {"1001", "30", "600"}), "user does not exist: 1001"},
        CommandRefusal{command("ku_optin", {"bigid", "30", "600"}),
                       "user id too large for an account: bigid"},
        CommandRefusal{command("ku_optin", {"carol", "30", "600"}), "user not found: carol"},
        CommandRefusal{command("ku_optin", {"bob", "0", "600"}),
                       "user already has a subscription: bob"},
        CommandRefusal{command("ku_optin", {"alice", "x", "600"}), "illegal expiry date."},
        CommandRefusal{command("ku_optin", {"alice", "-5d", "600"}), "illegal expiry date."},
        CommandRefusal{command("ku_optout", {"alice", "extra"}), "usage: ku_optout <login>"},
        CommandRefusal{command("ku_optout", {"ghost"}), "user does not exist: ghost"},
        CommandRefusal{command("ku_optout", {"carol"}), "user not found: carol"},
        CommandRefusal{command("ku_optout", {"alice"}),
                       "user does not have a subscription: alice"}));

} // namespace
