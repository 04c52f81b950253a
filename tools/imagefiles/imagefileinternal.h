// What the readers and writers of each kind of file share.
#pragma once

#include "tools/imagefiles/imagefile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace imagefiles {

// Widths and heights beyond this are refused as damaged headers.
constexpr uint32_t MaxDimension = 1u << 20;

std::unique_ptr<ImageReader> openTiff(const std::string& path, std::string& error);
std::unique_ptr<ImageReader> openPng(const std::string& path, std::string& error);
std::unique_ptr<ImageReader> openJpeg(const std::string& path, std::string& error);

// The orientation an EXIF block (its TIFF structure, after any "Exif\0\0")
// records in its first directory: 1 … 8, or 1 when it records none or is
// damaged.
uint16_t exifOrientation(const uint8_t* data, size_t size);
// The smallest EXIF block (TIFF structure) that records an orientation.
std::vector<uint8_t> exifOfOrientation(uint16_t orientation);

// Encoders write to an already named (temporary) path; finish() completes it.
class Encoder {
public:
    virtual ~Encoder() = default;
    virtual bool writeRows(const uint8_t* rows, size_t stride, uint32_t count) = 0;
    virtual bool finish() = 0;
    std::string error;
};

// An encoder writing through a C stream (the PNG and JPEG libraries). The
// library's last message becomes the error; finish() ends the image, then
// closes the stream and reports a failure of either.
class StreamEncoder : public Encoder {
public:
    ~StreamEncoder() override
    {
        if (file_) std::fclose(file_);
    }

    bool finish() final
    {
        const bool done = complete();
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        if (!done) return takeError();
        if (!closed) return error = std::strerror(errno), false;
        return true;
    }

protected:
    // Creates the file; false with the system's reason.
    bool create(const std::string& path)
    {
        file_ = std::fopen(path.c_str(), "wb");
        if (!file_) return error = std::strerror(errno), false;
        return true;
    }

    // The library's message, or a general one, as the error; false.
    bool takeError()
    {
        const std::string& message = libraryMessage();
        error = message.empty() ? std::string("cannot write the file") : message;
        return false;
    }

    // The library's end of the image; false when it failed.
    virtual bool complete() = 0;
    // The library's last error message (empty: none).
    virtual const std::string& libraryMessage() const = 0;

    FILE* file_ = nullptr;
};

std::unique_ptr<Encoder> createTiffEncoder(const std::string& path, const PixelLayout& layout,
                                           const WriteOptions& options, std::string& error);
std::unique_ptr<Encoder> createPngEncoder(const std::string& path, const PixelLayout& layout,
                                          const WriteOptions& options, std::string& error);
std::unique_ptr<Encoder> createJpegEncoder(const std::string& path, const PixelLayout& layout,
                                           const WriteOptions& options, std::string& error);

// A reader of kind R opened on `path`, or none with the reason in `error`.
template <class R> std::unique_ptr<ImageReader> openedReader(const std::string& path, std::string& error)
{
    auto reader = std::make_unique<R>();
    if (!reader->open(path)) {
        error = reader->error();
        return nullptr;
    }
    return reader;
}

// An encoder of kind E that has created `path`, or none with the reason.
template <class E>
std::unique_ptr<Encoder> openedEncoder(const std::string& path, const PixelLayout& layout,
                                       const WriteOptions& options, std::string& error)
{
    auto encoder = std::make_unique<E>();
    if (!encoder->open(path, layout, options)) {
        error = encoder->error.empty() ? "cannot create the file" : encoder->error;
        return nullptr;
    }
    return encoder;
}

}   // namespace imagefiles
