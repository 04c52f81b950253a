// The Hald CLUT reader and writer.
#include "app/core/lutformats/haldformat.h"

#include "tools/imagefiles/imagefile.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lutformats {

namespace {

constexpr uint32_t MaxLevel = 16;
constexpr uint32_t RowsAtOnce = 64;

}   // namespace

uint32_t haldLevel(uint32_t gridPoints)
{
    const uint32_t level = uint32_t(std::lround(std::sqrt(double(gridPoints))));
    return level * level == gridPoints ? level : 0;
}

LutRead readHald(const std::string& path)
{
    LutRead result;
    std::string error;
    std::unique_ptr<imagefiles::ImageReader> image = imagefiles::openImageFile(path, error);
    if (!image) {
        result.error = path + ": " + error;
        return result;
    }
    const imagefiles::PixelLayout& l = image->layout();
    if (l.model != imagefiles::ColorModel::Rgb) {
        result.error = fieldError(path, "colour model", std::string("a Hald CLUT is an RGB image, this one is ") +
                                                            imagefiles::modelName(l.model));
        return result;
    }
    const uint32_t level = uint32_t(std::lround(std::cbrt(double(l.width))));
    if (l.width != l.height || level < 2 || level > MaxLevel || level * level * level != l.width) {
        result.error = fieldError(path, "size", std::to_string(l.width) + " × " + std::to_string(l.height) +
                                                    " pixels: a Hald CLUT of level L is L³ pixels on each side, "
                                                    "for L from 2 to 16");
        return result;
    }
    Lut3D& lut = result.lut;
    lut.size = level * level;
    lut.data.resize(lut.nodeCount() * 3);
    const double top = double((1u << l.bits) - 1);
    const size_t channels = l.channels();
    std::vector<uint8_t> rows(l.rowBytes() * RowsAtOnce);
    size_t node = 0;   // red fastest, as the pixels come
    for (uint32_t y = 0; y < l.height; y += RowsAtOnce) {
        const uint32_t count = std::min(RowsAtOnce, l.height - y);
        if (!image->readRows(rows.data(), l.rowBytes(), count)) {
            result.error = fieldError(path, "row " + std::to_string(y + 1), image->error());
            return result;
        }
        const size_t samples = size_t(count) * l.width * channels;
        for (size_t s = 0; s < samples; s += channels, node += 3) {
            for (size_t c = 0; c < 3; ++c) {
                double v = rows[s + c];
                if (l.bits == 16) {
                    uint16_t wide;
                    std::memcpy(&wide, &rows[(s + c) * 2], 2);
                    v = wide;
                }
                lut.data[node + c] = float(v / top);
            }
        }
    }
    return result;
}

std::string writeHald(const Lut3D& lut, const std::string& path, bool tiff, int bits)
{
    const uint32_t level = haldLevel(lut.size);
    if (level < 2 || level > MaxLevel) return path + ": a Hald CLUT needs L² points per side, L from 2 to 16";
    if (bits != 8 && bits != 16) return path + ": a Hald CLUT has 8 or 16 bits per sample";
    imagefiles::PixelLayout layout;
    layout.width = layout.height = level * level * level;
    layout.model = imagefiles::ColorModel::Rgb;
    layout.bits = uint32_t(bits);
    imagefiles::WriteOptions options;
    options.compression = imagefiles::Compression::Deflate;
    std::string error;
    std::unique_ptr<imagefiles::ImageWriter> writer = imagefiles::createImageFile(
        path, tiff ? imagefiles::FileKind::Tiff : imagefiles::FileKind::Png, layout, options, error);
    if (!writer) return path + ": " + error;
    const double top = double((1u << bits) - 1);
    std::vector<uint8_t> row(layout.rowBytes());
    size_t node = 0;
    for (uint32_t y = 0; y < layout.height; ++y) {
        for (size_t s = 0; s < size_t(layout.width) * 3; ++s, ++node) {
            const auto v = uint32_t(std::lround(std::clamp(double(lut.data[node]), 0.0, 1.0) * top));
            if (bits == 16) {
                const uint16_t wide = uint16_t(v);
                std::memcpy(&row[s * 2], &wide, 2);
            } else {
                row[s] = uint8_t(v);
            }
        }
        if (!writer->writeRows(row.data(), row.size(), 1)) return path + ": " + writer->error();
    }
    if (!writer->commit(true)) return path + ": " + writer->error();
    return {};
}

}   // namespace lutformats
