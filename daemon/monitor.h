// The session monitor's modules, for the daemon, its tests, the login gate
// and ku_why: the rules, the snapshot of a cycle, the seam to the system,
// the pass, the notices, the cycle, its stopping and the admission of
// logins.
#pragma once

#include "admission.h"
#include "common.h"
#include "cycle.h"
#include "host.h"
#include "notices.h"
#include "pass.h"
#include "policy.h"
#include "snapshot.h"
#include "stopping.h"
