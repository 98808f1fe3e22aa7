// The site's configuration, read line by line as readConfig reads its file
// (pieces of at most 255 characters): each line changes exactly what its key
// says, values taken with their leading number, lists growing up to their
// capacities, texts cut to their room, localDigits the digit count of the
// local format once a line has set one; a line of no key changes nothing.
// Keys are taken in any case: a line with a key spelled otherwise does what
// the key's usual spelling does. A time class written back as four numbers
// reads as itself, whatever separates the numbers. Devices lines whose device
// does not exist are left out: the reader ends the process on them, as it
// should; so are lines of other spellings of a key as long as "Devices".
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>

#include "check.h"
#include "common.h"
#include "internal.h"

namespace
{

constexpr std::size_t lineSize = 256;

int numberOf(std::string_view text)
{
    long value = std::strtol(std::string(text).c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

template <std::size_t N> void setText(std::array<char, N> &setting, std::string_view text)
{
    setting.fill('\0');
    text.substr(0, N - 1).copy(setting.data(), N - 1);
}

template <std::size_t N> bool terminated(const std::array<char, N> &text)
{
    return std::memchr(text.data(), '\0', N) != nullptr;
}

template <typename T, std::size_t N, typename Same>
bool sameList(const FixedList<T, N> &a, const FixedList<T, N> &b, Same same)
{
    return a.count <= N && a.count == b.count && std::equal(a.begin(), a.end(), b.begin(), same);
}

bool sameEntry(const TimeClassEntry &x, const TimeClassEntry &y)
{
    return x.dayFrom == y.dayFrom && x.dayTo == y.dayTo && x.hourFrom == y.hourFrom &&
           x.hourTo == y.hourTo;
}

bool sameSettings(const SiteSettings &a, const SiteSettings &b)
{
    auto equal = [](auto x, auto y) { return x == y; };
    return a.Devices.first == b.Devices.first && a.Devices.lines == b.Devices.lines &&
           a.ReturnDelay == b.ReturnDelay && a.SendMail == b.SendMail &&
           a.GuestTime == b.GuestTime && a.GuestPriority == b.GuestPriority &&
           sameList(a.WarnBoot, b.WarnBoot, equal) && a.SmartBoot == b.SmartBoot &&
           a.BootOne == b.BootOne && a.IdleBoot == b.IdleBoot &&
           a.IdleSmartBoot == b.IdleSmartBoot && a.SessionSmartBoot == b.SessionSmartBoot &&
           sameList(a.TimeClass, b.TimeClass, sameEntry) &&
           a.TimeClassSmartBoot == b.TimeClassSmartBoot &&
           sameList(a.ForeachExclude, b.ForeachExclude, equal) &&
           std::strcmp(a.ModemDial.data(), b.ModemDial.data()) == 0 &&
           std::strcmp(a.PhNoAreaFormat.data(), b.PhNoAreaFormat.data()) == 0 &&
           std::strcmp(a.PhNoLocalFormat.data(), b.PhNoLocalFormat.data()) == 0 &&
           a.localDigits == b.localDigits;
}

// What a line with a key in its usual spelling should make of the settings;
// false for a line the reader must not be given. Time classes are checked
// apart.
bool expectLine(SiteSettings &s, std::string_view line, bool &localFormatSet)
{
    std::vector<std::string_view> tokens = fuzz::tokensOf(line);
    if (tokens.empty())
        return true;
    std::string_view key = tokens[0];
    std::vector<std::string_view> values(tokens.begin() + 1, tokens.end());
    auto is = [key](std::string_view name) { return key == name; };
    auto number = [&values](int &setting) {
        if (!values.empty())
            setting = numberOf(values[0]);
    };

    if (is("Devices")) {
        if (values.empty())
            return true;
        struct stat status;
        if (stat(("/dev/" + std::string(values[0])).c_str(), &status) != 0)
            return false;
        s.Devices.first = deviceNumberOf(status.st_rdev);
        if (values.size() > 1)
            s.Devices.lines = numberOf(values[1]);
    } else if (is("ReturnDelay")) {
        number(s.ReturnDelay);
    } else if (is("SendMail")) {
        s.SendMail = true;
    } else if (is("GuestTime")) {
        number(s.GuestTime);
    } else if (is("GuestPriority")) {
        number(s.GuestPriority);
    } else if (is("WarnBoot")) {
        for (std::string_view value : values)
            s.WarnBoot.push(numberOf(value));
    } else if (is("SmartBoot")) {
        s.SmartBoot = true;
    } else if (is("BootOne")) {
        s.BootOne = true;
    } else if (is("IdleBoot")) {
        number(s.IdleBoot);
    } else if (is("IdleSmartBoot")) {
        s.IdleSmartBoot = true;
    } else if (is("SessionSmartBoot")) {
        s.SessionSmartBoot = true;
    } else if (is("TimeClassSmartBoot")) {
        s.TimeClassSmartBoot = true;
    } else if (is("ForeachExclude")) {
        for (std::string_view name : values) {
            const passwd *entry = getpwnam(std::string(name).c_str());
            if (entry != nullptr)
                s.ForeachExclude.push(entry->pw_uid);
        }
    } else if (is("ModemDial")) {
        if (!values.empty())
            setText(s.ModemDial, values[0]);
    } else if (is("PhNoAreaFormat")) {
        if (!values.empty())
            setText(s.PhNoAreaFormat, fuzz::joined(values));
    } else if (is("PhNoLocalFormat")) {
        if (!values.empty()) {
            setText(s.PhNoLocalFormat, fuzz::joined(values));
            s.localDigits = formatDigitCount(s.PhNoLocalFormat.data());
            localFormatSet = true;
        }
    }
    return true;
}

constexpr std::array<std::string_view, 17> usualKeys{"Devices",
                                                     "ReturnDelay",
                                                     "SendMail",
                                                     "GuestTime",
                                                     "GuestPriority",
                                                     "WarnBoot",
                                                     "SmartBoot",
                                                     "BootOne",
                                                     "IdleBoot",
                                                     "IdleSmartBoot",
                                                     "SessionSmartBoot",
                                                     "TimeClass",
                                                     "TimeClassSmartBoot",
                                                     "ForeachExclude",
                                                     "ModemDial",
                                                     "PhNoAreaFormat",
                                                     "PhNoLocalFormat"};

// The line with its key, a word of it, spelled otherwise.
std::string withKey(std::string_view line, std::string_view key, std::string_view spelling)
{
    auto at = static_cast<std::size_t>(key.data() - line.data());
    return std::string(line.substr(0, at)).append(spelling).append(line.substr(at + key.size()));
}

// Applies a line to some settings, leaving the process's own as they were.
SiteSettings applied(const SiteSettings &settings, std::string_view line)
{
    SiteSettings saved = Settings;
    Settings = settings;
    applyConfigLine(line);
    SiteSettings result = Settings;
    Settings = saved;
    return result;
}

// The time classes a line added read back from their numbers, and read the
// same with commas for the blanks between the numbers.
void checkTimeClasses(const SiteSettings &before, std::string_view line, std::string_view key)
{
    const TimeClassTable &after = Settings.TimeClass;
    FUZZ_CHECK(after.count >= before.TimeClass.count);
    for (std::size_t i = 0; i < after.count; ++i) {
        const TimeClassEntry &e = after.items[i];
        FUZZ_CHECK(e.dayFrom >= 0 && e.dayTo >= 0 && e.hourFrom >= 0 && e.hourTo >= 0);
        std::string written = "TimeClass " + std::to_string(e.dayFrom) + " " +
                              std::to_string(e.dayTo) + " " + std::to_string(e.hourFrom) + " " +
                              std::to_string(e.hourTo + 1);
        const TimeClassTable &again = applied(SiteSettings{}, written).TimeClass;
        FUZZ_CHECK(again.count == 1 && sameList(again, TimeClassTable{{e}, 1}, sameEntry));
        if (i < before.TimeClass.count) // the entries before are kept
            FUZZ_CHECK(sameEntry(e, before.TimeClass.items[i]));
    }
    std::string commas(line);
    auto rest = static_cast<std::size_t>(key.data() + key.size() - line.data()) + 1;
    for (std::size_t i = rest; i < commas.size(); ++i) {
        if (commas[i] == ' ' || commas[i] == '\t')
            commas[i] = ',';
    }
    FUZZ_CHECK(sameList(applied(before, commas).TimeClass, after, sameEntry));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string_view file(reinterpret_cast<const char *>(data), size);
    Settings = SiteSettings{};
    SiteSettings expected;
    bool localFormatSet = false;
    while (!file.empty()) {
        // As fgets reads it into 256 bytes, and as a text it ends at a NUL.
        std::size_t end = file.find('\n');
        std::size_t length = std::min(end == file.npos ? file.size() : end + 1, lineSize - 1);
        std::string piece(file.substr(0, length));
        file.remove_prefix(length);
        std::string_view line(piece.c_str());

        std::vector<std::string_view> words = fuzz::tokensOf(line);
        std::string_view key = words.empty() ? "" : words[0];
        bool usual = std::find(usualKeys.begin(), usualKeys.end(), key) != usualKeys.end();
        if (!usual && key.size() == std::string_view("Devices").size())
            continue; // perhaps a Devices line, which may name no device
        if (!expectLine(expected, line, localFormatSet))
            continue;
        SiteSettings before = Settings;
        applyConfigLine(line);
        if (key == "TimeClass") {
            checkTimeClasses(before, line, key);
            expected.TimeClass = Settings.TimeClass;
        }
        if (usual) {
            // The key in other cases does the same.
            std::string turned(key), mixed(key);
            for (std::size_t i = 0; i < turned.size(); ++i) {
                turned[i] ^= 0x20;
                mixed[i] ^= i % 2 == 0 ? 0x20 : 0;
            }
            FUZZ_CHECK(sameSettings(applied(before, withKey(line, key, turned)), Settings));
            FUZZ_CHECK(sameSettings(applied(before, withKey(line, key, mixed)), Settings));
        } else if (!sameSettings(Settings, before)) {
            // Another spelling of some key: it does what that key does.
            auto same = std::find_if(usualKeys.begin(), usualKeys.end(), [&](std::string_view k) {
                return k.size() == key.size() &&
                       sameSettings(applied(before, withKey(line, key, k)), Settings);
            });
            FUZZ_CHECK(same != usualKeys.end());
            expected = Settings;
            localFormatSet = localFormatSet || (*same == "PhNoLocalFormat" && words.size() > 1);
        }
        FUZZ_CHECK(sameSettings(Settings, expected));
        FUZZ_CHECK(terminated(Settings.ModemDial) && terminated(Settings.PhNoAreaFormat) &&
                   terminated(Settings.PhNoLocalFormat));
        FUZZ_CHECK(Settings.localDigits ==
                   (localFormatSet ? formatDigitCount(Settings.PhNoLocalFormat.data()) : 0));
    }
    return 0;
}
