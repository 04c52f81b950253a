// Test helpers: a hand-made ICC profile builder and a tiny independent
// big-endian reader of profile bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testbytes {

using Bytes = std::vector<uint8_t>;

inline uint32_t be32(const Bytes& b, size_t at)
{
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

inline uint32_t fourcc(const char* s)
{
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
           uint32_t(uint8_t(s[3]));
}

inline uint16_t be16(const Bytes& b, size_t at)
{
    return uint16_t((b[at] << 8) | b[at + 1]);
}

inline void put32(Bytes& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v >> 24);
    b[at + 1] = uint8_t(v >> 16);
    b[at + 2] = uint8_t(v >> 8);
    b[at + 3] = uint8_t(v);
}

inline void append32(Bytes& b, uint32_t v)
{
    b.resize(b.size() + 4);
    put32(b, b.size() - 4, v);
}

inline void appendS15(Bytes& b, double v)
{
    append32(b, uint32_t(int32_t(v * 65536.0 + (v < 0 ? -0.5 : 0.5))));
}

inline Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One entry of a tag directory as stored.
struct Entry {
    uint32_t sig, offset, size;
};

inline std::vector<Entry> directory(const Bytes& b)
{
    std::vector<Entry> d;
    const uint32_t n = be32(b, 128);
    for (uint32_t i = 0; i < n; ++i) d.push_back({be32(b, 132 + 12 * i), be32(b, 136 + 12 * i), be32(b, 140 + 12 * i)});
    return d;
}

// Tag data: a type signature, 4 reserved bytes, then the body.
inline Bytes tagData(uint32_t type, const Bytes& body)
{
    Bytes b;
    append32(b, type);
    append32(b, 0);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

inline Bytes xyzTag(double X, double Y, double Z)
{
    Bytes body;
    appendS15(body, X);
    appendS15(body, Y);
    appendS15(body, Z);
    return tagData(0x58595A20, body);   // 'XYZ '
}

// Builds a profile: a 128-byte header, the directory and the tag data.
// Entries name data blocks by index; raw entries are stored as given.
class ProfileBuilder {
public:
    uint32_t version = 0x04300000;
    uint32_t deviceClass = 0x6D6E7472;   // 'mntr'
    uint32_t colorSpace = 0x52474220;    // 'RGB '
    uint32_t pcs = 0x58595A20;           // 'XYZ '
    uint32_t magic = 0x61637370;         // 'acsp'
    int64_t declaredSize = -1;           // -1: the real size
    int64_t declaredCount = -1;          // -1: the number of entries

    size_t addData(const Bytes& data)
    {
        blocks_.push_back(data);
        return blocks_.size() - 1;
    }
    void tag(uint32_t sig, size_t block) { entries_.push_back({sig, block, false, 0, 0}); }
    void rawEntry(uint32_t sig, uint32_t offset, uint32_t size) { entries_.push_back({sig, 0, true, offset, size}); }

    Bytes build() const
    {
        const uint32_t dataStart = uint32_t(132 + 12 * entries_.size());
        std::vector<uint32_t> offsets;
        uint32_t at = dataStart;
        for (const Bytes& block : blocks_) {
            offsets.push_back(at);
            at += uint32_t((block.size() + 3) & ~size_t(3));
        }
        Bytes b(128, 0);
        put32(b, 8, version);
        put32(b, 12, deviceClass);
        put32(b, 16, colorSpace);
        put32(b, 20, pcs);
        // 2024-02-29 13:45:30
        const uint16_t date[6] = {2024, 2, 29, 13, 45, 30};
        for (int i = 0; i < 6; ++i) {
            b[24 + 2 * i] = uint8_t(date[i] >> 8);
            b[25 + 2 * i] = uint8_t(date[i]);
        }
        put32(b, 36, magic);
        put32(b, 68, 0x0000F6D6);   // D50 illuminant as s15Fixed16
        put32(b, 72, 0x00010000);
        put32(b, 76, 0x0000D32D);
        append32(b, declaredCount < 0 ? uint32_t(entries_.size()) : uint32_t(declaredCount));
        for (const E& e : entries_) {
            append32(b, e.sig);
            append32(b, e.raw ? e.offset : offsets[e.block]);
            append32(b, e.raw ? e.size : uint32_t(blocks_[e.block].size()));
        }
        for (const Bytes& block : blocks_) {
            b.insert(b.end(), block.begin(), block.end());
            while (b.size() % 4) b.push_back(0);
        }
        put32(b, 0, declaredSize < 0 ? uint32_t(b.size()) : uint32_t(declaredSize));
        return b;
    }

private:
    struct E {
        uint32_t sig;
        size_t block;
        bool raw;
        uint32_t offset, size;
    };
    std::vector<Bytes> blocks_;
    std::vector<E> entries_;
};

} // namespace testbytes
