// linewatchd against sessions that the real sshd opened: the terminal it
// allocated, the login record it wrote and the processes of the session,
// on a quiet host and on busy ones. Whatever else the host holds, a user
// whose time is spent is charged, warned and disconnected whole.
#include <ctime>
#include <memory>
#include <sstream>
#include <thread>

#include <unistd.h>

#include <gmock/gmock.h>

#include "sandbox.h"
#include "ssh.h"

using namespace sandbox;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace
{

constexpr int logWarning = 24 + 4; // LOG_DAEMON | LOG_WARNING

// Waits until no process of the user runs; those still running if some do.
std::vector<pid_t> survivorsAfter(uid_t uid, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<pid_t> left = processesOf(uid);
    while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        left = processesOf(uid);
    }
    return left;
}

// The process that holds a flock(2) lock on the file, as the kernel lists
// it, or -1.
pid_t lockHolder(const std::string &path)
{
    std::istringstream locks(readFile("/proc/locks"));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string slot, kind, mode, access;
        pid_t pid = -1;
        if (!(fields >> slot >> kind >> mode >> access >> pid) || kind != "FLOCK")
            continue;
        std::string descriptors = "/proc/" + std::to_string(pid) + "/fd";
        for (const std::string &fd : listDirectory(descriptors)) {
            char target[256] = "";
            if (readlink((descriptors + "/" + fd).c_str(), target, sizeof target - 1) > 0 &&
                target == path)
                return pid;
        }
    }
    return -1;
}

// The pids that lines of a priority name between `before` and `after`.
std::vector<pid_t> pidsLogged(const std::vector<std::string> &lines, int priority,
                              const std::string &before, const std::string &after)
{
    std::vector<pid_t> pids;
    std::string start = "<" + std::to_string(priority) + ">";
    for (const std::string &line : lines) {
        std::size_t at = line.find(before);
        if (!line.starts_with(start) || at == std::string::npos)
            continue;
        at += before.size();
        std::size_t digits = line.find_first_not_of("0123456789", at);
        if (digits != at && digits != std::string::npos &&
            line.compare(digits, after.size(), after) == 0)
            pids.push_back(std::stoi(line.substr(at, digits - at)));
    }
    return pids;
}

using Ssh = SystemTest;

TEST_F(Ssh, AWarningReachesTheClientAndTheSessionGoesOn)
{
    writeConfig("WarnBoot 5\n");
    writeAccounts({withLeft(alice.uid, 6)});
    SshServer server;
    SshLogin login(server, alice, "sleep 600");
    ASSERT_FALSE(login.line().empty());
    ASSERT_TRUE(login.waitForCommand("sleep"));
    std::vector<pid_t> session = login.processes();

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(recordOf(alice.uid).tLeft, 5);
    // The terminal's newlines arrive as "\r\n".
    const std::string notice = "\a\r\n\r\nNOTICE: You have 5 minute(s) remaining.\r\n\r\n";
    EXPECT_EQ(login.output(notice, 5s), notice);
    EXPECT_FALSE(login.ended());
    EXPECT_EQ(login.processes(), session);
}

struct SshCase {
    const char *what;
    int othersProcesses; // bob's, started before the login: first in /proc
    int othersLogins;    // bob's login records, before the one sshd writes
    std::string command; // what alice runs in her session
    bool holdsAccountFile;
};

void PrintTo(const SshCase &given, std::ostream *out)
{
    *out << given.what;
}

class SshSession : public SystemTest, public ::testing::WithParamInterface<SshCase>
{
};

TEST_P(SshSession, SpentTimeIsChargedWarnedAndDisconnectedWhole)
{
    const SshCase &given = GetParam();
    writeConfig("WarnBoot 0\n");
    writeAccounts({withLeft(alice.uid, 1)});
    std::unique_ptr<Crowd> crowd;
    if (given.othersProcesses > 0)
        crowd = std::make_unique<Crowd>(bob.uid, given.othersProcesses);
    auto now = static_cast<std::int32_t>(std::time(nullptr));
    for (int i = 0; i < given.othersLogins; ++i)
        addLogin("bob", "tty" + std::to_string(300 + i), now);

    SshServer server;
    SshLogin login(server, alice, given.command);
    ASSERT_FALSE(login.line().empty());
    ASSERT_TRUE(login.waitForCommand("sleep")) << "the remote command does not run";
    pid_t holder = -1;
    if (given.holdsAccountFile) {
        holder = lockHolder(userFilePath);
        ASSERT_GT(holder, 0) << "the session holds no lock on the account file";
    }

    Monitor monitor;
    // Through ssh, the terminal's newlines arrive as "\r\n".
    EXPECT_THAT(login.output("NOTICE: You have 0 minute(s) remaining.", 12s),
                HasSubstr("NOTICE: You have 0 minute(s) remaining."));
    EXPECT_THAT(survivorsAfter(alice.uid, 10s), IsEmpty()) << "alice's processes still run";
    EXPECT_GE(login.waitForEnd(5s), 0) << "the ssh client is still connected";
    ASSERT_TRUE(monitor.waitForCycle(10s)) << "the first cycle did not end";
    EXPECT_EQ(recordOf(alice.uid).tLeft, 0);
    if (crowd) {
        EXPECT_EQ(crowd->running(), given.othersProcesses) << "bob's processes were signalled";
    }
    if (given.holdsAccountFile) {
        std::vector<pid_t> logged =
            pidsLogged(syslogLines(), logWarning, "account file held by pid ", " (alice) for 5 s");
        EXPECT_THAT(logged, ::testing::ElementsAre(holder));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, SshSession,
    ::testing::Values(SshCase{"quiet", 0, 0, "sleep 600", false},
                      SshCase{"crowded", 1100, 0, "sleep 600", false},
                      // Her own session holds a shared lock on the file the monitor writes.
                      SshCase{"lockedAccountFile", 0, 0,
                              "flock -s /usr/lib/Kestrune/kestrune_users sleep 600", true},
                      SshCase{"manyLogins", 0, 300, "sleep 600", false}),
    [](const ::testing::TestParamInfo<SshCase> &param) { return std::string(param.param.what); });

} // namespace
