// Tag types: the registry of type handlers and tag descriptors, and the
// built-in handlers.
#include "oslinternal.h"

#include <cstring>
#include <iterator>

namespace {

// ---------------------------------------------------------------------------
// Type handlers
// ---------------------------------------------------------------------------

// Signatures that broken writers put in place of 'XYZ ' and 'curv'; read as those.
constexpr uint32_t BrokenXyzType = 0x17A505B8;
constexpr uint32_t BrokenCurveType = 0x9478EE00;

// --- 'XYZ ': one XYZ number; further numbers in the tag are ignored.

void* xyzRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    if (sizeOfTag < 12) return nullptr;
    auto* xyz = static_cast<CieXyz*>(engineAlloc(self->ctx, sizeof(CieXyz)));
    if (!xyz) return nullptr;
    if (!readXyzNumber(io, xyz)) {
        engineFree(self->ctx, xyz);
        return nullptr;
    }
    *count = 1;
    return xyz;
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

void plainFree(TagTypeHandler* self, void* object)
{
    engineFree(self->ctx, object);
}

// --- 'sf32': an array of s15Fixed16 numbers, held as doubles.

void* s15ArrayRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    const uint32_t n = sizeOfTag / 4;
    if (n == 0) return nullptr;
    auto values = engineArray<double>(self->ctx, n);
    if (!values) return nullptr;
    for (uint32_t i = 0; i < n; ++i)
        if (!readS15Fixed16(io, values.get() + i)) return nullptr;
    *count = n;
    return values.release();
}

bool s15ArrayWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t count)
{
    const auto* values = static_cast<const double*>(object);
    for (uint32_t i = 0; i < count; ++i)
        if (!writeS15Fixed16(io, values[i])) return false;
    return true;
}

void* s15ArrayDuplicate(TagTypeHandler* self, const void* object, uint32_t count)
{
    if (count == 0) return nullptr;
    return engineDup(self->ctx, object, size_t(count) * sizeof(double));
}

const TagTypeHandler BuiltinTypes[] = {
    {sig("XYZ "), xyzRead, xyzWrite, xyzDuplicate, plainFree, nullptr, 0},
    {BrokenXyzType, xyzRead, xyzWrite, xyzDuplicate, plainFree, nullptr, 0},
    {sig("sf32"), s15ArrayRead, s15ArrayWrite, s15ArrayDuplicate, plainFree, nullptr, 0},
};

// ---------------------------------------------------------------------------
// Tag descriptors
// ---------------------------------------------------------------------------

uint32_t textTypeByVersion(double version, const void*)
{
    return version >= 4.0 ? sig("mluc") : sig("text");
}

uint32_t descriptionTypeByVersion(double version, const void*)
{
    return version >= 4.0 ? sig("mluc") : sig("desc");
}

struct BuiltinTag {
    uint32_t signature;
    TagDescriptor descriptor;
};

// The types a tag may hold, default first. The choice between the version 2
// and version 4 forms of curves and pipelines depends on the objects and is
// made by the handlers of those types.
constexpr TagDescriptor Lut16Tag{1, 3, {sig("mft2"), sig("mAB "), sig("mft1")}, nullptr};
constexpr TagDescriptor Lut16InverseTag{1, 3, {sig("mft2"), sig("mBA "), sig("mft1")}, nullptr};
constexpr TagDescriptor XyzTag{1, 2, {sig("XYZ "), BrokenXyzType}, nullptr};
constexpr TagDescriptor CurveTag{1, 3, {sig("curv"), sig("para"), BrokenCurveType}, nullptr};
constexpr TagDescriptor GrayCurveTag{1, 2, {sig("curv"), sig("para")}, nullptr};
constexpr TagDescriptor CopyrightTag{1, 3, {sig("text"), sig("mluc"), sig("desc")}, textTypeByVersion};
constexpr TagDescriptor DescriptionTag{1, 3, {sig("desc"), sig("mluc"), sig("text")}, descriptionTypeByVersion};
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
    {sig("scrd"), only(sig("desc"))}, {sig("dscm"), only(sig("mluc"))}, {sig("targ"), only(sig("text"))},
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

// ---------------------------------------------------------------------------
// Localized-text lookup
// ---------------------------------------------------------------------------

// No text tag type is registered yet, so no LocalizedText can come out of a
// profile; the lookup finds nothing until the text types provide it.
uint32_t localizedTextWide(const LocalizedText*, const char*, const char*, wchar_t*, uint32_t)
{
    return 0;
}

uint32_t localizedTextUtf8(const LocalizedText*, const char*, const char*, char*, uint32_t)
{
    return 0;
}
