// The main job, live and harmless: in a throwaway sandbox like the tests',
// a demo user with a three-minute allowance logs in on a real terminal,
// the monitor charges the account each minute, warns on the terminal and
// finally ends the session. Nothing outside the sandbox is touched.
#include <cstdio>
#include <ctime>
#include <string>

#include <unistd.h>

#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;

namespace
{

void say(const std::string &line)
{
    std::time_t now = std::time(nullptr);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", std::localtime(&now));
    std::printf("%s  %s\n", clock, line.c_str());
    std::fflush(stdout);
}

void showAccount()
{
    Result listing = run({"ku_list", "alice"});
    say("ku_list alice: " + listing.out.substr(0, listing.out.find('\n')));
}

// What the terminal shows, with the bell and blank lines made visible.
std::string visible(const std::string &text)
{
    std::string shown;
    for (char c : text) {
        if (c == '\a')
            shown += "<bell>";
        else if (c == '\n')
            shown += "\\n";
        else
            shown += c;
    }
    return shown;
}

void showSystemLog()
{
    for (const std::string &line : syslogLines())
        say("system log: " + line.substr(line.find("linewatchd")));
}

int demo()
{
    say("In a sandbox of its own: private /proc, /usr, /run, /tmp, /dev and users.");
    mkdir(productDir, 0755);
    writeFile(utmpPath, "", 0664);
    writeConfig("WarnBoot 2 1\n");
    say("Configuration: warn users when 2 minutes and when 1 minute are left.");
    Result enrolled = run({"ku_enrol", "alice", "30", "3"});
    say("ku_enrol alice 30 3: " + enrolled.out.substr(0, enrolled.out.find('\n')) +
        " (3 minutes in all, expiring in 30 days)");
    UserProcess session({.uid = alice.uid, .terminal = true});
    addLogin("alice", session.line(), static_cast<std::int32_t>(std::time(nullptr)));
    say("alice logs in on /dev/" + session.line() + " (a real pseudo-terminal and login record).");
    showAccount();

    say("Starting linewatchd: its first cycle runs at once, then one at each minute.");
    Monitor monitor;
    for (int cycle = 0; cycle < 4 && session.running(); ++cycle) {
        // The first cycle comes at once, each later one at the next minute.
        auto wait = cycle == 0 ? 10s : std::chrono::seconds(70 - std::time(nullptr) % 60);
        std::string shown = session.readTerminal(wait);
        if (!shown.empty())
            say("alice's terminal shows: " + visible(shown));
        monitor.waitForCycle(10s);
        showSystemLog();
        if (session.running())
            showAccount();
    }
    int status = session.waitForExit(10s);
    if (status == 128 + 15) {
        say("alice's session was ended with SIGTERM: her time is spent.");
    } else {
        say("alice's session did not end as expected (status " + std::to_string(status) + ").");
        return 1;
    }
    showSystemLog();
    showAccount();
    say("Done: stopping the monitor and throwing the sandbox away.");
    return 0;
}

} // namespace

int main()
{
    if (geteuid() != 0) {
        std::fprintf(stderr, "the demo needs root to build its sandbox: run it as sudo make demo\n");
        return 1;
    }
    runInside(demo);
}
