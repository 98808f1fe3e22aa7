// The accounting pass of each minute: charge every connected account, warn
// those about to lose their time and choose who goes; then carry it out.
#pragma once

#include "common.h"
#include "host.h"
#include "policy.h"
#include "snapshot.h"

// Charges the connected accounts (each record written back at once) and
// decides, without acting on it, who is warned, who goes and who is mailed.
PassDecisions accountingPass(const Snapshot &snapshot, const SiteSettings &settings, Host &host);
// Warns, ends the processes of those who go, logs each disconnection and
// sends the mail, in that order.
void carryOut(const PassDecisions &decisions, const Snapshot &snapshot, Host &host);
// Gives the processes signalled their grace and kills those left, then ends
// the logind sessions of those who went: whatever they forked meanwhile.
void finishDisconnections(const PassDecisions &decisions, Host &host);
