#include "curves/core/sliderscale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

struct ToValue {
    int mode;
    int position;
    double value;
};

struct ToPosition {
    int mode;
    double value;
    int position;
};

constexpr int FarEnd = 1 << 30;

} // namespace

// Values worked out by hand from v = p / 100, v = 0.248567 · e^(0.0277842 · p)
// and v = 9p / 100.
TEST(SliderScaleTest, PositionsToValues)
{
    const ToValue cases[] = {
        {0, 0, 0.0},         {0, 37, 0.37},         {0, -100, -1.0},      {0, 100, 1.0},
        {1, 250, 2.5},       {1, 1000, 10.0},       {7, 42, 0.42},        {-1, -5, -0.05},
        {2, 0, 0.248567},    {2, 1, 0.2555701},     {2, 50, 0.9971712},   {2, 100, 4.0003312},
        {2, 99, 3.8907150},  {3, -100, -9.0},       {3, 1, 0.09},         {3, 50, 4.5},
        {4, 0, 0.0},         {4, 100, 9.0},         {4, 28, 2.52},
    };
    for (const ToValue& c : cases)
        EXPECT_NEAR(sliderToValue(c.mode, c.position), c.value, 5e-7) << "mode " << c.mode << " p " << c.position;
}

// p = round(v × 100), p = round(35.9917 · ln(4.023060180957247 · v)),
// p = round(v × 100 / 9), halves away from zero.
TEST(SliderScaleTest, ValuesToPositions)
{
    const ToPosition cases[] = {
        {0, 0.37, 37},   {0, -1.0, -100}, {0, 0.125, 13},  {0, -0.125, -13}, {0, 0.004, 0},
        {1, 2.5, 250},   {1, 9.99, 999},  {5, 0.5, 50},
        {2, 1.0, 50},    // 50.10
        {2, 0.25, 0},    // 0.21
        {2, 0.5, 25},    // 25.15
        {2, 2.0, 75},    // 75.05
        {2, 3.0, 90},    // 89.64
        {2, 4.0, 100},   // 99.997
        {3, 0.5, 6},     // 5.56
        {3, -0.5, -6},   {3, 9.0, 100},   {3, -9.0, -100}, {4, 2.5, 28},   {4, 0.0, 0},
    };
    for (const ToPosition& c : cases)
        EXPECT_EQ(valueToSlider(c.mode, c.value), c.position) << "mode " << c.mode << " v " << c.value;
}

// The two directions agree: every slider position comes back to itself.
TEST(SliderScaleTest, PositionsSurviveTheRoundTrip)
{
    struct Range {
        int mode, from, to;
    };
    for (const Range r : {Range{0, -100, 100}, Range{1, 0, 1000}, Range{2, 1, 100}, Range{3, -100, 100},
                          Range{4, 0, 100}})
        for (int p = r.from; p <= r.to; ++p)
            EXPECT_EQ(valueToSlider(r.mode, sliderToValue(r.mode, p)), p) << "mode " << r.mode << " p " << p;
}

TEST(SliderScaleTest, UnplaceableValuesGoToTheEnds)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(valueToSlider(2, 0.0), -FarEnd);
    EXPECT_EQ(valueToSlider(2, -1.0), -FarEnd);
    EXPECT_EQ(valueToSlider(2, inf), FarEnd);
    EXPECT_EQ(valueToSlider(0, 1e300), FarEnd);
    EXPECT_EQ(valueToSlider(3, -inf), -FarEnd);
    for (int mode : {0, 2, 3}) EXPECT_EQ(valueToSlider(mode, nan), 0) << mode;
}
