// The site's configuration file: keyword lines read into the process-wide
// Settings, every read starting again from the defaults.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string_view>

#include <sys/stat.h>

#include "common.h"
#include "internal.h"

SiteSettings Settings;

namespace
{

constexpr std::size_t lineSize = 256; // lines of at most 255 characters

void readDevices(ConfigWords values)
{
    std::string_view name;
    if (!values.next(name))
        return;
    char path[lineSize + 8];
    std::snprintf(path, sizeof path, "/dev/%.*s", static_cast<int>(name.size()), name.data());
    struct stat status;
    if (stat(path, &status) != 0)
        perrorExit("stat");
    Settings.Devices.first = deviceNumberOf(status.st_rdev);
    std::string_view count;
    if (values.next(count))
        Settings.Devices.lines = leadingDecimal<int>(count);
}

void readNumber(ConfigWords values, int &setting)
{
    std::string_view value;
    if (values.next(value))
        setting = leadingDecimal<int>(value);
}

void readWarnBoot(ConfigWords values)
{
    std::string_view value;
    while (values.next(value))
        Settings.WarnBoot.push(leadingDecimal<int>(value));
}

// Any non-digit separates the numbers, so "1-5 8-18" and "1,5,8,18" agree.
// Each group of four is days from and to, hours from and to (exclusive).
void readTimeClasses(std::string_view rest)
{
    std::array<int, 4> group{};
    std::size_t have = 0;
    std::size_t i = 0;
    while (i < rest.size()) {
        if (!isDigit(rest[i])) {
            ++i;
            continue;
        }
        std::size_t start = i;
        while (i < rest.size() && isDigit(rest[i]))
            ++i;
        group[have++] = leadingDecimal<int>(rest.substr(start, i - start));
        if (have < group.size())
            continue;
        have = 0;
        int hourTo = group[3] == 0 ? 23 : group[3] - 1;
        Settings.TimeClass.push(TimeClassEntry{group[0], group[1], group[2], hourTo});
    }
}

// The ids of the logins the line names; unknown logins are dropped.
void readLoginIds(ConfigWords values, FixedList<uid_t, 64> &setting)
{
    std::string_view name;
    while (values.next(name)) {
        char login[lineSize];
        copyText(login, name);
        std::optional<uid_t> uid = loginUid(login);
        if (uid)
            setting.push(*uid);
    }
}

void readModemDial(ConfigWords values)
{
    std::string_view value;
    if (values.next(value))
        copyText(Settings.ModemDial, value);
}

// The tokens joined by single blanks; a format too long for its setting is
// cut to the setting's room. False when the line has no value.
bool readFormat(ConfigWords values, std::span<char> format)
{
    char joined[lineSize] = "";
    std::size_t length = 0;
    std::string_view token;
    while (values.next(token)) {
        int written =
            std::snprintf(joined + length, sizeof joined - length, "%s%.*s", length == 0 ? "" : " ",
                          static_cast<int>(token.size()), token.data());
        length = std::min(sizeof joined - 1, length + static_cast<std::size_t>(written));
    }
    if (length == 0)
        return false;
    copyText(format, joined);
    return true;
}

// An unknown source leaves the setting as it was: the default, or an
// earlier line's.
void readLoginSource(ConfigWords values, LoginSource &setting)
{
    std::string_view word;
    if (!values.next(word))
        return;
    if (std::optional<LoginSource> source = loginSourceNamed(word))
        setting = *source;
}

} // namespace

void applyConfigLine(std::string_view line)
{
    ConfigWords values{line, 0};
    std::string_view key;
    if (!values.next(key))
        return;
    if (sameKeyword(key, "Devices"))
        readDevices(values);
    else if (sameKeyword(key, "ReturnDelay"))
        readNumber(values, Settings.ReturnDelay);
    else if (sameKeyword(key, "SendMail"))
        Settings.SendMail = true;
    else if (sameKeyword(key, "GuestTime"))
        readNumber(values, Settings.GuestTime);
    else if (sameKeyword(key, "GuestPriority"))
        readNumber(values, Settings.GuestPriority);
    else if (sameKeyword(key, "WarnBoot"))
        readWarnBoot(values);
    else if (sameKeyword(key, "SmartBoot"))
        Settings.SmartBoot = true;
    else if (sameKeyword(key, "BootOne"))
        Settings.BootOne = true;
    else if (sameKeyword(key, "IdleBoot"))
        readNumber(values, Settings.IdleBoot);
    else if (sameKeyword(key, "IdleSmartBoot"))
        Settings.IdleSmartBoot = true;
    else if (sameKeyword(key, "SessionSmartBoot"))
        Settings.SessionSmartBoot = true;
    else if (sameKeyword(key, "TimeClass"))
        readTimeClasses(line.substr(values.pos));
    else if (sameKeyword(key, "TimeClassSmartBoot"))
        Settings.TimeClassSmartBoot = true;
    else if (sameKeyword(key, "ForeachExclude"))
        readLoginIds(values, Settings.ForeachExclude);
    else if (sameKeyword(key, "ModemDial"))
        readModemDial(values);
    else if (sameKeyword(key, "PhNoAreaFormat"))
        readFormat(values, Settings.PhNoAreaFormat);
    else if (sameKeyword(key, "PhNoLocalFormat") && readFormat(values, Settings.PhNoLocalFormat))
        Settings.localDigits = formatDigitCount(Settings.PhNoLocalFormat.data());
    else if (sameKeyword(key, "LoginSource"))
        readLoginSource(values, Settings.Logins);
    else if (sameKeyword(key, "RequireAccount")) {
        Settings.RequireAccount = true;
        readLoginIds(values, Settings.RequireAccountExempt);
    }
}

namespace
{

// Hands each line of the configuration file, in pieces of at most 255
// characters, to `apply`; false when the file cannot be opened.
bool forEachConfigLine(const std::function<void(std::string_view line)> &apply)
{
    UniqueFile file(std::fopen(configPath, "re"));
    if (file == nullptr)
        return false;
    char line[lineSize];
    while (std::fgets(line, sizeof line, file.get()) != nullptr)
        apply(line);
    return true;
}

} // namespace

void readConfig()
{
    Settings = SiteSettings{};
    if (!forEachConfigLine(applyConfigLine))
        errorExit("couldn't open config file");
}

std::optional<int> configuredLocalDigits()
{
    int digits = SiteSettings{}.localDigits;
    decltype(Settings.PhNoLocalFormat) format{};
    bool opened = forEachConfigLine([&](std::string_view line) {
        ConfigWords values{line, 0};
        std::string_view key;
        // Only this key: a Devices line would stat its device.
        if (values.next(key) && sameKeyword(key, "PhNoLocalFormat") && readFormat(values, format))
            digits = formatDigitCount(format.data());
    });
    if (!opened)
        return std::nullopt;
    return digits;
}

LoginSource configuredLoginSource()
{
    LoginSource source = SiteSettings{}.Logins;
    forEachConfigLine([&](std::string_view line) {
        ConfigWords values{line, 0};
        std::string_view key;
        if (values.next(key) && sameKeyword(key, "LoginSource"))
            readLoginSource(values, source);
    });
    return source;
}
