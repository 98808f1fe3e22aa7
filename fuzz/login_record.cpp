// The login-record reader, one record of the platform's layout at a time:
// only user sessions (type 7) of users the password database knows give an
// entry, with that user's id, the record's line, terminated, and its login
// time; the name is read up to its first character that is not printable.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include <pwd.h>
#include <utmp.h>

#include "check.h"
#include "common.h"
#include "internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    utmp record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(&record, data, std::min(size, sizeof record));

    std::optional<LoginEntry> entry = loginEntryOf(record);

    std::string name;
    for (char c : record.ut_user) {
        if (c < ' ' || c > '~')
            break;
        name += c;
    }
    const passwd *user = getpwnam(name.c_str());
    FUZZ_CHECK(entry.has_value() == (record.ut_type == USER_PROCESS && user != nullptr));
    if (!entry)
        return 0;
    FUZZ_CHECK(entry->uid == user->pw_uid);
    std::size_t length = strnlen(record.ut_line, sizeof record.ut_line);
    FUZZ_CHECK(entry->line[length] == '\0');
    FUZZ_CHECK(std::memcmp(entry->line.data(), record.ut_line, length) == 0);
    FUZZ_CHECK(entry->loginTime == record.ut_tv.tv_sec);
    return 0;
}
