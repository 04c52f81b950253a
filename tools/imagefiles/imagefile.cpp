#include "tools/imagefiles/imagefileinternal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace imagefiles {

namespace {

std::string lowerExtension(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// How much of a result is written before its writing to the disk is started.
constexpr size_t WritebackBytes = size_t(4) << 20;

// The encoder behind a pending file.
class FileWriter : public ImageWriter {
public:
    FileWriter(std::unique_ptr<PendingFile> file, std::unique_ptr<Encoder> encoder, uint32_t height, size_t rowBytes)
        : file_(std::move(file)), encoder_(std::move(encoder)), height_(height), rowBytes_(rowBytes)
    {
    }

    bool writeRows(const uint8_t* rows, size_t stride, uint32_t count) override
    {
        if (!encoder_) return false;
        if (count > height_ - written_) return fail("more rows than the image has");
        if (!encoder_->writeRows(rows, stride, count)) return fail(file_->failure(encoder_->error));
        written_ += count;
        unflushed_ += size_t(count) * rowBytes_;
        if (unflushed_ >= WritebackBytes) {
            file_->startWriteback();
            unflushed_ = 0;
        }
        return true;
    }

    bool commit(bool overwrite) override
    {
        if (!encoder_) return false;
        if (written_ != height_) return fail("the image is incomplete");
        const bool finished = encoder_->finish();
        const std::string message = encoder_->error;
        encoder_.reset();
        if (!finished) return fail(file_->failure(message));
        if (!file_->commit(overwrite)) return fail(file_->failure(file_->error()));
        return true;
    }

private:
    bool fail(const std::string& message)
    {
        error_ = message.empty() ? std::string("write error") : message;
        encoder_.reset();
        return false;
    }

    std::unique_ptr<PendingFile> file_;   // outlives the encoder: declared first
    std::unique_ptr<Encoder> encoder_;
    uint32_t height_;
    size_t rowBytes_;
    size_t unflushed_ = 0;
    uint32_t written_ = 0;
};

}   // namespace

bool operator==(const PixelLayout& a, const PixelLayout& b)
{
    return a.width == b.width && a.height == b.height && a.model == b.model && a.extraChannels == b.extraChannels &&
           a.alpha == b.alpha && a.bits == b.bits;
}

const char* modelName(ColorModel model)
{
    switch (model) {
    case ColorModel::Gray: return "gray";
    case ColorModel::Rgb: return "RGB";
    case ColorModel::Cmyk: return "CMYK";
    }
    return "";
}

FileKind fileKindOfContent(const std::string& path)
{
    unsigned char head[8] = {};
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return FileKind::Other;
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    if (n >= 4 && ((head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0) ||
                   (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43))))
        return FileKind::Tiff;
    if (n == 8 && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) return FileKind::Png;
    if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return FileKind::Jpeg;
    return FileKind::Other;
}

FileKind fileKindOfName(const std::string& path)
{
    const std::string ext = lowerExtension(path);
    if (ext == "tif" || ext == "tiff") return FileKind::Tiff;
    if (ext == "png") return FileKind::Png;
    if (ext == "jpg" || ext == "jpeg" || ext == "jpe" || ext == "jfif") return FileKind::Jpeg;
    return FileKind::Other;
}

std::unique_ptr<ImageReader> openImageFile(const std::string& path, std::string& error)
{
    switch (fileKindOfContent(path)) {
    case FileKind::Tiff: return openTiff(path, error);
    case FileKind::Png: return openPng(path, error);
    case FileKind::Jpeg: return openJpeg(path, error);
    case FileKind::Other: break;
    }
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = std::strerror(errno);
        return nullptr;
    }
    std::fclose(f);
    error = "not a TIFF, PNG or JPEG file";
    return nullptr;
}

bool kindHolds(FileKind kind, const PixelLayout& layout, std::string& why)
{
    if (layout.bits != 8 && layout.bits != 16) return why = "only 8 or 16 bits per channel are written", false;
    switch (kind) {
    case FileKind::Tiff: return true;
    case FileKind::Png:
        if (layout.model == ColorModel::Cmyk) return why = "PNG holds no CMYK; write a TIFF or JPEG", false;
        if (layout.extraChannels > 1 || (layout.extraChannels == 1 && !layout.alpha))
            return why = "PNG holds no extra channel but alpha", false;
        return true;
    case FileKind::Jpeg:
        if (layout.bits != 8) return why = "JPEG holds 8 bits per channel", false;
        if (layout.extraChannels) return why = "JPEG holds no alpha", false;
        return true;
    case FileKind::Other: break;
    }
    why = "not a TIFF, PNG or JPEG file name";
    return false;
}

std::unique_ptr<ImageWriter> createImageFile(const std::string& path, FileKind kind, const PixelLayout& layout,
                                             const WriteOptions& options, std::string& error)
{
    if (!kindHolds(kind, layout, error)) return nullptr;
    if (layout.width == 0 || layout.height == 0) return error = "empty image", nullptr;
    auto file = std::make_unique<PendingFile>(path);
    if (!file->ok()) return error = file->error(), nullptr;
    std::unique_ptr<Encoder> encoder;
    switch (kind) {
    case FileKind::Tiff: encoder = createTiffEncoder(file->tempPath(), layout, options, error); break;
    case FileKind::Png: encoder = createPngEncoder(file->tempPath(), layout, options, error); break;
    case FileKind::Jpeg: encoder = createJpegEncoder(file->tempPath(), layout, options, error); break;
    case FileKind::Other: break;
    }
    if (!encoder) return nullptr;
    return std::make_unique<FileWriter>(std::move(file), std::move(encoder), layout.height, layout.rowBytes());
}

void unpremultiply(uint8_t* row, const PixelLayout& layout)
{
    if (!layout.alpha) return;
    const uint32_t colors = layout.colorChannels(), channels = layout.channels();
    if (layout.bits == 8) {
        for (uint32_t x = 0; x < layout.width; ++x, row += channels) {
            const uint32_t a = row[colors];
            if (a == 0 || a == 255) continue;
            for (uint32_t c = 0; c < colors; ++c) row[c] = uint8_t(std::min<uint32_t>(255, (row[c] * 255u + a / 2) / a));
        }
    } else {
        auto* p = reinterpret_cast<uint16_t*>(row);
        for (uint32_t x = 0; x < layout.width; ++x, p += channels) {
            const uint32_t a = p[colors];
            if (a == 0 || a == 65535) continue;
            for (uint32_t c = 0; c < colors; ++c) p[c] = uint16_t(std::min<uint32_t>(65535, (p[c] * 65535u + a / 2) / a));
        }
    }
}

void invertSamples(uint8_t* row, size_t samples, uint32_t bits)
{
    if (bits == 8) {
        for (size_t i = 0; i < samples; ++i) row[i] = uint8_t(255 - row[i]);
    } else {
        auto* p = reinterpret_cast<uint16_t*>(row);
        for (size_t i = 0; i < samples; ++i) p[i] = uint16_t(65535 - p[i]);
    }
}

uint16_t exifOrientation(const uint8_t* data, size_t size)
{
    if (size < 8 || !((data[0] == 'I' && data[1] == 'I') || (data[0] == 'M' && data[1] == 'M'))) return 1;
    const bool little = data[0] == 'I';
    const auto word = [&](size_t at, int bytes) {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= uint32_t(data[at + size_t(i)]) << (8 * (little ? i : bytes - 1 - i));
        return v;
    };
    if (word(2, 2) != 42) return 1;
    const size_t ifd = word(4, 4);
    if (ifd > size - 2) return 1;
    const size_t entries = word(ifd, 2);
    for (size_t k = 0; k < entries && ifd + 2 + 12 * (k + 1) <= size; ++k) {
        const size_t e = ifd + 2 + 12 * k;
        if (word(e, 2) != 0x0112) continue;
        const uint32_t value = word(e + 2, 2) == 3 && word(e + 4, 4) == 1 ? word(e + 8, 2) : 0;
        return value >= 1 && value <= 8 ? uint16_t(value) : 1;
    }
    return 1;
}

std::vector<uint8_t> exifOfOrientation(uint16_t orientation)
{
    // Little-endian: header, one directory of one entry (SHORT, count 1), no next directory.
    return {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0,
            uint8_t(orientation), uint8_t(orientation >> 8), 0, 0, 0, 0, 0, 0};
}

}   // namespace imagefiles
