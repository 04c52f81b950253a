// .csp: pre-LUTs (even, uneven, straight), the writer read back exactly, and
// refusals naming the line.
#include "app/core/lutformats/cspformat.h"
#include "tests/app/core/lutformats/looks.h"

#include <gtest/gtest.h>

using namespace lutformats;

namespace {

std::string identityGrid(int n)
{
    std::string t = std::to_string(n) + " " + std::to_string(n) + " " + std::to_string(n) + "\n";
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r)
                t += std::to_string(double(r) / (n - 1)) + " " + std::to_string(double(g) / (n - 1)) + " " +
                     std::to_string(double(b) / (n - 1)) + "\n";
    return t;
}

// The pre-LUT as a piecewise-linear function, held at its ends.
double piecewise(const std::vector<double>& x, const std::vector<double>& y, double v)
{
    if (v <= x.front()) return y.front();
    for (size_t i = 1; i < x.size(); ++i)
        if (v <= x[i]) return y[i - 1] + (y[i] - y[i - 1]) * (v - x[i - 1]) / (x[i] - x[i - 1]);
    return y.back();
}

TEST(CspTest, PreLutsShapeTheInput)
{
    // Red: uneven levels (a log-like pre-LUT); green: even over -0.5 … 1.5;
    // blue: straight over 0 … 2.
    const std::vector<double> redIn = {0, 0.05, 0.2, 0.6, 1}, redOut = {0, 0.3, 0.55, 0.85, 1};
    std::string text = "CSPLUTV100\r\n3D\r\n\r\nBEGIN METADATA\r\nPre-LUT test\r\nEND METADATA\r\n"
                       "5\n0 0.05 0.2 0.6 1\n0 0.3 0.55 0.85 1\n"
                       "3\n-0.5 0.5 1.5\n0 0.25 1\n"
                       "2\n0 2\n0 1\n\n" + identityGrid(3);
    const LutRead read = readCsp(text, "t.csp");
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_EQ(read.lut.title, "Pre-LUT test");
    EXPECT_EQ(read.lut.validate(), "");
    for (const looks::Rgb& c : looks::randomColours(500)) {
        const looks::Rgb in = {c[0], c[1] * 2 - 0.5, c[2] * 2};
        const looks::Rgb out = read.lut.evaluate(in);
        // Resampled on 4096 steps: a kink is cut by at most a quarter step
        // times the change of slope.
        EXPECT_NEAR(out[0], piecewise(redIn, redOut, in[0]), 3e-4);
        EXPECT_NEAR(out[1], piecewise({-0.5, 0.5, 1.5}, {0, 0.25, 1}, in[1]), 1e-4);
        EXPECT_NEAR(out[2], in[2] / 2, 1e-6);
    }
}

TEST(CspTest, WrittenTableReadsBackExactly)
{
    Lut3D look = looks::sampled(looks::analytic, 9);
    look.comment = "Made by the test";
    look.inputMin = {-0.1, -0.1, -0.1};
    look.inputMax = {1.1, 1.1, 1.1};
    look.shaperSize = 7;
    for (size_t c = 0; c < 3; ++c)
        for (uint32_t i = 0; i < 7; ++i) look.shaper[c].push_back(float(std::pow(i / 6.0, 0.9 + 0.1 * c)));
    const LutRead read = readCsp(cspText(look), "look.csp");
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_EQ(read.lut.title, "Look");
    EXPECT_EQ(read.lut.comment, "Made by the test");
    EXPECT_EQ(read.lut.shaper, look.shaper);
    EXPECT_EQ(read.lut.data, look.data);
    for (size_t c = 0; c < 3; ++c) {
        EXPECT_NEAR(read.lut.inputMin[c], -0.1, 1e-7);
        EXPECT_NEAR(read.lut.inputMax[c], 1.1, 1e-7);
    }
}

TEST(CspTest, RefusesMalformedFilesNamingTheLine)
{
    const std::string head = "CSPLUTV100\n3D\n";
    const std::string pre = "2\n0 1\n0 1\n";
    struct Case {
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {"CSPLUTV200\n", "t.csp: line 1: a .csp file starts with \"CSPLUTV100\""},
        {"CSPLUTV100\n1D\n", "line 2: only 3D tables are read"},
        {head + "BEGIN METADATA\nx\n", "line 4: the file ends before \"END METADATA\""},
        {head + "2\n0 1\n0\n", "line 5: the red pre-LUT has 2 entries, this line 1"},
        {head + pre + "2\n1 0\n", "line 7: the green pre-LUT: the input levels must rise"},
        {head + pre + pre + "1\n", "line 9: the blue pre-LUT needs its number of entries"},
        {head + pre + pre + pre + "2 2 3\n", "line 12: the grid size must be three equal numbers"},
        {head + pre + pre + pre + "2 2 2\n0 0 x\n", "line 13: \"x\" is not a number"},
        {head + pre + pre + pre + "2 2 2\n0 0 0\n", "line 13: the grid of 2 points needs 8 table lines, found 1"},
        {head + pre + pre + pre + identityGrid(2) + "0 0 0\n", "line 21: more table lines than the grid holds"},
        {head + pre, "line 5: the file ends before the pre-LUTs"},
    };
    for (const Case& c : cases) {
        const LutRead read = readCsp(c.text, "t.csp");
        EXPECT_FALSE(read.ok());
        EXPECT_NE(read.error.find(c.expected), std::string::npos) << read.error;
    }
}

}   // namespace
