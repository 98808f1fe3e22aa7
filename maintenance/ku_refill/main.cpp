// ku_refill: starts a new allowance period for every account, setting what
// is left back to the limits and clearing the traffic; with an option, the
// time-class allowances only. All accounts are refilled or, if it is
// stopped part-way, none.
#include <optional>

#include <unistd.h>

#include "common.h"

namespace
{

void refill(UserRecord &record, bool classesOnly)
{
    record.cLeft = record.cLimit;
    if (classesOnly)
        return;
    record.tLeft = record.tLimit;
    record.sLeft = record.sLimit;
    record.lastBytes = 0;
    record.totalBytes = 0;
}

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    readConfig(); // nothing of it is used, but it must be there
    // Any option at all, -c or not, asks for the class allowances only.
    bool classesOnly = getopt(argc, argv, "c") != -1;
    // Anyone else gets the file read-only and could refill nothing.
    if (geteuid() != 0)
        errorExit("must be root");
    userFileOpen();
    userFileRewriteAll(
        [classesOnly](long, UserRecord record) -> std::optional<UserRecord> {
            refill(record, classesOnly);
            return record;
        },
        "ku_refill", fixedText::userFileCopyCreated);
    userFileClose();
    return 0;
}
