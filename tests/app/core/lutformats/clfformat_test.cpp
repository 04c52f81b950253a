// .clf: the writer read back, bit depths, the nodes composed in any order
// against a slow reference, and refusals naming the line and node.
#include "app/core/lutformats/clfformat.h"
#include "tests/app/core/lutformats/looks.h"

#include <gtest/gtest.h>

using namespace lutformats;

namespace {

std::string processList(const std::string& nodes)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<ProcessList id=\"t\" compCLFversion=\"3.0\" xmlns=\"urn:AMPAS:CLF:v3.0\">\n"
           "<!-- a test -->\n<Description>Test &amp; more</Description>\n" +
           nodes + "</ProcessList>\n";
}

// An affine grid of 2 points at the given output depth, blue fastest.
std::string affineGrid(const char* in, const char* out, double top, const looks::Rgb (&m)[4])
{
    std::string t = std::string("<LUT3D inBitDepth=\"") + in + "\" outBitDepth=\"" + out +
                    "\" interpolation=\"trilinear\">\n<Array dim=\"2 2 2 3\">\n";
    for (int r = 0; r < 2; ++r)
        for (int g = 0; g < 2; ++g)
            for (int b = 0; b < 2; ++b)
                for (size_t c = 0; c < 3; ++c)
                    t += std::to_string((m[0][c] + r * m[1][c] + g * m[2][c] + b * m[3][c]) * top) + (c < 2 ? " " : "\n");
    return t + "</Array>\n</LUT3D>\n";
}

const looks::Rgb Affine[4] = {{0.1, 0.05, 0.2}, {0.6, 0.1, 0.0}, {0.1, 0.7, 0.1}, {0.0, 0.1, 0.5}};

looks::Rgb affine(const looks::Rgb& c)
{
    looks::Rgb out;
    for (size_t i = 0; i < 3; ++i) out[i] = Affine[0][i] + c[0] * Affine[1][i] + c[1] * Affine[2][i] + c[2] * Affine[3][i];
    return out;
}

TEST(ClfTest, WrittenTableReadsBackExactly)
{
    for (const bool sameRange : {true, false}) {
        Lut3D look = looks::sampled(looks::strong, 9);
        look.title = "Film <look> & \"more\"";
        look.inputMin = {-0.125, sameRange ? -0.125 : 0.0, -0.125};
        look.inputMax = {1.25, 1.25, sameRange ? 1.25 : 2.0};
        look.shaperSize = 5;
        for (size_t c = 0; c < 3; ++c)
            for (uint32_t i = 0; i < 5; ++i) look.shaper[c].push_back(float(std::sqrt(i / 4.0)));
        const LutRead read = readClf(clfText(look), "look.clf");
        ASSERT_TRUE(read.ok()) << read.error;
        EXPECT_EQ(read.lut.title, look.title);
        EXPECT_EQ(read.lut.data, look.data);
        EXPECT_EQ(read.lut.shaper, look.shaper);
        for (size_t c = 0; c < 3; ++c) {
            EXPECT_NEAR(read.lut.inputMin[c], look.inputMin[c], 1e-6) << sameRange;
            EXPECT_NEAR(read.lut.inputMax[c], look.inputMax[c], 1e-6) << sameRange;
        }
    }
}

TEST(ClfTest, NodesComposeInAnyOrderAtAnyDepth)
{
    // 10-bit in, 12-bit out: a matrix mixing channels, the grid, then a
    // Range that scales without clamping: resampled whole, and exact since
    // the whole list is affine.
    const std::string mixed = processList(
        "<Matrix inBitDepth=\"10i\" outBitDepth=\"12i\"><Array dim=\"3 3\">\n"
        "3.2 0.4 0\n0 4.0 0\n0.4 0 3.6\n</Array></Matrix>\n" +
        affineGrid("12i", "16i", 65535, Affine) +
        "<Range inBitDepth=\"16i\" outBitDepth=\"32f\" style=\"noClamp\">"
        "<minInValue>0</minInValue><maxInValue>65535</maxInValue><minOutValue>0.1</minOutValue>"
        "<maxOutValue>0.9</maxOutValue></Range>\n");
    const LutRead read = readClf(mixed, "mixed.clf");
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_EQ(read.lut.title, "Test & more");
    const double m[9] = {3.2, 0.4, 0, 0, 4.0, 0, 0.4, 0, 3.6};
    for (const looks::Rgb& c : looks::randomColours(300)) {
        // Slow reference in code values.
        looks::Rgb v;
        for (size_t r = 0; r < 3; ++r) v[r] = (m[r * 3] * c[0] + m[r * 3 + 1] * c[1] + m[r * 3 + 2] * c[2]) * 1023 / 4095;
        for (double& x : v) x = std::clamp(x, 0.0, 1.0);
        const looks::Rgb want = affine(v);
        const looks::Rgb got = read.lut.evaluate(c);
        for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(got[i], 0.1 + 0.8 * want[i], 1e-5);
    }

    // Per-channel nodes before one grid: a clamping Range onto 0 … 1 is the
    // input range, a LUT1D at 16 bits the shaper.
    const std::string shaped = processList(
        "<Range inBitDepth=\"10i\" outBitDepth=\"32f\"><minInValue>64</minInValue><maxInValue>940</maxInValue>"
        "<minOutValue>0</minOutValue><maxOutValue>1</maxOutValue></Range>\n"
        "<LUT1D inBitDepth=\"32f\" outBitDepth=\"16i\"><Array dim=\"3 1\">0 16384 65535</Array></LUT1D>\n" +
        affineGrid("16i", "32f", 1, Affine));
    const LutRead s = readClf(shaped, "shaped.clf");
    ASSERT_TRUE(s.ok()) << s.error;
    EXPECT_NEAR(s.lut.inputMin[0], 64.0 / 1023, 1e-12);
    EXPECT_NEAR(s.lut.inputMax[2], 940.0 / 1023, 1e-12);
    EXPECT_EQ(s.lut.shaperSize, 3u);
    EXPECT_FLOAT_EQ(s.lut.shaper[1][1], float(16384.0 / 65535));
}

TEST(ClfTest, RefusesMalformedFilesNamingTheLineAndNode)
{
    const std::string grid = affineGrid("32f", "32f", 1, Affine);
    struct Case {
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {processList("<Log inBitDepth=\"32f\" outBitDepth=\"32f\" style=\"log10\"/>\n" + grid),
         "t.clf: line 5: the node <Log> is not read: only Range, Matrix, LUT1D and LUT3D nodes are"},
        {processList("<LUT3D inBitDepth=\"32f\" outBitDepth=\"32f\"><Array dim=\"2 2 2 3\">0 1</Array></LUT3D>\n"),
         "line 5: <Array>: holds 2 values, its dimensions give 24"},
        {processList("<LUT3D inBitDepth=\"32f\" outBitDepth=\"32f\"><Array dim=\"2 2 2 3\">\n0 1\n0 x\n</Array></LUT3D>\n"),
         "line 7: <Array>: \"x\" is not a number"},
        {processList("<LUT3D inBitDepth=\"9i\" outBitDepth=\"32f\"/>\n"),
         "line 5: <LUT3D>: inBitDepth \"9i\" is none of 8i, 10i, 12i, 16i, 16f, 32f"},
        {processList("<LUT1D inBitDepth=\"16f\" outBitDepth=\"16f\" halfDomain=\"true\"/>\n"),
         "line 5: <LUT1D>: halfDomain tables are not read"},
        {processList("<Matrix inBitDepth=\"32f\" outBitDepth=\"32f\"><Array dim=\"4 4\"/></Matrix>\n"),
         "line 5: <Array>: a matrix of 3 × 3 or 3 × 4 values is read"},
        {processList("<Range inBitDepth=\"32f\" outBitDepth=\"32f\"><minInValue>0</minInValue></Range>\n"),
         "line 5: <Range>: needs minInValue with minOutValue"},
        {processList(""), "line 2: the ProcessList holds no process node"},
        {"<ProcessList>\n<LUT3D>\n</ProcessList>\n", "line 3: </ProcessList> closes <LUT3D> (opened on line 2)"},
        {"<ProcessList id=\"a\n", "line 1: the file ends inside the attribute id"},
        {"<ProcessList>&bogus;</ProcessList>", "line 1: the reference &bogus; is not one XML knows"},
        {"<!DOCTYPE x>\n", "line 1: a DOCTYPE is not read"},
        {"<LUT>\n</LUT>\n", "line 1: the root element is <LUT>, not <ProcessList>"},
        {"", "line 1: no root element"},
        {std::string(100, '<'), "t.clf: line 1:"},
    };
    for (const Case& c : cases) {
        const LutRead read = readClf(c.text, "t.clf");
        EXPECT_FALSE(read.ok());
        EXPECT_NE(read.error.find(c.expected), std::string::npos) << read.error;
    }
}

}   // namespace
