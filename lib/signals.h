// Ending processes: SIGTERM, and later SIGKILL to the very same processes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "sessions.h"

// Processes that were sent SIGTERM, each held by a descriptor of its own
// (a pidfd), so that the SIGKILL that follows reaches the very same process
// even if its id has since been given to another.
struct TerminatedProcess {
    pid_t pid = 0;
    int pidfd = -1; // -1 where the kernel has no pidfds or no descriptor was left
    // Without a descriptor, what tells the process from a later one that
    // was given its id.
    std::uint64_t startTime = 0;
};
using TerminatedList = std::vector<TerminatedProcess>;

// What became of a signal. `self`: the entry names the caller (or no single
// process), which is never signalled. `gone`: the process has ended, or its
// id names another process by now. `refused`: errno keeps the system's reason
// (EPERM: the caller may not signal it).
enum class SignalResult { sent, gone, self, refused };

// Sends SIGTERM to the process the entry describes, provided it is still
// that process and not the caller, and keeps it on the list for the SIGKILL.
SignalResult terminateProcess(const ProcEntry &process, TerminatedList &terminated);
// Sends `signal` to the process the entry describes, provided it is still
// that process and not the caller.
SignalResult signalProcess(const ProcEntry &process, int signal);
// Sends SIGKILL to every process on the list and empties it.
void killTerminated(TerminatedList &terminated);
// Sends SIGKILL to each process on the list that `stillDue` keeps, through
// the descriptor that has held it since its SIGTERM, and empties the list.
void killTerminatedIf(TerminatedList &terminated,
                      const std::function<bool(const TerminatedProcess &)> &stillDue);
// Every process on a list is best held by a descriptor of its own until its
// SIGKILL: raises the soft limit on open files as far as the hard limit
// allows. Beyond it, processes are held by their start time instead.
void allowDescriptorsForTermination();
