// What ku_why tells about an account, and its two layouts: aligned text for
// people, JSON for scripts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "monitor.h"
#include "outlook.h"

// One of the user's logins now.
struct Connection {
    std::string line;    // empty for a session without a terminal
    std::string session; // logind's id, if any
    std::int32_t since = 0;
};

// The idle time of one of the user's terminals.
struct TerminalIdle {
    std::string line;
    int minutesLeft = 0;
    bool judged = false; // the terminal the monitor measures
};

struct WhyReport {
    std::string login;
    uid_t uid = 0;
    UserRecord record; // as it stands now
    Outlook outlook;
    std::vector<Connection> connections;
    std::vector<TerminalIdle> idle;
    Admission loginNow;
};

void printText(const WhyReport &report);
void printJson(const WhyReport &report);
