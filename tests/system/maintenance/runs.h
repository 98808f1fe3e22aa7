// What the maintenance suites share: installed programs that record how
// they were run, and a fresh second to begin a timed run in.
#pragma once

#include <ctime>
#include <sstream>
#include <thread>

#include <sys/stat.h>

#include "sandbox.h"

namespace sandbox
{

inline constexpr const char *runLog = "/tmp/runs";

// A script that logs each run as a line, its name and then each argument
// after a "|", and then runs `real`, if given, with the same arguments.
inline std::string recordingScript(const std::string &name, const std::string &real = "")
{
    return "#!/bin/sh\n{ printf '%s' '" + name +
           "'; for a in \"$@\"; do printf '|%s' \"$a\"; done; echo; } >> " + runLog + "\n" +
           (real.empty() ? "" : "exec " + real + " \"$@\"\n");
}

// Stands in at /usr/sbin/<name> until the object goes, recording each run;
// with `passOn` the real program then does its work.
class RecordedProgram
{
  public:
    explicit RecordedProgram(const std::string &name, bool passOn = true)
        : standIn_("/usr/sbin/" + name, prepare(name, passOn))
    {
    }

  private:
    static std::string prepare(const std::string &name, bool passOn)
    {
        mkdir("/tmp/stand-ins", 0755);
        std::string real = passOn ? "/tmp/stand-ins/real-" + name : "";
        if (passOn)
            writeFile(real, readFile("/usr/sbin/" + name), 0755);
        if (!exists(runLog))
            writeFile(runLog, "", 0666);
        writeFile("/tmp/stand-ins/" + name, recordingScript(name, real), 0755);
        return "/tmp/stand-ins/" + name;
    }

    StandIn standIn_;
};

inline std::vector<std::string> programRuns()
{
    std::vector<std::string> runs;
    std::istringstream lines(readFile(runLog));
    for (std::string line; std::getline(lines, line);)
        runs.push_back(line);
    return runs;
}

// Waits for the clock to begin a new second and gives it, so that a short
// run begun at once reads that second as its time.
inline std::time_t freshSecond()
{
    std::time_t start = std::time(nullptr);
    while (std::time(nullptr) == start)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::time(nullptr);
}

} // namespace sandbox
