// The one check the toolkit's BMP reader lacks: whether the file holds every
// row its header announces. Plain C++, with no other part of the image-file
// library, so that the toolkit's image module can share it.
#include "tools/imagefiles/imagefile.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace imagefiles {

namespace {

uint32_t le(const unsigned char* p, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

}   // namespace

std::string bmpShortfall(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    const uint64_t size = uint64_t(in.tellg());
    unsigned char h[34] = {};
    in.seekg(0);
    in.read(reinterpret_cast<char*>(h), sizeof h);
    const std::streamsize got = in.gcount();
    if (got < 26 || h[0] != 'B' || h[1] != 'M') return {};
    const uint32_t dataAt = le(h + 10, 4), header = le(h + 14, 4);
    if (header >= 40 && got < 34) return {};
    uint64_t width = 0, height = 0, bits = 0;
    if (header == 12) {   // OS/2 1.x
        width = le(h + 18, 2);
        height = le(h + 20, 2);
        bits = le(h + 24, 2);
    } else if (header >= 40) {
        const uint32_t compression = le(h + 30, 4);
        if (compression != 0 && compression != 3 && compression != 6) return {};   // run lengths, JPEG, PNG
        width = uint64_t(std::llabs(int32_t(le(h + 18, 4))));
        height = uint64_t(std::llabs(int32_t(le(h + 22, 4))));   // negative: top-down
        bits = le(h + 28, 2);
    } else {
        return {};
    }
    const uint64_t rowBytes = (width * bits + 31) / 32 * 4;
    const uint64_t needed = uint64_t(dataAt) + rowBytes * height;
    if (size >= needed) return {};
    char text[160];
    std::snprintf(text, sizeof text, "the file is cut short: it holds %llu of the %llu bytes its header announces",
                  static_cast<unsigned long long>(size), static_cast<unsigned long long>(needed));
    return text;
}

}   // namespace imagefiles
