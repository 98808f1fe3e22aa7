// ku_list: the fields of each account's line, byte for byte, and which
// accounts get a line.
#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

using List = SystemTest;

UserRecord listed(uid_t uid)
{
    UserRecord record = accountFor(uid);
    record.phoneArea = 555;
    record.phoneLocal = 5551234;
    record.sLeft = record.sLimit = -1;
    record.stamp = 900000000;
    return record;
}

const std::string fields = " (555) 555-1234 4 600 600 -1 -1 0.00 KB N/A 0 900000000\n";

TEST_F(List, PrintsTheAccountsFields)
{
    writeConfig("");
    writeAccounts({listed(alice.uid)});
    Result result = run({"ku_list"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "alice (555) 555-1234 4 600 600 -1 -1 0.00 KB N/A 0 900000000\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(List, ListsEveryAccountWithALoginInFileOrder)
{
    writeConfig("PhNoAreaFormat 3\n");
    UserRecord bare = listed(bob.uid);
    bare.phoneLocal = 0;
    UserRecord unfit = listed(wrapped.uid); // the area layout holds 3 digits
    unfit.phoneArea = 123456;
    UserRecord expiring = listed(alice.uid);
    expiring.expire = 2000000000;
    expiring.flags = withPriority(0, 7);
    expiring.totalBytes = 1048576;
    UserRecord subscribed = listed(maximilian.uid);
    subscribed.expire = 2000000000;
    subscribed.flags |= flagSubscribed;
    subscribed.tLeft = -5;
    subscribed.totalBytes = 3221225472;
    subscribed.stamp = -1; // the field's 32 bits, read as unsigned
    writeAccounts({bare, listed(1500), unfit, listed(edge.uid), expiring, subscribed});
    EXPECT_EQ(run({"ku_list"}).out,
              "bob N/A 4 600 600 -1 -1 0.00 KB N/A 0 900000000\n"
              "wrapped  4 600 600 -1 -1 0.00 KB N/A 0 900000000\n"
              "alice 555 555-1234 7 600 600 -1 -1 1.00 MB DELETE 2000000000 900000000\n"
              "maximilian 555 555-1234 4 -5 600 -1 -1 3.00 GB UNSUBSCRIBE 2000000000 4294967295\n");
}

TEST_F(List, ListsTheNamedLoginsThatHaveAccountsInArgumentOrder)
{
    writeConfig("");
    writeAccounts({listed(alice.uid), listed(bob.uid), listed(wrapped.uid), listed(carol.uid)});
    // bigid's id cut to 16 bits is wrapped's, whose account it is not; a
    // second login of an id lists the account under the id's first login.
    Result result = run({"ku_list", "bob", "nosuchuser", "guest", "bigid", "alice", "carol2"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "bob" + fields + "alice" + fields + "carol" + fields);
}

TEST_F(List, AListingThatCannotBeWrittenFails)
{
    writeConfig("");
    writeAccounts({listed(alice.uid)});
    FullProductDirectory full;
    Result result = run({"/bin/sh", "-c", "ku_list > /usr/lib/Kestrune/listing"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "stdout: No space left on device\n");
}

} // namespace
