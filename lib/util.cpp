// How programs run other programs, copy a file and fill fixed buffers.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common.h"
#include "internal.h"

namespace
{

constexpr int maxArguments = 16; // argument 0, up to 14 more, the null

// The child's exit code; 1 when it cannot be waited for.
int exitCodeOf(pid_t child)
{
    int status = waitForChild(child);
    if (status < 0)
        return 1;
    // A child that a signal ended has no exit code; its byte reads as 0.
    return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

} // namespace

const char *baseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

int runProgram(const char *path, ...)
{
    const char *argv[maxArguments];
    int argc = 0;
    argv[argc++] = baseName(path);
    std::va_list args;
    va_start(args, path);
    const char *argument;
    bool tooMany = false;
    while ((argument = va_arg(args, const char *)) != nullptr) {
        if (argc == maxArguments - 1) {
            tooMany = true;
            break;
        }
        argv[argc++] = argument;
    }
    va_end(args);
    argv[argc] = nullptr;
    if (tooMany) {
        errno = E2BIG;
        std::perror("execv");
        return 1;
    }
    return runVector(path, argv, false, "execv");
}

int runVector(const char *program, const char *const *argv, bool search, const char *label)
{
    // Output still buffered here must not be written twice by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    if (child < 0)
        perrorExit("fork");
    if (child == 0) {
        if (search)
            execvp(program, const_cast<char *const *>(argv));
        else
            execv(program, const_cast<char *const *>(argv));
        // The child shares the parent's open files and locks: it must leave
        // without closing or flushing anything of theirs.
        std::perror(label);
        _exit(1);
    }
    return exitCodeOf(child);
}

bool writeAllAt(int fd, const void *data, std::size_t size, off_t offset)
{
    const char *bytes = static_cast<const char *>(data);
    for (std::size_t done = 0; done < size;) {
        ssize_t put = pwrite(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool copyOver(int sourceFd, int destinationFd)
{
    char buffer[4096];
    off_t length = 0;
    for (;;) {
        ssize_t got = read(sourceFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (!writeAllAt(destinationFd, buffer, static_cast<std::size_t>(got), length))
            return false;
        length += got;
    }
    // Only now that the new content stands in full is the old tail cut off.
    return ftruncate(destinationFd, length) == 0 && fsync(destinationFd) == 0;
}

void fCopy(const char *source, const char *destination)
{
    UniqueFd sourceFd(open(source, O_RDONLY | O_CLOEXEC));
    if (!sourceFd)
        checkFailed(fixedText::library, fixedText::fCopy, fixedText::copySourceOpened);
    int fd = open(destination, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        checkFailed(fixedText::library, fixedText::fCopy, fixedText::copyDestinationOpened);
    // The destination's close is checked: a write can fail as late as that.
    if (!copyOver(sourceFd.get(), fd) || close(fd) != 0)
        perrorExit((std::string(fixedText::fCopy) + ": " + destination).c_str());
}

void copyText(std::span<char> out, std::string_view text)
{
    if (out.empty())
        return;
    std::size_t length = std::min(text.size(), out.size() - 1);
    std::memcpy(out.data(), text.data(), length);
    out[length] = '\0';
}
