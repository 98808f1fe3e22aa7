// The cleaners on a host where logind keeps the logins: a user whose only
// login is a session without a terminal (sftp, rsync, port forwarding), of
// which no login record is written, is spared while the session lasts.
#include <csignal>
#include <ctime>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "logind.h"
#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;
using ::testing::UnorderedElementsAre;

namespace
{

const std::string area = "/tmp/area";

using CleanersWithLogind = SystemTest;

// A session of the user's without a terminal, led by `leader`.
LogindSession noTerminalSession(const char *id, const User &user, pid_t leader)
{
    return {.id = id, .uid = user.uid, .user = user.name, .leader = leader};
}

void oldFile(const User &owner)
{
    std::string path = area + "/" + owner.name;
    writeFile(path, "left behind\n");
    ASSERT_EQ(chown(path.c_str(), owner.uid, 100), 0);
    setTimes(path, 1600000000, 1600000000);
}

Result clean(const char *cleaner)
{
    Result result = run({cleaner});
    EXPECT_EQ(result.status, 0) << cleaner;
    EXPECT_EQ(result.out + result.err, "") << cleaner;
    return result;
}

TEST_F(CleanersWithLogind, ReapFilesSparesASessionWithoutTerminalUntilItEnds)
{
    // No login records at all, and no configuration: the source is chosen
    // as on a host that never set it.
    UserProcess aliceSftp({.uid = alice.uid});
    UserProcess carolLeft({.uid = carol.uid});
    UserProcess bigidSftp({.uid = bigid.uid});
    FakeLogind logind({noTerminalSession("3", alice, aliceSftp.pid()),
                       {.id = "4", .uid = carol.uid, .leader = carolLeft.pid(), .state = "closing"},
                       noTerminalSession("5", bigid, bigidSftp.pid())});
    ASSERT_EQ(mkdir(area.c_str(), 0755), 0);
    for (const User &owner : {alice, bob, carol, bigid, wrapped})
        oldFile(owner);
    writeFile(reapFilesConfigPath, "path " + area + "\n");

    clean("ku_reapfiles");
    // carol has logged out; wrapped's id is bigid's cut to 16 bits.
    EXPECT_THAT(listDirectory(area), UnorderedElementsAre("alice", "bigid"));

    logind.setSessions({});
    clean("ku_reapfiles");
    EXPECT_THAT(listDirectory(area), ::testing::IsEmpty());
    EXPECT_THAT(logind.calls(), ::testing::IsEmpty()) << "a cleaner ended a session";
}

TEST_F(CleanersWithLogind, ReapProcsSparesASessionWithoutTerminalUntilItEnds)
{
    // The bus and logind run as root, as on a host.
    writeFile(reapProcsConfigPath, "exempt root\n");
    UserProcess aliceSftp({.uid = alice.uid});
    UserProcess aliceLeftBehind({.uid = alice.uid});
    UserProcess bobStray({.uid = bob.uid});
    UserProcess bigidSftp({.uid = bigid.uid});
    UserProcess wrappedStray({.uid = wrapped.uid});
    FakeLogind logind({noTerminalSession("3", alice, aliceSftp.pid()),
                       noTerminalSession("5", bigid, bigidSftp.pid())});

    clean("ku_reapprocs");
    EXPECT_EQ(bobStray.waitForExit(1s), 128 + SIGTERM);
    EXPECT_EQ(wrappedStray.waitForExit(1s), 128 + SIGTERM);
    // A signal sent just before the cleaner ended may still be on its way.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(aliceSftp.running());
    EXPECT_TRUE(aliceLeftBehind.running());
    EXPECT_TRUE(bigidSftp.running());

    logind.setSessions({noTerminalSession("5", bigid, bigidSftp.pid())});
    clean("ku_reapprocs");
    EXPECT_EQ(aliceSftp.waitForExit(1s), 128 + SIGTERM);
    EXPECT_EQ(aliceLeftBehind.waitForExit(1s), 128 + SIGTERM);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(bigidSftp.running());
    EXPECT_THAT(logind.calls(), ::testing::IsEmpty()) << "a cleaner ended a session";
}

} // namespace
