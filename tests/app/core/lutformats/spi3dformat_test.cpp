// .spi3d: nodes in any order, the writer read back exactly, refusals naming
// the line.
#include "app/core/lutformats/spi3dformat.h"
#include "tests/app/core/lutformats/looks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace lutformats;

namespace {

TEST(Spi3dTest, NodesReadInAnyOrder)
{
    const Lut3D look = looks::sampled(looks::strong, 5);
    const std::string text = spi3dText(look);
    ASSERT_FALSE(text.empty());
    // The same lines shuffled.
    std::vector<std::string> lines;
    size_t at = 0;
    for (int header = 0; header < 3; ++header) at = text.find('\n', at) + 1;
    for (size_t next; (next = text.find('\n', at)) != std::string::npos; at = next + 1)
        lines.push_back(text.substr(at, next - at));
    std::shuffle(lines.begin(), lines.end(), std::mt19937(3));
    std::string shuffled = "SPILUT 1.0\n3 3\n5 5 5\n";
    for (const std::string& l : lines) shuffled += l + "\n";
    for (const std::string& t : {text, shuffled}) {
        const LutRead read = readSpi3d(t, "look.spi3d");
        ASSERT_TRUE(read.ok()) << read.error;
        EXPECT_EQ(read.lut.data, look.data);
    }
}

TEST(Spi3dTest, WriterRefusesWhatTheFormatCannotHold)
{
    Lut3D look = looks::sampled(looks::analytic, 3);
    look.inputMax = {2, 2, 2};
    EXPECT_EQ(spi3dText(look), "");
}

TEST(Spi3dTest, RefusesMalformedFilesNamingTheLine)
{
    const std::string head = "SPILUT 1.0\n3 3\n2 2 2\n";
    struct Case {
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {"CSPLUTV100\n", "t.spi3d: line 1: a .spi3d file starts with \"SPILUT 1.0\""},
        {"SPILUT 1.0\n1 3\n", "line 2: only 3D tables of three channels are read"},
        {"SPILUT 1.0\n3 3\n2 2\n", "line 3: the grid size must be three equal numbers from 2 to 256"},
        {"SPILUT 1.0\n3 3\n300 300 300\n", "line 3: the grid size must be three equal numbers from 2 to 256"},
        {head + "0 0 0 0 0\n", "line 4: a table line holds three indices and three numbers, found 5 words"},
        {head + "0 2 0 0 0 0\n", "line 4: the index \"2\" is not from 0 to 1"},
        {head + "0 0 0 0 0 nan\n", "line 4: \"nan\" is not a number"},
        {head + "0 0 0 0 0 0\n0 0 0 1 1 1\n", "line 5: the node 0 0 0 is given twice"},
        {head + "0 0 0 0 0 0\n", "line 4: the grid of 2 points needs 8 table lines, found 1"},
    };
    for (const Case& c : cases) {
        const LutRead read = readSpi3d(c.text, "t.spi3d");
        EXPECT_FALSE(read.ok());
        EXPECT_NE(read.error.find(c.expected), std::string::npos) << read.error;
    }
}

}   // namespace
