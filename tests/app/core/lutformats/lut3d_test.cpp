// The shared 3D table: what validate() refuses, and the device link built
// from a table against the table's own evaluation.
#include "app/core/lutformats/lut3d.h"
#include "tests/app/core/lutformats/looks.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace lutformats;

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;

TEST(Lut3DTest, ValidateRefusesBrokenTables)
{
    struct Case {
        const char* name;
        std::function<void(Lut3D&)> damage;
        const char* expected;   // empty: accepted
    };
    const Case cases[] = {
        {"whole", [](Lut3D&) {}, ""},
        {"one point", [](Lut3D& l) { l.size = 1; }, "1 points per side"},
        {"257 points", [](Lut3D& l) { l.size = 257; }, "257 points per side"},
        {"short data", [](Lut3D& l) { l.data.resize(l.data.size() - 3); }, "holds 26 entries instead of 27"},
        {"NaN", [](Lut3D& l) { l.data[5] = NAN; }, "not a finite number"},
        {"empty range", [](Lut3D& l) { l.inputMax[1] = 0; }, "input range"},
        {"shaper of one", [](Lut3D& l) { l.shaperSize = 1; for (auto& s : l.shaper) s = {0}; }, "1 entries"},
        {"uneven shapers", [](Lut3D& l) { l.shaperSize = 2; l.shaper = {{{0, 1}, {0, 1}, {0}}}; }, "same number"},
        {"shaper without size", [](Lut3D& l) { l.shaper[0] = {0, 1}; }, "without its size"},
        {"infinite shaper", [](Lut3D& l) { l.shaperSize = 2; l.shaper = {{{0, 1}, {0, INFINITY}, {0, 1}}}; }, "1D table holds"},
    };
    for (const Case& c : cases) {
        Lut3D lut = identityLut(3);
        c.damage(lut);
        const std::string why = lut.validate();
        if (*c.expected == '\0') EXPECT_EQ(why, "") << c.name;
        else EXPECT_NE(why.find(c.expected), std::string::npos) << c.name << ": " << why;
    }
}

// A grid affine in its inputs is interpolated exactly by any scheme, so the
// link must give what the range and the shaper make of a colour, through the
// same affine map.
TEST(Lut3DTest, DeviceLinkAppliesRangeShaperAndGrid)
{
    const auto affine = [](const looks::Rgb& c) {
        return looks::Rgb{0.1 + 0.7 * c[0] + 0.2 * c[2], 0.9 * c[1] - 0.1 * c[0], 0.3 + 0.5 * c[2]};
    };
    Lut3D lut = looks::sampled(affine, 5);
    lut.inputMin = {-0.25, 0.0, 0.1};
    lut.inputMax = {1.25, 1.0, 0.9};
    lut.shaperSize = 1024;
    for (size_t c = 0; c < 3; ++c) {
        lut.shaper[c].resize(lut.shaperSize);
        for (uint32_t i = 0; i < lut.shaperSize; ++i) {
            const double x = double(i) / (lut.shaperSize - 1);
            lut.shaper[c][i] = float(c == 1 ? 1 - (1 - x) * (1 - x) : x * x);
        }
    }
    ASSERT_EQ(lut.validate(), "");
    ProfilePtr link{lutDeviceLink(lut), &closeProfile};
    ASSERT_TRUE(link);
    const auto* pipeline = static_cast<const Pipeline*>(loadTag(link.get(), sig("A2B0")));
    ASSERT_TRUE(pipeline);
    double worst = 0;
    for (const looks::Rgb& c : looks::randomColours(1000)) {
        // Slow reference: range, the exact shaper functions, the affine map.
        looks::Rgb t;
        for (size_t i = 0; i < 3; ++i) {
            const double x = std::clamp((c[i] - lut.inputMin[i]) / (lut.inputMax[i] - lut.inputMin[i]), 0.0, 1.0);
            t[i] = i == 1 ? 1 - (1 - x) * (1 - x) : x * x;
        }
        const looks::Rgb want = affine(t);
        const float in[3] = {float(c[0]), float(c[1]), float(c[2])};
        float out[3];
        evalPipelineFloat(in, out, pipeline);
        const looks::Rgb mine = lut.evaluate(c);
        for (size_t i = 0; i < 3; ++i) {
            worst = std::max(worst, std::fabs(out[i] - want[i]));
            EXPECT_NEAR(mine[i], want[i], 1e-5);
        }
    }
    EXPECT_LT(worst, 1e-4);
}

TEST(Lut3DTest, ValidatedIdentityEvaluatesToItsInput)
{
    const Lut3D lut = identityLut(17);
    ASSERT_EQ(lut.validate(), "");
    for (const looks::Rgb& c : looks::randomColours(200)) {
        const looks::Rgb out = lut.evaluate(c);
        for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(out[i], c[i], 1e-6);
    }
}

}   // namespace
