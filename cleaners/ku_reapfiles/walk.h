// The walk of a directory tree that ku_reapfiles cleans, kept apart from the
// rules that decide what goes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>

// What the rules see of an entry: its owner and its times, in seconds.
struct EntryStatus {
    uid_t owner = 0;
    std::int64_t accessTime = 0;
    std::int64_t changeTime = 0;
    std::int64_t modifyTime = 0;
};

// Whether an entry is to go, judged at `now`.
using RemovalRule = std::function<bool(const EntryStatus &entry, std::int64_t now)>;

// Removes what the rule lets go below the directory at `path`, never the
// directory itself: files and links as they are, and each directory once
// its own content has been cleaned, if nothing is left in it. Entries dated
// in the future are first touched to the present, unless they have another
// name (a hard link), which may lie outside the tree. Directories that cannot
// be opened are reported on standard error as "opendir" failures and
// skipped.
void cleanTree(const char *path, const RemovalRule &removable);
