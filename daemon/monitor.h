// The session monitor's modules, for the daemon and its tests: the rules,
// the snapshot of a cycle, the seam to the system, the pass, the notices
// and the cycle.
#pragma once

#include "common.h"
#include "cycle.h"
#include "host.h"
#include "notices.h"
#include "pass.h"
#include "policy.h"
#include "snapshot.h"
