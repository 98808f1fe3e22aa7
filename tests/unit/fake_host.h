// A host for the monitor's pass that keeps its accounts in memory, answers
// terminal and driver questions from tables the test fills, and records
// every notice, signal, mail and log line instead of acting.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "monitor.h"

class FakeHost : public Host
{
  public:
    std::time_t clock = 1700000000;
    std::vector<UserRecord> accounts;
    std::optional<std::size_t> unwritable; // the index of a record that cannot be written back
    std::map<std::string, std::time_t> lastInputs; // by line
    std::map<std::string, DeviceNumber> devices;   // by line
    std::map<std::uint16_t, std::string> logins;   // by uid
    std::optional<PppCounters> counters;
    std::optional<PppIdle> idle;

    std::vector<std::string> notices; // "line: text"
    std::vector<pid_t> terminated;
    std::vector<std::pair<std::uint16_t, NoticeReason>> mails;
    std::vector<std::pair<int, std::string>> logLines;
    std::optional<std::size_t> pausedAfter; // processes signalled before the pause
    std::optional<std::size_t> killedAfter; // processes signalled before the grace ended
    // Each session ended, and whether it was after the grace.
    std::vector<std::pair<std::string, bool>> endedSessions;
    bool accountsOpen = false;

    std::time_t now() override { return clock; }
    void openAccounts() override
    {
        accountsOpen = true;
        next_ = 0;
    }
    bool nextAccount(UserRecord &record) override
    {
        if (!accountsOpen || next_ == accounts.size())
            return false;
        record = accounts[next_++];
        return true;
    }
    bool rewriteAccount(const UserRecord &record) override
    {
        if (next_ == 0 || unwritable == next_ - 1)
            return false;
        accounts[next_ - 1] = record;
        return true;
    }
    void closeAccounts() override { accountsOpen = false; }
    std::optional<std::time_t> lastInput(const char *line) override
    {
        return find(lastInputs, line);
    }
    std::optional<DeviceNumber> terminalDevice(const char *line) override
    {
        return find(devices, line);
    }
    void notify(const char *line, const char *text) override
    {
        notices.push_back(std::string(line) + ": " + text);
    }
    void letNoticesArrive() override { pausedAfter = terminated.size(); }
    bool terminate(const ProcEntry &process) override
    {
        terminated.push_back(process.pid);
        return true;
    }
    void killTerminated() override { killedAfter = terminated.size(); }
    void endSession(const std::string &session) override
    {
        endedSessions.emplace_back(session, killedAfter.has_value());
    }
    void mail(std::uint16_t uid, NoticeReason reason) override { mails.emplace_back(uid, reason); }
    std::optional<PppCounters> pppCounters(int) override { return counters; }
    std::optional<PppIdle> pppIdle(const char *) override { return idle; }
    void log(int priority, const char *message) override
    {
        logLines.emplace_back(priority, message);
    }
    std::string loginName(std::uint16_t uid) override
    {
        auto found = logins.find(uid);
        return found == logins.end() ? std::string() : found->second;
    }

  private:
    template <typename T>
    static std::optional<T> find(const std::map<std::string, T> &table, const char *line)
    {
        auto found = table.find(line);
        return found == table.end() ? std::nullopt : std::optional<T>(found->second);
    }

    std::size_t next_ = 0;
};
