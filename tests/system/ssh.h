// A real OpenSSH server and client inside the sandbox, so that tests log
// users in as a remote user does: sshd allocates the pseudo-terminal and
// writes the login record itself, and may run a PAM stack the test gives.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sandbox.h"

namespace sandbox
{

// sshd on 127.0.0.1 port 22 of the sandbox's own network, taking key
// authentication only, with the key SshLogin's client offers; started
// when made (it accepts connections on return), stopped and reaped when
// the object goes. Its files are under /run/ssh, root's.
class SshServer
{
  public:
    // Without PAM: sshd decides alone.
    SshServer();
    // With PAM: sshd runs `pamStack` as its /etc/pam.d/sshd (bound over the
    // host's in the sandbox only) for the account check and the session.
    explicit SshServer(const std::string &pamStack);
    ~SshServer();
    SshServer(const SshServer &) = delete;
    SshServer &operator=(const SshServer &) = delete;

    // Lets the client's key log in as `user`.
    void authorize(const User &user);
    // What sshd wrote on its standard error so far.
    std::string log() const;
    bool running();

    static constexpr const char *clientKey = "/run/ssh/client_key";

  private:
    void start(bool usePam);

    std::unique_ptr<StandIn> passwd_; // holds the privilege-separation user
    std::unique_ptr<StandIn> pam_;    // the stack given, if any
    pid_t pid_ = -1;
    int log_ = -1;
    int status_ = -1;
};

// A login of a user through the real ssh client, with a terminal that sshd
// allocates, running `command` there. The client runs as root, its
// standard input a pipe kept open and its standard output a pipe the test
// reads; it is killed and reaped when the object goes.
class SshLogin
{
  public:
    // Returns once sshd has recorded the login in /var/run/utmp. An empty
    // `command` runs the user's login shell, before which sshd shows the
    // messages of the login (those of PAM among them); sshd shows none
    // before a command.
    SshLogin(SshServer &server, const User &user, const std::string &command);
    ~SshLogin();
    SshLogin(const SshLogin &) = delete;
    SshLogin &operator=(const SshLogin &) = delete;

    // The line of sshd's login record, "pts/N"; empty if none came.
    const std::string &line() const { return line_; }
    pid_t client() const { return pid_; }
    // Waits until a process of the user runs the program `name`.
    bool waitForCommand(const std::string &name,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Everything the client has printed so far (the remote terminal's
    // output, with its "\r\n"), waiting up to `timeout` for `text` in it.
    std::string output(const std::string &text = "",
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
    // What the client printed on its standard error (its own complaints).
    std::string errors() const;
    // Waits for the client to end: its exit status, or 128 + the signal
    // that ended it; -1 if it still runs after `timeout`.
    int waitForEnd(std::chrono::milliseconds timeout);
    bool ended() { return waitForEnd(std::chrono::milliseconds(0)) >= 0; }
    // The user's processes that run now.
    std::vector<pid_t> processes() const;

  private:
    uid_t uid_;
    pid_t pid_ = -1;
    int input_ = -1;  // the write end of the client's standard input
    int output_ = -1; // the read end of its standard output
    int errors_ = -1;
    int status_ = -1;
    std::string received_;
    std::string line_;
};

// A login through the real ssh client, as SshLogin makes it, that runs
// `command` to its end, or is refused: the client's exit status (255 when
// it could not log in), what it printed (the remote terminal's output, with
// its "\r\n") and its complaints, and how long the whole login took. A
// client still running after `timeout` is killed (status 128 + 9).
struct SshAttempt {
    Result result;
    std::chrono::steady_clock::duration took{};
};
SshAttempt attemptLogin(SshServer &server, const User &user, const std::string &command,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));

} // namespace sandbox
