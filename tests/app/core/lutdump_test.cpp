#include "app/core/lutdump.h"

#include "profiles/core/builtinspaces.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using Rgb = std::array<uint8_t, 3>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

class LutDumpTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    // A .cube file with the given text; the table as the engine reads it.
    ProfilePtr readCube(const std::string& text)
    {
        const QString path = dir_.filePath(QStringLiteral("table%1.cube").arg(++files_));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.data(), qint64(text.size()));
        file.close();
        return adoptProfile(readCubeFile(QFile::encodeName(path).constData()));
    }

    QTemporaryDir dir_;
    int files_ = 0;
};

std::string cubeText(int n, const std::vector<std::array<double, 3>>& lines, const std::string& header = {})
{
    std::string text = header + "LUT_3D_SIZE " + std::to_string(n) + "\n";
    char line[96];
    for (const auto& l : lines) {
        std::snprintf(line, sizeof line, "%.6f %.6f %.6f\n", l[0], l[1], l[2]);
        text += line;
    }
    return text;
}

Rgb pixel(const LutDump& dump, int x, int y)
{
    const size_t at = (size_t(y) * size_t(dump.width) + size_t(x)) * 3;
    return {dump.rgb[at], dump.rgb[at + 1], dump.rgb[at + 2]};
}

// A device link (RGB to RGB) whose 'A2B0' is the given pipeline.
ProfilePtr linkWith(Pipeline* table)
{
    ProfilePtr link = adoptProfile(createBlankProfile(nullptr));
    setProfileDeviceClass(link.get(), ClassLink);
    setProfileColorSpace(link.get(), SpaceRgb);
    setProfilePcs(link.get(), SpaceRgb);
    EXPECT_TRUE(storeTag(link.get(), sig("A2B0"), table));
    return link;
}

}   // namespace

TEST(LutDumpGeometry, WidthIsAMultipleOfTheGridNearTheSquareRoot)
{
    // N, W, H with W = N·⌊⌈√N³⌉/N⌋ and H = ⌈N³/W⌉ worked out by hand.
    struct Case {
        uint32_t n;
        int width, height;
    };
    for (const Case c : {Case{2, 2, 4}, Case{3, 6, 5}, Case{17, 68, 73}, Case{33, 165, 218}, Case{65, 520, 529}}) {
        EXPECT_EQ(lutDumpWidth(c.n), c.width) << c.n;
        const int nodes = int(c.n * c.n * c.n);
        EXPECT_EQ((nodes + c.width - 1) / c.width, c.height) << c.n;
    }
    EXPECT_EQ(lutDumpWidth(0), 0);
}

TEST(LutDumpGeometry, ChannelBytesClipAndTruncate)
{
    struct Case {
        float value;
        uint8_t byte;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Case c : {Case{-0.5f, 0}, Case{nan, 0}, Case{0.0f, 0}, Case{0.1f, 25}, Case{0.5f, 127},
                         Case{0.9f, 229}, Case{0.999f, 254}, Case{1.0f, 255}, Case{1.5f, 255},
                         Case{std::numeric_limits<float>::infinity(), 255}})
        EXPECT_EQ(lutDumpByte(c.value), c.byte) << c.value;
}

TEST_F(LutDumpTest, NodesAppearInFileOrderAsRedGreenBlue)
{
    // Eight lines of a 2-point table, each its own colour; two reach beyond 0 … 1.
    const std::vector<std::array<double, 3>> lines{{0.1, 0.9, 0.5}, {0.2, 0.8, 0.0}, {0.3, 0.7, 1.0},
                                                   {0.4, 0.6, 0.999}, {-0.2, 1.3, 0.5}, {0.6, 0.4, 0.1},
                                                   {0.7, 0.3, 0.9}, {0.8, 0.2, 0.5}};
    const Rgb expected[8] = {{25, 229, 127}, {51, 204, 0},   {76, 178, 255}, {102, 153, 254},
                             {0, 255, 127},  {153, 102, 25}, {178, 76, 229}, {204, 51, 127}};
    ProfilePtr link = readCube(cubeText(2, lines));
    ASSERT_TRUE(link);
    const std::optional<LutDump> dump = lutDump(link.get());
    ASSERT_TRUE(dump);
    EXPECT_EQ(dump->width, 2);
    EXPECT_EQ(dump->height, 4);
    ASSERT_EQ(dump->rgb.size(), 2u * 4u * 3u);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(pixel(*dump, k % 2, k / 2), expected[k]) << "node " << k;
}

TEST_F(LutDumpTest, PixelsPastTheLastNodeAreBlack)
{
    // An identity table of 3 points: line k is (k mod 3, ⌊k/3⌋ mod 3, ⌊k/9⌋) / 2.
    std::vector<std::array<double, 3>> lines;
    for (int k = 0; k < 27; ++k) lines.push_back({(k % 3) / 2.0, (k / 3 % 3) / 2.0, (k / 9) / 2.0});
    ProfilePtr link = readCube(cubeText(3, lines));
    ASSERT_TRUE(link);
    const std::optional<LutDump> dump = lutDump(link.get());
    ASSERT_TRUE(dump);
    ASSERT_EQ(dump->width, 6);
    ASSERT_EQ(dump->height, 5);
    const uint8_t level[3] = {0, 127, 255};
    for (int k = 0; k < 27; ++k)
        EXPECT_EQ(pixel(*dump, k % 6, k / 6), (Rgb{level[k % 3], level[k / 3 % 3], level[k / 9]})) << k;
    for (int k = 27; k < 30; ++k) EXPECT_EQ(pixel(*dump, k % 6, k / 6), (Rgb{0, 0, 0})) << k;
}

TEST_F(LutDumpTest, ALargeTableFillsItsRowsInOrder)
{
    std::vector<std::array<double, 3>> lines;
    for (int k = 0; k < 33 * 33 * 33; ++k) lines.push_back({(k % 33) / 32.0, (k / 33 % 33) / 32.0, (k / 1089) / 32.0});
    ProfilePtr link = readCube(cubeText(33, lines));
    ASSERT_TRUE(link);
    const std::optional<LutDump> dump = lutDump(link.get());
    ASSERT_TRUE(dump);
    EXPECT_EQ(dump->width, 165);
    EXPECT_EQ(dump->height, 218);
    // Node 200 is the 36th pixel of the second row: red 200 mod 33 = 2 → 2/32.
    EXPECT_EQ(pixel(*dump, 35, 1), (Rgb{15, 47, 0}));
    // The last node, (1, 1, 1), ends the last row at column 35936 mod 165 = 131.
    EXPECT_EQ(pixel(*dump, 131, 217), (Rgb{255, 255, 255}));
    EXPECT_EQ(pixel(*dump, 132, 217), (Rgb{0, 0, 0}));
}

TEST_F(LutDumpTest, AShaperBeforeTheTableIsLeftOut)
{
    const std::string text = "LUT_1D_SIZE 2\nLUT_3D_SIZE 2\n0 0 0\n1 1 1\n"
                              "0.1 0.2 0.3\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n";
    ProfilePtr link = readCube(text);
    ASSERT_TRUE(link);
    const std::optional<LutDump> dump = lutDump(link.get());
    ASSERT_TRUE(dump);
    EXPECT_EQ(pixel(*dump, 0, 0), (Rgb{25, 51, 76}));
    EXPECT_EQ(pixel(*dump, 1, 0), (Rgb{255, 0, 0}));
    EXPECT_EQ(pixel(*dump, 1, 3), (Rgb{255, 255, 255}));
}

TEST_F(LutDumpTest, TitleIsTheFilesTitle)
{
    std::vector<std::array<double, 3>> identity;
    for (int k = 0; k < 8; ++k) identity.push_back({double(k & 1), double(k >> 1 & 1), double(k >> 2)});

    ProfilePtr titled = readCube(cubeText(2, identity, "TITLE \"Warm evening \xc3\xa9t\xc3\xa9\"\n"));
    ASSERT_TRUE(titled);
    EXPECT_EQ(lutTitle(titled.get()), QString::fromUtf8("Warm evening \xc3\xa9t\xc3\xa9"));

    ProfilePtr untitled = readCube(cubeText(2, identity));
    ASSERT_TRUE(untitled);
    EXPECT_TRUE(lutTitle(untitled.get()).isEmpty());
    EXPECT_TRUE(lutTitle(nullptr).isEmpty());
}

TEST(LutDumpShapes, OtherTablesHaveNoDump)
{
    const uint32_t uneven[3] = {2, 3, 2};
    const std::vector<float> unevenTable(2 * 3 * 2 * 3, 0.5f);
    const std::vector<uint16_t> table16(8 * 3, 32768);

    struct Case {
        const char* name;
        std::vector<Stage*> stages;
    };
    const Case cases[] = {
        {"16-bit table", {newClut16StageUniform(nullptr, 2, 3, 3, table16.data())}},
        {"uneven grid", {newClutFloatStage(nullptr, uneven, 3, 3, unevenTable.data())}},
        {"curves after the table", {newClutFloatStageUniform(nullptr, 2, 3, 3, nullptr), newCurvesStage(nullptr, 3, nullptr)}},
        {"curves on both sides",
         {newCurvesStage(nullptr, 3, nullptr), newClutFloatStageUniform(nullptr, 2, 3, 3, nullptr),
          newCurvesStage(nullptr, 3, nullptr)}},
        {"curves alone", {newCurvesStage(nullptr, 3, nullptr)}},
    };
    for (const Case& c : cases) {
        PipelinePtr table{newPipeline(nullptr, 3, 3), &freePipeline};
        for (Stage* s : c.stages) ASSERT_TRUE(insertStage(table.get(), AtEnd, s)) << c.name;
        ProfilePtr link = linkWith(table.get());
        EXPECT_FALSE(lutDump(link.get())) << c.name;
    }

    // A float table alone, and after curves, are pictured.
    for (bool shaper : {false, true}) {
        PipelinePtr table{newPipeline(nullptr, 3, 3), &freePipeline};
        if (shaper) {
            ASSERT_TRUE(insertStage(table.get(), AtEnd, newCurvesStage(nullptr, 3, nullptr)));
        }
        ASSERT_TRUE(insertStage(table.get(), AtEnd, newClutFloatStageUniform(nullptr, 2, 3, 3, nullptr)));
        ProfilePtr link = linkWith(table.get());
        EXPECT_TRUE(lutDump(link.get())) << shaper;
    }

    // A matrix-shaper profile has no table at all.
    ProfilePtr srgb = adoptProfile(createSrgbProfile(nullptr));
    EXPECT_FALSE(lutDump(srgb.get()));
    EXPECT_FALSE(lutDump(nullptr));
}
