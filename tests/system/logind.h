// logind inside the sandbox: a private system bus where the host's would be,
// a stand-in logind on it that lists the sessions a test writes and records
// the requests to end them, and a session's processes as a remote login
// leaves them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sandbox.h"

namespace sandbox
{

// A dbus-daemon listening where the system bus does
// (/run/dbus/system_bus_socket), with the system bus's limits; listening
// when made, stopped and its socket gone when the object goes.
class SystemBus
{
  public:
    SystemBus();
    ~SystemBus();
    SystemBus(const SystemBus &) = delete;
    SystemBus &operator=(const SystemBus &) = delete;

    // What the daemon wrote on its standard error so far.
    std::string log() const;
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int log_ = -1;
};

// A session as logind lists it.
struct LogindSession {
    std::string id;
    uid_t uid = 0;
    std::string user; // the login logind lists with it
    pid_t leader = 0;
    std::string tty;                   // as logind gives it; empty for none
    std::int64_t started = 1700000000; // seconds
    std::string sessionClass = "user";
    std::string state = "active";
    // Listed, but gone when asked for its properties.
    bool vanished = false;
};

// The stand-in logind on a SystemBus of its own, serving `sessions` until
// stopped or the object goes. It ends nothing: it records each KillSession and
// TerminateSession as a line ("KillSession 3 all 9", "TerminateSession 3").
class FakeLogind
{
  public:
    explicit FakeLogind(const std::vector<LogindSession> &sessions = {});
    ~FakeLogind();
    FakeLogind(const FakeLogind &) = delete;
    FakeLogind &operator=(const FakeLogind &) = delete;

    // Listed from the next ListSessions on.
    void setSessions(const std::vector<LogindSession> &sessions);
    // Stops the stand-in, leaving the bus without logind.
    void stop();
    // The requests to end sessions so far, in order.
    std::vector<std::string> calls() const;
    // What the stand-in and its bus wrote on their standard error so far.
    std::string log() const;
    pid_t pid() const { return pid_; }
    const SystemBus &bus() const { return *bus_; }

  private:
    std::unique_ptr<SystemBus> bus_;
    pid_t pid_ = -1;
    int log_ = -1;
};

// A user's login as sshd leaves one: a leader without a terminal, and its
// child in a session of its own, on a pseudo-terminal for a login with a
// terminal. Both are the user's; whatever runs is killed when the object
// goes.
class RemoteLogin
{
  public:
    RemoteLogin(uid_t uid, bool terminal);
    ~RemoteLogin();
    RemoteLogin(const RemoteLogin &) = delete;
    RemoteLogin &operator=(const RemoteLogin &) = delete;

    pid_t leader() const { return leader_; }
    pid_t child() const { return child_; }
    const std::string &line() const { return line_; } // "pts/N", or empty
    // What was written to the terminal within `timeout`, as
    // UserProcess::readTerminal reads it.
    std::string readTerminal(std::chrono::milliseconds timeout);
    // Whether both ended within `timeout`.
    bool ended(std::chrono::milliseconds timeout);

  private:
    pid_t leader_ = -1;
    pid_t child_ = -1;
    int master_ = -1;
    std::string line_;
    bool reaped_ = false;
};

} // namespace sandbox
