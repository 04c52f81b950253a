// .cube: a table written here read back by the engine's reader gives the
// same device link as the table itself, and the reader's refusals name the
// file and line.
#include "app/core/lutformats/cubeformat.h"
#include "tests/app/core/lutformats/looks.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>

using namespace lutformats;

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;

const Pipeline* table(IccProfile* p)
{
    return static_cast<const Pipeline*>(loadTag(p, sig("A2B0")));
}

TEST(CubeTest, WrittenTableIsTheTableAgain)
{
    QTemporaryDir dir;
    Lut3D look = looks::sampled(looks::strong, 9);
    look.comment = "two\nlines";
    look.shaperSize = 4;
    for (size_t c = 0; c < 3; ++c) look.shaper[c] = {0.0f, 0.4f, 0.75f, 1.0f};
    const std::string path = dir.filePath("look.cube").toStdString();
    std::ofstream(path) << cubeText(look);
    std::string error;
    ProfilePtr read{readCubeLink(path, error), &closeProfile};
    ASSERT_TRUE(read) << error;
    ProfilePtr direct{lutDeviceLink(look), &closeProfile};
    ASSERT_TRUE(direct);
    for (const looks::Rgb& c : looks::randomColours(1000)) {
        const float in[3] = {float(c[0]), float(c[1]), float(c[2])};
        float a[3], b[3];
        evalPipelineFloat(in, a, table(read.get()));
        evalPipelineFloat(in, b, table(direct.get()));
        // Six significant digits in the text.
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(a[i], b[i], 5e-6);
    }
}

TEST(CubeTest, RefusalNamesTheFileAndLine)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("bad.cube").toStdString();
    std::ofstream(path) << "LUT_3D_SIZE 2\n0 0 0\n1 0\n";
    std::string error;
    ProfilePtr read{readCubeLink(path, error), &closeProfile};
    EXPECT_FALSE(read);
    EXPECT_NE(error.find("bad.cube"), std::string::npos) << error;
    EXPECT_NE(error.find("Line 3"), std::string::npos) << error;
}

}   // namespace
