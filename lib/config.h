// The site's settings: what the configuration file can set, and reading it.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <optional>

#include "devices.h"
#include "fixedlist.h"
#include "logins.h"

struct TimeClassEntry {
    int dayFrom = 0;
    int dayTo = 0;
    int hourFrom = 0;
    int hourTo = 0;
};

struct DevicesSetting {
    DeviceNumber first = 0;
    int lines = 0;
};

inline constexpr std::size_t modemDialSize = 32;   // 31 characters
inline constexpr std::size_t phoneFormatSize = 16; // 15 characters

using TimeClassTable = FixedList<TimeClassEntry, 4>;

struct SiteSettings {
    DevicesSetting Devices;
    int ReturnDelay = 0;
    bool SendMail = false;
    int GuestTime = 15;
    int GuestPriority = 4;
    FixedList<int, 16> WarnBoot;
    bool SmartBoot = false;
    bool BootOne = false;
    int IdleBoot = 0;
    bool IdleSmartBoot = false;
    bool SessionSmartBoot = false;
    TimeClassTable TimeClass;
    bool TimeClassSmartBoot = false;
    FixedList<uid_t, 64> ForeachExclude; // whole ids: no record is involved
    std::array<char, modemDialSize> ModemDial{"\\r\\dATZ\\r\\dATDT"};
    std::array<char, phoneFormatSize> PhNoAreaFormat{"3 (3)"};
    std::array<char, phoneFormatSize> PhNoLocalFormat{"3-4"};
    int localDigits = 0;
    LoginSource Logins = LoginSource::automatic; // the key LoginSource
    // The login gate refuses users without an account, but those named on
    // the key's line; whole ids, as no record is involved.
    bool RequireAccount = false;
    FixedList<uid_t, 64> RequireAccountExempt;
};

extern SiteSettings Settings;

void readConfig();
// The digit count of local numbers that readConfig would give the site's
// configuration, read without touching Settings and without ending the
// process; none when the file cannot be opened.
std::optional<int> configuredLocalDigits();
