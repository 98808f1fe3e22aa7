// Unit tests of how the account and ban commands read the numbers on their
// command lines.
#include "common.h"

#include <gtest/gtest.h>

#include <climits>

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

} // namespace
