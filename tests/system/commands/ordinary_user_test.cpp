// The account and ban commands run by a user who is not root: the account
// file is open to them for reading only, so each says so and changes
// nothing rather than confirm a change it did not make.
#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

class OrdinaryUser : public SystemTest, public ::testing::WithParamInterface<CommandRefusal>
{
};

TEST_P(OrdinaryUser, IsToldAndNothingChanges)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    UserRecord subscribed = accountFor(bob.uid);
    subscribed.flags |= flagSubscribed;
    writeAccounts({accountFor(alice.uid), subscribed});
    writeBans({BanRecord{0, 0, 5551234, 0}});
    std::string accounts = readAccounts();
    std::string bans = readBans();
    expectRefused(run(GetParam().argv, alice.uid), GetParam().message);
    EXPECT_EQ(readAccounts(), accounts);
    EXPECT_EQ(readBans(), bans);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, OrdinaryUser,
    ::testing::Values(CommandRefusal{{"ku_enrol", "guest", "0", "600"}, "must be root"},
                      CommandRefusal{{"ku_enrol", "guest", "0", "600", "600", "4", "5554321"},
                                     "must be root"},
                      CommandRefusal{{"ku_limits", "alice", "tLeft", "+=", "60"}, "must be root"},
                      CommandRefusal{{"ku_optin", "alice", "30", "600"}, "must be root"},
                      CommandRefusal{{"ku_optout", "bob"}, "must be root"},
                      CommandRefusal{{"ku_block", "0", "5554321"}, "must be root"},
                      CommandRefusal{{"ku_unblock", "5551234"}, "must be root"}));

} // namespace
