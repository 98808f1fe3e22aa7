// Who is logged in, from one of two sources: the login records, or the
// sessions systemd-logind keeps. logind also sees the logins that write no
// record (ssh without a terminal: scp, sftp, rsync, port forwarding).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sessions.h"

enum class LoginSource {
    utmp,      // /var/run/utmp, as always
    logind,    // systemd-logind over the system bus
    automatic, // logind where it answers, with the login records it does not
               // know; otherwise /var/run/utmp
};

// "utmp", "logind" or "auto", in any case.
std::optional<LoginSource> loginSourceNamed(std::string_view word);
// The site's LoginSource, read without touching Settings and without ending
// the process, for the programs that read no other setting: automatic when
// the configuration file or the key is missing or the value unknown.
LoginSource configuredLoginSource();

// Fills `logins` from the source. The login records missing end the
// process with "fopen: ..."; logind, when it is the only source, with
// "logind: ...".
void readLogins(LoginTable &logins, LoginSource source);

// logind's open sessions of class "user": the whole uid, the terminal
// logind gives (without "/dev/"), the start time, the session's id and
// leader. In start order. 0, or a negative errno when logind cannot be
// asked; `logins` is then empty.
int readLogindSessions(LoginTable &logins);

// Who descends from whom in a process table, to find what a session's
// leader started.
class ProcessFamilies
{
  public:
    explicit ProcessFamilies(const ProcessTable &processes);
    // The indexes of `leader` and all its descendants: the leader first,
    // then breadth first. Empty when the leader is not in the table.
    std::vector<std::size_t> treeOf(pid_t leader) const;

  private:
    const ProcessTable &processes_;
    std::unordered_map<pid_t, std::size_t> byPid_;
    std::unordered_multimap<pid_t, std::size_t> children_; // by parent
};

// For sessions for which logind names no terminal: the terminal held by the
// session's leader or by the first of its descendants that holds one.
void fillSessionTerminals(LoginTable &logins, const ProcessTable &processes);
// The line ("pts/3", "tty2", "ttyS0") of a terminal's device number; none
// for a device of another kind.
std::optional<std::string> lineOfDevice(DeviceNumber device);

// Ends a logind session whole: every process in it, even one forked since
// the table was taken, is killed, then logind closes the session. 0 or a
// negative errno.
int endLogindSession(const std::string &session);
