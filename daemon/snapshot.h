// What the monitor sees of the host at the start of a cycle: who is logged
// in, which processes run, who holds which PPP unit, whether every line is
// busy, and which user is the guest. Taken once a cycle; the pass only
// reads it.
#pragma once

#include <array>
#include <cstdint>

#include "common.h"

inline constexpr int pppUnits = 256;
using UnitOwners = std::array<uid_t, pppUnits>; // unknownUid for no owner

struct Snapshot {
    LoginTable loginTable;
    ProcessTable processTable;
    UnitOwners unitOwner = noOwners();
    bool linesBusy = false;
    std::uint16_t guestUid = unknownUid;

    // The lowest unit the user owns, or -1.
    int unitOfUser(uid_t uid) const;

    static UnitOwners noOwners();
};

// Fills the snapshot anew from the login records, /proc and pppd's pid
// files. What it held before is dropped; only the room of its tables is
// kept, so that a busy host's tables are not allocated again every cycle.
void takeSnapshot(Snapshot &snapshot, const SiteSettings &settings, std::uint16_t guestUid);

// Whether every modem line of the site's Devices has a user's process on it.
bool linesBusyOf(const ProcessTable &processes, const SiteSettings &settings);

// The owner of each unit, from pppd's pid files in /var/run and the
// processes: the real user of the pppd the file names.
UnitOwners scanPppUnits(const ProcessTable &processes);
