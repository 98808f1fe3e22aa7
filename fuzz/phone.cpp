// parsePhone and formatPhone together: blanks, dashes and parentheses around
// the digits change nothing; past 18 digits a number is refused with the
// parts untouched; the parts, each held to 2147483647, are the number's
// digits split before its last localDigits (all area without a local part),
// and read back when written out; and a number laid out by the formats,
// whenever it can be, reads back to the same parts, unless its local part is
// 0 and its area as long as a local part (its area alone is then laid out).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "common.h"

namespace
{

constexpr std::uint32_t untouched = 0xDEADBEEF;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    // Formats as the settings hold them: texts of at most 15 characters.
    std::string areaFormat = fuzz::text(input.ConsumeRandomLengthString(phoneFormatSize - 1));
    std::string localFormat = fuzz::text(input.ConsumeRandomLengthString(phoneFormatSize - 1));
    // Without a local format line the digit count stays 0.
    int localDigits = input.ConsumeBool() ? formatDigitCount(localFormat) : 0;
    std::string text = input.ConsumeRemainingBytesAsString();

    std::uint32_t area = untouched;
    std::uint32_t local = untouched;
    int result = parsePhone(area, local, text, localDigits);

    // Blanks, dashes and parentheses about or among the digits change nothing.
    std::uint32_t areaDecorated = untouched, localDecorated = untouched;
    std::string decorated = "(" + text + ") -";
    FUZZ_CHECK(parsePhone(areaDecorated, localDecorated, decorated, localDigits) == result &&
               areaDecorated == area && localDecorated == local);
    // Past 18 digits, nothing is taken.
    std::uint32_t areaLong = untouched, localLong = untouched;
    FUZZ_CHECK(parsePhone(areaLong, localLong, text + "1234567890123456789", localDigits) == 1 &&
               areaLong == untouched && localLong == untouched);
    if (result != 0) {
        FUZZ_CHECK(result == 1 && area == untouched && local == untouched);
        // Refused for no digits at all, or too many.
        std::uint32_t five = untouched, zero = untouched;
        int again = parsePhone(five, zero, text + "5", 0);
        FUZZ_CHECK(again == 1 || (five == 5 && zero == 0));
        return 0;
    }
    FUZZ_CHECK(result == 0 && area <= INT32_MAX && local <= INT32_MAX);
    // Without a local part the digits are all area; with one, the area is
    // what comes before its last localDigits digits.
    std::uint32_t all = untouched, none = untouched;
    FUZZ_CHECK(parsePhone(all, none, text, 0) == 0 && none == 0);
    std::size_t localCount = static_cast<std::size_t>(std::max(localDigits, 0));
    if (all < INT32_MAX && localCount <= 9) {
        std::uint64_t scale = 1;
        for (std::size_t i = 0; i < localCount; ++i)
            scale *= 10;
        FUZZ_CHECK((area == all && local == 0) || std::uint64_t{area} * scale + local == all);
        // The parts written out, the local one to its full width, read back.
        std::string local0 = std::to_string(local);
        std::string written = std::to_string(area) +
                              std::string(localCount - std::min(localCount, local0.size()), '0') +
                              (localCount == 0 ? "" : local0);
        std::uint32_t areaAgain = untouched, localAgain = untouched;
        if (written.size() <= 18)
            FUZZ_CHECK(parsePhone(areaAgain, localAgain, written, localDigits) == 0 &&
                       areaAgain == area && localAgain == local);
    }

    char laidOut[phoneTextSize];
    if (formatPhone(laidOut, area, local, areaFormat, localFormat) == nullptr)
        return 0;
    // A local part of 0 lays out as the area alone, which reads back as the
    // same parts only while it is shorter than a local part.
    if (local == 0 && localCount > 0 && std::to_string(area).size() >= localCount)
        return 0;
    std::uint32_t areaAgain = untouched;
    std::uint32_t localAgain = untouched;
    FUZZ_CHECK(parsePhone(areaAgain, localAgain, laidOut, localDigits) == 0);
    FUZZ_CHECK(areaAgain == area && localAgain == local);
    return 0;
}
