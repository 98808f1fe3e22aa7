// ku_remove, ku_stamp and ku_daysleft, run as installed, byte for byte.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <ctime>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::HasSubstr;

namespace
{

using Commands = SystemTest;

UserRecord numbered(uid_t uid, std::int32_t tag)
{
    UserRecord record = accountFor(uid);
    record.tLeft = tag;
    record.phoneLocal = static_cast<std::uint32_t>(tag);
    return record;
}

struct Refusal {
    std::vector<std::string> argv;
    std::string message;
};

class CommandRefusals : public SystemTest, public ::testing::WithParamInterface<Refusal>
{
};

TEST_P(CommandRefusals, LeaveTheAccountFileAlone)
{
    // wrapped holds the record that bigid's id cut to 16 bits would find.
    writeAccounts({numbered(alice.uid, 1), numbered(wrapped.uid, 2)});
    std::string before = readAccounts();
    Result result = run(GetParam().argv);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, GetParam().message + "\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(readAccounts(), before);
    expectNoCopiesLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandRefusals,
    ::testing::Values(Refusal{{"ku_remove"}, "usage: ku_remove <login>"},
                      Refusal{{"ku_remove", "alice", "bob"}, "usage: ku_remove <login>"},
                      Refusal{{"ku_remove", "ghost"}, "user does not exist: ghost"},
                      Refusal{{"ku_remove", "bigid"}, "user does not exist: bigid"},
                      Refusal{{"ku_remove", "1001"}, "user does not exist: 1001"},
                      Refusal{{"ku_remove", "bob"}, "user not found: bob"},
                      Refusal{{"ku_stamp"}, "usage: ku_stamp <login>"},
                      Refusal{{"ku_stamp", "alice", "x"}, "usage: ku_stamp <login>"},
                      Refusal{{"ku_stamp", "edge"}, "user does not exist: edge"},
                      Refusal{{"ku_stamp", "bigid"}, "user does not exist: bigid"},
                      Refusal{{"ku_stamp", "carol"}, "user not found: carol"}));

TEST_F(Commands, RemoveKeepsTheOtherRecordsInOrder)
{
    writeAccounts({numbered(alice.uid, 1), numbered(bob.uid, 2), numbered(carol.uid, 3)});
    Result result = run({"ku_remove", "bob"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user deleted: bob\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(readAccounts(), userRecordImage({numbered(alice.uid, 1), numbered(carol.uid, 3)}));
    expectNoCopiesLeft();
}

TEST_F(Commands, RemoveDropsOnlyTheFirstOfTwoRecords)
{
    writeAccounts({numbered(bob.uid, 1), numbered(alice.uid, 2), numbered(bob.uid, 3)});
    Result result = run({"ku_remove", "bob"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readAccounts(), userRecordImage({numbered(alice.uid, 2), numbered(bob.uid, 3)}));
}

TEST_F(Commands, RemoveByASecondLoginOfTheSameId)
{
    writeAccounts({numbered(carol.uid, 1), numbered(alice.uid, 2)});
    Result result = run({"ku_remove", "carol2"});
    EXPECT_EQ(result.out, "user deleted: carol2\n");
    EXPECT_EQ(readAccounts(), userRecordImage({numbered(alice.uid, 2)}));
}

TEST_F(Commands, RemoveOfTheLastRecordLeavesAnEmptyFile)
{
    writeAccounts({numbered(alice.uid, 1)});
    Result result = run({"ku_remove", "alice"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readAccounts(), "");
}

TEST_F(Commands, RemoveLosesNoChangeMadeWhileItWaited)
{
    // Another writer holds the file; what it writes before letting go must
    // survive the removal that was waiting for it.
    writeAccounts({numbered(alice.uid, 1), numbered(bob.uid, 2)});
    int held = open(userFilePath, O_RDWR);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    Running remover = start({"ku_remove", "bob"});
    usleep(300000);
    EXPECT_FALSE(remover.finished()) << "ku_remove did not wait for the lock";
    std::string changed = userRecordImage({numbered(alice.uid, 99), numbered(bob.uid, 2)});
    ASSERT_EQ(pwrite(held, changed.data(), changed.size(), 0), 90 * 2);
    flock(held, LOCK_UN);
    close(held);
    Result result = finish(remover);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readAccounts(), userRecordImage({numbered(alice.uid, 99)}));
}

TEST_F(Commands, RemoveWithoutRoomForItsCopyChangesNothing)
{
    writeAccounts({numbered(alice.uid, 1), numbered(bob.uid, 2)});
    std::string before = readAccounts();
    Result result;
    {
        FullProductDirectory noRoom(FullProductDirectory::Exhausted::inodes);
        result = run({"ku_remove", "bob"});
        EXPECT_EQ(readAccounts(), before);
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err, HasSubstr("tUserFile != ((void *) 0)"));
    EXPECT_THAT(result.err, HasSubstr("ku_remove"));
}

TEST_F(Commands, RemoveByAnOrdinaryUserChangesNothing)
{
    writeAccounts({numbered(alice.uid, 1), numbered(bob.uid, 2)});
    std::string before = readAccounts();
    Result result = run({"ku_remove", "bob"}, alice.uid);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "/usr/lib/Kestrune/kestrune_users: Bad file descriptor\n");
    EXPECT_EQ(readAccounts(), before);
    expectNoCopiesLeft();
}

TEST_F(Commands, StampChangesOnlyTheLastFourBytesOfTheRecord)
{
    writeAccounts({numbered(alice.uid, 1), numbered(bob.uid, 2), numbered(carol.uid, 3)});
    std::string before = readAccounts();
    auto earliest = static_cast<std::int32_t>(std::time(nullptr));
    Result result = run({"ku_stamp", "bob"});
    auto latest = static_cast<std::int32_t>(std::time(nullptr));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user touched: bob\n");

    std::string after = readAccounts();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.substr(0, 176), before.substr(0, 176));
    EXPECT_EQ(after.substr(180), before.substr(180));
    UserRecordBytes bytes;
    std::copy(after.begin() + 90, after.begin() + 180, bytes.begin());
    std::int32_t stamp = decodeUserRecord(bytes).stamp;
    EXPECT_GE(stamp, earliest);
    EXPECT_LE(stamp, latest);
}

TEST_F(Commands, StampByAnOrdinaryUserChangesNothing)
{
    writeAccounts({numbered(alice.uid, 1)});
    std::string before = readAccounts();
    Result result = run({"ku_stamp", "alice"}, alice.uid);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "/usr/lib/Kestrune/kestrune_users: Bad file descriptor\n");
    EXPECT_EQ(readAccounts(), before);
}

struct DaysLeft {
    const char *name;
    std::int64_t expireFromNow; // seconds; 0 for a record that never expires
    const char *expected;
};

class DaysLeftFor : public SystemTest, public ::testing::WithParamInterface<DaysLeft>
{
};

TEST_P(DaysLeftFor, TheCallersOwnRecord)
{
    UserRecord record = accountFor(alice.uid);
    std::int64_t offset = GetParam().expireFromNow;
    record.expire = offset == 0 ? 0 : static_cast<std::int32_t>(std::time(nullptr) + offset);
    writeAccounts({accountFor(bob.uid), record});
    Result result = run({"ku_daysleft", "ignored", "arguments"}, alice.uid);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, GetParam().expected);
    EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Commands, DaysLeftFor,
    ::testing::Values(DaysLeft{"ThirtySixHoursAhead", 36 * 3600, "1.50 day(s) remaining.\n"},
                      DaysLeft{"TwelveHoursPast", -12 * 3600, "-0.50 day(s) remaining.\n"},
                      DaysLeft{"NeverExpires", 0, "no expiration date!\n"}),
    [](const auto &test) { return test.param.name; });

TEST_F(Commands, DaysLeftWithoutARecord)
{
    writeAccounts({accountFor(bob.uid)});
    Result result = run({"ku_daysleft"}, alice.uid);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "no expiration date!\n");
}

TEST_F(Commands, DaysLeftNeverReadsAnotherUsersRecord)
{
    UserRecord other = accountFor(wrapped.uid);
    other.expire = static_cast<std::int32_t>(std::time(nullptr) + 86400);
    writeAccounts({other});
    Result result = run({"ku_daysleft"}, bigid.uid);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "no expiration date!\n");
}

TEST_F(Commands, DaysLeftOnAnUnreadableFileStops)
{
    writeFile(userFilePath, userRecordImage({accountFor(alice.uid)}), 0600);
    Result result = run({"ku_daysleft"}, alice.uid);
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err, HasSubstr("userFileFD >= 0"));
}

} // namespace
