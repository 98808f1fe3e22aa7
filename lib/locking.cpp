// How the record files are locked so that no user can hold up a writer.
//
// Whoever may read a record file may also flock it, shared or exclusive,
// and hold the lock as long as they like. So writers, who are root, first
// take a lock file that only root can reach, which orders them among
// themselves; the record file's own lock is then waited for a bounded time
// only, for the sake of readers in the middle of a read, and a writer goes
// on without it when it does not come. Root's readers take the writers'
// lock shared, and never wait for the record file's.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "common.h"
#include "internal.h"

namespace
{

// Locks last no longer than the processes that hold them: they live in the
// run-time directory, where a full or read-only product directory does not
// stop them from being made.
constexpr const char *lockDirectory = "/run/kestrune";
constexpr int lockBoundSeconds = 5;

// The writers' lock held with each open record file, by its descriptor.
std::map<int, int> writersLocks;

// The lock directory, made if missing; it must be root's alone, or a user
// could reach the locks in it.
UniqueFd openLockDirectory()
{
    if (mkdir(lockDirectory, 0700) != 0 && errno != EEXIST)
        return UniqueFd();
    UniqueFd directory(open(lockDirectory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    if (directory && (fstat(directory.get(), &status) != 0 || status.st_uid != 0 ||
                      (status.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
        directory.reset();
        errno = EPERM;
    }
    return directory;
}

UniqueFd openLockFile(const char *recordPath)
{
    UniqueFd directory = openLockDirectory();
    if (!directory)
        return UniqueFd();
    std::string name = std::string(baseName(recordPath)) + ".lock";
    UniqueFd fd(
        openat(directory.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat status;
    if (fd && (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != 0)) {
        fd.reset();
        errno = EPERM;
    }
    return fd;
}

// How /proc/locks names a file: the device's numbers in hexadecimal and
// the inode, "MAJ:MIN:INODE".
struct LockedFile {
    std::string device;
    std::string inode;
};

std::optional<LockedFile> lockedFileOf(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return std::nullopt;
    char device[32];
    std::snprintf(device, sizeof device, "%02x:%02x", ::major(status.st_dev),
                  ::minor(status.st_dev));
    return LockedFile{device, std::to_string(status.st_ino)};
}

// The login of the user a process runs as, or "uid N".
std::string ownerOf(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        unsigned long uid = 0;
        if (std::sscanf(line.c_str(), "Uid: %lu", &uid) != 1)
            continue;
        // Whole ids: the holder need not have an account.
        const passwd *entry = getpwuid(static_cast<uid_t>(uid));
        return entry != nullptr ? entry->pw_name : "uid " + std::to_string(uid);
    }
    return "gone";
}

std::string holderText(pid_t pid)
{
    return "pid " + std::to_string(pid) + " (" + ownerOf(pid) + ")";
}

} // namespace

bool lockWhole(int fd, int operation)
{
    while (flock(fd, operation) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

std::string lockHolder(int fd)
{
    std::optional<LockedFile> file = lockedFileOf(fd);
    if (!file)
        return "another process";
    // A file on an overlay is locked on the overlay's device but stated on
    // the layer's: failing the whole name, the inode alone will do.
    std::optional<pid_t> byInode;
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        // "1: FLOCK  ADVISORY  READ 4711 08:01:1234 0 EOF"; waiters show "->".
        std::istringstream fields(line);
        std::string number, kind, mode, access, name;
        long pid = 0;
        if (line.find("->") != std::string::npos ||
            !(fields >> number >> kind >> mode >> access >> pid >> name) || kind != "FLOCK" ||
            pid <= 0 || pid == getpid())
            continue;
        if (name == file->device + ":" + file->inode)
            return holderText(static_cast<pid_t>(pid));
        if (!byInode && name.ends_with(":" + file->inode))
            byInode = static_cast<pid_t>(pid);
    }
    return byInode ? holderText(*byInode) : "another process";
}

int takeWritersLock(const char *recordPath, int operation)
{
    UniqueFd fd = openLockFile(recordPath);
    if (!fd || !lockWhole(fd.get(), operation))
        return -1;
    return fd.release();
}

bool lockWithinBound(int fd, int operation, const char *label)
{
    using namespace std::chrono;
    auto deadline = steady_clock::now() + seconds(lockBoundSeconds);
    milliseconds pause(1);
    while (flock(fd, operation | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        auto now = steady_clock::now();
        if (now >= deadline) {
            warning("%s held by %s for %d s", label, lockHolder(fd).c_str(), lockBoundSeconds);
            errno = EWOULDBLOCK;
            return false;
        }
        std::this_thread::sleep_for(std::min<nanoseconds>(pause, deadline - now));
        pause = std::min(pause * 2, milliseconds(50));
    }
    return true;
}

void keepWritersLock(int recordFd, int lockFd)
{
    if (lockFd >= 0)
        writersLocks[recordFd] = lockFd;
}

int handOverWritersLock(int recordFd)
{
    auto held = writersLocks.find(recordFd);
    if (held == writersLocks.end())
        return -1;
    int lockFd = held->second;
    writersLocks.erase(held);
    return lockFd;
}

void releaseWritersLock(int recordFd)
{
    UniqueFd lock(handOverWritersLock(recordFd)); // closed as it goes
}
