// What the readers and writers of each kind of file share.
#pragma once

#include "tools/imagefiles/imagefile.h"

namespace imagefiles {

// Widths and heights beyond this are refused as damaged headers.
constexpr uint32_t MaxDimension = 1u << 20;

std::unique_ptr<ImageReader> openTiff(const std::string& path, std::string& error);
std::unique_ptr<ImageReader> openPng(const std::string& path, std::string& error);
std::unique_ptr<ImageReader> openJpeg(const std::string& path, std::string& error);

// Encoders write to an already named (temporary) path; finish() completes it.
class Encoder {
public:
    virtual ~Encoder() = default;
    virtual bool writeRows(const uint8_t* rows, size_t stride, uint32_t count) = 0;
    virtual bool finish() = 0;
    std::string error;
};

std::unique_ptr<Encoder> createTiffEncoder(const std::string& path, const PixelLayout& layout,
                                           const WriteOptions& options, std::string& error);
std::unique_ptr<Encoder> createPngEncoder(const std::string& path, const PixelLayout& layout,
                                          const WriteOptions& options, std::string& error);
std::unique_ptr<Encoder> createJpegEncoder(const std::string& path, const PixelLayout& layout,
                                           const WriteOptions& options, std::string& error);

}   // namespace imagefiles
