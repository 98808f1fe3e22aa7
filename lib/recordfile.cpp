// Opening, locking, reading and writing a file of fixed-size records: the
// mechanics that the account file and the ban file share.
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common.h"
#include "internal.h"

namespace
{

bool lockWhole(int fd, int operation)
{
    while (flock(fd, operation) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

} // namespace

std::FILE *openRecordFile(const char *path, bool writable, int &fd, const char *operation,
                          const char *condition)
{
    fd = writable ? open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644) : open(path, O_RDONLY);
    if (fd < 0)
        checkFailed("common", operation, condition);
    std::FILE *stream = fdopen(fd, writable ? "r+b" : "rb");
    if (stream == nullptr) {
        int saved = errno;
        close(fd);
        fd = -1;
        errno = saved;
        checkFailed("common", operation, "fdopen succeeded");
    }
    if (!lockWhole(fd, writable ? LOCK_EX : LOCK_SH)) {
        int saved = errno;
        std::fclose(stream);
        fd = -1;
        errno = saved;
        checkFailed("common", operation, "flock succeeded");
    }
    return stream;
}

void closeRecordFile(std::FILE *&stream, int &fd)
{
    if (stream == nullptr)
        return;
    std::fflush(stream);
    flock(fd, LOCK_UN);
    std::fclose(stream);
    stream = nullptr;
    fd = -1;
}

int readRecordBytes(std::FILE *stream, std::span<std::uint8_t> record)
{
    return std::fread(record.data(), record.size(), 1, stream) == 1 ? 0 : 1;
}

int writeRecordBytes(std::FILE *stream, int fd, std::span<const std::uint8_t> record)
{
    // The record goes straight to the file, so a result of 0 means it is
    // there and nothing of it lingers in a buffer to be written later.
    long at = std::ftell(stream);
    struct stat status;
    if (at < 0 || fstat(fd, &status) != 0)
        return 1;
    if (!writeAllAt(fd, record.data(), record.size(), at)) {
        int reason = errno;
        // A piece of a record at the end would misalign every later append.
        if (at >= status.st_size && ftruncate(fd, status.st_size) != 0)
            reason = errno;
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

bool replaceRecordFile(std::FILE *stream, int fd, const char *source)
{
    if (stream == nullptr || std::fflush(stream) != 0)
        return false;
    int sourceFd = open(source, O_RDONLY | O_CLOEXEC);
    if (sourceFd < 0)
        return false;
    bool copied = copyOver(sourceFd, fd);
    int saved = errno;
    close(sourceFd);
    // The stream's buffer and position belong to the old content.
    std::fseek(stream, 0, SEEK_SET);
    errno = saved;
    return copied;
}
