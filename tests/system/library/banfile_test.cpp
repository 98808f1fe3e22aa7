// The ban file: its locking, its records and which numbers a ban covers.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

class BanFile : public SystemTest
{
  protected:
    void TearDown() override
    {
        if (banFile != nullptr)
            banFileClose();
        SystemTest::TearDown();
    }
};

BanRecord normal(std::uint32_t area, std::uint32_t local, std::int32_t expire = 0)
{
    return BanRecord{0, area, local, expire};
}

BanRecord prefix(std::uint32_t digits, std::int32_t expire = 0)
{
    return BanRecord{1, digits, 0, expire};
}

struct Query {
    std::uint32_t area;
    std::uint32_t local;
    bool banned;
};

void expectLookups(const std::vector<BanRecord> &bans, const std::vector<Query> &queries)
{
    writeBans(bans);
    banFileOpen();
    for (const Query &query : queries) {
        BanRecord found;
        EXPECT_EQ(banFileFind(&found, query.area, query.local), query.banned ? 0 : 1)
            << "area " << query.area << " local " << query.local;
    }
    banFileClose();
}

TEST_F(BanFile, AnEmptyFileBansNothing)
{
    expectLookups({}, {{555, 1234567, false}, {0, 0, false}, {1900, 0, false}});
}

TEST_F(BanFile, ANormalBanCoversExactlyItsNumber)
{
    expectLookups(
        {normal(555, 1234567)},
        {{555, 1234567, true}, {0, 1234567, false}, {555, 1234568, false}, {5551, 234567, false}});
}

TEST_F(BanFile, APrefixBanCoversNumbersWhoseDigitsStartWithIt)
{
    expectLookups({prefix(55)}, {{555, 0, true},
                                 {5512, 1234567, true},
                                 {0, 5512345, true},
                                 {455, 0, false},
                                 {5, 0, false},
                                 {0, 0, false},
                                 {455, 5512345, true}});
}

TEST_F(BanFile, AnEmptyPrefixCoversOnlyTheEmptyNumber)
{
    expectLookups({prefix(0)}, {{0, 0, true}, {1, 0, false}, {0, 1234567, false}});
}

TEST_F(BanFile, TheFirstMatchingBanIsReturned)
{
    writeBans({normal(1, 2), prefix(19, 111), normal(1900, 0, 222)});
    banFileOpen();
    BanRecord found;
    ASSERT_EQ(banFileFind(&found, 1900, 0), 0);
    EXPECT_EQ(found.expire, 111);
    EXPECT_EQ(std::ftell(banFile), 26);
    banFileClose();
}

TEST_F(BanFile, WritesAreThirteenBytesAtTheCurrentPosition)
{
    mode_t old = umask(022);
    banFileOpen();
    umask(old);
    EXPECT_EQ(fcntl(banFileFD, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    BanRecord ban = prefix(1900, 7);
    ASSERT_EQ(banFileWrite(&ban), 0);
    BanRecord other = normal(555, 1234567);
    ASSERT_EQ(banFileWrite(&other), 0);
    std::rewind(banFile);
    BanRecord read;
    ASSERT_EQ(banFileRead(&read), 0);
    EXPECT_EQ(read, ban);
    banFileClose();
    std::string image = readFile(banFilePath);
    ASSERT_EQ(image.size(), 26u);
    EXPECT_EQ(image.substr(0, 13),
              std::string("\x01\x6C\x07\x00\x00\x00\x00\x00\x00\x07\x00\x00\x00", 13));
}

TEST_F(BanFile, ATrailingFragmentIsNeverARecord)
{
    writeFile(banFilePath, std::string("\x00\x01\x00\x00\x00\x02\x00\x00", 8));
    banFileOpen();
    BanRecord record;
    EXPECT_EQ(banFileRead(&record), 1);
    EXPECT_EQ(banFileFind(&record, 1, 2), 1);
    banFileClose();
}

TEST_F(BanFile, OnlyTheSuperuserMayOpenIt)
{
    Result result = runFunction([] { banFileOpen(); }, alice.uid);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "must be root\n");
    EXPECT_FALSE(exists(banFilePath));
}

TEST_F(BanFile, OpenHoldsTheExclusiveLockUntilClose)
{
    banFileOpen();
    int other = open(banFilePath, O_RDONLY);
    EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), -1);
    banFileClose();
    EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), 0);
    close(other);
}

TEST_F(BanFile, ErrorExitReleasesBothLocks)
{
    // A child started before the error shares the locked descriptions, so
    // the locks outlive the process unless the error exit lets them go.
    writeAccounts({accountFor(alice.uid)});
    Result result = runFunction([] {
        userFileOpen();
        banFileOpen();
        pid_t parent = getpid();
        if (fork() == 0) {
            for (int i = 0; i < 500 && getppid() == parent; ++i)
                usleep(10000);
            int accounts = flock(open(userFilePath, O_RDONLY), LOCK_EX | LOCK_NB);
            int bans = flock(open(banFilePath, O_RDONLY), LOCK_EX | LOCK_NB);
            writeFile("/tmp/locks", std::to_string(accounts) + " " + std::to_string(bans));
            _exit(0);
        }
        errorExit("stop");
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "stop\n");
    for (int i = 0; i < 500 && readFile("/tmp/locks").empty(); ++i)
        usleep(10000);
    EXPECT_EQ(readFile("/tmp/locks"), "0 0");
}

} // namespace
