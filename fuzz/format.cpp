// formatPhone and formatBytes: a layout is written within the caller's
// buffer or not at all (null, the buffer empty), holds the digits of the
// parts in order, as many of the local part as its format counts, does not
// depend on the room it was given when it fits nor on which digits it lays
// out, and fits 52 bytes with formats of 15 characters; formatDigitCount
// adds up the groups of a format, whatever surrounds them; a byte count
// prints in the unit its size calls for, with the value it has in that unit.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "common.h"

namespace
{

// Whether `part` stands in `text` in order, its characters perhaps apart.
bool within(std::string_view part, std::string_view text)
{
    for (char c : text) {
        if (!part.empty() && c == part[0])
            part.remove_prefix(1);
    }
    return part.empty();
}

int saturated(long long count)
{
    return static_cast<int>(std::min<long long>(count, INT_MAX));
}

// formatDigitCount adds up the groups of a format: a group written as a
// number counts that many, other characters nothing, and two formats joined
// by a letter count what both do.
void checkDigitCount(std::string_view format, std::string_view other, std::uint32_t group)
{
    int count = formatDigitCount(format);
    FUZZ_CHECK(count >= 0);
    FUZZ_CHECK(formatDigitCount(std::to_string(group)) == saturated(group));
    FUZZ_CHECK(formatDigitCount("(" + std::to_string(group) + ") -") == saturated(group));
    std::string both = std::string(format) + "x" + std::string(other);
    FUZZ_CHECK(formatDigitCount(both) ==
               saturated(static_cast<long long>(count) + formatDigitCount(other)));
}

void checkPhone(FuzzedDataProvider &input)
{
    auto area = input.ConsumeIntegral<std::uint32_t>();
    auto local = input.ConsumeIntegral<std::uint32_t>();
    std::size_t room = input.ConsumeIntegralInRange<std::size_t>(0, 80);
    std::string areaFormat = fuzz::text(input.ConsumeRandomLengthString(40));
    std::string localFormat = fuzz::text(input.ConsumeRandomLengthString(40));

    checkDigitCount(areaFormat, localFormat, area);

    // Exactly the room given, so that the sanitizer sees any write past it.
    std::unique_ptr<char[]> out(new char[room]);
    std::memset(out.get(), 'x', room);
    const char *text = formatPhone({out.get(), room}, area, local, areaFormat, localFormat);
    char roomy[256];
    const char *unbounded = formatPhone(roomy, area, local, areaFormat, localFormat);

    if (text == nullptr) {
        FUZZ_CHECK(room == 0 || out[0] == '\0');
        // Null only because it does not fit, or not at all.
        FUZZ_CHECK(unbounded == nullptr || std::strlen(unbounded) >= room);
    } else {
        FUZZ_CHECK(text == out.get());
        FUZZ_CHECK(std::strlen(text) < room);
        FUZZ_CHECK(unbounded != nullptr && std::strcmp(text, unbounded) == 0);
    }
    if (unbounded == nullptr) {
        FUZZ_CHECK(roomy[0] == '\0');
        return;
    }
    std::string areaDigits = std::to_string(area);
    std::string localDigits = std::to_string(local);
    if (local == 0) {
        FUZZ_CHECK(unbounded == areaDigits);
    } else {
        // The parts' digits in order; the local part fills its format.
        FUZZ_CHECK(within((area == 0 ? "" : areaDigits) + localDigits, unbounded));
        FUZZ_CHECK(formatDigitCount(localFormat) == static_cast<int>(localDigits.size()));
        // Other digits of the same count lay out alike, as long.
        if (localDigits.size() <= 9) {
            auto nines =
                static_cast<std::uint32_t>(std::stoul(std::string(localDigits.size(), '9')));
            char other[256];
            const char *again = formatPhone(other, area, nines, areaFormat, localFormat);
            FUZZ_CHECK(again != nullptr && std::strlen(again) == std::strlen(unbounded));
        }
    }
    if (areaFormat.size() < phoneFormatSize && localFormat.size() < phoneFormatSize)
        FUZZ_CHECK(std::strlen(unbounded) < 52);
}

void checkBytes(FuzzedDataProvider &input)
{
    auto bytes = input.ConsumeIntegral<std::uint64_t>();
    std::unique_ptr<char[]> out(new char[byteTextSize]);
    const char *text = formatBytes({out.get(), byteTextSize}, bytes);
    FUZZ_CHECK(text == out.get());
    std::size_t length = strnlen(text, byteTextSize);
    FUZZ_CHECK(length < byteTextSize && length > 3);

    std::string_view unit(text + length - 3, 3);
    long double divisor = 1024;
    if (bytes >= 1073741824) {
        FUZZ_CHECK(unit == " GB");
        divisor = 1073741824;
    } else if (bytes >= 1048576) {
        FUZZ_CHECK(unit == " MB");
        divisor = 1048576;
    } else {
        FUZZ_CHECK(unit == " KB");
    }
    char *end = nullptr;
    long double shown = std::strtold(text, &end);
    FUZZ_CHECK(end == text + length - 3);
    // Two decimals, of a value taken in single precision.
    long double value = static_cast<long double>(bytes) / divisor;
    FUZZ_CHECK(std::fabs(shown - value) <= 0.005L + value * 1e-6L);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool())
        checkPhone(input);
    else
        checkBytes(input);
    return 0;
}
