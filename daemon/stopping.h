// Stopping the monitor between passes. SIGTERM, SIGINT and SIGHUP only
// note a request; the main loop acts on it once the account file is
// released, and the monitor's waits end at once when it comes.
#pragma once

// The stopping signals, caught from construction on. They are held back
// outside the monitor's waits, so that no system call of a pass (a lock
// wait, a question to logind) is cut short by one; a request made during a
// pass is noted at the next wait, which then returns at once. One object a
// process: the handler has one flag to set.
class StopRequest
{
  public:
    StopRequest();
    StopRequest(const StopRequest &) = delete;
    StopRequest &operator=(const StopRequest &) = delete;

    // Sleeps `seconds`, or until a stop is requested: false when one was,
    // before or during the sleep.
    bool sleep(int seconds) const;
    // The signal that asked for the stop, as "SIGTERM"; only once asked.
    const char *signalName() const;
};
