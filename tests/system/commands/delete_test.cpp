// ku_delete, run at its installed path as the commands that retire accounts
// run it: it removes the login's record exactly as ku_remove does.
#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::IsEmpty;

namespace
{

UserRecord tagged(uid_t uid, std::int32_t tag)
{
    UserRecord record = accountFor(uid);
    record.tLeft = tag;
    return record;
}

class DeleteRefusals : public SystemTest, public ::testing::WithParamInterface<CommandRefusal>
{
};

TEST_P(DeleteRefusals, LeaveTheAccountFileAlone)
{
    writeAccounts({tagged(alice.uid, 1), tagged(wrapped.uid, 2)});
    std::string before = readAccounts();
    expectRefused(run(GetParam().argv), GetParam().message);
    EXPECT_EQ(readAccounts(), before);
    EXPECT_THAT(listDirectory("/tmp"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Delete, DeleteRefusals,
    ::testing::Values(
        CommandRefusal{{"/usr/sbin/ku_delete"}, "usage: ku_delete <login>"},
        CommandRefusal{{"/usr/sbin/ku_delete", "alice", "bob"}, "usage: ku_delete <login>"},
        CommandRefusal{{"/usr/sbin/ku_delete", "ghost"}, "user does not exist: ghost"},
        CommandRefusal{{"/usr/sbin/ku_delete", "bigid"}, "user does not exist: bigid"},
        CommandRefusal{{"/usr/sbin/ku_delete", "bob"}, "user not found: bob"}));

using Delete = SystemTest;

TEST_F(Delete, RemovesTheFirstRecordOfTheLoginAndKeepsTheOrder)
{
    writeAccounts(
        {tagged(bob.uid, 1), tagged(alice.uid, 2), tagged(carol.uid, 3), tagged(alice.uid, 4)});
    Result result = run({"/usr/sbin/ku_delete", "alice"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user deleted: alice\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(readAccounts(),
              userRecordImage({tagged(bob.uid, 1), tagged(carol.uid, 3), tagged(alice.uid, 4)}));
    EXPECT_THAT(listDirectory("/tmp"), IsEmpty()) << "the temporary copy was left behind";
}

TEST_F(Delete, DropsATrailingPieceOfARecord)
{
    writeFile(userFilePath,
              userRecordImage({tagged(alice.uid, 1), tagged(bob.uid, 2)}) + "partial");
    Result result = run({"/usr/sbin/ku_delete", "alice"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readAccounts(), userRecordImage({tagged(bob.uid, 2)}));
}

TEST_F(Delete, AnOrdinaryUserChangesNothing)
{
    writeAccounts({tagged(alice.uid, 1), tagged(bob.uid, 2)});
    std::string before = readAccounts();
    Result result = run({"/usr/sbin/ku_delete", "bob"}, alice.uid);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "/usr/lib/Kestrune/kestrune_users: Bad file descriptor\n");
    EXPECT_EQ(readAccounts(), before);
    EXPECT_THAT(listDirectory("/tmp"), IsEmpty());
}

} // namespace
