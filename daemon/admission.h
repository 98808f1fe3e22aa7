// The login gate's rules: whether a login may begin now, and the word the
// user is given when it does. Both come from the monitor's own judgement of
// the next minute, so that the gate refuses exactly whom the monitor would
// disconnect at its next cycle.
#pragma once

#include <optional>
#include <string>

#include "policy.h"

// Who asks to log in.
struct Applicant {
    uid_t uid = 0;
    bool guest = false;                // the site's guest, judged by the guest rules
    std::optional<UserRecord> account; // the first record of the uid, if any
};

struct Admission {
    bool admitted = true;
    // Why not: "expired", "no account", or the rule that would end the
    // session ("total", "session", "time class", "busy lines", "guest time").
    std::string rule;
};

// Root always passes; an expired account never does; an account, or a
// guest, passes unless the next pass would end its session; a user without
// an account passes unless the site requires one of them.
Admission admitLogin(const Applicant &applicant, const SiteSettings &settings,
                     const PassFacts &facts);

// The line shown at login: "Kestrune: 42 minutes left (session limit); idle
// logout after 10 minutes". Empty for a user without an account.
std::string loginWord(const Applicant &applicant, const SiteSettings &settings,
                      const PassFacts &facts);

// What a rule is called where users read it: "session limit".
std::string limitName(Cause rule);
// "1 minute", "42 minutes".
std::string minutesText(int minutes);
// Whether one of the verdict's limits is held back now, a line being free.
bool limitHeldBack(const Verdict &verdict);
