// The one check the toolkit's BMP and GIF readers lack: whether the file
// holds every pixel its header announces. Plain C++, with no other part of
// the image-file library, so that the toolkit's image module can share it.
#include "tools/imagefiles/imagefile.h"

#include <cstdint>
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

// A BMP's uncompressed rows, padded to 4 bytes, from where its header says.
std::string bmpShortfall(std::ifstream& in, uint64_t size)
{
    unsigned char h[34] = {};
    in.read(reinterpret_cast<char*>(h), sizeof h);
    const std::streamsize got = in.gcount();
    if (got < 26) return {};
    const uint32_t dataAt = le(h + 10, 4), header = le(h + 14, 4);
    uint64_t width = 0, height = 0, bits = 0;
    if (header == 12) {   // OS/2 1.x
        width = le(h + 18, 2);
        height = le(h + 20, 2);
        bits = le(h + 24, 2);
    } else if (header >= 40 && got >= 34) {
        const uint32_t compression = le(h + 30, 4);
        if (compression != 0 && compression != 3 && compression != 6) return {};   // run lengths, JPEG, PNG
        width = uint64_t(std::llabs(int32_t(le(h + 18, 4))));
        height = uint64_t(std::llabs(int32_t(le(h + 22, 4))));   // negative: top-down
        bits = le(h + 28, 2);
    } else {
        return {};
    }
    const uint64_t rowBytes = (width * bits + 31) / 32 * 4;
    // A header may claim more than 64 bits count; no file holds that much.
    const uint64_t needed = height && rowBytes > (UINT64_MAX - dataAt) / height ? UINT64_MAX
                                                                                : uint64_t(dataAt) + rowBytes * height;
    if (size >= needed) return {};
    char text[160];
    std::snprintf(text, sizeof text, "the file is cut short: it holds %llu of the %llu bytes its header announces",
                  static_cast<unsigned long long>(size), static_cast<unsigned long long>(needed));
    return text;
}

// A GIF's blocks up to the end of its first image, the one the toolkit reads:
// colour tables, extensions and the image's data in sub-blocks of a length
// byte each, the last of length 0.
std::string gifShortfall(std::ifstream& in)
{
    const auto skip = [&in](std::streamoff bytes) { return bool(in.seekg(bytes, std::ios::cur)) && in.peek() != EOF; };
    const auto subBlocks = [&in]() {
        for (;;) {
            const int length = in.get();
            if (length <= 0) return length == 0;
            if (!in.seekg(length, std::ios::cur) || in.peek() == EOF) return false;
        }
    };
    const std::string cut = "the file is cut short before the end of its first image";
    unsigned char screen[13];
    if (!in.read(reinterpret_cast<char*>(screen), sizeof screen)) return cut;
    if ((screen[10] & 0x80) && !skip(3 << ((screen[10] & 7) + 1))) return cut;
    for (;;) {
        switch (in.get()) {
        case 0x21:   // an extension: its label, then sub-blocks
            if (in.get() == EOF || !subBlocks()) return cut;
            break;
        case 0x2C: {   // the image: its descriptor, a local colour table, the code size, the data
            unsigned char descriptor[9];
            if (!in.read(reinterpret_cast<char*>(descriptor), sizeof descriptor)) return cut;
            if ((descriptor[8] & 0x80) && !skip(3 << ((descriptor[8] & 7) + 1))) return cut;
            if (in.get() == EOF || !subBlocks()) return cut;
            return {};
        }
        case EOF: return cut;
        default: return {};   // a trailer or damage: the toolkit's reader says
        }
    }
}

}   // namespace

std::string shortfall(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    const uint64_t size = uint64_t(in.tellg());
    char magic[6] = {};
    in.seekg(0);
    in.read(magic, sizeof magic);
    in.clear();
    in.seekg(0);
    if (magic[0] == 'B' && magic[1] == 'M') return bmpShortfall(in, size);
    if (std::string(magic, 6) == "GIF87a" || std::string(magic, 6) == "GIF89a") return gifShortfall(in);
    return {};
}

}   // namespace imagefiles
