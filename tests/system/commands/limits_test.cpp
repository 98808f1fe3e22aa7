// ku_limits, run as installed: each of its four forms changes exactly the
// fields it names in the user's record, and every refusal leaves the file
// as it was.
#include <ctime>
#include <functional>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

const std::string usageText =
    "usage: ku_limits <login> <expire> <time_limit> [session_limit] [priority]\n"
    "                 {class_limit}\n"
    "               | <+|-><SmartBoot>|<SessionSmartBoot>|<IdleBoot>|<IdleSmartBoot>\n"
    "               | <login> <tLeft>|<tLimit>|<sLeft>|<sLimit> <+=|-=|=> <minutes>\n"
    "               | <login> <cLeft>|<cLimit> <class> <+=|-=|=> <minutes>";

// An account with a distinct value in every field the editor may touch,
// and in those it must not.
UserRecord aliceAccount()
{
    UserRecord record = accountFor(alice.uid);
    record.flags = withPriority(flagSmartBoot | flagTimeClassSmartBoot, 3); // 0x7100
    record.phoneArea = 555;
    record.phoneLocal = 5551234;
    record.tLeft = 500;
    record.tLimit = 600;
    record.sLeft = 100;
    record.sLimit = 120;
    record.cLeft = {10, 20, 30, 40};
    record.cLimit = {50, 60, 70, 80};
    record.savedExpire = 1800000000;
    record.savedFlags = 0x2000;
    record.savedTime = 7;
    record.savedSession = 8;
    record.savedClass = {1, 2, 3, 4};
    record.lastBytes = 123456789;
    record.totalBytes = 987654321;
    record.expire = 1900000000;
    return record;
}

UserRecord subscribed(UserRecord record)
{
    record.flags |= flagSubscribed;
    return record;
}

// alice's record stands between two others that must not change.
std::string accountsWith(const UserRecord &alice)
{
    return userRecordImage({accountFor(bob.uid), alice, accountFor(guest.uid)});
}

struct Edit {
    const char *name;
    std::vector<std::string> args; // after "ku_limits alice"
    std::function<void(UserRecord &)> expect;
};

class LimitsEdits : public SystemTest, public ::testing::WithParamInterface<Edit>
{
};

TEST_P(LimitsEdits, ChangeOnlyWhatTheyName)
{
    writeFile(userFilePath, accountsWith(aliceAccount()));
    std::vector<std::string> argv{"ku_limits", "alice"};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    Result result = run(argv);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user modified: alice\n");
    UserRecord expected = aliceAccount();
    GetParam().expect(expected);
    EXPECT_EQ(readAccounts(), accountsWith(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LimitsEdits,
    ::testing::Values(
        Edit{"AddToTLeft", {"tLeft", "+=", "60"}, [](auto &r) { r.tLeft = 560; }},
        Edit{"FieldNamesIgnoreCase", {"SLEFT", "-=", "30"}, [](auto &r) { r.sLeft = 70; }},
        Edit{"NoTotalLimit", {"tLimit", "=", "-1"}, [](auto &r) { r.tLimit = -1; }},
        Edit{"ClassNameIsAPrefix", {"cLimitX", "2", "=", "90"}, [](auto &r) { r.cLimit[2] = 90; }},
        Edit{"ClassWrapsInSixteenBits",
             {"cLeft", "0", "+=", "32767"},
             [](auto &r) { r.cLeft[0] = -32759; }},
        Edit{"ClassMinutesCutToSixteenBits",
             {"CLEFTOVER", "3", "-=", "70000"},
             [](auto &r) { r.cLeft[3] = -4424; }},
        Edit{"SetIdleBoot", {"+idleboot"}, [](auto &r) { r.flags = 0x7500; }},
        Edit{"ClearTimeClassSmartBoot", {"-TimeClassSmartBoot"}, [](auto &r) { r.flags = 0x7000; }},
        Edit{"ResetTheAllowanceSet",
             {"0", "600"},
             [](auto &r) {
                 r.expire = 0;
                 r.flags = 0x9100;
                 r.tLeft = r.tLimit = r.sLeft = r.sLimit = 600;
                 r.cLeft = r.cLimit = {-1, -1, -1, -1};
             }},
        Edit{"ResetWithSessionPriorityAndClasses",
             {"0", "600", "120", "2", "45", "45"},
             [](auto &r) {
                 r.expire = 0;
                 r.flags = 0x5100;
                 r.tLeft = r.tLimit = 600;
                 r.sLeft = r.sLimit = 120;
                 r.cLeft = r.cLimit = {45, 45, -1, -1};
             }}),
    [](const auto &test) { return test.param.name; });

class LimitsRefusals : public SystemTest, public ::testing::WithParamInterface<CommandRefusal>
{
};

TEST_P(LimitsRefusals, LeaveTheRecordAlone)
{
    writeFile(userFilePath, accountsWith(aliceAccount()));
    std::string before = readAccounts();
    expectRefused(run(GetParam().argv), GetParam().message);
    EXPECT_EQ(readAccounts(), before);
}

std::vector<std::string> limits(std::vector<std::string> args)
{
    args.insert(args.begin(), "ku_limits");
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LimitsRefusals,
    ::testing::Values(
        CommandRefusal{limits({"ghost"}), usageText},
        CommandRefusal{limits({"ghost", "x"}), "user does not exist: ghost"},
        CommandRefusal{limits({"bigid", "tLeft", "=", "1"}),
                       "user id too large for an account: bigid"},
        CommandRefusal{limits({"carol", "tLeft", "=", "1"}), "user not found: carol"},
        CommandRefusal{limits({"alice", "30"}), usageText},
        CommandRefusal{limits({"alice", "x1", "600"}), usageText},
        CommandRefusal{limits({"alice", "+Fast"}), "unknown flag: Fast"},
        CommandRefusal{limits({"alice", "tLeft", "==", "5"}), "unknown operator: =="},
        CommandRefusal{limits({"alice", "tLeftX", "=", "5"}), "unknown field: tLeftX"},
        CommandRefusal{limits({"alice", "cLeft", "4", "=", "90"}), "invalid time class: "},
        CommandRefusal{limits({"alice", "cLeft", "9", "??", "5"}), "invalid time class: "},
        CommandRefusal{limits({"alice", "cFoo", "9", "??", "5"}), "unknown field: cFoo"},
        CommandRefusal{limits({"alice", "30", "600", "700", "8"}), "invalid session_limit: 700"},
        CommandRefusal{limits({"alice", "30", "600", "600", "-1"}), "invalid priority: -1"}));

using Limits = SystemTest;

TEST_F(Limits, ASubscriptionKeepsAnEndDate)
{
    writeFile(userFilePath, accountsWith(subscribed(aliceAccount())));
    std::string before = readAccounts();
    expectRefused(run(limits({"alice", "0d", "600"})),
                  "<expire> = 0 invalid (user alice has a subscription).");
    EXPECT_EQ(readAccounts(), before);
}

TEST_F(Limits, AResetKeepsTheSubscriptionMark)
{
    writeFile(userFilePath, accountsWith(subscribed(aliceAccount())));
    std::time_t earliest = std::time(nullptr);
    ASSERT_EQ(run(limits({"alice", "1y", "600"})).status, 0);
    std::time_t latest = std::time(nullptr);
    UserRecord changed = accountRecords().at(1);
    expectExpiry(changed.expire, "1y", earliest, latest);
    EXPECT_EQ(changed.flags, 0x9180);
    EXPECT_EQ(changed.savedClass, (std::array<std::int16_t, 4>{1, 2, 3, 4}));
}

} // namespace
