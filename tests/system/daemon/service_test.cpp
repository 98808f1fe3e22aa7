// linewatchd as a service manager runs it: started in the foreground with a
// socket to report on, it says it is ready once its first cycle is carried
// out, and a stop asked for while its pass writes the account file lets the
// pass write every record first.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int logInfo = 24 + 6; // LOG_DAEMON | LOG_INFO

using Service = SystemTest;

// The socket a service manager reads its services' word on.
class NotifySocket
{
  public:
    static constexpr const char *path = "/run/notify";

    NotifySocket()
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd_, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path);
        unlink(path);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0)
            << std::strerror(errno);
    }
    ~NotifySocket()
    {
        close(fd_);
        unlink(path);
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    // The next message, or nothing if none comes within `timeout`.
    std::string receive(std::chrono::milliseconds timeout)
    {
        pollfd waiting{fd_, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(timeout.count())) != 1)
            return "";
        char message[4096];
        ssize_t got = recv(fd_, message, sizeof message, 0);
        return got > 0 ? std::string(message, static_cast<std::size_t>(got)) : "";
    }

  private:
    int fd_ = -1;
};

// A linewatchd started as a service manager starts it, with the socket in
// its environment: the process started is the one to watch. Killed and
// reaped when the object goes.
class ServiceProcess
{
  public:
    ServiceProcess() : running_(start({"linewatchd"}, 0, {notifyVariable()})) {}
    ~ServiceProcess()
    {
        if (!running_.finished())
            kill(running_.pid, SIGKILL);
        finish(running_);
    }
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    pid_t pid() const { return running_.pid; }
    bool ended() { return running_.finished(); }
    // Its exit status (or 128 + the signal that ended it), or -1 if it
    // still runs after `timeout`.
    int waitForExit(std::chrono::milliseconds timeout)
    {
        for (auto deadline = Clock::now() + timeout; !running_.finished();) {
            if (Clock::now() >= deadline)
                return -1;
            std::this_thread::sleep_for(5ms);
        }
        return running_.status;
    }
    // Everything it printed, once it has ended.
    Result result() { return finish(running_); }

  private:
    static std::string notifyVariable()
    {
        return std::string("NOTIFY_SOCKET=") + NotifySocket::path;
    }

    Running running_;
};

// A field of a process's /proc/<pid>/stat line, counted from 1.
std::string statField(pid_t pid, int field)
{
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string value;
    for (int i = 3; i <= field && rest >> value; ++i) {
    }
    return value;
}

// A user logged in on a terminal of their own, as a login program leaves it.
struct Session {
    UserProcess process;
    explicit Session(const User &user) : process({.uid = user.uid, .terminal = true})
    {
        addLogin(user.name, process.line(), static_cast<std::int32_t>(std::time(nullptr)));
    }
};

// ---------------------------------------------------------------- readiness

TEST_F(Service, ItStaysTheProcessStartedAndIsReadyOnceItsFirstCycleIsCarriedOut)
{
    writeConfig("");
    writeAccounts({withLeft(alice.uid, 1), accountFor(bob.uid)});
    // alice goes in the first cycle, and a process of hers that outlives
    // SIGTERM makes the cycle wait the whole grace before its SIGKILL.
    Session aliceSession(alice);
    UserProcess stubborn({.uid = alice.uid, .ignoreTerm = true});
    Session bobSession(bob);
    NotifySocket socket;

    auto started = Clock::now();
    ServiceProcess service;
    std::string word = socket.receive(20s);
    auto ready = Clock::now();
    ASSERT_EQ(word, "READY=1");
    // Word came after the charge, the disconnection and its grace.
    EXPECT_EQ(recordOf(bob.uid).tLeft, 599);
    EXPECT_EQ(recordOf(alice.uid).tLeft, 0);
    EXPECT_GE(ready - started, 4500ms);
    EXPECT_EQ(stubborn.waitForExit(1s), 128 + SIGKILL);
    EXPECT_TRUE(bobSession.process.running());

    // No fork: the process started is the monitor, and the only one. It
    // leads a session of its own without a terminal, at the root, with a
    // file-creation mask of 0.
    EXPECT_FALSE(service.ended());
    EXPECT_EQ(processesNamed("linewatchd"), std::vector<pid_t>{service.pid()});
    EXPECT_EQ(statField(service.pid(), 6), std::to_string(service.pid()));
    EXPECT_EQ(statField(service.pid(), 7), "0");
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(service.pid()) + "/cwd"),
              "/");
    EXPECT_THAT(readFile("/proc/" + std::to_string(service.pid()) + "/status"),
                ::testing::HasSubstr("\nUmask:\t0000\n"));

    ASSERT_EQ(kill(service.pid(), SIGTERM), 0);
    EXPECT_EQ(socket.receive(2s), "STOPPING=1");
    EXPECT_EQ(service.waitForExit(2s), 0);
    EXPECT_EQ(socket.receive(0ms), "") << "word after the last";
}

// A start that fails, whether at the configuration or in the first cycle,
// ends the process started with status 1 and never says it is ready.
struct FailedStart {
    const char *name;
    const char *config;    // nullptr for none
    bool withoutLoginFile; // the first cycle cannot read the login records
    const char *out;
};

class FailedServiceStart : public SystemTest, public ::testing::WithParamInterface<FailedStart>
{
};

TEST_P(FailedServiceStart, EndsWithStatusOneAndNoWordOfReadiness)
{
    const FailedStart &failure = GetParam();
    if (failure.config != nullptr)
        writeConfig(failure.config);
    if (failure.withoutLoginFile) {
        ASSERT_EQ(unlink(utmpPath), 0);
    }
    NotifySocket socket;
    ServiceProcess service;
    EXPECT_EQ(service.waitForExit(10s), 1);
    EXPECT_EQ(service.result().out, failure.out);
    EXPECT_EQ(socket.receive(0ms), "");
}

INSTANTIATE_TEST_SUITE_P(Service, FailedServiceStart,
                         ::testing::Values(FailedStart{"MissingConfiguration", nullptr, false,
                                                       "couldn't open config file\n"},
                                           FailedStart{"FatalFirstCycle", "", true, ""}),
                         [](const ::testing::TestParamInfo<FailedStart> &test) {
                             return test.param.name;
                         });

// ---------------------------------------------------------------- a stop during the pass

// Processes of many users, two each: one with the first as its real user
// id and the second as its effective id, as the monitor counts them. All
// children of one root process in a group of its own, started when made
// and killed when the object goes.
class UserPairs
{
  public:
    explicit UserPairs(const std::vector<std::pair<uid_t, uid_t>> &pairs)
    {
        int ready[2];
        EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
        std::fflush(nullptr);
        parent_ = fork();
        if (parent_ == 0) {
            setpgid(0, 0);
            for (auto [real, effective] : pairs) {
                if (fork() == 0) {
                    if (setgroups(0, nullptr) != 0 || setgid(100) != 0 ||
                        setresuid(real, effective, effective) != 0)
                        _exit(126);
                    close(ready[1]);
                    for (;;)
                        pause();
                }
            }
            close(ready[1]);
            while (wait(nullptr) > 0 || errno == EINTR) {
            }
            _exit(0);
        }
        setpgid(parent_, parent_);
        close(ready[1]);
        char byte;
        EXPECT_EQ(read(ready[0], &byte, 1), 0); // every child has its ids
        close(ready[0]);
    }
    ~UserPairs()
    {
        kill(-parent_, SIGKILL);
        waitpid(parent_, nullptr, 0);
    }
    UserPairs(const UserPairs &) = delete;
    UserPairs &operator=(const UserPairs &) = delete;

  private:
    pid_t parent_ = -1;
};

// Whether the process has the account file open: from the first record of
// a pass to the last, the pass's lock held.
bool holdsAccountFile(pid_t pid)
{
    std::error_code error;
    for (const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        if (std::filesystem::read_symlink(entry.path(), error) == userFilePath)
            return true;
    }
    return false;
}

TEST_F(Service, ASignalDuringThePassLetsItWriteEveryRecordWholeAndOnce)
{
    // 10,000 accounts; every fifth user is connected, so that the pass
    // writes records back from the first to the last.
    constexpr int accounts = 10000;
    constexpr uid_t firstUid = 20000;
    addUsers(accounts, firstUid, [](int i) { return "u" + std::to_string(i); });
    writeConfig("");
    std::vector<UserRecord> before;
    for (int i = 0; i < accounts; ++i)
        before.push_back(accountFor(firstUid + static_cast<uid_t>(i)));
    writeAccounts(before);
    std::time_t now = std::time(nullptr);
    setTimes(userFilePath, now - 3600, now - 3600);
    auto connected = [](int i) { return i % 5 == 0; };
    std::vector<utmp> logins;
    std::vector<std::pair<uid_t, uid_t>> pairs;
    for (int i = 0; i < accounts; ++i) {
        if (!connected(i))
            continue;
        utmp login{};
        login.ut_type = USER_PROCESS;
        login.ut_pid = 1;
        std::string name = "u" + std::to_string(i);
        std::strncpy(login.ut_user, name.c_str(), sizeof login.ut_user);
        std::strncpy(login.ut_id, std::to_string(i).c_str(), sizeof login.ut_id);
        login.ut_tv.tv_sec = static_cast<std::int32_t>(now);
        logins.push_back(login);
        if (i % 10 == 0)
            pairs.emplace_back(firstUid + static_cast<uid_t>(i),
                               firstUid + static_cast<uid_t>(i + 5));
    }
    writeFile(utmpPath, std::string(reinterpret_cast<const char *>(logins.data()),
                                    logins.size() * sizeof(utmp)));
    UserPairs processes(pairs);

    ServiceProcess service;
    // The first record written back moves the file's time: the pass is
    // writing.
    for (auto deadline = Clock::now() + 20s;
         statusOf(userFilePath).st_mtime == now - 3600 && Clock::now() < deadline;) {
    }
    ASSERT_EQ(kill(service.pid(), SIGTERM), 0);
    ASSERT_TRUE(holdsAccountFile(service.pid()))
        << "the pass was over before the signal could reach it";
    // When the pass was first seen to have let the file go, and when the
    // monitor was seen ended (which lets it go too).
    Clock::time_point released{};
    Clock::time_point ended{};
    for (auto deadline = Clock::now() + 20s;
         ended == Clock::time_point{} && Clock::now() < deadline;
         std::this_thread::sleep_for(1ms)) {
        bool over = service.ended();
        auto seen = Clock::now();
        if (released == Clock::time_point{} && !holdsAccountFile(service.pid()))
            released = seen;
        if (over)
            ended = seen;
    }
    Result result = service.result();
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    ASSERT_NE(ended, Clock::time_point{}) << "the monitor did not stop";
    EXPECT_LT(ended - released, 1s);

    // Every record whole, in place, and every connected account charged
    // exactly once: the pass ran to its end.
    ASSERT_EQ(readAccounts().size(), accounts * userRecordSize);
    std::vector<UserRecord> after = accountRecords();
    ASSERT_EQ(after.size(), before.size());
    int wrong = 0;
    for (int i = 0; i < accounts; ++i) {
        UserRecord expected = before[static_cast<std::size_t>(i)];
        const UserRecord &found = after[static_cast<std::size_t>(i)];
        if (connected(i)) {
            expected.tLeft -= 1;
            expected.sLeft -= 1;
            if (found.stamp >= now && found.stamp <= std::time(nullptr))
                expected.stamp = found.stamp;
        }
        if (found != expected && ++wrong <= 3)
            ADD_FAILURE() << "record " << i << " of uid " << found.uid << ": tLeft " << found.tLeft
                          << ", sLeft " << found.sLeft << ", stamp " << found.stamp;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(syslogHas(syslogLines(), logInfo, "linewatchd: stopped by SIGTERM"));
}

// Each stopping signal that arrives while the monitor sleeps towards the
// next minute ends the sleep, and the monitor, at once.

} // namespace
