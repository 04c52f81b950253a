// MD5 message digests (RFC 1321) and the ICC profile ID computed with them.
#include "oslinternal.h"

#include <algorithm>
#include <cstring>

namespace {

// Per-round shift amounts and the sine-derived constants of RFC 1321.
constexpr uint32_t Shift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t Sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

uint32_t rotateLeft(uint32_t x, uint32_t n)
{
    return (x << n) | (x >> (32 - n));
}

struct Md5 {
    uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    uint64_t length = 0;     // bytes fed so far
    uint8_t block[64] = {};
    uint32_t filled = 0;     // bytes waiting in block

    void transform(const uint8_t* data)
    {
        uint32_t m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = uint32_t(data[4 * i]) | uint32_t(data[4 * i + 1]) << 8 | uint32_t(data[4 * i + 2]) << 16 |
                   uint32_t(data[4 * i + 3]) << 24;
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        for (uint32_t i = 0; i < 64; ++i) {
            uint32_t f, g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            const uint32_t next = d;
            d = c;
            c = b;
            b = b + rotateLeft(a + f + Sine[i] + m[g], Shift[i]);
            a = next;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
    }

    void update(const uint8_t* data, size_t size)
    {
        length += size;
        while (size > 0) {
            const uint32_t take = uint32_t(std::min<size_t>(size, 64 - filled));
            std::memcpy(block + filled, data, take);
            filled += take;
            data += take;
            size -= take;
            if (filled == 64) {
                transform(block);
                filled = 0;
            }
        }
    }

    void finish(uint8_t digest[16])
    {
        const uint64_t bits = length * 8;
        const uint8_t one = 0x80, zero = 0;
        update(&one, 1);
        while (filled != 56) update(&zero, 1);
        uint8_t tail[8];
        for (int i = 0; i < 8; ++i) tail[i] = uint8_t(bits >> (8 * i));
        update(tail, 8);
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) digest[4 * i + j] = uint8_t(state[i] >> (8 * j));
    }
};

// Header fields left out of the profile ID: flags, rendering intent, the ID.
constexpr struct { uint32_t offset, size; } IdExcluded[] = {{44, 4}, {64, 4}, {84, 16}};

} // namespace

void md5Digest(const void* data, size_t size, uint8_t digest[16])
{
    Md5 md5;
    md5.update(static_cast<const uint8_t*>(data), size);
    md5.finish(digest);
}

bool computeProfileId(const void* profile, uint32_t size, uint8_t id[16])
{
    if (!profile || size < 128) return false;
    const auto* bytes = static_cast<const uint8_t*>(profile);
    uint8_t header[128];
    std::memcpy(header, bytes, sizeof header);
    for (const auto& field : IdExcluded) std::memset(header + field.offset, 0, field.size);
    Md5 md5;
    md5.update(header, sizeof header);
    md5.update(bytes + sizeof header, size - sizeof header);
    md5.finish(id);
    return true;
}
