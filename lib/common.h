// The shared account library, whole: every program includes this one header
// and gets each module's declarations from the header named after it.
#pragma once

#include "arguments.h"     // command-line numbers, allowance sets, typed phone numbers
#include "banfile.h"       // the ban record and the ban file
#include "cleanerconfig.h" // the cleaners' configuration files and exemptions
#include "codecs.h"        // characters, numbers, words; expiry, phone numbers, byte counts
#include "config.h"        // the site's settings
#include "devices.h"       // terminal device numbers
#include "fixedlist.h"     // tables of fixed capacity
#include "fixedtexts.h"    // the fixed texts of the assertion diagnostics
#include "handles.h"       // owners of descriptors and streams
#include "logins.h"        // who is logged in: login records or logind
#include "passwords.h"     // logins and user ids
#include "paths.h"         // where the shared files live
#include "recordedits.h"   // rewriting and dropping records for the commands
#include "report.h"        // error exits and warnings
#include "scheduled.h"     // the scheduled passes over the accounts
#include "sessions.h"      // who is logged in, what runs
#include "signals.h"       // ending processes
#include "userfile.h"      // the account record and the account file
#include "util.h"          // running programs, copying files, small helpers
#include "waiting.h"       // sleeping and waiting for children
