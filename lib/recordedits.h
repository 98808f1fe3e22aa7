// Changes the commands make to the record files: a write that fails ends the
// command instead of being confirmed, and records are dropped, or all of
// them changed, through a fresh file that takes the file's place under its
// lock.
#pragma once

#include <functional>
#include <optional>

#include "userfile.h"

// Ends a command whose record could not be written: "must be root" for a
// caller who holds the file read-only, else the system's reason.
[[noreturn]] void writeFailed(const char *path);
// The record just read is replaced, or the command ends through writeFailed.
void rewriteAccount(const UserRecord &record);

// Drops the record at `index` from the open account or ban file: the other
// records go to a fresh file beside it, which then takes its place while its
// lock is still held. Any failure ends the process with the file as it was;
// `program` names the command in the diagnostic.
void userFileDrop(long index, const char *program);
void banFileDrop(long index, const char *program);
// Whether the record at an index, counted from 0, is to go.
using RecordFilter = std::function<bool(long index)>;
// As userFileDrop, for every record that `dropped` names; `condition` is
// quoted when the fresh file cannot be created.
void userFileDropIf(const RecordFilter &dropped, const char *program, const char *condition);

// What rewriting the whole account file makes of the record at `index`,
// counted from 0: the record to keep in its place, changed or not, or none
// to drop it.
using AccountEdit = std::function<std::optional<UserRecord>(long index, const UserRecord &record)>;
// Rewrites the open account file as userFileDropIf does, every record
// replaced by what `edit` makes of it: all of them are changed, or, when the
// process ends first, none.
void userFileRewriteAll(const AccountEdit &edit, const char *program, const char *condition);

// Removes the first account record of a named user; the system user stays.
// Returns once the record is gone and the file closed: any failure ends the
// process.
void removeAccount(const char *login, const char *program);
