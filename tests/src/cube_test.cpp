// .cube tables: reading the text into shaper and CLUT values.
#include "oslinternal.h"

#include "engine_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

class CubeTest : public EngineFixture {
protected:

    bool read(const std::string& text) { return readCubeText(ctx, text.data(), text.size(), &table); }


    CubeTable table;
};

struct FailureCase {
    const char* text;
    const char* message;
};
struct FailureCaseText {
    std::string text;
    std::string message;
};

// Eight lines with distinct values: line i holds (i + 0.1, i + 0.2, i + 0.3) / 10.
std::string twoPointLines(bool trailingLineEnd)
{
    std::string text;
    for (int i = 0; i < 8; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "%g %g %g", (i + 0.1) / 10, (i + 0.2) / 10, (i + 0.3) / 10);
        text += line;
        if (i < 7 || trailingLineEnd) text += '\n';
    }
    return text;
}

TEST_F(CubeTest, TwoPointTableKeepsFileOrder)
{
    ASSERT_TRUE(read("TITLE \"two points\"\nLUT_3D_SIZE 2\n" + twoPointLines(true))) << lastReport();
    EXPECT_EQ(table.title, "two points");
    EXPECT_EQ(table.gridPoints, 2u);
    EXPECT_EQ(table.shaperSize, 0u);
    ASSERT_EQ(table.clut.size(), 24u);
    for (int line = 0; line < 8; ++line) {
        EXPECT_EQ(table.clut[line * 3 + 0], float((line + 0.1) / 10)) << line;
        EXPECT_EQ(table.clut[line * 3 + 1], float((line + 0.2) / 10)) << line;
        EXPECT_EQ(table.clut[line * 3 + 2], float((line + 0.3) / 10)) << line;
    }
    EXPECT_TRUE(reports.empty());
}

TEST_F(CubeTest, LastLineWithoutLineEndIsRead)
{
    ASSERT_TRUE(read("LUT_3D_SIZE 2\n" + twoPointLines(false))) << lastReport();
    ASSERT_EQ(table.clut.size(), 24u);
    EXPECT_EQ(table.clut[21], float(7.1 / 10));
    EXPECT_EQ(table.clut[23], float(7.3 / 10));
    // A header line may end the file as well.
    ASSERT_TRUE(read("LUT_3D_SIZE 2\n" + twoPointLines(true) + "# exported"));
    EXPECT_TRUE(reports.empty());
}

// The same table written the way the .CUBE generator writes it: red fastest,
// each line the normalised input itself.
std::string identityCube(int n, const std::string& header)
{
    std::string text = header + "LUT_3D_SIZE " + std::to_string(n) + "\n";
    char line[96];
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                std::snprintf(line, sizeof line, "%.6g %.6g %.6g\n", double(r) / (n - 1), double(g) / (n - 1),
                              double(b) / (n - 1));
                text += line;
            }
    return text;
}

TEST_F(CubeTest, ThirtyThreePointTableIndexesRedFirst)
{
    ASSERT_TRUE(read(identityCube(33, "# generated\nDOMAIN_MIN 0 0 0\nDOMAIN_MAX 1 1 1\n"))) << lastReport();
    ASSERT_EQ(table.gridPoints, 33u);
    ASSERT_EQ(table.clut.size(), size_t(33 * 33 * 33 * 3));
    std::unique_ptr<Pipeline, decltype(&freePipeline)> pipeline(buildCubePipeline(ctx, table), &freePipeline);
    ASSERT_TRUE(pipeline);
    const float* nodes = clutTableFloat(pipelineFirstStage(pipeline.get()));
    ASSERT_NE(nodes, nullptr);
    // Node (k0, k1, k2) starts at (k0·33² + k1·33 + k2)·3 and is the identity
    // line for red k0, green k1, blue k2: output j is k_j / 32.
    for (int k0 = 0; k0 < 33; ++k0)
        for (int k1 = 0; k1 < 33; ++k1)
            for (int k2 = 0; k2 < 33; ++k2) {
                const float* node = &nodes[size_t((k0 * 33 + k1) * 33 + k2) * 3];
                const int k[3] = {k0, k1, k2};
                for (int j = 0; j < 3; ++j) {
                    char expected[32];
                    std::snprintf(expected, sizeof expected, "%.6g", double(k[j]) / 32);
                    ASSERT_EQ(node[j], float(std::strtod(expected, nullptr))) << k0 << ' ' << k1 << ' ' << k2;
                }
            }
}

TEST_F(CubeTest, ShaperAndTableAreNormalisedByTheDomain)
{
    const std::string text = "TITLE \"graded\"\n"
                             "DOMAIN_MIN -0.5 0 1\n"
                             "DOMAIN_MAX 1.5 2 5\n"
                             "LUT_1D_SIZE 3\n"
                             "LUT_3D_SIZE 2\n"
                             "-0.5 0 1\n"
                             "0.5 1 3\n"
                             "1.5 2 5\n"
                             "\n"   // a blank line between the shaper and the table
                             "-0.5 0 1\n1.5 0 1\n-0.5 2 1\n1.5 2 1\n-0.5 0 5\n1.5 0 5\n-0.5 2 5\n1.1 1.5 4\n\n";
    ASSERT_TRUE(read(text)) << lastReport();
    EXPECT_EQ(table.shaperSize, 3u);
    for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(table.shaper[c].size(), 3u);
        EXPECT_EQ(table.shaper[c][0], 0.0f);
        EXPECT_EQ(table.shaper[c][1], 0.5f);
        EXPECT_EQ(table.shaper[c][2], 1.0f);
    }
    ASSERT_EQ(table.clut.size(), 24u);
    // The second line (1.5, 0, 1) → (1, 0, 0).
    EXPECT_EQ(table.clut[3], 1.0f);
    EXPECT_EQ(table.clut[4], 0.0f);
    EXPECT_EQ(table.clut[5], 0.0f);
    // The last: (1.1, 1.5, 4) → (0.8, 0.75, 0.75).
    EXPECT_EQ(table.clut[21], float((1.1 + 0.5) / 2));
    EXPECT_EQ(table.clut[22], float(1.5 / 2));
    EXPECT_EQ(table.clut[23], float((4.0 - 1) / 4));
}

TEST_F(CubeTest, WindowsFilesWithMarkCommentsAndExponentsAreRead)
{
    const std::string text = "\xEF\xBB\xBF# exported\r\nTITLE 'quoted'\r\nLUT_3D_INPUT_RANGE 0 1\r\nLUT_3D_SIZE 2\r\n"
                             "0 0 0\r\n1e-05 0 0\r\n0 1 0\r\n1 1 0\r\n0 0 1\r\n1 0 1\r\n0 1 1\r\n1 1 1.0E0\r\n";
    ASSERT_TRUE(read(text)) << lastReport();
    EXPECT_EQ(table.title, "quoted");
    EXPECT_EQ(table.clut[3], 1e-05f);
    EXPECT_EQ(table.clut[21], 1.0f);
}

// Nothing that holds no table becomes one that changes nothing.
TEST_F(CubeTest, TextWithoutATableIsRefused)
{
    const std::string noTable = "No table: neither LUT_3D_SIZE nor LUT_1D_SIZE with its lines";
    const FailureCaseText cases[] = {
        {"TITLE \"nothing\"\nDOMAIN_MIN 0 0 0\n", ": Line 3, " + noTable},
        {"", ": Line 1, " + noTable},
        {"\n", ": Line 2, " + noTable},
        {std::string("\0\0\x0c\x48lcms\x02\x10\0\0mntrRGB XYZ ", 24), ": Line 1, " + noTable},   // a profile
    };
    for (const FailureCaseText& c : cases) {
        reports.clear();
        EXPECT_FALSE(read(c.text)) << c.text;
        EXPECT_EQ(lastReport(), c.message) << c.text;
        EXPECT_EQ(table.gridPoints, 0u);
    }
}

TEST_F(CubeTest, LongTitlesAreCut)
{
    ASSERT_TRUE(read("TITLE \"" + std::string(2000, 't') + "\"\nLUT_3D_SIZE 2\n" + twoPointLines(true)));
    EXPECT_EQ(table.title, std::string(1023, 't'));
}


TEST_F(CubeTest, BadFilesFailWithTheirLineAndMessage)
{
    const FailureCase cases[] = {
        {"LUT_IN_VIDEO_RANGE\nLUT_3D_SIZE 2\n", ": Line 1, Unsupported format"},
        {"LUT_OUT_VIDEO_RANGE\n", ": Line 1, Unsupported format"},
        {"LUT_3D_SIZE 2\nSOMETHING_ELSE 1\n", ": Line 2, Unsupported format"},
        {"LUT_1D_INPUT_RANGE 2 0\n", ": Line 2, LUT_1D_INPUT_RANGE 2 0: the minimum must be below the maximum"},
        {"LUT_3D_INPUT_RANGE 0 0\n", ": Line 2, LUT_3D_INPUT_RANGE 0 0: the minimum must be below the maximum"},
        {"LUT_3D_INPUT_RANGE 0\n", ": Line 1, Number expected, the line has too few"},
        {"TITLE untitled\n", ": Line 1, Title string expected"},
        {"LUT_1D_SIZE 2.5\n", ": Line 1, Shaper size expected"},
        {"LUT_3D_SIZE\n", ": Line 1, LUT size expected"},
        {"DOMAIN_MAX 1 1\n", ": Line 1, Number expected, the line has too few"},
        {"DOMAIN_MAX 1 1 1 1\n", ": Line 1, Expected separator, the line has too many values"},
        {"LUT_3D_SIZE 2\n0 0 0\n1 0\n", ": Line 3, Number expected, the line has too few"},
        {"LUT_3D_SIZE 2\n0 0 0\n", ": Line 3, Number expected: the 3D table ends after 1 of its 8 lines"},
        {"LUT_1D_SIZE 3\n0 0 0\n1 1 1", ": Line 3, Number expected: the 1D table ends after 2 of its 3 lines"},
        {"LUT_3D_SIZE 2\n", ": Line 2, Number expected: the file ends before the table"},
        {"LUT_3D_SIZE 2\n0 nan 0\n", ": Line 2, Number expected, found \"nan\""},
        {"LUT_3D_SIZE 2\n0 0 \"x\"\n", ": Line 2, Number expected, found \"x\""},
        {"LUT_3D_SIZE 100000\n", ": Line 1, LUT size 100000 out of range (2 to 256)"},
        {"LUT_3D_SIZE 1\n", ": Line 1, LUT size 1 out of range (2 to 256)"},
        {"LUT_3D_SIZE -4\n", ": Line 1, LUT size -4 out of range (2 to 256)"},
        {"LUT_1D_SIZE 2000000000\n", ": Line 1, Shaper size 2000000000 out of range (2 to 65536)"},
        {"DOMAIN_MIN 0 1 0\nDOMAIN_MAX 1 1 1\nLUT_3D_SIZE 2\n0 0 0\n",
         ": Line 4, DOMAIN_MIN and DOMAIN_MAX must differ in every channel"},
        {"DOMAIN_MIN 1e999 0 0\n", ": Line 1, Number out of range"},
        {"DOMAIN_MAX 1e-300 1 1\nLUT_3D_SIZE 2\n1 0 0\n", ": Line 3, Number out of range"},
        {"LUT_1D_SIZE 2\n0 0 0\n1 1 1\n0 0 0\n", ": Line 4, Extra symbols found in file"},
        {"LUT_3D_SIZE 2\n0 0 0 @\n", ": Line 2, Expected separator, the line has too many values"},
        {"LUT_3D_SIZE 2\n0 0 \x01\n", ": Line 2, Unrecognized character: 0x1"},
        {"0 0 0\n", ": Line 1, Extra symbols found in file"},   // data without a size
    };
    for (const FailureCase& c : cases) {
        reports.clear();
        EXPECT_FALSE(read(c.text)) << c.text;
        EXPECT_EQ(lastReport(), c.message) << c.text;
        EXPECT_TRUE(table.clut.empty());
    }
}

TEST_F(CubeTest, VideoRangeAfterTheDataIsExtra)
{
    EXPECT_FALSE(read("LUT_3D_SIZE 2\n" + twoPointLines(true) + "LUT_IN_VIDEO_RANGE\n"));
    EXPECT_EQ(lastReport(), ": Line 10, Extra symbols found in file");
}

// ---------------------------------------------------------------------------
// The table as a pipeline
// ---------------------------------------------------------------------------

using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

// Input ranges as grading tools write them: the first entry stands for the
// range's minimum, the last for its maximum. A table whose values are its own
// inputs in those units is then the identity on 0 … 1; a shaper's values are
// in the units of the 3D table's range.
TEST_F(CubeTest, InputRangesPlaceTheTablesInputs)
{
    struct Case {
        std::string text;
        double slope;   // the result is slope · x on 0 … 1
    } cases[] = {
        {"LUT_3D_INPUT_RANGE -0.5 1.5\nLUT_3D_SIZE 2\n-0.5 -0.5 -0.5\n1.5 -0.5 -0.5\n-0.5 1.5 -0.5\n1.5 1.5 -0.5\n"
         "-0.5 -0.5 1.5\n1.5 -0.5 1.5\n-0.5 1.5 1.5\n1.5 1.5 1.5",
         1.0},
        // Shaper over 0 … 2 with entries 0, 0.5, 4 (in the 3D table's units,
        // 0 … 4); the 3D table is the identity there: x ↦ 0.5·x below 1.
        {"LUT_1D_INPUT_RANGE 0 2\nLUT_3D_INPUT_RANGE 0 4\nLUT_1D_SIZE 3\nLUT_3D_SIZE 2\n0 0 0\n0.5 0.5 0.5\n4 4 4\n"
         "0 0 0\n4 0 0\n0 4 0\n4 4 0\n0 0 4\n4 0 4\n0 4 4\n4 4 4\n",
         0.5},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(read(c.text)) << lastReport();
        PipelinePtr pipeline(buildCubePipeline(ctx, table), &freePipeline);
        ASSERT_TRUE(pipeline);
        for (int i = 0; i <= 20; ++i) {
            const float in[3] = {float(i) / 20, float(20 - i) / 20, float((i * 7) % 21) / 20};
            float out[3];
            evalPipelineFloat(in, out, pipeline.get());
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(out[k], c.slope * in[k], 2e-6) << c.text << " at " << i;
        }
    }
}

TEST_F(CubeTest, TwoPointPipelineReturnsTheLinesAtTheCorners)
{
    ASSERT_TRUE(read("LUT_3D_SIZE 2\n" + twoPointLines(true)));
    PipelinePtr pipeline(buildCubePipeline(ctx, table), &freePipeline);
    ASSERT_TRUE(pipeline);
    EXPECT_EQ(pipelineStageCount(pipeline.get()), 1u);
    // Red, green, blue in; the file lists red fastest: line = 4·blue + 2·green + red.
    for (int line = 0; line < 8; ++line) {
        const float in[3] = {float(line & 1), float((line >> 1) & 1), float(line >> 2)};
        float out[3];
        evalPipelineFloat(in, out, pipeline.get());
        EXPECT_NEAR(out[0], (line + 0.1) / 10, 1e-6) << line;
        EXPECT_NEAR(out[1], (line + 0.2) / 10, 1e-6) << line;
        EXPECT_NEAR(out[2], (line + 0.3) / 10, 1e-6) << line;
    }
}

TEST_F(CubeTest, IdentityTablePipelineIsTheIdentity)
{
    ASSERT_TRUE(read(identityCube(17, "")));
    PipelinePtr pipeline(buildCubePipeline(ctx, table), &freePipeline);
    ASSERT_TRUE(pipeline);
    for (int i = 0; i < 200; ++i) {
        const float in[3] = {float((i * 37) % 101) / 100, float((i * 53) % 101) / 100, float((i * 71) % 101) / 100};
        float out[3];
        evalPipelineFloat(in, out, pipeline.get());
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(out[c], in[c], 2e-6) << i;
    }
}

TEST_F(CubeTest, ShaperCurvesFollowTheTablesChannelOrder)
{
    // Red shaper x², green x, blue 0 / 0.7 / 1, then an identity table.
    const std::string text = "LUT_1D_SIZE 3\nLUT_3D_SIZE 2\n0 0 0\n0.25 0.5 0.7\n1 1 1\n"
                             "0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n";
    ASSERT_TRUE(read(text)) << lastReport();
    PipelinePtr pipeline(buildCubePipeline(ctx, table), &freePipeline);
    ASSERT_TRUE(pipeline);
    EXPECT_EQ(pipelineStageCount(pipeline.get()), 2u);
    // Inputs and outputs run red, green, blue.
    const float in[3] = {0.5f, 0.5f, 0.5f};
    float out[3];
    evalPipelineFloat(in, out, pipeline.get());
    EXPECT_NEAR(out[0], 0.25, 1e-6);
    EXPECT_NEAR(out[1], 0.5, 1e-6);
    EXPECT_NEAR(out[2], 0.7, 1e-6);
}

TEST_F(CubeTest, TableWithoutDataGivesAnEmptyPipeline)
{
    table = CubeTable();
    table.clutRange[0] = -1;   // a range without a table adds nothing
    PipelinePtr pipeline(buildCubePipeline(ctx, table), &freePipeline);
    ASSERT_TRUE(pipeline);
    EXPECT_EQ(pipelineStageCount(pipeline.get()), 0u);
    EXPECT_EQ(pipelineInputs(pipeline.get()), 3u);
}

TEST_F(CubeTest, FilesAreReadAndNamedInMessages)
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("cube_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir);
    const std::string good = (dir / "good.cube").string();
    const std::string cut = (dir / "cut.lut").string();
    std::ofstream(good) << "LUT_3D_SIZE 2\n" << twoPointLines(true);
    std::ofstream(cut) << "LUT_3D_SIZE 2\n" << twoPointLines(true).substr(0, 20);

    EXPECT_TRUE(readCubeTable(ctx, good.c_str(), &table));
    EXPECT_EQ(table.clut.size(), 24u);
    EXPECT_FALSE(readCubeTable(ctx, cut.c_str(), &table));
    EXPECT_EQ(lastReport(), cut + ": Line 3, Number expected, the file ends within the line");
    // What is no file is not read at all: an endless device, a folder.
    for (const std::string& notAFile : {std::string("/dev/zero"), std::string("/dev/urandom"), dir.string()}) {
        reports.clear();
        EXPECT_FALSE(readCubeTable(ctx, notAFile.c_str(), &table));
        EXPECT_EQ(lastReport(), notAFile + " is not a file");
        EXPECT_EQ(reports.back().code, uint32_t(ErrFile));
    }
    EXPECT_FALSE(readCubeTable(ctx, (dir / "absent.cube").string().c_str(), &table));
    EXPECT_EQ(reports.back().code, uint32_t(ErrFile));
    std::filesystem::remove_all(dir);
}

TEST_F(CubeTest, FileBecomesAnRgbDeviceLinkWithItsTitle)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                       ("cube_link_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "two.cube").string();
    std::ofstream(file) << "TITLE \"warm look\"\nLUT_3D_SIZE 2\n" << twoPointLines(true);

    IccProfile* link = readCubeFile(file.c_str());
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(profileDeviceClass(link), sig("link"));
    EXPECT_EQ(profileColorSpace(link), sig("RGB "));
    EXPECT_EQ(profilePcs(link), sig("RGB "));
    EXPECT_EQ(profileVersion(link), 0x04400000u);
    EXPECT_EQ(profileRenderingIntent(link), 0u);

    char title[64];
    EXPECT_GT(getText8(static_cast<const LocalizedText*>(loadTag(link, sig("desc"))), "", "", title, sizeof title), 0u);
    EXPECT_STREQ(title, "warm look");

    // Pure blue is the fifth line, pure red the second.
    auto* pipeline = static_cast<const Pipeline*>(loadTag(link, sig("A2B0")));
    ASSERT_NE(pipeline, nullptr);
    const float blue[3] = {0, 0, 1}, red[3] = {1, 0, 0};
    float out[3];
    evalPipelineFloat(blue, out, pipeline);
    EXPECT_FLOAT_EQ(out[0], 0.41f);
    EXPECT_FLOAT_EQ(out[1], 0.42f);
    EXPECT_FLOAT_EQ(out[2], 0.43f);
    evalPipelineFloat(red, out, pipeline);
    EXPECT_FLOAT_EQ(out[0], 0.11f);
    EXPECT_FLOAT_EQ(out[2], 0.13f);
    closeProfile(link);

    EXPECT_EQ(readCubeFile((dir / "absent.cube").string().c_str()), nullptr);
    std::filesystem::remove_all(dir);
}

} // namespace
