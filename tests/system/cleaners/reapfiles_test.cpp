// ku_reapfiles run as a scheduled job runs it, over real trees of files of
// the sandbox's users: what it removes, what it spares, and that nothing
// outside the configured directories is ever reached.
#include <cerrno>
#include <csignal>
#include <ctime>
#include <functional>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

namespace
{

constexpr std::time_t day = 86400;
const std::string area = "/tmp/area";
const std::string outside = "/tmp/outside";

using ReapFiles = SystemTest;

// A file of a user, last read and written `age` days ago.
void file(const std::string &path, const User &owner, int age = 30)
{
    writeFile(path, "left behind\n");
    ASSERT_EQ(lchown(path.c_str(), owner.uid, 100), 0) << path;
    std::time_t when = std::time(nullptr) - age * day;
    setTimes(path, when, when);
}

void directory(const std::string &path, const User &owner)
{
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
    ASSERT_EQ(chown(path.c_str(), owner.uid, 100), 0) << path;
}

// A directory outside the cleaned tree, holding a file nobody protects.
void outsideTree()
{
    directory(outside, alice);
    file(outside + "/precious", alice);
}

Result reap(const std::string &config)
{
    writeFile(reapFilesConfigPath, config);
    return run({"ku_reapfiles"});
}

void expectQuiet(const Result &result)
{
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

TEST_F(ReapFiles, RemovesWhatNoOwnerOrAgeProtectsAndNothingOutside)
{
    outsideTree();
    directory(area, root);
    file(area + "/alice", alice, 0);
    file(area + "/carol", carol, 60);
    directory(area + "/empty", bob);
    directory(area + "/empty/nested", bob);
    ASSERT_EQ(mkfifo((area + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(outside.c_str(), (area + "/link").c_str()), 0);
    directory(area + "/shared", alice); // holds a file that stays
    file(area + "/shared/carol", carol);
    directory(area + "/guest", guest); // exempt, but its content is not
    file(area + "/guest/bob", bob);
    addLogin("carol", "pts/3", 1700000000);

    expectQuiet(reap("exempt guest\npath " + area + "\n"));
    EXPECT_THAT(listDirectory(area), UnorderedElementsAre("carol", "shared", "guest"));
    EXPECT_THAT(listDirectory(area + "/shared"), ElementsAre("carol"));
    EXPECT_THAT(listDirectory(area + "/guest"), IsEmpty());
    EXPECT_THAT(listDirectory(outside), ElementsAre("precious"));
}

// A threshold is in force for the "path" lines below it only.
struct AgeCase {
    const char *keyword;
    bool ageAccess;
    bool ageModification;
    std::vector<std::string> keptBelow;
};

class ReapFilesAges : public ReapFiles, public ::testing::WithParamInterface<AgeCase>
{
};

TEST_P(ReapFilesAges, ApplyToThePathsBelowThemOnly)
{
    const AgeCase &age = GetParam();
    std::time_t now = std::time(nullptr);
    for (const char *place : {"/tmp/above", "/tmp/below"}) {
        directory(place, root);
        for (auto [name, days] : {std::pair{"six", 6}, std::pair{"eight", 8}}) {
            std::string path = std::string(place) + "/" + name;
            file(path, alice, 0);
            setTimes(path, age.ageAccess ? now - days * day : now,
                     age.ageModification ? now - days * day : now);
        }
    }
    expectQuiet(reap(std::string("path /tmp/above\n") + age.keyword + " 7\npath /tmp/below\n"));
    EXPECT_THAT(listDirectory("/tmp/above"), IsEmpty());
    EXPECT_THAT(listDirectory("/tmp/below"), UnorderedElementsAreArray(age.keptBelow));
}

INSTANTIATE_TEST_SUITE_P(Keywords, ReapFilesAges,
                         ::testing::Values(AgeCase{"atime", true, false, {"six"}},
                                           AgeCase{"MTime", false, true, {"six"}},
                                           // Both were changed just now, when their times were set.
                                           AgeCase{"ctime", true, true, {"six", "eight"}}));

// Exemptions take effect in the order of the lines.
struct ExemptCase {
    std::string config;
    std::vector<std::string> kept;
};

class ReapFilesExemptions : public ReapFiles, public ::testing::WithParamInterface<ExemptCase>
{
};

std::string repeated(const std::string &word, int times)
{
    std::string words;
    for (int i = 0; i < times; ++i)
        words += " " + word;
    return words;
}

TEST_P(ReapFilesExemptions, SpareTheOwnersListedAtTheTime)
{
    directory(area, root);
    for (const User &owner : {alice, bob, carol, bigid, wrapped})
        file(area + "/" + owner.name, owner);
    expectQuiet(reap(GetParam().config));
    EXPECT_THAT(listDirectory(area), UnorderedElementsAreArray(GetParam().kept));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReapFilesExemptions,
    ::testing::Values(
        ExemptCase{"exempt alice nosuchuser bob\nunexempt bob\npath /tmp/area\n", {"alice"}},
        ExemptCase{"exempt carol alice carol\nunexempt carol\npath /tmp/area\n", {"alice"}},
        ExemptCase{"EXEMPT bob\npath /tmp/area\nexempt alice\n", {"bob"}},
        ExemptCase{"exempt" + repeated("alice", 255) + " bob\npath /tmp/area\n", {"alice", "bob"}},
        // A full list takes no more, on that line or a later one.
        ExemptCase{"exempt" + repeated("alice", 256) + " bob\nexempt carol\npath /tmp/area\n",
                   {"alice"}},
        // Ids are compared whole: bigid's is not the one cut to 16 bits.
        ExemptCase{"exempt bigid\npath /tmp/area\n", {"bigid"}},
        ExemptCase{"exempt wrapped\npath /tmp/area\n", {"wrapped"}},
        // A line is read whole, however long: no piece of it is a line.
        ExemptCase{"#" + std::string(254, '-') + "path /tmp/area\n",
                   {"alice", "bob", "carol", "bigid", "wrapped"}},
        ExemptCase{"exempt" + repeated("nosuchuser", 30) + " carol\npath /tmp/area\n", {"carol"}}));

TEST_F(ReapFiles, TouchesWhatIsDatedInTheFutureAndThenJudgesIt)
{
    outsideTree();
    std::time_t future = std::time(nullptr) + 10 * day;
    setTimes(outside + "/precious", future, future);
    directory(area, root);
    file(area + "/ahead", alice);
    setTimes(area + "/ahead", future, future);
    ASSERT_EQ(symlink((outside + "/precious").c_str(), (area + "/link").c_str()), 0);
    setTimes(area + "/link", future, future);
    file(area + "/old", alice);

    std::time_t before = std::time(nullptr);
    expectQuiet(reap("mtime 1\npath " + area + "\n"));
    std::time_t after = std::time(nullptr);
    EXPECT_THAT(listDirectory(area), UnorderedElementsAre("ahead", "link"));
    for (const char *name : {"/ahead", "/link"}) {
        struct stat status = statusOf(area + name);
        EXPECT_GE(status.st_mtime, before) << name;
        EXPECT_LE(status.st_mtime, after) << name;
        EXPECT_LE(status.st_atime, after) << name;
    }
    EXPECT_EQ(statusOf(outside + "/precious").st_mtime, future) << "touched through the link";
}

TEST_F(ReapFiles, NeverTouchesAFileOutsideThroughAHardLink)
{
    outsideTree();
    std::time_t future = std::time(nullptr) + 10 * day;
    setTimes(outside + "/precious", future, future);
    directory(area, root);
    ASSERT_EQ(link((outside + "/precious").c_str(), (area + "/other-name").c_str()), 0);
    expectQuiet(reap("path " + area + "\n"));
    struct stat precious = statusOf(outside + "/precious");
    EXPECT_EQ(precious.st_atime, future);
    EXPECT_EQ(precious.st_mtime, future);
    // Dated in the future, the name in the tree is younger than any age.
    EXPECT_THAT(listDirectory(area), ElementsAre("other-name"));
}

// A mount that lives as long as the object.
struct Mount {
    std::string target;
    Mount(const char *source, const std::string &at, const char *type, unsigned long flags)
        : target(at)
    {
        EXPECT_EQ(mount(source, at.c_str(), type, flags, nullptr), 0) << at;
    }
    ~Mount() { umount2(target.c_str(), MNT_DETACH); }
};

TEST_F(ReapFiles, NeverEntersAnotherMountInsideTheTree)
{
    outsideTree();
    directory(area, root);
    directory(area + "/tmpfs", alice);
    directory(area + "/bound", alice);
    file(area + "/boundfile", alice);
    file(area + "/old", alice);
    Mount tmpfs("tmpfs", area + "/tmpfs", "tmpfs", 0);
    file(area + "/tmpfs/inside", alice);
    // Binds of the same file system: only the mount tells them apart.
    Mount boundDirectory(outside.c_str(), area + "/bound", nullptr, MS_BIND);
    Mount boundFile((outside + "/precious").c_str(), area + "/boundfile", nullptr, MS_BIND);
    std::time_t future = std::time(nullptr) + 10 * day;
    setTimes(outside + "/precious", future, future);

    expectQuiet(reap("path " + area + "\n"));
    EXPECT_THAT(listDirectory(area), UnorderedElementsAre("tmpfs", "bound", "boundfile"));
    EXPECT_THAT(listDirectory(area + "/tmpfs"), ElementsAre("inside"));
    EXPECT_THAT(listDirectory(outside), ElementsAre("precious"));
    EXPECT_EQ(statusOf(outside + "/precious").st_mtime, future) << "touched through a mount";
}

// The text at `address` in a traced process.
std::string tracedText(pid_t pid, std::uint64_t address)
{
    char text[4096] = "";
    iovec local{text, sizeof text - 1};
    iovec remote{reinterpret_cast<void *>(address), sizeof text - 1};
    process_vm_readv(pid, &local, 1, &remote, 1, 0);
    return text;
}

// Whether the traced process stands at the entry of an open of `name`.
bool opening(pid_t pid, const std::string &name)
{
    __ptrace_syscall_info call{};
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof call, &call) <= 0 ||
        call.op != PTRACE_SYSCALL_INFO_ENTRY)
        return false;
    std::uint64_t path = 0;
    if (call.entry.nr == SYS_openat || call.entry.nr == SYS_openat2)
        path = call.entry.args[1];
#ifdef SYS_open
    else if (call.entry.nr == SYS_open)
        path = call.entry.args[0];
#endif
    else
        return false;
    std::string opened = tracedText(pid, path);
    return opened == name || opened.ends_with("/" + name);
}

// Runs ku_reapfiles under a tracer that stops it as it is about to open a
// file named `name`, and calls `atOpen` before the open goes on.
Result reapStoppedAtOpen(const std::string &name, const std::function<void()> &atOpen)
{
    Running running;
    running.out = memfd_create("stdout", MFD_CLOEXEC);
    running.err = memfd_create("stderr", MFD_CLOEXEC);
    running.pid = fork();
    if (running.pid == 0) {
        dup2(running.out, 1);
        dup2(running.err, 2);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        // A leak checker cannot look at a process that is already traced.
        const char *environment[] = {"ASAN_OPTIONS=detect_leaks=0", nullptr};
        execle("/usr/sbin/ku_reapfiles", "ku_reapfiles", nullptr, environment);
        _exit(127);
    }
    int status = 0;
    waitpid(running.pid, &status, 0);
    ptrace(PTRACE_SETOPTIONS, running.pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    bool stopped = false;
    for (int signal = 0;; signal = 0) {
        if (ptrace(PTRACE_SYSCALL, running.pid, nullptr, signal) != 0 ||
            waitpid(running.pid, &status, 0) < 0 || !WIFSTOPPED(status))
            break;
        if (WSTOPSIG(status) == (SIGTRAP | 0x80) && !stopped && opening(running.pid, name)) {
            atOpen();
            stopped = true;
        } else if (WSTOPSIG(status) != SIGTRAP && WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signal = WSTOPSIG(status); // the program's own, passed on
        }
    }
    EXPECT_TRUE(stopped) << "ku_reapfiles never opened " << name;
    running.reaped = true;
    running.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return finish(running);
}

TEST_F(ReapFiles, NeverFollowsADirectorySwappedForALinkDuringTheWalk)
{
    outsideTree();
    directory(area, root);
    directory(area + "/victim", alice);
    file(area + "/victim/inner", alice);
    writeFile(reapFilesConfigPath, "path " + area + "\n");
    Result result = reapStoppedAtOpen("victim", [] {
        ASSERT_EQ(rename((area + "/victim").c_str(), "/tmp/moved"), 0);
        ASSERT_EQ(symlink(outside.c_str(), (area + "/victim").c_str()), 0);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "opendir: Not a directory\n");
    EXPECT_THAT(listDirectory(outside), ElementsAre("precious"));
    EXPECT_THAT(listDirectory("/tmp/moved"), ElementsAre("inner"));
}

// A chain of directories of alice's below `top`, each holding a file "f",
// made relative to one another: no path could name the deepest.
void deepTree(const std::string &top, int levels, const std::string &name)
{
    int at = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 1; level <= levels; ++level) {
        ASSERT_EQ(mkdirat(at, name.c_str(), 0755), 0) << level;
        int next = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(at);
        at = next;
        int made = openat(at, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_EQ(fchown(made, alice.uid, 100), 0) << level;
        close(made);
    }
    close(at);
}

// How many levels of the chain still hold their file.
int filesLeft(const std::string &top, const std::string &name)
{
    int files = 0;
    for (int at = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); at >= 0;) {
        int next = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(at);
        at = next;
        files += at >= 0 && faccessat(at, "f", F_OK, 0) == 0 ? 1 : 0;
    }
    return files;
}

TEST_F(ReapFiles, CleansATreeWhoseNamesNoPathCouldHold)
{
    directory(area, root);
    deepTree(area, 40, std::string(200, 'd')); // 8,000 characters deep
    expectQuiet(reap("path " + area + "\n"));
    EXPECT_THAT(listDirectory(area), IsEmpty());
}

// Too deep for the descriptors the process may open, or for the 1,024
// levels the cleaner allows itself.
class ReapFilesDepth : public ReapFiles, public ::testing::WithParamInterface<const char *>
{
};

TEST_P(ReapFilesDepth, ATreeTooDeepIsReportedAndSkippedAndTheRunGoesOn)
{
    directory(area, root);
    file(area + "/old", alice);
    deepTree(area, 1100, "d");
    writeFile(reapFilesConfigPath, "path " + area + "\n");
    Result result = run({"/bin/sh", "-c", std::string(GetParam()) + "exec /usr/sbin/ku_reapfiles"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "opendir: Too many open files\n");
    EXPECT_FALSE(exists(area + "/old"));
    int files = filesLeft(area, "d");
    EXPECT_GT(files, 0) << "the part beyond reach is kept";
    EXPECT_LT(files, 1100) << "the part within reach is cleaned";
    rlimit descriptors{};
    if (GetParam()[0] == '\0' && getrlimit(RLIMIT_NOFILE, &descriptors) == 0 &&
        descriptors.rlim_cur > 1100) {
        EXPECT_EQ(files, 1100 - 1024);
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, ReapFilesDepth, ::testing::Values("ulimit -n 16; ", ""));

struct FailureCase {
    std::string config; // none: no configuration file
    int status;
    std::string err;
    bool areaCleaned;
};

class ReapFilesFailures : public ReapFiles, public ::testing::WithParamInterface<FailureCase>
{
};

TEST_P(ReapFilesFailures, AreReportedAndTouchNothingElse)
{
    outsideTree();
    ASSERT_EQ(symlink(outside.c_str(), "/tmp/link"), 0);
    directory(area, root);
    file(area + "/old", alice);
    if (!GetParam().config.empty())
        writeFile(reapFilesConfigPath, GetParam().config);
    Result result = run({"ku_reapfiles"});
    EXPECT_EQ(result.status, GetParam().status);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, GetParam().err);
    EXPECT_EQ(exists(area + "/old"), !GetParam().areaCleaned);
    EXPECT_THAT(listDirectory(outside), ElementsAre("precious"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReapFilesFailures,
    ::testing::Values(FailureCase{"", 1, "fopen: No such file or directory\n", false},
                      FailureCase{"path /tmp/missing\npath /tmp/area\n", 0,
                                  "opendir: No such file or directory\n", true},
                      // The directory named is a link: a user may have put it there.
                      FailureCase{"path /tmp/link\npath /tmp/area\n", 0,
                                  "opendir: Not a directory\n", true},
                      FailureCase{"path /tmp/link//\n", 0, "opendir: Not a directory\n", false},
                      // Nor is a link on the way to it.
                      FailureCase{"path /tmp/link/.\n", 0,
                                  "opendir: Too many levels of symbolic links\n", false}));

} // namespace
