// Pixel formatters: unpacking pixels of a buffer into 16-bit words or
// normalised floats and packing them back, and the copying of extra channels.
//
// A pixel's samples are numbered colour channels first, then the extra
// channels. In memory the order may be reversed, and then the first sample
// moved to the end: BGRA is RGBA reversed (ABGR) with A moved behind.
#include "oslinternal.h"

#include <cmath>
#include <cstring>

namespace {

// ---------------------------------------------------------------------------
// Samples
// ---------------------------------------------------------------------------

uint16_t load16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

void store16(uint8_t* p, uint16_t v)
{
    std::memcpy(p, &v, 2);
}

uint16_t swapBytes(uint16_t v)
{
    return uint16_t((v << 8) | (v >> 8));
}

// A 16-bit word to 8 bits, rounded: (v × 65281 + 0x800000) >> 24.
uint8_t wordToByte(uint16_t v)
{
    return uint8_t((uint32_t(v) * 65281u + 0x800000u) >> 24);
}

// Version-2 16-bit Lab to the version-4 encoding the pipelines use, and back.
uint16_t labV2ToV4(uint16_t v)
{
    const uint32_t w = (uint32_t(v) * 65535u + 32640u) / 65280u;
    return w > 0xFFFF ? 0xFFFF : uint16_t(w);
}

uint16_t labV4ToV2(uint16_t v)
{
    return uint16_t((uint32_t(v) * 65280u + 32767u) / 65535u);
}

// Memory position of sample j of a pixel of n samples.
constexpr uint32_t samplePosition(uint32_t j, uint32_t n, bool reversed, bool swapFirst)
{
    const uint32_t k = swapFirst ? (j + 1) % n : j;
    return reversed ? n - 1 - k : k;
}

bool percentSpace(uint32_t code)
{
    return code == PixelCmy || code == PixelCmyk || (code >= PixelMch1 + 4 && code <= PixelMch1 + 14);
}

// ---------------------------------------------------------------------------
// 16-bit formatters with the layout fixed at compile time: the common
// interleaved 8- and 16-bit formats without inversion or byte swapping.
// ---------------------------------------------------------------------------

template <uint32_t C, uint32_t E, bool Rev, bool First>
uint8_t* unpack8Fixed(const Transform*, uint16_t w[], uint8_t* p, uint32_t)
{
    for (uint32_t j = 0; j < C; ++j) w[j] = uint16_t(p[samplePosition(j, C + E, Rev, First)] * 257u);
    return p + C + E;
}

template <uint32_t C, uint32_t E, bool Rev, bool First>
uint8_t* pack8Fixed(const Transform*, uint16_t w[], uint8_t* p, uint32_t)
{
    for (uint32_t j = 0; j < C; ++j) p[samplePosition(j, C + E, Rev, First)] = wordToByte(w[j]);
    return p + C + E;
}

template <uint32_t C, uint32_t E, bool Rev, bool First>
uint8_t* unpack16Fixed(const Transform*, uint16_t w[], uint8_t* p, uint32_t)
{
    for (uint32_t j = 0; j < C; ++j) w[j] = load16(p + 2 * samplePosition(j, C + E, Rev, First));
    return p + 2 * (C + E);
}

template <uint32_t C, uint32_t E, bool Rev, bool First>
uint8_t* pack16Fixed(const Transform*, uint16_t w[], uint8_t* p, uint32_t)
{
    for (uint32_t j = 0; j < C; ++j) store16(p + 2 * samplePosition(j, C + E, Rev, First), w[j]);
    return p + 2 * (C + E);
}

struct FixedLayout {
    uint32_t channels, extra;
    bool reversed, swapFirst;
    Formatter16 unpack8, pack8, unpack16, pack16;
};

template <uint32_t C, uint32_t E, bool Rev, bool First>
constexpr FixedLayout fixed()
{
    return {C, E, Rev, First, unpack8Fixed<C, E, Rev, First>, pack8Fixed<C, E, Rev, First>,
            unpack16Fixed<C, E, Rev, First>, pack16Fixed<C, E, Rev, First>};
}

constexpr FixedLayout FixedLayouts[] = {
    fixed<1, 0, false, false>(),   // gray
    fixed<1, 1, false, false>(),   // gray + alpha
    fixed<1, 1, true, false>(),    // alpha + gray
    fixed<3, 0, false, false>(),   // RGB
    fixed<3, 0, true, false>(),    // BGR
    fixed<3, 1, false, false>(),   // RGBA
    fixed<3, 1, true, false>(),    // ABGR
    fixed<3, 1, false, true>(),    // ARGB
    fixed<3, 1, true, true>(),     // BGRA
    fixed<4, 0, false, false>(),   // CMYK
    fixed<4, 0, true, false>(),    // KYMC
    fixed<4, 0, false, true>(),    // KCMY
};

// ---------------------------------------------------------------------------
// 16-bit formatters driven by the layout
// ---------------------------------------------------------------------------

template <bool Planar>
uint8_t* unpack8(const Transform* t, uint16_t w[], uint8_t* p, uint32_t stride)
{
    const PixelLayout& L = t->inLayout;
    const uint16_t flip = L.inverted ? 0xFFFF : 0;
    for (uint32_t j = 0; j < L.channels; ++j) {
        const uint8_t v = Planar ? p[size_t(L.position[j]) * stride] : p[L.position[j]];
        w[j] = uint16_t((v * 257u) ^ flip);
    }
    return Planar ? p + 1 : p + L.samples;
}

template <bool Planar>
uint8_t* pack8(const Transform* t, uint16_t w[], uint8_t* p, uint32_t stride)
{
    const PixelLayout& L = t->outLayout;
    const uint16_t flip = L.inverted ? 0xFFFF : 0;
    for (uint32_t j = 0; j < L.channels; ++j) {
        const uint8_t v = wordToByte(uint16_t(w[j] ^ flip));
        if (Planar)
            p[size_t(L.position[j]) * stride] = v;
        else
            p[L.position[j]] = v;
    }
    return Planar ? p + 1 : p + L.samples;
}

template <bool Planar>
uint8_t* unpack16(const Transform* t, uint16_t w[], uint8_t* p, uint32_t stride)
{
    const PixelLayout& L = t->inLayout;
    for (uint32_t j = 0; j < L.channels; ++j) {
        uint16_t v = load16(Planar ? p + size_t(L.position[j]) * stride : p + 2 * L.position[j]);
        if (L.swapped16) v = swapBytes(v);
        if (L.inverted) v = uint16_t(0xFFFF - v);
        if (L.labV2) v = labV2ToV4(v);
        w[j] = v;
    }
    return Planar ? p + 2 : p + 2 * L.samples;
}

template <bool Planar>
uint8_t* pack16(const Transform* t, uint16_t w[], uint8_t* p, uint32_t stride)
{
    const PixelLayout& L = t->outLayout;
    for (uint32_t j = 0; j < L.channels; ++j) {
        uint16_t v = w[j];
        if (L.labV2) v = labV4ToV2(v);
        if (L.inverted) v = uint16_t(0xFFFF - v);
        if (L.swapped16) v = swapBytes(v);
        store16(Planar ? p + size_t(L.position[j]) * stride : p + 2 * L.position[j], v);
    }
    return Planar ? p + 2 : p + 2 * L.samples;
}

Formatter16 builtin16(uint32_t format, FormatterDirection dir)
{
    const uint32_t bytes = formatBytes(format);
    if (formatFloat(format) || (bytes != 1 && bytes != 2)) return nullptr;
    const bool input = dir == FormatterInput;
    const bool plain = !formatPlanar(format) && !formatInverted(format) && !formatSwapped16(format) &&
                       formatColorSpace(format) != PixelLabV2;
    if (plain) {
        for (const FixedLayout& f : FixedLayouts) {
            if (f.channels == formatChannels(format) && f.extra == formatExtra(format) &&
                f.reversed == formatReversed(format) && f.swapFirst == formatSwapFirst(format)) {
                if (bytes == 1) return input ? f.unpack8 : f.pack8;
                return input ? f.unpack16 : f.pack16;
            }
        }
    }
    const bool planar = formatPlanar(format);
    if (bytes == 1) {
        if (input) return planar ? unpack8<true> : unpack8<false>;
        return planar ? pack8<true> : pack8<false>;
    }
    if (input) return planar ? unpack16<true> : unpack16<false>;
    return planar ? pack16<true> : pack16<false>;
}

// ---------------------------------------------------------------------------
// Float formatters: any sample type to floats in the pipeline's units
// ---------------------------------------------------------------------------

struct Half {
    uint16_t bits;
};
struct Swapped16 {
    uint16_t bits;
};

template <typename S>
float loadSample(const uint8_t* p)
{
    if constexpr (std::is_same_v<S, Half>) {
        return halfToFloat(load16(p));
    } else if constexpr (std::is_same_v<S, Swapped16>) {
        return float(swapBytes(load16(p)));
    } else {
        S v;
        std::memcpy(&v, p, sizeof v);
        return float(v);
    }
}

template <typename S>
void storeSample(uint8_t* p, float v)
{
    if constexpr (std::is_same_v<S, Half>) {
        store16(p, floatToHalf(v));
    } else if constexpr (std::is_same_v<S, Swapped16>) {
        store16(p, swapBytes(quickSaturateWord(v)));
    } else if constexpr (std::is_same_v<S, uint16_t>) {
        store16(p, quickSaturateWord(v));
    } else if constexpr (std::is_same_v<S, uint8_t>) {
        const double d = double(v) + 0.5;
        *p = !(d > 0.0) ? 0 : d >= 255.0 ? 255 : uint8_t(d);
    } else {
        const S s = S(v);
        std::memcpy(p, &s, sizeof s);
    }
}

template <typename S, bool Planar>
uint8_t* unpackFloat(const Transform* t, float w[], uint8_t* p, uint32_t stride)
{
    const PixelLayout& L = t->inLayout;
    constexpr uint32_t size = sizeof(S);
    for (uint32_t j = 0; j < L.channels; ++j) {
        const uint8_t* q = Planar ? p + size_t(L.position[j]) * stride : p + size * L.position[j];
        const float v = loadSample<S>(q) * L.toNormal[j] + L.offset[j];
        w[j] = L.inverted ? 1.0f - v : v;
    }
    return Planar ? p + size : p + size * L.samples;
}

template <typename S, bool Planar>
uint8_t* packFloat(const Transform* t, float w[], uint8_t* p, uint32_t stride)
{
    const PixelLayout& L = t->outLayout;
    constexpr uint32_t size = sizeof(S);
    for (uint32_t j = 0; j < L.channels; ++j) {
        const float v = L.inverted ? 1.0f - w[j] : w[j];
        uint8_t* q = Planar ? p + size_t(L.position[j]) * stride : p + size * L.position[j];
        storeSample<S>(q, (v - L.offset[j]) * L.fromNormal[j]);
    }
    return Planar ? p + size : p + size * L.samples;
}

template <typename S>
FormatterFloat floatFormatter(bool input, bool planar)
{
    if (input) return planar ? unpackFloat<S, true> : unpackFloat<S, false>;
    return planar ? packFloat<S, true> : packFloat<S, false>;
}

FormatterFloat builtinFloat(uint32_t format, FormatterDirection dir)
{
    const bool input = dir == FormatterInput;
    const bool planar = formatPlanar(format);
    switch (formatBytes(format)) {
    case 1:
        return formatFloat(format) ? nullptr : floatFormatter<uint8_t>(input, planar);
    case 2:
        if (formatFloat(format)) return floatFormatter<Half>(input, planar);
        return formatSwapped16(format) ? floatFormatter<Swapped16>(input, planar)
                                       : floatFormatter<uint16_t>(input, planar);
    case 4:
        return floatFormatter<float>(input, planar);
    case 0:
        return floatFormatter<double>(input, planar);
    default:
        return nullptr;
    }
}

// The scale of one channel: its samples are normalised as sample / unit +
// offset.
void channelScale(uint32_t format, uint32_t j, double* unit, double* offset)
{
    const uint32_t code = formatColorSpace(format);
    const uint32_t bytes = formatBytes(format);
    const bool real = formatFloat(format) || bytes == 4 || bytes == 0;
    *offset = 0;
    if (!real) {
        const bool labV2 = code == PixelLabV2 && bytes == 2;
        *unit = bytes == 1 ? 255.0 : labV2 ? 65280.0 : 65535.0;
        return;
    }
    if (code == PixelLab || code == PixelLabV2) {
        *unit = j == 0 ? 100.0 : 255.0;
        *offset = j == 0 ? 0.0 : 128.0 / 255.0;
    } else if (code == PixelXyz) {
        *unit = XyzDenormalise;
    } else if (percentSpace(code)) {
        *unit = 100.0;
    } else {
        *unit = 1.0;
    }
}

// ---------------------------------------------------------------------------
// Extra channels
// ---------------------------------------------------------------------------

enum class AlphaKind { Byte, Word, SwappedWord, Half, Float, Double, Unknown };

AlphaKind alphaKindOf(uint32_t format)
{
    switch (formatBytes(format)) {
    case 1: return AlphaKind::Byte;
    case 2:
        if (formatFloat(format)) return AlphaKind::Half;
        return formatSwapped16(format) ? AlphaKind::SwappedWord : AlphaKind::Word;
    case 4: return AlphaKind::Float;
    case 0: return AlphaKind::Double;
    default: return AlphaKind::Unknown;
    }
}

bool isIntegerKind(AlphaKind k)
{
    return k == AlphaKind::Byte || k == AlphaKind::Word || k == AlphaKind::SwappedWord;
}

// Integer samples travel as 16-bit words, the others as 0 … 1 floats.
uint16_t readWord(AlphaKind k, const uint8_t* p)
{
    switch (k) {
    case AlphaKind::Byte: return uint16_t(*p * 257u);
    case AlphaKind::Word: return load16(p);
    default: return swapBytes(load16(p));
    }
}

void writeWord(AlphaKind k, uint8_t* p, uint16_t v)
{
    switch (k) {
    case AlphaKind::Byte: *p = wordToByte(v); break;
    case AlphaKind::Word: store16(p, v); break;
    default: store16(p, swapBytes(v)); break;
    }
}

double readReal(AlphaKind k, const uint8_t* p)
{
    switch (k) {
    case AlphaKind::Half: return halfToFloat(load16(p));
    case AlphaKind::Float: return loadSample<float>(p);
    case AlphaKind::Double: {
        double d;
        std::memcpy(&d, p, sizeof d);
        return d;
    }
    default: return readWord(k, p) / 65535.0;
    }
}

void writeReal(AlphaKind k, uint8_t* p, double v)
{
    switch (k) {
    case AlphaKind::Half: store16(p, floatToHalf(float(v))); break;
    case AlphaKind::Float: storeSample<float>(p, float(v)); break;
    case AlphaKind::Double: std::memcpy(p, &v, sizeof v); break;
    default: writeWord(k, p, quickSaturateWord(v * 65535.0)); break;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Half floats
// ---------------------------------------------------------------------------

float halfToFloat(uint16_t h)
{
    const uint32_t sign = uint32_t(h >> 15) << 31;
    const uint32_t exponent = (h >> 10) & 0x1F;
    const uint32_t mantissa = h & 0x3FF;
    float f;
    if (exponent == 0) {
        f = std::ldexp(float(mantissa), -24);   // zero and subnormals
        return sign ? -f : f;
    }
    uint32_t bits;
    if (exponent == 31)
        bits = sign | 0x7F800000u | (mantissa << 13);   // infinities and NaN
    else
        bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

uint16_t floatToHalf(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    const uint16_t sign = uint16_t((bits >> 16) & 0x8000);
    const uint32_t magnitude = bits & 0x7FFFFFFFu;
    if (magnitude > 0x7F800000u) return uint16_t(sign | 0x7E00);   // NaN
    if (magnitude >= 0x477FF000u) return uint16_t(sign | 0x7C00);  // rounds past 65504: infinity
    if (magnitude < 0x38800000u) {
        // Subnormal half: the value in units of 2^-24, rounded to even.
        const float scaled = std::ldexp(std::fabs(f), 24);
        return uint16_t(sign | uint16_t(std::nearbyint(scaled)));
    }
    // Normal: rebias the exponent and round the mantissa to nearest even.
    const uint32_t rebased = magnitude - (112u << 23);
    const uint32_t rounded = rebased + 0xFFF + ((rebased >> 13) & 1);
    return uint16_t(sign | (rounded >> 13));
}

// ---------------------------------------------------------------------------
// Layouts and lookup
// ---------------------------------------------------------------------------

uint32_t sampleBytesOf(uint32_t format)
{
    const uint32_t bytes = formatBytes(format);
    return bytes ? bytes : 8;
}

bool makePixelLayout(uint32_t format, PixelLayout* layout)
{
    PixelLayout L;
    L.format = format;
    L.channels = formatChannels(format);
    L.extra = formatExtra(format);
    L.samples = L.channels + L.extra;
    L.sampleBytes = sampleBytesOf(format);
    L.planar = formatPlanar(format);
    L.inverted = formatInverted(format);
    L.swapped16 = formatSwapped16(format) && L.sampleBytes == 2;
    L.half = formatFloat(format) && L.sampleBytes == 2;
    L.labV2 = formatColorSpace(format) == PixelLabV2 && L.sampleBytes == 2 && !L.half;
    for (uint32_t j = 0; j < L.samples; ++j)
        L.position[j] = uint8_t(samplePosition(j, L.samples, formatReversed(format), formatSwapFirst(format)));
    for (uint32_t j = 0; j < L.channels; ++j) {
        double unit, offset;
        channelScale(format, j, &unit, &offset);
        L.toNormal[j] = float(1.0 / unit);
        L.fromNormal[j] = float(unit);
        L.offset[j] = float(offset);
    }
    *layout = L;
    return L.channels > 0;
}

Formatter findFormatter(EngineContext* ctx, uint32_t format, FormatterDirection dir, uint32_t flags)
{
    const bool wantFloat = flags & FormatterFlagFloat;
    for (PluginBase* p = pluginChain(ctx, SlotFormatters); p; p = p->next) {
        const Formatter f = reinterpret_cast<PluginFormatters*>(p)->factory(format, dir, flags);
        if (wantFloat ? f.fmtFloat != nullptr : f.fmt16 != nullptr) return f;
    }
    Formatter f{nullptr, nullptr};
    if (formatChannels(format) == 0) return f;
    if (wantFloat)
        f.fmtFloat = builtinFloat(format, dir);
    else
        f.fmt16 = builtin16(format, dir);
    return f;
}

// ---------------------------------------------------------------------------
// Copying extra channels
// ---------------------------------------------------------------------------

void copyExtraChannels(const Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                       const Stride* stride)
{
    const PixelLayout& I = t->inLayout;
    const PixelLayout& O = t->outLayout;
    if (I.extra == 0 || I.extra != O.extra) return;
    if (in == out && t->inputFormat == t->outputFormat) return;   // already in place

    const AlphaKind from = alphaKindOf(t->inputFormat);
    const AlphaKind to = alphaKindOf(t->outputFormat);
    if (from == AlphaKind::Unknown || to == AlphaKind::Unknown) {
        reportError(t->ctx, ErrUnknownExtension, "Unrecognized alpha channel width");
        return;
    }
    const bool sameKind = from == to;
    const bool integers = isIntegerKind(from) && isIntegerKind(to);

    // Byte offset of extra channel e of pixel i within a line.
    auto place = [](const PixelLayout& L, uint32_t e, uint32_t i, uint32_t plane) {
        const uint32_t pos = L.position[L.channels + e];
        if (L.planar) return size_t(pos) * plane + size_t(i) * L.sampleBytes;
        return (size_t(i) * L.samples + pos) * L.sampleBytes;
    };

    for (uint32_t line = 0; line < lineCount; ++line) {
        const auto* src = static_cast<const uint8_t*>(in) + size_t(line) * stride->bytesPerLineIn;
        auto* dst = static_cast<uint8_t*>(out) + size_t(line) * stride->bytesPerLineOut;
        for (uint32_t i = 0; i < pixelsPerLine; ++i) {
            for (uint32_t e = 0; e < I.extra; ++e) {
                const uint8_t* s = src + place(I, e, i, stride->bytesPerPlaneIn);
                uint8_t* d = dst + place(O, e, i, stride->bytesPerPlaneOut);
                if (sameKind)
                    std::memmove(d, s, I.sampleBytes);
                else if (integers)
                    writeWord(to, d, readWord(from, s));
                else
                    writeReal(to, d, readReal(from, s));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Colour spaces and formats
// ---------------------------------------------------------------------------

uint32_t pixelSpaceOf(uint32_t space)
{
    switch (space) {
    case sig("GRAY"): return PixelGray;
    case sig("RGB "): return PixelRgb;
    case sig("CMY "): return PixelCmy;
    case sig("CMYK"): return PixelCmyk;
    case sig("YCbr"): return PixelYCbCr;
    case sig("Luv "): return PixelLuv;
    case sig("XYZ "): return PixelXyz;
    case sig("Lab "): return PixelLab;
    case sig("HSV "): return PixelHsv;
    case sig("HLS "): return PixelHls;
    case sig("Yxy "): return PixelYxy;
    default: break;
    }
    // 'nCLR' (n = 1 … F) and 'MCHn' (n = 2 … F).
    auto hexDigit = [](uint32_t c) -> int {
        if (c >= '1' && c <= '9') return int(c - '0');
        if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
        return -1;
    };
    if ((space & 0x00FFFFFFu) == (sig("0CLR") & 0x00FFFFFFu)) {
        const int n = hexDigit(space >> 24);
        if (n >= 1) return PixelMch1 + uint32_t(n) - 1;
    }
    if ((space & 0xFFFFFF00u) == (sig("MCH0") & 0xFFFFFF00u)) {
        const int n = hexDigit(space & 0xFF);
        if (n >= 2) return PixelMch1 + uint32_t(n) - 1;
    }
    return 0;
}

uint32_t channelsOfSpace(uint32_t space, bool* known)
{
    if (known) *known = true;
    const uint32_t code = pixelSpaceOf(space);
    switch (code) {
    case PixelGray: return 1;
    case PixelCmyk: return 4;
    case 0:
        if (known) *known = false;
        return 3;
    default:
        if (code >= PixelMch1) return code - PixelMch1 + 1;
        return 3;
    }
}

uint32_t formatForSpace(uint32_t space, uint32_t bytes, bool floating)
{
    return pixelFormat(pixelSpaceOf(space), channelsOfSpace(space), bytes, 0, floating ? PixelFloat : 0);
}
