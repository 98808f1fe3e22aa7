// Walks a tree through directory descriptors, each directory opened
// relative to its parent without following a link, and every entry stated,
// touched and removed relative to its directory: an entry swapped for a link
// between its check and its use is acted on as the link, and nothing outside
// the tree is ever reached. Another file system mounted inside the tree is
// left alone.
#include "walk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "handles.h"
#include "report.h"

namespace
{

// Each level holds a descriptor and a directory buffer while the levels
// below it are cleaned; deeper trees are skipped, as they would be once the
// descriptors ran out.
constexpr int maxDepth = 1024;

constexpr unsigned statusMask = STATX_BASIC_STATS | STATX_MNT_ID;

bool statAt(int directory, const char *name, struct statx &status)
{
    return statx(directory, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, statusMask, &status) == 0;
}

bool statOpen(int fd, struct statx &status)
{
    return statx(fd, "", AT_EMPTY_PATH, statusMask, &status) == 0;
}

bool isMountRoot(const struct statx &status)
{
    return (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
           (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Whether an entry lies on the same mount as its directory. A bind mount of
// the same file system has the device of its directory: only the mount
// tells them apart.
bool onSameMount(const struct statx &directory, const struct statx &entry)
{
    if (entry.stx_dev_major != directory.stx_dev_major ||
        entry.stx_dev_minor != directory.stx_dev_minor || isMountRoot(entry))
        return false;
    bool bothKnown = (entry.stx_mask & directory.stx_mask & STATX_MNT_ID) != 0;
    return !bothKnown || entry.stx_mnt_id == directory.stx_mnt_id;
}

bool sameFile(const struct statx &a, const struct statx &b)
{
    return a.stx_ino == b.stx_ino && a.stx_dev_major == b.stx_dev_major &&
           a.stx_dev_minor == b.stx_dev_minor;
}

bool datedAfter(const struct statx &status, std::int64_t now)
{
    return status.stx_atime.tv_sec > now || status.stx_ctime.tv_sec > now ||
           status.stx_mtime.tv_sec > now;
}

// A file with more than one name may have one outside the tree: its times
// are that file's too, and not the cleaner's to change. (A directory's
// count is of its subdirectories.)
bool linkedElsewhere(const struct statx &status)
{
    return !S_ISDIR(status.stx_mode) && status.stx_nlink > 1;
}

EntryStatus entryStatus(const struct statx &status)
{
    return EntryStatus{status.stx_uid, status.stx_atime.tv_sec, status.stx_ctime.tv_sec,
                       status.stx_mtime.tv_sec};
}

void reportUnopened(int error)
{
    warning("opendir: %s", std::strerror(error));
}

class Walk
{
  public:
    explicit Walk(const RemovalRule &removable) : removable_(removable) {}

    // Cleans the open directory `fd`.
    void cleanDirectory(UniqueFd fd, const struct statx &self, int depth)
    {
        DIR *directory = fdopendir(fd.get());
        if (directory == nullptr) {
            reportUnopened(errno);
            return;
        }
        fd.release(); // the directory stream holds it now
        std::int64_t now = std::time(nullptr);
        while (const dirent *item = readdir(directory)) {
            if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
                cleanEntry(dirfd(directory), self, item->d_name, now, depth);
        }
        closedir(directory);
    }

  private:
    void cleanEntry(int directory, const struct statx &self, const char *name, std::int64_t now,
                    int depth)
    {
        struct statx status;
        if (!statAt(directory, name, status) || !onSameMount(self, status))
            return;
        if (datedAfter(status, now) && !linkedElsewhere(status)) {
            utimensat(directory, name, nullptr, AT_SYMLINK_NOFOLLOW);
            if (!statAt(directory, name, status))
                return;
        }
        bool remove = removable_(entryStatus(status), now);
        if (S_ISDIR(status.stx_mode)) {
            descend(directory, self, name, status, depth + 1);
            if (remove)
                unlinkat(directory, name, AT_REMOVEDIR);
        } else if (remove) {
            unlinkat(directory, name, 0);
        }
    }

    // Opens the subdirectory that was stated as `seen` and cleans it, unless
    // it has been replaced since by anything else.
    void descend(int directory, const struct statx &self, const char *name,
                 const struct statx &seen, int depth)
    {
        if (depth > maxDepth) {
            reportUnopened(EMFILE);
            return;
        }
        UniqueFd fd(openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            reportUnopened(errno);
            return;
        }
        struct statx opened;
        if (!statOpen(fd.get(), opened) || !sameFile(seen, opened) || !onSameMount(self, opened))
            return;
        cleanDirectory(std::move(fd), opened, depth);
    }

    const RemovalRule &removable_;
};

// Opens a directory a path line names without following a link anywhere on
// the way: a user may have planted one where a directory was expected, at
// the end of the path or before it. Kernels without openat2 check the last
// component only.
UniqueFd openNamedDirectory(const char *path)
{
    // A trailing "/" would have a link at the end followed all the same.
    std::string named(path);
    while (named.size() > 1 && named.back() == '/')
        named.pop_back();
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    UniqueFd fd(static_cast<int>(syscall(SYS_openat2, AT_FDCWD, named.c_str(), &how, sizeof how)));
    if (!fd && errno == ENOSYS)
        fd.reset(open(named.c_str(), static_cast<int>(how.flags)));
    return fd;
}

} // namespace

void cleanTree(const char *path, const RemovalRule &removable)
{
    UniqueFd fd = openNamedDirectory(path);
    struct statx self;
    if (!fd || !statOpen(fd.get(), self)) {
        reportUnopened(errno);
        return;
    }
    Walk(removable).cleanDirectory(std::move(fd), self, 0);
}
