// Big-endian primitives of the ICC format over an IoHandler, and the fixed-
// point conversions they use.
#include "oslinternal.h"

#include <cmath>
#include <cstring>

namespace {

// The largest magnitude a float in a profile may carry.
constexpr double MaxProfileFloat = 1e20;

template <size_t N>
bool readBytes(IoHandler* io, uint8_t (&bytes)[N])
{
    return io->read(io, bytes, N, 1) == 1;
}

uint64_t bigEndian(const uint8_t* p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

void putBigEndian(uint8_t* p, uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; --i) {
        p[i] = uint8_t(v);
        v >>= 8;
    }
}

// Rounds half up and saturates into [lo, hi]; NaN gives 0.
int64_t roundSaturate(double v, int64_t lo, int64_t hi)
{
    if (std::isnan(v)) return 0;
    const double r = std::floor(v + 0.5);
    if (r <= double(lo)) return lo;
    if (r >= double(hi)) return hi;
    return int64_t(r);
}

bool isStorableFloat(double v)
{
    if (v == 0) return true;
    if (!std::isfinite(v) || std::fabs(v) > MaxProfileFloat) return false;
    return std::isnormal(float(v));
}

} // namespace

// ---------------------------------------------------------------------------
// Fixed point
// ---------------------------------------------------------------------------

int32_t doubleToS15Fixed16(double v)
{
    return int32_t(roundSaturate(v * 65536.0, INT32_MIN, INT32_MAX));
}

double s15Fixed16ToDouble(int32_t n)
{
    return n / 65536.0;
}

uint16_t doubleToU8Fixed8(double v)
{
    return uint16_t(roundSaturate(v * 65536.0, 0, 0xFFFFFF) >> 8);
}

double u8Fixed8ToDouble(uint16_t n)
{
    return n / 256.0;
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

bool readUInt8(IoHandler* io, uint8_t* n)
{
    uint8_t b[1];
    if (!readBytes(io, b)) return false;
    if (n) *n = b[0];
    return true;
}

bool readUInt16(IoHandler* io, uint16_t* n)
{
    uint8_t b[2];
    if (!readBytes(io, b)) return false;
    if (n) *n = uint16_t(bigEndian(b, 2));
    return true;
}

bool readUInt16Array(IoHandler* io, uint32_t count, uint16_t* array)
{
    if (!array) {
        for (uint32_t i = 0; i < count; ++i)
            if (!readUInt16(io, nullptr)) return false;
        return true;
    }
    if (count == 0) return true;
    if (io->read(io, array, sizeof(uint16_t), count) != count) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const auto* b = reinterpret_cast<const uint8_t*>(array + i);
        array[i] = uint16_t((b[0] << 8) | b[1]);
    }
    return true;
}

bool readUInt32(IoHandler* io, uint32_t* n)
{
    uint8_t b[4];
    if (!readBytes(io, b)) return false;
    if (n) *n = uint32_t(bigEndian(b, 4));
    return true;
}

bool readUInt64(IoHandler* io, uint64_t* n)
{
    uint8_t b[8];
    if (!readBytes(io, b)) return false;
    if (n) *n = bigEndian(b, 8);
    return true;
}

bool readFloat32(IoHandler* io, float* n)
{
    uint32_t bits;
    if (!readUInt32(io, &bits)) return false;
    float v;
    std::memcpy(&v, &bits, sizeof v);
    if (!isStorableFloat(v)) return false;
    if (n) *n = v;
    return true;
}

bool readS15Fixed16(IoHandler* io, double* n)
{
    uint32_t bits;
    if (!readUInt32(io, &bits)) return false;
    if (n) *n = s15Fixed16ToDouble(int32_t(bits));
    return true;
}

bool readXyzNumber(IoHandler* io, CieXyz* xyz)
{
    double v[3];
    for (double& c : v)
        if (!readS15Fixed16(io, &c)) return false;
    if (xyz) *xyz = CieXyz{v[0], v[1], v[2]};
    return true;
}

bool readU8Fixed8(IoHandler* io, double* n)
{
    uint16_t bits;
    if (!readUInt16(io, &bits)) return false;
    if (n) *n = u8Fixed8ToDouble(bits);
    return true;
}

bool readTypeBase(IoHandler* io, uint32_t* type)
{
    uint8_t b[8];
    if (!readBytes(io, b)) return false;
    if (type) *type = uint32_t(bigEndian(b, 4));
    return true;
}

bool readAlignment(IoHandler* io)
{
    const uint32_t at = io->tell(io);
    const uint32_t pad = (4 - (at & 3)) & 3;
    if (pad == 0) return true;
    uint8_t skip[3];
    return io->read(io, skip, pad, 1) == 1;
}

bool readDateTimeNumber(IoHandler* io, std::tm* time)
{
    uint16_t f[6];
    if (!readUInt16Array(io, 6, f)) return false;
    if (time) {
        std::tm t{};
        t.tm_year = int(f[0]) - 1900;
        t.tm_mon = int(f[1]) - 1;
        t.tm_mday = f[2];
        t.tm_hour = f[3];
        t.tm_min = f[4];
        t.tm_sec = f[5];
        t.tm_wday = -1;
        t.tm_yday = -1;
        t.tm_isdst = 0;
        *time = t;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

bool writeUInt8(IoHandler* io, uint8_t n)
{
    return io->write(io, 1, &n);
}

bool writeUInt16(IoHandler* io, uint16_t n)
{
    uint8_t b[2];
    putBigEndian(b, n, 2);
    return io->write(io, 2, b);
}

bool writeUInt16Array(IoHandler* io, uint32_t count, const uint16_t* array)
{
    // In blocks, so long tables do not cost one write per entry.
    uint8_t block[512];
    while (count > 0) {
        const uint32_t n = count < 256 ? count : 256;
        for (uint32_t i = 0; i < n; ++i) putBigEndian(block + 2 * i, array[i], 2);
        if (!io->write(io, 2 * n, block)) return false;
        array += n;
        count -= n;
    }
    return true;
}

bool writeUInt32(IoHandler* io, uint32_t n)
{
    uint8_t b[4];
    putBigEndian(b, n, 4);
    return io->write(io, 4, b);
}

bool writeUInt64(IoHandler* io, uint64_t n)
{
    uint8_t b[8];
    putBigEndian(b, n, 8);
    return io->write(io, 8, b);
}

bool writeFloat32(IoHandler* io, double n)
{
    // A value the reader would refuse must not reach a profile.
    if (!isStorableFloat(n)) return false;
    const float v = float(n);
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return writeUInt32(io, bits);
}

bool writeS15Fixed16(IoHandler* io, double n)
{
    return writeUInt32(io, uint32_t(doubleToS15Fixed16(n)));
}

bool writeXyzNumber(IoHandler* io, const CieXyz& xyz)
{
    return writeS15Fixed16(io, xyz.X) && writeS15Fixed16(io, xyz.Y) && writeS15Fixed16(io, xyz.Z);
}

bool writeU8Fixed8(IoHandler* io, double n)
{
    return writeUInt16(io, doubleToU8Fixed8(n));
}

bool writeTypeBase(IoHandler* io, uint32_t type)
{
    uint8_t b[8] = {};
    putBigEndian(b, type, 4);
    return io->write(io, 8, b);
}

bool writeAlignment(IoHandler* io)
{
    const uint32_t pad = (4 - (io->usedSpace & 3)) & 3;
    if (pad == 0) return true;
    const uint8_t zeros[3] = {};
    return io->write(io, pad, zeros);
}

bool writeDateTimeNumber(IoHandler* io, const std::tm& t)
{
    const uint16_t f[6] = {uint16_t(t.tm_year + 1900), uint16_t(t.tm_mon + 1), uint16_t(t.tm_mday),
                           uint16_t(t.tm_hour),        uint16_t(t.tm_min),     uint16_t(t.tm_sec)};
    return writeUInt16Array(io, 6, f);
}

// ---------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------

SigText sigText(uint32_t sig)
{
    SigText s{};
    for (int i = 0; i < 4; ++i) {
        const char c = char((sig >> (24 - 8 * i)) & 0xFF);
        s.text[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}
