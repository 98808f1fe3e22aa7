// The site's configuration, read line by line as readConfig reads its file
// (pieces of at most 255 characters): each line changes exactly what its key
// says, values taken with their leading number, lists growing up to their
// capacities, texts cut to their room, localDigits the digit count of the
// local format once a line has set one; a line of no key changes nothing.
// Devices lines whose device does not exist are left out: the reader ends
// the process on them, as it should.
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

bool sameSettings(const SiteSettings &a, const SiteSettings &b)
{
    auto equal = [](auto x, auto y) { return x == y; };
    auto sameEntry = [](const TimeClassEntry &x, const TimeClassEntry &y) {
        return x.dayFrom == y.dayFrom && x.dayTo == y.dayTo && x.hourFrom == y.hourFrom &&
               x.hourTo == y.hourTo;
    };
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

// Each group of four numbers, whatever separates them, is one time class.
void expectTimeClasses(SiteSettings &s, std::string_view rest)
{
    std::vector<int> numbers;
    for (std::size_t i = 0; i < rest.size();) {
        std::size_t end = i;
        while (end < rest.size() && fuzz::isDigit(rest[end]))
            ++end;
        if (end == i) {
            ++i;
            continue;
        }
        numbers.push_back(numberOf(rest.substr(i, end - i)));
        i = end;
    }
    for (std::size_t i = 0; i + 4 <= numbers.size(); i += 4) {
        int hourTo = numbers[i + 3] == 0 ? 23 : numbers[i + 3] - 1;
        s.TimeClass.push({numbers[i], numbers[i + 1], numbers[i + 2], hourTo});
    }
}

std::string joined(const std::vector<std::string_view> &words)
{
    std::string text;
    for (std::string_view word : words)
        text.append(text.empty() ? "" : " ").append(word);
    return text;
}

// What a line should make of the settings; false for a line the reader must
// not be given.
bool expectLine(SiteSettings &s, std::string_view line, bool &localFormatSet)
{
    std::vector<std::string_view> tokens = fuzz::tokensOf(line);
    if (tokens.empty())
        return true;
    std::string_view key = tokens[0];
    std::vector<std::string_view> values(tokens.begin() + 1, tokens.end());
    auto is = [key](std::string_view name) { return fuzz::sameIgnoringCase(key, name); };
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
    } else if (is("TimeClass")) {
        expectTimeClasses(
            s, line.substr(static_cast<std::size_t>(key.data() + key.size() - line.data())));
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
            setText(s.PhNoAreaFormat, joined(values));
    } else if (is("PhNoLocalFormat")) {
        if (!values.empty()) {
            setText(s.PhNoLocalFormat, joined(values));
            s.localDigits = formatDigitCount(s.PhNoLocalFormat.data());
            localFormatSet = true;
        }
    }
    return true;
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

        if (!expectLine(expected, line, localFormatSet))
            continue;
        applyConfigLine(line);
        FUZZ_CHECK(sameSettings(Settings, expected));
        FUZZ_CHECK(terminated(Settings.ModemDial) && terminated(Settings.PhNoAreaFormat) &&
                   terminated(Settings.PhNoLocalFormat));
        FUZZ_CHECK(Settings.localDigits ==
                   (localFormatSet ? formatDigitCount(Settings.PhNoLocalFormat.data()) : 0));
        for (const TimeClassEntry &entry : Settings.TimeClass)
            FUZZ_CHECK(entry.dayFrom >= 0 && entry.dayTo >= 0 && entry.hourFrom >= 0 &&
                       entry.hourTo >= 0);
    }
    return 0;
}
