// ku_eject against a user's zombies: processes that ended and wait for a
// parent to reap them. They cannot be signalled and need no waiting for,
// and however many there are, they hide none of the user's live processes.
#include <chrono>
#include <csignal>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;

namespace
{

using EjectZombies = SystemTest;

TEST_F(EjectZombies, EndsEveryLiveProcessBehindThem)
{
    // A parent of root's keeps them zombies throughout.
    Zombies zombies(alice.uid, 1100, root.uid);
    ASSERT_EQ(zombies.count(), 1100);
    UserProcess polite({.uid = alice.uid});
    UserProcess stubborn({.uid = alice.uid, .ignoreTerm = true});
    UserProcess borrowed({.uid = bob.uid, .euid = alice.uid});

    Result result = run({"ku_eject", "alice"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user kicked: alice\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(polite.waitForExit(1s), 128 + SIGTERM);
    EXPECT_EQ(borrowed.waitForExit(1s), 128 + SIGTERM);
    EXPECT_EQ(stubborn.waitForExit(1s), 128 + SIGKILL);
    EXPECT_EQ(zombies.waitForParentExit(0ms), -1) << "root's process was signalled";
}

// How many zombies the user has, and nothing else.
class EjectOnlyZombies : public SystemTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(EjectOnlyZombies, SaysNothingAndDoesNotWait)
{
    Zombies zombies(alice.uid, GetParam(), root.uid);
    ASSERT_EQ(zombies.count(), GetParam());
    auto begun = std::chrono::steady_clock::now();
    Result result = run({"ku_eject", "alice"});
    // Well under the 5 seconds given to processes that were asked to end.
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 3s) << "waited for the zombies";
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_EQ(zombies.waitForParentExit(0ms), -1) << "root's process was signalled";
}

INSTANTIATE_TEST_SUITE_P(Counts, EjectOnlyZombies, ::testing::Values(1, 1100));

} // namespace
