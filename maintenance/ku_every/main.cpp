// ku_every: runs a command once for every user of the password database but
// those the configuration excludes, each login taking the place of every
// argument that is exactly "{}".
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common.h"

namespace
{

constexpr std::size_t maxArguments = 62; // after the command

bool excluded(uid_t uid)
{
    // The list holds 16-bit ids, and ids are compared as such.
    auto id = static_cast<std::uint16_t>(uid);
    for (std::uint16_t skipped : Settings.ForeachExclude) {
        if (skipped == id)
            return true;
    }
    return false;
}

const char *baseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// The login goes in whole: a login cut short can be another user's.
std::vector<const char *> argumentsFor(const char *command, std::span<char *const> arguments,
                                       const char *login)
{
    std::vector<const char *> argv{baseName(command)};
    for (const char *argument : arguments)
        argv.push_back(std::strcmp(argument, "{}") == 0 ? login : argument);
    argv.push_back(nullptr);
    return argv;
}

void runAndWait(const char *command, const std::vector<const char *> &argv)
{
    // Output still buffered here must not be written twice by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    if (child < 0)
        perrorExit("fork");
    if (child == 0) {
        execvp(command, const_cast<char *const *>(argv.data()));
        // Nothing of the parent's open streams may be flushed or moved.
        std::perror("exec");
        _exit(1);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || static_cast<std::size_t>(argc - 2) > maxArguments)
        errorExit("usage: ku_every <command>");
    readConfig();
    const char *command = argv[1];
    std::span<char *const> arguments(argv + 2, static_cast<std::size_t>(argc - 2));
    setpwent();
    while (const passwd *entry = getpwent()) {
        if (!excluded(entry->pw_uid))
            runAndWait(command, argumentsFor(command, arguments, entry->pw_name));
    }
    endpwent();
    return 0;
}
