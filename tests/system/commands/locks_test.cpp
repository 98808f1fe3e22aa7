// The record files' locks against users who would hold up their writers: a
// lock taken and kept, a reader stopped while it prints, a listing piped
// into a pager nobody reads. Root's writers wait a few seconds at most, and
// lose nothing; root's readers do not wait for users at all.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace
{

using Locks = SystemTest;

// A process of a user that opens a file for reading, takes a lock on it and
// keeps it until the object goes.
class HeldLock
{
  public:
    HeldLock(const char *path, int operation, uid_t uid)
    {
        int ready[2];
        EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            if (setgid(100) != 0 || setuid(uid) != 0)
                _exit(126);
            int fd = open(path, O_RDONLY);
            if (fd < 0 || flock(fd, operation) != 0 || write(ready[1], "", 1) != 1)
                _exit(125);
            for (;;)
                pause();
        }
        close(ready[1]);
        char byte;
        EXPECT_EQ(read(ready[0], &byte, 1), 1) << "the lock was not taken";
        close(ready[0]);
    }
    ~HeldLock()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;

    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// Runs a command and gives how long it took as well.
struct Timed {
    Result result;
    std::chrono::steady_clock::duration took;
};
Timed timedRun(const std::vector<std::string> &argv)
{
    auto begun = std::chrono::steady_clock::now();
    Result result = run(argv);
    return {result, std::chrono::steady_clock::now() - begun};
}

struct HeldCase {
    const char *name;
    int operation;
};

class LocksHeldByAUser : public SystemTest, public ::testing::WithParamInterface<HeldCase>
{
};

TEST_P(LocksHeldByAUser, HoldUpARootWriterOnlyFiveSecondsAndLoseNothing)
{
    writeConfig("");
    writeAccounts({withLeft(alice.uid, 100), withLeft(bob.uid, 100)});
    HeldLock held(userFilePath, GetParam().operation, alice.uid);
    Timed limits = timedRun({"ku_limits", "alice", "tLeft", "+=", "60"});
    EXPECT_EQ(limits.result.status, 0);
    EXPECT_EQ(limits.result.out, "user modified: alice\n");
    EXPECT_EQ(limits.result.err,
              "account file held by pid " + std::to_string(held.pid()) + " (alice) for 5 s\n");
    EXPECT_GE(limits.took, 5s);
    EXPECT_LT(limits.took, 15s) << "the writer waited past its bound";
    EXPECT_EQ(readAccounts(), userRecordImage({withLeft(alice.uid, 160), withLeft(bob.uid, 100)}));

    // Root's readers wait for no user at all.
    Timed list = timedRun({"ku_list", "alice"});
    EXPECT_EQ(list.result.status, 0);
    EXPECT_THAT(list.result.out, HasSubstr("alice N/A 4 160 600"));
    EXPECT_EQ(list.result.err, "");
    EXPECT_LT(list.took, 3s);
}

TEST_P(LocksHeldByAUser, HoldUpARootRewriteOnlyFiveSeconds)
{
    writeAccounts({accountFor(alice.uid), accountFor(bob.uid)});
    HeldLock held(userFilePath, GetParam().operation, alice.uid);
    Timed remove = timedRun({"ku_remove", "bob"});
    EXPECT_EQ(remove.result.status, 0);
    EXPECT_EQ(remove.result.out, "user deleted: bob\n");
    EXPECT_THAT(remove.result.err, HasSubstr("account file held by pid"));
    EXPECT_LT(remove.took, 15s);
    EXPECT_EQ(readAccounts(), userRecordImage({accountFor(alice.uid)}));
}

TEST_P(LocksHeldByAUser, HoldUpTheBanFilesWritersOnlyFiveSeconds)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    writeBans({});
    HeldLock held(banFilePath, GetParam().operation, bob.uid);
    Timed block = timedRun({"ku_block", "0", "5551234"});
    EXPECT_EQ(block.result.status, 0);
    EXPECT_EQ(block.result.out, "phone number banned: 5551234\n");
    EXPECT_EQ(block.result.err,
              "ban file held by pid " + std::to_string(held.pid()) + " (bob) for 5 s\n");
    EXPECT_LT(block.took, 15s);
    EXPECT_EQ(readBans(), banRecordImage({BanRecord{0, 0, 5551234, 0}}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, LocksHeldByAUser,
                         ::testing::Values(HeldCase{"shared", LOCK_SH},
                                           HeldCase{"exclusive", LOCK_EX}),
                         [](const auto &test) { return std::string(test.param.name); });

TEST_F(Locks, WritersStillWaitForEachOtherHoweverLong)
{
    writeAccounts({withLeft(alice.uid, 100)});
    ASSERT_EQ(run({"ku_stamp", "alice"}).status, 0); // lays out the writers' lock
    // A writer in the middle of its work holds the writers' lock.
    int writers = open("/run/kestrune/kestrune_users.lock", O_RDWR | O_CLOEXEC);
    ASSERT_GE(writers, 0);
    ASSERT_EQ(flock(writers, LOCK_EX), 0);
    Running second = start({"ku_limits", "alice", "tLeft", "+=", "1"});
    std::this_thread::sleep_for(7s);
    EXPECT_FALSE(second.finished()) << "a writer went on while another was at work";
    close(writers);
    Result result = finish(second);
    EXPECT_EQ(result.out, "user modified: alice\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(accountRecords().at(0).tLeft, 101);
}

TEST_F(Locks, TheWritersLockIsRootsAlone)
{
    writeAccounts({accountFor(alice.uid)});
    ASSERT_EQ(run({"ku_stamp", "alice"}).status, 0);
    struct stat directory = statusOf("/run/kestrune");
    EXPECT_EQ(directory.st_uid, 0u);
    EXPECT_EQ(directory.st_mode & 07777, 0700u);
    Result result =
        run({"/usr/bin/flock", "-s", "/run/kestrune/kestrune_users.lock", "true"}, alice.uid);
    EXPECT_NE(result.status, 0) << "a user could take the writers' lock";
}

TEST_F(Locks, RootsReadersNeedNoWritableProductDirectory)
{
    writeConfig("");
    UserRecord record = accountFor(alice.uid);
    record.expire = static_cast<std::int32_t>(std::time(nullptr) + 36 * 3600 + 60);
    writeAccounts({record});
    ASSERT_EQ(mount(productDir, productDir, nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, productDir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    Result list = run({"ku_list"});
    Result daysLeft = run({"ku_daysleft"});
    umount2(productDir, MNT_DETACH);
    EXPECT_EQ(list.status, 0);
    EXPECT_THAT(list.out, ::testing::StartsWith("alice N/A 4 600 600 120 120 0.00 KB DELETE "));
    EXPECT_EQ(list.err, "");
    EXPECT_EQ(daysLeft.out, "no expiration date!\n"); // root has no account
    EXPECT_EQ(daysLeft.err, "");
}

TEST_F(Locks, RootReadsAMissingAccountFileAsEmptyAndMakesNone)
{
    writeConfig("");
    Result list = run({"ku_list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out + list.err, "");
    EXPECT_FALSE(exists(userFilePath));
}

// A terminal whose output is stopped, as by ^S: whatever writes to it waits.
class StoppedTerminal
{
  public:
    StoppedTerminal()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master_, 0);
        EXPECT_EQ(unlockpt(master_), 0);
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(slave_, 0);
        termios settings;
        EXPECT_EQ(tcgetattr(slave_, &settings), 0);
        cfmakeraw(&settings);
        EXPECT_EQ(tcsetattr(slave_, TCSANOW, &settings), 0);
        EXPECT_EQ(tcflow(slave_, TCOOFF), 0);
    }
    ~StoppedTerminal()
    {
        close(slave_);
        close(master_);
    }
    int slave() const { return slave_; }
    void resume() { tcflow(slave_, TCOON); }
    std::string read(std::size_t atLeast)
    {
        std::string text;
        char buffer[256];
        while (text.size() < atLeast) {
            ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
};

// Starts an installed program as a user with its standard output on `fd`.
pid_t startWithOutput(const std::vector<std::string> &argv, uid_t uid, int fd)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(fd, STDOUT_FILENO);
        if (setgid(100) != 0 || setuid(uid) != 0)
            _exit(126);
        execv(args[0], args.data());
        _exit(127);
    }
    return child;
}

// Whether the process is asleep in the kernel, as one blocked on a write.
bool blocked(pid_t pid)
{
    for (int i = 0; i < 200; ++i) {
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        std::size_t end = stat.rfind(')');
        if (end != std::string::npos && stat.substr(end + 2, 1) == "S")
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST_F(Locks, AStoppedDaysLeftHoldsNothingWhileItWaitsToPrint)
{
    UserRecord record = accountFor(alice.uid);
    record.expire = static_cast<std::int32_t>(std::time(nullptr) + 36 * 3600 + 60);
    writeAccounts({record});
    StoppedTerminal terminal;
    pid_t daysLeft = startWithOutput({"/usr/bin/ku_daysleft"}, alice.uid, terminal.slave());
    ASSERT_TRUE(blocked(daysLeft));

    Timed limits = timedRun({"ku_limits", "alice", "tLeft", "+=", "1"});
    EXPECT_EQ(limits.result.out, "user modified: alice\n");
    EXPECT_EQ(limits.result.err, "") << "the writer waited for the stopped reader";

    terminal.resume();
    EXPECT_EQ(terminal.read(23), "1.50 day(s) remaining.\n");
    int status = 0;
    ASSERT_EQ(waitpid(daysLeft, &status, 0), daysLeft);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Output that fills a pipe many times over.
std::vector<UserRecord> manyAccounts()
{
    std::vector<UserRecord> records;
    for (uid_t uid : {alice.uid, bob.uid, guest.uid, carol.uid}) {
        for (int i = 0; i < 1000; ++i)
            records.push_back(accountFor(uid));
    }
    return records;
}

// Drains a pipe to its end.
std::string drain(int fd)
{
    std::string text;
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

struct PagerCase {
    const char *name;
    std::vector<std::string> lister;
    uid_t uid;
    long lines;
    std::vector<std::string> writer; // a root command that writes the same file
    std::string confirmation;
};

class Pagers : public SystemTest, public ::testing::WithParamInterface<PagerCase>
{
};

TEST_P(Pagers, AListingNobodyReadsHoldsUpNoWriter)
{
    writeConfig("PhNoLocalFormat 3-4\n");
    writeAccounts(manyAccounts());
    std::vector<BanRecord> bans(4000, BanRecord{0, 555, 1234, 0});
    writeBans(bans);
    int pager[2];
    ASSERT_EQ(pipe2(pager, O_CLOEXEC), 0);
    pid_t lister = startWithOutput(GetParam().lister, GetParam().uid, pager[1]);
    close(pager[1]);
    ASSERT_TRUE(blocked(lister));

    Timed writer = timedRun(GetParam().writer);
    EXPECT_EQ(writer.result.out, GetParam().confirmation);
    EXPECT_EQ(writer.result.err, "") << "the writer waited for the listing";

    std::string listing = drain(pager[0]);
    close(pager[0]);
    int status = 0;
    ASSERT_EQ(waitpid(lister, &status, 0), lister);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Listings, Pagers,
                         ::testing::Values(PagerCase{"accounts_as_root",
                                                     {"/usr/sbin/ku_list"},
                                                     0,
                                                     4000,
                                                     {"ku_limits", "alice", "tLeft", "+=", "1"},
                                                     "user modified: alice\n"},
                                           PagerCase{"accounts_as_a_user",
                                                     {"/usr/sbin/ku_list"},
                                                     alice.uid,
                                                     4000,
                                                     {"ku_limits", "alice", "tLeft", "+=", "1"},
                                                     "user modified: alice\n"},
                                           // Two lines of heading before the bans.
                                           PagerCase{"bans",
                                                     {"/usr/sbin/ku_block", "-l"},
                                                     0,
                                                     4002,
                                                     {"ku_block", "0", "5559999"},
                                                     "phone number banned: 5559999\n"}),
                         [](const auto &test) { return std::string(test.param.name); });

} // namespace
