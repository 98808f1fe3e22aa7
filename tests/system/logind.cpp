// Starts a private system bus and the stand-in logind inside the sandbox,
// and builds the processes of a remote login.
#include "logind.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace sandbox
{
namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string busDirectory = "/run/dbus";
const std::string busSocket = busDirectory + "/system_bus_socket";
const std::string logindDirectory = "/run/fake-logind";
const std::string busConfig = logindDirectory + "/system.conf";
const std::string sessionsFile = logindDirectory + "/sessions";
const std::string callsFile = logindDirectory + "/calls";

// The system bus as a host has it, with every sender and owner let through:
// the policy is not what the tests look at. The reply limit is the system
// bus's own, stated so that a reader that asks too much at once fails here
// as it would there.
const char *busSettings =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>system</type>\n"
    "  <listen>unix:path=/run/dbus/system_bus_socket</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow user=\"*\"/>\n"
    "    <allow own=\"*\"/>\n"
    "    <allow send_destination=\"*\"/>\n"
    "    <allow receive_sender=\"*\"/>\n"
    "  </policy>\n"
    "  <limit name=\"max_replies_per_connection\">128</limit>\n"
    "</busconfig>\n";

// The stand-in's program, opened before the sandbox covers /tmp, where the
// build may live, and copied into the sandbox to be run.
const int fakeLogindProgram = open(FAKE_LOGIND_PATH, O_RDONLY | O_CLOEXEC);
const std::string fakeLogindCopy = logindDirectory + "/fake_logind";

void makeDirectory(const std::string &path)
{
    EXPECT_TRUE(mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) << path;
}

std::string readFrom(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    for (off_t at = 0; fd >= 0 && (got = pread(fd, buffer, sizeof buffer, at)) > 0; at += got)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

// Starts a program as root with `ready` as its standard output (and, for
// dbus-daemon, descriptor 3) and `log` as its standard error.
pid_t startService(const std::vector<std::string> &argv, int ready, int log)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int input = open("/dev/null", O_RDONLY);
        if (input < 0 || dup2(input, 0) < 0 || dup2(ready, 1) < 0 || dup2(ready, 3) < 0 ||
            dup2(log, 2) < 0)
            _exit(126);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
        char *environment[] = {path, nullptr};
        execve(args[0], args.data(), environment);
        _exit(127);
    }
    return pid;
}

// Reads up to `timeout` for a first line from a starting service: what it
// says once it is ready. Empty if it said nothing.
std::string firstLine(int fd, std::chrono::milliseconds timeout)
{
    std::string text;
    auto deadline = Clock::now() + timeout;
    char buffer[256];
    while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (poll(&ready, 1, static_cast<int>(left.count()) + 1) != 1)
            continue;
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// Starts a service and waits for it to say it is ready.
pid_t startAndWait(const std::vector<std::string> &argv, int log)
{
    int ready[2];
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    pid_t pid = startService(argv, ready[1], log);
    close(ready[1]);
    std::string said = firstLine(ready[0], 10s);
    close(ready[0]);
    EXPECT_NE(said, "") << argv[0] << " did not get ready:\n" << readFrom(log);
    return pid;
}

void stopService(pid_t &pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    // It ends at once on the signal; one that would not is killed.
    auto deadline = Clock::now() + 5s;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    pid = -1;
}

void installFakeLogind()
{
    EXPECT_GE(fakeLogindProgram, 0) << FAKE_LOGIND_PATH << " could not be opened";
    if (exists(fakeLogindCopy))
        return;
    std::string program;
    char buffer[65536];
    ssize_t got;
    for (off_t at = 0; (got = pread(fakeLogindProgram, buffer, sizeof buffer, at)) > 0; at += got)
        program.append(buffer, static_cast<std::size_t>(got));
    writeFile(fakeLogindCopy, program, 0755);
}

std::string sessionLine(const LogindSession &session)
{
    std::string user = session.user.empty() ? "user" + std::to_string(session.uid) : session.user;
    std::ostringstream line;
    line << session.id << ' ' << session.uid << ' ' << user << ' ' << session.sessionClass << ' '
         << session.state << ' ' << session.leader << ' '
         << (session.tty.empty() ? "-" : session.tty) << ' ' << session.started
         << (session.vanished ? " vanished" : "") << '\n';
    return line.str();
}

} // namespace

SystemBus::SystemBus()
{
    makeDirectory(busDirectory);
    makeDirectory(logindDirectory);
    unlink(busSocket.c_str());
    writeFile(busConfig, busSettings);
    log_ = memfd_create("dbus-daemon", MFD_CLOEXEC);
    pid_ = startAndWait({"/usr/bin/dbus-daemon", "--nofork", "--nopidfile", "--nosyslog",
                         "--config-file=" + busConfig, "--print-address=3"},
                        log_);
}

SystemBus::~SystemBus()
{
    stopService(pid_);
    unlink(busSocket.c_str());
    unlink(busConfig.c_str());
    close(log_);
}

std::string SystemBus::log() const
{
    return readFrom(log_);
}

FakeLogind::FakeLogind(const std::vector<LogindSession> &sessions)
    : bus_(std::make_unique<SystemBus>())
{
    setSessions(sessions);
    unlink(callsFile.c_str());
    log_ = memfd_create("fake_logind", MFD_CLOEXEC);
    installFakeLogind();
    pid_ = startAndWait({fakeLogindCopy, sessionsFile, callsFile}, log_);
}

FakeLogind::~FakeLogind()
{
    stop();
    unlink(sessionsFile.c_str());
    unlink(callsFile.c_str());
    close(log_);
}

void FakeLogind::stop()
{
    stopService(pid_);
}

void FakeLogind::setSessions(const std::vector<LogindSession> &sessions)
{
    std::string text;
    for (const LogindSession &session : sessions)
        text += sessionLine(session);
    // Put in place whole: the stand-in may be reading the list.
    writeFile(sessionsFile + ".new", text);
    EXPECT_EQ(rename((sessionsFile + ".new").c_str(), sessionsFile.c_str()), 0);
}

std::vector<std::string> FakeLogind::calls() const
{
    std::vector<std::string> lines;
    std::istringstream text(readFile(callsFile));
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

std::string FakeLogind::log() const
{
    return readFrom(log_) + bus_->log();
}

// ---------------------------------------------------------------- a remote login

namespace
{

// In a child: become the user, giving up root's groups first.
void becomeUser(uid_t uid)
{
    if (setgroups(0, nullptr) != 0 || setgid(100) != 0 || setuid(uid) != 0)
        _exit(126);
}

bool gone(pid_t pid)
{
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t end = stat.rfind(')');
    return end == std::string::npos || stat.substr(end + 2, 1) == "Z";
}

} // namespace

RemoteLogin::RemoteLogin(uid_t uid, bool terminal)
{
    std::string slave;
    if (terminal) {
        UserTerminal opened = openUserTerminal(uid);
        master_ = opened.master;
        slave = opened.slave;
        line_ = opened.line;
    }

    // The child's id comes back on the pipe once both run as the user.
    int ready[2];
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    std::fflush(nullptr);
    leader_ = fork();
    if (leader_ == 0) {
        close(ready[0]);
        setsid();
        pid_t child = fork();
        if (child == 0) {
            setsid();
            int fd = terminal ? open(slave.c_str(), O_RDWR) : 0;
            if (fd < 0 || (terminal && ioctl(fd, TIOCSCTTY, 0) != 0))
                _exit(125);
            becomeUser(uid);
            close(ready[1]);
            for (;;)
                pause();
        }
        becomeUser(uid);
        if (child < 0 || write(ready[1], &child, sizeof child) != sizeof child)
            _exit(124);
        close(ready[1]);
        // The child's end comes to the leader, which reaps it as sshd would.
        while (wait(nullptr) > 0 || errno == EINTR) {
        }
        for (;;)
            pause();
    }
    close(ready[1]);
    EXPECT_EQ(read(ready[0], &child_, sizeof child_), static_cast<ssize_t>(sizeof child_));
    char more;
    // Both have closed their end: both run as the user.
    EXPECT_EQ(read(ready[0], &more, 1), 0);
    close(ready[0]);
}

RemoteLogin::~RemoteLogin()
{
    if (child_ > 0)
        kill(child_, SIGKILL);
    if (leader_ > 0 && !reaped_) {
        kill(leader_, SIGKILL);
        waitpid(leader_, nullptr, 0);
    }
    if (master_ >= 0)
        close(master_);
}

std::string RemoteLogin::readTerminal(std::chrono::milliseconds timeout)
{
    return readTerminalMaster(master_, timeout);
}

bool RemoteLogin::ended(std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (!reaped_ && waitpid(leader_, nullptr, WNOHANG) == leader_)
            reaped_ = true;
        if (reaped_ && gone(child_))
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
}

} // namespace sandbox
