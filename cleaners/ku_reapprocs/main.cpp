// ku_reapprocs: ends the processes without a terminal that users have left
// running after they logged out, and those named on a kill list: SIGTERM
// first, and after a grace period SIGKILL to those that still meet the rules.
#include <algorithm>
#include <csignal>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <unistd.h>

#include "common.h"

namespace
{

constexpr const char *configFile = "/usr/lib/Kestrune/ku_reapprocs.config";

constexpr std::size_t killNameSize = 64; // names of up to 63 characters
using KillName = std::array<char, killNameSize>;

struct ProcessRules {
    ExemptList<64> exempt;
    FixedList<KillName, 16> killList;
    std::optional<LoggedInUsers> loggedIn;
    // This process and those that started it (the shell, the scheduled
    // job): they run without a terminal too, and must see the run through.
    std::vector<pid_t> spared;
};

ProcessRules rules;
ProcessTable firstScan;
ProcessTable secondScan;
TerminatedList terminated;
// The start time of each process the first pass sent SIGTERM, by pid.
std::unordered_map<pid_t, std::uint64_t> heldSince;

// A name too long for its entry could never match a command name, which is
// at most 15 characters long: it is not kept, and takes no place.
void addKillNames(ConfigWords words)
{
    std::string_view name;
    while (!rules.killList.full() && words.next(name)) {
        if (name.size() >= killNameSize)
            continue;
        KillName entry;
        copyText(entry, name);
        rules.killList.push(entry);
    }
}

void applyLine(std::string_view keyword, ConfigWords words)
{
    if (sameKeyword(keyword, "exempt"))
        addExemptions(rules.exempt, words);
    else if (sameKeyword(keyword, "kill"))
        addKillNames(words);
}

std::vector<pid_t> selfAndAncestors()
{
    // The bound only guards against a chain that loops while it is read.
    constexpr std::size_t longestChain = 4096;
    std::vector<pid_t> chain{getpid()};
    std::optional<pid_t> parent = parentOf(getpid());
    while (parent && *parent > 0 && chain.size() <= longestChain) {
        chain.push_back(*parent);
        parent = parentOf(*parent);
    }
    return chain;
}

bool isSpared(pid_t pid)
{
    return std::find(rules.spared.begin(), rules.spared.end(), pid) != rules.spared.end();
}

bool onKillList(const ProcEntry &process)
{
    for (const KillName &name : rules.killList) {
        if (std::string_view(name.data()) == process.comm.data())
            return true;
    }
    return false;
}

bool chosen(const ProcEntry &process)
{
    // The kernel's own threads have no terminal either, and belong to root.
    if (process.tty != 0 || process.kernelThread || isSpared(process.pid))
        return false;
    return onKillList(process) || !ownerSpared(rules.exempt, *rules.loggedIn, process.uid);
}

void terminateChosen()
{
    for (const ProcEntry &process : firstScan) {
        if (chosen(process) && terminateProcess(process, terminated) == SignalResult::sent)
            heldSince[process.pid] = process.startTime;
    }
}

// Whether the process, as the second scan found it, is the very one the
// first pass holds since its SIGTERM.
bool held(const ProcEntry &now)
{
    auto since = heldSince.find(now.pid);
    return since != heldSince.end() && since->second == now.startTime;
}

// The second pass: SIGKILL to every process that meets the rules now. Those
// asked to stop get it through the descriptor that holds them, if they still
// are that process and still meet the rules; one started during the grace
// period (or that took a freed id) is checked to be the process just scanned
// before it gets it.
void killChosen()
{
    std::unordered_set<pid_t> stillDue;
    ProcessTable newcomers;
    for (const ProcEntry &process : secondScan) {
        if (!chosen(process))
            continue;
        if (held(process))
            stillDue.insert(process.pid);
        else
            newcomers.push_back(process);
    }
    killTerminatedIf(terminated, [&](const TerminatedProcess &process) {
        return stillDue.count(process.pid) != 0;
    });
    for (const ProcEntry &process : newcomers)
        signalProcess(process, SIGKILL);
}

} // namespace

int main()
{
    readCleanerConfig(configFile, applyLine);
    allowDescriptorsForTermination();
    LoginTable logins;
    readLogins(logins, configuredLoginSource());
    rules.loggedIn.emplace(logins);
    rules.spared = selfAndAncestors();
    scanProcesses(firstScan);
    terminateChosen();
    if (terminated.empty())
        return 0;
    sleepSeconds(5); // the grace period
    scanProcesses(secondScan);
    killChosen();
    return 0;
}
