// ku_refill: what a full and a class-only refill put back, and that only
// root may refill.
#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

// Part-way through its period, with allowances that are not limited too.
UserRecord used(uid_t uid)
{
    UserRecord record = accountFor(uid);
    record.tLeft = 12;
    record.tLimit = -1;
    record.sLeft = -40;
    record.cLimit = {90, -1, -2, 0};
    record.cLeft = {3, 7, -9, -1};
    record.savedClass = {1, 2, 3, 4};
    record.lastBytes = 77777;
    record.totalBytes = 1ull << 40;
    return record;
}

UserRecord classesRefilled(UserRecord record)
{
    record.cLeft = record.cLimit;
    return record;
}

UserRecord fullyRefilled(UserRecord record)
{
    record = classesRefilled(record);
    record.tLeft = record.tLimit;
    record.sLeft = record.sLimit;
    record.lastBytes = record.totalBytes = 0;
    return record;
}

struct RefillCase {
    std::vector<std::string> argv;
    UserRecord (*expected)(UserRecord);
    const char *err;
};

class Refills : public SystemTest, public ::testing::WithParamInterface<RefillCase>
{
};

TEST_P(Refills, PutBackWhatTheyCover)
{
    writeConfig("");
    UserRecord subscribed = used(bob.uid);
    subscribed.flags |= flagSubscribed;
    writeAccounts({used(alice.uid), subscribed});
    Result result = run(GetParam().argv);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, GetParam().err);
    EXPECT_EQ(readAccounts(), userRecordImage({GetParam().expected(used(alice.uid)),
                                               GetParam().expected(subscribed)}));
}

INSTANTIATE_TEST_SUITE_P(Cases, Refills,
                         ::testing::Values(RefillCase{{"ku_refill", "ignored"}, fullyRefilled, ""},
                                           RefillCase{{"ku_refill", "-c"}, classesRefilled, ""},
                                           RefillCase{{"ku_refill", "-x"},
                                                      classesRefilled,
                                                      "ku_refill: invalid option -- 'x'\n"}));

using Refill = SystemTest;

TEST_F(Refill, AnotherUserIsRefusedBeforeThePass)
{
    writeConfig("");
    writeAccounts({used(alice.uid)});
    std::string before = readAccounts();
    expectRefused(run({"ku_refill"}, alice.uid), "must be root");
    EXPECT_EQ(readAccounts(), before);
}

} // namespace
