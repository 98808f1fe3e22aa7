// A real OpenSSH server and client inside the sandbox, so that tests log
// users in as a remote user does: sshd allocates the pseudo-terminal and
// writes the login record itself.
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
    SshServer();
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
    std::unique_ptr<StandIn> passwd_; // holds the privilege-separation user
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
    // Returns once sshd has recorded the login in /var/run/utmp.
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

} // namespace sandbox
