// Opening, locking, reading, writing and replacing a file of fixed-size
// records: the mechanics that the account file and the ban file share.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common.h"
#include "internal.h"

namespace
{

// Whether the open file is still the one at `path`. A replacement renames a
// fresh file over the path while others wait for the lock on the old one;
// whoever gets that lock then holds a file nobody will read again.
bool stillAtPath(int fd, const char *path)
{
    struct stat held;
    struct stat named;
    if (fstat(fd, &held) != 0 || held.st_nlink == 0 || stat(path, &named) != 0)
        return false;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Neither lock is held while the process ends: its exit may wait on output.
[[noreturn]] void openFailed(const RecordFileNames &names, UniqueFd &writersLock, UniqueFd &fd,
                             const char *condition)
{
    fd.reset();
    writersLock.reset();
    checkFailed(fixedText::library, names.operation, condition);
}

// A writer waits for the other writers, then for the record file's readers,
// but for them only so long: past the bound it goes on without their lock.
int openForWriting(const RecordFileNames &names)
{
    UniqueFd writers(takeWritersLock(names.path, LOCK_EX));
    UniqueFd fd;
    if (!writers)
        openFailed(names, writers, fd, names.condition);
    for (;;) {
        fd.reset(open(names.path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!fd)
            openFailed(names, writers, fd, names.condition);
        if (!lockWithinBound(fd.get(), LOCK_EX, names.label) && errno != EWOULDBLOCK)
            openFailed(names, writers, fd, fixedText::fileLocked);
        if (stillAtPath(fd.get(), names.path)) {
            keepWritersLock(fd.get(), writers.release());
            return fd.release();
        }
    }
}

// Root reads with the writers kept out by their own lock, so no user holding
// the record file can keep root waiting; a file not made yet holds nothing.
int openForRootReading(const RecordFileNames &names)
{
    // Without the lock directory no writer can work either.
    UniqueFd writers(takeWritersLock(names.path, LOCK_SH));
    UniqueFd fd(open(names.path, O_RDONLY | O_CLOEXEC));
    if (!fd && errno == ENOENT)
        fd.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!fd)
        openFailed(names, writers, fd, names.condition);
    keepWritersLock(fd.get(), writers.release());
    return fd.release();
}

// Other users read under the record file's shared lock, which they wait
// for as long as a writer holds the file.
int openForReading(const RecordFileNames &names)
{
    if (geteuid() == 0)
        return openForRootReading(names);
    UniqueFd none;
    for (;;) {
        UniqueFd fd(open(names.path, O_RDONLY));
        if (!fd)
            openFailed(names, none, fd, names.condition);
        if (!lockWhole(fd.get(), LOCK_SH))
            openFailed(names, none, fd, fixedText::fileLocked);
        if (stillAtPath(fd.get(), names.path))
            return fd.release();
    }
}

// How the writes to an open record file reach the disk. A command's write
// is synced before the write's result is given, so that no confirmation
// can outrun the disk; a writer of many records at once has them synced
// together when the file is closed, rather than one by one.
struct Durability {
    bool onClose = false;
    bool unsynced = false; // written since the last sync, when onClose
};
std::map<int, Durability> durabilities;

// Makes a write just made durable now, or has it wait for the close.
bool settle(int fd)
{
    Durability &durability = durabilities[fd];
    if (!durability.onClose)
        return fdatasync(fd) == 0;
    durability.unsynced = true;
    return true;
}

// Syncs what the writes since the last sync left in memory, and forgets
// the file.
bool settleBeforeClose(int fd)
{
    auto held = durabilities.find(fd);
    if (held == durabilities.end())
        return true;
    bool unsynced = held->second.unsynced;
    durabilities.erase(held);
    return !unsynced || fdatasync(fd) == 0;
}

} // namespace

std::FILE *openRecordFile(const RecordFileNames &names, RecordAccess access, int &fd)
{
    bool writable = access == RecordAccess::write;
    fd = writable ? openForWriting(names) : openForReading(names);
    durabilities.erase(fd); // what a descriptor of that number had is gone
    std::FILE *stream = fdopen(fd, writable ? "r+b" : "rb");
    if (stream == nullptr) {
        UniqueFd writers(handOverWritersLock(fd));
        UniqueFd opened(fd);
        fd = -1;
        openFailed(names, writers, opened, fixedText::streamOpened);
    }
    return stream;
}

bool closeRecordFile(std::FILE *&stream, int &fd)
{
    if (stream == nullptr)
        return true;
    std::fflush(stream);
    // Synced while the lock is held: the next writer must not see records
    // that a crash could still take back.
    bool synced = settleBeforeClose(fd);
    flock(fd, LOCK_UN);
    std::fclose(stream);
    releaseWritersLock(fd);
    stream = nullptr;
    fd = -1;
    return synced;
}

void syncRecordFileOnClose(int fd)
{
    durabilities[fd].onClose = true;
}

int readRecordBytes(std::FILE *stream, std::span<std::uint8_t> record)
{
    return std::fread(record.data(), record.size(), 1, stream) == 1 ? 0 : 1;
}

namespace
{

// What a write at `at` covers of the file as it was: the bytes to put back
// if the write cannot be made durable.
struct Covered {
    off_t at;
    off_t size; // of the file before the write
    std::vector<std::uint8_t> old;
    bool extends; // whether the write reaches past the end
};

bool readCovered(int fd, long at, std::size_t length, Covered &covered)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return false;
    covered.at = at;
    covered.size = status.st_size;
    off_t within = std::clamp<off_t>(status.st_size - at, 0, static_cast<off_t>(length));
    covered.old.resize(static_cast<std::size_t>(within));
    covered.extends = covered.old.size() < length;
    return pread(fd, covered.old.data(), covered.old.size(), at) ==
           static_cast<ssize_t>(covered.old.size());
}

// Undoes a write that failed or could not be synced, keeping errno: a
// command that reports the write failed must not leave its change in the
// file for the next run to make a second time.
void putBack(int fd, const Covered &covered)
{
    int reason = errno;
    static_cast<void>(writeAllAt(fd, covered.old.data(), covered.old.size(), covered.at));
    // A piece of a record at the end would misalign every later append.
    if (covered.extends)
        static_cast<void>(ftruncate(fd, covered.size));
    errno = reason;
}

} // namespace

int writeRecordBytes(std::FILE *stream, int fd, std::span<const std::uint8_t> record)
{
    // The record goes straight to the file, so a result of 0 means it is
    // there and nothing of it lingers in a buffer to be written later.
    long at = std::ftell(stream);
    Covered covered;
    if (at < 0 || !readCovered(fd, at, record.size(), covered))
        return 1;
    if (!writeAllAt(fd, record.data(), record.size(), at) || !settle(fd)) {
        putBack(fd, covered);
        int reason = errno;
        std::fseek(stream, at, SEEK_SET);
        errno = reason;
        return 1;
    }
    // The stream may hold the old bytes in its read buffer, and a seek that
    // lands inside that buffer would serve them again: flushing the stream
    // drops its buffer and makes the next read go to the file.
    if (std::fflush(stream) != 0)
        return 1;
    return std::fseek(stream, at + static_cast<long>(record.size()), SEEK_SET) == 0 ? 0 : 1;
}

int appendRecordBytes(std::FILE *stream, int fd, std::span<const std::uint8_t> record)
{
    // An append that was killed part-way leaves a piece of a record at the
    // end; the new record goes where that piece began.
    struct stat status;
    if (std::fflush(stream) != 0 || fstat(fd, &status) != 0)
        return 1;
    off_t whole = status.st_size - status.st_size % static_cast<off_t>(record.size());
    if (whole != status.st_size && ftruncate(fd, whole) != 0)
        return 1;
    if (std::fseek(stream, static_cast<long>(whole), SEEK_SET) != 0)
        return 1;
    return writeRecordBytes(stream, fd, record);
}

// ---------------------------------------------------------------- replacement

namespace
{

std::string_view directoryOf(std::string_view path)
{
    return path.substr(0, path.rfind('/'));
}

// Fresh files are named ".<file>.XXXXXX" beside the file they replace.
std::string replacementPrefix(std::string_view path)
{
    std::string prefix(directoryOf(path));
    prefix += "/.";
    prefix += path.substr(path.rfind('/') + 1);
    prefix += '.';
    return prefix;
}

// What a replacement killed part-way left behind. Only the holder of the
// file's exclusive lock makes replacements, and its own is not made yet, so
// every such name is a leftover.
void removeLeftovers(std::string_view path)
{
    std::string directory(directoryOf(path));
    std::string prefix = replacementPrefix(path).substr(directory.size() + 1);
    DIR *entries = opendir(directory.c_str());
    if (entries == nullptr)
        return;
    while (const dirent *entry = readdir(entries)) {
        std::string_view name = entry->d_name;
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix))
            unlinkat(dirfd(entries), entry->d_name, 0);
    }
    closedir(entries);
}

bool syncDirectoryOf(std::string_view path)
{
    UniqueFd directory(
        open(std::string(directoryOf(path)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory && fsync(directory.get()) == 0;
}

// The fresh file gets what the old one had, so that nothing about the file
// changes but its records.
bool takeOverAttributes(int fresh, int old)
{
    struct stat status;
    return fstat(old, &status) == 0 && fchown(fresh, status.st_uid, status.st_gid) == 0 &&
           fchmod(fresh, status.st_mode & 07777) == 0;
}

bool openForWriting(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

} // namespace

bool beginReplacement(const char *path, int fd, Replacement &replacement)
{
    if (!openForWriting(fd)) {
        errno = EBADF;
        return false;
    }
    removeLeftovers(path);
    replacement.name = replacementPrefix(path) + "XXXXXX";
    // Created anew under a name nobody could have planted a link at; locked
    // before it gets its place, so that whoever opens it there waits.
    UniqueFd fresh(mkostemp(replacement.name.data(), O_CLOEXEC));
    if (!fresh)
        return false;
    if (!lockWhole(fresh.get(), LOCK_EX) || !takeOverAttributes(fresh.get(), fd) ||
        (replacement.stream = fdopen(fresh.get(), "w+b")) == nullptr) {
        fresh.reset();
        int reason = errno;
        unlink(replacement.name.c_str());
        errno = reason;
        return false;
    }
    fresh.release(); // the stream holds it now
    return true;
}

void abandonReplacement(Replacement &replacement)
{
    if (replacement.stream == nullptr)
        return;
    int saved = errno;
    std::fclose(replacement.stream);
    replacement.stream = nullptr;
    unlink(replacement.name.c_str());
    errno = saved;
}

bool commitReplacement(const char *path, std::FILE *&stream, int &fd, Replacement &replacement)
{
    int fresh = fileno(replacement.stream);
    if (std::fflush(replacement.stream) != 0 || fsync(fresh) != 0 ||
        rename(replacement.name.c_str(), path) != 0) {
        abandonReplacement(replacement);
        return false;
    }
    bool durable = syncDirectoryOf(path);
    int saved = errno;
    // The old file's lock goes only now: its waiters find the new file in
    // its place, locked by this process until it closes it. The writers'
    // lock stays held throughout, and so does the way writes are synced;
    // the old file's unsynced writes are in the new one, synced above.
    int writers = handOverWritersLock(fd);
    bool onClose = durabilities[fd].onClose;
    durabilities.erase(fd);
    closeRecordFile(stream, fd);
    stream = replacement.stream;
    fd = fresh;
    keepWritersLock(fd, writers);
    if (onClose)
        syncRecordFileOnClose(fd);
    replacement.stream = nullptr;
    std::rewind(stream);
    errno = saved;
    return durable;
}
