// ku_expire, with the real programs it hands expired items to and with
// stand-ins that record the runs: what is due goes in file order, what no
// program could end rightly is left alone, and every run ends.
#include <gmock/gmock.h>

#include "runs.h"

using namespace sandbox;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{

using Expire = SystemTest;

UserRecord expiring(uid_t uid, std::time_t expire)
{
    UserRecord record = accountFor(uid);
    record.expire = static_cast<std::int32_t>(expire);
    return record;
}

// Subscribed, with the expiry it had before saved.
UserRecord subscribed(uid_t uid, std::time_t expire, std::int32_t savedExpire)
{
    UserRecord record = expiring(uid, expire);
    record.flags |= flagSubscribed;
    record.savedFlags = withPriority(0, 4);
    record.savedExpire = savedExpire;
    record.savedClass.fill(classUnlimited);
    return record;
}

BanRecord ban(std::uint8_t prefix, std::uint32_t area, std::uint32_t local, std::time_t expire)
{
    return BanRecord{prefix, area, local, static_cast<std::int32_t>(expire)};
}

TEST_F(Expire, HandsEachDueItemToItsProgramInFileOrder)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    std::time_t now = freshSecond();
    UserRecord later = expiring(bob.uid, now + 3600);
    UserRecord never = expiring(guest.uid, 0);
    UserRecord subscriber = subscribed(carol.uid, now - 5, 0);
    writeAccounts(
        {expiring(alice.uid, now), later, subscriber, never, expiring(maximilian.uid, 9)});
    BanRecord kept = ban(0, 0, 5550000, now + 3600);
    writeBans({ban(0, 555, 5551234, now), kept, ban(1, 1900, 0, 9)});
    RecordedProgram optout("ku_optout"), deleter("ku_delete"), unblock("ku_unblock");

    Result result = run({"ku_expire"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_THAT(programRuns(),
                ElementsAre("ku_delete|alice", "ku_optout|carol", "ku_delete|maximilian",
                            "ku_unblock|(555) 555-1234", "ku_unblock|1900"));
    EXPECT_EQ(result.out, "user deleted: alice\nuser unsubscribed: carol\n"
                          "user deleted: maximilian\nphone number unbanned: (555) 555-1234\n"
                          "phone number unbanned: 1900\n");
    // Unsubscribed: the saved values back, the save area emptied.
    UserRecord unsubscribed = subscriber;
    unsubscribed.flags = subscriber.savedFlags;
    unsubscribed.expire = unsubscribed.savedFlags = 0;
    unsubscribed.tLeft = unsubscribed.tLimit = unsubscribed.sLeft = unsubscribed.sLimit = 0;
    EXPECT_EQ(readAccounts(), userRecordImage({later, unsubscribed, never}));
    EXPECT_EQ(readBans(), banRecordImage({kept}));
}

TEST_F(Expire, AnAccountWhoseOwnExpiryHasPassedIsUnsubscribedThenDeleted)
{
    writeAccounts({subscribed(alice.uid, 2000, 1000), accountFor(bob.uid)});
    RecordedProgram optout("ku_optout"), deleter("ku_delete");
    EXPECT_EQ(run({"ku_expire"}).status, 0);
    EXPECT_THAT(programRuns(), ElementsAre("ku_optout|alice", "ku_delete|alice"));
    EXPECT_EQ(readAccounts(), userRecordImage({accountFor(bob.uid)}));
}

TEST_F(Expire, EndsAlthoughEveryItemStaysDueAndLeavesAloneWhatNoProgramCouldEnd)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    // No login for 1500 and 65535; a later record of an id is no account.
    writeAccounts({expiring(alice.uid, 9), expiring(1500, 9), expiring(edge.uid, 9),
                   subscribed(carol.uid, 9, 0), expiring(bob.uid, 9), expiring(alice.uid, 9),
                   accountFor(guest.uid), expiring(guest.uid, 9)});
    // The prefix ban stands first for 190-0123, 55 fits no layout, and
    // 12345678 would read back as area 1, local 2345678.
    writeBans({ban(1, 190, 0, 0), ban(0, 0, 5551234, 9), ban(0, 0, 1900123, 9),
               ban(0, 55, 5551234, 9), ban(1, 12345678, 0, 9)});
    std::string accounts = readAccounts();
    std::string bans = readBans();
    RecordedProgram optout("ku_optout", false), deleter("ku_delete", false),
        unblock("ku_unblock", false);
    EXPECT_EQ(run({"ku_expire"}).status, 0);
    EXPECT_THAT(programRuns(), ElementsAre("ku_delete|alice", "ku_optout|carol", "ku_delete|bob",
                                           "ku_unblock|555-1234"));
    EXPECT_EQ(readAccounts(), accounts);
    EXPECT_EQ(readBans(), bans);
}

TEST_F(Expire, LiftsNoBanWhoseNumberTheSitesLayoutReadsAsAnother)
{
    // With eight local digits ku_unblock reads "555-1234" otherwise: the
    // permanent prefix ban is what it would lift.
    writeConfig("PhNoLocalFormat 4-4\n");
    writeBans({ban(0, 0, 5551234, 9), ban(1, 5551, 0, 0)});
    std::string bans = readBans();
    RecordedProgram unblock("ku_unblock");
    EXPECT_EQ(run({"ku_expire"}).status, 0);
    EXPECT_THAT(programRuns(), ElementsAre());
    EXPECT_EQ(readBans(), bans);
}

TEST_F(Expire, ALoginThatNamesAnotherIdIsNotPassed)
{
    // ku_delete twin would end 1007's account, not 1008's.
    writeFile("/tmp/passwd", readFile("/etc/passwd") + "twin:x:1007:100::/tmp:/bin/sh\n"
                                                       "twin:x:1008:100::/tmp:/bin/sh\n");
    StandIn passwords("/etc/passwd", "/tmp/passwd");
    writeAccounts({accountFor(1007), expiring(1008, 9)});
    RecordedProgram deleter("ku_delete");
    EXPECT_EQ(run({"ku_expire"}).status, 0);
    EXPECT_THAT(programRuns(), IsEmpty());
}

} // namespace
