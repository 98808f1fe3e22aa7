// The monitor's cycle, one a minute, and its pacing.
#pragma once

#include <cstdint>
#include <ctime>

#include "host.h"
#include "snapshot.h"
#include "stopping.h"

// One cycle, from the configuration check to what the pass decided carried
// out; the local time it started. `configSeen` is the configuration file's
// time as last read; `snapshot` is filled anew, and kept by the caller only
// for its room.
std::tm runCycle(timespec &configSeen, std::uint16_t guestUid, Snapshot &snapshot, Host &host);
// Sleeps to the next minute boundary, and on until the minute is another
// than the cycle's, which started at `cycled`: false when a stop was
// requested, during the cycle or the sleep.
bool sleepPastMinute(const std::tm &cycled, const StopRequest &stop);
// Seconds from a local time to the next minute boundary: 1 from a leap
// second.
int secondsToNextMinute(const std::tm &now);
// Whether two local times fall in one minute.
bool sameMinute(const std::tm &a, const std::tm &b);
