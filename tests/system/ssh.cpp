// Starts the real sshd inside the sandbox, with or without a PAM stack,
// and logs users in through the real ssh client.
#include "ssh.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmpx.h>

#include "common.h"

namespace sandbox
{
namespace
{

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string sshDirectory = "/run/ssh";
const std::string hostKey = sshDirectory + "/host_ed25519_key";
const std::string authorizedDirectory = sshDirectory + "/authorized";
const std::string sshdConfig = sshDirectory + "/sshd_config";
const std::string pamStackFile = sshDirectory + "/pam-sshd";
const char *pamServiceFile = "/etc/pam.d/sshd";
// sshd's privilege-separation user and the directory it is confined to.
const char *privsepUser = "sshd:x:101:65534:sshd:/run/sshd:/usr/sbin/nologin\n";
const char *privsepDirectory = "/run/sshd";

// Keys are the only way in, and the session is the user's command and
// nothing else: no forwarding, no rc file, no banner.
const char *sshdSettings = "ListenAddress 127.0.0.1:22\n"
                           "HostKey /run/ssh/host_ed25519_key\n"
                           "PidFile none\n"
                           "AuthorizedKeysFile /run/ssh/authorized/%u\n"
                           "AuthenticationMethods publickey\n"
                           "PubkeyAuthentication yes\n"
                           "PasswordAuthentication no\n"
                           "KbdInteractiveAuthentication no\n"
                           "HostbasedAuthentication no\n"
                           "PermitRootLogin no\n"
                           "StrictModes yes\n"
                           "UseDNS no\n"
                           "PrintMotd no\n"
                           "PrintLastLog no\n"
                           "PermitUserRC no\n"
                           "X11Forwarding no\n"
                           "AllowTcpForwarding no\n"
                           "AllowAgentForwarding no\n"
                           "PermitTunnel no\n";

std::string sshdConfigText(bool usePam)
{
    return std::string(sshdSettings) + (usePam ? "UsePAM yes\n" : "UsePAM no\n");
}

std::string readFrom(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    for (off_t at = 0; (got = pread(fd, buffer, sizeof buffer, at)) > 0; at += got)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

void makeKey(const std::string &path)
{
    Result made =
        run({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "", "-f", path});
    EXPECT_EQ(made.status, 0) << made.out << made.err;
}

// Whether something listens on 127.0.0.1 port 22 of this network.
bool listening()
{
    std::istringstream table(readFile("/proc/net/tcp"));
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        if (fields >> slot >> local >> remote >> state && local == "0100007F:0016" && state == "0A")
            return true;
    }
    return false;
}

int statusCode(int waitStatus)
{
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

// The lines of the user's USER_PROCESS login records.
std::set<std::string> loginLines(const std::string &user)
{
    std::set<std::string> lines;
    if (utmpxname(utmpPath) != 0)
        return lines;
    setutxent();
    while (const utmpx *record = getutxent()) {
        if (record->ut_type == USER_PROCESS &&
            std::string(record->ut_user, strnlen(record->ut_user, sizeof record->ut_user)) == user)
            lines.emplace(record->ut_line, strnlen(record->ut_line, sizeof record->ut_line));
    }
    endutxent();
    return lines;
}

// Starts the ssh client as root, logging `user` in with a terminal that
// sshd allocates, its standard streams on the descriptors given.
pid_t startClient(const User &user, const std::string &command, int input, int output, int errors)
{
    std::vector<std::string> argv{"/usr/bin/ssh",
                                  "-F",
                                  "/dev/null",
                                  "-tt",
                                  "-i",
                                  SshServer::clientKey,
                                  "-o",
                                  "IdentitiesOnly=yes",
                                  "-o",
                                  "BatchMode=yes",
                                  "-o",
                                  "StrictHostKeyChecking=no",
                                  "-o",
                                  "UserKnownHostsFile=/dev/null",
                                  "-o",
                                  "LogLevel=ERROR",
                                  std::string(user.name) + "@127.0.0.1"};
    // Without a command sshd starts the login shell.
    if (!command.empty())
        argv.push_back(command);
    std::vector<char *> args;
    for (std::string &arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    char path[] = "PATH=/usr/bin:/bin";
    char *environment[] = {path, nullptr};
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(errors, 2) < 0)
            _exit(126);
        execve(args[0], args.data(), environment);
        _exit(127);
    }
    EXPECT_GT(pid, 0) << "fork: " << std::strerror(errno);
    return pid;
}

bool runsProgram(uid_t uid, const std::string &name)
{
    for (pid_t pid : processesOf(uid)) {
        if (readFile("/proc/" + std::to_string(pid) + "/comm") == name + "\n")
            return true;
    }
    return false;
}

} // namespace

SshServer::SshServer()
{
    std::filesystem::remove_all(sshDirectory);
    start(false);
}

SshServer::SshServer(const std::string &pamStack)
{
    // Only the sandbox sees the stack: the file is bound over the host's
    // in its own mount namespace, never written.
    std::filesystem::remove_all(sshDirectory);
    EXPECT_EQ(mkdir(sshDirectory.c_str(), 0755), 0);
    writeFile(pamStackFile, pamStack);
    EXPECT_TRUE(exists(pamServiceFile)) << "no " << pamServiceFile << " to cover";
    if (exists(pamServiceFile))
        pam_ = std::make_unique<StandIn>(pamServiceFile, pamStackFile);
    start(true);
}

void SshServer::start(bool usePam)
{
    EXPECT_TRUE(loopbackUp()) << "the sandbox's loopback interface is down: bringing it up needs "
                                 "CAP_NET_ADMIN, which this host (a container?) withholds";
    // The PAM stack may be there already.
    EXPECT_TRUE(mkdir(sshDirectory.c_str(), 0755) == 0 || errno == EEXIST);
    EXPECT_EQ(mkdir(authorizedDirectory.c_str(), 0755), 0);
    EXPECT_TRUE(mkdir(privsepDirectory, 0755) == 0 || errno == EEXIST);
    EXPECT_EQ(chmod(privsepDirectory, 0755), 0);
    makeKey(hostKey);
    makeKey(clientKey);
    writeFile(sshdConfig, sshdConfigText(usePam));
    // Added for the server's lifetime only: other tests list the users.
    writeFile(sshDirectory + "/passwd", readFile("/etc/passwd") + privsepUser);
    passwd_ = std::make_unique<StandIn>("/etc/passwd", sshDirectory + "/passwd");

    log_ = memfd_create("sshd", MFD_CLOEXEC);
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        int input = open("/dev/null", O_RDONLY);
        if (input < 0 || dup2(input, 0) < 0 || dup2(log_, 1) < 0 || dup2(log_, 2) < 0)
            _exit(126);
        // As root, in the foreground, logging on standard error; nothing of
        // the test's environment reaches the sessions.
        char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
        char *environment[] = {path, nullptr};
        execle("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-e", "-f", sshdConfig.c_str(),
               static_cast<char *>(nullptr), environment);
        _exit(127);
    }
    auto deadline = Clock::now() + 10s;
    while (!listening() && running() && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(listening()) << "sshd does not listen:\n" << log();
}

SshServer::~SshServer()
{
    if (running()) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    // The sessions it started went on without it.
    for (pid_t session : processesNamed("sshd")) {
        kill(session, SIGKILL);
        waitpid(session, nullptr, 0);
    }
    passwd_.reset();
    pam_.reset();
    close(log_);
    std::filesystem::remove_all(sshDirectory);
}

void SshServer::authorize(const User &user)
{
    writeFile(authorizedDirectory + "/" + user.name, readFile(std::string(clientKey) + ".pub"));
}

std::string SshServer::log() const
{
    return readFrom(log_);
}

bool SshServer::running()
{
    int waitStatus = 0;
    if (status_ < 0 && pid_ > 0 && waitpid(pid_, &waitStatus, WNOHANG) == pid_)
        status_ = statusCode(waitStatus);
    return pid_ > 0 && status_ < 0;
}

SshLogin::SshLogin(SshServer &server, const User &user, const std::string &command) : uid_(user.uid)
{
    server.authorize(user);
    std::set<std::string> before = loginLines(user.name);
    int input[2], toTest[2];
    EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(toTest, O_CLOEXEC), 0);
    errors_ = memfd_create("ssh", MFD_CLOEXEC);
    pid_ = startClient(user, command, input[0], toTest[1], errors_);
    close(input[0]);
    close(toTest[1]);
    input_ = input[1];
    output_ = toTest[0];
    fcntl(output_, F_SETFL, O_NONBLOCK);

    auto deadline = Clock::now() + 20s;
    while (line_.empty() && !ended() && Clock::now() < deadline) {
        for (const std::string &line : loginLines(user.name)) {
            if (!before.contains(line) && line.starts_with("pts/"))
                line_ = line;
        }
        if (line_.empty())
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(line_.empty()) << "no login record of " << user.name
                                << " by sshd\nclient: " << errors() << output() << "\nsshd:\n"
                                << server.log();
}

SshLogin::~SshLogin()
{
    if (!ended()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(input_);
    close(output_);
    close(errors_);
}

bool SshLogin::waitForCommand(const std::string &name, std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    while (!runsProgram(uid_, name)) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string SshLogin::output(const std::string &text, std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        ssize_t got;
        while ((got = read(output_, buffer, sizeof buffer)) > 0)
            received_.append(buffer, static_cast<std::size_t>(got));
        bool closed = got == 0;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (closed || left.count() <= 0 ||
            (!text.empty() && received_.find(text) != std::string::npos))
            return received_;
        pollfd ready{output_, POLLIN, 0};
        poll(&ready, 1, static_cast<int>(left.count()));
    }
}

std::string SshLogin::errors() const
{
    return readFrom(errors_);
}

int SshLogin::waitForEnd(std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    int waitStatus = 0;
    while (status_ < 0) {
        if (waitpid(pid_, &waitStatus, WNOHANG) == pid_)
            status_ = statusCode(waitStatus);
        else if (Clock::now() >= deadline)
            break;
        else
            std::this_thread::sleep_for(10ms);
    }
    return status_;
}

std::vector<pid_t> SshLogin::processes() const
{
    return processesOf(uid_);
}

SshAttempt attemptLogin(SshServer &server, const User &user, const std::string &command,
                        std::chrono::milliseconds timeout)
{
    server.authorize(user);
    SshAttempt attempt;
    int input[2], output[2];
    EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(output, O_CLOEXEC), 0);
    int errors = memfd_create("ssh", MFD_CLOEXEC);
    auto begun = Clock::now();
    pid_t pid = startClient(user, command, input[0], output[1], errors);
    close(input[0]);
    close(output[1]);
    fcntl(output[0], F_SETFL, O_NONBLOCK);

    // Its standard input stays open until it ends: an end of input would
    // hang up the remote terminal before the command is done.
    auto deadline = begun + timeout;
    int waitStatus = 0;
    char buffer[4096];
    for (;;) {
        ssize_t got;
        while ((got = read(output[0], buffer, sizeof buffer)) > 0)
            attempt.result.out.append(buffer, static_cast<std::size_t>(got));
        if (waitpid(pid, &waitStatus, WNOHANG) == pid) {
            attempt.took = Clock::now() - begun;
            attempt.result.status = statusCode(waitStatus);
            break;
        }
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &waitStatus, 0);
            attempt.took = Clock::now() - begun;
            attempt.result.status = statusCode(waitStatus);
            break;
        }
        pollfd ready{output[0], POLLIN, 0};
        poll(&ready, 1, 10);
    }
    ssize_t got;
    while ((got = read(output[0], buffer, sizeof buffer)) > 0)
        attempt.result.out.append(buffer, static_cast<std::size_t>(got));
    attempt.result.err = readFrom(errors);
    close(input[1]);
    close(output[0]);
    close(errors);
    return attempt;
}

} // namespace sandbox
