// ku_every: runs a command once for every user of the password database but
// those the configuration excludes, each login taking the place of every
// argument that is exactly "{}".
#include <cstdio>
#include <cstring>
#include <vector>

#include <pwd.h>

#include "common.h"

namespace
{

constexpr std::size_t maxArguments = 62; // after the command

bool excluded(uid_t uid)
{
    // Whole ids: cut to 16 bits, one login would exclude another's.
    for (uid_t skipped : Settings.ForeachExclude) {
        if (skipped == uid)
            return true;
    }
    return false;
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

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    if (argc < 2 || static_cast<std::size_t>(argc - 2) > maxArguments)
        errorExit("usage: ku_every <command>");
    readConfig();
    const char *command = argv[1];
    std::span<char *const> arguments(argv + 2, static_cast<std::size_t>(argc - 2));
    setpwent();
    while (const passwd *entry = getpwent()) {
        if (!excluded(entry->pw_uid))
            runVector(command, argumentsFor(command, arguments, entry->pw_name).data(), true,
                      "exec");
    }
    endpwent();
    return 0;
}
