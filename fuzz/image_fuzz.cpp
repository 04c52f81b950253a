// TIFF, PNG and JPEG files from memory: open any bytes as an image and read
// all of its rows. What opens must have a usable layout; what fails must say
// why; nothing may crash, hang or leak. The check of BMP and GIF files for
// missing pixels, which the toolkit's readers do not notice, runs first.
#include "fuzz/memoryfile.h"
#include "tools/imagefiles/imagefile.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const MemoryFile file(data, size);
    if (!file.ok()) return 0;
    const std::string path = file.path();
    imagefiles::shortfall(path);
    std::string error;
    std::unique_ptr<imagefiles::ImageReader> reader = imagefiles::openImageFile(path, error);
    if (!reader) {
        if (error.empty()) std::abort();
        return 0;
    }
    const imagefiles::PixelLayout& l = reader->layout();
    if (l.width == 0 || l.height == 0 || (l.bits != 8 && l.bits != 16) || l.channels() > 8 + 4) std::abort();

    // The rows in bands, as the command line reads them; a damaged file may
    // announce far more than it holds, so at most 64 MB of rows are asked for.
    const size_t rowBytes = l.rowBytes();
    const uint32_t bandRows = uint32_t(std::clamp<size_t>((size_t(1) << 20) / rowBytes, 1, 64));
    std::vector<uint8_t> band(rowBytes * bandRows);
    size_t budget = size_t(64) << 20;
    for (uint32_t y = 0; y < l.height && budget >= rowBytes * bandRows; y += bandRows) {
        const uint32_t rows = std::min(bandRows, l.height - y);
        if (!reader->readRows(band.data(), rowBytes, rows)) {
            if (reader->error().empty()) std::abort();
            break;
        }
        budget -= rowBytes * rows;
    }
    return 0;
}
