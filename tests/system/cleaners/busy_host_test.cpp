// The cleaners on a busy host: whom they end and what they remove must not
// depend on how many processes and login records of others come first.
#include <csignal>
#include <ctime>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;
using ::testing::AnyOf;
using ::testing::ElementsAre;

namespace
{

constexpr int terminated = 128 + SIGTERM;
constexpr int killed = 128 + SIGKILL;

void expectQuiet(const Result &result)
{
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

// How many processes of bob, without a terminal and not logged in, run
// before the test's own.
class ReapProcsAmongProcesses : public SystemTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(ReapProcsAmongProcesses, EndsAStrayProcessBehindThemAll)
{
    writeFile(reapProcsConfigPath, "");
    std::unique_ptr<Crowd> crowd;
    if (GetParam() > 0)
        crowd = std::make_unique<Crowd>(bob.uid, GetParam());
    UserProcess stray({.uid = alice.uid});

    expectQuiet(run({"ku_reapprocs"}));
    EXPECT_THAT(stray.waitForExit(1s), AnyOf(terminated, killed)) << "alice's stray still runs";
    if (crowd) {
        EXPECT_TRUE(crowd->ended()) << "some of bob's processes still run";
    }
}

INSTANTIATE_TEST_SUITE_P(Hosts, ReapProcsAmongProcesses, ::testing::Values(0, 1100));

// How many login records of bob come before alice's.
class CleanersAmongLogins : public SystemTest, public ::testing::WithParamInterface<int>
{
  protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        if (IsSkipped())
            return;
        auto now = static_cast<std::int32_t>(std::time(nullptr));
        for (int i = 0; i < GetParam(); ++i)
            addLogin("bob", "tty" + std::to_string(300 + i), now);
        addLogin("alice", "pts/5", now);
    }
};

TEST_P(CleanersAmongLogins, ReapProcsSparesALoggedInUsersDetachedProcess)
{
    writeFile(reapProcsConfigPath, "");
    UserProcess alices({.uid = alice.uid});
    UserProcess carols({.uid = carol.uid}); // carol is not logged in

    expectQuiet(run({"ku_reapprocs"}));
    EXPECT_EQ(carols.waitForExit(1s), terminated);
    EXPECT_TRUE(alices.running()) << "alice is logged in";
}

TEST_P(CleanersAmongLogins, ReapFilesSparesALoggedInUsersOldFile)
{
    const std::string area = "/tmp/area";
    ASSERT_EQ(mkdir(area.c_str(), 0755), 0);
    std::time_t old = std::time(nullptr) - 30 * 86400;
    for (const User &owner : {alice, carol}) {
        std::string path = area + "/" + owner.name;
        writeFile(path, "left behind\n");
        ASSERT_EQ(chown(path.c_str(), owner.uid, 100), 0);
        setTimes(path, old, old);
    }
    writeFile(reapFilesConfigPath, "path " + area + "\n");

    expectQuiet(run({"ku_reapfiles"}));
    EXPECT_THAT(listDirectory(area), ElementsAre("alice"));
}

INSTANTIATE_TEST_SUITE_P(Hosts, CleanersAmongLogins, ::testing::Values(0, 300));

} // namespace
