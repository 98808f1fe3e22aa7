// The monitor's cycle, one a minute, and its pacing.
#pragma once

#include <cstdint>
#include <ctime>

#include "host.h"
#include "snapshot.h"

// One cycle, from the configuration check to the sleep until the next
// minute. `configSeen` is the configuration file's time as last read;
// `snapshot` is filled anew, and kept by the caller only for its room.
void runCycle(timespec &configSeen, std::uint16_t guestUid, Snapshot &snapshot, Host &host);
// Seconds from a local time to the next minute boundary: 1 from a leap
// second.
int secondsToNextMinute(const std::tm &now);
// Whether two local times fall in one minute.
bool sameMinute(const std::tm &a, const std::tm &b);
