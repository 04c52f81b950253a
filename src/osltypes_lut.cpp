// Tag types of curves and pipelines: 'curv', 'para', the 8- and 16-bit LUT
// tables ('mft1', 'mft2'), the A-to-B and B-to-A forms ('mAB ', 'mBA '),
// multi-process elements ('mpet' with 'cvst', 'matf', 'clut') and video card
// gamma ('vcgt').
#include "oslinternal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t CurveType = sig("curv");
constexpr uint32_t ParaType = sig("para");
constexpr uint32_t BrokenCurveType = 0x9478EE00;
constexpr uint32_t MaxCurvEntries = 32767;        // longest 'curv' table the reader takes
constexpr uint32_t MaxLut16Entries = 32767;       // longest 'mft2' table the reader takes
constexpr uint32_t Lut16DefaultEntries = 4096;    // curves of unlike tables are resampled to this
constexpr uint32_t MaxLutChannels = 16;           // 'mft1'/'mft2' header limit
constexpr uint32_t MaxMpeChannels = MaxPipelineChannels - 1;

// ICC's parametric function types 0 … 4 are the engine's types 1 … 5.
constexpr uint32_t ParaParameterCounts[] = {1, 3, 4, 5, 7};
// ICC's formula segments 0 … 2 are the engine's types 6 … 8.
constexpr uint32_t FormulaParameterCounts[] = {4, 5, 5};

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// Bytes of the tag left from the stream position, given the tag's start and
// end (both from the start of the stream and the tag respectively).
uint32_t bytesLeft(IoHandler* io, uint32_t start, uint32_t tagEnd)
{
    const uint32_t at = io->tell(io) - start;
    return at <= tagEnd ? tagEnd - at : 0;
}

// Skips to the next multiple of 4 from the start of the tag.
bool alignFrom(IoHandler* io, uint32_t start)
{
    const uint32_t pad = (4 - ((io->tell(io) - start) & 3)) & 3;
    uint8_t skip[3];
    return pad == 0 || io->read(io, skip, pad, 1) == 1;
}

// base^exponent × outputs, or 0 when it overflows or passes the CLUT limit.
uint32_t clutValueCount(uint32_t gridPoints, uint32_t inputs, uint32_t outputs)
{
    uint64_t n = 1;
    for (uint32_t i = 0; i < inputs; ++i) {
        n *= gridPoints;
        if (n >= MaxGridProduct) return 0;
    }
    n *= outputs;
    return n > UINT32_MAX ? 0 : uint32_t(n);
}

uint8_t to8(uint16_t v)
{
    return uint8_t((uint32_t(v) * 65281u + 0x800000u) >> 24);
}

uint16_t from8(uint8_t v)
{
    return uint16_t(v * 257);
}

bool isIdentityCurveTable(const ToneCurve* c)
{
    const uint16_t* t = tableEntries(c);
    return tableEntryCount(c) == 2 && t[0] == 0 && t[1] == 0xFFFF;
}

// ---------------------------------------------------------------------------
// 'curv' and 'para'
// ---------------------------------------------------------------------------

ToneCurve* readCurvBody(EngineContext* ctx, IoHandler* io, uint32_t sizeOfTag)
{
    uint32_t count;
    if (sizeOfTag < 4 || !readUInt32(io, &count)) return nullptr;
    const uint32_t left = sizeOfTag - 4;
    if (count == 0) {
        const double linear = 1.0;
        return buildParametricCurve(ctx, 1, &linear);
    }
    if (count == 1) {
        double gamma;
        if (left < 2 || !readU8Fixed8(io, &gamma)) return nullptr;
        return buildParametricCurve(ctx, 1, &gamma);
    }
    if (count > MaxCurvEntries || count > left / 2) return nullptr;
    std::vector<uint16_t> table(count);
    if (!readUInt16Array(io, count, table.data())) return nullptr;
    return buildTabulatedCurve16(ctx, count, table.data());
}

bool writeCurvBody(EngineContext* ctx, IoHandler* io, const ToneCurve* curve)
{
    if (curveSegmentCount(curve) == 1 && parametricTypeOf(curve) == 1)
        return writeUInt32(io, 1) && writeU8Fixed8(io, curveSegment(curve, 0)->params[0]);
    const uint32_t n = tableEntryCount(curve);
    if (n > MaxCurvEntries) {
        reportError(ctx, ErrNotSuitable, "Curve of %u entries is too long for 'curv'", n);
        return false;
    }
    return writeUInt32(io, n) && writeUInt16Array(io, n, tableEntries(curve));
}

ToneCurve* readParaBody(EngineContext* ctx, IoHandler* io, uint32_t sizeOfTag)
{
    uint16_t type;
    if (sizeOfTag < 4 || !readUInt16(io, &type) || !readUInt16(io, nullptr)) return nullptr;
    if (type > 4) {
        reportError(ctx, ErrUnknownExtension, "Unknown parametric curve type '%d'", int(type));
        return nullptr;
    }
    const uint32_t n = ParaParameterCounts[type];
    if (sizeOfTag - 4 < 4 * n) return nullptr;
    double params[10] = {};
    for (uint32_t i = 0; i < n; ++i)
        if (!readS15Fixed16(io, &params[i])) return nullptr;
    return buildParametricCurve(ctx, int32_t(type) + 1, params);
}

bool writeParaBody(EngineContext* ctx, IoHandler* io, const ToneCurve* curve)
{
    const int32_t type = parametricTypeOf(curve);
    if (curveSegmentCount(curve) != 1 || type < 0) {
        reportError(ctx, ErrUnknownExtension, "Multisegment or Inverted parametric curves cannot be written");
        return false;
    }
    if (type < 1 || type > 5) {
        reportError(ctx, ErrUnknownExtension, "Unsupported parametric curve");
        return false;
    }
    const double* params = curveSegment(curve, 0)->params;
    if (!writeUInt16(io, uint16_t(type - 1)) || !writeUInt16(io, 0)) return false;
    for (uint32_t i = 0; i < ParaParameterCounts[type - 1]; ++i)
        if (!writeS15Fixed16(io, params[i])) return false;
    return true;
}

void* curvRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    ToneCurve* c = readCurvBody(self->ctx, io, sizeOfTag);
    *count = c ? 1 : 0;
    return c;
}

bool curvWrite(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    return writeCurvBody(self->ctx, io, static_cast<const ToneCurve*>(object));
}

void* paraRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    ToneCurve* c = readParaBody(self->ctx, io, sizeOfTag);
    *count = c ? 1 : 0;
    return c;
}

bool paraWrite(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    return writeParaBody(self->ctx, io, static_cast<const ToneCurve*>(object));
}

void* curveDuplicate(TagTypeHandler*, const void* object, uint32_t)
{
    return duplicateCurve(static_cast<const ToneCurve*>(object));
}

void curveFree(TagTypeHandler*, void* object)
{
    freeCurve(static_cast<ToneCurve*>(object));
}

// ---------------------------------------------------------------------------
// Pipeline shapes
// ---------------------------------------------------------------------------

bool isKind(const Stage* s, uint32_t kind)
{
    return s && s->kind == kind;
}

bool isPlain3x3(const Stage* matrix)
{
    return matrix->inputs == 3 && matrix->outputs == 3;
}

bool hasOffsets(const Stage* matrix)
{
    const double* o = stageOffsets(matrix);
    return o && (o[0] != 0 || o[1] != 0 || o[2] != 0);
}

bool isUniformGrid(const Stage* clut)
{
    const uint32_t* g = clutGridPoints(clut);
    for (uint32_t i = 1; i < clut->inputs; ++i)
        if (g[i] != g[0]) return false;
    return true;
}

bool gridFitsBytes(const Stage* clut)
{
    const uint32_t* g = clutGridPoints(clut);
    for (uint32_t i = 0; i < clut->inputs; ++i)
        if (g[i] > 255) return false;
    return true;
}

// The parts of an 'mft1'/'mft2' pipeline: [matrix] [curves] [CLUT] [curves].
struct Lut16Parts {
    const Stage* matrix = nullptr;
    const Stage* pre = nullptr;
    const Stage* clut = nullptr;
    const Stage* post = nullptr;
};

bool splitLut16(const Pipeline* p, Lut16Parts* parts)
{
    const Stage* s = p->first;
    if (isKind(s, StageMatrixKind)) parts->matrix = s, s = s->next;
    if (isKind(s, StageCurvesKind)) parts->pre = s, s = s->next;
    if (isKind(s, StageClutKind)) parts->clut = s, s = s->next;
    if (isKind(s, StageCurvesKind)) parts->post = s, s = s->next;
    return s == nullptr;
}

// The parts of an 'mAB '/'mBA ' pipeline, by element.
struct LutAbParts {
    const Stage* a = nullptr;
    const Stage* clut = nullptr;
    const Stage* m = nullptr;
    const Stage* matrix = nullptr;
    const Stage* b = nullptr;
};

constexpr uint32_t Cv = StageCurvesKind, Mx = StageMatrixKind, Cl = StageClutKind;

bool splitLutAToB(const Pipeline* p, LutAbParts* parts)
{
    Stage* s[5];
    if (matchStageKinds(p, 1, std::array{Cv}.data(), s)) {
        parts->b = s[0];
    } else if (matchStageKinds(p, 3, std::array{Cv, Mx, Cv}.data(), s)) {
        parts->m = s[0], parts->matrix = s[1], parts->b = s[2];
    } else if (matchStageKinds(p, 3, std::array{Cv, Cl, Cv}.data(), s)) {
        parts->a = s[0], parts->clut = s[1], parts->b = s[2];
    } else if (matchStageKinds(p, 5, std::array{Cv, Cl, Cv, Mx, Cv}.data(), s)) {
        parts->a = s[0], parts->clut = s[1], parts->m = s[2], parts->matrix = s[3], parts->b = s[4];
    } else {
        return false;
    }
    return true;
}

bool splitLutBToA(const Pipeline* p, LutAbParts* parts)
{
    Stage* s[5];
    if (matchStageKinds(p, 1, std::array{Cv}.data(), s)) {
        parts->b = s[0];
    } else if (matchStageKinds(p, 3, std::array{Cv, Mx, Cv}.data(), s)) {
        parts->b = s[0], parts->matrix = s[1], parts->m = s[2];
    } else if (matchStageKinds(p, 3, std::array{Cv, Cl, Cv}.data(), s)) {
        parts->b = s[0], parts->clut = s[1], parts->a = s[2];
    } else if (matchStageKinds(p, 5, std::array{Cv, Mx, Cv, Cl, Cv}.data(), s)) {
        parts->b = s[0], parts->matrix = s[1], parts->m = s[2], parts->clut = s[3], parts->a = s[4];
    } else {
        return false;
    }
    return true;
}

bool abPartsWritable(const LutAbParts& parts)
{
    if (parts.matrix && !isPlain3x3(parts.matrix)) return false;
    return !parts.clut || (!clutIsFloat(parts.clut) && gridFitsBytes(parts.clut));
}

// ---------------------------------------------------------------------------
// 'mft2' and 'mft1'
// ---------------------------------------------------------------------------

// Channel curves from n tables of `entries` values each.
Stage* curvesFromTables(EngineContext* ctx, uint32_t n, uint32_t entries, const uint16_t* tables)
{
    std::vector<OwnedCurve> owned;
    std::vector<const ToneCurve*> curves;
    for (uint32_t i = 0; i < n; ++i) {
        owned.emplace_back(buildTabulatedCurve16(ctx, entries, tables + size_t(i) * entries), &freeCurve);
        if (!owned.back()) return nullptr;
        curves.push_back(owned.back().get());
    }
    return newCurvesStage(ctx, n, curves.data());
}

bool appendStage(Pipeline* p, Stage* stage)
{
    return stage && insertStage(p, AtEnd, stage);
}

// The common part of both readers once the tables are in memory.
Pipeline* buildLutPipeline(EngineContext* ctx, uint32_t inputs, uint32_t outputs, uint32_t gridPoints,
                           const double matrix[9], uint32_t inEntries, const uint16_t* inTables,
                           const uint16_t* clut, uint32_t outEntries, const uint16_t* outTables)
{
    OwnedPipeline p(newPipeline(ctx, inputs, outputs), &freePipeline);
    if (!p) return nullptr;
    Mat3 m;
    std::memcpy(m.m, matrix, sizeof m.m);
    if (inputs == 3 && !isIdentity3x3(m) && !appendStage(p.get(), newMatrixStage(ctx, 3, 3, matrix, nullptr)))
        return nullptr;
    if (!appendStage(p.get(), curvesFromTables(ctx, inputs, inEntries, inTables))) return nullptr;
    if (gridPoints > 0 && !appendStage(p.get(), newClut16StageUniform(ctx, gridPoints, inputs, outputs, clut)))
        return nullptr;
    if (!appendStage(p.get(), curvesFromTables(ctx, outputs, outEntries, outTables))) return nullptr;
    return p.release();
}

// Header of both tables: channels, grid and the 3×3 matrix.
bool readLutHeader(IoHandler* io, uint8_t* inputs, uint8_t* outputs, uint8_t* grid, double matrix[9])
{
    if (!readUInt8(io, inputs) || !readUInt8(io, outputs) || !readUInt8(io, grid) || !readUInt8(io, nullptr))
        return false;
    for (int i = 0; i < 9; ++i)
        if (!readS15Fixed16(io, &matrix[i])) return false;
    return *inputs >= 1 && *inputs <= MaxLutChannels && *outputs >= 1 && *outputs <= MaxLutChannels && *grid != 1;
}

void* lut16Read(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    uint8_t inputs, outputs, grid;
    double matrix[9];
    uint16_t inEntries, outEntries;
    if (sizeOfTag < 44 || !readLutHeader(io, &inputs, &outputs, &grid, matrix) || !readUInt16(io, &inEntries) ||
        !readUInt16(io, &outEntries))
        return nullptr;
    if (inEntries < 2 || outEntries < 2 || inEntries > MaxLut16Entries || outEntries > MaxLut16Entries)
        return nullptr;
    const uint32_t clutValues = grid ? clutValueCount(grid, inputs, outputs) : 0;
    if (grid && clutValues == 0) return nullptr;
    const uint64_t values = uint64_t(inputs) * inEntries + clutValues + uint64_t(outputs) * outEntries;
    if (values * 2 > sizeOfTag - 44) return nullptr;

    std::vector<uint16_t> inTables(size_t(inputs) * inEntries), clut(clutValues),
        outTables(size_t(outputs) * outEntries);
    if (!readUInt16Array(io, uint32_t(inTables.size()), inTables.data()) ||
        !readUInt16Array(io, clutValues, clut.data()) ||
        !readUInt16Array(io, uint32_t(outTables.size()), outTables.data()))
        return nullptr;
    Pipeline* p = buildLutPipeline(self->ctx, inputs, outputs, grid, matrix, inEntries, inTables.data(), clut.data(),
                                   outEntries, outTables.data());
    // Lab in a 16-bit table of this type is in the version-2 encoding,
    // whatever the profile's version.
    if (p) setPipelineLabV2(p, true);
    *count = p ? 1 : 0;
    return p;
}

void* lut8Read(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    uint8_t inputs, outputs, grid;
    double matrix[9];
    if (sizeOfTag < 40 || !readLutHeader(io, &inputs, &outputs, &grid, matrix)) return nullptr;
    const uint32_t clutValues = grid ? clutValueCount(grid, inputs, outputs) : 0;
    if (grid && clutValues == 0) return nullptr;
    const uint64_t values = 256ull * inputs + clutValues + 256ull * outputs;
    if (values > sizeOfTag - 40) return nullptr;

    std::vector<uint8_t> bytes(static_cast<size_t>(values));
    if (!bytes.empty() && io->read(io, bytes.data(), uint32_t(bytes.size()), 1) != 1) return nullptr;
    std::vector<uint16_t> wide(bytes.size());
    std::transform(bytes.begin(), bytes.end(), wide.begin(), from8);
    const uint16_t* inTables = wide.data();
    const uint16_t* clut = inTables + 256 * inputs;
    const uint16_t* outTables = clut + clutValues;
    Pipeline* p =
        buildLutPipeline(self->ctx, inputs, outputs, grid, matrix, 256, inTables, clut, 256, outTables);
    // Written back as 8 bits where the profile version allows it.
    if (p) setPipelineSaveAs8Bits(p, true);
    *count = p ? 1 : 0;
    return p;
}

// Channel tables of a curves stage, all of one length: the curves' own when
// they agree (and fit), else resampled.
std::vector<uint16_t> lut16Tables(const Stage* curves, uint32_t channels, uint32_t* entries)
{
    if (!curves) {
        *entries = 2;
        std::vector<uint16_t> identity;
        for (uint32_t c = 0; c < channels; ++c) identity.insert(identity.end(), {0, 0xFFFF});
        return identity;
    }
    ToneCurve* const* list = stageCurves(curves);
    uint32_t n = tableEntryCount(list[0]);
    for (uint32_t c = 1; c < channels; ++c)
        if (tableEntryCount(list[c]) != n) n = 0;
    const bool own = n >= 2 && n <= MaxLut16Entries;
    if (!own) n = Lut16DefaultEntries;
    std::vector<uint16_t> tables(size_t(channels) * n);
    for (uint32_t c = 0; c < channels; ++c) {
        uint16_t* t = tables.data() + size_t(c) * n;
        if (own) {
            std::memcpy(t, tableEntries(list[c]), n * sizeof(uint16_t));
        } else {
            for (uint32_t i = 0; i < n; ++i) t[i] = evalCurve16(list[c], quantizeNode(i, n));
        }
    }
    *entries = n;
    return tables;
}

// The checks both table writers share; messages name the form.
bool checkLutParts(EngineContext* ctx, const Pipeline* p, Lut16Parts* parts, const char* form, bool report)
{
    if (!splitLut16(p, parts)) {
        if (report) reportError(ctx, ErrUnknownExtension, "LUT is not suitable to be saved as %s", form);
        return false;
    }
    if (parts->matrix && (!isPlain3x3(parts->matrix) || hasOffsets(parts->matrix))) return false;
    if (parts->clut) {
        if (!isUniformGrid(parts->clut)) {
            if (report)
                reportError(ctx, ErrUnknownExtension,
                            "LUT with different samples per dimension not suitable to be saved as LUT16");
            return false;
        }
        if (clutIsFloat(parts->clut)) {
            if (report) reportError(ctx, ErrNotSuitable, "Cannot save floating point data, CLUT are 8 or 16 bit only");
            return false;
        }
        if (!gridFitsBytes(parts->clut)) return false;
    }
    return true;
}

bool writeLutHeader(IoHandler* io, const Pipeline* p, const Lut16Parts& parts)
{
    const uint8_t grid = parts.clut ? uint8_t(clutGridPoints(parts.clut)[0]) : 0;
    if (!writeUInt8(io, uint8_t(p->inputs)) || !writeUInt8(io, uint8_t(p->outputs)) || !writeUInt8(io, grid) ||
        !writeUInt8(io, 0))
        return false;
    const Mat3 identity = identity3x3();
    const double* m = parts.matrix ? stageMatrix(parts.matrix) : identity.m;
    for (int i = 0; i < 9; ++i)
        if (!writeS15Fixed16(io, m[i])) return false;
    return true;
}

bool lut16Write(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    const auto* p = static_cast<const Pipeline*>(object);
    Lut16Parts parts;
    if (!checkLutParts(self->ctx, p, &parts, "LUT16", true)) return false;
    uint32_t inEntries, outEntries;
    const std::vector<uint16_t> in = lut16Tables(parts.pre, p->inputs, &inEntries);
    const std::vector<uint16_t> out = lut16Tables(parts.post, p->outputs, &outEntries);
    return writeLutHeader(io, p, parts) && writeUInt16(io, uint16_t(inEntries)) &&
           writeUInt16(io, uint16_t(outEntries)) && writeUInt16Array(io, uint32_t(in.size()), in.data()) &&
           (!parts.clut || writeUInt16Array(io, clutEntryCount(parts.clut), clutTable16(parts.clut))) &&
           writeUInt16Array(io, uint32_t(out.size()), out.data());
}

// 256-entry 8-bit tables of a curves stage: identity when absent or a
// 2-entry identity, else the curve must have 256 entries.
bool lut8Tables(EngineContext* ctx, const Stage* curves, uint32_t channels, std::vector<uint8_t>& out)
{
    for (uint32_t c = 0; c < channels; ++c) {
        const ToneCurve* curve = curves ? stageCurves(curves)[c] : nullptr;
        if (!curve || isIdentityCurveTable(curve)) {
            for (uint32_t i = 0; i < 256; ++i) out.push_back(uint8_t(i));
            continue;
        }
        if (tableEntryCount(curve) != 256) {
            reportError(ctx, ErrUnknownExtension, "LUT8 needs 256 entries on prelinearization");
            return false;
        }
        const uint16_t* t = tableEntries(curve);
        for (uint32_t i = 0; i < 256; ++i) out.push_back(to8(t[i]));
    }
    return true;
}

bool lut8Write(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    const auto* p = static_cast<const Pipeline*>(object);
    if (!p->first) {
        reportError(self->ctx, ErrUnknownExtension, "empty LUT8 is not supported");
        return false;
    }
    Lut16Parts parts;
    if (!checkLutParts(self->ctx, p, &parts, "LUT8", true)) return false;
    std::vector<uint8_t> bytes;
    if (!lut8Tables(self->ctx, parts.pre, p->inputs, bytes)) return false;
    if (parts.clut) {
        const uint16_t* t = clutTable16(parts.clut);
        for (uint32_t i = 0; i < clutEntryCount(parts.clut); ++i) bytes.push_back(to8(t[i]));
    }
    if (!lut8Tables(self->ctx, parts.post, p->outputs, bytes)) return false;
    return writeLutHeader(io, p, parts) && io->write(io, uint32_t(bytes.size()), bytes.data());
}

void* pipelineDuplicate(TagTypeHandler*, const void* object, uint32_t)
{
    return duplicatePipeline(static_cast<const Pipeline*>(object));
}

void pipelineFree(TagTypeHandler*, void* object)
{
    freePipeline(static_cast<Pipeline*>(object));
}

// ---------------------------------------------------------------------------
// 'mAB ' and 'mBA '
// ---------------------------------------------------------------------------

// One curve of a curve set: a whole 'curv' or 'para' tag.
ToneCurve* readEmbeddedCurve(EngineContext* ctx, IoHandler* io, uint32_t size)
{
    uint32_t type;
    if (size < 8 || !readTypeBase(io, &type)) return nullptr;
    switch (type) {
    case CurveType: return readCurvBody(ctx, io, size - 8);
    case ParaType: return readParaBody(ctx, io, size - 8);
    default: reportError(ctx, ErrUnknownExtension, "Unknown curve type '%s'", sigText(type).text); return nullptr;
    }
}

Stage* readCurveSet(EngineContext* ctx, IoHandler* io, uint32_t start, uint32_t tagEnd, uint32_t offset, uint32_t n)
{
    if (offset >= tagEnd || !io->seek(io, start + offset)) return nullptr;
    std::vector<OwnedCurve> owned;
    std::vector<const ToneCurve*> curves;
    for (uint32_t i = 0; i < n; ++i) {
        owned.emplace_back(readEmbeddedCurve(ctx, io, bytesLeft(io, start, tagEnd)), &freeCurve);
        if (!owned.back() || !alignFrom(io, start)) return nullptr;
        curves.push_back(owned.back().get());
    }
    return newCurvesStage(ctx, n, curves.data());
}

Stage* readAbMatrix(EngineContext* ctx, IoHandler* io, uint32_t start, uint32_t tagEnd, uint32_t offset)
{
    if (offset > tagEnd || tagEnd - offset < 48 || !io->seek(io, start + offset)) return nullptr;
    double m[12];
    for (double& v : m)
        if (!readS15Fixed16(io, &v)) return nullptr;
    return newMatrixStage(ctx, 3, 3, m, m + 9);
}

Stage* readAbClut(EngineContext* ctx, IoHandler* io, uint32_t start, uint32_t tagEnd, uint32_t offset,
                  uint32_t inputs, uint32_t outputs)
{
    if (offset > tagEnd || tagEnd - offset < 20 || !io->seek(io, start + offset)) return nullptr;
    uint8_t gridBytes[16], precision;
    if (!io->read(io, gridBytes, 16, 1) || !readUInt8(io, &precision) || !readUInt8(io, nullptr) ||
        !readUInt8(io, nullptr) || !readUInt8(io, nullptr))
        return nullptr;
    if (precision != 1 && precision != 2) {
        reportError(ctx, ErrUnknownExtension, "Unknown precision of '%d'", int(precision));
        return nullptr;
    }
    uint32_t grid[MaxClutInputs];
    uint64_t n = outputs;
    for (uint32_t i = 0; i < inputs; ++i) {
        grid[i] = gridBytes[i];
        n *= grid[i];
        if (n > tagEnd) return nullptr;   // more values than bytes
    }
    if (n * precision > tagEnd - offset - 20) return nullptr;
    std::vector<uint16_t> table(static_cast<size_t>(n));
    if (precision == 2) {
        if (!readUInt16Array(io, uint32_t(n), table.data())) return nullptr;
    } else {
        std::vector<uint8_t> bytes(static_cast<size_t>(n));
        if (n && io->read(io, bytes.data(), uint32_t(n), 1) != 1) return nullptr;
        std::transform(bytes.begin(), bytes.end(), table.begin(), from8);
    }
    return newClut16Stage(ctx, grid, inputs, outputs, table.data());
}

struct AbOffsets {
    uint32_t b, matrix, m, clut, a;
};

Pipeline* readLutAb(TagTypeHandler* self, IoHandler* io, uint32_t sizeOfTag, bool aToB)
{
    EngineContext* ctx = self->ctx;
    const uint32_t start = tagStart(io);
    const uint32_t tagEnd = sizeOfTag + 8;
    uint8_t inputs, outputs;
    AbOffsets o;
    if (sizeOfTag < 24 || !readUInt8(io, &inputs) || !readUInt8(io, &outputs) || !readUInt16(io, nullptr) ||
        !readUInt32(io, &o.b) || !readUInt32(io, &o.matrix) || !readUInt32(io, &o.m) || !readUInt32(io, &o.clut) ||
        !readUInt32(io, &o.a))
        return nullptr;
    if (inputs < 1 || inputs > MaxClutInputs || outputs < 1 || outputs > MaxClutInputs) return nullptr;
    OwnedPipeline p(newPipeline(ctx, inputs, outputs), &freePipeline);
    if (!p) return nullptr;

    auto curves = [&](uint32_t offset, uint32_t n) {
        return !offset || appendStage(p.get(), readCurveSet(ctx, io, start, tagEnd, offset, n));
    };
    auto matrix = [&] { return !o.matrix || appendStage(p.get(), readAbMatrix(ctx, io, start, tagEnd, o.matrix)); };
    auto clut = [&] {
        return !o.clut || appendStage(p.get(), readAbClut(ctx, io, start, tagEnd, o.clut, inputs, outputs));
    };
    const bool ok = aToB ? curves(o.a, inputs) && clut() && curves(o.m, outputs) && matrix() && curves(o.b, outputs)
                         : curves(o.b, inputs) && matrix() && curves(o.m, inputs) && clut() && curves(o.a, outputs);
    return ok ? p.release() : nullptr;
}

void* lutAToBRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    Pipeline* p = readLutAb(self, io, sizeOfTag, true);
    *count = p ? 1 : 0;
    return p;
}

void* lutBToARead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    Pipeline* p = readLutAb(self, io, sizeOfTag, false);
    *count = p ? 1 : 0;
    return p;
}

// Table-only curves, float tables and inverses go as 'curv'; the rest must be
// a single ICC parametric piece.
bool writeEmbeddedCurve(EngineContext* ctx, IoHandler* io, const ToneCurve* curve)
{
    const uint32_t segments = curveSegmentCount(curve);
    const bool table = segments == 0 || (segments == 3 && curveSegment(curve, 1)->type == 0) ||
                       curveSegment(curve, 0)->type < 0;
    if (table) return writeTypeBase(io, CurveType) && writeCurvBody(ctx, io, curve);
    return writeTypeBase(io, ParaType) && writeParaBody(ctx, io, curve);
}

bool writeCurveSet(EngineContext* ctx, IoHandler* io, const Stage* curves)
{
    ToneCurve* const* list = stageCurves(curves);
    for (uint32_t i = 0; i < curves->inputs; ++i)
        if (!writeEmbeddedCurve(ctx, io, list[i]) || !writeAlignment(io)) return false;
    return true;
}

bool writeAbMatrix(IoHandler* io, const Stage* matrix)
{
    const double* m = stageMatrix(matrix);
    const double* offsets = stageOffsets(matrix);
    for (int i = 0; i < 9; ++i)
        if (!writeS15Fixed16(io, m[i])) return false;
    for (int i = 0; i < 3; ++i)
        if (!writeS15Fixed16(io, offsets ? offsets[i] : 0.0)) return false;
    return true;
}

bool writeAbClut(EngineContext* ctx, IoHandler* io, const Stage* clut, bool eightBits)
{
    if (clutIsFloat(clut)) {
        reportError(ctx, ErrNotSuitable, "Cannot save floating point data, CLUT are 8 or 16 bit only");
        return false;
    }
    uint8_t grid[16] = {};
    for (uint32_t i = 0; i < clut->inputs; ++i) grid[i] = uint8_t(clutGridPoints(clut)[i]);
    if (!io->write(io, 16, grid) || !writeUInt8(io, eightBits ? 1 : 2) || !writeUInt8(io, 0) ||
        !writeUInt8(io, 0) || !writeUInt8(io, 0))
        return false;
    const uint32_t n = clutEntryCount(clut);
    const uint16_t* t = clutTable16(clut);
    if (!eightBits) return writeUInt16Array(io, n, t);
    std::vector<uint8_t> bytes(n);
    std::transform(t, t + n, bytes.begin(), to8);
    return n == 0 || io->write(io, n, bytes.data());
}

bool writeLutAb(TagTypeHandler* self, IoHandler* io, const Pipeline* p, bool aToB)
{
    EngineContext* ctx = self->ctx;
    LutAbParts parts;
    if (!(aToB ? splitLutAToB(p, &parts) : splitLutBToA(p, &parts))) {
        reportError(ctx, ErrNotSuitable, "LUT is not suitable to be saved as %s", aToB ? "LutAToB" : "LutBToA");
        return false;
    }
    if (parts.matrix && !isPlain3x3(parts.matrix)) {
        reportError(ctx, ErrNotSuitable, "LUT is not suitable to be saved as %s", aToB ? "LutAToB" : "LutBToA");
        return false;
    }
    if (parts.clut && !clutIsFloat(parts.clut) && !gridFitsBytes(parts.clut)) return false;
    const bool eightBits = pipelineSaveAs8Bits(p);

    return writeWithLayout<AbOffsets>(io, [&](IoHandler* out, const AbOffsets& known, AbOffsets& found) {
        const uint32_t start = tagStart(out);
        found = AbOffsets{};
        if (!writeUInt8(out, uint8_t(p->inputs)) || !writeUInt8(out, uint8_t(p->outputs)) || !writeUInt16(out, 0) ||
            !writeUInt32(out, known.b) || !writeUInt32(out, known.matrix) || !writeUInt32(out, known.m) ||
            !writeUInt32(out, known.clut) || !writeUInt32(out, known.a))
            return false;
        auto place = [&](uint32_t* offset, auto&& writePart) {
            *offset = out->tell(out) - start;
            return writePart() && writeAlignment(out);
        };
        auto a = [&] { return !parts.a || place(&found.a, [&] { return writeCurveSet(ctx, out, parts.a); }); };
        auto clut = [&] {
            return !parts.clut || place(&found.clut, [&] { return writeAbClut(ctx, out, parts.clut, eightBits); });
        };
        auto m = [&] { return !parts.m || place(&found.m, [&] { return writeCurveSet(ctx, out, parts.m); }); };
        auto matrix = [&] {
            return !parts.matrix || place(&found.matrix, [&] { return writeAbMatrix(out, parts.matrix); });
        };
        auto b = [&] { return !parts.b || place(&found.b, [&] { return writeCurveSet(ctx, out, parts.b); }); };
        return aToB ? a() && clut() && m() && matrix() && b() : b() && matrix() && m() && clut() && a();
    });
}

bool lutAToBWrite(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    return writeLutAb(self, io, static_cast<const Pipeline*>(object), true);
}

bool lutBToAWrite(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    return writeLutAb(self, io, static_cast<const Pipeline*>(object), false);
}

// ---------------------------------------------------------------------------
// 'mpet': multi-process elements
// ---------------------------------------------------------------------------

constexpr uint32_t SegmentedCurveSig = sig("curf");
constexpr uint32_t FormulaSegmentSig = sig("parf");
constexpr uint32_t SampledSegmentSig = sig("samf");

// A segmented curve ('curf') of an 'cvst' element, within `size` bytes.
ToneCurve* readSegmentedCurve(EngineContext* ctx, IoHandler* io, uint32_t size)
{
    uint32_t type;
    uint16_t count;
    if (size < 12 || !readTypeBase(io, &type)) return nullptr;
    if (type != SegmentedCurveSig) {
        reportError(ctx, ErrUnknownExtension, "Unknown curve element type '%s' found.", sigText(type).text);
        return nullptr;
    }
    if (!readUInt16(io, &count) || !readUInt16(io, nullptr)) return nullptr;
    uint32_t left = size - 12;
    if (count == 0 || count - 1u > left / 4) return nullptr;
    std::vector<float> breaks(count + 1u);
    breaks[0] = MinusInfinity;
    breaks[count] = PlusInfinity;
    for (uint32_t i = 1; i < count; ++i)
        if (!readFloat32(io, &breaks[i])) return nullptr;
    left -= 4 * (count - 1u);

    std::vector<CurveSegment> segments(count);
    std::vector<std::vector<float>> samples(count);
    for (uint32_t i = 0; i < count; ++i) {
        CurveSegment& s = segments[i];
        s = CurveSegment{};
        s.x0 = breaks[i];
        s.x1 = breaks[i + 1];
        if (left < 12 || !readTypeBase(io, &type)) return nullptr;
        left -= 8;
        if (type == FormulaSegmentSig) {
            uint16_t function;
            if (!readUInt16(io, &function) || !readUInt16(io, nullptr)) return nullptr;
            left -= 4;
            if (function > 2) {
                reportError(ctx, ErrUnknownExtension, "Unknown parametric curve type '%d'", int(function));
                return nullptr;
            }
            const uint32_t n = FormulaParameterCounts[function];
            if (left < 4 * n) return nullptr;
            left -= 4 * n;
            s.type = 6 + function;
            for (uint32_t k = 0; k < n; ++k) {
                float v;
                if (!readFloat32(io, &v)) return nullptr;
                s.params[k] = v;
            }
        } else if (type == SampledSegmentSig) {
            uint32_t n;
            if (i == 0 || !readUInt32(io, &n) || n == 0 || n > (left - 4) / 4) return nullptr;
            left -= 4 + 4 * n;
            // The first point is where the previous piece ends.
            std::vector<float>& points = samples[i];
            points.resize(size_t(n) + 1);
            const CurveSegment& previous = segments[i - 1];
            if (previous.type == 0) {
                points[0] = samples[i - 1].back();
            } else {
                OwnedCurve piece(buildSegmentedCurve(ctx, 1, &previous), &freeCurve);
                if (!piece) return nullptr;
                points[0] = evalCurveFloat(piece.get(), previous.x1);
            }
            for (uint32_t k = 1; k <= n; ++k)
                if (!readFloat32(io, &points[k])) return nullptr;
            s.type = 0;
            s.sampleCount = n + 1;
            s.samples = points.data();
        } else {
            reportError(ctx, ErrUnknownExtension, "Unknown curve element type '%s' found.", sigText(type).text);
            return nullptr;
        }
    }
    return buildSegmentedCurve(ctx, count, segments.data());
}

// The ICC formula pieces that make up a curve, or false when it has none.
bool formulaPieces(const ToneCurve* curve, std::vector<CurveSegment>& pieces)
{
    const uint32_t n = curveSegmentCount(curve);
    if (n == 0) {
        // The 16-bit table as a float table with constant ends.
        const uint32_t entries = tableEntryCount(curve);
        const uint16_t* t = tableEntries(curve);
        if (entries < 2) {
            pieces = {CurveSegment{MinusInfinity, PlusInfinity, 6, {1, 0, 0, t[0] / 65535.0}, 0, nullptr}};
            return true;
        }
        CurveSegment low{}, mid{}, high{};
        low = {MinusInfinity, 0, 6, {1, 0, 0, t[0] / 65535.0}, 0, nullptr};
        mid = {0, 1, 0, {}, entries, nullptr};
        high = {1, PlusInfinity, 6, {1, 0, 0, t[entries - 1] / 65535.0}, 0, nullptr};
        pieces = {low, mid, high};
        return true;
    }
    if (n == 1) {
        const CurveSegment& s = *curveSegment(curve, 0);
        const double* P = s.params;
        auto piece = [](float x0, float x1, double g, double a, double b, double c) {
            return CurveSegment{x0, x1, 6, {g, a, b, c}, 0, nullptr};
        };
        switch (s.type) {
        case 1: pieces = {piece(MinusInfinity, PlusInfinity, P[0], 1, 0, 0)}; return true;
        case 2:
        case 3: {
            if (!(P[1] > 0)) return false;
            const double c = s.type == 3 ? P[3] : 0.0;
            const double d = s.type == 3 ? std::max(0.0, -P[2] / P[1]) : -P[2] / P[1];
            pieces = {piece(MinusInfinity, float(d), 1, 0, 0, c), piece(float(d), PlusInfinity, P[0], P[1], P[2], c)};
            return true;
        }
        case 4:
            pieces = {piece(MinusInfinity, float(P[4]), 1, P[3], 0, 0),
                      piece(float(P[4]), PlusInfinity, P[0], P[1], P[2], 0)};
            return true;
        case 5:
            pieces = {piece(MinusInfinity, float(P[4]), 1, P[3], P[6], 0),
                      piece(float(P[4]), PlusInfinity, P[0], P[1], P[2], P[5])};
            return true;
        default: break;
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        const CurveSegment& s = *curveSegment(curve, i);
        if (s.type != 0 && (s.type < 6 || s.type > 8)) return false;
        if (s.type == 0 && i == 0) return false;
    }
    pieces.clear();
    for (uint32_t i = 0; i < n; ++i) pieces.push_back(*curveSegment(curve, i));
    return true;
}

bool writeSegmentedCurve(EngineContext* ctx, IoHandler* io, const ToneCurve* curve)
{
    std::vector<CurveSegment> pieces;
    if (!formulaPieces(curve, pieces)) {
        reportError(ctx, ErrUnknownExtension, "Unsupported parametric curve");
        return false;
    }
    if (!writeTypeBase(io, SegmentedCurveSig) || !writeUInt16(io, uint16_t(pieces.size())) || !writeUInt16(io, 0))
        return false;
    for (size_t i = 0; i + 1 < pieces.size(); ++i)
        if (!writeFloat32(io, pieces[i].x1)) return false;
    const uint16_t* table = tableEntries(curve);
    for (const CurveSegment& s : pieces) {
        if (s.type == 0) {
            // Points after the first, which the previous piece gives.
            if (!writeTypeBase(io, SampledSegmentSig) || !writeUInt32(io, s.sampleCount - 1)) return false;
            for (uint32_t k = 1; k < s.sampleCount; ++k) {
                const double v = s.samples ? double(s.samples[k]) : table[k] / 65535.0;
                if (!writeFloat32(io, v)) return false;
            }
        } else {
            const uint32_t function = uint32_t(s.type - 6);
            if (!writeTypeBase(io, FormulaSegmentSig) || !writeUInt16(io, uint16_t(function)) || !writeUInt16(io, 0))
                return false;
            for (uint32_t k = 0; k < FormulaParameterCounts[function]; ++k)
                if (!writeFloat32(io, s.params[k])) return false;
        }
    }
    return true;
}

void* curveSetElementRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    const uint32_t start = tagStart(io);
    const uint32_t end = sizeOfTag + 8;
    uint16_t inputs, outputs;
    if (sizeOfTag < 4 || !readUInt16(io, &inputs) || !readUInt16(io, &outputs)) return nullptr;
    if (inputs != outputs || inputs == 0 || inputs > MaxMpeChannels || inputs > (sizeOfTag - 4) / 8) return nullptr;
    std::vector<TagSpan> spans(inputs);
    for (TagSpan& s : spans)
        if (!readUInt32(io, &s.offset) || !readUInt32(io, &s.size) || !spanInside(s, end)) return nullptr;
    std::vector<OwnedCurve> owned;
    std::vector<const ToneCurve*> curves;
    for (const TagSpan& s : spans) {
        if (!io->seek(io, start + s.offset)) return nullptr;
        owned.emplace_back(readSegmentedCurve(self->ctx, io, s.size), &freeCurve);
        if (!owned.back()) return nullptr;
        curves.push_back(owned.back().get());
    }
    Stage* stage = newCurvesStage(self->ctx, inputs, curves.data());
    *count = stage ? 1 : 0;
    return stage;
}

bool curveSetElementWrite(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    const auto* stage = static_cast<const Stage*>(object);
    ToneCurve* const* curves = stageCurves(stage);
    const uint32_t n = stage->inputs;
    return writeWithLayout<std::vector<TagSpan>>(
        io, [&](IoHandler* out, const std::vector<TagSpan>& known, std::vector<TagSpan>& found) {
            const uint32_t start = tagStart(out);
            found.assign(n, TagSpan{});
            if (!writeUInt16(out, uint16_t(n)) || !writeUInt16(out, uint16_t(n))) return false;
            for (uint32_t i = 0; i < n; ++i) {
                const TagSpan s = i < known.size() ? known[i] : TagSpan{};
                if (!writeUInt32(out, s.offset) || !writeUInt32(out, s.size)) return false;
            }
            for (uint32_t i = 0; i < n; ++i) {
                const uint32_t at = out->tell(out) - start;
                if (!writeSegmentedCurve(self->ctx, out, curves[i])) return false;
                found[i] = TagSpan{at, out->tell(out) - start - at};
                if (!writeAlignment(out)) return false;
            }
            return true;
        });
}

void* matrixElementRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    uint16_t inputs, outputs;
    if (sizeOfTag < 4 || !readUInt16(io, &inputs) || !readUInt16(io, &outputs)) return nullptr;
    if (inputs == 0 || outputs == 0 || inputs > MaxMpeChannels || outputs > MaxMpeChannels) return nullptr;
    const uint32_t n = uint32_t(inputs) * outputs;
    if (4 * (n + outputs) > sizeOfTag - 4) return nullptr;
    std::vector<double> values(n + outputs);
    for (double& v : values) {
        float f;
        if (!readFloat32(io, &f)) return nullptr;
        v = f;
    }
    Stage* stage = newMatrixStage(self->ctx, outputs, inputs, values.data(), values.data() + n);
    *count = stage ? 1 : 0;
    return stage;
}

bool matrixElementWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* stage = static_cast<const Stage*>(object);
    const double* m = stageMatrix(stage);
    const double* offsets = stageOffsets(stage);
    if (!writeUInt16(io, uint16_t(stage->inputs)) || !writeUInt16(io, uint16_t(stage->outputs))) return false;
    for (uint32_t i = 0; i < stage->inputs * stage->outputs; ++i)
        if (!writeFloat32(io, m[i])) return false;
    for (uint32_t i = 0; i < stage->outputs; ++i)
        if (!writeFloat32(io, offsets ? offsets[i] : 0.0)) return false;
    return true;
}

void* clutElementRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    uint16_t inputs, outputs;
    uint8_t gridBytes[16];
    if (sizeOfTag < 20 || !readUInt16(io, &inputs) || !readUInt16(io, &outputs) || !io->read(io, gridBytes, 16, 1))
        return nullptr;
    if (inputs == 0 || outputs == 0 || inputs > MaxClutInputs || outputs > MaxMpeChannels) return nullptr;
    uint32_t grid[MaxClutInputs];
    uint64_t n = outputs;
    for (uint32_t i = 0; i < inputs; ++i) {
        grid[i] = gridBytes[i];
        n *= grid[i];
        if (n > sizeOfTag) return nullptr;
    }
    if (4 * n > sizeOfTag - 20) return nullptr;
    std::vector<float> table(static_cast<size_t>(n));
    for (float& v : table)
        if (!readFloat32(io, &v)) return nullptr;
    Stage* stage = newClutFloatStage(self->ctx, grid, inputs, outputs, table.data());
    *count = stage ? 1 : 0;
    return stage;
}

bool clutElementWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* stage = static_cast<const Stage*>(object);
    if (!gridFitsBytes(stage)) return false;
    uint8_t grid[16] = {};
    for (uint32_t i = 0; i < stage->inputs; ++i) grid[i] = uint8_t(clutGridPoints(stage)[i]);
    if (!writeUInt16(io, uint16_t(stage->inputs)) || !writeUInt16(io, uint16_t(stage->outputs)) ||
        !io->write(io, 16, grid))
        return false;
    const uint32_t n = clutEntryCount(stage);
    const float* f = clutIsFloat(stage) ? clutTableFloat(stage) : nullptr;
    const uint16_t* w = f ? nullptr : clutTable16(stage);
    for (uint32_t i = 0; i < n; ++i)
        if (!writeFloat32(io, f ? double(f[i]) : w[i] / 65535.0)) return false;
    return true;
}

void* stageDuplicate(TagTypeHandler*, const void* object, uint32_t)
{
    return duplicateStage(static_cast<const Stage*>(object));
}

void stageFree(TagTypeHandler*, void* object)
{
    freeStage(static_cast<Stage*>(object));
}

const TagTypeHandler BuiltinElements[] = {
    {StageCurvesKind, curveSetElementRead, curveSetElementWrite, stageDuplicate, stageFree, nullptr, 0},
    {StageMatrixKind, matrixElementRead, matrixElementWrite, stageDuplicate, stageFree, nullptr, 0},
    {StageClutKind, clutElementRead, clutElementWrite, stageDuplicate, stageFree, nullptr, 0},
};

// 'mpeH' plug-ins first, then the built-in elements.
const TagTypeHandler* findElementHandler(EngineContext* ctx, uint32_t kind)
{
    for (PluginBase* r = pluginChain(ctx, SlotMpeTypes); r; r = r->next) {
        auto* plugin = reinterpret_cast<PluginTagType*>(r);
        if (plugin->handler.signature == kind) return &plugin->handler;
    }
    for (const TagTypeHandler& h : BuiltinElements)
        if (h.signature == kind) return &h;
    return nullptr;
}

void* mpeRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    EngineContext* ctx = self->ctx;
    const uint32_t start = tagStart(io);
    const uint32_t end = sizeOfTag + 8;
    uint16_t inputs, outputs;
    uint32_t elements;
    if (sizeOfTag < 8 || !readUInt16(io, &inputs) || !readUInt16(io, &outputs) || !readUInt32(io, &elements))
        return nullptr;
    if (inputs == 0 || outputs == 0 || inputs > MaxMpeChannels || outputs > MaxMpeChannels) return nullptr;
    if (elements > (sizeOfTag - 8) / 8) return nullptr;
    std::vector<TagSpan> spans(elements);
    for (TagSpan& s : spans)
        if (!readUInt32(io, &s.offset) || !readUInt32(io, &s.size) || !spanInside(s, end) || s.size < 8)
            return nullptr;
    if (!spansWithinBudget(spans, end)) return nullptr;

    OwnedPipeline p(newPipeline(ctx, inputs, outputs), &freePipeline);
    if (!p) return nullptr;
    for (const TagSpan& s : spans) {
        uint32_t kind;
        if (!io->seek(io, start + s.offset) || !readTypeBase(io, &kind)) return nullptr;
        const TagTypeHandler* h = findElementHandler(ctx, kind);
        if (!h || !h->read) {
            reportError(ctx, ErrUnknownExtension, "Unknown MPE type '%s' found.", sigText(kind).text);
            return nullptr;
        }
        uint32_t n = 0;
        auto* stage = static_cast<Stage*>(callTypeRead(h, ctx, self->iccVersion, io, &n, s.size - 8));
        if (!appendStage(p.get(), stage)) return nullptr;
    }
    if (p->inputs != inputs || p->outputs != outputs) return nullptr;
    *count = 1;
    return p.release();
}

bool mpeWrite(TagTypeHandler* self, IoHandler* io, void* object, uint32_t)
{
    EngineContext* ctx = self->ctx;
    const auto* p = static_cast<const Pipeline*>(object);
    std::vector<std::pair<const Stage*, const TagTypeHandler*>> elements;
    for (const Stage* s = p->first; s; s = s->next) {
        const TagTypeHandler* h = findElementHandler(ctx, s->kind);
        if (!h || !h->write) {
            reportError(ctx, ErrUnknownExtension, "Found unknown MPE type '%s'", sigText(s->kind).text);
            return false;
        }
        elements.emplace_back(s, h);
    }
    return writeWithLayout<std::vector<TagSpan>>(
        io, [&](IoHandler* out, const std::vector<TagSpan>& known, std::vector<TagSpan>& found) {
            const uint32_t start = tagStart(out);
            found.assign(elements.size(), TagSpan{});
            if (!writeUInt16(out, uint16_t(p->inputs)) || !writeUInt16(out, uint16_t(p->outputs)) ||
                !writeUInt32(out, uint32_t(elements.size())))
                return false;
            for (size_t i = 0; i < elements.size(); ++i) {
                const TagSpan s = i < known.size() ? known[i] : TagSpan{};
                if (!writeUInt32(out, s.offset) || !writeUInt32(out, s.size)) return false;
            }
            for (size_t i = 0; i < elements.size(); ++i) {
                const auto [stage, handler] = elements[i];
                const uint32_t at = out->tell(out) - start;
                if (!writeTypeBase(out, stage->kind) ||
                    !callTypeWrite(handler, ctx, self->iccVersion, out, const_cast<Stage*>(stage), 1))
                    return false;
                found[i] = TagSpan{at, out->tell(out) - start - at};
                if (!writeAlignment(out)) return false;
            }
            return true;
        });
}

// ---------------------------------------------------------------------------
// 'vcgt': video card gamma
// ---------------------------------------------------------------------------

constexpr uint32_t VcgtTable = 0;
constexpr uint32_t VcgtFormula = 1;

void freeVcgt(EngineContext* ctx, VideoCardGamma* v)
{
    if (!v) return;
    freeCurveTriple(v->curves);
    engineFree(ctx, v);
}

void* vcgtRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag)
{
    *count = 0;
    EngineContext* ctx = self->ctx;
    uint32_t form;
    if (sizeOfTag < 4 || !readUInt32(io, &form)) return nullptr;
    auto* v = static_cast<VideoCardGamma*>(engineAllocZero(ctx, sizeof(VideoCardGamma)));
    if (!v) return nullptr;
    struct Release {
        EngineContext* ctx;
        void operator()(VideoCardGamma* g) const { freeVcgt(ctx, g); }
    };
    std::unique_ptr<VideoCardGamma, Release> owner(v, Release{ctx});

    if (form == VcgtTable) {
        uint16_t channels, entries, entrySize;
        if (sizeOfTag < 10 || !readUInt16(io, &channels) || !readUInt16(io, &entries) || !readUInt16(io, &entrySize))
            return nullptr;
        if (channels != 3) {
            reportError(ctx, ErrUnknownExtension, "Unsupported number of channels for VCGT '%d'", int(channels));
            return nullptr;
        }
        if (entrySize != 1 && entrySize != 2) {
            reportError(ctx, ErrUnknownExtension, "Unsupported bit depth for VCGT '%d'", int(entrySize) * 8);
            return nullptr;
        }
        if (3u * entries * entrySize > sizeOfTag - 10 || entries == 0) return nullptr;
        std::vector<uint16_t> table(entries);
        for (ToneCurve*& curve : v->curves) {
            if (entrySize == 2) {
                if (!readUInt16Array(io, entries, table.data())) return nullptr;
            } else {
                for (uint16_t& t : table) {
                    uint8_t b;
                    if (!readUInt8(io, &b)) return nullptr;
                    t = from8(b);
                }
            }
            curve = buildTabulatedCurve16(ctx, entries, table.data());
            if (!curve) return nullptr;
        }
    } else if (form == VcgtFormula) {
        if (sizeOfTag < 4 + 36) return nullptr;
        for (ToneCurve*& curve : v->curves) {
            double gamma, low, high;
            if (!readS15Fixed16(io, &gamma) || !readS15Fixed16(io, &low) || !readS15Fixed16(io, &high))
                return nullptr;
            // (high - low)·x^gamma + low as ICC's type 4 shape (engine type 5).
            const double params[7] = {gamma, std::pow(std::max(0.0, high - low), 1.0 / gamma), 0, 0, 0, low, 0};
            curve = buildParametricCurve(ctx, 5, params);
            if (!curve) return nullptr;
        }
    } else {
        reportError(ctx, ErrUnknownExtension, "Unsupported tag type for VCGT '%d'", int(form));
        return nullptr;
    }
    *count = 1;
    return owner.release();
}

bool isVcgtFormula(const ToneCurve* c)
{
    if (curveSegmentCount(c) != 1 || parametricTypeOf(c) != 5) return false;
    const double* P = curveSegment(c, 0)->params;
    return P[2] == 0 && P[3] == 0 && P[4] == 0 && P[6] == 0 && P[0] != 0;
}

bool vcgtWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const auto* v = static_cast<const VideoCardGamma*>(object);
    for (const ToneCurve* c : v->curves)
        if (!c) return false;
    if (std::all_of(std::begin(v->curves), std::end(v->curves), isVcgtFormula)) {
        if (!writeUInt32(io, VcgtFormula)) return false;
        for (const ToneCurve* c : v->curves) {
            const double* P = curveSegment(c, 0)->params;
            if (!writeS15Fixed16(io, P[0]) || !writeS15Fixed16(io, P[5]) ||
                !writeS15Fixed16(io, std::pow(P[1], P[0]) + P[5]))
                return false;
        }
        return true;
    }
    // Tables keep their entries when all three are plain tables of one
    // length; other curves are sampled at 256 points.
    uint32_t n = tableEntryCount(v->curves[0]);
    for (const ToneCurve* c : v->curves)
        if (curveSegmentCount(c) != 0 || tableEntryCount(c) != n) n = 0;
    const bool own = n >= 2;
    if (!own) n = 256;
    if (!writeUInt32(io, VcgtTable) || !writeUInt16(io, 3) || !writeUInt16(io, uint16_t(n)) || !writeUInt16(io, 2))
        return false;
    for (const ToneCurve* c : v->curves) {
        if (own) {
            if (!writeUInt16Array(io, n, tableEntries(c))) return false;
            continue;
        }
        for (uint32_t i = 0; i < n; ++i)
            if (!writeUInt16(io, quickSaturateWord(double(evalCurveFloat(c, float(i / 255.0))) * 65535.0)))
                return false;
    }
    return true;
}

void* vcgtDuplicate(TagTypeHandler* self, const void* object, uint32_t)
{
    const auto* from = static_cast<const VideoCardGamma*>(object);
    auto* v = static_cast<VideoCardGamma*>(engineAllocZero(self->ctx, sizeof(VideoCardGamma)));
    if (!v) return nullptr;
    for (int i = 0; i < 3; ++i) {
        v->curves[i] = duplicateCurve(from->curves[i]);
        if (!v->curves[i]) {
            freeVcgt(self->ctx, v);
            return nullptr;
        }
    }
    return v;
}

void vcgtFree(TagTypeHandler* self, void* object)
{
    freeVcgt(self->ctx, static_cast<VideoCardGamma*>(object));
}

const TagTypeHandler CurveAndLutTypes[] = {
    {CurveType, curvRead, curvWrite, curveDuplicate, curveFree, nullptr, 0},
    {BrokenCurveType, curvRead, curvWrite, curveDuplicate, curveFree, nullptr, 0},
    {ParaType, paraRead, paraWrite, curveDuplicate, curveFree, nullptr, 0},
    {sig("mft1"), lut8Read, lut8Write, pipelineDuplicate, pipelineFree, nullptr, 0},
    {sig("mft2"), lut16Read, lut16Write, pipelineDuplicate, pipelineFree, nullptr, 0},
    {sig("mAB "), lutAToBRead, lutAToBWrite, pipelineDuplicate, pipelineFree, nullptr, 0},
    {sig("mBA "), lutBToARead, lutBToAWrite, pipelineDuplicate, pipelineFree, nullptr, 0},
    {sig("mpet"), mpeRead, mpeWrite, pipelineDuplicate, pipelineFree, nullptr, 0},
    {sig("vcgt"), vcgtRead, vcgtWrite, vcgtDuplicate, vcgtFree, nullptr, 0},
};

} // namespace

const TagTypeHandler* curveAndLutTypeHandlers(uint32_t* count)
{
    *count = uint32_t(std::size(CurveAndLutTypes));
    return CurveAndLutTypes;
}

bool pipelineFitsLut16(const Pipeline* pipeline)
{
    Lut16Parts parts;
    return pipeline && pipeline->first && checkLutParts(pipeline->ctx, pipeline, &parts, "LUT16", false);
}

bool pipelineFitsLutAToB(const Pipeline* pipeline)
{
    LutAbParts parts;
    return pipeline && splitLutAToB(pipeline, &parts) && abPartsWritable(parts);
}

bool pipelineFitsLutBToA(const Pipeline* pipeline)
{
    LutAbParts parts;
    return pipeline && splitLutBToA(pipeline, &parts) && abPartsWritable(parts);
}
