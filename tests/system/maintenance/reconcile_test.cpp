// ku_reconcile: the records it keeps, in order, and a clean file left
// exactly as it was.
#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

using Reconcile = SystemTest;

UserRecord tagged(uid_t uid, std::int32_t tag)
{
    UserRecord record = accountFor(uid);
    record.tLeft = tag;
    return record;
}

TEST_F(Reconcile, DropsUnknownIdsAndLaterRecordsOfAnId)
{
    // carol2 shares carol's id; 65535 is the id of no account.
    writeAccounts({tagged(alice.uid, 1), tagged(1500, 2), tagged(bob.uid, 3), tagged(alice.uid, 4),
                   tagged(carol.uid, 5), tagged(carol2.uid, 6), tagged(edge.uid, 7),
                   tagged(wrapped.uid, 8)});
    Result result = run({"ku_reconcile"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_EQ(readAccounts(), userRecordImage({tagged(alice.uid, 1), tagged(bob.uid, 3),
                                               tagged(carol.uid, 5), tagged(wrapped.uid, 8)}));
    expectNoCopiesLeft();
}

TEST_F(Reconcile, LeavesACleanFileUntouched)
{
    // A trailing piece of a record is no reason to rewrite the file.
    writeFile(userFilePath, userRecordImage({tagged(alice.uid, 1), tagged(root.uid, 2)}) + "piece");
    setTimes(userFilePath, 1000000000, 1000000000);
    std::string before = readAccounts();
    EXPECT_EQ(run({"ku_reconcile", "ignored"}).status, 0);
    EXPECT_EQ(run({"ku_reconcile"}, alice.uid).status, 0);
    EXPECT_EQ(readAccounts(), before);
    EXPECT_EQ(statusOf(userFilePath).st_mtime, 1000000000);
    expectNoCopiesLeft();
}

TEST_F(Reconcile, AnotherUserCannotDrop)
{
    writeAccounts({tagged(alice.uid, 1), tagged(alice.uid, 2)});
    std::string before = readAccounts();
    expectRefused(run({"ku_reconcile"}, alice.uid), "must be root");
    EXPECT_EQ(readAccounts(), before);
    expectNoCopiesLeft();
}

} // namespace
