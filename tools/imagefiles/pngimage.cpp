// PNG through libpng: palettes, low bit depths and transparency keys are
// expanded to 8-bit gray or RGB with alpha; 16-bit samples come in the
// machine's byte order. Interlaced images are decoded whole, the others row
// by row.
#include "tools/imagefiles/imagefileinternal.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace imagefiles {

namespace {

constexpr bool LittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

struct Messages {
    std::string error;
    std::string profileProblem;
};

[[noreturn]] void onError(png_structp png, png_const_charp text)
{
    auto* m = static_cast<Messages*>(png_get_error_ptr(png));
    // libpng's own words for a short file say little.
    if (m->error.empty()) m->error = std::strcmp(text, "Read Error") == 0 ? "the file ends too early" : text;
    png_longjmp(png, 1);
}

void onWarning(png_structp png, png_const_charp text)
{
    // A profile libpng refuses is dropped with a warning naming the chunk.
    auto* m = static_cast<Messages*>(png_get_error_ptr(png));
    if (std::strncmp(text, "iCCP", 4) == 0 && m->profileProblem.empty()) m->profileProblem = text;
}

class PngReader : public ImageReader {
public:
    ~PngReader() override { close(); }

    bool open(const std::string& path)
    {
        kind_ = FileKind::Png;
        compression_ = Compression::Deflate;
        file_ = std::fopen(path.c_str(), "rb");
        if (!file_) return fail(std::strerror(errno));
        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &messages_, onError, onWarning);
        if (!png_) return fail("out of memory");
        info_ = png_create_info_struct(png_);
        if (!info_) return fail("out of memory");
        if (!readHeader()) return fail("damaged PNG header");
        if (layout_.width == 0 || layout_.height == 0 || layout_.width > MaxDimension || layout_.height > MaxDimension)
            return fail("the image size is not usable");
        profileProblem_ = messages_.profileProblem;
        if (interlaced_) {
            // Row by row needs every pass: the image is decoded whole.
            const double bytes = double(layout_.rowBytes()) * layout_.height;
            if (bytes > double(size_t(1) << 31)) return fail("interlaced image too large to decode");
            // Left unfilled: a file that claims a large image and holds
            // little touches only the memory its data reaches.
            whole_.reset(new (std::nothrow) uint8_t[layout_.rowBytes() * layout_.height]);
            if (!whole_) return fail("out of memory for the interlaced image");
            if (!decodeWhole()) return fail("the image data is damaged or cut short");
        }
        return true;
    }

    bool readRows(uint8_t* out, size_t stride, uint32_t rows) override
    {
        if (!png_ || rows > layout_.height - row_) return fail("read past the end of the image");
        if (interlaced_) {
            for (uint32_t i = 0; i < rows; ++i, ++row_)
                std::memcpy(out + stride * i, whole_.get() + layout_.rowBytes() * row_, layout_.rowBytes());
        } else if (!decodeRows(out, stride, rows)) {
            return fail("the image data is damaged or cut short");
        }
        if (row_ == layout_.height && !finishReading()) return fail("the file is damaged after the image data");
        return true;
    }

private:
    bool fail(const std::string& fallback)
    {
        if (error_.empty()) error_ = messages_.error.empty() ? fallback : messages_.error;
        close();
        return false;
    }

    void close()
    {
        if (png_) png_destroy_read_struct(&png_, info_ ? &info_ : nullptr, nullptr);
        png_ = nullptr;
        info_ = nullptr;
        if (file_) std::fclose(file_);
        file_ = nullptr;
    }

    // The functions that call into libpng keep nothing with a destructor
    // on their frames: libpng's errors come back by longjmp.
    bool readHeader()
    {
        if (setjmp(png_jmpbuf(png_))) return false;
        png_init_io(png_, file_);
        png_set_option(png_, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
        png_read_info(png_, info_);
        const int colorType = png_get_color_type(png_, info_);
        const int depth = png_get_bit_depth(png_, info_);
        if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png_);
        if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png_);
        if (png_get_valid(png_, info_, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png_);
        if (depth == 16 && LittleEndian) png_set_swap(png_);
        interlaced_ = png_set_interlace_handling(png_) > 1;
        png_read_update_info(png_, info_);

        const int channels = png_get_channels(png_, info_);
        layout_.width = png_get_image_width(png_, info_);
        layout_.height = png_get_image_height(png_, info_);
        layout_.bits = png_get_bit_depth(png_, info_);
        layout_.model = channels <= 2 ? ColorModel::Gray : ColorModel::Rgb;
        layout_.extraChannels = (channels == 2 || channels == 4) ? 1 : 0;
        layout_.alpha = layout_.extraChannels == 1;
        if (layout_.bits != 8 && layout_.bits != 16) png_error(png_, "unsupported bit depth");

        png_charp name = nullptr;
        int method = 0;
        png_bytep profile = nullptr;
        png_uint_32 length = 0;
        if (png_get_iCCP(png_, info_, &name, &method, &profile, &length) && profile && length > 0)
            icc_.assign(profile, profile + length);
        png_bytep exif = nullptr;
        png_uint_32 exifLength = 0;
        if (png_get_eXIf_1(png_, info_, &exifLength, &exif) && exif) orientation_ = exifOrientation(exif, exifLength);
        return true;
    }

    bool decodeRows(uint8_t* out, size_t stride, uint32_t rows)
    {
        if (setjmp(png_jmpbuf(png_))) return false;
        for (uint32_t i = 0; i < rows; ++i, ++row_) png_read_row(png_, out + stride * i, nullptr);
        return true;
    }

    bool decodeWhole()
    {
        rowPointers_.resize(layout_.height);
        for (uint32_t y = 0; y < layout_.height; ++y) rowPointers_[y] = whole_.get() + layout_.rowBytes() * y;
        if (setjmp(png_jmpbuf(png_))) return false;
        png_read_image(png_, rowPointers_.data());
        return true;
    }

    bool finishReading()
    {
        if (setjmp(png_jmpbuf(png_))) return false;
        png_read_end(png_, nullptr);
        return true;
    }

    FILE* file_ = nullptr;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    Messages messages_;
    bool interlaced_ = false;
    uint32_t row_ = 0;
    std::unique_ptr<uint8_t[]> whole_;
    std::vector<png_bytep> rowPointers_;
};

class PngEncoder : public StreamEncoder {
public:
    ~PngEncoder() override
    {
        if (png_) png_destroy_write_struct(&png_, info_ ? &info_ : nullptr);
    }

    bool open(const std::string& path, const PixelLayout& layout, const WriteOptions& options)
    {
        if (!create(path)) return false;
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, &messages_, onError, onWarning);
        if (!png_) return error = "out of memory", false;
        info_ = png_create_info_struct(png_);
        if (!info_) return error = "out of memory", false;
        if (!writeHeader(layout, options)) return takeError();
        if (!options.iccProfile.empty() && !messages_.profileProblem.empty())
            return error = "the profile cannot be embedded: " + messages_.profileProblem, false;
        return true;
    }

    bool writeRows(const uint8_t* rows, size_t stride, uint32_t count) override
    {
        return encodeRows(rows, stride, count) || takeError();
    }

private:
    const std::string& libraryMessage() const override { return messages_.error; }

    bool writeHeader(const PixelLayout& layout, const WriteOptions& options)
    {
        if (setjmp(png_jmpbuf(png_))) return false;
        png_init_io(png_, file_);
        // The file is written once and read many times, but photographs
        // gain little from the slowest settings.
        png_set_compression_level(png_, 6);
        const int type = layout.model == ColorModel::Gray ? (layout.alpha ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY)
                                                          : (layout.alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB);
        png_set_IHDR(png_, info_, layout.width, layout.height, int(layout.bits), type, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (!options.iccProfile.empty())
            png_set_iCCP(png_, info_, "ICC profile", PNG_COMPRESSION_TYPE_BASE, options.iccProfile.data(),
                         png_uint_32(options.iccProfile.size()));
        if (options.orientation > 1 && options.orientation <= 8) {
            std::vector<uint8_t> exif = exifOfOrientation(options.orientation);
            png_set_eXIf_1(png_, info_, png_uint_32(exif.size()), exif.data());
        }
        png_write_info(png_, info_);
        if (layout.bits == 16 && LittleEndian) png_set_swap(png_);
        return true;
    }

    bool encodeRows(const uint8_t* rows, size_t stride, uint32_t count)
    {
        if (setjmp(png_jmpbuf(png_))) return false;
        for (uint32_t i = 0; i < count; ++i) png_write_row(png_, rows + stride * i);
        return true;
    }

    bool complete() override
    {
        if (setjmp(png_jmpbuf(png_))) return false;
        png_write_end(png_, nullptr);
        return true;
    }

    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    Messages messages_;
};

}   // namespace

std::unique_ptr<ImageReader> openPng(const std::string& path, std::string& error)
{
    return openedReader<PngReader>(path, error);
}

std::unique_ptr<Encoder> createPngEncoder(const std::string& path, const PixelLayout& layout,
                                          const WriteOptions& options, std::string& error)
{
    return openedEncoder<PngEncoder>(path, layout, options, error);
}

}   // namespace imagefiles
