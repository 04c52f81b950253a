// JPEG through libjpeg: gray, RGB (from YCbCr) and CMYK (from YCCK). CMYK
// files follow the common convention of an Adobe marker and inverted
// samples. The ICC profile travels in APP2 chunks. A file that ends early or
// whose data is damaged is an error, never a picture padded with gray.
#include "tools/imagefiles/imagefileinternal.h"

#include <cstdio>
#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace imagefiles {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
    std::string message;
    bool badProfile = false;
};

std::string messageOf(j_common_ptr info)
{
    char text[JMSG_LENGTH_MAX] = {};
    info->err->format_message(info, text);
    return text;
}

[[noreturn]] void onError(j_common_ptr info)
{
    auto* e = reinterpret_cast<ErrorManager*>(info->err);
    if (e->message.empty()) e->message = messageOf(info);
    std::longjmp(e->jump, 1);
}

// Warnings about damaged data end the reading: libjpeg would go on and fill
// the rest of the picture.
void onMessage(j_common_ptr info, int level)
{
    if (level >= 0) return;
    auto* e = reinterpret_cast<ErrorManager*>(info->err);
    switch (info->err->msg_code) {
    case JWRN_BOGUS_ICC: e->badProfile = true; return;
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_MUST_RESYNC:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_NOT_SEQUENTIAL: onError(info);
    default: return;
    }
}

void setUp(ErrorManager& e, jpeg_error_mgr*& slot)
{
    slot = jpeg_std_error(&e.pub);
    e.pub.error_exit = onError;
    e.pub.emit_message = onMessage;
}

bool isIccMarker(const jpeg_saved_marker_ptr m)
{
    return m->marker == JPEG_APP0 + 2 && m->data_length >= 14 && std::memcmp(m->data, "ICC_PROFILE", 12) == 0;
}

class JpegReader : public ImageReader {
public:
    ~JpegReader() override { close(); }

    bool open(const std::string& path)
    {
        kind_ = FileKind::Jpeg;
        compression_ = Compression::Other;
        file_ = std::fopen(path.c_str(), "rb");
        if (!file_) return fail(std::strerror(errno));
        setUp(errors_, info_.err);
        if (!start()) return fail("damaged JPEG header");
        if (layout_.width > MaxDimension || layout_.height > MaxDimension) return fail("the image size is not usable");
        return true;
    }

    bool readRows(uint8_t* out, size_t stride, uint32_t rows) override
    {
        if (!started_ || rows > layout_.height - row_) return fail("read past the end of the image");
        if (!decode(out, stride, rows)) return fail("the image data is damaged or cut short");
        if (inverted_)
            for (uint32_t i = 0; i < rows; ++i) invertSamples(out + stride * i, size_t(layout_.width) * 4, 8);
        return true;
    }

private:
    bool fail(const std::string& fallback)
    {
        if (error_.empty()) error_ = errors_.message.empty() ? fallback : errors_.message;
        close();
        return false;
    }

    void close()
    {
        if (created_) jpeg_destroy_decompress(&info_);
        created_ = started_ = false;
        if (file_) std::fclose(file_);
        file_ = nullptr;
    }

    bool start()
    {
        if (setjmp(errors_.jump)) return false;
        jpeg_create_decompress(&info_);
        created_ = true;
        jpeg_stdio_src(&info_, file_);
        jpeg_save_markers(&info_, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(&info_, JPEG_APP0 + 2, 0xFFFF);
        jpeg_read_header(&info_, TRUE);
        for (jpeg_saved_marker_ptr m = info_.marker_list; m; m = m->next)
            if (m->marker == JPEG_APP0 + 1 && m->data_length > 6 && std::memcmp(m->data, "Exif\0\0", 6) == 0) {
                orientation_ = exifOrientation(m->data + 6, m->data_length - 6);
                break;
            }

        bool hasProfile = false;
        for (jpeg_saved_marker_ptr m = info_.marker_list; m; m = m->next) hasProfile |= isIccMarker(m);
        JOCTET* profile = nullptr;
        unsigned int length = 0;
        if (jpeg_read_icc_profile(&info_, &profile, &length) && profile) {
            icc_.assign(profile, profile + length);
        } else if (hasProfile || errors_.badProfile) {
            profileProblem_ = "the ICC profile's APP2 chunks are damaged or incomplete";
        }
        std::free(profile);

        switch (info_.jpeg_color_space) {
        case JCS_GRAYSCALE: info_.out_color_space = JCS_GRAYSCALE; break;
        case JCS_CMYK:
        case JCS_YCCK:
            info_.out_color_space = JCS_CMYK;
            inverted_ = info_.saw_Adobe_marker;
            break;
        default: info_.out_color_space = JCS_RGB; break;
        }
        jpeg_start_decompress(&info_);
        started_ = true;
        layout_.width = info_.output_width;
        layout_.height = info_.output_height;
        layout_.bits = 8;
        layout_.model = info_.output_components == 1   ? ColorModel::Gray
                        : info_.output_components == 4 ? ColorModel::Cmyk
                                                       : ColorModel::Rgb;
        return true;
    }

    bool decode(uint8_t* out, size_t stride, uint32_t rows)
    {
        if (setjmp(errors_.jump)) return false;
        for (uint32_t i = 0; i < rows;) {
            JSAMPROW row = out + stride * i;
            const JDIMENSION n = jpeg_read_scanlines(&info_, &row, 1);
            if (n == 0) ERREXIT(&info_, JERR_INPUT_EOF);
            i += n;
            ++row_;
        }
        if (row_ == layout_.height) jpeg_finish_decompress(&info_);
        return true;
    }

    FILE* file_ = nullptr;
    jpeg_decompress_struct info_{};
    ErrorManager errors_{};
    bool created_ = false;
    bool started_ = false;
    bool inverted_ = false;
    uint32_t row_ = 0;
};

class JpegEncoder : public StreamEncoder {
public:
    ~JpegEncoder() override
    {
        if (created_) jpeg_destroy_compress(&info_);
    }

    bool open(const std::string& path, const PixelLayout& layout, const WriteOptions& options)
    {
        if (!create(path)) return false;
        setUp(errors_, info_.err);
        layout_ = layout;
        if (layout.model == ColorModel::Cmyk) inverted_.resize(layout.rowBytes());
        return start(options) || takeError();
    }

    bool writeRows(const uint8_t* rows, size_t stride, uint32_t count) override
    {
        return encode(rows, stride, count) || takeError();
    }

private:
    const std::string& libraryMessage() const override { return errors_.message; }

    bool start(const WriteOptions& options)
    {
        if (setjmp(errors_.jump)) return false;
        jpeg_create_compress(&info_);
        created_ = true;
        jpeg_stdio_dest(&info_, file_);
        info_.image_width = layout_.width;
        info_.image_height = layout_.height;
        info_.input_components = int(layout_.colorChannels());
        info_.in_color_space = layout_.model == ColorModel::Gray  ? JCS_GRAYSCALE
                               : layout_.model == ColorModel::Rgb ? JCS_RGB
                                                                  : JCS_CMYK;
        jpeg_set_defaults(&info_);
        if (layout_.model == ColorModel::Cmyk) jpeg_set_colorspace(&info_, JCS_CMYK);   // with an Adobe marker
        jpeg_set_quality(&info_, std::clamp(options.quality, 1, 100), TRUE);
        jpeg_start_compress(&info_, TRUE);
        if (options.orientation > 1 && options.orientation <= 8) {
            std::vector<uint8_t> exif = {'E', 'x', 'i', 'f', 0, 0};
            const std::vector<uint8_t> tiff = exifOfOrientation(options.orientation);
            exif.insert(exif.end(), tiff.begin(), tiff.end());
            jpeg_write_marker(&info_, JPEG_APP0 + 1, exif.data(), unsigned(exif.size()));
        }
        if (!options.iccProfile.empty())
            jpeg_write_icc_profile(&info_, options.iccProfile.data(), unsigned(options.iccProfile.size()));
        return true;
    }

    bool encode(const uint8_t* rows, size_t stride, uint32_t count)
    {
        if (setjmp(errors_.jump)) return false;
        for (uint32_t i = 0; i < count; ++i) {
            JSAMPROW row = const_cast<JSAMPROW>(rows + stride * i);
            if (!inverted_.empty()) {
                std::memcpy(inverted_.data(), row, inverted_.size());
                invertSamples(inverted_.data(), inverted_.size(), 8);
                row = inverted_.data();
            }
            jpeg_write_scanlines(&info_, &row, 1);
        }
        return true;
    }

    bool complete() override
    {
        if (setjmp(errors_.jump)) return false;
        jpeg_finish_compress(&info_);
        return true;
    }

    jpeg_compress_struct info_{};
    ErrorManager errors_{};
    bool created_ = false;
    PixelLayout layout_;
    std::vector<uint8_t> inverted_;
};

}   // namespace

std::unique_ptr<ImageReader> openJpeg(const std::string& path, std::string& error)
{
    return openedReader<JpegReader>(path, error);
}

std::unique_ptr<Encoder> createJpegEncoder(const std::string& path, const PixelLayout& layout,
                                           const WriteOptions& options, std::string& error)
{
    return openedEncoder<JpegEncoder>(path, layout, options, error);
}

}   // namespace imagefiles
