#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "text_format.hpp"

namespace ortholink::py {
namespace {

TEST(TextFormat, FixedFourDecimalsRoundHalfToEven) {
    EXPECT_EQ(format_fixed4(12.5), "12.5000");
    EXPECT_EQ(format_fixed4(-0.0), "-0.0000");
    EXPECT_EQ(format_fixed4(10.0), "10.0000");
    // Exact binary ties: 0.5 units of the fourth decimal.
    EXPECT_EQ(format_fixed4(0.00005), "0.0001");  // 0.00005 is slightly above the tie in binary
    EXPECT_EQ(format_fixed4(1.03125), "1.0312");  // exact tie, rounds to even
    EXPECT_EQ(format_fixed4(1.09375), "1.0938");  // exact tie, rounds to even
    EXPECT_EQ(format_fixed4(-179.99999999999997), "-180.0000");
    EXPECT_EQ(format_fixed4(1e300).size(), 301u + 5u);
}

TEST(TextFormat, ScientificHasBareExponent) {
    EXPECT_EQ(format_scientific3(1.137e-13), "1.137e-13");
    EXPECT_EQ(format_scientific3(4.0), "4.000e0");
    EXPECT_EQ(format_scientific3(0.0), "0.000e0");
    EXPECT_EQ(format_scientific3(12345.0), "1.234e4");  // 1.2345 rounds to even
    EXPECT_EQ(format_scientific3(1.5e-300), "1.500e-300");
    EXPECT_EQ(format_scientific3(-2.5e7), "-2.500e7");
}

TEST(TextFormat, NonFiniteSpellings) {
    const double inf = std::numeric_limits<double>::infinity();
    for (auto* format : {&format_fixed4, &format_scientific3}) {
        EXPECT_EQ(format(std::nan("")), "NaN");
        EXPECT_EQ(format(inf), "inf");
        EXPECT_EQ(format(-inf), "-inf");
    }
}

}  // namespace
}  // namespace ortholink::py
