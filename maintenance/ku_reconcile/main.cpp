// ku_reconcile: brings the account file into line with the password
// database, dropping every record whose user id has no login and every later
// record of an id that has one already.
#include <algorithm>
#include <vector>

#include <unistd.h>

#include "common.h"

namespace
{

// For each record, in file order, whether it goes. A trailing piece of a
// record is none and goes with the rest, should anything go.
std::vector<bool> recordsToDrop(PasswordTable &passwords)
{
    UidSet kept;
    std::vector<bool> dropped;
    UserRecord record;
    while (userFileRead(&record) == 0) {
        bool drop = kept.test(record.uid) || passwords.nameOf(record.uid) == nullptr;
        if (!drop)
            kept.set(record.uid);
        dropped.push_back(drop);
    }
    return dropped;
}

} // namespace

int main()
{
    checkOutputAtExit();
    PasswordTable passwords;
    passwords.load();
    // Held from the first read to the replacement, so that no change made
    // meanwhile (the monitor's minute) is overwritten.
    userFileOpen();
    std::vector<bool> dropped = recordsToDrop(passwords);
    // A file with nothing to drop is not touched at all.
    if (std::find(dropped.begin(), dropped.end(), true) != dropped.end()) {
        // Anyone else holds the file read-only and can drop nothing.
        if (geteuid() != 0)
            errorExit("must be root");
        userFileDropIf(
            [&dropped](long index) {
                auto at = static_cast<std::size_t>(index);
                return at < dropped.size() && dropped[at];
            },
            "ku_reconcile", fixedText::reconciledCopyCreated);
    }
    userFileClose();
    return 0;
}
