// How programs report: one reporter through which every warning and every
// fatal message goes, the error exits built on it, and the check that what
// a command printed was written.
#pragma once

enum class Severity { warning, fatal };
// Where warnings and fatal messages go; by default a line on standard error
// (errorExit's, the commands' answer to their users, on standard output).
using ReportOutput = void (*)(Severity severity,
                              const char *message); // message without trailing newline
// Sends every later warning and fatal message to `output`; null restores the
// default. A daemon calls it once it has left its terminal.
void setReportOutput(ReportOutput output);

// The fatal ones report, close the record files and end the process with
// status 1.
[[noreturn]] void errorExit(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The label and the system's reason, as perror gives them.
[[noreturn]] void perrorExit(const char *label);
// Ends the process when a condition the program cannot do without has failed:
// names where, quotes the condition and gives the system's reason.
[[noreturn]] void checkFailed(const char *source, const char *operation, const char *condition);
// Tells of something the program got over but the administrator should
// hear of (a record file held by someone else for too long).
void warning(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Makes the process end with status 1, after "stdout" and the reason on
// standard error, when what it printed on standard output could not all be
// written: called first thing by every command that prints.
void checkOutputAtExit();
