// TIFF through libtiff: gray, RGB and CMYK of 8 or 16 bits, in strips or
// tiles, contiguous or in planes, with extra channels, read a band of rows at
// a time; any other layout libtiff can read goes through its RGBA reader as
// 8-bit RGB. Written in strips, uncompressed, LZW or deflate.
#include "tools/imagefiles/imagefileinternal.h"

#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace imagefiles {

namespace {

// No single allocation libtiff makes for a file may exceed this.
constexpr tmsize_t MaxTiffAllocation = tmsize_t(1) << 30;

int recordMessage(TIFF*, void* user, const char* module, const char* fmt, va_list ap)
{
    auto* message = static_cast<std::string*>(user);
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    // libtiff reports a private tag of a type it does not know as an error,
    // skips it and reads on: not the cause of anything.
    if (std::strstr(text, "TIFF_SETGET_UNDEFINED")) return 1;
    if (message->empty()) *message = text;   // the first error is the cause
    return 1;
}

// What libtiff warns of while it reads a file, and then leaves out: a
// damaged embedded profile, and tags whose values lie beyond the end of the
// file. Without one of the tags below the pixels would read as something
// else (a cut palette image as gray, say); the others are descriptions.
const char* const PixelTags[] = {"\"ColorMap\"",         "\"ExtraSamples\"",       "\"SampleFormat\"",
                                 "\"BitsPerSample\"",    "\"JPEGTables\"",         "\"YCbCrCoefficients\"",
                                 "\"YCbCrSubsampling\"", "\"ReferenceBlackWhite\"", "\"TransferFunction\""};

struct ReadWarnings {
    std::string profile;
    std::string damage;
};

int recordWarning(TIFF*, void* user, const char*, const char* fmt, va_list ap)
{
    auto* warnings = static_cast<ReadWarnings*>(user);
    if (!warnings) return 1;
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    const bool cut = std::strstr(text, "IO error during reading of");
    const bool pixels = cut && std::any_of(std::begin(PixelTags), std::end(PixelTags),
                                           [&text](const char* tag) { return std::strstr(text, tag); });
    std::string* slot = std::strstr(text, "ICC Profile") ? &warnings->profile : pixels ? &warnings->damage : nullptr;
    if (slot && slot->empty()) *slot = text;
    return 1;
}

// libtiff opened with its errors going into `message` instead of stderr.
TIFF* openTiffFile(const std::string& path, const char* mode, std::string* message, ReadWarnings* warnings = nullptr)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, recordMessage, message);
    TIFFOpenOptionsSetWarningHandlerExtR(options, recordWarning, warnings);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, MaxTiffAllocation);
    TIFF* tif = TIFFOpenExt(path.c_str(), mode, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

Compression compressionOf(uint16_t c)
{
    switch (c) {
    case COMPRESSION_NONE: return Compression::None;
    case COMPRESSION_LZW: return Compression::Lzw;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE: return Compression::Deflate;
    default: return Compression::Other;
    }
}

class TiffReader : public ImageReader {
public:
    ~TiffReader() override
    {
        if (rgbaStarted_) TIFFRGBAImageEnd(&rgba_);
        if (tif_) TIFFClose(tif_);
    }

    bool open(const std::string& path)
    {
        // Not memory-mapped: a mapped file counts whole in the process's memory.
        tif_ = openTiffFile(path, "rm", &error_, &warnings_);
        if (!tif_) return fail("not a readable TIFF file");
        profileProblem_ = warnings_.profile;
        if (!warnings_.damage.empty()) return fail("the file is damaged or cut short: " + warnings_.damage);
        kind_ = FileKind::Tiff;

        uint32_t width = 0, height = 0;
        uint16_t bits = 1, samples = 1, photometric = 0, planar = PLANARCONFIG_CONTIG, compression = 1, format = 1;
        uint16_t inkset = INKSET_CMYK;
        if (!TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &height))
            return fail("the image has no size");
        if (width == 0 || height == 0 || width > MaxDimension || height > MaxDimension)
            return fail("the image size " + std::to_string(width) + " x " + std::to_string(height) + " is not usable");
        TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_COMPRESSION, &compression);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLEFORMAT, &format);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_INKSET, &inkset);
        if (!TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &photometric)) return fail("the image has no photometric tag");
        uint16_t extraCount = 0;
        uint16_t* extraKinds = nullptr;
        TIFFGetFieldDefaulted(tif_, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds);
        compression_ = compressionOf(compression);

        uint16_t orientation = ORIENTATION_TOPLEFT;
        TIFFGetFieldDefaulted(tif_, TIFFTAG_ORIENTATION, &orientation);
        orientation_ = orientation >= 1 && orientation <= 8 ? orientation : 1;
        readResolution();
        pages_ = std::max<uint32_t>(1, TIFFNumberOfDirectories(tif_));

        uint32_t iccSize = 0;
        void* icc = nullptr;
        if (TIFFGetField(tif_, TIFFTAG_ICCPROFILE, &iccSize, &icc) && icc && iccSize > 0)
            icc_.assign(static_cast<const uint8_t*>(icc), static_cast<const uint8_t*>(icc) + iccSize);

        if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG) {
            // libtiff's JPEG codec hands out RGB.
            TIFFSetField(tif_, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
            photometric = PHOTOMETRIC_RGB;
        }
        const int colors = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE ? 1
                           : photometric == PHOTOMETRIC_RGB                                           ? 3
                           : photometric == PHOTOMETRIC_SEPARATED && inkset == INKSET_CMYK            ? 4
                                                                                                      : 0;
        const bool plain = colors > 0 && (bits == 8 || bits == 16) && format == SAMPLEFORMAT_UINT &&
                           samples >= colors && samples - colors == extraCount && samples <= 16;
        if (!plain) return openThroughRgba();

        layout_.width = width;
        layout_.height = height;
        layout_.model = colors == 1 ? ColorModel::Gray : colors == 3 ? ColorModel::Rgb : ColorModel::Cmyk;
        layout_.bits = bits;
        layout_.extraChannels = extraCount;
        layout_.alpha = extraCount > 0 && (extraKinds[0] == EXTRASAMPLE_ASSOCALPHA ||
                                           extraKinds[0] == EXTRASAMPLE_UNASSALPHA);
        premultiplied_ = extraCount > 0 && extraKinds[0] == EXTRASAMPLE_ASSOCALPHA;
        minIsWhite_ = photometric == PHOTOMETRIC_MINISWHITE;
        separate_ = planar == PLANARCONFIG_SEPARATE && samples > 1;
        tiled_ = TIFFIsTiled(tif_);
        if (tiled_ || separate_) return prepareBands();
        direct_ = compression == COMPRESSION_NONE && findStrips();
        return true;
    }

    bool readRows(uint8_t* out, size_t stride, uint32_t rows) override
    {
        if (!tif_ || rows > layout_.height - row_) return fail("read past the end of the image");
        if (direct_) return readDirect(out, stride, rows);
        for (uint32_t i = 0; i < rows; ++i, ++row_) {
            uint8_t* dst = out + stride * i;
            if (rgbaStarted_) {
                if (!readRgbaRow(dst)) return false;
                continue;
            }
            if (bandRows_ == 0) {
                if (TIFFReadScanline(tif_, dst, row_, 0) < 0) return fail("the image data is damaged or cut short");
            } else if (!readBandRow(dst)) {
                return false;
            }
            if (minIsWhite_) invertSamples(dst, size_t(layout_.width) * layout_.channels(), layout_.bits);
            if (premultiplied_) unpremultiply(dst, layout_);
        }
        return true;
    }

private:
    void readResolution()
    {
        float x = 0, y = 0;
        uint16_t unit = RESUNIT_INCH;
        if (!TIFFGetField(tif_, TIFFTAG_XRESOLUTION, &x) || !TIFFGetField(tif_, TIFFTAG_YRESOLUTION, &y)) return;
        if (!(x > 0 && y > 0 && x < 1e9f && y < 1e9f)) return;
        TIFFGetFieldDefaulted(tif_, TIFFTAG_RESOLUTIONUNIT, &unit);
        resolution_ = {x, y, unit == RESUNIT_CENTIMETER ? ResolutionUnit::Centimetre
                             : unit == RESUNIT_NONE     ? ResolutionUnit::None
                                                        : ResolutionUnit::Inch};
    }

    bool fail(const std::string& fallback)
    {
        if (error_.empty()) error_ = fallback;
        if (rgbaStarted_) TIFFRGBAImageEnd(&rgba_);
        rgbaStarted_ = false;
        if (tif_) TIFFClose(tif_);
        tif_ = nullptr;
        return false;
    }

    // Uncompressed strips are read from the file straight into the rows,
    // as few reads as the layout allows.
    bool findStrips()
    {
        uint64_t* offsets = nullptr;
        uint64_t* sizes = nullptr;
        uint32_t rows = 0;
        TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rows);
        if (!TIFFGetField(tif_, TIFFTAG_STRIPOFFSETS, &offsets) || !TIFFGetField(tif_, TIFFTAG_STRIPBYTECOUNTS, &sizes) ||
            !offsets || !sizes || rows == 0)
            return false;
        stripRows_ = std::min(rows, layout_.height);
        const uint32_t strips = TIFFNumberOfStrips(tif_);
        if (strips < (layout_.height + stripRows_ - 1) / stripRows_) return false;
        stripOffsets_.assign(offsets, offsets + strips);
        return true;
    }

    bool readDirect(uint8_t* out, size_t stride, uint32_t rows)
    {
        const size_t rowBytes = layout_.rowBytes();
        const int fd = TIFFFileno(tif_);
        for (uint32_t i = 0; i < rows;) {
            // A run of rows lying one after the other in the file and in `out`.
            const uint64_t at = stripOffsets_[row_ / stripRows_] + uint64_t(row_ % stripRows_) * rowBytes;
            uint32_t n = 1;
            while (i + n < rows && stride == rowBytes) {
                const uint32_t r = row_ + n;
                if (stripOffsets_[r / stripRows_] + uint64_t(r % stripRows_) * rowBytes != at + uint64_t(n) * rowBytes)
                    break;
                ++n;
            }
            uint8_t* dst = out + stride * i;
            const size_t want = rowBytes * n;
            size_t got = 0;
            while (got < want) {
                const ssize_t r = ::pread(fd, dst + got, want - got, off_t(at + got));
                if (r <= 0) return fail(r == 0 ? "the file ends before the image data does" : std::strerror(errno));
                got += size_t(r);
            }
            for (uint32_t k = 0; k < n; ++k) {
                uint8_t* row = dst + rowBytes * k;
                if (layout_.bits == 16 && TIFFIsByteSwapped(tif_))
                    TIFFSwabArrayOfShort(reinterpret_cast<uint16_t*>(row), tmsize_t(rowBytes / 2));
                if (minIsWhite_) invertSamples(row, size_t(layout_.width) * layout_.channels(), layout_.bits);
                if (premultiplied_) unpremultiply(row, layout_);
            }
            i += n;
            row_ += n;
        }
        return true;
    }

    // Palettes, bilevel, YCbCr, CIE L*a*b*, 32-bit samples ...: libtiff's own
    // reader makes them 8-bit RGB(A).
    bool openThroughRgba()
    {
        char message[1024] = {};
        // Stopping at the first damaged strip or tile: otherwise libtiff
        // leaves it blank and reports success.
        if (!TIFFRGBAImageOK(tif_, message) || !TIFFRGBAImageBegin(&rgba_, tif_, 1, message))
            return fail(std::string("unsupported TIFF layout: ") + message);
        rgbaStarted_ = true;
        // Rows as stored, as on the other paths: the orientation is passed on.
        rgba_.req_orientation = orientation_;
        layout_.width = rgba_.width;
        layout_.height = rgba_.height;
        layout_.model = ColorModel::Rgb;
        layout_.bits = 8;
        layout_.extraChannels = rgba_.alpha ? 1 : 0;
        layout_.alpha = rgba_.alpha != 0;
        // A strip or a row of tiles at a time, of at most 16 MB.
        uint32_t rows = 0;
        if (!TIFFGetField(tif_, TIFFIsTiled(tif_) ? TIFFTAG_TILELENGTH : TIFFTAG_ROWSPERSTRIP, &rows)) rows = 1;
        const uint32_t cap = std::max<uint32_t>(1, uint32_t((size_t(16) << 20) / (size_t(layout_.width) * 4)));
        bandRows_ = std::clamp<uint32_t>(rows, 1, std::min(cap, layout_.height));
        rgbaBand_.resize(size_t(layout_.width) * bandRows_);
        return true;
    }

    bool readRgbaRow(uint8_t* dst)
    {
        if (bandFirst_ == UINT32_MAX || row_ >= bandFirst_ + bandRows_) {
            bandFirst_ = row_ - row_ % bandRows_;
            rgba_.row_offset = int(bandFirst_);
            rgba_.col_offset = 0;
            if (!TIFFRGBAImageGet(&rgba_, rgbaBand_.data(), layout_.width,
                                  std::min(bandRows_, layout_.height - bandFirst_)))
                return fail("the image data is damaged or cut short");
        }
        const uint32_t* src = rgbaBand_.data() + size_t(layout_.width) * (row_ - bandFirst_);
        uint8_t* d = dst;
        for (uint32_t x = 0; x < layout_.width; ++x) {
            const uint32_t p = src[x];
            *d++ = uint8_t(TIFFGetR(p));
            *d++ = uint8_t(TIFFGetG(p));
            *d++ = uint8_t(TIFFGetB(p));
            if (layout_.alpha) *d++ = uint8_t(TIFFGetA(p));
        }
        if (layout_.alpha) unpremultiply(dst, layout_);   // libtiff's RGBA is premultiplied
        return true;
    }

    // Tiles and separate planes are decoded a band (a row of tiles, or a
    // strip of each plane) at a time and interleaved from there.
    bool prepareBands()
    {
        uint32_t rows = 0;
        if (tiled_) {
            uint32_t tileWidth = 0;
            if (!TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &tileWidth) || !TIFFGetField(tif_, TIFFTAG_TILELENGTH, &rows) ||
                tileWidth == 0 || rows == 0 || tileWidth > MaxDimension || rows > MaxDimension)
                return fail("damaged tile size");
            tileWidth_ = tileWidth;
        } else {
            TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rows);
        }
        bandRows_ = std::clamp<uint32_t>(rows, 1, layout_.height);
        const uint32_t planes = separate_ ? layout_.channels() : 1;
        const size_t planeRow = layout_.rowBytes() / planes;
        const size_t bytes = planeRow * bandRows_ * planes;
        if (bytes > size_t(MaxTiffAllocation)) return fail("the strips or tiles are too large");
        band_.resize(bytes);
        if (tiled_) tile_.resize(size_t(TIFFTileSize(tif_)));
        return true;
    }

    bool loadBand(uint32_t first)
    {
        const uint32_t planes = separate_ ? layout_.channels() : 1;
        const size_t planeRow = layout_.rowBytes() / planes;
        const uint32_t rows = std::min(bandRows_, layout_.height - first);
        for (uint32_t p = 0; p < planes; ++p) {
            uint8_t* plane = band_.data() + planeRow * bandRows_ * p;
            if (!tiled_) {
                const tmsize_t want = tmsize_t(planeRow * rows);
                if (TIFFReadEncodedStrip(tif_, TIFFComputeStrip(tif_, first, uint16_t(p)), plane, want) < want)
                    return fail("the image data is damaged or cut short");
                continue;
            }
            const size_t tileRow = planeRow / layout_.width * tileWidth_;
            for (uint32_t x = 0; x < layout_.width; x += tileWidth_) {
                if (TIFFReadTile(tif_, tile_.data(), x, first, 0, uint16_t(p)) < 0)
                    return fail("the image data is damaged or cut short");
                const size_t offset = planeRow / layout_.width * x;
                const size_t bytes = std::min(tileRow, planeRow - offset);
                for (uint32_t r = 0; r < rows; ++r)
                    std::memcpy(plane + planeRow * r + offset, tile_.data() + tileRow * r, bytes);
            }
        }
        bandFirst_ = first;
        return true;
    }

    bool readBandRow(uint8_t* dst)
    {
        if (bandFirst_ == UINT32_MAX || row_ >= bandFirst_ + bandRows_)
            if (!loadBand(row_ - row_ % bandRows_)) return false;
        const uint32_t r = row_ - bandFirst_;
        if (!separate_) {
            std::memcpy(dst, band_.data() + layout_.rowBytes() * r, layout_.rowBytes());
            return true;
        }
        const uint32_t planes = layout_.channels();
        const size_t sample = layout_.bits / 8, planeRow = size_t(layout_.width) * sample;
        for (uint32_t p = 0; p < planes; ++p) {
            const uint8_t* src = band_.data() + planeRow * (size_t(bandRows_) * p + r);
            uint8_t* d = dst + p * sample;
            for (uint32_t x = 0; x < layout_.width; ++x, src += sample, d += sample * planes)
                std::memcpy(d, src, sample);
        }
        return true;
    }

    TIFF* tif_ = nullptr;
    uint32_t row_ = 0;
    bool premultiplied_ = false;
    bool minIsWhite_ = false;
    bool separate_ = false;
    bool tiled_ = false;
    uint32_t tileWidth_ = 0;
    bool direct_ = false;
    uint32_t stripRows_ = 0;
    std::vector<uint64_t> stripOffsets_;
    uint32_t bandRows_ = 0;   // 0: read scanline by scanline
    uint32_t bandFirst_ = UINT32_MAX;
    std::vector<uint8_t> band_;
    std::vector<uint8_t> tile_;
    ReadWarnings warnings_;   // filled by libtiff while the file is open
    TIFFRGBAImage rgba_{};
    bool rgbaStarted_ = false;
    std::vector<uint32_t> rgbaBand_;
};

class TiffEncoder : public Encoder {
public:
    ~TiffEncoder() override
    {
        if (tif_) TIFFClose(tif_);
    }

    bool open(const std::string& path, const PixelLayout& layout, const WriteOptions& options)
    {
        layout_ = layout;
        // Past 4 GB only BigTIFF can address the data.
        const bool big = double(layout.rowBytes()) * layout.height > 3.9e9;
        tif_ = openTiffFile(path, big ? "w8" : "w", &error);
        if (!tif_) return false;
        const uint16_t photometric = layout.model == ColorModel::Gray  ? PHOTOMETRIC_MINISBLACK
                                     : layout.model == ColorModel::Rgb ? PHOTOMETRIC_RGB
                                                                       : PHOTOMETRIC_SEPARATED;
        TIFFSetField(tif_, TIFFTAG_IMAGEWIDTH, layout.width);
        TIFFSetField(tif_, TIFFTAG_IMAGELENGTH, layout.height);
        TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, uint16_t(layout.bits));
        TIFFSetField(tif_, TIFFTAG_SAMPLESPERPIXEL, uint16_t(layout.channels()));
        TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC, photometric);
        if (layout.model == ColorModel::Cmyk) TIFFSetField(tif_, TIFFTAG_INKSET, INKSET_CMYK);
        TIFFSetField(tif_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif_, TIFFTAG_ORIENTATION, options.orientation >= 1 && options.orientation <= 8 ? options.orientation
                                                                                                      : ORIENTATION_TOPLEFT);
        if (options.resolution.known()) {
            const Resolution& r = options.resolution;
            TIFFSetField(tif_, TIFFTAG_XRESOLUTION, float(r.x));
            TIFFSetField(tif_, TIFFTAG_YRESOLUTION, float(r.y));
            TIFFSetField(tif_, TIFFTAG_RESOLUTIONUNIT, r.unit == ResolutionUnit::Inch         ? RESUNIT_INCH
                                                       : r.unit == ResolutionUnit::Centimetre ? RESUNIT_CENTIMETER
                                                                                              : RESUNIT_NONE);
        }
        if (layout.extraChannels) {
            std::vector<uint16_t> kinds(layout.extraChannels, EXTRASAMPLE_UNSPECIFIED);
            if (layout.alpha) kinds[0] = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(tif_, TIFFTAG_EXTRASAMPLES, uint16_t(kinds.size()), kinds.data());
        }
        const uint16_t compression = options.compression == Compression::Lzw       ? COMPRESSION_LZW
                                     : options.compression == Compression::Deflate ? COMPRESSION_ADOBE_DEFLATE
                                                                                   : COMPRESSION_NONE;
        TIFFSetField(tif_, TIFFTAG_COMPRESSION, compression);
        if (compression != COMPRESSION_NONE) {
            TIFFSetField(tif_, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
            scratch_.resize(layout.rowBytes());
        }
        // Strips of about 256 kB.
        stripRows_ = uint32_t(std::clamp<size_t>((size_t(256) << 10) / layout.rowBytes(), 1, layout.height));
        TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, stripRows_);
        if (compression == COMPRESSION_NONE) pending_.resize(layout.rowBytes() * stripRows_);
        TIFFSetField(tif_, TIFFTAG_SOFTWARE, "Osterlane Color Tonemolder");
        if (!options.iccProfile.empty())
            TIFFSetField(tif_, TIFFTAG_ICCPROFILE, uint32_t(options.iccProfile.size()), options.iccProfile.data());
        return error.empty();
    }

    bool writeRows(const uint8_t* rows, size_t stride, uint32_t count) override
    {
        if (!pending_.empty()) return writeStrips(rows, stride, count);
        for (uint32_t i = 0; i < count; ++i, ++row_) {
            // The predictor differences the row it is given in place: it gets a copy.
            uint8_t* src = const_cast<uint8_t*>(rows + stride * i);
            if (!scratch_.empty()) src = static_cast<uint8_t*>(std::memcpy(scratch_.data(), src, scratch_.size()));
            if (TIFFWriteScanline(tif_, src, row_, 0) < 0) {
                if (error.empty()) error = "cannot write the image data";
                return false;
            }
        }
        return true;
    }

    // Uncompressed rows are the strips' bytes: whole strips go to the file
    // from the caller's rows, the rest is gathered first.
    bool writeStrips(const uint8_t* rows, size_t stride, uint32_t count)
    {
        const size_t rowBytes = layout_.rowBytes();
        for (uint32_t i = 0; i < count;) {
            const uint32_t stripRows = std::min(stripRows_, layout_.height - strip_ * stripRows_);
            const uint8_t* whole = nullptr;
            if (gathered_ == 0 && stride == rowBytes && count - i >= stripRows) {
                whole = rows + stride * i;
                i += stripRows;
            } else {
                const uint32_t take = std::min(stripRows - gathered_, count - i);
                for (uint32_t k = 0; k < take; ++k)
                    std::memcpy(pending_.data() + rowBytes * (gathered_ + k), rows + stride * (i + k), rowBytes);
                gathered_ += take;
                i += take;
                if (gathered_ < stripRows) continue;
                whole = pending_.data();
                gathered_ = 0;
            }
            if (TIFFWriteRawStrip(tif_, strip_, const_cast<uint8_t*>(whole), tmsize_t(rowBytes * stripRows)) < 0) {
                if (error.empty()) error = "cannot write the image data";
                return false;
            }
            ++strip_;
        }
        return true;
    }

    bool finish() override
    {
        const bool flushed = TIFFFlush(tif_) == 1;
        TIFFClose(tif_);
        tif_ = nullptr;
        if (!flushed && error.empty()) error = "cannot write the file";
        return flushed && error.empty();
    }

private:
    TIFF* tif_ = nullptr;
    PixelLayout layout_;
    uint32_t row_ = 0;
    std::vector<uint8_t> scratch_;
    uint32_t stripRows_ = 1;
    std::vector<uint8_t> pending_;   // uncompressed: a strip being gathered
    uint32_t gathered_ = 0;
    uint32_t strip_ = 0;
};

}   // namespace

std::unique_ptr<ImageReader> openTiff(const std::string& path, std::string& error)
{
    return openedReader<TiffReader>(path, error);
}

std::unique_ptr<Encoder> createTiffEncoder(const std::string& path, const PixelLayout& layout,
                                           const WriteOptions& options, std::string& error)
{
    return openedEncoder<TiffEncoder>(path, layout, options, error);
}

}   // namespace imagefiles
