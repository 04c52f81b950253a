// Pipeline optimisation.
//
// A transform's pipeline is first simplified (stages that do nothing or cancel
// out are removed, neighbouring matrices multiplied) and then, for integer
// formats, usually replaced by a faster equivalent with an evaluator of its
// own: joined curves, the 8-bit matrix-shaper, a pre-linearised CLUT, or a
// CLUT resampled from the whole chain. Every replacement keeps stages that
// describe what it computes, so an optimised pipeline can still be evaluated
// in float, copied and written into a profile.
//
// The replacement evaluators are integer-only. The 8-bit ones read the sample
// value straight from the 16-bit word the formatters make of it (v × 257);
// any other word takes their general path. Transforms whose formats allow it
// run a whole-line worker over the same tables instead of unpacking each
// pixel into words (optimisedWorkerFor); its results are those of the
// evaluator, byte for byte.
#include "oslinternal.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define OSL_X86 1
#endif

namespace {

using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using StagePtr = std::unique_ptr<Stage, decltype(&freeStage)>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

// 16-bit words to 8-bit samples, rounded as the 8-bit packers do.
inline uint8_t wordToByte(uint32_t v)
{
    return uint8_t((v * 65281u + 0x800000u) >> 24);
}

// Whether a 16-bit word is an 8-bit sample widened by × 257.
inline bool isByteWord(uint16_t w)
{
    return (w >> 8) == (w & 0xFF);
}

// 16.16 position along a grid dimension, as the 16-bit interpolation makes it.
struct GridPosition {
    uint32_t cell;
    uint32_t fraction;
};

inline GridPosition gridPosition(uint32_t domain, uint16_t x)
{
    const uint64_t a = uint64_t(domain) * x;
    const uint64_t v = a + (a + 0x7FFF) / 0xFFFF;
    return {uint32_t(v >> 16), uint32_t(v & 0xFFFF)};
}

// ---------------------------------------------------------------------------
// Stage lists
// ---------------------------------------------------------------------------

std::vector<Stage*> stageList(const Pipeline* p)
{
    std::vector<Stage*> stages;
    for (Stage* s = p->first; s; s = s->next) stages.push_back(s);
    return stages;
}

// Relinks the pipeline's stages in the order given and refreshes its counts.
void relink(Pipeline* p, const std::vector<Stage*>& stages)
{
    p->first = nullptr;
    for (size_t i = stages.size(); i > 0; --i) {
        stages[i - 1]->next = p->first;
        p->first = stages[i - 1];
    }
    checkPipelineChannels(p);
}

bool isCurves(const Stage* s)
{
    return s && s->kind == StageCurvesKind && stageCurves(s);
}

bool isMatrix3x3(const Stage* s)
{
    return s && s->kind == StageMatrixKind && s->inputs == 3 && s->outputs == 3 && stageMatrix(s);
}

bool isClut16(const Stage* s)
{
    return s && s->kind == StageClutKind && clutTable16(s);
}

bool curvesAreLinear(const Stage* s)
{
    ToneCurve* const* curves = stageCurves(s);
    for (uint32_t i = 0; i < s->inputs; ++i)
        if (!isLinear(curves[i])) return false;
    return true;
}

bool hasNamedColorStage(const Pipeline* p)
{
    for (const Stage* s = p->first; s; s = s->next)
        if (s->kind == StageNamedColorKind || s->implements == StageNamedColorKind) return true;
    return false;
}

// Runs the stages from `first` up to (not including) `stop` in float.
void evalStages(const Stage* first, const Stage* stop, const float in[], float out[], uint32_t channels)
{
    float buffer[2][MaxStageChannels];
    std::memcpy(buffer[0], in, channels * sizeof(float));
    int phase = 0;
    for (const Stage* s = first; s != stop; s = s->next) {
        s->eval(buffer[phase], buffer[phase ^ 1], s);
        phase ^= 1;
        channels = s->outputs;
    }
    std::memcpy(out, buffer[phase], channels * sizeof(float));
}

// Drops the optimiser's evaluators: after the stages change they no longer
// describe the pipeline.
void useDefaultEvaluators(Pipeline* p)
{
    if (p->eval16 || p->evalFloat || p->data) setPipelineEvaluators(p, nullptr, nullptr, nullptr, nullptr, nullptr);
}

// Puts `replacement` in the place of *pipeline.
void replacePipeline(Pipeline** pipeline, Pipeline* replacement)
{
    freePipeline(*pipeline);
    *pipeline = replacement;
}

// ---------------------------------------------------------------------------
// Pre-pass
// ---------------------------------------------------------------------------

bool cancels(uint32_t first, uint32_t second)
{
    struct Pair {
        uint32_t a, b;
    };
    static constexpr Pair Pairs[] = {
        {StageLabToXyzKind, StageXyzToLabKind},
        {StageXyzToLabKind, StageLabToXyzKind},
        {StageLabV4ToV2Kind, StageLabV2ToV4Kind},
        {StageLabV2ToV4Kind, StageLabV4ToV2Kind},
        {StageLabToNormalisedKind, StageNormalisedToLabKind},
        {StageXyzToNormalisedKind, StageNormalisedToXyzKind},
    };
    for (const Pair& p : Pairs)
        if (p.a == first && p.b == second) return true;
    return false;
}

// The affine map `second` ∘ `first` of two 3×3 matrix stages (with their
// offsets) as one stage; null with *identity set when it does nothing, null
// alone when the stage cannot be made.
Stage* multiplyMatrices(const Stage* first, const Stage* second, bool* identity)
{
    const double* a = stageMatrix(first);
    const double* b = stageMatrix(second);
    const double* oa = stageOffsets(first);
    const double* ob = stageOffsets(second);
    Mat3 product;
    double offsets[3];
    bool anyOffset = false;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            double sum = 0;
            for (int k = 0; k < 3; ++k) sum += b[r * 3 + k] * a[k * 3 + c];
            product.m[r * 3 + c] = sum;
        }
        double o = ob ? ob[r] : 0.0;
        if (oa)
            for (int k = 0; k < 3; ++k) o += b[r * 3 + k] * oa[k];
        offsets[r] = o;
        if (std::fabs(o) > 1.0 / 65535.0) anyOffset = true;
    }
    *identity = !anyOffset && isIdentity3x3(product);
    if (*identity) return nullptr;
    return newMatrixStage(first->ctx, 3, 3, product.m, (oa || ob) ? offsets : nullptr);
}

// One step of the pre-pass; true when it changed the list.
bool prePassStep(std::vector<Stage*>& stages)
{
    for (size_t i = 0; i < stages.size(); ++i) {
        if (stages[i]->implements == StageIdentityKind) {
            freeStage(stages[i]);
            stages.erase(stages.begin() + std::ptrdiff_t(i));
            return true;
        }
    }
    for (size_t i = 0; i + 1 < stages.size(); ++i) {
        if (cancels(stages[i]->implements, stages[i + 1]->implements)) {
            freeStage(stages[i]);
            freeStage(stages[i + 1]);
            stages.erase(stages.begin() + std::ptrdiff_t(i), stages.begin() + std::ptrdiff_t(i + 2));
            return true;
        }
    }
    for (size_t i = 0; i + 1 < stages.size(); ++i) {
        if (!isMatrix3x3(stages[i]) || !isMatrix3x3(stages[i + 1])) continue;
        bool identity = false;
        Stage* joined = multiplyMatrices(stages[i], stages[i + 1], &identity);
        if (!joined && !identity) continue;   // no memory: keep both
        freeStage(stages[i]);
        freeStage(stages[i + 1]);
        stages.erase(stages.begin() + std::ptrdiff_t(i), stages.begin() + std::ptrdiff_t(i + 2));
        if (joined) stages.insert(stages.begin() + std::ptrdiff_t(i), joined);
        return true;
    }
    return false;
}

// Removes identities and cancelling pairs and multiplies neighbouring
// matrices until nothing changes; true when anything did.
bool prePass(Pipeline* p)
{
    std::vector<Stage*> stages = stageList(p);
    bool changed = false;
    while (prePassStep(stages)) changed = true;
    if (!changed) return false;
    const uint32_t inputs = p->inputs, outputs = p->outputs;
    relink(p, stages);
    if (!p->first) {
        // Nothing left: the pipeline keeps the counts it had.
        p->inputs = inputs;
        p->outputs = outputs;
    }
    useDefaultEvaluators(p);
    return true;
}

// ---------------------------------------------------------------------------
// Identity evaluator
// ---------------------------------------------------------------------------

struct ChannelPair {
    uint32_t inputs, outputs;
};

constexpr auto IdentityShapes = [] {
    std::array<ChannelPair, MaxPipelineChannels * MaxPipelineChannels> shapes{};
    for (uint32_t i = 0; i < MaxPipelineChannels; ++i)
        for (uint32_t o = 0; o < MaxPipelineChannels; ++o) shapes[i * MaxPipelineChannels + o] = {i, o};
    return shapes;
}();

void evalIdentity16(const uint16_t in[], uint16_t out[], const void* data)
{
    const auto* shape = static_cast<const ChannelPair*>(data);
    const uint32_t n = std::min(shape->inputs, shape->outputs);
    for (uint32_t i = 0; i < n; ++i) out[i] = in[i];
    for (uint32_t i = n; i < shape->outputs; ++i) out[i] = 0;
}

// An empty pipeline copies its inputs; the shared data is never freed.
void installIdentity(Pipeline* p)
{
    const uint32_t inputs = std::min(p->inputs, MaxPipelineChannels - 1);
    const uint32_t outputs = std::min(p->outputs, MaxPipelineChannels - 1);
    void* shape = const_cast<ChannelPair*>(&IdentityShapes[inputs * MaxPipelineChannels + outputs]);
    setPipelineEvaluators(p, evalIdentity16, nullptr, shape, nullptr, nullptr);
}

// ---------------------------------------------------------------------------
// Curves evaluator
// ---------------------------------------------------------------------------

struct CurvesEval {
    EngineContext* ctx;
    uint32_t count;
    ToneCurve* curves[MaxPipelineChannels];
};

void freeCurvesEval(EngineContext* ctx, void* data)
{
    auto* d = static_cast<CurvesEval*>(data);
    if (!d) return;
    for (uint32_t i = 0; i < d->count; ++i) freeCurve(d->curves[i]);
    engineFree(ctx, d);
}

CurvesEval* newCurvesEval(EngineContext* ctx, uint32_t count, const ToneCurve* const curves[])
{
    if (count == 0 || count >= MaxPipelineChannels) return nullptr;
    auto* d = static_cast<CurvesEval*>(engineAllocZero(ctx, sizeof(CurvesEval)));
    if (!d) return nullptr;
    d->ctx = ctx;
    for (uint32_t i = 0; i < count; ++i) {
        d->curves[i] = duplicateCurve(curves[i]);
        if (!d->curves[i]) {
            freeCurvesEval(ctx, d);
            return nullptr;
        }
        d->count = i + 1;
    }
    return d;
}

void* dupCurvesEval(EngineContext* ctx, const void* data)
{
    auto* d = static_cast<const CurvesEval*>(data);
    return newCurvesEval(ctx, d->count, d->curves);
}

void evalCurves16(const uint16_t in[], uint16_t out[], const void* data)
{
    auto* d = static_cast<const CurvesEval*>(data);
    for (uint32_t i = 0; i < d->count; ++i) out[i] = evalCurve16(d->curves[i], in[i]);
}

// ---------------------------------------------------------------------------
// The 8-bit matrix-shaper
// ---------------------------------------------------------------------------
//
// For 8-bit input the input curves and the matrix fold into three column
// tables: column[j][v] holds, for each output i, m(i, j) × curve_j(v) in
// fixed point with 24 fraction bits (the offsets ride in column 0). A pixel's
// linear outputs are then three table rows added together. Each linear value
// y, clamped to 0 … 1, picks an entry of the output table, which holds the
// output curve sampled finely where the curves of displays are steepest:
// every 2^-22 below 2^-8, every 2^-14 above. The nearest entry is taken.

constexpr int32_t MsOne = 1 << 24;          // 1.0 in the fixed-point linear values
constexpr int32_t MsKnee = 1 << 16;         // 2^-8: where the coarse steps start
constexpr int32_t MsFineShift = 2;          // fine steps of 2^-22
constexpr int32_t MsCoarseShift = 10;       // coarse steps of 2^-14
constexpr uint32_t MsKneeIndex = MsKnee >> MsFineShift;
constexpr uint32_t MsEntries = MsKneeIndex + ((MsOne - MsKnee) >> MsCoarseShift) + 1;
constexpr uint32_t MsStride = (MsEntries + 15) & ~15u;
// Column entries stay below 2^29, so that three of them add up within 31 bits.
constexpr double MsLimit = double(1 << 29);

// Output table index of a fixed-point linear value.
inline uint32_t msIndex(int32_t y)
{
    y = y < 0 ? 0 : y > MsOne ? MsOne : y;
    const int32_t lo = y < MsKnee ? y : MsKnee;
    const int32_t hi = y < MsKnee ? MsKnee : y;
    return uint32_t((lo + (1 << (MsFineShift - 1))) >> MsFineShift) +
           uint32_t((hi - MsKnee + (1 << (MsCoarseShift - 1))) >> MsCoarseShift);
}

// The linear value an output table entry stands for.
inline double msEntryValue(uint32_t i)
{
    const int64_t y = i <= MsKneeIndex ? int64_t(i) << MsFineShift
                                       : MsKnee + (int64_t(i - MsKneeIndex) << MsCoarseShift);
    return double(y) / MsOne;
}

struct MatrixShaper {
    EngineContext* ctx;
    int32_t column[3][256][4];   // the fourth lane stays 0
    uint16_t out16[3][MsStride];
    uint8_t out8[3][MsStride];
    // What words that are not 8-bit samples go through.
    ToneCurve* inputCurves[3];
    double matrix[9];
    double offsets[3];
};

void freeMatrixShaper(EngineContext* ctx, void* data)
{
    auto* d = static_cast<MatrixShaper*>(data);
    if (!d) return;
    for (ToneCurve* c : d->inputCurves) freeCurve(c);
    engineFree(ctx, d);
}

void* dupMatrixShaper(EngineContext* ctx, const void* data)
{
    auto* d = static_cast<const MatrixShaper*>(data);
    auto* copy = static_cast<MatrixShaper*>(engineDup(ctx, d, sizeof(MatrixShaper)));
    if (!copy) return nullptr;
    for (int j = 0; j < 3; ++j) copy->inputCurves[j] = nullptr;
    for (int j = 0; j < 3; ++j) {
        copy->inputCurves[j] = duplicateCurve(d->inputCurves[j]);
        if (!copy->inputCurves[j]) {
            freeMatrixShaper(ctx, copy);
            return nullptr;
        }
    }
    copy->ctx = ctx;
    return copy;
}

inline void msPixel(const MatrixShaper* d, uint32_t r, uint32_t g, uint32_t b, uint32_t index[3])
{
    const int32_t* cr = d->column[0][r];
    const int32_t* cg = d->column[1][g];
    const int32_t* cb = d->column[2][b];
    index[0] = msIndex(cr[0] + cg[0] + cb[0]);
    index[1] = msIndex(cr[1] + cg[1] + cb[1]);
    index[2] = msIndex(cr[2] + cg[2] + cb[2]);
}

void evalMatrixShaper16(const uint16_t in[], uint16_t out[], const void* data)
{
    auto* d = static_cast<const MatrixShaper*>(data);
    uint32_t index[3];
    if (isByteWord(in[0]) && isByteWord(in[1]) && isByteWord(in[2])) {
        msPixel(d, in[0] & 0xFF, in[1] & 0xFF, in[2] & 0xFF, index);
    } else {
        float x[3];
        for (int j = 0; j < 3; ++j) x[j] = evalCurveFloat(d->inputCurves[j], wordToUnit(in[j]));
        for (int i = 0; i < 3; ++i) {
            double y = d->offsets[i];
            for (int j = 0; j < 3; ++j) y += d->matrix[i * 3 + j] * x[j];
            y = std::clamp(y, -1.0, 2.0) * MsOne;
            index[i] = msIndex(int32_t(std::floor(y + 0.5)));
        }
    }
    for (int i = 0; i < 3; ++i) out[i] = d->out16[i][index[i]];
}

// Builds the tables from [curves, matrix, curves]; null when the matrix
// reaches values the fixed point cannot carry.
MatrixShaper* newMatrixShaper(EngineContext* ctx, const Stage* inputCurves, const double matrix[9],
                              const double offsets[3], const Stage* outputCurves)
{
    auto* d = static_cast<MatrixShaper*>(engineAllocZero(ctx, sizeof(MatrixShaper)));
    if (!d) return nullptr;
    d->ctx = ctx;
    std::unique_ptr<MatrixShaper, void (*)(MatrixShaper*)> guard(d, [](MatrixShaper* m) {
        freeMatrixShaper(m->ctx, m);
    });
    ToneCurve* const* in = stageCurves(inputCurves);
    ToneCurve* const* out = stageCurves(outputCurves);
    for (int j = 0; j < 3; ++j) {
        d->inputCurves[j] = duplicateCurve(in[j]);
        if (!d->inputCurves[j]) return nullptr;
    }
    std::memcpy(d->matrix, matrix, sizeof d->matrix);
    for (int i = 0; i < 3; ++i) d->offsets[i] = offsets ? offsets[i] : 0.0;

    for (int j = 0; j < 3; ++j) {
        for (uint32_t v = 0; v < 256; ++v) {
            const double x = evalCurveFloat(in[j], wordToUnit(uint16_t(v * 257)));
            if (!std::isfinite(x)) return nullptr;
            for (int i = 0; i < 3; ++i) {
                double y = matrix[i * 3 + j] * x;
                if (j == 0) y += d->offsets[i];
                const double fixed = std::floor(y * MsOne + 0.5);
                if (!(std::fabs(fixed) < MsLimit)) return nullptr;
                d->column[j][v][i] = int32_t(fixed);
            }
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (uint32_t k = 0; k < MsEntries; ++k) {
            const float y = float(msEntryValue(k));
            d->out16[i][k] = quickSaturateWord(double(evalCurveFloat(out[i], y)) * 65535.0);
            d->out8[i][k] = wordToByte(d->out16[i][k]);
        }
    }
    return guard.release();
}

// ---------------------------------------------------------------------------
// CLUT evaluator: [curves?, 16-bit CLUT, curves?]
// ---------------------------------------------------------------------------
//
// Pre- and post-curves are applied through their 16-bit tables and the CLUT
// is interpolated directly. For 8-bit input to a 3-input CLUT the position of
// every sample value on the grid (after its pre-curve) is worked out once.

struct Axis8 {
    uint32_t base;       // table offset of the cell's lower node
    uint32_t step;       // to the upper node; 0 at the top of the grid
    int32_t fraction;    // 0 … 0xFFFF
};

struct ClutEval {
    EngineContext* ctx;
    uint32_t inputs;
    uint32_t outputs;
    bool hasPre;
    bool hasPost;
    bool hasAxes;
    ToneCurve* pre[MaxPipelineChannels];
    ToneCurve* post[MaxPipelineChannels];
    Stage* clut;                  // a copy of the pipeline's CLUT
    const InterpParams* params;   // the copy's
    uint16_t* table;              // the copy's values and a few zeros, for reads of four at a time
    Axis8 axes[3][256];
};

constexpr uint32_t TablePadding = 4;

void freeClutEval(EngineContext* ctx, void* data)
{
    auto* d = static_cast<ClutEval*>(data);
    if (!d) return;
    for (ToneCurve* c : d->pre) freeCurve(c);
    for (ToneCurve* c : d->post) freeCurve(c);
    freeStage(d->clut);
    engineFree(ctx, d->table);
    engineFree(ctx, d);
}

void fillAxes(ClutEval* d)
{
    const InterpParams* p = d->params;
    for (uint32_t c = 0; c < 3; ++c) {
        for (uint32_t v = 0; v < 256; ++v) {
            uint16_t w = uint16_t(v * 257);
            if (d->hasPre) w = evalCurve16(d->pre[c], w);
            const GridPosition g = gridPosition(p->domain[c], w);
            d->axes[c][v] = {g.cell * p->strides[c], w == 0xFFFF ? 0 : p->strides[c], int32_t(g.fraction)};
        }
    }
}

ClutEval* newClutEval(EngineContext* ctx, const Stage* pre, const Stage* clut, const Stage* post)
{
    auto* d = static_cast<ClutEval*>(engineAllocZero(ctx, sizeof(ClutEval)));
    if (!d) return nullptr;
    d->ctx = ctx;
    std::unique_ptr<ClutEval, void (*)(ClutEval*)> guard(d, [](ClutEval* e) { freeClutEval(e->ctx, e); });
    d->inputs = clut->inputs;
    d->outputs = clut->outputs;
    if (d->inputs >= MaxPipelineChannels || d->outputs >= MaxPipelineChannels) return nullptr;
    d->clut = duplicateStage(clut);
    if (!d->clut) return nullptr;
    d->params = clutInterpParams(d->clut);
    const uint16_t* values = clutTable16(d->clut);
    if (!d->params || !values) return nullptr;
    const uint32_t entries = clutEntryCount(d->clut);
    d->table = static_cast<uint16_t*>(engineAllocArray(ctx, size_t(entries) + TablePadding, sizeof(uint16_t)));
    if (!d->table) return nullptr;
    std::memcpy(d->table, values, size_t(entries) * sizeof(uint16_t));
    std::memset(d->table + entries, 0, TablePadding * sizeof(uint16_t));
    if (pre) {
        d->hasPre = true;
        for (uint32_t i = 0; i < d->inputs; ++i)
            if (!(d->pre[i] = duplicateCurve(stageCurves(pre)[i]))) return nullptr;
    }
    if (post) {
        d->hasPost = true;
        for (uint32_t i = 0; i < d->outputs; ++i)
            if (!(d->post[i] = duplicateCurve(stageCurves(post)[i]))) return nullptr;
    }
    if (d->inputs == 3) {
        d->hasAxes = true;
        fillAxes(d);
    }
    return guard.release();
}

void* dupClutEval(EngineContext* ctx, const void* data)
{
    auto* d = static_cast<const ClutEval*>(data);
    StagePtr pre(nullptr, &freeStage), post(nullptr, &freeStage);
    if (d->hasPre) pre.reset(newCurvesStage(ctx, d->inputs, d->pre));
    if (d->hasPost) post.reset(newCurvesStage(ctx, d->outputs, d->post));
    if ((d->hasPre && !pre) || (d->hasPost && !post)) return nullptr;
    return newClutEval(ctx, pre.get(), d->clut, post.get());
}

void evalClutGeneral(const ClutEval* d, const uint16_t in[], uint16_t out[])
{
    uint16_t x[MaxClutInputs];
    const uint16_t* source = in;
    if (d->hasPre) {
        for (uint32_t i = 0; i < d->inputs; ++i) x[i] = evalCurve16(d->pre[i], in[i]);
        source = x;
    }
    d->params->routine.lerp16(source, out, d->params);
    if (d->hasPost)
        for (uint32_t o = 0; o < d->outputs; ++o) out[o] = evalCurve16(d->post[o], out[o]);
}

void evalClut16(const uint16_t in[], uint16_t out[], const void* data)
{
    evalClutGeneral(static_cast<const ClutEval*>(data), in, out);
}

// Tetrahedral interpolation from three axis positions, giving the words of
// the 16-bit routine. The tetrahedron is the path through the cell along the
// inputs in falling order of their fractions r1 ≥ r2 ≥ r3; it is looked up
// rather than branched to, since neighbouring pixels often fall into
// different tetrahedra (ties may go either way: every choice gives the same
// sum). With rest = (p1 − p0)·r1 + (p2 − p1)·r2 + (p3 − p2)·r3 + 0x8001 the
// routine gives p0 + ((rest + (rest >> 16)) >> 16). Over the non-negative
// weights of the nodes, A = rest + p0·65536 = p0·(65536 − r1) + p1·(r1 − r2)
// + p2·(r2 − r3) + p3·r3 + 0x8001 stays below 2^32, and the same word is
// (A + (A >> 16) − p0) >> 16, all in unsigned 32 bits.
constexpr uint8_t TetrahedronPaths[8][3] = {
    {2, 1, 0}, {2, 0, 1}, {1, 2, 0}, {0, 1, 2},   // index (rx ≥ ry) | (ry ≥ rz) << 1 | (rx ≥ rz) << 2
    {0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {0, 1, 2},   // 3 and 4 cannot occur
};

struct Tetrahedron {
    const uint16_t* node[4];
    uint32_t weight[4];
};

inline Tetrahedron tetrahedronOf(const ClutEval* d, const Axis8& x, const Axis8& y, const Axis8& z)
{
    const uint32_t steps[3] = {x.step, y.step, z.step};
    const uint32_t fractions[3] = {uint32_t(x.fraction), uint32_t(y.fraction), uint32_t(z.fraction)};
    const uint8_t* path = TetrahedronPaths[uint32_t(x.fraction >= y.fraction) |
                                           uint32_t(y.fraction >= z.fraction) << 1 |
                                           uint32_t(x.fraction >= z.fraction) << 2];
    Tetrahedron t;
    t.node[0] = d->table + x.base + y.base + z.base;
    t.node[1] = t.node[0] + steps[path[0]];
    t.node[2] = t.node[1] + steps[path[1]];
    t.node[3] = t.node[2] + steps[path[2]];
    const uint32_t r1 = fractions[path[0]], r2 = fractions[path[1]], r3 = fractions[path[2]];
    t.weight[0] = 0x10000 - r1;
    t.weight[1] = r1 - r2;
    t.weight[2] = r2 - r3;
    t.weight[3] = r3;
    return t;
}

template <uint32_t FixedOutputs>
inline void tetrahedral8(const ClutEval* d, const Axis8& x, const Axis8& y, const Axis8& z, uint16_t out[])
{
    const uint32_t outputs = FixedOutputs ? FixedOutputs : d->outputs;
    const Tetrahedron t = tetrahedronOf(d, x, y, z);
    for (uint32_t o = 0; o < outputs; ++o) {
        const uint32_t p0 = t.node[0][o];
        const uint32_t a = p0 * t.weight[0] + t.node[1][o] * t.weight[1] + t.node[2][o] * t.weight[2] +
                           t.node[3][o] * t.weight[3] + 0x8001;
        out[o] = uint16_t((a + (a >> 16) - p0) >> 16);
    }
}

void evalClut8(const uint16_t in[], uint16_t out[], const void* data)
{
    auto* d = static_cast<const ClutEval*>(data);
    if (!isByteWord(in[0]) || !isByteWord(in[1]) || !isByteWord(in[2])) {
        evalClutGeneral(d, in, out);
        return;
    }
    tetrahedral8<0>(d, d->axes[0][in[0] & 0xFF], d->axes[1][in[1] & 0xFF], d->axes[2][in[2] & 0xFF], out);
    if (d->hasPost)
        for (uint32_t o = 0; o < d->outputs; ++o) out[o] = evalCurve16(d->post[o], out[o]);
}

// ---------------------------------------------------------------------------
// Whole-line workers for 8-bit interleaved pixels
// ---------------------------------------------------------------------------

// Where a line worker finds its samples: byte offsets within a pixel and
// the pixel sizes. A single extra sample on both sides is carried along in
// the same loop when the transform copies extra channels; more of them are
// copied in a pass of their own.
struct LineLayout {
    uint32_t inStep;
    uint32_t outStep;
    uint32_t in[3];
    uint32_t out[MaxPipelineChannels];
    bool alpha;
    uint32_t inAlpha;
    uint32_t outAlpha;
};

LineLayout lineLayout(const Transform* t, uint32_t outputs)
{
    const PixelLayout& I = t->inLayout;
    const PixelLayout& O = t->outLayout;
    LineLayout L{};
    L.inStep = I.samples;
    L.outStep = O.samples;
    for (uint32_t c = 0; c < 3; ++c) L.in[c] = I.position[c];
    for (uint32_t o = 0; o < outputs; ++o) L.out[o] = O.position[o];
    L.alpha = (t->flags & XformCopyAlpha) && I.extra == 1 && O.extra == 1;
    L.inAlpha = I.position[I.channels];
    L.outAlpha = O.position[O.channels];
    return L;
}

// The extra channels when there are several of them (a single one travels
// with the colours). Same-format in-place calls already hold them.
void copyExtraBytes(const Transform* t, const uint8_t* src, uint8_t* dst, uint32_t pixels)
{
    if (!(t->flags & XformCopyAlpha)) return;
    const PixelLayout& I = t->inLayout;
    const PixelLayout& O = t->outLayout;
    if (I.extra < 2 || I.extra != O.extra) return;
    if (src == dst && t->inputFormat == t->outputFormat) return;
    for (uint32_t i = 0; i < pixels; ++i) {
        for (uint32_t e = 0; e < I.extra; ++e) dst[O.position[O.channels + e]] = src[I.position[I.channels + e]];
        src += I.samples;
        dst += O.samples;
    }
}

const uint8_t* lineIn(const void* in, uint32_t line, const Stride* s)
{
    return static_cast<const uint8_t*>(in) + size_t(line) * s->bytesPerLineIn;
}

uint8_t* lineOut(void* out, uint32_t line, const Stride* s)
{
    return static_cast<uint8_t*>(out) + size_t(line) * s->bytesPerLineOut;
}

template <bool Alpha>
void matrixShaperLinePlain(const MatrixShaper* d, const LineLayout& L, const uint8_t* src, uint8_t* dst,
                           uint32_t pixels)
{
    const uint32_t ir = L.in[0], ig = L.in[1], ib = L.in[2];
    const uint32_t orr = L.out[0], og = L.out[1], ob = L.out[2];
    const uint32_t inStep = L.inStep, outStep = L.outStep, ia = L.inAlpha, oa = L.outAlpha;
    for (uint32_t i = 0; i < pixels; ++i) {
        uint32_t index[3];
        msPixel(d, src[ir], src[ig], src[ib], index);
        if constexpr (Alpha) dst[oa] = src[ia];
        dst[orr] = d->out8[0][index[0]];
        dst[og] = d->out8[1][index[1]];
        dst[ob] = d->out8[2][index[2]];
        src += inStep;
        dst += outStep;
    }
}

#if OSL_X86
// The same with the three outputs of a pixel side by side in one register;
// integer arithmetic throughout, so the bytes are those of the plain loop.
template <bool Alpha>
__attribute__((target("sse4.1"))) void matrixShaperLineSse41(const MatrixShaper* d, const LineLayout& L,
                                                              const uint8_t* src, uint8_t* dst, uint32_t pixels)
{
    const uint32_t ir = L.in[0], ig = L.in[1], ib = L.in[2];
    const uint32_t orr = L.out[0], og = L.out[1], ob = L.out[2];
    const uint32_t inStep = L.inStep, outStep = L.outStep, ia = L.inAlpha, oa = L.outAlpha;
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi32(MsOne);
    const __m128i knee = _mm_set1_epi32(MsKnee);
    const __m128i fineHalf = _mm_set1_epi32(1 << (MsFineShift - 1));
    const __m128i coarseHalf = _mm_set1_epi32((1 << (MsCoarseShift - 1)) - MsKnee);
    const auto* column = d->column;
    for (uint32_t i = 0; i < pixels; ++i) {
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(column[0][src[ir]]));
        y = _mm_add_epi32(y, _mm_loadu_si128(reinterpret_cast<const __m128i*>(column[1][src[ig]])));
        y = _mm_add_epi32(y, _mm_loadu_si128(reinterpret_cast<const __m128i*>(column[2][src[ib]])));
        y = _mm_min_epi32(_mm_max_epi32(y, zero), one);
        const __m128i lo = _mm_srli_epi32(_mm_add_epi32(_mm_min_epi32(y, knee), fineHalf), MsFineShift);
        const __m128i hi = _mm_srli_epi32(_mm_add_epi32(_mm_max_epi32(y, knee), coarseHalf), MsCoarseShift);
        const __m128i index = _mm_add_epi32(lo, hi);
        if constexpr (Alpha) dst[oa] = src[ia];
        dst[orr] = d->out8[0][uint32_t(_mm_cvtsi128_si32(index))];
        dst[og] = d->out8[1][uint32_t(_mm_extract_epi32(index, 1))];
        dst[ob] = d->out8[2][uint32_t(_mm_extract_epi32(index, 2))];
        src += inStep;
        dst += outStep;
    }
}

bool haveSse41()
{
    static const bool have = __builtin_cpu_supports("sse4.1");
    return have;
}
#endif

std::atomic<bool> vectorCode{true};

bool useVectorCode()
{
#if OSL_X86
    return vectorCode.load(std::memory_order_relaxed) && haveSse41();
#else
    return false;
#endif
}

using MatrixShaperLine = void (*)(const MatrixShaper*, const LineLayout&, const uint8_t*, uint8_t*, uint32_t);

MatrixShaperLine matrixShaperLine(bool alpha)
{
#if OSL_X86
    if (useVectorCode()) return alpha ? matrixShaperLineSse41<true> : matrixShaperLineSse41<false>;
#endif
    return alpha ? matrixShaperLinePlain<true> : matrixShaperLinePlain<false>;
}

void matrixShaperWorker(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                        const Stride* s)
{
    auto* d = static_cast<const MatrixShaper*>(t->lut->data);
    const LineLayout L = lineLayout(t, 3);
    const MatrixShaperLine line = matrixShaperLine(L.alpha);
    for (uint32_t l = 0; l < lineCount; ++l) {
        const uint8_t* src = lineIn(in, l, s);
        uint8_t* dst = lineOut(out, l, s);
        copyExtraBytes(t, src, dst, pixelsPerLine);
        line(d, L, src, dst, pixelsPerLine);
    }
}

template <uint32_t FixedOutputs, bool Alpha>
void clutLinePlain(const ClutEval* d, const LineLayout& L, const uint8_t* src, uint8_t* dst, uint32_t pixels)
{
    const uint32_t i0 = L.in[0], i1 = L.in[1], i2 = L.in[2];
    const uint32_t outputs = FixedOutputs ? FixedOutputs : d->outputs;
    const uint32_t inStep = L.inStep, outStep = L.outStep, ia = L.inAlpha, oa = L.outAlpha;
    for (uint32_t i = 0; i < pixels; ++i) {
        uint16_t words[MaxPipelineChannels];
        tetrahedral8<FixedOutputs>(d, d->axes[0][src[i0]], d->axes[1][src[i1]], d->axes[2][src[i2]], words);
        if (d->hasPost)
            for (uint32_t o = 0; o < outputs; ++o) words[o] = evalCurve16(d->post[o], words[o]);
        if constexpr (Alpha) dst[oa] = src[ia];
        for (uint32_t o = 0; o < outputs; ++o) dst[L.out[o]] = wordToByte(words[o]);
        src += inStep;
        dst += outStep;
    }
}

#if OSL_X86
// Four 16-bit node values widened to 32 bits.
__attribute__((target("sse4.1"))) inline __m128i node(const uint16_t* p)
{
    return _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// Three or four outputs side by side, in the 32-bit form of the
// interpolation; no post-curves.
template <uint32_t Outputs, bool Alpha>
__attribute__((target("sse4.1"))) void clutLineSse41(const ClutEval* d, const LineLayout& L, const uint8_t* src,
                                                      uint8_t* dst, uint32_t pixels)
{
    static_assert(Outputs == 3 || Outputs == 4);
    const uint32_t i0 = L.in[0], i1 = L.in[1], i2 = L.in[2];
    const uint32_t inStep = L.inStep, outStep = L.outStep, ia = L.inAlpha, oa = L.outAlpha;
    // Output byte o goes to out[o] of a four-byte group.
    const bool wholeGroup = Outputs == 4 && outStep == 4;
    alignas(16) int8_t order[16];
    std::memset(order, -1, sizeof order);
    for (uint32_t o = 0; o < Outputs; ++o) order[wholeGroup ? L.out[o] : o] = int8_t(4 * o);
    const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(order));
    const __m128i round = _mm_set1_epi32(0x8001);
    const __m128i toByte = _mm_set1_epi32(65281);
    const __m128i toByteRound = _mm_set1_epi32(0x800000);
    for (uint32_t i = 0; i < pixels; ++i) {
        const Tetrahedron t = tetrahedronOf(d, d->axes[0][src[i0]], d->axes[1][src[i1]], d->axes[2][src[i2]]);
        const __m128i p0 = node(t.node[0]);
        __m128i a = _mm_add_epi32(_mm_mullo_epi32(p0, _mm_set1_epi32(int32_t(t.weight[0]))), round);
        a = _mm_add_epi32(a, _mm_mullo_epi32(node(t.node[1]), _mm_set1_epi32(int32_t(t.weight[1]))));
        a = _mm_add_epi32(a, _mm_mullo_epi32(node(t.node[2]), _mm_set1_epi32(int32_t(t.weight[2]))));
        a = _mm_add_epi32(a, _mm_mullo_epi32(node(t.node[3]), _mm_set1_epi32(int32_t(t.weight[3]))));
        const __m128i words = _mm_srli_epi32(_mm_sub_epi32(_mm_add_epi32(a, _mm_srli_epi32(a, 16)), p0), 16);
        const __m128i bytes = _mm_srli_epi32(_mm_add_epi32(_mm_mullo_epi32(words, toByte), toByteRound), 24);
        const uint32_t packed = uint32_t(_mm_cvtsi128_si32(_mm_shuffle_epi8(bytes, shuffle)));
        if constexpr (Alpha) dst[oa] = src[ia];
        if (wholeGroup) {
            std::memcpy(dst, &packed, 4);
        } else {
            for (uint32_t o = 0; o < Outputs; ++o) dst[L.out[o]] = uint8_t(packed >> (8 * o));
        }
        src += inStep;
        dst += outStep;
    }
}
#endif

using ClutLine = void (*)(const ClutEval*, const LineLayout&, const uint8_t*, uint8_t*, uint32_t);

template <uint32_t FixedOutputs>
ClutLine clutLine(const ClutEval* d, bool alpha)
{
#if OSL_X86
    if constexpr (FixedOutputs == 3 || FixedOutputs == 4) {
        if (!d->hasPost && useVectorCode())
            return alpha ? clutLineSse41<FixedOutputs, true> : clutLineSse41<FixedOutputs, false>;
    }
#endif
    return alpha ? clutLinePlain<FixedOutputs, true> : clutLinePlain<FixedOutputs, false>;
}

template <uint32_t FixedOutputs>
void clutWorker(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                const Stride* s)
{
    auto* d = static_cast<const ClutEval*>(t->lut->data);
    const LineLayout L = lineLayout(t, d->outputs);
    const ClutLine line = clutLine<FixedOutputs>(d, L.alpha);
    for (uint32_t l = 0; l < lineCount; ++l) {
        const uint8_t* src = lineIn(in, l, s);
        uint8_t* dst = lineOut(out, l, s);
        copyExtraBytes(t, src, dst, pixelsPerLine);
        line(d, L, src, dst, pixelsPerLine);
    }
}

// Whether a format is one the line workers read and write directly.
bool plainBytes(uint32_t format, uint32_t channels)
{
    return format != 0 && formatBytes(format) == 1 && !formatFloat(format) && !formatPlanar(format) &&
           !formatInverted(format) && formatChannels(format) == channels;
}

// ---------------------------------------------------------------------------
// Joined curves
// ---------------------------------------------------------------------------

constexpr uint32_t JoinedEntries = 4096;

bool optimiseJoinedCurves(Pipeline** pipeline, uint32_t inputFormat, uint32_t outputFormat, uint32_t* flags)
{
    if (formatFloat(inputFormat) || formatFloat(outputFormat)) return false;
    const Pipeline* src = *pipeline;
    for (const Stage* s = src->first; s; s = s->next)
        if (!isCurves(s)) return false;
    const uint32_t n = src->inputs;
    if (n == 0 || n >= MaxPipelineChannels || src->outputs != n) return false;
    EngineContext* ctx = src->ctx;

    std::vector<uint16_t> tables(size_t(n) * JoinedEntries);
    for (uint32_t j = 0; j < JoinedEntries; ++j) {
        float in[MaxPipelineChannels], out[MaxStageChannels];
        const float x = float(double(j) / (JoinedEntries - 1));
        for (uint32_t c = 0; c < n; ++c) in[c] = x;
        evalStages(src->first, nullptr, in, out, n);
        for (uint32_t c = 0; c < n; ++c) tables[size_t(c) * JoinedEntries + j] = quickSaturateWord(double(out[c]) * 65535.0);
    }
    ToneCurve* curves[MaxPipelineChannels] = {};
    struct Release {
        ToneCurve** curves;
        uint32_t n;
        ~Release()
        {
            for (uint32_t c = 0; c < n; ++c) freeCurve(curves[c]);
        }
    } release{curves, n};
    bool allLinear = true;
    for (uint32_t c = 0; c < n; ++c) {
        curves[c] = buildTabulatedCurve16(ctx, JoinedEntries, tables.data() + size_t(c) * JoinedEntries);
        if (!curves[c]) return false;
        allLinear = allLinear && isLinear(curves[c]);
    }

    PipelinePtr joined(newPipeline(ctx, n, n), &freePipeline);
    if (!joined) return false;
    if (allLinear) {
        installIdentity(joined.get());
        *flags |= XformNoCache;
    } else {
        if (!insertStage(joined.get(), AtEnd, newCurvesStage(ctx, n, curves))) return false;
        CurvesEval* eval = newCurvesEval(ctx, n, curves);
        if (!eval) return false;
        setPipelineEvaluators(joined.get(), evalCurves16, nullptr, eval, freeCurvesEval, dupCurvesEval);
    }
    joined->saveAs8Bits = src->saveAs8Bits;
    replacePipeline(pipeline, joined.release());
    return true;
}

// ---------------------------------------------------------------------------
// Matrix-shaper
// ---------------------------------------------------------------------------

bool optimiseMatrixShaper(Pipeline** pipeline, uint32_t inputFormat, uint32_t outputFormat)
{
    if (formatChannels(inputFormat) != 3 || formatChannels(outputFormat) != 3) return false;
    if (formatBytes(inputFormat) != 1 || formatFloat(inputFormat) || formatFloat(outputFormat)) return false;
    const Pipeline* src = *pipeline;
    EngineContext* ctx = src->ctx;

    Stage* s[4] = {};
    Mat3 m;
    const double* offsets = nullptr;
    double joinedOffsets[3];
    const uint32_t four[4] = {StageCurvesKind, StageMatrixKind, StageMatrixKind, StageCurvesKind};
    const uint32_t three[3] = {StageCurvesKind, StageMatrixKind, StageCurvesKind};
    Stage* inCurves = nullptr;
    Stage* outCurves = nullptr;
    if (matchStageKinds(src, 4, four, s)) {
        if (!isMatrix3x3(s[1]) || !isMatrix3x3(s[2]) || stageOffsets(s[1])) return false;
        const double* a = stageMatrix(s[1]);
        const double* b = stageMatrix(s[2]);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                double sum = 0;
                for (int k = 0; k < 3; ++k) sum += b[r * 3 + k] * a[k * 3 + c];
                m.m[r * 3 + c] = sum;
            }
        if (const double* ob = stageOffsets(s[2])) {
            std::memcpy(joinedOffsets, ob, sizeof joinedOffsets);
            offsets = joinedOffsets;
        }
        inCurves = s[0];
        outCurves = s[3];
    } else if (matchStageKinds(src, 3, three, s)) {
        if (!isMatrix3x3(s[1])) return false;
        std::memcpy(m.m, stageMatrix(s[1]), sizeof m.m);
        offsets = stageOffsets(s[1]);
        inCurves = s[0];
        outCurves = s[2];
    } else {
        return false;
    }
    if (!isCurves(inCurves) || !isCurves(outCurves) || inCurves->inputs != 3 || outCurves->inputs != 3) return false;

    MatrixShaper* data = newMatrixShaper(ctx, inCurves, m.m, offsets, outCurves);
    if (!data) return false;
    PipelinePtr shaper(newPipeline(ctx, 3, 3), &freePipeline);
    if (!shaper || !insertStage(shaper.get(), AtEnd, duplicateStage(inCurves)) ||
        !insertStage(shaper.get(), AtEnd, newMatrixStage(ctx, 3, 3, m.m, offsets)) ||
        !insertStage(shaper.get(), AtEnd, duplicateStage(outCurves))) {
        freeMatrixShaper(ctx, data);
        return false;
    }
    setPipelineEvaluators(shaper.get(), evalMatrixShaper16, nullptr, data, freeMatrixShaper, dupMatrixShaper);
    shaper->saveAs8Bits = src->saveAs8Bits;
    replacePipeline(pipeline, shaper.release());
    return true;
}

// ---------------------------------------------------------------------------
// White fix-up
// ---------------------------------------------------------------------------

// The white of a colour space in 16-bit words; false for spaces without one.
bool whiteOf(uint32_t space, uint32_t channels, uint16_t white[])
{
    uint16_t value;
    switch (space) {
    case PixelRgb:
    case PixelGray: value = 0xFFFF; break;
    case PixelCmy:
    case PixelCmyk: value = 0; break;
    case PixelLab:
    case PixelLabV2:
        if (channels != 3) return false;
        white[0] = 0xFFFF;
        white[1] = white[2] = 0x8080;
        return true;
    default: return false;
    }
    for (uint32_t i = 0; i < channels; ++i) white[i] = value;
    return true;
}

// The stages of an accepted shape: [curves?, CLUT, curves?].
struct ClutShape {
    Stage* pre = nullptr;
    Stage* clut = nullptr;
    Stage* post = nullptr;
};

bool clutShapeOf(const Pipeline* p, ClutShape* shape)
{
    std::vector<Stage*> s = stageList(p);
    *shape = ClutShape{};
    size_t i = 0;
    if (i < s.size() && isCurves(s[i])) shape->pre = s[i++];
    if (i >= s.size() || !isClut16(s[i])) return false;
    shape->clut = s[i++];
    if (i < s.size() && isCurves(s[i])) shape->post = s[i++];
    return i == s.size();
}

// 16-bit evaluation of [curves?, CLUT, curves?] as the CLUT evaluator does it.
void evalShape16(const ClutShape& shape, const uint16_t in[], uint16_t out[])
{
    uint16_t x[MaxClutInputs];
    const uint32_t inputs = shape.clut->inputs;
    for (uint32_t i = 0; i < inputs; ++i) x[i] = shape.pre ? evalCurve16(stageCurves(shape.pre)[i], in[i]) : in[i];
    const InterpParams* p = clutInterpParams(shape.clut);
    p->routine.lerp16(x, out, p);
    if (shape.post)
        for (uint32_t o = 0; o < shape.clut->outputs; ++o) out[o] = evalCurve16(stageCurves(shape.post)[o], out[o]);
}

// The CLUT value that the post-curve takes to `target`, exactly when possible.
uint16_t postCurveSource(const ToneCurve* curve, uint16_t target)
{
    CurvePtr reversed(reverseCurveWith(4096, curve), &freeCurve);
    int32_t guess = reversed ? evalCurve16(reversed.get(), target) : target;
    if (evalCurve16(curve, uint16_t(guess)) == target) return uint16_t(guess);
    // The reversed table is coarse: look around the guess for an exact hit.
    int32_t best = guess;
    int32_t bestError = std::abs(int32_t(evalCurve16(curve, uint16_t(guess))) - target);
    for (int32_t delta = 1; delta <= 512 && bestError != 0; ++delta) {
        for (int32_t candidate : {guess - delta, guess + delta}) {
            if (candidate < 0 || candidate > 0xFFFF) continue;
            const int32_t error = std::abs(int32_t(evalCurve16(curve, uint16_t(candidate))) - target);
            if (error < bestError) {
                best = candidate;
                bestError = error;
            }
        }
    }
    return uint16_t(best);
}

// Sets channel `channel` of every node the interpolation reads at `at`.
void patchNodes(Stage* clut, const uint16_t at[], uint32_t channel, uint16_t value)
{
    const InterpParams* p = clutInterpParams(clut);
    uint16_t* table = clutTable16(clut);
    uint32_t base = 0;
    uint32_t steps[MaxClutInputs];
    uint32_t moving = 0;   // inputs that fall between two nodes
    for (uint32_t i = 0; i < p->inputs; ++i) {
        const GridPosition g = gridPosition(p->domain[i], at[i]);
        base += g.cell * p->strides[i];
        if (at[i] != 0xFFFF && g.fraction != 0) steps[moving++] = p->strides[i];
    }
    for (uint32_t corner = 0; corner < (1u << moving); ++corner) {
        uint32_t node = base;
        for (uint32_t k = 0; k < moving; ++k)
            if (corner & (1u << k)) node += steps[k];
        table[node + channel] = value;
    }
}

// Makes the white of the input space give exactly the white of the output
// space. Shapes other than [curves?, CLUT, curves?] and spaces without a
// white are left as they are; false only when a patch does not take.
bool fixWhite(Pipeline* p, uint32_t inputFormat, uint32_t outputFormat)
{
    uint16_t whiteIn[MaxStageChannels], whiteOut[MaxStageChannels];
    if (!whiteOf(formatColorSpace(inputFormat), p->inputs, whiteIn)) return true;
    if (!whiteOf(formatColorSpace(outputFormat), p->outputs, whiteOut)) return true;
    ClutShape shape;
    if (!clutShapeOf(p, &shape)) return true;

    uint16_t obtained[MaxStageChannels];
    evalShape16(shape, whiteIn, obtained);
    uint16_t at[MaxClutInputs];
    for (uint32_t i = 0; i < shape.clut->inputs; ++i)
        at[i] = shape.pre ? evalCurve16(stageCurves(shape.pre)[i], whiteIn[i]) : whiteIn[i];

    bool patched = false;
    for (uint32_t o = 0; o < p->outputs; ++o) {
        const int32_t difference = std::abs(int32_t(obtained[o]) - int32_t(whiteOut[o]));
        if (difference == 0 || difference > 61440) continue;
        const uint16_t value = shape.post ? postCurveSource(stageCurves(shape.post)[o], whiteOut[o]) : whiteOut[o];
        patchNodes(shape.clut, at, o, value);
        patched = true;
    }
    if (!patched) return true;
    evalShape16(shape, whiteIn, obtained);
    for (uint32_t o = 0; o < p->outputs; ++o) {
        const int32_t difference = std::abs(int32_t(obtained[o]) - int32_t(whiteOut[o]));
        if (difference != 0 && difference <= 61440) return false;
    }
    return true;
}

// Gives a [curves?, CLUT, curves?] pipeline its integer evaluator.
bool installClutEvaluator(Pipeline* p, bool eightBitInput)
{
    ClutShape shape;
    if (!clutShapeOf(p, &shape)) return false;
    ClutEval* eval = newClutEval(p->ctx, shape.pre, shape.clut, shape.post);
    if (!eval) return false;
    const bool byteInput = eightBitInput && eval->hasAxes;
    setPipelineEvaluators(p, byteInput ? evalClut8 : evalClut16, nullptr, eval, freeClutEval, dupClutEval);
    return true;
}

// ---------------------------------------------------------------------------
// Resampling
// ---------------------------------------------------------------------------

struct StageRange {
    const Stage* first;
    const Stage* stop;
    uint32_t inputs;
    uint32_t outputs;
};

bool sampleRange(const uint16_t in[], uint16_t out[], void* cargo)
{
    auto* range = static_cast<const StageRange*>(cargo);
    float x[MaxStageChannels], y[MaxStageChannels];
    for (uint32_t i = 0; i < range->inputs; ++i) x[i] = wordToUnit(in[i]);
    if (!range->first) {
        // No stages: copy what fits, zeros for the rest.
        for (uint32_t o = 0; o < range->outputs; ++o) y[o] = o < range->inputs ? x[o] : 0.0f;
    } else {
        evalStages(range->first, range->stop, x, y, range->inputs);
    }
    for (uint32_t o = 0; o < range->outputs; ++o) out[o] = quickSaturateWord(double(y[o]) * 65535.0);
    return true;
}

uint32_t gridPointsForChannels(uint32_t c, uint32_t flags)
{
    if (const uint32_t explicitPoints = (flags >> 16) & 0xFF) return explicitPoints;
    if (flags & XformHighResolution) return c <= 3 ? 49 : c == 4 ? 23 : 7;
    if (flags & XformLowResolution) return c == 1 ? 33 : c <= 4 ? 17 : 6;
    return c <= 3 ? 33 : c == 4 ? 17 : 7;
}

bool optimiseResampling(Pipeline** pipeline, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat,
                        uint32_t* flags)
{
    if (formatFloat(inputFormat) || formatFloat(outputFormat)) return false;
    const Pipeline* src = *pipeline;
    EngineContext* ctx = src->ctx;
    const uint32_t inputs = src->inputs, outputs = src->outputs;
    if (inputs == 0 || outputs == 0) return false;

    // Curves at either end may stay outside the table.
    const Stage* first = src->first;
    const Stage* last = first;
    while (last && last->next) last = last->next;
    const Stage* pre = nullptr;
    const Stage* post = nullptr;
    if ((*flags & XformKeepPreLinearisation) && isCurves(first) && !curvesAreLinear(first)) pre = first;
    if ((*flags & XformKeepPostLinearisation) && isCurves(last) && last != pre && !curvesAreLinear(last)) post = last;

    const StageRange range{pre ? pre->next : first, post, inputs, outputs};
    const uint32_t points = first ? gridPointsForChannels(inputs, *flags) : 2;
    StagePtr clut(newClut16StageUniform(ctx, points, inputs, outputs, nullptr), &freeStage);
    if (!clut || !sampleClut16(clut.get(), sampleRange, const_cast<StageRange*>(&range), 0)) return false;

    PipelinePtr resampled(newPipeline(ctx, inputs, outputs), &freePipeline);
    if (!resampled) return false;
    if (pre && !insertStage(resampled.get(), AtEnd, duplicateStage(pre))) return false;
    if (!insertStage(resampled.get(), AtEnd, clut.release())) return false;
    if (post && !insertStage(resampled.get(), AtEnd, duplicateStage(post))) return false;

    if (intent == IntentAbsoluteColorimetric) *flags |= XformNoWhiteFixup;
    if (!(*flags & XformNoWhiteFixup)) fixWhite(resampled.get(), inputFormat, outputFormat);
    if (!installClutEvaluator(resampled.get(), formatBytes(inputFormat) == 1)) return false;
    resampled->saveAs8Bits = src->saveAs8Bits;
    replacePipeline(pipeline, resampled.release());
    return true;
}

// ---------------------------------------------------------------------------
// Pre-linearisation
// ---------------------------------------------------------------------------

constexpr uint32_t LinearisationEntries = 4096;

// More than one entry in 20 at 0 or at 65535, unless exactly one of each.
bool isDegenerate(const uint16_t* table, uint32_t n)
{
    uint32_t zeros = 0, poles = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (table[i] == 0) ++zeros;
        if (table[i] == 0xFFFF) ++poles;
    }
    if (zeros == 1 && poles == 1) return false;
    return uint64_t(zeros) * 20 > n || uint64_t(poles) * 20 > n;
}

bool curvesDegenerate(const Stage* s)
{
    ToneCurve* const* curves = stageCurves(s);
    for (uint32_t i = 0; i < s->inputs; ++i)
        if (isDegenerate(tableEntries(curves[i]), tableEntryCount(curves[i]))) return true;
    return false;
}

// Replaces the first and last 2 % of a table by straight lines to its ends.
void straightenEnds(uint16_t* t, uint32_t n)
{
    const uint32_t k = uint32_t(std::floor(0.02 * n + 0.5));
    if (k == 0 || 2 * k + 1 > n) return;
    const bool descending = t[n - 1] < t[0];
    const double start = descending ? 65535.0 : 0.0;
    const double end = descending ? 0.0 : 65535.0;
    const double atK = t[k];
    for (uint32_t i = 0; i < k; ++i) t[i] = quickSaturateWord(start + (atK - start) * i / k);
    const uint32_t from = n - k - 1;
    const double atFrom = t[from];
    for (uint32_t i = from; i < n; ++i) t[i] = quickSaturateWord(atFrom + (end - atFrom) * (i - from) / k);
}

bool samplePipeline(const uint16_t in[], uint16_t out[], void* cargo)
{
    evalPipeline16(in, out, static_cast<const Pipeline*>(cargo));
    return true;
}

bool optimisePrelinearisation(Pipeline** pipeline, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat,
                              uint32_t* flags)
{
    if (formatFloat(inputFormat) || formatFloat(outputFormat)) return false;
    if (formatColorSpace(inputFormat) != PixelRgb || formatColorSpace(outputFormat) != PixelRgb) return false;
    if (formatPlanar(inputFormat) || formatPlanar(outputFormat)) return false;
    if (formatBytes(inputFormat) != 1 && !(*flags & XformKeepPreLinearisation)) return false;
    const Pipeline* src = *pipeline;
    EngineContext* ctx = src->ctx;
    if (src->inputs != 3 || src->outputs != 3) return false;

    const Stage* last = src->first;
    while (last && last->next) last = last->next;
    if (isCurves(last) && curvesDegenerate(last)) return false;

    // The neutral axis through the whole pipeline, one curve per channel.
    std::vector<uint16_t> tables(3 * LinearisationEntries);
    for (uint32_t j = 0; j < LinearisationEntries; ++j) {
        const float x = float(double(j) / (LinearisationEntries - 1));
        const float in[3] = {x, x, x};
        float out[MaxStageChannels];
        evalPipelineFloat(in, out, src);
        for (uint32_t c = 0; c < 3; ++c)
            tables[c * LinearisationEntries + j] = quickSaturateWord(double(out[c]) * 65535.0);
    }
    ToneCurve* shaper[3] = {};
    ToneCurve* reversed[3] = {};
    struct Release {
        ToneCurve** a;
        ToneCurve** b;
        ~Release()
        {
            freeCurveTriple(a);
            freeCurveTriple(b);
        }
    } release{shaper, reversed};
    for (uint32_t c = 0; c < 3; ++c) {
        uint16_t* t = tables.data() + c * LinearisationEntries;
        straightenEnds(t, LinearisationEntries);
        shaper[c] = buildTabulatedCurve16(ctx, LinearisationEntries, t);
        if (!shaper[c]) return false;
        if (isDegenerate(t, LinearisationEntries) || !isMonotonic(shaper[c])) return false;
        reversed[c] = reverseCurveWith(LinearisationEntries, shaper[c]);
        if (!reversed[c]) return false;
    }

    // The table is sampled through the reversed curves, so that the curves in
    // front of it bring the pipeline back.
    PipelinePtr copy(duplicatePipeline(src), &freePipeline);
    if (!copy) return false;
    useDefaultEvaluators(copy.get());
    if (!insertStage(copy.get(), AtBegin, newCurvesStage(ctx, 3, reversed))) return false;
    StagePtr clut(newClut16StageUniform(ctx, gridPointsForChannels(3, *flags), 3, 3, nullptr), &freeStage);
    if (!clut || !sampleClut16(clut.get(), samplePipeline, copy.get(), 0)) return false;

    PipelinePtr linearised(newPipeline(ctx, 3, 3), &freePipeline);
    if (!linearised || !insertStage(linearised.get(), AtEnd, newCurvesStage(ctx, 3, shaper)) ||
        !insertStage(linearised.get(), AtEnd, clut.release()))
        return false;

    uint32_t tried = *flags;
    if (intent == IntentAbsoluteColorimetric) tried |= XformNoWhiteFixup;
    if (!(tried & XformNoWhiteFixup) && !fixWhite(linearised.get(), inputFormat, outputFormat)) return false;
    if (!installClutEvaluator(linearised.get(), formatBytes(inputFormat) == 1)) return false;
    *flags = tried;
    linearised->saveAs8Bits = src->saveAs8Bits;
    replacePipeline(pipeline, linearised.release());
    return true;
}

// ---------------------------------------------------------------------------
// Plug-ins
// ---------------------------------------------------------------------------

bool optimiseByPlugins(EngineContext* ctx, Pipeline** pipeline, uint32_t intent, uint32_t* inputFormat,
                       uint32_t* outputFormat, uint32_t* flags)
{
    for (PluginBase* r = pluginChain(ctx, SlotOptimizations); r; r = r->next) {
        auto* plugin = reinterpret_cast<PluginOptimization*>(r);
        if (plugin->optimize && plugin->optimize(pipeline, intent, inputFormat, outputFormat, flags)) return true;
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------------------
// Public operations
// ---------------------------------------------------------------------------

uint32_t gridPointsFor(uint32_t colorSpace, uint32_t flags)
{
    return gridPointsForChannels(channelsOfSpace(colorSpace), flags);
}

bool optimisePipeline(EngineContext* ctx, Pipeline** pipeline, uint32_t intent, uint32_t* inputFormat,
                      uint32_t* outputFormat, uint32_t* flags)
{
    if (!pipeline || !*pipeline || !inputFormat || !outputFormat || !flags) return false;
    if (!ctx) ctx = (*pipeline)->ctx;
    if (!(*pipeline)->consistent) return false;

    if (*flags & XformForceClut) {
        const bool changed = prePass(*pipeline);
        return optimiseResampling(pipeline, intent, *inputFormat, *outputFormat, flags) || changed;
    }
    if (hasNamedColorStage(*pipeline)) return false;

    const bool changed = prePass(*pipeline);
    if (!(*pipeline)->first) {
        installIdentity(*pipeline);
        return true;
    }
    if (*flags & XformNoOptimise) return changed;

    if (optimiseByPlugins(ctx, pipeline, intent, inputFormat, outputFormat, flags)) return true;
    if (optimiseJoinedCurves(pipeline, *inputFormat, *outputFormat, flags)) return true;
    if (optimiseMatrixShaper(pipeline, *inputFormat, *outputFormat)) return true;
    if (optimisePrelinearisation(pipeline, intent, *inputFormat, *outputFormat, flags)) return true;
    if (optimiseResampling(pipeline, intent, *inputFormat, *outputFormat, flags)) return true;
    return changed;
}

void setOptimiserVectorCode(bool on)
{
    vectorCode.store(on, std::memory_order_relaxed);
}

TransformWorker optimisedWorkerFor(const Transform* t)
{
    if (!t || !t->lut || t->gamutCheck || (t->flags & (XformNullTransform | XformGamutCheck))) return nullptr;
    // Formatter plug-ins may read these formats their own way.
    if (pluginChain(t->ctx, SlotFormatters)) return nullptr;
    const PipelineEval16Fn eval = t->lut->eval16;
    if (eval == evalMatrixShaper16) {
        if (plainBytes(t->inputFormat, 3) && plainBytes(t->outputFormat, 3)) return matrixShaperWorker;
        return nullptr;
    }
    if (eval == evalClut8) {
        const auto* d = static_cast<const ClutEval*>(t->lut->data);
        if (!plainBytes(t->inputFormat, 3) || !plainBytes(t->outputFormat, d->outputs)) return nullptr;
        switch (d->outputs) {
        case 1: return clutWorker<1>;
        case 3: return clutWorker<3>;
        case 4: return clutWorker<4>;
        default: return clutWorker<0>;
        }
    }
    return nullptr;
}
