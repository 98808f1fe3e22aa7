// Commands whose standard output cannot be written: a listing or a
// confirmation that was lost is a failure, not a success.
#include <sys/mount.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

const std::string full = "/tmp/full";

class LostOutput : public SystemTest, public ::testing::WithParamInterface<std::string>
{
  protected:
    // A file system with no block left for what the command prints.
    void SetUp() override
    {
        SystemTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
        ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=4k"), 0);
        writeFile(full + "/filler", std::string(4096, 'x'));
    }
    void TearDown() override
    {
        umount2(full.c_str(), MNT_DETACH);
        SystemTest::TearDown();
    }
};

TEST_P(LostOutput, EndsTheCommandWithStatusOne)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    writeAccounts({accountFor(alice.uid)});
    writeBans({BanRecord{0, 0, 5551234, 0}});
    Result result = run({"/bin/sh", "-c", GetParam() + " > " + full + "/output"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "stdout: No space left on device\n");
}

INSTANTIATE_TEST_SUITE_P(Commands, LostOutput,
                         ::testing::Values("ku_block -l", "ku_daysleft", "ku_stamp alice",
                                           "ku_unblock 5551234", "ku_list"));

} // namespace
