// ku_refill: what a full and a class-only refill put back, that only root
// may refill, and that the file is refilled whole through a fresh one or
// left as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::HasSubstr;

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

TEST_F(Refill, WithoutAConfigFileChangesNothing)
{
    writeAccounts({used(alice.uid)});
    std::string before = readAccounts();
    expectRefused(run({"ku_refill"}), "couldn't open config file");
    EXPECT_EQ(readAccounts(), before);
}

TEST_F(Refill, ReplacesTheFileKeepingOwnerAndModeAndDroppingATrailingPiece)
{
    writeConfig("");
    std::string piece = userRecordImage({used(carol.uid)}).substr(0, 40);
    writeFile(userFilePath, userRecordImage({used(alice.uid), used(bob.uid)}) + piece);
    ASSERT_EQ(chown(userFilePath, 0, ttyGroup), 0);
    ASSERT_EQ(chmod(userFilePath, 0640), 0);
    ino_t old = statusOf(userFilePath).st_ino;

    Result result = run({"ku_refill"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(readAccounts(),
              userRecordImage({fullyRefilled(used(alice.uid)), fullyRefilled(used(bob.uid))}));
    struct stat status = statusOf(userFilePath);
    EXPECT_NE(status.st_ino, old);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_gid, ttyGroup);
    expectNoCopiesLeft();
}

TEST_F(Refill, AnEmptyFileStaysEmpty)
{
    writeConfig("");
    writeAccounts({});
    Result result = run({"ku_refill", "-c"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(readAccounts(), "");
    expectNoCopiesLeft();
}

// A refill that cannot make or fill its fresh file refills no account.
struct NoRoom {
    const char *name;
    FullProductDirectory::Exhausted exhausted;
    const char *reported;
};

class RefillWithoutRoom : public SystemTest, public ::testing::WithParamInterface<NoRoom>
{
};

TEST_P(RefillWithoutRoom, RefillsNoAccount)
{
    writeConfig("");
    // More than the full directory has room for, written beforehand.
    std::vector<UserRecord> records;
    for (uid_t uid = 2000; uid < 3000; ++uid)
        records.push_back(used(uid));
    writeAccounts(records);
    std::string before = readAccounts();
    Result result;
    {
        FullProductDirectory noRoom(GetParam().exhausted);
        result = run({"ku_refill"});
        EXPECT_EQ(readAccounts(), before);
        EXPECT_EQ(strayProductFiles(), std::vector<std::string>{});
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err, HasSubstr(GetParam().reported));
    EXPECT_THAT(result.err, HasSubstr(": No space left on device\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Exhausted, RefillWithoutRoom,
    ::testing::Values(NoRoom{"Blocks", FullProductDirectory::Exhausted::blocks,
                             "/usr/lib/Kestrune/.kestrune_users."},
                      NoRoom{"Inodes", FullProductDirectory::Exhausted::inodes,
                             "ku_refill: main: assertion \"tUserFile != ((void *) 0)\" failed"}),
    [](const auto &param) { return std::string(param.param.name); });

} // namespace
