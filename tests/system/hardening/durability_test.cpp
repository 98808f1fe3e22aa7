// A change is on the disk before a command confirms it. The kernel is made
// to refuse every fsync and fdatasync of the program under test, as a disk
// that cannot take the writes would: no command may then confirm its change,
// end successfully or leave the change in the file for a second run to make
// again. The monitor's writes are synced once, when it closes the file.
#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "internal.h"
#include "sandbox.h"

using namespace sandbox;

namespace
{

#if defined(__x86_64__)
constexpr std::uint32_t thisArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t thisArchitecture = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t thisArchitecture = 0;
#endif

// From now on, in this process and what it runs, fsync and fdatasync fail
// with EIO and do nothing. False if the kernel takes no such filter.
bool failSyncs()
{
    if (thisArchitecture == 0)
        return false;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, thisArchitecture, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fsync, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fdatasync, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Runs an installed program as root with its syncs failing.
Result runWithFailingSyncs(const std::vector<std::string> &argv)
{
    return runFunction([&argv] {
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
        char *environment[] = {path, nullptr};
        std::string program = "/usr/sbin/" + argv.at(0);
        if (!exists(program))
            program = "/usr/bin/" + argv.at(0);
        if (!failSyncs())
            _exit(126);
        execve(program.c_str(), args.data(), environment);
        _exit(127);
    });
}

class Durability : public SystemTest
{
  protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        if (IsSkipped())
            return;
        // The means of the test must work, or every expectation below
        // would hold for want of a failing sync.
        Result probe = runFunction([] {
            if (!failSyncs())
                _exit(2);
            errno = 0;
            _exit(fsync(STDOUT_FILENO) == -1 && errno == EIO ? 0 : 3);
        });
        if (probe.status == 2)
            GTEST_SKIP() << "the kernel takes no system call filter here";
        ASSERT_EQ(probe.status, 0) << "a filtered fsync did not fail";

        writeConfig("PhNoLocalFormat 3-4\n");
        UserRecord subscribed = withLeft(bob.uid, 20);
        subscribed.flags |= flagSubscribed;
        writeAccounts({withLeft(alice.uid, 10), subscribed});
        writeBans({BanRecord{0, 0, 5550001, 0}});
    }
};

// A command that changes a record file and says so, by its output or by
// its status alone.
struct Change {
    const char *name;
    std::vector<std::string> argv;
    const char *path; // of the file it changes
    std::string confirmation;
};

class Changes : public Durability, public ::testing::WithParamInterface<Change>
{
};

TEST_P(Changes, AreNotConfirmedWhenTheirFileCannotBeSynced)
{
    const Change &change = GetParam();
    std::string accounts = readAccounts();
    std::string bans = readBans();

    Result failed = runWithFailingSyncs(change.argv);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err, std::string(change.path) + ": Input/output error\n");
    EXPECT_EQ(readAccounts(), accounts);
    EXPECT_EQ(readBans(), bans);
    expectNoCopiesLeft();

    // The same command on a disk that takes it.
    Result done = run(change.argv);
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out, change.confirmation);
    EXPECT_NE(readAccounts() + readBans(), accounts + bans);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Changes,
    ::testing::Values(
        Change{"Limits",
               {"ku_limits", "alice", "tLeft", "+=", "5"},
               userFilePath,
               "user modified: alice\n"},
        Change{"Stamp", {"ku_stamp", "alice"}, userFilePath, "user touched: alice\n"},
        Change{
            "Optin", {"ku_optin", "alice", "30", "600"}, userFilePath, "user subscribed: alice\n"},
        Change{"Optout", {"ku_optout", "bob"}, userFilePath, "user unsubscribed: bob\n"},
        Change{"Enrol", {"ku_enrol", "carol", "0", "60"}, userFilePath, "user added: carol\n"},
        Change{
            "Block", {"ku_block", "0", "5559999"}, banFilePath, "phone number banned: 5559999\n"},
        Change{"Remove", {"ku_remove", "alice"}, userFilePath, "user deleted: alice\n"},
        Change{"Refill", {"ku_refill"}, userFilePath, ""}),
    [](const auto &param) { return std::string(param.param.name); });

TEST_F(Durability, ARelativeChangeThatFailedIsMadeOnceByTheNextRun)
{
    ASSERT_EQ(runWithFailingSyncs({"ku_limits", "alice", "tLeft", "+=", "5"}).status, 1);
    ASSERT_EQ(run({"ku_limits", "alice", "tLeft", "+=", "5"}).status, 0);
    EXPECT_EQ(recordOf(alice.uid).tLeft, 15);
}

// The monitor's pass, as it uses the library: every record read, each
// rewritten, the file closed.
std::string passOverAccounts(bool syncOnClose)
{
    userFileOpen();
    if (syncOnClose)
        userFileSyncOnClose();
    int rewritten = 0;
    UserRecord record;
    while (userFileRead(&record) == 0) {
        record.tLeft -= 1;
        rewritten += userFileRewrite(&record) == 0 ? 1 : 0;
    }
    bool closed = closeRecordFile(userFile, userFileFD);
    return std::to_string(rewritten) + " rewritten, " +
           (closed ? "closed" : "the close's sync failed");
}

TEST_F(Durability, AfterSyncOnCloseTheWritesAreSyncedOnceWhenTheFileCloses)
{
    // No sync is asked for until the close, and the close asks for one.
    Result deferred = runFunction([] {
        failSyncs();
        std::printf("%s\n", passOverAccounts(true).c_str());
    });
    EXPECT_EQ(deferred.out, "2 rewritten, the close's sync failed\n");
    EXPECT_EQ(recordOf(alice.uid).tLeft, 9);
    EXPECT_EQ(recordOf(bob.uid).tLeft, 19);

    // Each write asks for its own sync otherwise.
    Result each = runFunction([] {
        failSyncs();
        std::printf("%s\n", passOverAccounts(false).c_str());
    });
    EXPECT_EQ(each.out, "0 rewritten, closed\n");
    EXPECT_EQ(recordOf(alice.uid).tLeft, 9);

    // Synced, the same pass goes through.
    Result synced = runFunction([] { std::printf("%s\n", passOverAccounts(true).c_str()); });
    EXPECT_EQ(synced.out, "2 rewritten, closed\n");
    EXPECT_EQ(recordOf(alice.uid).tLeft, 8);
}

TEST_F(Durability, APassThatWritesNothingClosesWithoutASync)
{
    Result result = runFunction([] {
        failSyncs();
        userFileOpen();
        userFileSyncOnClose();
        UserRecord record;
        while (userFileRead(&record) == 0) {
        }
        std::printf("%s\n",
                    closeRecordFile(userFile, userFileFD) ? "closed" : "the close's sync failed");
    });
    EXPECT_EQ(result.out, "closed\n");
}

} // namespace
