// ku_reapprocs: ends the processes without a terminal that users have left
// running after they logged out, and those named on a kill list: SIGTERM
// first, and after a grace period SIGKILL to those that still meet the rules.
#include <cerrno>
#include <csignal>
#include <ctime>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "common.h"

namespace
{

constexpr std::size_t killNameSize = 64; // names of up to 63 characters
using KillName = std::array<char, killNameSize>;

struct ProcessRules {
    ExemptList<64> exempt;
    FixedList<KillName, 16> killList;
    LoginTable logins;
    // This process and those that started it (the shell, the scheduled
    // job): they run without a terminal too, and must see the run through.
    std::vector<pid_t> spared;
};

ProcessRules rules;
ProcessTable firstScan;
ProcessTable secondScan;
// Every process of a scan can be held, so the list can never overflow.
TerminatedList terminated;
static_assert(TerminatedList::capacity() >= ProcessTable::capacity());

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
    std::vector<pid_t> chain{getpid()};
    std::optional<pid_t> parent = parentOf(getpid());
    while (parent && *parent > 0 && chain.size() <= ProcessTable::capacity()) {
        chain.push_back(*parent);
        parent = parentOf(*parent);
    }
    return chain;
}

bool isSpared(pid_t pid)
{
    for (pid_t spared : rules.spared) {
        if (spared == pid)
            return true;
    }
    return false;
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
    if (process.tty != 0 || isSpared(process.pid))
        return false;
    return onKillList(process) || !ownerSpared(rules.exempt, rules.logins, process.uid);
}

const ProcEntry *find(const ProcessTable &table, pid_t pid)
{
    for (const ProcEntry &process : table) {
        if (process.pid == pid)
            return &process;
    }
    return nullptr;
}

void terminateChosen()
{
    for (const ProcEntry &process : firstScan) {
        if (chosen(process))
            terminateProcess(process, terminated);
    }
}

// Whether the process, as the second scan found it, is the very one the
// first pass holds since its SIGTERM.
bool held(const ProcEntry &now)
{
    const ProcEntry *before = find(firstScan, now.pid);
    if (before == nullptr || before->startTime != now.startTime)
        return false;
    for (const TerminatedProcess &process : terminated) {
        if (process.pid == now.pid)
            return true;
    }
    return false;
}

// A process the first pass asked to stop is killed if it still is that
// process and still meets the rules.
bool stillDue(const TerminatedProcess &process)
{
    const ProcEntry *now = find(secondScan, process.pid);
    return now != nullptr && held(*now) && chosen(*now);
}

// The second pass: SIGKILL to every process that meets the rules now. Those
// asked to stop get it through the descriptor that holds them; one started
// during the grace period (or that took a freed id) is checked to be the
// process just scanned before it gets it.
void killChosen()
{
    ProcessTable newcomers;
    for (const ProcEntry &process : secondScan) {
        if (chosen(process) && !held(process))
            newcomers.push(process);
    }
    killTerminatedIf(terminated, stillDue);
    for (const ProcEntry &process : newcomers)
        signalProcess(process, SIGKILL);
}

void gracePeriod()
{
    timespec left{5, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace

int main()
{
    readCleanerConfig(reapProcsConfigPath, applyLine);
    allowDescriptorsForTermination();
    readUtmp(rules.logins);
    rules.spared = selfAndAncestors();
    scanProcesses(firstScan);
    terminateChosen();
    if (terminated.count == 0)
        return 0;
    gracePeriod();
    scanProcesses(secondScan);
    killChosen();
    return 0;
}
