// ku_remove: deletes a user's account record; the system user stays.
#include <cstdio>

#include "common.h"

int main(int argc, char **argv)
{
    checkOutputAtExit();
    if (argc != 2)
        errorExit("usage: ku_remove <login>");
    removeAccount(argv[1], "ku_remove");
    std::printf("user deleted: %s\n", argv[1]);
    return 0;
}
