// Declarations shared between the library's own modules only: the record
// files' mechanics (opening, locking, replacing) and the parsers of outside
// input that the tests and fuzz targets reach directly. One private header:
// no program includes it, so splitting it would name nothing new for them.
#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <sys/types.h>

// Closes whichever record file is open, the account file first; the error
// exits call it so that no lock outlives a failing command.
void closeRecordFiles();

// How a record file is held: a writer (root) reads and writes it; a reader
// only reads it.
enum class RecordAccess { read, write };
// What a record file is called where something goes wrong with it.
struct RecordFileNames {
    const char *path;
    const char *label;     // in the warning of a lock held too long
    const char *operation; // in the open diagnostic
    const char *condition; // quoted in the open diagnostic
};
// Opens a record file under its locks (see locking.cpp): a writer's
// read-write, close-on-exec and exclusive; a reader's read-only and shared.
// Ends the process with the open diagnostic when the file cannot be opened.
std::FILE *openRecordFile(const RecordFileNames &names, RecordAccess access, int &fd);
// Closes the file and gives up its locks, syncing first what writes left
// unsynced (see syncRecordFileOnClose): false if that sync failed.
bool closeRecordFile(std::FILE *&stream, int &fd);
// Until the open file is closed, its writes are synced once, when it is
// closed, and no longer each before its result is given.
void syncRecordFileOnClose(int fd);

// Takes a whole-file lock, waiting as long as it takes; false, with errno
// set, when it cannot be taken at all.
bool lockWhole(int fd, int operation);
// The lock that orders the writers of a record file, in a directory only
// root can reach, taken with `operation` (LOCK_EX for a writer, LOCK_SH for
// root's readers): its descriptor, or -1 with errno set.
int takeWritersLock(const char *recordPath, int operation);
// Takes a record file's own lock, waiting at most a few seconds: false,
// with errno EWOULDBLOCK, when others hold it past that (a warning names
// who), or with another errno when it cannot be taken at all.
bool lockWithinBound(int fd, int operation, const char *label);
// Who holds a lock on the open file: "pid 4711 (alice)", or "another
// process" when the kernel's lock table does not tell.
std::string lockHolder(int fd);
// The writers' lock that goes with an open record file: kept with it,
// handed over to the file that replaces it, released when it is closed.
void keepWritersLock(int recordFd, int lockFd);
int handOverWritersLock(int recordFd);
void releaseWritersLock(int recordFd);
int readRecordBytes(std::FILE *stream, std::span<std::uint8_t> record);
// Writes the record at the stream's position, straight to the file, and
// syncs it unless the file syncs on close: 0 once it is on the disk. 1, with
// errno set, when it could not be written or synced; what it changed of the
// file is then put back.
int writeRecordBytes(std::FILE *stream, int fd, std::span<const std::uint8_t> record);
// Writes the record after the last whole record of the file, cutting off a
// piece of one that an interrupted append left there.
int appendRecordBytes(std::FILE *stream, int fd, std::span<const std::uint8_t> record);

// A fresh file beside a record file, written in full before it takes the
// file's place, so that a crash leaves either the old file or the new one.
struct Replacement {
    std::string name;
    std::FILE *stream = nullptr; // null once committed or abandoned
};
// Starts replacing the record file at `path`, open on `fd` under its
// exclusive lock: removes what interrupted replacements left, then creates
// the fresh file exclusively, locked, with the old one's owner and mode.
// False, with errno set (EBADF when `fd` is open for reading only).
bool beginReplacement(const char *path, int fd, Replacement &replacement);
// Syncs the fresh file, renames it over `path` and syncs the directory;
// `stream` and `fd` then hold the new file, still locked, and the old one's
// lock is gone. False, with errno set, when a step fails: before the
// rename the fresh file is removed and the record file is as it was.
bool commitReplacement(const char *path, std::FILE *&stream, int &fd, Replacement &replacement);
// Removes the fresh file, keeping errno.
void abandonReplacement(Replacement &replacement);

// Writes all of `size` bytes at `offset`; false, with errno set, if not.
bool writeAllAt(int fd, const void *data, std::size_t size, off_t offset);

// Writes the content of the open file `sourceFd` over `destinationFd` from
// its start, cuts the destination to the new length and syncs it. False,
// with errno set, when any step fails.
bool copyOver(int sourceFd, int destinationFd);

// The decimal text of a number, in a small buffer of its own.
struct DecimalText {
    std::array<char, 12> digits{};
    std::size_t length = 0;

    explicit DecimalText(std::uint32_t value)
    {
        auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
        length = static_cast<std::size_t>(result.ptr - digits.data());
    }
    std::string_view view() const { return {digits.data(), length}; }
};

// The parsers of outside input, each on a line or buffer already read, so
// that the tests and fuzz targets reach them without the files they read.
struct utmp;
struct LoginEntry;
struct ProcEntry;
struct ConfigWords;
// A login record's entry: only user sessions of known users give one.
std::optional<LoginEntry> loginEntryOf(const utmp &record);
// The same, with the login's id from `uidOf`.
using UidLookup = std::function<std::optional<uid_t>(const std::string &login)>;
std::optional<LoginEntry> loginEntryOf(const utmp &record, const UidLookup &uidOf);
// A process's stat line and status file.
bool parseStat(std::string_view line, ProcEntry &entry);
bool parseStatus(std::string_view status, ProcEntry &entry);
// One line of the site's configuration file, applied to Settings.
void applyConfigLine(std::string_view line);
// The lines of an open cleaner's configuration file, as readCleanerConfig
// hands them over.
void readCleanerLines(
    std::FILE *file, const std::function<void(std::string_view keyword, ConfigWords words)> &apply);
