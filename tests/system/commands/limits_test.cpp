// ku_limits, run as installed: each of its four forms changes exactly the
// fields it names in the user's record, and every refusal leaves the file
// as it was.
#include <ctime>
#include <functional>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::AnyOf;
using ::testing::Eq;

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
    std::function<void(UserRecord &, std::time_t now)> expect;
};

class LimitsEdits : public SystemTest, public ::testing::WithParamInterface<Edit>
{
};

TEST_P(LimitsEdits, ChangeOnlyWhatTheyName)
{
    writeFile(userFilePath, accountsWith(aliceAccount()));
    std::vector<std::string> argv{"ku_limits", "alice"};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    std::time_t earliest = std::time(nullptr);
    Result result = run(argv);
    std::time_t latest = std::time(nullptr);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user modified: alice\n");
    EXPECT_EQ(result.err, "");

    // An expiry computed at the first or the last second of the run.
    UserRecord early = aliceAccount();
    GetParam().expect(early, earliest);
    UserRecord late = aliceAccount();
    GetParam().expect(late, latest);
    EXPECT_THAT(readAccounts(), AnyOf(Eq(accountsWith(early)), Eq(accountsWith(late))));
}

void noChange(UserRecord &, std::time_t) {}

INSTANTIATE_TEST_SUITE_P(
    Limits, LimitsEdits,
    ::testing::Values(
        Edit{"AddToTLeft", {"tLeft", "+=", "60"}, [](auto &r, auto) { r.tLeft = 560; }},
        Edit{"FieldNamesIgnoreCase", {"TLEFT", "=", "0"}, [](auto &r, auto) { r.tLeft = 0; }},
        Edit{"NoTotalLimit", {"tLimit", "=", "-1"}, [](auto &r, auto) { r.tLimit = -1; }},
        Edit{"SubtractFromSLeft", {"sLeft", "-=", "30"}, [](auto &r, auto) { r.sLeft = 70; }},
        Edit{"SetSLimit", {"slimit", "=", "5x"}, [](auto &r, auto) { r.sLimit = 5; }},
        Edit{"TotalWrapsInThirtyTwoBits",
             {"tLeft", "+=", "2147483647"},
             [](auto &r, auto) { r.tLeft = -2147483149; }},
        Edit{"SetOneClassLimit",
             {"cLimit", "2", "=", "90"},
             [](auto &r, auto) { r.cLimit[2] = 90; }},
        Edit{"ClassNameIsAPrefix",
             {"cLimitX", "2", "=", "90"},
             [](auto &r, auto) { r.cLimit[2] = 90; }},
        Edit{"ClassWrapsInSixteenBits",
             {"cLeft", "0", "+=", "32767"},
             [](auto &r, auto) { r.cLeft[0] = -32759; }},
        Edit{"ClassMinutesCutToSixteenBits",
             {"CLEFTOVER", "3", "-=", "70000"},
             [](auto &r, auto) { r.cLeft[3] = -4424; }},
        Edit{"ClassSetToAWrappedValue",
             {"cLimit", "1", "=", "65535"},
             [](auto &r, auto) { r.cLimit[1] = -1; }},
        Edit{"SetIdleBoot", {"+idleboot"}, [](auto &r, auto) { r.flags = 0x7500; }},
        Edit{"ClearTimeClassSmartBoot",
             {"-TimeClassSmartBoot"},
             [](auto &r, auto) { r.flags = 0x7000; }},
        Edit{"SetSessionSmartBoot", {"+SessionSmartBoot"}, [](auto &r, auto) { r.flags = 0x7900; }},
        Edit{"ClearIdleSmartBoot", {"-IdleSmartBoot"}, noChange},
        Edit{"SetABitAlreadySet", {"+SmartBoot"}, noChange},
        Edit{"ResetTheAllowanceSet",
             {"30", "600"},
             [](auto &r, std::time_t now) {
                 r.expire = parseExpireAt("30", now);
                 r.flags = 0x9100;
                 r.tLeft = r.tLimit = r.sLeft = r.sLimit = 600;
                 r.cLeft.fill(-1);
                 r.cLimit.fill(-1);
             }},
        Edit{"ResetWithSessionPriorityAndClasses",
             {"1m", "600", "120", "2", "45", "45"},
             [](auto &r, std::time_t now) {
                 r.expire = parseExpireAt("1m", now);
                 r.flags = 0x5100;
                 r.tLeft = r.tLimit = 600;
                 r.sLeft = r.sLimit = 120;
                 r.cLeft = r.cLimit = {45, 45, -1, -1};
             }},
        Edit{"ResetIgnoresAFifthClass",
             {"0", "600", "0", "0", "1", "2", "3", "4", "5"},
             [](auto &r, auto) {
                 r.expire = 0;
                 r.flags = 0x1100;
                 r.tLeft = r.tLimit = 600;
                 r.sLeft = r.sLimit = 0;
                 r.cLeft = r.cLimit = {1, 2, 3, 4};
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

INSTANTIATE_TEST_SUITE_P(
    Limits, LimitsRefusals,
    ::testing::Values(
        CommandRefusal{{"ku_limits"}, usageText}, CommandRefusal{{"ku_limits", "ghost"}, usageText},
        CommandRefusal{{"ku_limits", "ghost", "x"}, "user does not exist: ghost"},
        CommandRefusal{{"ku_limits", "bigid", "tLeft", "=", "1"}, "user does not exist: bigid"},
        CommandRefusal{{"ku_limits", "1001", "tLeft", "=", "1"}, "user does not exist: 1001"},
        CommandRefusal{{"ku_limits", "carol", "tLeft", "=", "1"}, "user not found: carol"},
        CommandRefusal{{"ku_limits", "alice", "x"}, usageText},
        CommandRefusal{{"ku_limits", "alice", "30"}, usageText},
        CommandRefusal{{"ku_limits", "alice", "x1", "600"}, usageText},
        CommandRefusal{{"ku_limits", "alice", "+SmartBoot", "extra"}, usageText},
        CommandRefusal{{"ku_limits", "alice", "cLeft", "1", "=", "5", "6"}, usageText},
        CommandRefusal{{"ku_limits", "alice", "+Fast"}, "unknown flag: Fast"},
        CommandRefusal{{"ku_limits", "alice", "-5"}, "unknown flag: 5"},
        CommandRefusal{{"ku_limits", "alice", "+"}, "unknown flag: "},
        CommandRefusal{{"ku_limits", "alice", "tLeft", "==", "5"}, "unknown operator: =="},
        CommandRefusal{{"ku_limits", "alice", "tLeftX", "=", "5"}, "unknown field: tLeftX"},
        CommandRefusal{{"ku_limits", "alice", "cLeft", "=", "5"}, "unknown field: cLeft"},
        CommandRefusal{{"ku_limits", "alice", "tFoo", "??", "5"}, "unknown field: tFoo"},
        CommandRefusal{{"ku_limits", "alice", "cLeft", "4", "=", "90"}, "invalid time class: "},
        CommandRefusal{{"ku_limits", "alice", "cLeft", "-1", "=", "90"}, "invalid time class: "},
        CommandRefusal{{"ku_limits", "alice", "cLeft", "9", "??", "5"}, "invalid time class: "},
        CommandRefusal{{"ku_limits", "alice", "cFoo", "9", "??", "5"}, "unknown field: cFoo"},
        CommandRefusal{{"ku_limits", "alice", "cLimit", "1", "??", "5"}, "unknown operator: ??"},
        CommandRefusal{{"ku_limits", "alice", "30", "600", "700"}, "invalid session_limit: 700"},
        CommandRefusal{{"ku_limits", "alice", "30", "-1"}, "invalid session_limit: -1"},
        CommandRefusal{{"ku_limits", "alice", "30", "600", "700", "8"},
                       "invalid session_limit: 700"},
        CommandRefusal{{"ku_limits", "alice", "30", "600", "600", "8"}, "invalid priority: 8"},
        CommandRefusal{{"ku_limits", "alice", "30", "600", "600", "-1"}, "invalid priority: -1"}));

using Limits = SystemTest;

TEST_F(Limits, ASubscriptionKeepsAnEndDate)
{
    writeFile(userFilePath, accountsWith(subscribed(aliceAccount())));
    std::string before = readAccounts();
    for (const char *expiry : {"0", "0d", "00x"}) {
        expectRefused(run({"ku_limits", "alice", expiry, "600"}),
                      "<expire> = 0 invalid (user alice has a subscription).");
        EXPECT_EQ(readAccounts(), before);
    }
}

TEST_F(Limits, AResetKeepsTheSubscriptionMark)
{
    writeFile(userFilePath, accountsWith(subscribed(aliceAccount())));
    Result result = run({"ku_limits", "alice", "1y", "600"});
    EXPECT_EQ(result.status, 0);
    UserRecord changed = accountRecords().at(1);
    EXPECT_EQ(changed.flags, 0x9180);
    EXPECT_EQ(changed.savedClass, (std::array<std::int16_t, 4>{1, 2, 3, 4}));
}

TEST_F(Limits, AnOrdinaryUserIsToldAndNothingChanges)
{
    writeFile(userFilePath, accountsWith(aliceAccount()));
    std::string before = readAccounts();
    expectRefused(run({"ku_limits", "alice", "tLeft", "+=", "60"}, alice.uid), "must be root");
    EXPECT_EQ(readAccounts(), before);
}

} // namespace
