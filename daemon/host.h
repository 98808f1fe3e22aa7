// The seam between the monitor's pass and the system: every side effect of
// a cycle goes through a Host. SystemHost does the real thing; the tests
// give the pass a fake that records and feigns.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "common.h"
#include "policy.h"
#include "stopping.h"

class Host
{
  public:
    virtual ~Host() = default;

    // The clock.
    virtual std::time_t now() = 0;

    // The account records, read in file order while the pass holds the
    // file; each may be written over itself right after it is read (false
    // when that failed, the record then passed over).
    virtual void openAccounts() = 0;
    virtual bool nextAccount(UserRecord &record) = 0;
    virtual bool rewriteAccount(const UserRecord &record) = 0;
    virtual void closeAccounts() = 0;

    // The terminals a login record names: when a line was last typed on;
    // the device it is now; none when the line names no terminal.
    virtual std::optional<std::time_t> lastInput(const char *line) = 0;
    virtual std::optional<DeviceNumber> terminalDevice(const char *line) = 0;
    // Writes a notice onto a terminal that accepts messages.
    virtual void notify(const char *line, const char *notice) = 0;
    // Gives notices just written the moment they need to reach their users
    // (through sshd, say, which the signals that follow would end).
    virtual void letNoticesArrive() = 0;

    // SIGTERM now; true if it was sent. The processes it was sent to get
    // SIGKILL from killTerminated, which first gives them 5 seconds to end
    // (and returns at once when there are none). A host that is being
    // stopped cuts that wait, and the one for notices, short.
    virtual bool terminate(const ProcEntry &process) = 0;
    virtual void killTerminated() = 0;
    // Ends a logind session and everything still in it.
    virtual void endSession(const std::string &session) = 0;

    // Mails a user the notice file of the reason.
    virtual void mail(std::uint16_t uid, NoticeReason reason) = 0;

    // What the PPP driver tells of a unit and of a line.
    virtual std::optional<PppCounters> pppCounters(int unit) = 0;
    virtual std::optional<PppIdle> pppIdle(const char *line) = 0;

    // The system log, at a syslog priority.
    virtual void log(int priority, const char *message) = 0;
    // The login of a user id; empty when the password database has none.
    virtual std::string loginName(std::uint16_t uid) = 0;
};

// The real system: the account file, /dev, signals through pidfds, mail(1),
// the PPP driver and syslog.
class SystemHost : public Host
{
  public:
    // `mailHost` is put after the login in mail addresses when not empty.
    // With `stop`, the host's waits end when a stop is requested.
    explicit SystemHost(std::string mailHost = {}, const StopRequest *stop = nullptr);

    std::time_t now() override;
    void openAccounts() override;
    bool nextAccount(UserRecord &record) override;
    bool rewriteAccount(const UserRecord &record) override;
    void closeAccounts() override;
    std::optional<std::time_t> lastInput(const char *line) override;
    std::optional<DeviceNumber> terminalDevice(const char *line) override;
    void notify(const char *line, const char *notice) override;
    void letNoticesArrive() override;
    bool terminate(const ProcEntry &process) override;
    void killTerminated() override;
    void endSession(const std::string &session) override;
    void mail(std::uint16_t uid, NoticeReason reason) override;
    std::optional<PppCounters> pppCounters(int unit) override;
    std::optional<PppIdle> pppIdle(const char *line) override;
    void log(int priority, const char *message) override;
    std::string loginName(std::uint16_t uid) override;

  private:
    void holdOn(int seconds);

    std::string mailHost_;
    const StopRequest *stop_;
    TerminatedList terminated_;
};
