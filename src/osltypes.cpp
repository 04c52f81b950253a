// Tag types: the registry of type handlers and tag descriptors, the text
// types ('text', 'desc', 'mluc') and the record types. Curves and pipelines
// have their handlers in osltypes_lut.cpp.
#include "oslinternal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

// Signatures that broken writers put in place of 'XYZ ' and 'curv'; read as those.
constexpr uint32_t BrokenXyzType = 0x17A505B8;
constexpr uint32_t BrokenCurveType = 0x9478EE00;

constexpr uint32_t TextType = sig("text");
constexpr uint32_t DescType = sig("desc");
constexpr uint32_t MlucType = sig("mluc");
constexpr uint16_t UnicodeCode = 0xFFFF;   // language and country of the Unicode part of 'desc'
constexpr uint32_t ScriptCodeBytes = 70;   // 'desc' ScriptCode part: code, count, 67 bytes
constexpr uint32_t MaxColorants = 16;

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

bool readU16Fixed16(IoHandler* io, double* v)
{
    uint32_t n;
    if (!readUInt32(io, &n)) return false;
    *v = n / 65536.0;
    return true;
}

bool writeU16Fixed16(IoHandler* io, double v)
{
    const double r = std::floor(v * 65536.0 + 0.5);
    const uint32_t n = !(r > 0) ? 0 : r >= 4294967295.0 ? UINT32_MAX : uint32_t(r);
    return writeUInt32(io, n);
}

bool readBytes(IoHandler* io, void* buffer, uint32_t n)
{
    return n == 0 || io->read(io, buffer, n, 1) == 1;
}

bool writeZeros(IoHandler* io, uint32_t n)
{
    static const uint8_t zeros[64] = {};
    while (n > 0) {
        const uint32_t k = n < sizeof zeros ? n : uint32_t(sizeof zeros);
        if (!io->write(io, k, zeros)) return false;
        n -= k;
    }
    return true;
}

bool writeUtf16(IoHandler* io, const uint16_t* units, uint32_t n)
{
    return n == 0 || writeUInt16Array(io, n, units);
}

// A copy of a plain record.
template <typename T>
void* recordCopy(EngineContext* ctx, const T& value)
{
    return engineDup(ctx, &value, sizeof(T));
}

template <typename T>
void* recordDuplicate(TagTypeHandler* self, const void* object, uint32_t)
{
    return engineDup(self->ctx, object, sizeof(T));
}

void plainFree(TagTypeHandler* self, void* object)
{
    engineFree(self->ctx, object);
}

// A 32-byte name field: NUL-padded, up to 32 characters.
bool readName32(IoHandler* io, char out[NamedColorNameLength + 1])
{
    if (!readBytes(io, out, NamedColorNameLength)) return false;
    out[NamedColorNameLength] = 0;
    return true;
}

bool writeName32(IoHandler* io, const char* name)
{
    char field[NamedColorNameLength] = {};
    std::memcpy(field, name, strnlen(name, NamedColorNameLength));
    return io->write(io, NamedColorNameLength, field);
}

// 8-bit text of a text entry: code units of 255 and above become '?'.
std::vector<char> narrowText(const LocalizedText* text, uint16_t language, uint16_t country)
{
    uint32_t n = 0;
    const uint16_t* units = text ? lookupTextUnits(text, language, country, &n) : nullptr;
    std::vector<char> out(n);
    for (uint32_t i = 0; i < n; ++i) out[i] = units[i] >= 255 ? '?' : char(units[i]);
    return out;
}

// Reads n bytes as 8-bit text up to the first NUL into the entry (language, country).
bool addNarrowFromStream(IoHandler* io, LocalizedText* text, uint32_t n, const char* language, const char* country)
{
    std::vector<char> bytes(size_t(n) + 1, 0);
    if (!readBytes(io, bytes.data(), n)) return false;
    return setText8(text, language, country, bytes.data());
}

// ---------------------------------------------------------------------------
// 'XYZ '
// ---------------------------------------------------------------------------

void* xyzRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    CieXyz xyz;
    if (sizeOfTag < 12 || !readXyzNumber(io, &xyz)) return nullptr;
    *count = 1;
    return recordCopy(self->ctx, xyz);
}

bool xyzWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    return writeXyzNumber(io, *static_cast<const CieXyz*>(object));
}

void* xyzDuplicate(TagTypeHandler* self, const void* object, uint32_t count)
{
    if (count == 0) return nullptr;
    return engineDup(self->ctx, object, size_t(count) * sizeof(CieXyz));
}

// ---------------------------------------------------------------------------
// 'sf32', 'uf32': fixed-point arrays held as doubles
// ---------------------------------------------------------------------------

template <bool Signed>
void* fixedArrayRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    const uint32_t n = sizeOfTag / 4;
    if (n == 0) return nullptr;
    auto values = engineArray<double>(self->ctx, n);
    if (!values) return nullptr;
    for (uint32_t i = 0; i < n; ++i) {
        const bool ok = Signed ? readS15Fixed16(io, values.get() + i) : readU16Fixed16(io, values.get() + i);
        if (!ok) return nullptr;
    }
    *count = n;
    return values.release();
}

template <bool Signed>
bool fixedArrayWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t count)
{
    const auto* values = static_cast<const double*>(object);
    for (uint32_t i = 0; i < count; ++i) {
        const bool ok = Signed ? writeS15Fixed16(io, values[i]) : writeU16Fixed16(io, values[i]);
        if (!ok) return false;
    }
    return true;
}

void* doubleArrayDuplicate(TagTypeHandler* self, const void* object, uint32_t count)
{
    if (count == 0) return nullptr;
    return engineDup(self->ctx, object, size_t(count) * sizeof(double));
}

// ---------------------------------------------------------------------------
// 'chrm', 'clro', 'sig ', 'dtim', 'meas', 'view', 'scrn', 'cicp'
// ---------------------------------------------------------------------------

void* chromaticityRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    uint16_t channels;
    Chromaticities c{};
    if (sizeOfTag < 4 || !readUInt16(io, &channels) || !readUInt16(io, &c.colorantType)) return nullptr;
    if (channels != 3 || sizeOfTag < 4 + 24) return nullptr;
    for (CieXyY* p : {&c.red, &c.green, &c.blue}) {
        if (!readU16Fixed16(io, &p->x) || !readU16Fixed16(io, &p->y)) return nullptr;
        p->Y = 1.0;
    }
    *count = 1;
    return recordCopy(self->ctx, c);
}

bool chromaticityWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* c = static_cast<const Chromaticities*>(object);
    if (!writeUInt16(io, 3) || !writeUInt16(io, c->colorantType)) return false;
    for (const CieXyY* p : {&c->red, &c->green, &c->blue})
        if (!writeU16Fixed16(io, p->x) || !writeU16Fixed16(io, p->y)) return false;
    return true;
}

void* colorantOrderRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    ColorantOrder order{};
    std::memset(order.order, 0xFF, sizeof order.order);
    if (sizeOfTag < 4 || !readUInt32(io, &order.count)) return nullptr;
    if (order.count > MaxDeviceCoordinates || order.count > sizeOfTag - 4) return nullptr;
    if (!readBytes(io, order.order, order.count)) return nullptr;
    *count = 1;
    return recordCopy(self->ctx, order);
}

bool colorantOrderWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* order = static_cast<const ColorantOrder*>(object);
    if (order->count > MaxDeviceCoordinates) return false;
    return writeUInt32(io, order->count) && (order->count == 0 || io->write(io, order->count, order->order));
}

void* signatureRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    uint32_t s;
    if (sizeOfTag < 4 || !readUInt32(io, &s)) return nullptr;
    *count = 1;
    return recordCopy(self->ctx, s);
}

bool signatureWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    return writeUInt32(io, *static_cast<const uint32_t*>(object));
}

void* dateTimeRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    std::tm t{};
    if (sizeOfTag < 12 || !readDateTimeNumber(io, &t)) return nullptr;
    *count = 1;
    return recordCopy(self->ctx, t);
}

bool dateTimeWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    return writeDateTimeNumber(io, *static_cast<const std::tm*>(object));
}

void* measurementRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    IccMeasurement m{};
    if (sizeOfTag < 28 || !readUInt32(io, &m.observer) || !readXyzNumber(io, &m.backing) ||
        !readUInt32(io, &m.geometry) || !readU16Fixed16(io, &m.flare) || !readUInt32(io, &m.illuminantType))
        return nullptr;
    *count = 1;
    return recordCopy(self->ctx, m);
}

bool measurementWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* m = static_cast<const IccMeasurement*>(object);
    return writeUInt32(io, m->observer) && writeXyzNumber(io, m->backing) && writeUInt32(io, m->geometry) &&
           writeU16Fixed16(io, m->flare) && writeUInt32(io, m->illuminantType);
}

void* viewingRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    IccViewingConditions v{};
    if (sizeOfTag < 28 || !readXyzNumber(io, &v.illuminant) || !readXyzNumber(io, &v.surround) ||
        !readUInt32(io, &v.illuminantType))
        return nullptr;
    *count = 1;
    return recordCopy(self->ctx, v);
}

bool viewingWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* v = static_cast<const IccViewingConditions*>(object);
    return writeXyzNumber(io, v->illuminant) && writeXyzNumber(io, v->surround) &&
           writeUInt32(io, v->illuminantType);
}

void* screeningRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    IccScreening s{};
    if (sizeOfTag < 8 || !readUInt32(io, &s.flags) || !readUInt32(io, &s.channels)) return nullptr;
    if (s.channels > MaxDeviceCoordinates || s.channels > (sizeOfTag - 8) / 12) return nullptr;
    for (uint32_t i = 0; i < s.channels; ++i) {
        IccScreeningChannel& c = s.channel[i];
        if (!readS15Fixed16(io, &c.frequency) || !readS15Fixed16(io, &c.angle) || !readUInt32(io, &c.spotShape))
            return nullptr;
    }
    *count = 1;
    return recordCopy(self->ctx, s);
}

bool screeningWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* s = static_cast<const IccScreening*>(object);
    if (s->channels > MaxDeviceCoordinates) return false;
    if (!writeUInt32(io, s->flags) || !writeUInt32(io, s->channels)) return false;
    for (uint32_t i = 0; i < s->channels; ++i) {
        const IccScreeningChannel& c = s->channel[i];
        if (!writeS15Fixed16(io, c.frequency) || !writeS15Fixed16(io, c.angle) || !writeUInt32(io, c.spotShape))
            return false;
    }
    return true;
}

void* cicpRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    VideoSignalType v{};
    if (sizeOfTag < 4 || !readUInt8(io, &v.colourPrimaries) || !readUInt8(io, &v.transferCharacteristics) ||
        !readUInt8(io, &v.matrixCoefficients) || !readUInt8(io, &v.videoFullRangeFlag))
        return nullptr;
    *count = 1;
    return recordCopy(self->ctx, v);
}

bool cicpWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* v = static_cast<const VideoSignalType*>(object);
    return writeUInt8(io, v->colourPrimaries) && writeUInt8(io, v->transferCharacteristics) &&
           writeUInt8(io, v->matrixCoefficients) && writeUInt8(io, v->videoFullRangeFlag);
}

// ---------------------------------------------------------------------------
// 'data': a flag and the bytes, kept in one block after the record
// ---------------------------------------------------------------------------

IccData* newData(EngineContext* ctx, uint32_t flag, uint32_t length, const uint8_t* bytes)
{
    if (length > MaxAllocation - sizeof(IccData)) return nullptr;
    auto* d = static_cast<IccData*>(engineAllocZero(ctx, sizeof(IccData) + length));
    if (!d) return nullptr;
    d->flag = flag;
    d->length = length;
    d->bytes = reinterpret_cast<uint8_t*>(d + 1);
    if (bytes && length) std::memcpy(d->bytes, bytes, length);
    return d;
}

void* dataRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    uint32_t flag;
    if (sizeOfTag < 4 || !readUInt32(io, &flag)) return nullptr;
    IccData* d = newData(self->ctx, flag, sizeOfTag - 4, nullptr);
    if (!d) return nullptr;
    if (!readBytes(io, d->bytes, d->length)) {
        engineFree(self->ctx, d);
        return nullptr;
    }
    *count = 1;
    return d;
}

bool dataWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* d = static_cast<const IccData*>(object);
    return writeUInt32(io, d->flag) && (d->length == 0 || (d->bytes && io->write(io, d->length, d->bytes)));
}

void* dataDuplicate(TagTypeHandler* self, const void* object, uint32_t)
{
    const auto* d = static_cast<const IccData*>(object);
    if (d->length && !d->bytes) return nullptr;
    return newData(self->ctx, d->flag, d->length, d->bytes);
}

// ---------------------------------------------------------------------------
// 'text', 'desc', 'mluc'
// ---------------------------------------------------------------------------

void* textRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    OwnedText text(newLocalizedText(self->ctx, 1), &freeLocalizedText);
    if (!text || !addNarrowFromStream(io, text.get(), sizeOfTag, nullptr, nullptr)) return nullptr;
    *count = 1;
    return text.release();
}

bool textWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const std::vector<char> text = narrowText(static_cast<const LocalizedText*>(object), 0, 0);
    return (text.empty() || io->write(io, uint32_t(text.size()), text.data())) && writeUInt8(io, 0);
}

void* textDuplicate(TagTypeHandler*, const void* object, uint32_t)
{
    return duplicateLocalizedText(static_cast<const LocalizedText*>(object));
}

void textFree(TagTypeHandler*, void* object)
{
    freeLocalizedText(static_cast<LocalizedText*>(object));
}

// The body of a 'desc' tag; *used gets the bytes it took.
LocalizedText* readDescBody(TagTypeHandler* self, IoHandler* io, uint32_t sizeOfTag, uint32_t* used)
{
    uint32_t asciiCount;
    if (sizeOfTag < 4 || !readUInt32(io, &asciiCount)) return nullptr;
    uint32_t left = sizeOfTag - 4;
    if (asciiCount > left) return nullptr;
    OwnedText text(newLocalizedText(self->ctx, 2), &freeLocalizedText);
    if (!text || !addNarrowFromStream(io, text.get(), asciiCount, nullptr, nullptr)) return nullptr;
    left -= asciiCount;

    // The Unicode and ScriptCode parts are optional; what they spoil is dropped.
    uint32_t unicodeLanguage, unicodeCount;
    if (left < 8 || !readUInt32(io, &unicodeLanguage) || !readUInt32(io, &unicodeCount)) {
        *used = sizeOfTag - left;
        return text.release();
    }
    left -= 8;
    if (unicodeCount > left / 2) {
        *used = sizeOfTag - left;
        return text.release();
    }
    if (unicodeCount > 0) {
        std::vector<uint16_t> units(unicodeCount);
        if (!readUInt16Array(io, unicodeCount, units.data())) {
            *used = sizeOfTag - left;
            return text.release();
        }
        left -= 2 * unicodeCount;
        uint32_t n = 0;
        while (n < unicodeCount && units[n] != 0) ++n;
        if (n > 0) addTextUnits(text.get(), UnicodeCode, UnicodeCode, units.data(), n);
    }
    uint8_t scriptCode[ScriptCodeBytes];
    if (left >= ScriptCodeBytes && readBytes(io, scriptCode, ScriptCodeBytes)) left -= ScriptCodeBytes;
    *used = sizeOfTag - left;
    return text.release();
}

// A 'desc' body: ASCII, then the Unicode text cut to as many characters, then
// an empty ScriptCode part.
bool writeDescBody(IoHandler* io, const LocalizedText* text)
{
    const std::vector<char> ascii = narrowText(text, 0, 0);
    const uint32_t n = uint32_t(ascii.size());
    uint32_t wideCount = 0;
    const uint16_t* wide = text ? lookupTextUnits(text, UnicodeCode, UnicodeCode, &wideCount) : nullptr;
    std::vector<uint16_t> unicode(size_t(n) + 1, 0);
    for (uint32_t i = 0; i < n && i < wideCount; ++i) unicode[i] = wide[i];

    return writeUInt32(io, n + 1) && (n == 0 || io->write(io, n, ascii.data())) && writeUInt8(io, 0) &&
           writeUInt32(io, 0) && writeUInt32(io, n + 1) && writeUtf16(io, unicode.data(), n + 1) &&
           writeUInt16(io, 0) && writeUInt8(io, 0) && writeZeros(io, 67);
}

void* descRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    uint32_t used;
    LocalizedText* text = readDescBody(self, io, sizeOfTag, &used);
    *count = text ? 1 : 0;
    return text;
}

bool descWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    return writeDescBody(io, static_cast<const LocalizedText*>(object)) && writeAlignment(io);
}

// The body of an 'mluc' tag whose type base was just read; *used gets the
// bytes after the type base that its records and texts reach.
LocalizedText* readMlucBody(TagTypeHandler* self, IoHandler* io, uint32_t sizeOfTag, uint32_t* used)
{
    uint32_t records, recordSize;
    if (sizeOfTag < 8 || !readUInt32(io, &records) || !readUInt32(io, &recordSize)) return nullptr;
    if (recordSize != 12) {
        reportError(self->ctx, ErrUnknownExtension, "multiLocalizedUnicodeType of len != 12 is not supported.");
        return nullptr;
    }
    if (records > (sizeOfTag - 8) / 12) return nullptr;
    OwnedText text(newLocalizedText(self->ctx, records), &freeLocalizedText);
    if (!text) return nullptr;

    // Offsets count from the start of the tag, whose type base is 8 bytes.
    const uint32_t tagEnd = sizeOfTag + 8;
    const uint32_t poolStart = 16 + 12 * records;
    uint32_t poolEnd = poolStart;
    for (uint32_t i = 0; i < records; ++i) {
        uint16_t language, country;
        uint32_t length, offset;
        if (!readUInt16(io, &language) || !readUInt16(io, &country) || !readUInt32(io, &length) ||
            !readUInt32(io, &offset))
            return nullptr;
        if ((offset & 1) || offset < poolStart || offset > tagEnd || length > tagEnd - offset) return nullptr;
        poolEnd = std::max(poolEnd, offset + length);
        text->entries[i] = TextEntry{language, country, offset - poolStart, length};
    }
    const uint32_t poolBytes = poolEnd - poolStart;
    if (poolBytes & 1) return nullptr;
    text->count = records;
    if (!resizeTextPool(text.get(), poolBytes)) return nullptr;
    if (poolBytes) {
        auto* units = reinterpret_cast<uint16_t*>(text->pool);
        if (!readUInt16Array(io, poolBytes / 2, units)) return nullptr;
    }
    *used = poolEnd - 8;
    return text.release();
}

bool writeMlucBody(IoHandler* io, const LocalizedText* text)
{
    const uint32_t records = text ? text->count : 0;
    if (!writeUInt32(io, records) || !writeUInt32(io, 12)) return false;
    if (records == 0) return true;
    if (records > (UINT32_MAX - 16) / 12) return false;
    const uint32_t poolStart = 16 + 12 * records;
    if (text->poolUsed > UINT32_MAX - poolStart) return false;
    for (uint32_t i = 0; i < records; ++i) {
        const TextEntry& e = text->entries[i];
        if (!writeUInt16(io, e.language) || !writeUInt16(io, e.country) || !writeUInt32(io, e.length) ||
            !writeUInt32(io, e.offset + poolStart))
            return false;
    }
    return writeUtf16(io, reinterpret_cast<const uint16_t*>(text->pool), text->poolUsed / 2);
}

void* mlucRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    uint32_t used;
    LocalizedText* text = readMlucBody(self, io, sizeOfTag, &used);
    *count = text ? 1 : 0;
    return text;
}

bool mlucWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    return writeMlucBody(io, static_cast<const LocalizedText*>(object));
}

// A text tag inside another tag ('pseq', 'psid', 'dict'): type base and body
// within `size` bytes; *used gets the bytes it took.
LocalizedText* readEmbeddedText(TagTypeHandler* self, IoHandler* io, uint32_t size, uint32_t* used)
{
    uint32_t type;
    if (size < 8 || !readTypeBase(io, &type)) return nullptr;
    uint32_t body = 0;
    LocalizedText* text = nullptr;
    switch (type) {
    case DescType: text = readDescBody(self, io, size - 8, &body); break;
    case MlucType: text = readMlucBody(self, io, size - 8, &body); break;
    case TextType: {
        uint32_t count;
        text = static_cast<LocalizedText*>(textRead(self, io, &count, size - 8));
        body = size - 8;
        break;
    }
    default: return nullptr;
    }
    *used = 8 + body;
    return text;
}

// Version-2 profiles describe with 'desc', later ones with 'mluc'.
bool writeEmbeddedText(TagTypeHandler* self, IoHandler* io, const LocalizedText* text)
{
    if (self->iccVersion < 0x04000000) return writeTypeBase(io, DescType) && writeDescBody(io, text);
    return writeTypeBase(io, MlucType) && writeMlucBody(io, text);
}

// ---------------------------------------------------------------------------
// 'ncl2', 'clrt'
// ---------------------------------------------------------------------------

void* namedColorRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    uint32_t vendorFlag, colors, coordinates;
    char prefix[NamedColorNameLength + 1], suffix[NamedColorNameLength + 1];
    if (sizeOfTag < 76 || !readUInt32(io, &vendorFlag) || !readUInt32(io, &colors) ||
        !readUInt32(io, &coordinates))
        return nullptr;
    if (coordinates > MaxDeviceCoordinates) {
        reportError(self->ctx, ErrRange, "Too many device coordinates '%u'", coordinates);
        return nullptr;
    }
    if (!readName32(io, prefix) || !readName32(io, suffix)) return nullptr;
    using Owned = std::unique_ptr<NamedColorList, decltype(&freeNamedColorList)>;
    Owned list(newNamedColorList(self->ctx, colors, coordinates, prefix, suffix), &freeNamedColorList);
    if (!list) return nullptr;   // the constructor reports a count it refuses
    if (colors > (sizeOfTag - 76) / (38 + 2 * coordinates)) return nullptr;
    list->vendorFlag = vendorFlag;
    for (uint32_t i = 0; i < colors; ++i) {
        char name[NamedColorNameLength + 1];
        uint16_t pcs[3], device[MaxDeviceCoordinates];
        if (!readName32(io, name) || !readUInt16Array(io, 3, pcs) || !readUInt16Array(io, coordinates, device) ||
            !appendNamedColor(list.get(), name, pcs, device))
            return nullptr;
    }
    *count = 1;
    return list.release();
}

bool namedColorWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* list = static_cast<const NamedColorList*>(object);
    if (!writeUInt32(io, list->vendorFlag) || !writeUInt32(io, list->count) ||
        !writeUInt32(io, list->deviceCoordinates) || !writeName32(io, list->prefix) || !writeName32(io, list->suffix))
        return false;
    for (uint32_t i = 0; i < list->count; ++i) {
        const NamedColor& c = list->colors[i];
        if (!writeName32(io, c.name) || !writeUInt16Array(io, 3, c.pcs) ||
            (list->deviceCoordinates && !writeUInt16Array(io, list->deviceCoordinates, c.device)))
            return false;
    }
    return true;
}

void* namedColorDuplicate(TagTypeHandler*, const void* object, uint32_t)
{
    return duplicateNamedColorList(static_cast<const NamedColorList*>(object));
}

void namedColorFree(TagTypeHandler*, void* object)
{
    freeNamedColorList(static_cast<NamedColorList*>(object));
}

void* colorantTableRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    uint32_t colorants;
    if (sizeOfTag < 4 || !readUInt32(io, &colorants)) return nullptr;
    if (colorants > MaxColorants) {
        reportError(self->ctx, ErrRange, "Too many colorants '%u'", colorants);
        return nullptr;
    }
    if (colorants > (sizeOfTag - 4) / 38) return nullptr;
    using Owned = std::unique_ptr<NamedColorList, decltype(&freeNamedColorList)>;
    Owned list(newNamedColorList(self->ctx, colorants, 0, "", ""), &freeNamedColorList);
    if (!list) return nullptr;
    for (uint32_t i = 0; i < colorants; ++i) {
        char name[NamedColorNameLength + 1];
        uint16_t pcs[3];
        if (!readName32(io, name) || !readUInt16Array(io, 3, pcs) || !appendNamedColor(list.get(), name, pcs, nullptr))
            return nullptr;
    }
    *count = 1;
    return list.release();
}

bool colorantTableWrite(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    const auto* list = static_cast<const NamedColorList*>(object);
    if (list->count > MaxColorants) {
        reportError(self->ctx, ErrRange, "Too many colorants '%u'", list->count);
        return false;
    }
    if (!writeUInt32(io, list->count)) return false;
    for (uint32_t i = 0; i < list->count; ++i)
        if (!writeName32(io, list->colors[i].name) || !writeUInt16Array(io, 3, list->colors[i].pcs)) return false;
    return true;
}

// ---------------------------------------------------------------------------
// 'pseq', 'psid'
// ---------------------------------------------------------------------------

using OwnedSequence = std::unique_ptr<ProfileSequence, decltype(&freeProfileSequence)>;

void* sequenceRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    uint32_t profiles;
    if (sizeOfTag < 4 || !readUInt32(io, &profiles)) return nullptr;
    uint32_t left = sizeOfTag - 4;
    if (profiles > left / 20) return nullptr;
    OwnedSequence seq(newProfileSequence(self->ctx, profiles), &freeProfileSequence);
    if (!seq) return nullptr;
    for (uint32_t i = 0; i < profiles; ++i) {
        ProfileSequenceItem& item = seq->items[i];
        if (left < 20 || !readUInt32(io, &item.manufacturer) || !readUInt32(io, &item.model) ||
            !readUInt64(io, &item.attributes) || !readUInt32(io, &item.technology))
            return nullptr;
        left -= 20;
        for (LocalizedText** text : {&item.manufacturerText, &item.modelText}) {
            uint32_t used = 0;
            *text = readEmbeddedText(self, io, left, &used);
            if (!*text) return nullptr;
            left -= used;
        }
    }
    *count = 1;
    return seq.release();
}

bool sequenceWrite(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    const auto* seq = static_cast<const ProfileSequence*>(object);
    if (!writeUInt32(io, seq->count)) return false;
    for (uint32_t i = 0; i < seq->count; ++i) {
        const ProfileSequenceItem& item = seq->items[i];
        if (!writeUInt32(io, item.manufacturer) || !writeUInt32(io, item.model) ||
            !writeUInt64(io, item.attributes) || !writeUInt32(io, item.technology) ||
            !writeEmbeddedText(self, io, item.manufacturerText) || !writeEmbeddedText(self, io, item.modelText))
            return false;
    }
    return true;
}

void* sequenceDuplicate(TagTypeHandler*, const void* object, uint32_t)
{
    return duplicateProfileSequence(static_cast<const ProfileSequence*>(object));
}

void sequenceFree(TagTypeHandler*, void* object)
{
    freeProfileSequence(static_cast<ProfileSequence*>(object));
}

void* sequenceIdRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    const uint32_t start = tagStart(io);
    const uint32_t tagEnd = sizeOfTag + 8;
    uint32_t profiles;
    if (sizeOfTag < 4 || !readUInt32(io, &profiles)) return nullptr;
    if (profiles > (sizeOfTag - 4) / 8) return nullptr;
    std::vector<TagSpan> spans(profiles);
    for (TagSpan& s : spans)
        if (!readUInt32(io, &s.offset) || !readUInt32(io, &s.size) || !spanInside(s, tagEnd) || s.size < 16)
            return nullptr;
    if (!spansWithinBudget(spans, tagEnd)) return nullptr;
    OwnedSequence seq(newProfileSequence(self->ctx, profiles), &freeProfileSequence);
    if (!seq) return nullptr;
    for (uint32_t i = 0; i < profiles; ++i) {
        ProfileSequenceItem& item = seq->items[i];
        uint32_t used;
        if (!io->seek(io, start + spans[i].offset) || !readBytes(io, item.profileId, 16)) return nullptr;
        item.description = readEmbeddedText(self, io, spans[i].size - 16, &used);
        if (!item.description) return nullptr;
    }
    *count = 1;
    return seq.release();
}

bool sequenceIdWrite(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    const auto* seq = static_cast<const ProfileSequence*>(object);
    return writeWithLayout<std::vector<TagSpan>>(
        io, [&](IoHandler* out, const std::vector<TagSpan>& known, std::vector<TagSpan>& found) {
            const uint32_t start = tagStart(out);
            found.assign(seq->count, TagSpan{});
            if (!writeUInt32(out, seq->count)) return false;
            for (uint32_t i = 0; i < seq->count; ++i) {
                const TagSpan s = i < known.size() ? known[i] : TagSpan{};
                if (!writeUInt32(out, s.offset) || !writeUInt32(out, s.size)) return false;
            }
            for (uint32_t i = 0; i < seq->count; ++i) {
                const uint32_t at = out->tell(out) - start;
                if (!out->write(out, 16, seq->items[i].profileId) ||
                    !writeTypeBase(out, MlucType) || !writeMlucBody(out, seq->items[i].description))
                    return false;
                found[i] = TagSpan{at, out->tell(out) - start - at};
                if (!writeAlignment(out)) return false;
            }
            return true;
        });
}

// ---------------------------------------------------------------------------
// 'dict'
// ---------------------------------------------------------------------------

using OwnedDictionary = std::unique_ptr<IccDictionary, decltype(&freeDictionary)>;

// A UTF-16 string of the dictionary as wide text; an empty span with offset 0 is no string.
bool readDictString(IoHandler* io, uint32_t start, const TagSpan& s, std::vector<wchar_t>& out)
{
    if (s.size & 1) return false;
    std::vector<uint16_t> units(s.size / 2);
    if (!io->seek(io, start + s.offset) || !readUInt16Array(io, uint32_t(units.size()), units.data())) return false;
    out.assign(size_t(utf16ToWide(units.data(), uint32_t(units.size()), nullptr)) + 1, 0);
    utf16ToWide(units.data(), uint32_t(units.size()), out.data());
    return true;
}

bool readDictText(TagTypeHandler* self, IoHandler* io, uint32_t start, const TagSpan& s, OwnedText& out)
{
    uint32_t used;
    if (!io->seek(io, start + s.offset)) return false;
    out.reset(readEmbeddedText(self, io, s.size, &used));
    return out != nullptr;
}

void* dictRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    const uint32_t start = tagStart(io);
    const uint32_t tagEnd = sizeOfTag + 8;
    uint32_t entries, recordLength;
    if (sizeOfTag < 8 || !readUInt32(io, &entries) || !readUInt32(io, &recordLength)) return nullptr;
    if (recordLength != 16 && recordLength != 24 && recordLength != 32) {
        reportError(self->ctx, ErrUnknownExtension, "Unknown record length in dictionary '%u'", recordLength);
        return nullptr;
    }
    if (entries > (sizeOfTag - 8) / recordLength) return nullptr;
    const uint32_t parts = recordLength / 8;   // name, value, display name, display value
    std::vector<TagSpan> spans(size_t(entries) * parts);
    for (TagSpan& s : spans)
        if (!readUInt32(io, &s.offset) || !readUInt32(io, &s.size)) return nullptr;
    if (!spansWithinBudget(spans, tagEnd)) {
        reportError(self->ctx, ErrCorruptionDetected, "Bad dictionary Name/Value");
        return nullptr;
    }

    OwnedDictionary dict(newDictionary(self->ctx), &freeDictionary);
    if (!dict) return nullptr;
    for (uint32_t i = 0; i < entries; ++i) {
        const TagSpan* s = &spans[size_t(i) * parts];
        auto bad = [&] {
            reportError(self->ctx, ErrCorruptionDetected, "Bad dictionary Name/Value");
            return nullptr;
        };
        for (uint32_t k = 0; k < parts; ++k)
            if (!spanInside(s[k], tagEnd)) return bad();
        std::vector<wchar_t> name, value;
        if (s[0].offset == 0 || !readDictString(io, start, s[0], name)) return bad();
        if (s[1].offset != 0 && !readDictString(io, start, s[1], value)) return bad();
        OwnedText displayName(nullptr, &freeLocalizedText), displayValue(nullptr, &freeLocalizedText);
        if (parts > 2 && s[2].offset != 0 && !readDictText(self, io, start, s[2], displayName)) return nullptr;
        if (parts > 3 && s[3].offset != 0 && !readDictText(self, io, start, s[3], displayValue)) return nullptr;
        if (!addDictionaryEntry(dict.get(), name.data(), s[1].offset ? value.data() : nullptr, displayName.get(),
                                displayValue.get()))
            return nullptr;
    }
    *count = 1;
    return dict.release();
}

bool writeDictString(IoHandler* io, const wchar_t* s)
{
    const size_t n = std::wcslen(s);
    if (n > MaxAllocation / 4) return false;
    std::vector<uint16_t> units(2 * n + 1);
    const uint32_t k = wideToUtf16(s, n, units.data());
    return writeUtf16(io, units.data(), k);
}

bool dictWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* dict = static_cast<const IccDictionary*>(object);
    uint32_t entries = 0, parts = 2;
    for (const DictEntry* e = dictionaryEntries(dict); e; e = e->next) {
        ++entries;
        if (e->displayName && parts < 3) parts = 3;
        if (e->displayValue) parts = 4;
    }
    return writeWithLayout<std::vector<TagSpan>>(io, [&](IoHandler* out, const std::vector<TagSpan>& known,
                                                      std::vector<TagSpan>& found) {
        const uint32_t start = tagStart(out);
        found.assign(size_t(entries) * parts, TagSpan{});
        if (!writeUInt32(out, entries) || !writeUInt32(out, parts * 8)) return false;
        for (size_t i = 0; i < found.size(); ++i) {
            const TagSpan s = i < known.size() ? known[i] : TagSpan{};
            if (!writeUInt32(out, s.offset) || !writeUInt32(out, s.size)) return false;
        }
        size_t i = 0;
        for (const DictEntry* e = dictionaryEntries(dict); e; e = e->next, i += parts) {
            // Each present part lands aligned; absent ones keep offset 0.
            auto place = [&](uint32_t k, auto&& writePart) {
                const uint32_t at = out->tell(out) - start;
                if (!writePart()) return false;
                found[i + k] = TagSpan{at, out->tell(out) - start - at};
                return writeAlignment(out);
            };
            if (!place(0, [&] { return writeDictString(out, e->name); })) return false;
            if (e->value && !place(1, [&] { return writeDictString(out, e->value); })) return false;
            if (parts > 2 && e->displayName &&
                !place(2, [&] { return writeTypeBase(out, MlucType) && writeMlucBody(out, e->displayName); }))
                return false;
            if (parts > 3 && e->displayValue &&
                !place(3, [&] { return writeTypeBase(out, MlucType) && writeMlucBody(out, e->displayValue); }))
                return false;
        }
        return true;
    });
}

void* dictDuplicate(TagTypeHandler*, const void* object, uint32_t)
{
    return duplicateDictionary(static_cast<const IccDictionary*>(object));
}

void dictFree(TagTypeHandler*, void* object)
{
    freeDictionary(static_cast<IccDictionary*>(object));
}

// ---------------------------------------------------------------------------
// 'bfd ', 'crdi'
// ---------------------------------------------------------------------------

bool readUcrBgCurve(EngineContext* ctx, IoHandler* io, uint32_t* left, ToneCurve** curve)
{
    uint32_t n;
    if (*left < 4 || !readUInt32(io, &n)) return false;
    *left -= 4;
    if (n > *left / 2) return false;
    *left -= 2 * n;
    if (n == 0) return true;
    std::vector<uint16_t> values(n);
    if (!readUInt16Array(io, n, values.data())) return false;
    *curve = buildTabulatedCurve16(ctx, n, values.data());
    return *curve != nullptr;
}

void freeUcrBg(EngineContext* ctx, UcrBg* u)
{
    if (!u) return;
    freeCurve(u->ucr);
    freeCurve(u->bg);
    freeLocalizedText(u->description);
    engineFree(ctx, u);
}

void* ucrBgRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    auto* u = static_cast<UcrBg*>(engineAllocZero(self->ctx, sizeof(UcrBg)));
    if (!u) return nullptr;
    uint32_t left = sizeOfTag;
    bool ok = readUcrBgCurve(self->ctx, io, &left, &u->ucr) && readUcrBgCurve(self->ctx, io, &left, &u->bg);
    if (ok) {
        u->description = newLocalizedText(self->ctx, 1);
        ok = u->description && addNarrowFromStream(io, u->description, left, nullptr, nullptr);
    }
    if (!ok) {
        freeUcrBg(self->ctx, u);
        return nullptr;
    }
    *count = 1;
    return u;
}

bool writeUcrBgCurve(IoHandler* io, const ToneCurve* curve)
{
    const uint32_t n = curve ? tableEntryCount(curve) : 0;
    return writeUInt32(io, n) && (n == 0 || writeUInt16Array(io, n, tableEntries(curve)));
}

bool ucrBgWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* u = static_cast<const UcrBg*>(object);
    const std::vector<char> text = narrowText(u->description, 0, 0);
    return writeUcrBgCurve(io, u->ucr) && writeUcrBgCurve(io, u->bg) &&
           (text.empty() || io->write(io, uint32_t(text.size()), text.data())) && writeUInt8(io, 0);
}

void* ucrBgDuplicate(TagTypeHandler* self, const void* object, uint32_t)
{
    const auto* from = static_cast<const UcrBg*>(object);
    auto* u = static_cast<UcrBg*>(engineAllocZero(self->ctx, sizeof(UcrBg)));
    if (!u) return nullptr;
    bool ok = true;
    if (from->ucr) ok = (u->ucr = duplicateCurve(from->ucr)) != nullptr;
    if (ok && from->bg) ok = (u->bg = duplicateCurve(from->bg)) != nullptr;
    if (ok && from->description) ok = (u->description = duplicateLocalizedText(from->description)) != nullptr;
    if (!ok) {
        freeUcrBg(self->ctx, u);
        return nullptr;
    }
    return u;
}

void ucrBgFree(TagTypeHandler* self, void* object)
{
    freeUcrBg(self->ctx, static_cast<UcrBg*>(object));
}

// The product name and the CRD names of the four intents.
constexpr const char* CrdCountries[] = {"nm", "#0", "#1", "#2", "#3"};

void* crdInfoRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    OwnedText text(newLocalizedText(self->ctx, 5), &freeLocalizedText);
    if (!text) return nullptr;
    uint32_t left = sizeOfTag;
    for (const char* country : CrdCountries) {
        uint32_t n;
        if (left < 4 || !readUInt32(io, &n) || n > left - 4) return nullptr;
        left -= 4 + n;
        if (!addNarrowFromStream(io, text.get(), n, "PS", country)) return nullptr;
    }
    *count = 1;
    return text.release();
}

bool crdInfoWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* text = static_cast<const LocalizedText*>(object);
    for (const char* country : CrdCountries) {
        // Only the entry itself: a missing name is written empty.
        const TextEntry* e = findTextEntry(text, packTextCode("PS"), packTextCode(country));
        const bool exact = e && e->language == packTextCode("PS") && e->country == packTextCode(country);
        const std::vector<char> name =
            exact ? narrowText(text, e->language, e->country) : std::vector<char>{};
        if (!writeUInt32(io, uint32_t(name.size()) + 1) ||
            (!name.empty() && !io->write(io, uint32_t(name.size()), name.data())) || !writeUInt8(io, 0))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// 'MHC2': a matrix and three curves, kept in one block after the record
// ---------------------------------------------------------------------------

Mhc2* newMhc2(EngineContext* ctx, uint32_t entries)
{
    if (entries > (MaxAllocation - sizeof(Mhc2)) / (3 * sizeof(double))) return nullptr;
    auto* m = static_cast<Mhc2*>(engineAllocZero(ctx, sizeof(Mhc2) + 3 * size_t(entries) * sizeof(double)));
    if (!m) return nullptr;
    m->entryCount = entries;
    auto* curves = reinterpret_cast<double*>(m + 1);
    m->red = curves;
    m->green = curves + entries;
    m->blue = curves + 2 * size_t(entries);
    return m;
}

void* mhc2Read(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    const uint32_t start = tagStart(io);
    const uint32_t tagEnd = sizeOfTag + 8;
    uint32_t entries, offsets[4];
    double minLuminance, peakLuminance;
    if (sizeOfTag < 28 || !readUInt32(io, &entries) || !readS15Fixed16(io, &minLuminance) ||
        !readS15Fixed16(io, &peakLuminance))
        return nullptr;
    for (uint32_t& o : offsets)
        if (!readUInt32(io, &o)) return nullptr;
    if (entries == 0 || entries > sizeOfTag / 4) return nullptr;
    if (!spanInside(TagSpan{offsets[0], 48}, tagEnd) || offsets[0] < 36) return nullptr;
    for (int i = 1; i < 4; ++i)
        if (offsets[i] < 36 || !spanInside(TagSpan{offsets[i], 8 + 4 * entries}, tagEnd)) return nullptr;

    Mhc2* m = newMhc2(self->ctx, entries);
    if (!m) return nullptr;
    EngineBuffer<Mhc2> owner(m, EngineFree{self->ctx});
    m->minLuminance = minLuminance;
    m->peakLuminance = peakLuminance;
    if (!io->seek(io, start + offsets[0])) return nullptr;
    for (double& v : m->matrix)
        if (!readS15Fixed16(io, &v)) return nullptr;
    double* curves[3] = {m->red, m->green, m->blue};
    for (int c = 0; c < 3; ++c) {
        uint32_t type;
        if (!io->seek(io, start + offsets[c + 1]) || !readTypeBase(io, &type) || type != sig("sf32")) return nullptr;
        for (uint32_t i = 0; i < entries; ++i)
            if (!readS15Fixed16(io, curves[c] + i)) return nullptr;
    }
    *count = 1;
    return owner.release();
}

bool mhc2Write(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* m = static_cast<const Mhc2*>(object);
    if (m->entryCount == 0 || !m->red || !m->green || !m->blue) return false;
    struct Offsets {
        uint32_t at[4];
    };
    return writeWithLayout<Offsets>(io, [&](IoHandler* out, const Offsets& known, Offsets& found) {
        const uint32_t start = tagStart(out);
        if (!writeUInt32(out, m->entryCount) || !writeS15Fixed16(out, m->minLuminance) ||
            !writeS15Fixed16(out, m->peakLuminance))
            return false;
        for (uint32_t o : known.at)
            if (!writeUInt32(out, o)) return false;
        found.at[0] = out->tell(out) - start;
        for (double v : m->matrix)
            if (!writeS15Fixed16(out, v)) return false;
        const double* curves[3] = {m->red, m->green, m->blue};
        for (int c = 0; c < 3; ++c) {
            found.at[c + 1] = out->tell(out) - start;
            if (!writeTypeBase(out, sig("sf32"))) return false;
            for (uint32_t i = 0; i < m->entryCount; ++i)
                if (!writeS15Fixed16(out, curves[c][i])) return false;
        }
        return true;
    });
}

void* mhc2Duplicate(TagTypeHandler* self, const void* object, uint32_t)
{
    const auto* from = static_cast<const Mhc2*>(object);
    if (!from->red || !from->green || !from->blue) return nullptr;
    Mhc2* m = newMhc2(self->ctx, from->entryCount);
    if (!m) return nullptr;
    m->minLuminance = from->minLuminance;
    m->peakLuminance = from->peakLuminance;
    std::memcpy(m->matrix, from->matrix, sizeof m->matrix);
    const size_t bytes = size_t(from->entryCount) * sizeof(double);
    if (bytes) {
        std::memcpy(m->red, from->red, bytes);
        std::memcpy(m->green, from->green, bytes);
        std::memcpy(m->blue, from->blue, bytes);
    }
    return m;
}

// ---------------------------------------------------------------------------
// The table of built-in handlers
// ---------------------------------------------------------------------------

#define OSL_HANDLER(sigText, read, write, dup, free) {sig(sigText), read, write, dup, free, nullptr, 0}

const TagTypeHandler BuiltinTypes[] = {
    OSL_HANDLER("XYZ ", xyzRead, xyzWrite, xyzDuplicate, plainFree),
    {BrokenXyzType, xyzRead, xyzWrite, xyzDuplicate, plainFree, nullptr, 0},
    OSL_HANDLER("chrm", chromaticityRead, chromaticityWrite, recordDuplicate<Chromaticities>, plainFree),
    OSL_HANDLER("clro", colorantOrderRead, colorantOrderWrite, recordDuplicate<ColorantOrder>, plainFree),
    OSL_HANDLER("clrt", colorantTableRead, colorantTableWrite, namedColorDuplicate, namedColorFree),
    OSL_HANDLER("sf32", fixedArrayRead<true>, fixedArrayWrite<true>, doubleArrayDuplicate, plainFree),
    OSL_HANDLER("uf32", fixedArrayRead<false>, fixedArrayWrite<false>, doubleArrayDuplicate, plainFree),
    OSL_HANDLER("text", textRead, textWrite, textDuplicate, textFree),
    OSL_HANDLER("desc", descRead, descWrite, textDuplicate, textFree),
    OSL_HANDLER("mluc", mlucRead, mlucWrite, textDuplicate, textFree),
    OSL_HANDLER("dtim", dateTimeRead, dateTimeWrite, recordDuplicate<std::tm>, plainFree),
    OSL_HANDLER("ncl2", namedColorRead, namedColorWrite, namedColorDuplicate, namedColorFree),
    OSL_HANDLER("pseq", sequenceRead, sequenceWrite, sequenceDuplicate, sequenceFree),
    OSL_HANDLER("psid", sequenceIdRead, sequenceIdWrite, sequenceDuplicate, sequenceFree),
    OSL_HANDLER("sig ", signatureRead, signatureWrite, recordDuplicate<uint32_t>, plainFree),
    OSL_HANDLER("meas", measurementRead, measurementWrite, recordDuplicate<IccMeasurement>, plainFree),
    OSL_HANDLER("data", dataRead, dataWrite, dataDuplicate, plainFree),
    OSL_HANDLER("bfd ", ucrBgRead, ucrBgWrite, ucrBgDuplicate, ucrBgFree),
    OSL_HANDLER("crdi", crdInfoRead, crdInfoWrite, textDuplicate, textFree),
    OSL_HANDLER("scrn", screeningRead, screeningWrite, recordDuplicate<IccScreening>, plainFree),
    OSL_HANDLER("view", viewingRead, viewingWrite, recordDuplicate<IccViewingConditions>, plainFree),
    OSL_HANDLER("dict", dictRead, dictWrite, dictDuplicate, dictFree),
    OSL_HANDLER("cicp", cicpRead, cicpWrite, recordDuplicate<VideoSignalType>, plainFree),
    OSL_HANDLER("MHC2", mhc2Read, mhc2Write, mhc2Duplicate, plainFree),
};

#undef OSL_HANDLER

// ---------------------------------------------------------------------------
// Tag descriptors
// ---------------------------------------------------------------------------

uint32_t textTypeByVersion(double version, const void*)
{
    return version >= 4.0 ? MlucType : TextType;
}

uint32_t descriptionTypeByVersion(double version, const void*)
{
    return version >= 4.0 ? MlucType : DescType;
}

// Version 4 writes a one-piece formula of ICC's five kinds as 'para'; all
// else goes as 'curv' (a gamma or the 16-bit table).
uint32_t curveTypeByVersion(double version, const void* object)
{
    const auto* curve = static_cast<const ToneCurve*>(object);
    const int32_t type = parametricTypeOf(curve);
    if (version >= 4.0 && curveSegmentCount(curve) == 1 && type >= 1 && type <= 5) return sig("para");
    return sig("curv");
}

// Version 2 has only the 8- and 16-bit tables. Version 4 prefers the A-to-B
// and B-to-A forms, but keeps the 16-bit table for a pipeline only it can hold.
uint32_t lutTypeFor(double version, const void* object, uint32_t modern, bool (*fitsModern)(const Pipeline*))
{
    const auto* pipeline = static_cast<const Pipeline*>(object);
    if (version < 4.0) return pipelineSaveAs8Bits(pipeline) ? sig("mft1") : sig("mft2");
    if (!fitsModern(pipeline) && pipelineFitsLut16(pipeline)) return sig("mft2");
    return modern;
}

uint32_t lutAToBTypeByVersion(double version, const void* object)
{
    return lutTypeFor(version, object, sig("mAB "), pipelineFitsLutAToB);
}

uint32_t lutBToATypeByVersion(double version, const void* object)
{
    return lutTypeFor(version, object, sig("mBA "), pipelineFitsLutBToA);
}

struct BuiltinTag {
    uint32_t signature;
    TagDescriptor descriptor;
};

constexpr TagDescriptor Lut16Tag{1, 3, {sig("mft2"), sig("mAB "), sig("mft1")}, lutAToBTypeByVersion};
constexpr TagDescriptor Lut16InverseTag{1, 3, {sig("mft2"), sig("mBA "), sig("mft1")}, lutBToATypeByVersion};
constexpr TagDescriptor XyzTag{1, 2, {sig("XYZ "), BrokenXyzType}, nullptr};
constexpr TagDescriptor CurveTag{1, 3, {sig("curv"), sig("para"), BrokenCurveType}, curveTypeByVersion};
constexpr TagDescriptor GrayCurveTag{1, 2, {sig("curv"), sig("para")}, curveTypeByVersion};
constexpr TagDescriptor CopyrightTag{1, 3, {TextType, MlucType, DescType}, textTypeByVersion};
constexpr TagDescriptor DescriptionTag{1, 3, {DescType, MlucType, TextType}, descriptionTypeByVersion};
constexpr TagDescriptor MatrixTag{9, 1, {sig("sf32")}, nullptr};

constexpr TagDescriptor only(uint32_t type)
{
    return TagDescriptor{1, 1, {type}, nullptr};
}

const BuiltinTag BuiltinTags[] = {
    {sig("A2B0"), Lut16Tag},        {sig("A2B1"), Lut16Tag},        {sig("A2B2"), Lut16Tag},
    {sig("B2A0"), Lut16InverseTag}, {sig("B2A1"), Lut16InverseTag}, {sig("B2A2"), Lut16InverseTag},
    {sig("gamt"), Lut16InverseTag}, {sig("pre0"), Lut16InverseTag}, {sig("pre1"), Lut16InverseTag},
    {sig("pre2"), Lut16InverseTag},
    {sig("rXYZ"), XyzTag},          {sig("gXYZ"), XyzTag},          {sig("bXYZ"), XyzTag},
    {sig("wtpt"), XyzTag},          {sig("bkpt"), XyzTag},          {sig("lumi"), only(sig("XYZ "))},
    {sig("rTRC"), CurveTag},        {sig("gTRC"), CurveTag},        {sig("bTRC"), CurveTag},
    {sig("kTRC"), GrayCurveTag},
    {sig("cprt"), CopyrightTag},
    {sig("desc"), DescriptionTag},  {sig("dmnd"), DescriptionTag},  {sig("dmdd"), DescriptionTag},
    {sig("vued"), DescriptionTag},
    {sig("scrd"), only(DescType)},  {sig("dscm"), only(MlucType)},  {sig("targ"), only(TextType)},
    {sig("chad"), MatrixTag},       {sig("arts"), MatrixTag},
    {sig("calt"), only(sig("dtim"))}, {sig("dtim"), only(sig("dtim"))},
    {sig("chrm"), only(sig("chrm"))}, {sig("clro"), only(sig("clro"))}, {sig("clrt"), only(sig("clrt"))},
    {sig("clot"), only(sig("clrt"))}, {sig("ncl2"), only(sig("ncl2"))}, {sig("pseq"), only(sig("pseq"))},
    {sig("psid"), only(sig("psid"))}, {sig("meas"), only(sig("meas"))}, {sig("bfd "), only(sig("bfd "))},
    {sig("crdi"), only(sig("crdi"))}, {sig("view"), only(sig("view"))}, {sig("scrn"), only(sig("scrn"))},
    {sig("vcgt"), only(sig("vcgt"))}, {sig("cicp"), only(sig("cicp"))}, {sig("MHC2"), only(sig("MHC2"))},
    {sig("tech"), only(sig("sig "))}, {sig("ciis"), only(sig("sig "))}, {sig("rig0"), only(sig("sig "))},
    {sig("rig2"), only(sig("sig "))},
    {sig("psd0"), only(sig("data"))}, {sig("psd1"), only(sig("data"))}, {sig("psd2"), only(sig("data"))},
    {sig("psd3"), only(sig("data"))}, {sig("ps2s"), only(sig("data"))}, {sig("ps2i"), only(sig("data"))},
    {sig("meta"), only(sig("dict"))},
    {sig("D2B0"), only(sig("mpet"))}, {sig("D2B1"), only(sig("mpet"))}, {sig("D2B2"), only(sig("mpet"))},
    {sig("D2B3"), only(sig("mpet"))}, {sig("B2D0"), only(sig("mpet"))}, {sig("B2D1"), only(sig("mpet"))},
    {sig("B2D2"), only(sig("mpet"))}, {sig("B2D3"), only(sig("mpet"))},
};

} // namespace

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------

const TagDescriptor* findTagDescriptor(EngineContext* ctx, uint32_t sig)
{
    for (PluginBase* r = pluginChain(ctx, SlotTags); r; r = r->next) {
        auto* plugin = reinterpret_cast<PluginTag*>(r);
        if (plugin->signature == sig) return &plugin->descriptor;
    }
    for (const BuiltinTag& t : BuiltinTags)
        if (t.signature == sig) return &t.descriptor;
    return nullptr;
}

const TagTypeHandler* findTypeHandler(EngineContext* ctx, uint32_t typeSig)
{
    for (PluginBase* r = pluginChain(ctx, SlotTagTypes); r; r = r->next) {
        auto* plugin = reinterpret_cast<PluginTagType*>(r);
        if (plugin->handler.signature == typeSig) return &plugin->handler;
    }
    for (const TagTypeHandler& h : BuiltinTypes)
        if (h.signature == typeSig) return &h;
    uint32_t n = 0;
    const TagTypeHandler* lut = curveAndLutTypeHandlers(&n);
    for (uint32_t i = 0; i < n; ++i)
        if (lut[i].signature == typeSig) return &lut[i];
    return nullptr;
}

bool isTypeAllowed(const TagDescriptor* descriptor, uint32_t typeSig)
{
    const uint32_t n = descriptor->typeCount < MaxTypesInTag ? descriptor->typeCount : MaxTypesInTag;
    for (uint32_t i = 0; i < n; ++i)
        if (descriptor->supportedTypes[i] == typeSig) return true;
    return false;
}

void* callTypeRead(const TagTypeHandler* h, EngineContext* ctx, uint32_t version, IoHandler* io, uint32_t* count,
                   uint32_t sizeOfTag)
{
    TagTypeHandler call = *h;
    call.ctx = ctx;
    call.iccVersion = version;
    return call.read(&call, io, count, sizeOfTag);
}

bool callTypeWrite(const TagTypeHandler* h, EngineContext* ctx, uint32_t version, IoHandler* io, void* object,
                   uint32_t count)
{
    TagTypeHandler call = *h;
    call.ctx = ctx;
    call.iccVersion = version;
    return call.write && call.write(&call, io, object, count);
}

void* callTypeDuplicate(const TagTypeHandler* h, EngineContext* ctx, uint32_t version, const void* object,
                        uint32_t count)
{
    TagTypeHandler call = *h;
    call.ctx = ctx;
    call.iccVersion = version;
    return call.duplicate ? call.duplicate(&call, object, count) : nullptr;
}

void callTypeFree(const TagTypeHandler* h, EngineContext* ctx, void* object)
{
    TagTypeHandler call = *h;
    call.ctx = ctx;
    if (call.free)
        call.free(&call, object);
    else
        engineFree(ctx, object);
}
