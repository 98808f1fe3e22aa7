// The monitor's pass over one account, with a host that serves that record
// from memory, keeps the charge to itself and passes the questions of
// terminals and links to the real system.
#include "outlook.h"

#include <algorithm>

#include "pass.h"

namespace
{

class PreviewHost : public Host
{
  public:
    PreviewHost(const UserRecord &record, Host &system) : record_(record), system_(system) {}

    const UserRecord &record() const { return record_; }

    std::time_t now() override { return now_; }
    void openAccounts() override { served_ = false; }
    bool nextAccount(UserRecord &record) override
    {
        if (served_)
            return false;
        served_ = true;
        record = record_;
        return true;
    }
    bool rewriteAccount(const UserRecord &record) override
    {
        record_ = record;
        return true;
    }
    void closeAccounts() override {}
    std::optional<std::time_t> lastInput(const char *line) override
    {
        return system_.lastInput(line);
    }
    std::optional<DeviceNumber> terminalDevice(const char *line) override
    {
        return system_.terminalDevice(line);
    }
    std::optional<PppCounters> pppCounters(int unit) override { return system_.pppCounters(unit); }
    std::optional<PppIdle> pppIdle(const char *line) override { return system_.pppIdle(line); }
    std::string loginName(std::uint16_t uid) override { return system_.loginName(uid); }
    // A pass only decides; nothing of what follows is ever asked of it.
    void notify(const char *, const char *) override {}
    void letNoticesArrive() override {}
    bool terminate(const ProcEntry &) override { return false; }
    void killTerminated() override {}
    void endSession(const std::string &) override {}
    void mail(std::uint16_t, NoticeReason) override {}
    void log(int, const char *) override {}

  private:
    UserRecord record_;
    Host &system_;
    std::time_t now_ = system_.now(); // one clock for the whole pass
    bool served_ = false;
};

} // namespace

Outlook outlookOf(const UserRecord &record, const Snapshot &snapshot, const SiteSettings &settings,
                  Host &system)
{
    PreviewHost host(record, system);
    PassDecisions decisions = accountingPass(snapshot, settings, host);
    Outlook outlook;
    outlook.facts = factsAt(host.now(), settings, snapshot.linesBusy);
    auto judged = std::find_if(decisions.judged.begin(), decisions.judged.end(),
                               [&](const JudgedAccount &entry) { return entry.uid == record.uid; });
    if (judged == decisions.judged.end()) {
        outlook.charged = record;
        chargeMinute(outlook.charged, outlook.facts.timeClass);
        outlook.verdict = judgeNextMinute(record, settings, outlook.facts, std::nullopt, false);
        return outlook;
    }
    outlook.connected = true;
    outlook.charged = host.record();
    outlook.terminal = judged->line;
    outlook.verdict = judged->verdict;
    for (const TerminalNotice &notice : decisions.warnings) {
        if (notice.line == outlook.terminal)
            outlook.warning = notice.text;
    }
    outlook.disconnect = std::any_of(
        decisions.disconnections.begin(), decisions.disconnections.end(),
        [&](const Disconnection &entry) { return !entry.guest && entry.uid == record.uid; });
    return outlook;
}
