// .3dl: the layouts in use (mesh line or not, "Mesh" header, output depths),
// the writer read back, and refusals naming the line.
#include "app/core/lutformats/threedlformat.h"
#include "tests/app/core/lutformats/looks.h"

#include <gtest/gtest.h>

using namespace lutformats;

namespace {

// A 2-point table in blue-fastest order whose outputs are the identity at
// `top`, so node (1, 0, 0) reads (1, 0, 0) when the depth is found right.
std::string identity2(int top, const char* head)
{
    std::string t = head;
    for (int r = 0; r < 2; ++r)
        for (int g = 0; g < 2; ++g)
            for (int b = 0; b < 2; ++b)
                t += std::to_string(r * top) + " " + std::to_string(g * top) + " " + std::to_string(b * top) + "\n";
    return t;
}

TEST(ThreeDlTest, ReadsTheLayoutsInUse)
{
    struct Case {
        std::string text;
        uint32_t size;
        float redCorner;   // red output of node (1, 0, 0)
    };
    const Case cases[] = {
        {identity2(1023, "0 1023\n"), 2, 1.0f},                          // 10-bit, mesh line
        {identity2(4095, "# no mesh line\n"), 2, 1.0f},                  // 12-bit by the largest value
        {identity2(65535, ""), 2, 1.0f},                                 // 16-bit
        {identity2(3000, ""), 2, float(3000.0 / 4095.0)},                // 12-bit, not reaching the top
        {identity2(1000, "3DMESH\nMesh 1 12\n0 4095\n"), 2, float(1000.0 / 4095.0)},   // the header decides
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const LutRead read = readThreeDl(cases[i].text, "t.3dl");
        ASSERT_TRUE(read.ok()) << i << ": " << read.error;
        EXPECT_EQ(read.lut.size, cases[i].size) << i;
        EXPECT_FLOAT_EQ(read.lut.data[read.lut.offset(1, 0, 0)], cases[i].redCorner) << i;
        EXPECT_FLOAT_EQ(read.lut.data[read.lut.offset(0, 0, 1) + 2], cases[i].redCorner) << i;
    }
    // A mesh line of three levels: 28 lines, the first the mesh.
    std::string three = "0 512 1023\n";
    for (int r = 0; r < 3; ++r)
        for (int g = 0; g < 3; ++g)
            for (int b = 0; b < 3; ++b)
                three += std::to_string(r * 2047) + " " + std::to_string(g * 2047) + " " + std::to_string(b * 2047) + "\n";
    const LutRead read = readThreeDl(three, "three.3dl");
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_EQ(read.lut.size, 3u);
    EXPECT_NEAR(read.lut.data[read.lut.offset(0, 1, 0) + 1], 0.5, 1e-3);
}

TEST(ThreeDlTest, WrittenTableReadsBackWithinTwelveBits)
{
    const Lut3D look = looks::sampled(looks::strong, 17);
    const std::string text = threeDlText(look);
    // The mesh line of 17 levels at 10 bits, as Lustre and Flame write it.
    EXPECT_EQ(text.substr(text.find("\n0 ") + 1, 12), "0 64 128 192");
    const LutRead read = readThreeDl(text, "look.3dl");
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_LE(looks::largestDifference(read.lut, looks::quantised(look, 4095)), 1e-7);
}

TEST(ThreeDlTest, RefusesMalformedFilesNamingTheLine)
{
    struct Case {
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {"0 1023\n0 0 0\n0 0\n", "t.3dl: line 3: a table line holds three whole numbers, found 2 words"},
        {"0 1023\n0 0 0.5\n", "line 2: \"0.5\" is not a whole number"},
        {"0 1023\n0 0 -4\n", "line 2: \"-4\" is not a whole number"},
        {"0 1023 512 2000\n", "line 1: the mesh line must hold whole numbers rising from 0, found \"512\""},
        {"Mesh 4\n", "line 1: \"Mesh\" needs the input bits"},
        {identity2(1023, "0 341 682 1023\n"), "line 9: the mesh line gives 4 levels, so 64 table lines are needed, found 8"},
        {"0 0 0\n1 1 1\n1 1 1\n", "line 3: 3 table lines are no N × N × N grid"},
        {"# nothing\n", "t.3dl: line 1: the file holds no table"},
        {identity2(1023, "0 1023\n") + "1 1 1\n", "line 10: more table lines than the grid holds"},
    };
    for (const Case& c : cases) {
        const LutRead read = readThreeDl(c.text, "t.3dl");
        EXPECT_FALSE(read.ok());
        EXPECT_NE(read.error.find(c.expected), std::string::npos) << read.error;
    }
}

}   // namespace
