// How programs report: the error exits, warnings, and the check that what
// a command printed was written.
#pragma once

[[noreturn]] void errorExit(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Makes the process end with status 1, after "stdout" and the reason on
// standard error, when what it printed on standard output could not all be
// written: called first thing by every command that prints.
void checkOutputAtExit();
// Tells of something the program got over but the administrator should
// hear of (a record file held by someone else for too long): a line on
// standard error, unless the program sends warnings elsewhere.
void warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
using WarningOutput = void (*)(const char *message);
void setWarningOutput(WarningOutput output);
[[noreturn]] void perrorExit(const char *label);
// Ends the process when a condition the program cannot do without has failed:
// names where, quotes the condition and gives the system's reason.
[[noreturn]] void checkFailed(const char *source, const char *operation, const char *condition);
