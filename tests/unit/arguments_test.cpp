// Unit tests of what the account and ban commands make of their arguments:
// numbers, whole phone numbers and phone numbers typed in several words.
#include "common.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace
{

struct NumberCase {
    const char *text;
    int value;
};

class DecimalArgument : public testing::TestWithParam<NumberCase>
{
};

TEST_P(DecimalArgument, ReadsAsStrtolAndStaysWithinInt)
{
    EXPECT_EQ(decimalArgument(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, DecimalArgument,
    testing::Values(NumberCase{"600", 600}, NumberCase{"  -15", -15}, NumberCase{"+7", 7},
                    NumberCase{"120min", 120}, NumberCase{"x1", 0}, NumberCase{"", 0},
                    NumberCase{"2147483647", INT_MAX}, NumberCase{"-2147483648", INT_MIN},
                    // Beyond int, a number is held at its limit, not cut into
                    // a small one (4294967300 would otherwise read as 4).
                    NumberCase{"4294967300", INT_MAX}, NumberCase{"-4294967300", INT_MIN},
                    NumberCase{"99999999999999999999999", INT_MAX}));

struct PhoneCase {
    const char *text;
    int localDigits;
    int result;
    std::uint32_t area;
    std::uint32_t local;
};

class FullPhone : public testing::TestWithParam<PhoneCase>
{
};

TEST_P(FullPhone, NeedsALocalPartWhereThereIsAnArea)
{
    std::uint32_t area = 99;
    std::uint32_t local = 99;
    EXPECT_EQ(parseFullPhone(area, local, GetParam().text, GetParam().localDigits),
              GetParam().result);
    EXPECT_EQ(area, GetParam().area);
    EXPECT_EQ(local, GetParam().local);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, FullPhone,
    testing::Values(PhoneCase{"(555) 555-1234", 7, 0, 555, 5551234},
                    PhoneCase{"555-1234", 7, 0, 0, 5551234}, PhoneCase{"000", 7, 0, 0, 0},
                    // Invalid numbers leave the outputs alone.
                    PhoneCase{"555", 7, 1, 99, 99}, PhoneCase{"555 0000000", 7, 1, 99, 99},
                    PhoneCase{"5551234", 0, 1, 99, 99}, PhoneCase{"no digits", 7, 1, 99, 99}));

TEST(JoinWords, PutsOneBlankBetweenWords)
{
    std::string a = "(03)", b = "555", c = "1234";
    std::vector<char *> words{a.data(), b.data(), c.data()};
    EXPECT_EQ(joinWords(words), "(03) 555 1234");
    EXPECT_EQ(joinWords(std::span<char *const>(words.data(), 1)), "(03)");
    EXPECT_EQ(joinWords({}), "");
}

} // namespace
