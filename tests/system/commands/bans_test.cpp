// ku_block and ku_unblock, run as installed: the ban records they write and
// remove, byte for byte, the listing's layout, the account deletion program
// run for a login, and an unblock that races a block.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::HasSubstr;

namespace
{

BanRecord normal(std::uint32_t area, std::uint32_t local, std::int32_t expire = 0)
{
    return BanRecord{0, area, local, expire};
}

BanRecord prefix(std::uint32_t digits, std::uint32_t local = 0)
{
    return BanRecord{1, digits, local, 0};
}

// (555) 555-0000 banned, every number beginning with 1900 banned, 555-9999
// banned by a ban whose time is up but which is still there, and the empty
// number banned as a prefix.
const std::vector<BanRecord> siteBans{normal(555, 5550000), prefix(1900), normal(0, 5559999, 1000),
                                      prefix(0)};

// alice dials from (555) 555-4321; bob has no account.
void writeSite()
{
    UserRecord alices = accountFor(alice.uid);
    alices.phoneArea = 555;
    alices.phoneLocal = 5554321;
    writeConfig("PhNoLocalFormat 3-4\n");
    writeAccounts({alices, accountFor(carol.uid)});
    writeBans(siteBans);
}

std::string siteBansWith(const BanRecord &added)
{
    std::vector<BanRecord> bans = siteBans;
    bans.push_back(added);
    return banRecordImage(bans);
}

// ---------------------------------------------------------------- ku_block

struct Addition {
    const char *name;
    std::vector<std::string> argv;
    std::string out;
    BanRecord added;
    std::string err = "";
};

class BlockAdditions : public SystemTest, public ::testing::WithParamInterface<Addition>
{
};

TEST_P(BlockAdditions, AppendOneBan)
{
    writeSite();
    std::string accounts = readAccounts();
    Result result = run(GetParam().argv);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, GetParam().out);
    EXPECT_EQ(result.err, GetParam().err);
    EXPECT_EQ(readBans(), siteBansWith(GetParam().added));
    EXPECT_EQ(readAccounts(), accounts);
}

INSTANTIATE_TEST_SUITE_P(
    Block, BlockAdditions,
    ::testing::Values(Addition{"ALocalNumber",
                               {"ku_block", "0", "5551234"},
                               "phone number banned: 5551234\n",
                               normal(0, 5551234)},
                      Addition{"ANumberInSeveralWords",
                               {"ku_block", "0", "(03)", "555", "1234"},
                               "phone number banned: (03) 555 1234\n",
                               normal(3, 5551234)},
                      Addition{"APrefixShorterThanALocalNumber",
                               {"ku_block", "-p", "0", "555"},
                               "phone number banned: 555 (prefix ban)\n",
                               prefix(555)},
                      // Cut to 31 characters this text would be the banned (555) 555-0000.
                      Addition{"ATextLongerThanThirtyOneCharacters",
                               {"ku_block", "0", "(555)", "555-0000", std::string(17, ' '), "9"},
                               "phone number banned: (555) 555-0000 " + std::string(17, ' ') +
                                   " 9\n",
                               normal(5555, 5500009)},
                      Addition{"AnUnknownOptionIsPassedOver",
                               {"ku_block", "-x", "0", "5551234"},
                               "phone number banned: 5551234\n",
                               normal(0, 5551234),
                               "ku_block: invalid option -- 'x'\n"}),
    [](const auto &test) { return test.param.name; });

class BlockRefusals : public SystemTest, public ::testing::WithParamInterface<CommandRefusal>
{
};

TEST_P(BlockRefusals, ChangeNothing)
{
    writeSite();
    std::string accounts = readAccounts();
    expectRefused(run(GetParam().argv), GetParam().message);
    EXPECT_EQ(readBans(), banRecordImage(siteBans));
    EXPECT_EQ(readAccounts(), accounts);
}

INSTANTIATE_TEST_SUITE_P(
    Block, BlockRefusals,
    ::testing::Values(
        CommandRefusal{{"ku_block", "-p", "0"},
                       "usage: ku_block [-l] [-p] <expire> <login>|<phone_no>"},
        CommandRefusal{{"ku_block", "0", "555"}, "invalid phone number: 555"},
        CommandRefusal{{"ku_block", "0", "555", "0000000"}, "invalid phone number: 555 0000000"},
        CommandRefusal{{"ku_block", "0", "(555)", "555-0000"},
                       "phone number is already banned: (555) 555-0000"},
        CommandRefusal{{"ku_block", "-p", "0", "19001"}, "phone number is already banned: 19001"},
        CommandRefusal{{"ku_block", "0", "555-9999"}, "phone number is already banned: 555-9999"},
        CommandRefusal{{"ku_block", "0", "000-0000"}, "phone number is already banned: 000-0000"},
        CommandRefusal{{"ku_block", "0", "+15551234"}, "user does not exist: +15551234"},
        CommandRefusal{{"ku_block", "0", "bob", "5551234"}, "user not found: bob"}));

using Block = SystemTest;

TEST_F(Block, TheExpiryIsAnEndTime)
{
    writeSite();
    std::time_t earliest = std::time(nullptr);
    ASSERT_EQ(run({"ku_block", "2m", "5551234"}).status, 0);
    std::time_t latest = std::time(nullptr);
    std::string bans = readBans();
    ASSERT_EQ(bans.size(), banRecordImage(siteBans).size() + banRecordSize);
    BanRecordBytes added;
    std::copy(bans.end() - banRecordSize, bans.end(), added.begin());
    expectExpiry(decodeBanRecord(added).expire, "2m", earliest, latest);
}

TEST_F(Block, ALoginBansTheAccountsNumberAfterDeletingTheAccount)
{
    writeSite();
    Result result = run({"ku_block", "-p", "0", "alice", "ignored"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user deleted: alice\nuser banned: alice\n");
    EXPECT_EQ(readBans(), siteBansWith(prefix(555, 5554321)));
    EXPECT_EQ(readAccounts(), userRecordImage({accountFor(carol.uid)}));
}

TEST_F(Block, TheDeletionProgramIsRunByPathWithItsBaseName)
{
    writeSite();
    std::string accounts = readAccounts();
    // cat names itself after its argument 0 when it cannot open a file.
    StandIn deleter("/usr/sbin/ku_delete", "/bin/cat");
    Result result = run({"ku_block", "0", "alice"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "ku_delete: alice: No such file or directory\n");
    EXPECT_EQ(result.out, "user banned: alice\n");
    EXPECT_EQ(readBans(), siteBansWith(normal(555, 5554321))) << "the ban waits for nothing";
    EXPECT_EQ(readAccounts(), accounts);
}

TEST_F(Block, AFullDiskIsReportedNotConfirmed)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    // 315 bans fill all but one byte of a page, so the next cannot fit.
    writeBans(std::vector<BanRecord>(315, normal(0, 5550001)));
    std::string before = readBans();
    Result result;
    {
        FullProductDirectory full;
        result = run({"ku_block", "0", "5551234"});
        EXPECT_EQ(readBans(), before) << "a piece of the ban was left";
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "/usr/lib/Kestrune/banned_users: No space left on device\n");
}

// ---------------------------------------------------------------- listing

const std::string listingHeader =
    "   Type         Phone No.               Expiry\n"
    "------------------------------------------------------------------\n";

TEST_F(Block, TheListingShowsEveryBanInFileOrder)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    writeBans(
        {normal(0, 5551234), normal(555, 5551234, 1700000000), prefix(555), normal(55, 5551234)});
    std::time_t expiry = 1700000000;
    char expiryText[64];
    ctime_r(&expiry, expiryText);
    for (auto argv : {std::vector<std::string>{"ku_block", "-l"},
                      std::vector<std::string>{"ku_block", "-p", "-l", "0", "5550001"}}) {
        Result result = run(argv);
        EXPECT_EQ(result.status, 0);
        // A number that does not fit the formats leaves its column empty.
        EXPECT_EQ(result.out, listingHeader +
                                  "  NORMAL        555-1234                N/A\n"
                                  "  NORMAL        (555) 555-1234          " +
                                  expiryText +
                                  "  PREFIX        555                     N/A\n"
                                  "  NORMAL                                N/A\n");
        EXPECT_EQ(readBans().size(), 4 * banRecordSize) << "the listing added a ban";
    }
}

TEST_F(Block, AnOrdinaryUserSeesTheHeaderBeforeTheRefusal)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    Result result = run({"ku_block", "-l"}, alice.uid);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, listingHeader + "must be root\n");
}

// ---------------------------------------------------------------- ku_unblock

// The prefix 555 covers (555) 555-1234 and stands before the ban of the
// number itself.
const std::vector<BanRecord> coveringBans{normal(777, 7777777), prefix(555), normal(555, 5551234),
                                          prefix(1900)};

struct Lifting {
    std::vector<std::string> argv;
    std::string text; // the words as the confirmation quotes them
    std::vector<BanRecord> left;
};

class UnblockLiftings : public SystemTest, public ::testing::WithParamInterface<Lifting>
{
};

TEST_P(UnblockLiftings, RemoveTheFirstBanThatCovers)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    writeBans(coveringBans);
    Result result = run(GetParam().argv);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "phone number unbanned: " + GetParam().text + "\n");
    EXPECT_EQ(readBans(), banRecordImage(GetParam().left));
    expectNoCopiesLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Unblock, UnblockLiftings,
    ::testing::Values(Lifting{{"/usr/sbin/ku_unblock", "(555)", "555-1234"},
                              "(555) 555-1234",
                              {normal(777, 7777777), normal(555, 5551234), prefix(1900)}},
                      Lifting{{"/usr/sbin/ku_unblock", "1900"},
                              "1900",
                              {normal(777, 7777777), prefix(555), normal(555, 5551234)}},
                      Lifting{{"/usr/sbin/ku_unblock", "((((((((((777))))))))))-777-7777"},
                              "((((((((((777))))))))))-777-7777",
                              {prefix(555), normal(555, 5551234), prefix(1900)}}));

class UnblockRefusals : public SystemTest, public ::testing::WithParamInterface<CommandRefusal>
{
};

TEST_P(UnblockRefusals, ChangeNothing)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    writeBans(coveringBans);
    expectRefused(run(GetParam().argv), GetParam().message);
    EXPECT_EQ(readBans(), banRecordImage(coveringBans));
    expectNoCopiesLeft();
}

INSTANTIATE_TEST_SUITE_P(Unblock, UnblockRefusals,
                         ::testing::Values(CommandRefusal{{"ku_unblock"},
                                                          "usage: ku_unblock <phone_no>"},
                                           CommandRefusal{{"ku_unblock", "no", "digits"},
                                                          "invalid phone number: no digits"},
                                           CommandRefusal{{"ku_unblock", "666-1234"},
                                                          "phone number not found: 666-1234"}));

using Unblock = SystemTest;

TEST_F(Unblock, WithoutRoomForItsCopyNothingChanges)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    writeBans(coveringBans);
    Result result;
    {
        FullProductDirectory noRoom(FullProductDirectory::Exhausted::inodes);
        result = run({"ku_unblock", "1900"});
        EXPECT_EQ(readBans(), banRecordImage(coveringBans));
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, HasSubstr("ku_unblock"));
    EXPECT_THAT(result.err, HasSubstr("tBanFile != ((void *)0)"));
}

TEST_F(Unblock, ABanAddedMeanwhileIsNotLost)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    // Both wait for the ban file; whichever goes first, the other's change
    // must survive, which it does not if the copy lands after the unlock.
    for (int round = 0; round < 10; ++round) {
        writeBans({normal(0, 5550001), normal(0, 5550002)});
        int held = open(banFilePath, O_RDWR | O_CLOEXEC);
        ASSERT_EQ(flock(held, LOCK_EX), 0);
        Running unblock = start({"ku_unblock", "5550001"});
        Running block = start({"ku_block", "0", "5550003"});
        usleep(100000);
        close(held);
        EXPECT_EQ(finish(unblock).status, 0);
        EXPECT_EQ(finish(block).status, 0);
        ASSERT_EQ(readBans(), banRecordImage({normal(0, 5550002), normal(0, 5550003)}))
            << "in round " << round;
    }
}

} // namespace
