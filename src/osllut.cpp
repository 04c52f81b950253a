// Stages, pipelines, CLUT sampling and the iterative reverse evaluation.
//
// Inside a pipeline every channel is a float; the PCS travels normalised to
// 0 … 1: Lab as (L/100, (a + 128)/255, (b + 128)/255), XYZ as XYZ × 32768/65535.
#include "oslinternal.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

using StagePtr = std::unique_ptr<Stage, decltype(&freeStage)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

constexpr double XyzScale = 65535.0 / 32768.0;   // 1.999969482421875

// ---------------------------------------------------------------------------
// Stage allocation
// ---------------------------------------------------------------------------

// Like newStage, but releases the data when the stage cannot be made, so the
// constructors below never leak.
Stage* adoptStage(EngineContext* ctx, uint32_t kind, uint32_t inputs, uint32_t outputs, StageEvalFn eval,
                  StageDupDataFn dupData, StageFreeDataFn freeData, void* data)
{
    Stage* stage = newStage(ctx, kind, inputs, outputs, eval, dupData, freeData, data);
    if (!stage && data && freeData) freeData(ctx, data);
    return stage;
}

// ---------------------------------------------------------------------------
// Curves
// ---------------------------------------------------------------------------

void freeCurvesData(EngineContext* ctx, void* data)
{
    auto* d = static_cast<CurvesStageData*>(data);
    if (!d) return;
    if (d->curves)
        for (uint32_t i = 0; i < d->count; ++i) freeCurve(d->curves[i]);
    engineFree(ctx, d->curves);
    engineFree(ctx, d);
}

// New curve-set data holding copies of the given curves, or identities.
CurvesStageData* newCurvesData(EngineContext* ctx, uint32_t count, const ToneCurve* const* curves)
{
    auto* d = static_cast<CurvesStageData*>(engineAllocZero(ctx, sizeof(CurvesStageData)));
    if (!d) return nullptr;
    d->curves = static_cast<ToneCurve**>(engineAllocArray(ctx, count, sizeof(ToneCurve*)));
    if (!d->curves) {
        engineFree(ctx, d);
        return nullptr;
    }
    d->count = count;
    for (uint32_t i = 0; i < count; ++i) {
        d->curves[i] = curves ? duplicateCurve(curves[i]) : buildGammaCurve(ctx, 1.0);
        if (!d->curves[i]) {
            freeCurvesData(ctx, d);
            return nullptr;
        }
    }
    return d;
}

void* dupCurvesData(EngineContext* ctx, const void* data)
{
    auto* d = static_cast<const CurvesStageData*>(data);
    return newCurvesData(ctx, d->count, d->curves);
}

void evalCurves(const float in[], float out[], const Stage* stage)
{
    auto* d = static_cast<const CurvesStageData*>(stage->data);
    for (uint32_t i = 0; i < d->count; ++i) out[i] = evalCurveFloat(d->curves[i], in[i]);
}

void evalCurvesUnbounded(const float in[], float out[], const Stage* stage)
{
    auto* d = static_cast<const CurvesStageData*>(stage->data);
    for (uint32_t i = 0; i < d->count; ++i) out[i] = float(evalCurveUnbounded(d->curves[i], in[i]));
}

bool isCurvesStage(const Stage* stage)
{
    return stage && stage->kind == StageCurvesKind && (stage->eval == evalCurves || stage->eval == evalCurvesUnbounded);
}

// ---------------------------------------------------------------------------
// Matrix
// ---------------------------------------------------------------------------

void freeMatrixData(EngineContext* ctx, void* data)
{
    auto* d = static_cast<MatrixStageData*>(data);
    if (!d) return;
    engineFree(ctx, d->matrix);
    engineFree(ctx, d->offsets);
    engineFree(ctx, d);
}

MatrixStageData* newMatrixData(EngineContext* ctx, uint32_t rows, uint32_t columns, const double* matrix,
                               const double* offsets)
{
    auto* d = static_cast<MatrixStageData*>(engineAllocZero(ctx, sizeof(MatrixStageData)));
    if (!d) return nullptr;
    d->rows = rows;
    d->columns = columns;
    d->matrix = static_cast<double*>(engineAllocArray(ctx, size_t(rows) * columns, sizeof(double)));
    if (d->matrix) std::memcpy(d->matrix, matrix, size_t(rows) * columns * sizeof(double));
    if (offsets) {
        d->offsets = static_cast<double*>(engineAllocArray(ctx, rows, sizeof(double)));
        if (d->offsets) std::memcpy(d->offsets, offsets, rows * sizeof(double));
    }
    if (!d->matrix || (offsets && !d->offsets)) {
        freeMatrixData(ctx, d);
        return nullptr;
    }
    return d;
}

void* dupMatrixData(EngineContext* ctx, const void* data)
{
    auto* d = static_cast<const MatrixStageData*>(data);
    return newMatrixData(ctx, d->rows, d->columns, d->matrix, d->offsets);
}

void evalMatrix(const float in[], float out[], const Stage* stage)
{
    auto* d = static_cast<const MatrixStageData*>(stage->data);
    for (uint32_t i = 0; i < d->rows; ++i) {
        const double* row = d->matrix + size_t(i) * d->columns;
        double sum = d->offsets ? d->offsets[i] : 0.0;
        for (uint32_t j = 0; j < d->columns; ++j) sum += double(in[j]) * row[j];
        out[i] = float(sum);
    }
}

// A 3×3 diagonal matrix stage that stands for one of the PCS conversions.
Stage* diagonalStage(EngineContext* ctx, uint32_t implements, const double diagonal[3], const double offsets[3])
{
    const double m[9] = {diagonal[0], 0, 0, 0, diagonal[1], 0, 0, 0, diagonal[2]};
    Stage* stage = newMatrixStage(ctx, 3, 3, m, offsets);
    if (stage) stage->implements = implements;
    return stage;
}

// ---------------------------------------------------------------------------
// CLUT
// ---------------------------------------------------------------------------

void freeClutData(EngineContext* ctx, void* data)
{
    auto* d = static_cast<ClutStageData*>(data);
    if (!d) return;
    freeInterpParams(d->params);
    engineFree(ctx, d->table);
    engineFree(ctx, d);
}

// Checks a grid and returns its node count, or 0 after reporting.
uint32_t gridProduct(EngineContext* ctx, const uint32_t gridPoints[], uint32_t inputs)
{
    uint64_t product = 1;
    for (uint32_t i = 0; i < inputs; ++i) {
        if (gridPoints[i] < 2) {
            reportError(ctx, ErrRange, "Bad CLUT grid: %u points along input %u", gridPoints[i], i + 1);
            return 0;
        }
        product *= gridPoints[i];
        if (product >= MaxGridProduct) {
            reportError(ctx, ErrRange, "CLUT grid too large");
            return 0;
        }
    }
    return uint32_t(product);
}

// A CLUT of 16-bit words or of floats, zero-filled unless a table is given.
ClutStageData* newClutData(EngineContext* ctx, const uint32_t gridPoints[], uint32_t inputs, uint32_t outputs,
                           const void* table, bool isFloat)
{
    if (inputs > MaxClutInputs) {
        reportError(ctx, ErrRange, "Too many input channels (%d channels, max=%d)", int(inputs), int(MaxClutInputs));
        return nullptr;
    }
    if (inputs == 0 || outputs == 0 || outputs > MaxStageChannels) {
        reportError(ctx, ErrRange, "Bad CLUT channels (%u->%u)", inputs, outputs);
        return nullptr;
    }
    if (!gridPoints) {
        reportError(ctx, ErrNull, "CLUT without grid");
        return nullptr;
    }
    const uint32_t nodes = gridProduct(ctx, gridPoints, inputs);
    if (nodes == 0) return nullptr;
    const uint64_t entries = uint64_t(nodes) * outputs;
    const size_t elementSize = isFloat ? sizeof(float) : sizeof(uint16_t);
    if (entries * elementSize > MaxAllocation) {
        reportError(ctx, ErrRange, "CLUT too large (%llu entries)", static_cast<unsigned long long>(entries));
        return nullptr;
    }

    auto* d = static_cast<ClutStageData*>(engineAllocZero(ctx, sizeof(ClutStageData)));
    if (!d) return nullptr;
    d->isFloat = isFloat;
    d->entries = uint32_t(entries);
    d->table = engineAllocArray(ctx, d->entries, elementSize);   // zero-filled
    if (!d->table) {
        freeClutData(ctx, d);
        return nullptr;
    }
    if (table) std::memcpy(d->table, table, size_t(d->entries) * elementSize);
    d->params = newInterpParams(ctx, gridPoints, inputs, outputs, d->table, isFloat ? InterpFlagFloat : 0);
    if (!d->params) {
        freeClutData(ctx, d);
        return nullptr;
    }
    return d;
}

void* dupClutData(EngineContext* ctx, const void* data)
{
    auto* d = static_cast<const ClutStageData*>(data);
    const InterpParams* p = d->params;
    ClutStageData* copy = newClutData(ctx, p->gridPoints, p->inputs, p->outputs, d->table, d->isFloat);
    if (copy && (p->flags & (InterpFlagTrilinear | InterpFlagExtrapolate))) {
        // Keep the routine the original was set up with.
        InterpParams* q = newInterpParams(ctx, p->gridPoints, p->inputs, p->outputs, copy->table, p->flags);
        if (!q) {
            freeClutData(ctx, copy);
            return nullptr;
        }
        freeInterpParams(copy->params);
        copy->params = q;
    }
    return copy;
}

void evalClut16(const float in[], float out[], const Stage* stage)
{
    auto* d = static_cast<const ClutStageData*>(stage->data);
    uint16_t in16[MaxClutInputs], out16[MaxStageChannels];
    for (uint32_t i = 0; i < stage->inputs; ++i) in16[i] = quickSaturateWord(double(in[i]) * 65535.0);
    d->params->routine.lerp16(in16, out16, d->params);
    for (uint32_t o = 0; o < stage->outputs; ++o) out[o] = wordToUnit(out16[o]);
}

void evalClutFloat(const float in[], float out[], const Stage* stage)
{
    auto* d = static_cast<const ClutStageData*>(stage->data);
    d->params->routine.lerpFloat(in, out, d->params);
}

Stage* newClutStage(EngineContext* ctx, const uint32_t gridPoints[], uint32_t inputs, uint32_t outputs,
                    const void* table, bool isFloat)
{
    ClutStageData* d = newClutData(ctx, gridPoints, inputs, outputs, table, isFloat);
    if (!d) return nullptr;
    return adoptStage(ctx, StageClutKind, inputs, outputs, isFloat ? evalClutFloat : evalClut16, dupClutData,
                      freeClutData, d);
}

Stage* newClutStageUniform(EngineContext* ctx, uint32_t gridPoints, uint32_t inputs, uint32_t outputs,
                           const void* table, bool isFloat)
{
    if (inputs > MaxClutInputs) {
        reportError(ctx, ErrRange, "Too many input channels (%d channels, max=%d)", int(inputs), int(MaxClutInputs));
        return nullptr;
    }
    uint32_t grid[MaxClutInputs];
    for (uint32_t& g : grid) g = gridPoints;
    return newClutStage(ctx, grid, inputs, outputs, table, isFloat);
}

const ClutStageData* clutData(const Stage* stage)
{
    if (!stage || stage->kind != StageClutKind || stage->eval == nullptr) return nullptr;
    if (stage->eval != evalClut16 && stage->eval != evalClutFloat) return nullptr;
    return static_cast<const ClutStageData*>(stage->data);
}

// ---------------------------------------------------------------------------
// Identity, clipping and PCS conversions
// ---------------------------------------------------------------------------

void evalIdentity(const float in[], float out[], const Stage* stage)
{
    std::memcpy(out, in, stage->inputs * sizeof(float));
}

void evalClipNegatives(const float in[], float out[], const Stage* stage)
{
    for (uint32_t i = 0; i < stage->inputs; ++i) out[i] = in[i] < 0 ? 0.0f : in[i];
}

void evalLabToXyz(const float in[], float out[], const Stage*)
{
    const CieLab lab{in[0] * 100.0, in[1] * 255.0 - 128.0, in[2] * 255.0 - 128.0};
    const CieXyz xyz = labToXyz(nullptr, lab);
    out[0] = float(xyz.X / XyzScale);
    out[1] = float(xyz.Y / XyzScale);
    out[2] = float(xyz.Z / XyzScale);
}

void evalXyzToLab(const float in[], float out[], const Stage*)
{
    const CieXyz xyz{in[0] * XyzScale, in[1] * XyzScale, in[2] * XyzScale};
    const CieLab lab = xyzToLabForFloat(xyz);
    out[0] = float(lab.L / 100.0);
    out[1] = float((lab.a + 128.0) / 255.0);
    out[2] = float((lab.b + 128.0) / 255.0);
}

bool identitySampler(const uint16_t in[], uint16_t out[], void* cargo)
{
    const uint32_t channels = *static_cast<const uint32_t*>(cargo);
    std::memcpy(out, in, channels * sizeof(uint16_t));
    return true;
}

// ---------------------------------------------------------------------------
// Pipeline helpers
// ---------------------------------------------------------------------------

Stage* lastOf(const Pipeline* p)
{
    Stage* s = p->first;
    while (s && s->next) s = s->next;
    return s;
}

void defaultEvalFloat(const float in[], float out[], const Pipeline* p)
{
    if (!p->consistent) {
        std::memset(out, 0, p->outputs * sizeof(float));
        return;
    }
    float buffer[2][MaxStageChannels];
    std::memcpy(buffer[0], in, p->inputs * sizeof(float));
    if (!p->first && p->outputs > p->inputs)
        std::memset(buffer[0] + p->inputs, 0, (p->outputs - p->inputs) * sizeof(float));
    int phase = 0;
    for (const Stage* s = p->first; s; s = s->next) {
        s->eval(buffer[phase], buffer[phase ^ 1], s);
        phase ^= 1;
    }
    std::memcpy(out, buffer[phase], p->outputs * sizeof(float));
}

void defaultEval16(const uint16_t in[], uint16_t out[], const Pipeline* p)
{
    if (!p->consistent) {
        std::memset(out, 0, p->outputs * sizeof(uint16_t));
        return;
    }
    float buffer[2][MaxStageChannels];
    for (uint32_t i = 0; i < p->inputs; ++i) buffer[0][i] = wordToUnit(in[i]);
    if (!p->first && p->outputs > p->inputs)
        std::memset(buffer[0] + p->inputs, 0, (p->outputs - p->inputs) * sizeof(float));
    int phase = 0;
    for (const Stage* s = p->first; s; s = s->next) {
        s->eval(buffer[phase], buffer[phase ^ 1], s);
        phase ^= 1;
    }
    for (uint32_t i = 0; i < p->outputs; ++i) out[i] = quickSaturateWord(double(buffer[phase][i]) * 65535.0);
}

} // namespace

// ---------------------------------------------------------------------------
// Channel check
// ---------------------------------------------------------------------------

// Counts follow the first and last stages; neighbouring stages must agree.
bool checkPipelineChannels(Pipeline* p)
{
    if (!p->first) {
        p->consistent = true;
        return true;
    }
    p->inputs = p->first->inputs;
    p->outputs = lastOf(p)->outputs;
    uint32_t index = 1;
    for (const Stage* s = p->first; s->next; s = s->next, ++index) {
        if (s->outputs != s->next->inputs) {
            reportError(p->ctx, ErrRange, "Pipeline stage %u gives %u channels but the next takes %u", index,
                        s->outputs, s->next->inputs);
            p->consistent = false;
            return false;
        }
    }
    p->consistent = true;
    return true;
}

// ---------------------------------------------------------------------------
// Stage constructors
// ---------------------------------------------------------------------------

Stage* newStage(EngineContext* ctx, uint32_t kind, uint32_t inputs, uint32_t outputs, StageEvalFn eval,
                StageDupDataFn dupData, StageFreeDataFn freeData, void* data)
{
    if (inputs > MaxStageChannels || outputs > MaxStageChannels) {
        reportError(ctx, ErrRange, "Too many channels in stage (%u->%u, max=%u)", inputs, outputs, MaxStageChannels);
        return nullptr;
    }
    if (!eval) {
        reportError(ctx, ErrNull, "Stage without evaluation function");
        return nullptr;
    }
    auto* stage = static_cast<Stage*>(engineAllocZero(ctx, sizeof(Stage)));
    if (!stage) return nullptr;
    stage->ctx = ctx;
    stage->kind = kind;
    stage->implements = kind;
    stage->inputs = inputs;
    stage->outputs = outputs;
    stage->eval = eval;
    stage->dupData = dupData;
    stage->freeData = freeData;
    stage->data = data;
    return stage;
}

Stage* newCurvesStage(EngineContext* ctx, uint32_t count, const ToneCurve* const curves[])
{
    if (count == 0 || count > MaxStageChannels) {
        reportError(ctx, ErrRange, "Couldn't create a stage of %u curves", count);
        return nullptr;
    }
    if (curves) {
        for (uint32_t i = 0; i < count; ++i) {
            if (!curves[i]) {
                reportError(ctx, ErrNull, "Curve %u of a curves stage is missing", i + 1);
                return nullptr;
            }
        }
    }
    CurvesStageData* d = newCurvesData(ctx, count, curves);
    if (!d) return nullptr;
    return adoptStage(ctx, StageCurvesKind, count, count, evalCurves, dupCurvesData, freeCurvesData, d);
}

Stage* newMatrixStage(EngineContext* ctx, uint32_t rows, uint32_t columns, const double matrix[],
                      const double offsets[])
{
    const uint64_t n = uint64_t(rows) * columns;
    if (n == 0 || n > UINT32_MAX) {
        reportError(ctx, ErrRange, "Bad matrix size (%u x %u)", rows, columns);
        return nullptr;
    }
    if (rows > MaxStageChannels || columns > MaxStageChannels) {
        reportError(ctx, ErrRange, "Too many channels in stage (%u->%u, max=%u)", columns, rows, MaxStageChannels);
        return nullptr;
    }
    if (!matrix) {
        reportError(ctx, ErrNull, "Matrix stage without a matrix");
        return nullptr;
    }
    MatrixStageData* d = newMatrixData(ctx, rows, columns, matrix, offsets);
    if (!d) return nullptr;
    return adoptStage(ctx, StageMatrixKind, columns, rows, evalMatrix, dupMatrixData, freeMatrixData, d);
}

Stage* newClut16Stage(EngineContext* ctx, const uint32_t gridPoints[], uint32_t inputs, uint32_t outputs,
                      const uint16_t table[])
{
    return newClutStage(ctx, gridPoints, inputs, outputs, table, false);
}

Stage* newClut16StageUniform(EngineContext* ctx, uint32_t gridPoints, uint32_t inputs, uint32_t outputs,
                             const uint16_t table[])
{
    return newClutStageUniform(ctx, gridPoints, inputs, outputs, table, false);
}

Stage* newClutFloatStage(EngineContext* ctx, const uint32_t gridPoints[], uint32_t inputs, uint32_t outputs,
                         const float table[])
{
    return newClutStage(ctx, gridPoints, inputs, outputs, table, true);
}

Stage* newClutFloatStageUniform(EngineContext* ctx, uint32_t gridPoints, uint32_t inputs, uint32_t outputs,
                                const float table[])
{
    return newClutStageUniform(ctx, gridPoints, inputs, outputs, table, true);
}

Stage* newIdentityStage(EngineContext* ctx, uint32_t channels)
{
    return newStage(ctx, StageIdentityKind, channels, channels, evalIdentity, nullptr, nullptr, nullptr);
}

Stage* newIdentityClutStage(EngineContext* ctx, uint32_t channels)
{
    StagePtr stage(newClut16StageUniform(ctx, 2, channels, channels, nullptr), &freeStage);
    if (!stage || !sampleClut16(stage.get(), identitySampler, &channels, 0)) return nullptr;
    stage->implements = StageIdentityKind;
    return stage.release();
}

Stage* newClipNegativesStage(EngineContext* ctx, uint32_t channels)
{
    return newStage(ctx, StageClipNegativesKind, channels, channels, evalClipNegatives, nullptr, nullptr, nullptr);
}

Stage* newLabToXyzStage(EngineContext* ctx)
{
    return newStage(ctx, StageLabToXyzKind, 3, 3, evalLabToXyz, nullptr, nullptr, nullptr);
}

Stage* newXyzToLabStage(EngineContext* ctx)
{
    return newStage(ctx, StageXyzToLabKind, 3, 3, evalXyzToLab, nullptr, nullptr, nullptr);
}

Stage* newLabV2ToV4Stage(EngineContext* ctx)
{
    const double d[3] = {257.0 / 256.0, 257.0 / 256.0, 257.0 / 256.0};
    return diagonalStage(ctx, StageLabV2ToV4Kind, d, nullptr);
}

Stage* newLabV4ToV2Stage(EngineContext* ctx)
{
    const double d[3] = {256.0 / 257.0, 256.0 / 257.0, 256.0 / 257.0};
    return diagonalStage(ctx, StageLabV4ToV2Kind, d, nullptr);
}

Stage* newLabV2ToV4CurvesStage(EngineContext* ctx)
{
    uint16_t table[258];
    for (uint32_t j = 0; j < 257; ++j) table[j] = uint16_t((128 + j * 65535) / 256);
    table[257] = 0xFFFF;
    ToneCurve* curves[3] = {};
    for (ToneCurve*& c : curves) c = buildTabulatedCurve16(ctx, 258, table);
    Stage* stage = nullptr;
    if (curves[0] && curves[1] && curves[2]) stage = newCurvesStage(ctx, 3, curves);
    freeCurveTriple(curves);
    if (stage) stage->implements = StageLabV2ToV4Kind;
    return stage;
}

Stage* newLabToNormalisedStage(EngineContext* ctx)
{
    const double d[3] = {0.01, 1.0 / 255.0, 1.0 / 255.0};
    const double o[3] = {0, 128.0 / 255.0, 128.0 / 255.0};
    return diagonalStage(ctx, StageLabToNormalisedKind, d, o);
}

Stage* newNormalisedToLabStage(EngineContext* ctx)
{
    const double d[3] = {100, 255, 255};
    const double o[3] = {0, -128, -128};
    return diagonalStage(ctx, StageNormalisedToLabKind, d, o);
}

Stage* newXyzToNormalisedStage(EngineContext* ctx)
{
    const double d[3] = {32768.0 / 65535.0, 32768.0 / 65535.0, 32768.0 / 65535.0};
    return diagonalStage(ctx, StageXyzToNormalisedKind, d, nullptr);
}

Stage* newNormalisedToXyzStage(EngineContext* ctx)
{
    const double d[3] = {XyzScale, XyzScale, XyzScale};
    return diagonalStage(ctx, StageNormalisedToXyzKind, d, nullptr);
}

Stage* duplicateStage(const Stage* stage)
{
    if (!stage) return nullptr;
    void* data = nullptr;
    if (stage->data) {
        if (stage->dupData) {
            data = stage->dupData(stage->ctx, stage->data);
            if (!data) return nullptr;
        } else if (!stage->freeData) {
            data = stage->data;   // shared, owned by no stage
        } else {
            reportError(stage->ctx, ErrInternal, "Stage '%c%c%c%c' cannot be copied", char(stage->kind >> 24),
                        char(stage->kind >> 16), char(stage->kind >> 8), char(stage->kind));
            return nullptr;
        }
    }
    Stage* copy = newStage(stage->ctx, stage->kind, stage->inputs, stage->outputs, stage->eval, stage->dupData,
                           stage->freeData, data);
    if (!copy) {
        if (data != stage->data && stage->freeData) stage->freeData(stage->ctx, data);
        return nullptr;
    }
    copy->implements = stage->implements;
    return copy;
}

void freeStage(Stage* stage)
{
    if (!stage) return;
    if (stage->freeData && stage->data) stage->freeData(stage->ctx, stage->data);
    engineFree(stage->ctx, stage);
}

// ---------------------------------------------------------------------------
// Stage accessors
// ---------------------------------------------------------------------------

uint32_t stageKind(const Stage* stage) { return stage ? stage->kind : 0; }
uint32_t stageImplementedKind(const Stage* stage) { return stage ? stage->implements : 0; }
uint32_t stageInputs(const Stage* stage) { return stage ? stage->inputs : 0; }
uint32_t stageOutputs(const Stage* stage) { return stage ? stage->outputs : 0; }
void* stageData(const Stage* stage) { return stage ? stage->data : nullptr; }
Stage* stageNext(const Stage* stage) { return stage ? stage->next : nullptr; }
EngineContext* stageContext(const Stage* stage) { return stage ? stage->ctx : nullptr; }

void evalStageFloat(const Stage* stage, const float in[], float out[])
{
    stage->eval(in, out, stage);
}

ToneCurve* const* stageCurves(const Stage* stage)
{
    if (!isCurvesStage(stage)) return nullptr;
    return static_cast<const CurvesStageData*>(stage->data)->curves;
}

const double* stageMatrix(const Stage* stage)
{
    if (!stage || stage->kind != StageMatrixKind || stage->eval != evalMatrix) return nullptr;
    return static_cast<const MatrixStageData*>(stage->data)->matrix;
}

const double* stageOffsets(const Stage* stage)
{
    if (!stage || stage->kind != StageMatrixKind || stage->eval != evalMatrix) return nullptr;
    return static_cast<const MatrixStageData*>(stage->data)->offsets;
}

bool clutIsFloat(const Stage* stage)
{
    const ClutStageData* d = clutData(stage);
    return d && d->isFloat;
}

const uint32_t* clutGridPoints(const Stage* stage)
{
    const ClutStageData* d = clutData(stage);
    return d ? d->params->gridPoints : nullptr;
}

uint32_t clutEntryCount(const Stage* stage)
{
    const ClutStageData* d = clutData(stage);
    return d ? d->entries : 0;
}

uint16_t* clutTable16(const Stage* stage)
{
    const ClutStageData* d = clutData(stage);
    return d && !d->isFloat ? static_cast<uint16_t*>(d->table) : nullptr;
}

float* clutTableFloat(const Stage* stage)
{
    const ClutStageData* d = clutData(stage);
    return d && d->isFloat ? static_cast<float*>(d->table) : nullptr;
}

const InterpParams* clutInterpParams(const Stage* stage)
{
    const ClutStageData* d = clutData(stage);
    return d ? d->params : nullptr;
}

bool makeUnbounded(Pipeline* pipeline)
{
    if (!pipeline) return false;
    for (Stage* s = pipeline->first; s; s = s->next) {
        if (isCurvesStage(s)) {
            s->eval = evalCurvesUnbounded;
            continue;
        }
        auto* d = const_cast<ClutStageData*>(clutData(s));
        if (!d || !d->isFloat || s->inputs != 3 || (d->params->flags & InterpFlagExtrapolate)) continue;
        const InterpParams* old = d->params;
        InterpParams* params = newInterpParams(s->ctx, old->gridPoints, old->inputs, old->outputs, d->table,
                                               old->flags | InterpFlagExtrapolate);
        if (!params) return false;
        freeInterpParams(d->params);
        d->params = params;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Pipelines
// ---------------------------------------------------------------------------

Pipeline* newPipeline(EngineContext* ctx, uint32_t inputs, uint32_t outputs)
{
    if (inputs >= MaxPipelineChannels || outputs >= MaxPipelineChannels) {
        reportError(ctx, ErrRange, "Couldn't create a pipeline of %u->%u channels (max=%u)", inputs, outputs,
                    MaxPipelineChannels - 1);
        return nullptr;
    }
    auto* p = static_cast<Pipeline*>(engineAllocZero(ctx, sizeof(Pipeline)));
    if (!p) return nullptr;
    p->ctx = ctx;
    p->inputs = inputs;
    p->outputs = outputs;
    p->consistent = true;
    return p;
}

Pipeline* duplicatePipeline(const Pipeline* pipeline)
{
    if (!pipeline) return nullptr;
    EngineContext* ctx = pipeline->ctx;
    PipelinePtr copy(static_cast<Pipeline*>(engineAllocZero(ctx, sizeof(Pipeline))), &freePipeline);
    if (!copy) return nullptr;
    copy->ctx = ctx;
    copy->inputs = pipeline->inputs;
    copy->outputs = pipeline->outputs;
    copy->saveAs8Bits = pipeline->saveAs8Bits;
    copy->labV2 = pipeline->labV2;

    Stage** tail = &copy->first;
    for (const Stage* s = pipeline->first; s; s = s->next) {
        *tail = duplicateStage(s);
        if (!*tail) return nullptr;
        tail = &(*tail)->next;
    }
    checkPipelineChannels(copy.get());
    copy->consistent = pipeline->consistent;

    // The optimiser's evaluators come along with copies of their data; data
    // that cannot be copied leave the copy on the default evaluators.
    if (pipeline->data && pipeline->dupData) {
        copy->data = pipeline->dupData(ctx, pipeline->data);
        if (!copy->data) return nullptr;
        copy->freeData = pipeline->freeData;
        copy->dupData = pipeline->dupData;
        copy->eval16 = pipeline->eval16;
        copy->evalFloat = pipeline->evalFloat;
    } else if (!pipeline->data || !pipeline->freeData) {
        copy->data = pipeline->data;
        copy->eval16 = pipeline->eval16;
        copy->evalFloat = pipeline->evalFloat;
    }
    return copy.release();
}

void freePipeline(Pipeline* pipeline)
{
    if (!pipeline) return;
    for (Stage* s = pipeline->first; s;) {
        Stage* next = s->next;
        freeStage(s);
        s = next;
    }
    if (pipeline->freeData && pipeline->data) pipeline->freeData(pipeline->ctx, pipeline->data);
    engineFree(pipeline->ctx, pipeline);
}

bool insertStage(Pipeline* pipeline, uint32_t where, Stage* stage)
{
    if (!pipeline || !stage) return false;
    if (where == AtBegin) {
        stage->next = pipeline->first;
        pipeline->first = stage;
    } else if (where == AtEnd) {
        stage->next = nullptr;
        if (Stage* last = lastOf(pipeline))
            last->next = stage;
        else
            pipeline->first = stage;
    } else {
        reportError(pipeline->ctx, ErrRange, "Bad place %u to insert a stage", where);
        return false;
    }
    return checkPipelineChannels(pipeline);
}

bool unlinkStage(Pipeline* pipeline, uint32_t where, Stage** stage)
{
    if (stage) *stage = nullptr;
    if (!pipeline || !pipeline->first) return false;
    Stage* removed = nullptr;
    if (where == AtBegin) {
        removed = pipeline->first;
        pipeline->first = removed->next;
    } else if (where == AtEnd) {
        Stage* before = nullptr;
        removed = pipeline->first;
        while (removed->next) {
            before = removed;
            removed = removed->next;
        }
        if (before)
            before->next = nullptr;
        else
            pipeline->first = nullptr;
    } else {
        reportError(pipeline->ctx, ErrRange, "Bad place %u to unlink a stage", where);
        return false;
    }
    removed->next = nullptr;
    if (stage)
        *stage = removed;
    else
        freeStage(removed);
    return checkPipelineChannels(pipeline);
}

bool appendPipeline(Pipeline* first, const Pipeline* second)
{
    if (!first || !second) return false;
    if (!first->first && !second->first) {
        first->inputs = second->inputs;
        first->outputs = second->outputs;
    }
    // Copy everything before linking, so that a failed copy changes nothing.
    Stage* head = nullptr;
    Stage** tail = &head;
    for (const Stage* s = second->first; s; s = s->next) {
        *tail = duplicateStage(s);
        if (!*tail) {
            while (head) {
                Stage* next = head->next;
                freeStage(head);
                head = next;
            }
            return false;
        }
        tail = &(*tail)->next;
    }
    if (Stage* last = lastOf(first))
        last->next = head;
    else
        first->first = head;
    return checkPipelineChannels(first);
}

bool matchStageKinds(const Pipeline* pipeline, uint32_t count, const uint32_t kinds[], Stage* stages[])
{
    if (!pipeline || pipelineStageCount(pipeline) != count) return false;
    uint32_t i = 0;
    for (const Stage* s = pipeline->first; s; s = s->next, ++i)
        if (s->kind != kinds[i]) return false;
    if (stages) {
        i = 0;
        for (Stage* s = pipeline->first; s; s = s->next) stages[i++] = s;
    }
    return true;
}

void evalPipeline16(const uint16_t in[], uint16_t out[], const Pipeline* pipeline)
{
    if (pipeline->eval16)
        pipeline->eval16(in, out, pipeline->data);
    else
        defaultEval16(in, out, pipeline);
}

void evalPipelineFloat(const float in[], float out[], const Pipeline* pipeline)
{
    if (pipeline->evalFloat)
        pipeline->evalFloat(in, out, pipeline->data);
    else
        defaultEvalFloat(in, out, pipeline);
}

uint32_t pipelineInputs(const Pipeline* pipeline) { return pipeline ? pipeline->inputs : 0; }
uint32_t pipelineOutputs(const Pipeline* pipeline) { return pipeline ? pipeline->outputs : 0; }
Stage* pipelineFirstStage(const Pipeline* pipeline) { return pipeline ? pipeline->first : nullptr; }
Stage* pipelineLastStage(const Pipeline* pipeline) { return pipeline ? lastOf(pipeline) : nullptr; }
EngineContext* pipelineContext(const Pipeline* pipeline) { return pipeline ? pipeline->ctx : nullptr; }
void setPipelineSaveAs8Bits(Pipeline* pipeline, bool on) { if (pipeline) pipeline->saveAs8Bits = on; }
bool pipelineSaveAs8Bits(const Pipeline* pipeline) { return pipeline && pipeline->saveAs8Bits; }
void setPipelineLabV2(Pipeline* pipeline, bool on) { if (pipeline) pipeline->labV2 = on; }
bool pipelineLabV2(const Pipeline* pipeline) { return pipeline && pipeline->labV2; }
void* pipelineEvaluatorData(const Pipeline* pipeline) { return pipeline ? pipeline->data : nullptr; }

uint32_t pipelineStageCount(const Pipeline* pipeline)
{
    uint32_t n = 0;
    if (pipeline)
        for (const Stage* s = pipeline->first; s; s = s->next) ++n;
    return n;
}

void setPipelineEvaluators(Pipeline* pipeline, PipelineEval16Fn eval16, PipelineEvalFloatFn evalFloat, void* data,
                           FreeUserDataFn freeData, DupUserDataFn dupData)
{
    if (!pipeline) return;
    if (pipeline->data && pipeline->data != data && pipeline->freeData)
        pipeline->freeData(pipeline->ctx, pipeline->data);
    pipeline->eval16 = eval16;
    pipeline->evalFloat = evalFloat;
    pipeline->data = data;
    pipeline->freeData = freeData;
    pipeline->dupData = dupData;
}

// ---------------------------------------------------------------------------
// Sampling
// ---------------------------------------------------------------------------

namespace {

// Checks what every walk over a grid needs; returns the node count or 0.
uint32_t walkableNodes(EngineContext* ctx, uint32_t inputs, uint32_t outputs, const uint32_t gridPoints[])
{
    if (inputs == 0 || inputs > MaxClutInputs) {
        reportError(ctx, ErrRange, "Too many input channels (%d channels, max=%d)", int(inputs), int(MaxClutInputs));
        return 0;
    }
    if (outputs >= MaxStageChannels) {
        reportError(ctx, ErrRange, "Too many output channels (%d channels, max=%d)", int(outputs),
                    int(MaxStageChannels - 1));
        return 0;
    }
    return gridProduct(ctx, gridPoints, inputs);
}

// Grid indices of node `index` (the last input varies fastest).
void nodeIndices(uint32_t index, uint32_t inputs, const uint32_t gridPoints[], uint32_t k[])
{
    for (uint32_t t = inputs; t > 0; --t) {
        k[t - 1] = index % gridPoints[t - 1];
        index /= gridPoints[t - 1];
    }
}

} // namespace

namespace {

// A walk over the nodes of a 16-bit table, or a range of them.
struct NodeWalk {
    const InterpParams* p;
    uint16_t* table;
    Sampler16Fn sampler;
    void* cargo;
    bool inspect;
    std::atomic<bool> failed{false};
};

void walkNodes(void* walk, uint32_t first, uint32_t end)
{
    auto* w = static_cast<NodeWalk*>(walk);
    const InterpParams* p = w->p;
    uint16_t in[MaxClutInputs], out[MaxStageChannels];
    uint32_t k[MaxClutInputs];
    for (uint32_t index = first; index < end; ++index) {
        nodeIndices(index, p->inputs, p->gridPoints, k);
        for (uint32_t t = 0; t < p->inputs; ++t) in[t] = quantizeNode(k[t], p->gridPoints[t]);
        uint16_t* node = w->table + size_t(index) * p->outputs;
        std::memcpy(out, node, p->outputs * sizeof(uint16_t));
        if (w->failed.load(std::memory_order_relaxed) || !w->sampler(in, out, w->cargo)) {
            w->failed.store(true, std::memory_order_relaxed);
            return;
        }
        if (!w->inspect) std::memcpy(node, out, p->outputs * sizeof(uint16_t));
    }
}

// The nodes of a 16-bit table stage, 0 when it is none.
uint32_t sampledNodes(Stage* clut, Sampler16Fn sampler)
{
    const ClutStageData* d = clutData(clut);
    if (!d || d->isFloat || !sampler) {
        reportError(clut ? clut->ctx : nullptr, ErrInternal, "Not a 16-bit CLUT stage to sample");
        return 0;
    }
    return walkableNodes(clut->ctx, d->params->inputs, d->params->outputs, d->params->gridPoints);
}

} // namespace

bool sampleClut16(Stage* clut, Sampler16Fn sampler, void* cargo, uint32_t flags)
{
    const uint32_t nodes = sampledNodes(clut, sampler);
    if (nodes == 0) return false;
    const ClutStageData* d = clutData(clut);
    NodeWalk walk{d->params, static_cast<uint16_t*>(d->table), sampler, cargo, (flags & SamplerInspect) != 0};
    walkNodes(&walk, 0, nodes);
    return !walk.failed;
}

bool sampleClut16Shared(Stage* clut, Sampler16Fn sampler, void* cargo)
{
    const uint32_t nodes = sampledNodes(clut, sampler);
    if (nodes == 0) return false;
    const ClutStageData* d = clutData(clut);
    NodeWalk walk{d->params, static_cast<uint16_t*>(d->table), sampler, cargo, false};
    runRanges(clut->ctx, nodes, 1024, walkNodes, &walk);
    return !walk.failed;
}

bool sampleClutFloat(Stage* clut, SamplerFloatFn sampler, void* cargo, uint32_t flags)
{
    const ClutStageData* d = clutData(clut);
    if (!d || !d->isFloat || !sampler) {
        reportError(clut ? clut->ctx : nullptr, ErrInternal, "Not a float CLUT stage to sample");
        return false;
    }
    const InterpParams* p = d->params;
    const uint32_t nodes = walkableNodes(clut->ctx, p->inputs, p->outputs, p->gridPoints);
    if (nodes == 0) return false;

    auto* table = static_cast<float*>(d->table);
    float in[MaxClutInputs], out[MaxStageChannels];
    uint32_t k[MaxClutInputs];
    for (uint32_t index = 0; index < nodes; ++index) {
        nodeIndices(index, p->inputs, p->gridPoints, k);
        for (uint32_t t = 0; t < p->inputs; ++t) in[t] = float(double(k[t]) / double(p->gridPoints[t] - 1));
        float* node = table + size_t(index) * p->outputs;
        std::memcpy(out, node, p->outputs * sizeof(float));
        if (!sampler(in, out, cargo)) return false;
        if (!(flags & SamplerInspect)) std::memcpy(node, out, p->outputs * sizeof(float));
    }
    return true;
}

bool sliceSpace16(uint32_t inputs, const uint32_t gridPoints[], Sampler16Fn sampler, void* cargo)
{
    if (!gridPoints || !sampler) return false;
    const uint32_t nodes = walkableNodes(nullptr, inputs, 0, gridPoints);
    if (nodes == 0) return false;
    uint16_t in[MaxClutInputs], scratch[MaxStageChannels];
    uint32_t k[MaxClutInputs];
    for (uint32_t index = 0; index < nodes; ++index) {
        nodeIndices(index, inputs, gridPoints, k);
        for (uint32_t t = 0; t < inputs; ++t) in[t] = quantizeNode(k[t], gridPoints[t]);
        std::memset(scratch, 0, sizeof scratch);
        if (!sampler(in, scratch, cargo)) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Reverse evaluation
// ---------------------------------------------------------------------------

bool reverseEvalFloat(const float target[4], float result[4], const float hint[4], const Pipeline* pipeline)
{
    if (!pipeline || !target || !result) return false;
    const uint32_t inputs = pipeline->inputs;
    if ((inputs != 3 && inputs != 4) || pipeline->outputs != 3) return false;

    constexpr int MaxIterations = 30;
    constexpr float Step = 0.001f;

    float x[4] = {0.3f, 0.3f, 0.3f, 0.0f};
    if (hint) std::memcpy(x, hint, 3 * sizeof(float));
    x[3] = inputs == 4 ? target[3] : 0.0f;

    double lastError = HUGE_VAL;
    bool found = false;
    for (int iteration = 0; iteration < MaxIterations; ++iteration) {
        float fx[MaxStageChannels];
        evalPipelineFloat(x, fx, pipeline);
        const double dx = double(fx[0]) - target[0], dy = double(fx[1]) - target[1], dz = double(fx[2]) - target[2];
        const double error = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (!(error < lastError)) break;   // no better than the last point: keep it
        lastError = error;
        std::memcpy(result, x, inputs * sizeof(float));
        found = true;
        if (error == 0) break;

        // Jacobian by finite differences, stepping inwards from the top end.
        Mat3 jacobian;
        for (int j = 0; j < 3; ++j) {
            float xd[4] = {x[0], x[1], x[2], x[3]};
            xd[j] = x[j] < 1.0f - Step ? x[j] + Step : x[j] - Step;
            const double delta = double(xd[j]) - double(x[j]);
            float fxd[MaxStageChannels];
            evalPipelineFloat(xd, fxd, pipeline);
            for (int i = 0; i < 3; ++i) jacobian.m[i * 3 + j] = (double(fxd[i]) - fx[i]) / delta;
        }
        const Vec3 residual{{dx, dy, dz}};
        Vec3 step;
        if (!solve3x3(jacobian, residual, &step)) return false;
        for (int i = 0; i < 3; ++i) {
            const double moved = double(x[i]) - step.v[i];
            x[i] = float(moved < 0 ? 0 : moved > 1 ? 1 : moved);
        }
    }
    return found;
}
