// Telling users about their time: notices written onto their terminals,
// and the mail that tells a disconnected link user why.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "notices.h"

namespace
{

// Line names come from the login records; one that climbs out of /dev
// names no terminal.
bool lineStaysInDev(const char *line)
{
    return std::string_view(line).find("..") == std::string_view::npos;
}

// The status of the terminal a line names, the line itself not followed if
// it is a link; none unless it is a character device under /dev.
std::optional<struct stat> terminalStatus(const char *line)
{
    if (!lineStaysInDev(line))
        return std::nullopt;
    struct stat status;
    if (lstat(terminalPath(line).data(), &status) != 0 || !S_ISCHR(status.st_mode))
        return std::nullopt;
    return status;
}

// Writing to a terminal marks it as modified; the idle rule reads the
// access time, so both are put back to what the user left them at.
void restoreTimes(int fd, const char *path, const struct stat &before)
{
    const timespec times[2] = {before.st_atim, before.st_atim};
    if (fd >= 0)
        futimens(fd, times);
    else
        utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

constexpr std::size_t addressSize = 64; // 63 characters

// The login, and "@" and the mail host when one is set; false when that
// does not fit: an address cut short would be somebody else's.
bool mailAddress(std::span<char> address, std::uint16_t uid, const char *mailHost)
{
    char login[loginNameSize];
    if (uidToName(login, uid) == nullptr)
        return false;
    int length = mailHost[0] == '\0'
                     ? std::snprintf(address.data(), address.size(), "%s", login)
                     : std::snprintf(address.data(), address.size(), "%s@%s", login, mailHost);
    return length >= 0 && static_cast<std::size_t>(length) < address.size();
}

// The notice files, one a reason, in the product directory.
std::string noticeFile(NoticeReason reason)
{
    static constexpr const char *names[] = {"linewatchd.busy", "linewatchd.idle",
                                            "linewatchd.time_class", "linewatchd.time_period",
                                            "linewatchd.time_session"};
    auto index = static_cast<std::size_t>(reason);
    return std::string(productDir) + "/" + names[index < std::size(names) ? index : 1];
}

} // namespace

TerminalPath terminalPath(const char *line)
{
    TerminalPath path{};
    std::snprintf(path.data(), path.size(), "/dev/%s", line);
    return path;
}

std::optional<std::time_t> terminalLastInput(const char *line)
{
    // Only a terminal's times say when it was typed on: a line that climbs
    // out of /dev, or a link, could lead to a file whose times its user sets.
    std::optional<struct stat> status = terminalStatus(line);
    if (!status)
        return std::nullopt;
    return status->st_atime;
}

std::optional<DeviceNumber> terminalDevice(const char *line)
{
    // A device number of 0 would stand for every process without a terminal.
    std::optional<struct stat> status = terminalStatus(line);
    if (!status || status->st_rdev == 0)
        return std::nullopt;
    return deviceNumberOf(status->st_rdev);
}

namespace
{

// Opens the terminal that `status` describes under a line's name: -1 when
// the open fails, or, with errno ENOTTY, when the name stands for another
// device by now or for one that is no terminal (a disk, a sound card).
int openTerminalAs(const char *line, const struct stat &status, int flags)
{
    // Without O_NOCTTY the user's terminal could become the monitor's own,
    // and the user's hang-up would then end the monitor.
    UniqueFd fd(open(terminalPath(line).data(), flags | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return -1;
    struct stat opened;
    if (fstat(fd.get(), &opened) != 0 || !S_ISCHR(opened.st_mode) ||
        opened.st_rdev != status.st_rdev || !isatty(fd.get())) {
        fd.reset();
        errno = ENOTTY;
        return -1;
    }
    return fd.release();
}

} // namespace

int openTerminal(const char *line, int flags)
{
    std::optional<struct stat> status = terminalStatus(line);
    return status ? openTerminalAs(line, *status, flags) : -1;
}

void notifyTerminal(const char *line, const char *notice, bool keepTimes)
{
    std::optional<struct stat> before = terminalStatus(line);
    // The group-write bit is cleared by a user who refuses messages.
    if (!before || !(before->st_mode & S_IWGRP))
        return;

    UniqueFd fd(openTerminalAs(line, *before, O_WRONLY | O_NONBLOCK));
    if (!fd && errno == ENOTTY)
        return; // the times to put back were another file's
    if (fd) {
        std::string framed = std::string("\a\n\nNOTICE: ") + notice + "\n\n";
        if (write(fd.get(), framed.data(), framed.size()) < 0) {
            // Nobody to tell: a notice that cannot be written is dropped.
        }
    }
    if (keepTimes)
        restoreTimes(fd.get(), terminalPath(line).data(), *before);
}

void mailNotice(std::uint16_t uid, NoticeReason reason, const char *mailHost)
{
    char address[addressSize];
    if (!mailAddress(address, uid, mailHost))
        return;
    // The notice is the mail's body; without it there is nothing to send.
    UniqueFd body(open(noticeFile(reason).c_str(), O_RDONLY | O_CLOEXEC));
    if (!body)
        return;
    // No shell: neither the login nor the mail host is ever read as syntax.
    pid_t child = fork();
    if (child == 0) {
        // The monitor holds its stopping signals back between its waits;
        // the mail command must not inherit that.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(body.get(), STDIN_FILENO);
        const char *argv[] = {"mail", "-s", "Connection Terminated", address, nullptr};
        execvp("mail", const_cast<char *const *>(argv));
        _exit(127);
    }
    body.reset();
    if (child > 0)
        waitForChild(child);
}
