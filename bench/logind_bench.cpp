// What reading the logins from logind costs the monitor's cycle next to the
// login records: one cycle (the tables and the accounting pass) over 2,000
// logins, from a login record file of 2,000 records and from 2,000 sessions
// of the stand-in logind on the sandbox's private system bus, with the same
// processes and accounts; and the login table alone from each. The ratio of
// the cycles is printed at the end. Run as root, inside the test sandbox.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <benchmark/benchmark.h>

#include "logind.h"
#include "monitor.h"
#include "sandbox.h"
#include "sandboxed.h"

namespace
{

// The busy host of the whole-cycle benchmark with 2,000 logins.
constexpr int processCount = 20000;
constexpr int loginCount = 2000;
constexpr int accountCount = 100000;
constexpr int processesPerLogin = 4;
constexpr uid_t firstUser = 20000;

uid_t userOf(int i)
{
    return firstUser + static_cast<uid_t>(i);
}

std::string userLogin(int i)
{
    return "user" + std::to_string(userOf(i));
}

std::string lineOf(int i)
{
    return "tty" + std::to_string(i);
}

// Processes that sleep until the benchmark ends: `processesPerLogin` of
// each logged-in user's, the first of which leads the user's session, and
// root's for the rest.
class Sleepers
{
  public:
    void start()
    {
        for (int i = 0; i < processCount; ++i) {
            int login = i / processesPerLogin;
            uid_t owner = login < loginCount ? userOf(login) : 0;
            pid_t child = startSleeper(owner);
            if (owner != 0 && i % processesPerLogin == 0)
                leaders_.push_back(child);
            pids_.push_back(child);
        }
    }
    void stop()
    {
        stopSleepers(pids_);
        leaders_.clear();
    }
    pid_t leaderOf(int login) const { return leaders_[static_cast<std::size_t>(login)]; }

  private:
    std::vector<pid_t> pids_;
    std::vector<pid_t> leaders_;
};

// The host both sources describe: the same users, processes and accounts.
struct Host {
    std::unique_ptr<sandbox::MoreUsers> users;
    Sleepers sleepers;
    std::unique_ptr<sandbox::FakeLogind> logind;
};

Host *host = nullptr;

void writeLoginRecords()
{
    std::vector<utmp> records(loginCount);
    for (int i = 0; i < loginCount; ++i) {
        utmp &record = records[static_cast<std::size_t>(i)];
        record.ut_type = USER_PROCESS;
        record.ut_pid = host->sleepers.leaderOf(i);
        std::snprintf(record.ut_line, sizeof record.ut_line, "%s", lineOf(i).c_str());
        std::snprintf(record.ut_user, sizeof record.ut_user, "%s", userLogin(i).c_str());
        record.ut_tv.tv_sec = static_cast<std::int32_t>(std::time(nullptr));
    }
    std::FILE *file = std::fopen(utmpPath, "wb");
    std::fwrite(records.data(), sizeof(utmp), records.size(), file);
    std::fclose(file);
}

// The same logins as logind lists them, with or without the terminal.
std::vector<sandbox::LogindSession> sessions(bool terminals)
{
    std::vector<sandbox::LogindSession> list;
    std::time_t now = std::time(nullptr);
    for (int i = 0; i < loginCount; ++i)
        list.push_back({.id = std::to_string(i + 1),
                        .uid = userOf(i),
                        .user = userLogin(i),
                        .leader = host->sleepers.leaderOf(i),
                        .tty = terminals ? lineOf(i) : "",
                        .started = now});
    return list;
}

// Nobody is near an end, so no notice is due and nobody is disconnected.
void writeAccountFile()
{
    std::vector<UserRecord> records;
    for (int i = 0; i < accountCount; ++i) {
        auto uid = static_cast<uid_t>(i < loginCount ? userOf(i) : 30000 + i % 30000);
        UserRecord record = sandbox::accountFor(uid);
        record.tLeft = record.tLimit = 100000000;
        record.sLeft = record.sLimit = 100000000;
        records.push_back(record);
    }
    sandbox::writeAccounts(records);
}

void buildHost()
{
    host = new Host;
    host->users = std::make_unique<sandbox::MoreUsers>(loginCount, firstUser, userLogin);
    host->sleepers.start();
    writeLoginRecords();
    writeAccountFile();
    host->logind = std::make_unique<sandbox::FakeLogind>(sessions(true));
    Settings = SiteSettings{};
    Settings.WarnBoot.push(5);
    // The first scan after so many new processes runs slow for reasons of
    // the kernel's own; it is not what is measured.
    ProcessTable warmUp;
    scanProcesses(warmUp);
}

void removeHost()
{
    host->logind.reset();
    host->sleepers.stop();
    host->users.reset();
    delete host;
    host = nullptr;
}

// The sources measured: the records, logind naming each session's
// terminal, and logind naming none (each found through its leader).
enum Source { records, logindWithTerminals, logindWithoutTerminals };

void useSource(benchmark::State &state, Source source)
{
    Settings.Logins = source == records ? LoginSource::utmp : LoginSource::logind;
    if (source != records)
        host->logind->setSessions(sessions(source == logindWithTerminals));
    state.SetLabel(source == records               ? "utmp"
                   : source == logindWithTerminals ? "logind"
                                                   : "logind, no terminals");
}

class Quiet : public SystemHost
{
  public:
    bool terminate(const ProcEntry &) override { return false; }
    void mail(std::uint16_t, NoticeReason) override {}
};

Snapshot snapshot;

// The processor time a process has used, in milliseconds.
double processorTime(pid_t pid)
{
    std::string stat = sandbox::readFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    double ticks = 0;
    // User and system time are the 14th and 15th fields, from the state on
    // the 3rd.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14)
            ticks += std::stod(field);
    }
    return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Where the time of a logind read goes besides the reader: the processor
// time of the bus and of the stand-in, per iteration.
class ServiceTime
{
  public:
    ServiceTime()
        : bus_(processorTime(host->logind->bus().pid())),
          logind_(processorTime(host->logind->pid()))
    {
    }
    void count(benchmark::State &state) const
    {
        auto perIteration = [&](double used) {
            return used /
                   static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
        };
        state.counters["bus_ms"] = perIteration(processorTime(host->logind->bus().pid()) - bus_);
        state.counters["logind_ms"] = perIteration(processorTime(host->logind->pid()) - logind_);
    }

  private:
    double bus_;
    double logind_;
};

void BM_LoginTable(benchmark::State &state)
{
    useSource(state, static_cast<Source>(state.range(0)));
    LoginTable logins;
    ServiceTime services;
    for (auto _ : state) {
        readLogins(logins, Settings.Logins);
        benchmark::DoNotOptimize(logins.data());
    }
    state.counters["logins"] = static_cast<double>(logins.size());
    services.count(state);
}
BENCHMARK(BM_LoginTable)
    ->Arg(records)
    ->Arg(logindWithTerminals)
    ->Arg(logindWithoutTerminals)
    ->Unit(benchmark::kMillisecond);

void BM_WholeCycle(benchmark::State &state)
{
    useSource(state, static_cast<Source>(state.range(0)));
    Quiet effects;
    ServiceTime services;
    for (auto _ : state) {
        takeSnapshot(snapshot, Settings, unknownUid);
        carryOut(accountingPass(snapshot, Settings, effects), snapshot, effects);
    }
    std::size_t withLine = 0;
    for (const LoginEntry &login : snapshot.loginTable)
        withLine += login.line[0] != '\0';
    state.counters["processes"] = static_cast<double>(snapshot.processTable.size());
    state.counters["logins"] = static_cast<double>(snapshot.loginTable.size());
    state.counters["lines"] = static_cast<double>(withLine);
    services.count(state);
}
BENCHMARK(BM_WholeCycle)
    ->Arg(records)
    ->Arg(logindWithTerminals)
    ->Arg(logindWithoutTerminals)
    ->Unit(benchmark::kMillisecond);

// The console's report, and the logind cycles' times as multiples of the
// records' at the end.
class RatioReporter : public benchmark::ConsoleReporter
{
  public:
    // In colour on a terminal only, as the library's own report.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred || !run.benchmark_name().starts_with("BM_WholeCycle"))
                continue;
            // With repetitions, their mean.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean")
                cycles_[run.report_label] = {run.GetAdjustedRealTime(), true};
            else if (run.run_type == Run::RT_Iteration && !cycles_[run.report_label].mean)
                cycles_[run.report_label] = {run.GetAdjustedRealTime(), false};
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        auto utmp = cycles_.find("utmp");
        if (utmp == cycles_.end() || utmp->second.time <= 0)
            return;
        for (const auto &[label, cycle] : cycles_) {
            if (label != "utmp")
                std::printf("whole cycle from %s: %.2f x utmp (%.1f ms against %.1f ms)\n",
                            label.c_str(), cycle.time / utmp->second.time, cycle.time,
                            utmp->second.time);
        }
    }

  private:
    struct Cycle {
        double time = 0;   // real time, in milliseconds
        bool mean = false; // of repetitions
    };
    std::map<std::string, Cycle> cycles_;
};

} // namespace

int main(int argc, char **argv)
{
    RatioReporter reporter;
    return runSandboxedBenchmarks(argc, argv, buildHost, removeHost, &reporter);
}
