// Image files: every layout through every kind of file that holds it, and
// damaged, cut and oversized files read to a clear error (run under the
// sanitizers too).
#include "tools/imagefiles/imagefile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include <png.h>
#include <tiffio.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace imagefiles;
namespace fs = std::filesystem;

namespace {

const char* const RgbProfile = "/usr/share/color/icc/colord/sRGB.icc";
const char* const GrayProfile = "/usr/share/color/icc/ghostscript/default_gray.icc";
const char* const CmykProfile = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

std::vector<uint8_t> bytesOf(const std::string& file);

class ImageFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("imagefiles-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

// Samples of a picture of the layout: ramps, every pixel its own.
std::vector<uint8_t> picture(const PixelLayout& l)
{
    std::vector<uint8_t> v(l.rowBytes() * l.height);
    const uint32_t samples = l.width * l.channels();
    for (uint32_t y = 0; y < l.height; ++y)
        for (uint32_t i = 0; i < samples; ++i) {
            const uint32_t value = (i * 2654435761u + y * 40503u) >> 7;
            if (l.bits == 8) v[y * l.rowBytes() + i] = uint8_t(value);
            else reinterpret_cast<uint16_t*>(v.data() + y * l.rowBytes())[i] = uint16_t(value);
        }
    return v;
}

bool write(const std::string& file, FileKind kind, const PixelLayout& l, const std::vector<uint8_t>& pixels,
           const WriteOptions& options, std::string& error)
{
    std::unique_ptr<ImageWriter> w = createImageFile(file, kind, l, options, error);
    if (!w) return false;
    // In uneven bands, as the command line hands them over.
    for (uint32_t y = 0; y < l.height;) {
        const uint32_t n = std::min<uint32_t>(1 + y % 5, l.height - y);
        if (!w->writeRows(pixels.data() + l.rowBytes() * y, l.rowBytes(), n)) return error = w->error(), false;
        y += n;
    }
    if (!w->commit(false)) return error = w->error(), false;
    return true;
}

// Every row of the file and its profile, or false with the reader's reason.
bool readAll(const std::string& file, std::vector<uint8_t>& pixels, PixelLayout& layout, std::string& error)
{
    std::unique_ptr<ImageReader> r = openImageFile(file, error);
    if (!r) return false;
    if (!r->profileProblem().empty()) return error = r->profileProblem(), false;
    layout = r->layout();
    pixels.assign(layout.rowBytes() * layout.height, 0);
    for (uint32_t y = 0; y < layout.height; y += 3) {
        const uint32_t n = std::min<uint32_t>(3, layout.height - y);
        if (!r->readRows(pixels.data() + layout.rowBytes() * y, layout.rowBytes(), n)) {
            error = r->error();
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> bytesOf(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void save(const std::string& file, const std::vector<uint8_t>& bytes)
{
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// An 8-bit palette TIFF, written by libtiff itself: the reader hands such
// files to libtiff's own RGBA reader.
bool writePaletteTiff(const std::string& file, uint32_t width, uint32_t height)
{
    TIFF* t = TIFFOpen(file.c_str(), "w");
    if (!t) return false;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8);
    std::vector<uint16_t> red(256), green(256), blue(256);
    for (int i = 0; i < 256; ++i) {
        red[i] = uint16_t(i * 257);
        green[i] = uint16_t((255 - i) * 257);
        blue[i] = uint16_t((i * 7 % 256) * 257);
    }
    TIFFSetField(t, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
    std::vector<uint8_t> row(width);
    bool ok = true;
    for (uint32_t y = 0; y < height && ok; ++y) {
        for (uint32_t x = 0; x < width; ++x) row[x] = uint8_t(x * 5 + y * 3);
        ok = TIFFWriteScanline(t, row.data(), y, 0) >= 0;
    }
    TIFFClose(t);
    return ok;
}

// An interlaced (Adam7) 8-bit RGBA PNG, written by libpng itself.
bool writeInterlacedPng(const std::string& file, const PixelLayout& l, const std::vector<uint8_t>& pixels)
{
    FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows(l.height);
    for (uint32_t y = 0; y < l.height; ++y) rows[y] = const_cast<png_bytep>(pixels.data() + l.rowBytes() * y);
    const bool ok = !setjmp(png_jmpbuf(png));
    if (ok) {
        png_init_io(png, f);
        png_set_IHDR(png, info, l.width, l.height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_ADAM7,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        png_set_interlace_handling(png);
        png_write_image(png, rows.data());
        png_write_end(png, nullptr);
    }
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return ok;
}

}   // namespace

TEST_F(ImageFiles, EveryLayoutThroughEveryKindThatHoldsIt)
{
    struct Case {
        FileKind kind;
        ColorModel model;
        uint32_t bits, extra;
        int tolerance;   // JPEG is lossy
    };
    const Case cases[] = {
        {FileKind::Tiff, ColorModel::Gray, 8, 0, 0},  {FileKind::Tiff, ColorModel::Rgb, 16, 1, 0},
        {FileKind::Tiff, ColorModel::Cmyk, 8, 1, 0},  {FileKind::Tiff, ColorModel::Cmyk, 16, 2, 0},
        {FileKind::Png, ColorModel::Gray, 16, 1, 0},  {FileKind::Png, ColorModel::Rgb, 8, 0, 0},
        {FileKind::Png, ColorModel::Rgb, 16, 1, 0},   {FileKind::Jpeg, ColorModel::Gray, 8, 0, 0},
        {FileKind::Jpeg, ColorModel::Rgb, 8, 0, 0},   {FileKind::Jpeg, ColorModel::Cmyk, 8, 0, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n);
        PixelLayout l;
        l.width = 37;
        l.height = 23;
        l.model = c.model;
        l.bits = c.bits;
        l.extraChannels = c.extra;
        l.alpha = c.extra > 0;
        std::vector<uint8_t> pixels = picture(l);
        if (c.kind == FileKind::Jpeg)   // flat colours survive the compression
            for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(40 + 170 * (i % l.channels() == 1));
        WriteOptions options;
        options.iccProfile = bytesOf(c.model == ColorModel::Gray ? GrayProfile : c.model == ColorModel::Rgb ? RgbProfile : CmykProfile);
        ASSERT_FALSE(options.iccProfile.empty()) << "the setup installs colord-data and libgs-common";
        options.compression = n % 2 ? Compression::Lzw : Compression::None;
        options.quality = 100;
        const std::string file = path("image" + std::to_string(n++));
        std::string error;
        ASSERT_TRUE(write(file, c.kind, l, pixels, options, error)) << error;
        std::vector<uint8_t> back;
        PixelLayout got;
        ASSERT_TRUE(readAll(file, back, got, error)) << error;
        EXPECT_TRUE(got == l);
        std::unique_ptr<ImageReader> r = openImageFile(file, error);
        EXPECT_EQ(r->iccProfile(), options.iccProfile);
        EXPECT_EQ(r->kind(), c.kind);
        ASSERT_EQ(back.size(), pixels.size());
        int worst = 0;
        for (size_t i = 0; i < back.size(); ++i) worst = std::max(worst, std::abs(int(back[i]) - int(pixels[i])));
        EXPECT_LE(worst, c.tolerance + (c.kind == FileKind::Jpeg ? 3 : 0));
    }
}

TEST_F(ImageFiles, KindsRefuseWhatTheyCannotHold)
{
    PixelLayout cmyk;
    cmyk.width = cmyk.height = 2;
    cmyk.model = ColorModel::Cmyk;
    std::string why;
    EXPECT_FALSE(kindHolds(FileKind::Png, cmyk, why));
    EXPECT_EQ(why, "PNG holds no CMYK; write a TIFF or JPEG");
    PixelLayout deep = cmyk;
    deep.model = ColorModel::Rgb;
    deep.bits = 16;
    EXPECT_FALSE(kindHolds(FileKind::Jpeg, deep, why));
    EXPECT_FALSE(createImageFile(path("x.png"), FileKind::Png, cmyk, {}, why));
    EXPECT_TRUE(fs::is_empty(dir_)) << "a refused file left something behind";
}

TEST_F(ImageFiles, UnfinishedOrRefusedFilesLeaveNothingAndNeverReplace)
{
    PixelLayout l;
    l.width = l.height = 4;
    const std::vector<uint8_t> pixels = picture(l);
    std::string error;
    {
        std::unique_ptr<ImageWriter> w = createImageFile(path("a.tif"), FileKind::Tiff, l, {}, error);
        ASSERT_TRUE(w->writeRows(pixels.data(), l.rowBytes(), 2));
        EXPECT_FALSE(w->commit(false));   // two rows short
    }
    EXPECT_TRUE(fs::is_empty(dir_));
    save(path("keep.png"), {'k', 'e', 'e', 'p'});
    EXPECT_FALSE(write(path("keep.png"), FileKind::Png, l, pixels, {}, error));
    EXPECT_EQ(error, "the file exists (use --overwrite to replace it)");
    EXPECT_EQ(bytesOf(path("keep.png")), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

// A replaced file passes on its permissions and its owner and group (as far
// as the process may set them: all of them when it runs as root); a new file
// gets what the umask gives.
TEST_F(ImageFiles, ReplacedFilesKeepTheirModeAndOwner)
{
    const struct {
        mode_t mode;
        uid_t uid;
        gid_t gid;
    } cases[] = {{0600, ::getuid(), ::getgid()}, {0640, 4321, 4322}, {0604, ::getuid(), 4323}};
    const mode_t mask = ::umask(0);
    ::umask(mask);
    for (const auto& c : cases) {
        const std::string target = path("replaced.bin");
        save(target, {'o', 'l', 'd'});
        ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
        const bool owned = ::chown(target.c_str(), c.uid, c.gid) == 0;
        {
            PendingFile file(target);
            ASSERT_TRUE(file.ok()) << file.error();
            save(file.tempPath(), {'n', 'e', 'w'});
            ASSERT_TRUE(file.commit(true)) << file.error();
        }
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode) << std::oct << c.mode;
        if (owned) {
            EXPECT_EQ(st.st_uid, c.uid);
            EXPECT_EQ(st.st_gid, c.gid);
        }
        EXPECT_EQ(bytesOf(target), (std::vector<uint8_t>{'n', 'e', 'w'}));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
        fs::remove(target);
    }
    PendingFile fresh(path("fresh.bin"));
    ASSERT_TRUE(fresh.commit(false));
    struct stat st {};
    ASSERT_EQ(::stat(path("fresh.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
}

// Files cut anywhere or with bytes changed read to the end or fail with a
// reason; a header that claims a size beyond reason is refused at once.
TEST_F(ImageFiles, DamagedFilesGiveAReasonAndNothingElse)
{
    PixelLayout l;
    l.width = 50;
    l.height = 40;
    l.extraChannels = 1;
    l.alpha = true;
    const std::vector<uint8_t> pixels = picture(l);
    PixelLayout opaque = l;
    opaque.extraChannels = 0;
    opaque.alpha = false;
    struct Seed {
        const char* name;
        FileKind kind;
        Compression compression;
        const PixelLayout* layout;   // null: written by the library itself (below)
    };
    const Seed seeds[] = {{"plain.tif", FileKind::Tiff, Compression::None, &l},
                          {"lzw.tif", FileKind::Tiff, Compression::Lzw, &l},
                          {"deflate.tif", FileKind::Tiff, Compression::Deflate, &l},
                          {"image.png", FileKind::Png, Compression::None, &l},
                          {"image.jpg", FileKind::Jpeg, Compression::None, &opaque},
                          {"palette.tif", FileKind::Tiff, Compression::None, nullptr},
                          {"interlaced.png", FileKind::Png, Compression::None, nullptr}};
    std::mt19937 random(12345);
    for (const Seed& seed : seeds) {
        SCOPED_TRACE(seed.name);
        WriteOptions options;
        options.compression = seed.compression;
        options.iccProfile = bytesOf(RgbProfile);
        std::string error;
        if (seed.layout) {
            ASSERT_TRUE(write(path(seed.name), seed.kind, *seed.layout, picture(*seed.layout), options, error)) << error;
        } else if (seed.kind == FileKind::Tiff) {
            ASSERT_TRUE(writePaletteTiff(path(seed.name), l.width, l.height));
        } else {
            // Interlaced rows come out of every pass at once: read whole, as written.
            ASSERT_TRUE(writeInterlacedPng(path(seed.name), l, pixels));
            std::vector<uint8_t> back;
            PixelLayout got;
            ASSERT_TRUE(readAll(path(seed.name), back, got, error)) << error;
            EXPECT_TRUE(got == l && back == pixels);
        }
        const std::vector<uint8_t> good = bytesOf(path(seed.name));
        const std::string damaged = path(std::string("damaged-") + seed.name);
        for (int round = 0; round < 120; ++round) {
            std::vector<uint8_t> bytes = good;
            if (round < 20) {
                bytes.resize(good.size() * size_t(round) / 20);
            } else {
                const int changes = 1 + round % 4;
                for (int k = 0; k < changes; ++k)
                    bytes[random() % (round % 2 ? std::min<size_t>(bytes.size(), 600) : bytes.size())] = uint8_t(random());
            }
            save(damaged, bytes);
            std::vector<uint8_t> back;
            PixelLayout got;
            const bool read = readAll(damaged, back, got, error);
            EXPECT_TRUE(read || !error.empty());
            EXPECT_FALSE(round < 20 && read) << "cut at " << bytes.size();
        }
    }

    // A TIFF that claims 2^31 x 2^31 pixels: refused from its header.
    std::vector<uint8_t> huge = {'I', 'I', 42, 0, 8, 0, 0, 0, 5, 0};
    const auto entry = [&huge](uint16_t tag, uint16_t type, uint32_t value) {
        const uint8_t e[12] = {uint8_t(tag), uint8_t(tag >> 8), uint8_t(type), 0, 1, 0, 0, 0,
                               uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
        huge.insert(huge.end(), e, e + 12);
    };
    entry(256, 4, 0x80000000u);
    entry(257, 4, 0x80000000u);
    entry(262, 3, 1);
    entry(273, 4, 80);
    entry(279, 4, 1);
    huge.resize(huge.size() + 4 + 16, 0);
    save(path("huge.tif"), huge);
    std::string error;
    EXPECT_FALSE(openImageFile(path("huge.tif"), error));
    EXPECT_FALSE(error.empty());
}

// A BMP's rows are padded to 4 bytes; a file one byte short of them is cut,
// whichever way up and whatever its header; run-length files are not judged.
TEST_F(ImageFiles, BmpFilesShortOfTheirRowsAreCut)
{
    struct Case {
        int headerBytes, width, height, bits, compression;
        size_t rowBytes;
    };
    const Case cases[] = {
        {40, 5, 3, 24, 0, 16},   // 15 bytes of pixels padded to 16
        {40, 5, -3, 24, 0, 16},  // top-down
        {40, 3, 2, 32, 3, 12},   // bit fields
        {40, 9, 2, 1, 0, 4},     // one bit per pixel
        {12, 5, 3, 24, 0, 16},   // OS/2 header
        {40, 5, 3, 8, 1, 0},     // run lengths: never judged
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headerBytes * 1000 + c.width * 10 + c.bits);
        std::vector<uint8_t> file(14 + size_t(c.headerBytes), 0);
        const auto put = [&file](size_t at, uint32_t v, int bytes) {
            for (int i = 0; i < bytes; ++i) file[at + size_t(i)] = uint8_t(v >> (8 * i));
        };
        file[0] = 'B';
        file[1] = 'M';
        put(10, uint32_t(file.size()), 4);
        put(14, uint32_t(c.headerBytes), 4);
        if (c.headerBytes == 12) {
            put(18, uint32_t(c.width), 2);
            put(20, uint32_t(c.height), 2);
            put(24, uint32_t(c.bits), 2);
        } else {
            put(18, uint32_t(c.width), 4);
            put(22, uint32_t(c.height), 4);
            put(28, uint32_t(c.bits), 2);
            put(30, uint32_t(c.compression), 4);
        }
        const size_t whole = file.size() + c.rowBytes * size_t(std::abs(c.height));
        file.resize(std::max(whole, file.size() + 1), 0x55);
        save(path("image.bmp"), file);
        EXPECT_EQ(shortfall(path("image.bmp")), "");
        file.resize(whole - 1);
        save(path("image.bmp"), file);
        EXPECT_EQ(shortfall(path("image.bmp")).empty(), c.compression == 1);
    }
}

// A GIF cut anywhere before the end of its first image's data is cut; after
// it (a second image, the trailer) the first image is whole.
TEST_F(ImageFiles, GifFilesCutBeforeTheEndOfTheirFirstImageAreCut)
{
    std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 4, 0, 4, 0, 0x81, 0, 0};   // 4 x 4, 4 colours
    gif.insert(gif.end(), 12, 0x40);                                                     // the colour table
    const std::vector<uint8_t> extension = {0x21, 0xF9, 4, 1, 0, 0, 0, 0};              // graphic control
    const std::vector<uint8_t> image = {0x2C, 0, 0, 0, 0, 4, 0, 4, 0, 0x80,             // with a local table
                                        9, 9, 9, 9, 9, 9, 2, 3, 0x84, 0x1D, 0x05, 1, 0x80, 0};
    gif.insert(gif.end(), extension.begin(), extension.end());
    gif.insert(gif.end(), image.begin(), image.end());
    const size_t firstImageEnds = gif.size();
    gif.insert(gif.end(), image.begin(), image.end());
    gif.push_back(0x3B);
    for (size_t bytes = 6; bytes <= gif.size(); ++bytes) {
        save(path("image.gif"), std::vector<uint8_t>(gif.begin(), gif.begin() + std::ptrdiff_t(bytes)));
        EXPECT_EQ(shortfall(path("image.gif")).empty(), bytes >= firstImageEnds) << "cut at " << bytes;
    }
}

// A TIFF cut inside a description (here its XMP packet) after its pixels
// still reads whole: only tags that change how pixels read make it damaged.
TEST_F(ImageFiles, TiffsCutInADescriptionOnlyStillRead)
{
    PixelLayout l;
    l.width = 30;
    l.height = 20;
    const std::vector<uint8_t> pixels = picture(l);
    TIFF* t = TIFFOpen(path("described.tif").c_str(), "w");
    ASSERT_TRUE(t);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, l.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, l.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    const std::string xmp(4000, 'x');
    TIFFSetField(t, TIFFTAG_XMLPACKET, uint32_t(xmp.size()), xmp.data());
    for (uint32_t y = 0; y < l.height; ++y)
        ASSERT_GE(TIFFWriteScanline(t, const_cast<uint8_t*>(pixels.data() + l.rowBytes() * y), y, 0), 0);
    TIFFClose(t);
    std::vector<uint8_t> bytes = bytesOf(path("described.tif"));
    const auto packet = std::search(bytes.begin(), bytes.end(), xmp.begin(), xmp.begin() + 100);
    ASSERT_NE(packet, bytes.end());
    bytes.resize(size_t(packet - bytes.begin()) + xmp.size() / 2);
    save(path("cut.tif"), bytes);
    std::vector<uint8_t> back;
    PixelLayout got;
    std::string error;
    ASSERT_TRUE(readAll(path("cut.tif"), back, got, error)) << error;
    EXPECT_TRUE(got == l && back == pixels);
}
