// ku_sweep: which accounts are old enough, to the second, and that every
// run ends although ku_delete may leave an account in place.
#include <gmock/gmock.h>

#include "runs.h"

using namespace sandbox;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{

using Sweep = SystemTest;

constexpr std::time_t day = 86400;

UserRecord stamped(uid_t uid, std::time_t stamp)
{
    UserRecord record = accountFor(uid);
    record.stamp = static_cast<std::int32_t>(stamp);
    return record;
}

class SweepRefusals : public SystemTest, public ::testing::WithParamInterface<CommandRefusal>
{
};

TEST_P(SweepRefusals, DeleteNothing)
{
    writeAccounts({stamped(alice.uid, 0)});
    RecordedProgram deleter("ku_delete");
    expectRefused(run(GetParam().argv), GetParam().message);
    EXPECT_THAT(programRuns(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SweepRefusals,
    ::testing::Values(CommandRefusal{{"ku_sweep"}, "usage: ku_sweep <days>"},
                      CommandRefusal{{"ku_sweep", "15", "16"}, "usage: ku_sweep <days>"},
                      CommandRefusal{{"ku_sweep", "14"}, "<days> must be > 14."},
                      CommandRefusal{{"ku_sweep", "days"}, "<days> must be > 14."}));

TEST_F(Sweep, DeletesWhatIsAtLeastTheDaysOldToTheSecond)
{
    std::time_t now = freshSecond();
    UserRecord young = stamped(bob.uid, now - 15 * day + 1);
    UserRecord future = stamped(carol.uid, now + 40 * day);
    writeAccounts({stamped(alice.uid, now - 15 * day), young, future,
                   stamped(maximilian.uid, now - 400 * day)});
    RecordedProgram deleter("ku_delete");
    Result result = run({"ku_sweep", " +15 days"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_THAT(programRuns(), ElementsAre("ku_delete|alice", "ku_delete|maximilian"));
    EXPECT_EQ(readAccounts(), userRecordImage({young, future}));
}

TEST_F(Sweep, EndsAlthoughTheAccountsStay)
{
    // 1500 has no login; the later record of alice's id is no account.
    writeAccounts(
        {stamped(alice.uid, 0), stamped(1500, 0), stamped(bob.uid, 0), stamped(alice.uid, 0)});
    std::string before = readAccounts();
    RecordedProgram deleter("ku_delete", false);
    EXPECT_EQ(run({"ku_sweep", "15"}).status, 0);
    EXPECT_THAT(programRuns(), ElementsAre("ku_delete|alice", "ku_delete|bob"));
    EXPECT_EQ(readAccounts(), before);
}

} // namespace
