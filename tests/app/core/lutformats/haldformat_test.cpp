// Hald CLUT images: an identity image made here pixel by pixel reads as the
// identity, written tables read back within their depth, and images that
// are no Hald CLUT are refused with the field that is wrong.
#include "app/core/lutformats/haldformat.h"
#include "tests/app/core/lutformats/looks.h"
#include "tools/imagefiles/imagefile.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstring>
#include <fstream>

using namespace lutformats;

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;

// An image through the image library, rows filled by `pixel(x, y, rgb)`.
template <typename Pixel>
void writeImage(const std::string& path, imagefiles::FileKind kind, uint32_t side, uint32_t bits,
                imagefiles::ColorModel model, Pixel pixel)
{
    imagefiles::PixelLayout layout;
    layout.width = layout.height = side;
    layout.model = model;
    layout.bits = bits;
    std::string error;
    auto writer = imagefiles::createImageFile(path, kind, layout, {}, error);
    ASSERT_TRUE(writer) << error;
    std::vector<uint8_t> row(layout.rowBytes());
    for (uint32_t y = 0; y < side; ++y) {
        for (uint32_t x = 0; x < side; ++x) {
            uint32_t v[3];
            pixel(x, y, v);
            for (uint32_t c = 0; c < layout.colorChannels(); ++c) {
                if (bits == 16) {
                    const uint16_t w = uint16_t(v[c]);
                    std::memcpy(&row[(size_t(x) * layout.colorChannels() + c) * 2], &w, 2);
                } else {
                    row[size_t(x) * layout.colorChannels() + c] = uint8_t(v[c]);
                }
            }
        }
        ASSERT_TRUE(writer->writeRows(row.data(), row.size(), 1)) << writer->error();
    }
    ASSERT_TRUE(writer->commit(true)) << writer->error();
}

TEST(HaldTest, IdentityOfLevelEightIsTheIdentity)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("identity.png").toStdString();
    // The usual layout: 512 × 512, node i = x + 512 y, red fastest over 64.
    writeImage(path, imagefiles::FileKind::Png, 512, 8, imagefiles::ColorModel::Rgb,
               [](uint32_t x, uint32_t y, uint32_t v[3]) {
                   const uint32_t i = y * 512 + x;
                   const uint32_t idx[3] = {i % 64, (i / 64) % 64, i / 4096};
                   for (int c = 0; c < 3; ++c) v[c] = uint32_t(std::lround(idx[c] * 255.0 / 63));
               });
    const LutRead read = readHald(path);
    ASSERT_TRUE(read.ok()) << read.error;
    ASSERT_EQ(read.lut.size, 64u);
    EXPECT_LE(looks::largestDifference(read.lut, identityLut(64)), 0.5 / 255 + 1e-7);
    // And the device link made from it, between the nodes too.
    ProfilePtr link{lutDeviceLink(read.lut), &closeProfile};
    ASSERT_TRUE(link);
    const auto* pipeline = static_cast<const Pipeline*>(loadTag(link.get(), sig("A2B0")));
    for (const looks::Rgb& c : looks::randomColours(1000)) {
        const float in[3] = {float(c[0]), float(c[1]), float(c[2])};
        float out[3];
        evalPipelineFloat(in, out, pipeline);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(out[i], c[i], 1.0 / 255);
    }
}

TEST(HaldTest, WrittenImagesReadBackWithinTheirDepth)
{
    QTemporaryDir dir;
    const Lut3D look = looks::sampled(looks::strong, 16);   // level 4
    for (const bool tiff : {false, true}) {
        for (const int bits : {8, 16}) {
            const std::string path = dir.filePath(tiff ? "look.tif" : "look.png").toStdString();
            ASSERT_EQ(writeHald(look, path, tiff, bits), "");
            const LutRead read = readHald(path);
            ASSERT_TRUE(read.ok()) << read.error;
            const double top = bits == 8 ? 255 : 65535;
            EXPECT_LE(looks::largestDifference(read.lut, looks::quantised(look, top)), 1e-7) << tiff << bits;
        }
    }
    EXPECT_NE(writeHald(looks::sampled(looks::strong, 17), dir.filePath("x.png").toStdString(), false, 8), "");
}

TEST(HaldTest, RefusesImagesThatAreNoHaldClut)
{
    QTemporaryDir dir;
    const std::string oblong = dir.filePath("oblong.png").toStdString();
    writeImage(oblong, imagefiles::FileKind::Png, 100, 8, imagefiles::ColorModel::Rgb,
               [](uint32_t, uint32_t, uint32_t v[3]) { v[0] = v[1] = v[2] = 0; });
    const std::string gray = dir.filePath("gray.png").toStdString();
    writeImage(gray, imagefiles::FileKind::Png, 8, 8, imagefiles::ColorModel::Gray,
               [](uint32_t, uint32_t, uint32_t v[3]) { v[0] = 0; });
    const std::string cut = dir.filePath("cut.png").toStdString();
    writeHald(identityLut(16), cut, false, 16);
    std::ifstream in(cut, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::ofstream(cut, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size() / 2));
    const std::string text = dir.filePath("text.png").toStdString();
    std::ofstream(text) << "not an image";
    struct Case {
        std::string path;
        std::string expected;
    };
    const Case cases[] = {
        {oblong, oblong + ": size: 100 × 100 pixels: a Hald CLUT of level L is L³ pixels on each side"},
        {gray, gray + ": colour model: a Hald CLUT is an RGB image, this one is gray"},
        {cut, cut + ": row 1: "},
        {text, text + ": "},
        {dir.filePath("missing.png").toStdString(), dir.filePath("missing.png").toStdString() + ": "},
    };
    for (const Case& c : cases) {
        const LutRead read = readHald(c.path);
        EXPECT_FALSE(read.ok()) << c.path;
        EXPECT_EQ(read.error.rfind(c.expected, 0), 0u) << read.error;
    }
}

}   // namespace
