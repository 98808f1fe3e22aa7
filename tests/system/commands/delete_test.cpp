// ku_delete, run at its installed path as the commands that retire accounts
// run it: it removes the login's record exactly as ku_remove does, which
// the ku_remove suite tests in full.
#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

using Delete = SystemTest;

UserRecord tagged(uid_t uid, std::int32_t tag)
{
    UserRecord record = accountFor(uid);
    record.tLeft = tag;
    return record;
}

TEST_F(Delete, RemovesTheFirstRecordOfTheLoginAndKeepsTheOrder)
{
    writeAccounts(
        {tagged(bob.uid, 1), tagged(alice.uid, 2), tagged(carol.uid, 3), tagged(alice.uid, 4)});
    Result result = run({"/usr/sbin/ku_delete", "alice"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user deleted: alice\n");
    EXPECT_EQ(readAccounts(),
              userRecordImage({tagged(bob.uid, 1), tagged(carol.uid, 3), tagged(alice.uid, 4)}));
    expectNoCopiesLeft();
}

TEST_F(Delete, RefusesAsKuRemoveDoesWithItsOwnUsage)
{
    writeAccounts({tagged(alice.uid, 1)});
    std::string before = readAccounts();
    expectRefused(run({"/usr/sbin/ku_delete"}), "usage: ku_delete <login>");
    expectRefused(run({"/usr/sbin/ku_delete", "alice", "bob"}), "usage: ku_delete <login>");
    expectRefused(run({"/usr/sbin/ku_delete", "bob"}), "user not found: bob");
    EXPECT_EQ(readAccounts(), before);
}

} // namespace
