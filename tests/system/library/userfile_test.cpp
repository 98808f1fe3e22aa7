// The account file and the name lookups against the sandbox's real files.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::HasSubstr;

namespace
{

class UserFile : public SystemTest
{
  protected:
    void TearDown() override
    {
        if (userFile != nullptr)
            userFileClose();
        SystemTest::TearDown();
    }
};

UserRecord withLeft(uid_t uid, std::int32_t left)
{
    UserRecord record = accountFor(uid);
    record.tLeft = left;
    return record;
}

TEST_F(UserFile, SuperuserOpenCreatesAnEmptyFile)
{
    mode_t old = umask(022);
    userFileOpen();
    umask(old);
    struct stat status;
    ASSERT_EQ(stat(userFilePath, &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    EXPECT_EQ(status.st_size, 0);
    UserRecord record;
    EXPECT_EQ(userFileRead(&record), 1);
    EXPECT_EQ(userFileFind(&record, alice.uid), 1);
    EXPECT_EQ(fcntl(userFileFD, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST_F(UserFile, FindReturnsTheFirstMatchAndStandsAfterIt)
{
    writeAccounts({withLeft(alice.uid, 1), withLeft(bob.uid, 2), withLeft(alice.uid, 3)});
    userFileOpen();
    UserRecord record;
    ASSERT_EQ(userFileFind(&record, alice.uid), 0);
    EXPECT_EQ(record.tLeft, 1);
    EXPECT_EQ(std::ftell(userFile), 90);
    ASSERT_EQ(userFileFind(&record, bob.uid), 0);
    EXPECT_EQ(record.tLeft, 2);
    EXPECT_EQ(userFileFind(&record, carol.uid), 1);
}

TEST_F(UserFile, ATrailingFragmentIsNeverARecord)
{
    // The fragment starts like a record of carol's.
    std::string image = userRecordImage({withLeft(alice.uid, 1), withLeft(bob.uid, 2)});
    image += userRecordImage({withLeft(carol.uid, 3)}).substr(0, 50);
    writeFile(userFilePath, image);
    userFileOpen();
    UserRecord record;
    int count = 0;
    while (userFileRead(&record) == 0)
        ++count;
    EXPECT_EQ(count, 2);
    EXPECT_EQ(userFileFind(&record, carol.uid), 1);
}

TEST_F(UserFile, RewriteChangesExactlyTheRecordFound)
{
    std::vector<UserRecord> records = {withLeft(alice.uid, 1), withLeft(bob.uid, 2),
                                       withLeft(carol.uid, 3)};
    writeAccounts(records);
    userFileOpen();
    UserRecord record;
    ASSERT_EQ(userFileFind(&record, bob.uid), 0);
    record.tLeft = -7;
    ASSERT_EQ(userFileRewrite(&record), 0);
    // Reading goes on with the record after the rewritten one.
    ASSERT_EQ(userFileRead(&record), 0);
    EXPECT_EQ(record.uid, carol.uid);
    userFileClose();

    records[1].tLeft = -7;
    EXPECT_EQ(readAccounts(), userRecordImage(records));
}

TEST_F(UserFile, ARecordReadAgainAfterItsRewriteIsTheNewOne)
{
    // The monitor charges a record, writes it back and may find it again in
    // the same open: a stale buffer would undo the first charge.
    writeAccounts({withLeft(alice.uid, 10), withLeft(bob.uid, 20), withLeft(carol.uid, 30)});
    userFileOpen();
    UserRecord record;
    for (int charge = 0; charge < 3; ++charge) {
        ASSERT_EQ(userFileFind(&record, bob.uid), 0);
        record.tLeft -= 1;
        ASSERT_EQ(userFileRewrite(&record), 0);
    }
    std::rewind(userFile);
    std::vector<std::int32_t> left;
    while (userFileRead(&record) == 0)
        left.push_back(record.tLeft);
    userFileClose();
    EXPECT_EQ(left, (std::vector<std::int32_t>{10, 17, 30}));
    EXPECT_EQ(readAccounts(), userRecordImage({withLeft(alice.uid, 10), withLeft(bob.uid, 17),
                                               withLeft(carol.uid, 30)}));
}

TEST_F(UserFile, AppendingAtTheEndAddsOneRecord)
{
    writeAccounts({withLeft(alice.uid, 1)});
    userFileOpen();
    std::fseek(userFile, 0, SEEK_END);
    UserRecord added = withLeft(bob.uid, 2);
    ASSERT_EQ(userFileWrite(&added), 0);
    userFileClose();
    EXPECT_EQ(readAccounts(), userRecordImage({withLeft(alice.uid, 1), added}));
}

TEST_F(UserFile, AFailedAppendLeavesNoPieceOfARecord)
{
    // One page of room: the 46th record fits only in part.
    ASSERT_EQ(mount("tmpfs", productDir, "tmpfs", 0, "size=4k"), 0);
    std::vector<UserRecord> records(45, withLeft(alice.uid, 1));
    writeAccounts(records);
    userFileOpen();
    std::fseek(userFile, 0, SEEK_END);
    UserRecord added = withLeft(bob.uid, 2);
    EXPECT_EQ(userFileWrite(&added), 1);
    userFileClose();
    std::string image = readAccounts();
    umount(productDir);
    EXPECT_EQ(image, userRecordImage(records));
}

TEST_F(UserFile, OrdinaryUsersReadUnderASharedLock)
{
    writeAccounts({withLeft(alice.uid, 5)});
    Result result = runFunction(
        [] {
            userFileOpen();
            UserRecord record;
            int found = userFileFind(&record, 1001);
            std::printf("%d %d ", found, record.tLeft);
            // Another reader may share the lock; a writer may not.
            int other = open(userFilePath, O_RDONLY);
            std::printf("%d %d", flock(other, LOCK_SH | LOCK_NB), flock(other, LOCK_EX | LOCK_NB));
        },
        alice.uid);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "0 5 0 -1");
}

TEST_F(UserFile, OrdinaryUserOpenOfAnUnreadableFileEndsWithTheDiagnostic)
{
    writeFile(userFilePath, userRecordImage({accountFor(alice.uid)}), 0600);
    Result result = runFunction([] { userFileOpen(); }, alice.uid);
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, HasSubstr("userFileFD >= 0"));
    EXPECT_THAT(result.err, HasSubstr("userFileOpen"));
    EXPECT_EQ(result.out, "");
}

TEST_F(UserFile, OrdinaryUserOpenNeverCreatesTheFile)
{
    Result result = runFunction([] { userFileOpen(); }, alice.uid);
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, HasSubstr("userFileFD >= 0"));
    EXPECT_FALSE(exists(userFilePath));
}

TEST_F(UserFile, ErrorExitAfterCloseLeavesTheClosedFileAlone)
{
    writeAccounts({accountFor(alice.uid)});
    Result result = runFunction([] {
        userFileOpen();
        userFileClose();
        errorExit("stopped");
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "stopped\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(UserFile, NameLookupsUseWholeIds)
{
    EXPECT_EQ(nameToUid("alice"), alice.uid);
    EXPECT_EQ(nameToUid("root"), 0);
    EXPECT_EQ(nameToUid("ghost"), unknownUid);
    // Ids that do not fit in 16 bits would name another user's record.
    EXPECT_EQ(nameToUid("bigid"), unknownUid);
    EXPECT_EQ(nameToUid("edge"), unknownUid);

    char name[loginNameSize];
    EXPECT_STREQ(uidToName(name, 1002), "bob");
    EXPECT_STREQ(uidToName(name, carol.uid), "carol");
    EXPECT_EQ(uidToName(name, 4242), nullptr);

    char small[6] = "xxxxx";
    EXPECT_EQ(uidToName(small, maximilian.uid), nullptr);
    EXPECT_STREQ(small, "xxxxx");
}

} // namespace
