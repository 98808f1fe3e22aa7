// ku_delete: ends an account for the commands that retire accounts (the ban
// command, the expiry runner, the sweep) by deleting its record. A site may
// install its own program in its place; see the README.
#include <cstdio>

#include "common.h"

int main(int argc, char **argv)
{
    checkOutputAtExit();
    if (argc != 2)
        errorExit("usage: ku_delete <login>");
    removeAccount(argv[1], "ku_delete");
    std::printf("user deleted: %s\n", argv[1]);
    return 0;
}
