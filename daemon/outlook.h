// What the next cycle would make of one account, found without acting on
// anything: the monitor's own pass, run over this moment's snapshot with
// that account alone and a host that writes nothing. For ku_why.
#pragma once

#include "host.h"
#include "policy.h"
#include "snapshot.h"

struct Outlook {
    PassFacts facts;
    // A login and a process: the next pass charges and judges the account.
    bool connected = false;
    UserRecord charged;                        // the record as the next pass leaves it
    std::array<char, lineNameSize> terminal{}; // the one judged and warned
    Verdict verdict;
    std::string warning;     // the notice the terminal would get
    bool disconnect = false; // chosen to go
};

// `system` answers the questions of terminals and links; nothing is done
// through it. An account that is not connected is judged as if it had just
// connected, as the login gate judges it.
Outlook outlookOf(const UserRecord &record, const Snapshot &snapshot, const SiteSettings &settings,
                  Host &system);
