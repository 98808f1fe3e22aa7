// Error exits, running programs and copying files.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <syslog.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace
{

using Utilities = SystemTest;

TEST_F(Utilities, RunProgramPassesTheBaseNameAsArgumentZero)
{
    Result result = runFunction([] {
        runProgram("/bin/cat", "/proc/self/cmdline", nullptr);
        // A path without "/" is taken as it stands, from the working directory.
        if (chdir("/bin") == 0)
            runProgram("cat", "/proc/self/cmdline", nullptr);
    });
    EXPECT_EQ(result.status, 0);
    std::string once("cat\0/proc/self/cmdline\0", 23);
    EXPECT_EQ(result.out, once + once);
}

TEST_F(Utilities, RunProgramGivesTheExitCode)
{
    Result result = runFunction([] {
        std::printf("%d %d", runProgram("/bin/sh", "-c", "exit 3", nullptr),
                    runProgram("/bin/sh", "-c", "kill -9 $$", nullptr));
    });
    EXPECT_EQ(result.out, "3 0");
}

TEST_F(Utilities, RunProgramOfAMissingProgramGivesOne)
{
    Result result = runFunction([] {
        std::printf("pending ");
        std::printf("%d", runProgram("/usr/sbin/ku_nosuch", "x", nullptr));
    });
    EXPECT_EQ(result.status, 0);
    // Output still buffered when the child failed is printed once only.
    EXPECT_EQ(result.out, "pending 1");
    EXPECT_EQ(result.err, "execv: No such file or directory\n");
}

TEST_F(Utilities, RunProgramRefusesMoreArgumentsThanItsVectorHolds)
{
    Result result = runFunction([] {
        std::printf("%d", runProgram("/bin/true", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                                     "11", "12", "13", "14", "15", nullptr));
        std::printf(" %d", runProgram("/bin/sh", "-c", "exit $#", "0", "1", "2", "3", "4", "5", "6",
                                      "7", "8", "9", "10", "11", nullptr));
    });
    EXPECT_EQ(result.out, "1 11");
    EXPECT_EQ(result.err, "execv: Argument list too long\n");
}

TEST_F(Utilities, ErrorExitPrintsLongMessagesWhole)
{
    std::string text(300, 'x');
    Result result = runFunction([&] { errorExit("%s:%d", text.c_str(), 42); });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, text + ":42\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(Utilities, PerrorExitReportsTheSystemError)
{
    Result result = runFunction([] {
        errno = ENOENT;
        perrorExit("stat");
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "stat: No such file or directory\n");
}

// Stands for a daemon's system log: each message on a line of standard
// output, marked with its severity.
void recordReport(Severity severity, const char *message)
{
    std::printf("%s[%s]\n", severity == Severity::fatal ? "fatal" : "warning", message);
}

TEST_F(Utilities, ReportsGoOnTheirOwnChannelsByDefault)
{
    Result warned = runFunction([] {
        std::printf("pending");
        warning("%s held by %s", "account file", "pid 7");
    });
    EXPECT_EQ(warned.status, 0);
    EXPECT_EQ(warned.out, "pending");
    EXPECT_EQ(warned.err, "account file held by pid 7\n");

    Result failed = runFunction([] {
        errno = EACCES;
        checkFailed("common", "userFileOpen", "userFileFD >= 0");
    });
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err,
              "common: userFileOpen: assertion \"userFileFD >= 0\" failed: Permission denied\n");

    Result unlabelled = runFunction([] {
        errno = ENOENT;
        perrorExit("");
    });
    EXPECT_EQ(unlabelled.err, "No such file or directory\n");
}

TEST_F(Utilities, ARedirectedReportTakesEveryMessageAndStillEnds)
{
    for (int exit = 0; exit < 3; ++exit) {
        Result result = runFunction([exit] {
            setReportOutput(recordReport);
            warning("slow %d", 5);
            errno = ENOENT;
            if (exit == 0)
                errorExit("stopped %d", 7);
            if (exit == 1)
                perrorExit("stat");
            checkFailed("common", "fCopy", "s != ((void *)0)");
        });
        SCOPED_TRACE(exit);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "") << "a redirected message also reached standard error";
        const char *fatal[] = {"stopped 7", "stat: No such file or directory",
                               "common: fCopy: assertion \"s != ((void *)0)\" failed: No such file "
                               "or directory"};
        EXPECT_EQ(result.out, std::string("warning[slow 5]\nfatal[") + fatal[exit] + "]\n");
    }
}

TEST_F(Utilities, FCopyReplacesTheWholeContent)
{
    writeFile("/tmp/source", "short");
    writeFile("/tmp/target", std::string(10000, 'o'));
    writeFile("/tmp/empty", "");
    writeFile("/tmp/big", std::string(9000, 'b'));
    fCopy("/tmp/source", "/tmp/target");
    EXPECT_EQ(readFile("/tmp/target"), "short");
    fCopy("/tmp/big", "/tmp/target");
    EXPECT_EQ(readFile("/tmp/target"), std::string(9000, 'b'));
    fCopy("/tmp/empty", "/tmp/target");
    EXPECT_EQ(readFile("/tmp/target"), "");
    fCopy("/tmp/source", "/tmp/created");
    EXPECT_EQ(readFile("/tmp/created"), "short");
}

TEST_F(Utilities, FCopyFromAMissingSourceLeavesTheDestination)
{
    writeFile("/tmp/target", "kept");
    Result result = runFunction([] { fCopy("/tmp/missing", "/tmp/target"); });
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, HasSubstr("s != ((void *)0)"));
    EXPECT_THAT(result.err, HasSubstr("fCopy"));
    EXPECT_EQ(readFile("/tmp/target"), "kept");
}

TEST_F(Utilities, FCopyToAnUncreatableDestinationStops)
{
    writeFile("/tmp/source", "data");
    Result result = runFunction([] { fCopy("/tmp/source", "/tmp/no/such/dir"); });
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, HasSubstr("d != ((void *)0)"));
}

TEST_F(Utilities, FCopyOntoAFullDiskFailsLoudly)
{
    ASSERT_EQ(mkdir("/tmp/small", 0755), 0);
    ASSERT_EQ(mount("tmpfs", "/tmp/small", "tmpfs", 0, "size=8k"), 0);
    writeFile("/tmp/small/target", "old");
    writeFile("/tmp/source", std::string(64 * 1024, 'n'));
    Result result = runFunction([] { fCopy("/tmp/source", "/tmp/small/target"); });
    umount("/tmp/small");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "fCopy: /tmp/small/target: No space left on device\n");
}

TEST_F(Utilities, TheSandboxReceivesSystemLogLines)
{
    Result result = runFunction([] {
        openlog("linewatchd", 0, LOG_DAEMON);
        syslog(LOG_ERR, "couldn't stat %s", configPath);
        closelog();
    });
    EXPECT_EQ(result.status, 0);
    std::vector<std::string> lines = syslogLines();
    ASSERT_EQ(lines.size(), 1u);
    // Facility LOG_DAEMON (3) times 8 plus LOG_ERR (3).
    EXPECT_THAT(lines[0], StartsWith("<27>"));
    EXPECT_THAT(lines[0], HasSubstr("linewatchd: couldn't stat /usr/lib/Kestrune/kestrune.config"));
}

} // namespace
