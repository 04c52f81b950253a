// Pipeline optimisation.
//
// A transform's pipeline is first simplified (stages that do nothing or cancel
// out are removed, neighbouring matrices multiplied) and then, for integer
// formats, usually replaced by a faster equivalent with an evaluator of its
// own: joined curves, the 8- or 16-bit matrix-shaper, a pre-linearised CLUT,
// or a CLUT resampled from the whole chain. Every replacement keeps stages
// that describe what it computes, so an optimised pipeline can still be
// evaluated in float, copied and written into a profile.
//
// The replacement evaluators (oslevals.h) work on 16-bit words. The 8-bit
// ones read the sample value straight from the word the formatters make of
// it (v × 257); any other word takes their general path. Transforms whose
// formats allow it run a whole-line worker over the same tables instead of
// unpacking each pixel into words (osllines); its results are those of the
// evaluator, byte for byte.
#include "oslevals.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using StagePtr = std::unique_ptr<Stage, decltype(&freeStage)>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

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
// The 8-bit matrix-shaper (the arithmetic is in oslevals.h)
// ---------------------------------------------------------------------------

// The middle of the linear interval that output table entry k stands for.
double msEntryValue(uint32_t k)
{
    if (k + 1 >= MsEntries) return 1.0;
    auto start = [](uint32_t i) -> double {
        if (i == 0) return 0.0;
        const uint32_t bits = MsFloorBits + (i << MsIndexShift);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    };
    return 0.5 * (start(k) + start(k + 1));
}

void freeMatrixShaper(EngineContext* ctx, void* data)
{
    auto* d = static_cast<MatrixShaper*>(data);
    if (!d) return;
    for (ToneCurve* c : d->inputCurves) freeCurve(c);
    for (ToneCurve* c : d->outputCurves) freeCurve(c);
    engineFree(ctx, d);
}

void* dupMatrixShaper(EngineContext* ctx, const void* data)
{
    auto* d = static_cast<const MatrixShaper*>(data);
    auto* copy = static_cast<MatrixShaper*>(engineDup(ctx, d, sizeof(MatrixShaper)));
    if (!copy) return nullptr;
    for (int j = 0; j < 3; ++j) copy->inputCurves[j] = copy->outputCurves[j] = nullptr;
    for (int j = 0; j < 3; ++j) {
        copy->inputCurves[j] = duplicateCurve(d->inputCurves[j]);
        copy->outputCurves[j] = duplicateCurve(d->outputCurves[j]);
        if (!copy->inputCurves[j] || !copy->outputCurves[j]) {
            freeMatrixShaper(ctx, copy);
            return nullptr;
        }
    }
    copy->ctx = ctx;
    return copy;
}

// The matrix and offsets in single precision; false when a row is too large.
bool singleMatrix(const double matrix[9], const double offsets[3], float m[9], float o[3])
{
    for (int i = 0; i < 3; ++i) {
        double sum = offsets ? std::fabs(offsets[i]) : 0.0;
        for (int j = 0; j < 3; ++j) sum += std::fabs(matrix[i * 3 + j]);
        if (!(sum < MsMatrixLimit)) return false;
        for (int j = 0; j < 3; ++j) m[i * 3 + j] = float(matrix[i * 3 + j]);
        o[i] = offsets ? float(offsets[i]) : 0.0f;
    }
    return true;
}

// Builds the tables from [curves, matrix, curves]; null when the matrix is
// too large or a curve gives no finite values.
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
        d->outputCurves[j] = duplicateCurve(out[j]);
        if (!d->inputCurves[j] || !d->outputCurves[j]) return nullptr;
    }
    if (!singleMatrix(matrix, offsets, d->matrix, d->offsets)) return nullptr;
    for (int j = 0; j < 3; ++j) {
        for (uint32_t v = 0; v < 256; ++v) {
            const float x = evalCurveFloat(in[j], wordToUnit(uint16_t(v * 257)));
            if (!std::isfinite(x)) return nullptr;
            d->linear[j][v] = x;
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
// The 16-bit matrix-shaper (the arithmetic is in oslevals.h)
// ---------------------------------------------------------------------------

void freeWideMatrixShaper(EngineContext* ctx, void* data)
{
    engineFree(ctx, data);
}

void* dupWideMatrixShaper(EngineContext* ctx, const void* data)
{
    auto* copy = static_cast<WideMatrixShaper*>(engineDup(ctx, data, sizeof(WideMatrixShaper)));
    if (copy) copy->ctx = ctx;
    return copy;
}

// Null curves: Lab on that side.
WideMatrixShaper* newWideMatrixShaper(EngineContext* ctx, const Stage* inputCurves, const double matrix[9],
                                      const double offsets[3], const Stage* outputCurves)
{
    auto* d = static_cast<WideMatrixShaper*>(engineAllocZero(ctx, sizeof(WideMatrixShaper)));
    if (!d) return nullptr;
    d->ctx = ctx;
    std::unique_ptr<WideMatrixShaper, EngineFree> guard(d, EngineFree{ctx});
    if (!singleMatrix(matrix, offsets, d->matrix, d->offsets)) return nullptr;
    d->labIn = !inputCurves;
    d->labOut = !outputCurves;
    ToneCurve* const* in = inputCurves ? stageCurves(inputCurves) : nullptr;
    ToneCurve* const* out = outputCurves ? stageCurves(outputCurves) : nullptr;
    for (int j = 0; in && j < 3; ++j) {
        float* t = d->in[j];
        for (uint32_t w = 0; w < 65536; ++w) {
            t[w] = evalCurveFloat(in[j], wordToUnit(uint16_t(w)));
            if (!std::isfinite(t[w])) return nullptr;
        }
    }
    for (int i = 0; out && i < 3; ++i) {
        float* t = d->out[i];
        for (uint32_t k = 0; k <= WideMsOutSteps; ++k) {
            const double s = double(k) / WideMsOutSteps;
            const double v = double(evalCurveFloat(out[i], float(s * s))) * 65535.0;
            t[k] = float(std::clamp(std::isfinite(v) ? v : 0.0, 0.0, 65535.0));
        }
        t[WideMsOutSteps + 1] = t[WideMsOutSteps];
    }
    return guard.release();
}

// ---------------------------------------------------------------------------
// CLUT evaluator (the arithmetic is in oslevals.h)
// ---------------------------------------------------------------------------

void freeClutEval(EngineContext* ctx, void* data)
{
    auto* d = static_cast<ClutEval*>(data);
    if (!d) return;
    for (ToneCurve* c : d->pre) freeCurve(c);
    for (ToneCurve* c : d->post) freeCurve(c);
    freeStage(d->clut);
    engineFree(ctx, d->table);
    engineFree(ctx, d->curveStore);
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
            const bool top = w == 0xFFFF;
            d->axes[c][v] = {g.cell * p->strides[c], top ? 0 : p->strides[c], int32_t(g.fraction)};
            d->axisWords[c][v] = g.fraction | g.cell << 16 | uint32_t(top) << 24;
        }
    }
}

// Whether a curve evaluates in 16 bits by the engine's own linear routine
// over its table, as the line workers do.
bool plainCurveTable(const ToneCurve* c)
{
    const InterpParams* p = curveInterpParams(c);
    return p && !(p->flags & InterpFlagFloat) && p->table == tableEntries(c) && tableEntryCount(c) >= 1 &&
           p->inputs == 1 && p->outputs == 1 && hasBuiltinRoutine(p);
}

// Copies of the curves' tables with padding, for the 16-bit line workers;
// left out when a curve is not of that kind.
bool fillCurveTables(ClutEval* d)
{
    const uint32_t pads = 4;
    size_t total = 0;
    for (uint32_t i = 0; i < (d->hasPre ? 3u : 0u); ++i) {
        if (!plainCurveTable(d->pre[i])) return true;
        total += tableEntryCount(d->pre[i]) + pads;
    }
    for (uint32_t o = 0; o < (d->hasPost ? d->outputs : 0u); ++o) {
        if (!plainCurveTable(d->post[o])) return true;
        total += tableEntryCount(d->post[o]) + pads;
    }
    d->curveStore = static_cast<uint16_t*>(engineAllocArray(d->ctx, total + pads, sizeof(uint16_t)));
    if (!d->curveStore) return false;
    uint16_t* at = d->curveStore;
    auto copy = [&](const ToneCurve* c, CurveTable* into) {
        const uint32_t n = tableEntryCount(c);
        std::memcpy(at, tableEntries(c), n * sizeof(uint16_t));
        for (uint32_t k = 0; k < pads; ++k) at[n + k] = at[n - 1];
        *into = {at, n - 1};
        at += n + pads;
    };
    for (uint32_t i = 0; i < (d->hasPre ? 3u : 0u); ++i) copy(d->pre[i], &d->preTables[i]);
    for (uint32_t o = 0; o < (d->hasPost ? d->outputs : 0u); ++o) copy(d->post[o], &d->postTables[o]);
    return true;
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
    // Three inputs through the engine's own tetrahedral routine: the 8-bit
    // evaluator and the line workers reproduce it.
    if (d->inputs == 3 && !(d->params->flags & InterpFlagTrilinear) && hasBuiltinRoutine(d->params)) {
        d->hasAxes = true;
        fillAxes(d);
        if (d->outputs <= 4 && !fillCurveTables(d)) return nullptr;
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

} // namespace

// ---------------------------------------------------------------------------
// The evaluators
// ---------------------------------------------------------------------------

void evalMatrixShaper16(const uint16_t in[], uint16_t out[], const void* data)
{
    auto* d = static_cast<const MatrixShaper*>(data);
    if (isByteWord(in[0]) && isByteWord(in[1]) && isByteWord(in[2])) {
        uint32_t index[3];
        msPixel(d, in[0] & 0xFF, in[1] & 0xFF, in[2] & 0xFF, index);
        for (int i = 0; i < 3; ++i) out[i] = d->out16[i][index[i]];
        return;
    }
    // Other words: the curves themselves.
    float x[3];
    for (int j = 0; j < 3; ++j) x[j] = evalCurveFloat(d->inputCurves[j], wordToUnit(in[j]));
    for (int i = 0; i < 3; ++i) {
        const float y = std::clamp(msRow(d->matrix + 3 * i, d->offsets[i], x[0], x[1], x[2]), 0.0f, 1.0f);
        out[i] = quickSaturateWord(double(evalCurveFloat(d->outputCurves[i], y)) * 65535.0);
    }
}

void evalWideMatrixShaper16(const uint16_t in[], uint16_t out[], const void* data)
{
    wideMsPixel(static_cast<const WideMatrixShaper*>(data), in[0], in[1], in[2], out);
}

void evalPcsMatrixShaper16(const uint16_t in[], uint16_t out[], const void* data)
{
    auto* d = static_cast<const WideMatrixShaper*>(data);
    float x[3];
    if (d->labIn) {
        labWordsToRelativeXyz(in[0], in[1], in[2], x);
    } else {
        for (int j = 0; j < 3; ++j) x[j] = wideMsInput(d->in[j], in[j]);
    }
    float y[3];
    for (int i = 0; i < 3; ++i) y[i] = msRow(d->matrix + 3 * i, d->offsets[i], x[0], x[1], x[2]);
    if (d->labOut) {
        const float fx = labF(y[0]), fy = labF(y[1]), fz = labF(y[2]);
        out[0] = quickSaturateWord((116.0 * fy - 16.0) * (65535.0 / 100.0));
        out[1] = quickSaturateWord((500.0 * (double(fx) - fy) + 128.0) * (65535.0 / 255.0));
        out[2] = quickSaturateWord((200.0 * (double(fy) - fz) + 128.0) * (65535.0 / 255.0));
    } else {
        for (int i = 0; i < 3; ++i) out[i] = wideMsOutput(d->out[i], y[i]);
    }
}

void evalClut16(const uint16_t in[], uint16_t out[], const void* data)
{
    evalClutGeneral(static_cast<const ClutEval*>(data), in, out);
}

void evalClut8(const uint16_t in[], uint16_t out[], const void* data)
{
    auto* d = static_cast<const ClutEval*>(data);
    if (!isByteWord(in[0]) || !isByteWord(in[1]) || !isByteWord(in[2])) {
        evalClutGeneral(d, in, out);
        return;
    }
    const Tetrahedron t = tetrahedronOf8(d->axes[0][in[0] & 0xFF], d->axes[1][in[1] & 0xFF], d->axes[2][in[2] & 0xFF]);
    for (uint32_t o = 0; o < d->outputs; ++o) out[o] = tetrahedralWord(d->table, t, o);
    if (d->hasPost)
        for (uint32_t o = 0; o < d->outputs; ++o) out[o] = evalCurve16(d->post[o], out[o]);
}

namespace {
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

// White to white exactly: the matrices of profiles are rounded in their
// tags, so that the white of one space misses the white of the other by a
// few parts in a million, a step of 16 bits. Each row that brings the input
// white within 1/4096 of its target is scaled to meet it.
void snapRows(double m[9], const double offsets[3], const double white[3], const double target[3])
{
    for (int i = 0; i < 3; ++i) {
        double linear = 0;
        for (int j = 0; j < 3; ++j) linear += m[i * 3 + j] * white[j];
        const double y = linear + (offsets ? offsets[i] : 0.0);
        if (y == target[i] || std::fabs(y - target[i]) > 1.0 / 4096 || !(std::fabs(linear) > 0.25)) continue;
        const double scale = (linear + target[i] - y) / linear;
        for (int j = 0; j < 3; ++j) m[i * 3 + j] *= scale;
    }
}

// Between shaper curves: the input curves' white to where the output curves give white.
void snapWhite(double m[9], const double offsets[3], const Stage* inCurves, const Stage* outCurves)
{
    double white[3], target[3];
    for (int j = 0; j < 3; ++j) white[j] = evalCurveFloat(stageCurves(inCurves)[j], 1.0f);
    for (int i = 0; i < 3; ++i) {
        const bool whiteAtOne = std::fabs(evalCurveFloat(stageCurves(outCurves)[i], 1.0f) - 1.0f) <= 1e-6f;
        target[i] = whiteAtOne ? 1.0 : 1e9;   // rows of other curves are left alone
    }
    snapRows(m, offsets, white, target);
}

bool optimiseMatrixShaper(Pipeline** pipeline, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat,
                          uint32_t flags)
{
    if (formatChannels(inputFormat) != 3 || formatChannels(outputFormat) != 3) return false;
    if (formatFloat(inputFormat) || formatFloat(outputFormat)) return false;
    // 8-bit input has tables at its sample values; 16-bit input its own
    // interpolated ones, as accurate as the 8-bit ones at every word.
    const uint32_t inputBytes = formatBytes(inputFormat);
    if (inputBytes != 1 && inputBytes != 2) return false;
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
    if (intent != IntentAbsoluteColorimetric && !(flags & XformNoWhiteFixup)) snapWhite(m.m, offsets, inCurves, outCurves);

    PipelinePtr shaper(newPipeline(ctx, 3, 3), &freePipeline);
    if (!shaper || !insertStage(shaper.get(), AtEnd, duplicateStage(inCurves)) ||
        !insertStage(shaper.get(), AtEnd, newMatrixStage(ctx, 3, 3, m.m, offsets)) ||
        !insertStage(shaper.get(), AtEnd, duplicateStage(outCurves)))
        return false;
    if (inputBytes == 1) {
        MatrixShaper* data = newMatrixShaper(ctx, inCurves, m.m, offsets, outCurves);
        if (!data) return false;
        setPipelineEvaluators(shaper.get(), evalMatrixShaper16, nullptr, data, freeMatrixShaper, dupMatrixShaper);
    } else {
        WideMatrixShaper* data = newWideMatrixShaper(ctx, inCurves, m.m, offsets, outCurves);
        if (!data) return false;
        setPipelineEvaluators(shaper.get(), evalWideMatrixShaper16, nullptr, data, freeWideMatrixShaper,
                              dupWideMatrixShaper);
    }
    shaper->saveAs8Bits = src->saveAs8Bits;
    replacePipeline(pipeline, shaper.release());
    return true;
}

// Between Lab and a matrix-shaper RGB space at 16 bits: [curves, matrices,
// XYZ to Lab, linear curves?] or [linear curves?, Lab to XYZ, matrices,
// curves]. The companding of Lab bends the colours near black too sharply
// for a table; it is computed instead.
bool optimisePcsMatrixShaper(Pipeline** pipeline, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat,
                             uint32_t flags)
{
    if (formatChannels(inputFormat) != 3 || formatChannels(outputFormat) != 3) return false;
    if (formatFloat(inputFormat) || formatFloat(outputFormat) || formatBytes(inputFormat) != 2) return false;
    const Pipeline* src = *pipeline;
    const std::vector<Stage*> s = stageList(src);
    const size_t n = s.size();
    size_t i = 0;
    if (i + 1 < n && isCurves(s[i]) && curvesAreLinear(s[i]) && s[i + 1]->implements == StageLabToXyzKind) ++i;
    const bool labIn = i < n && s[i]->implements == StageLabToXyzKind;
    const Stage* inCurves = nullptr;
    if (labIn) {
        ++i;
    } else {
        if (!(i < n && isCurves(s[i]) && s[i]->inputs == 3)) return false;
        inCurves = s[i++];
    }
    // The matrices, as one affine map.
    double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, offsets[3] = {0, 0, 0};
    size_t matrices = 0;
    for (; i < n && isMatrix3x3(s[i]); ++i, ++matrices) {
        const double* a = stageMatrix(s[i]);
        const double* o = stageOffsets(s[i]);
        double next[9], nextOffsets[3];
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                double sum = 0;
                for (int k = 0; k < 3; ++k) sum += a[r * 3 + k] * m[k * 3 + c];
                next[r * 3 + c] = sum;
            }
            nextOffsets[r] = o ? o[r] : 0.0;
            for (int k = 0; k < 3; ++k) nextOffsets[r] += a[r * 3 + k] * offsets[k];
        }
        std::memcpy(m, next, sizeof m);
        std::memcpy(offsets, nextOffsets, sizeof offsets);
    }
    if (matrices == 0) return false;
    const bool labOut = i < n && s[i]->implements == StageXyzToLabKind;
    const Stage* outCurves = nullptr;
    if (labOut) {
        ++i;
        if (i < n && isCurves(s[i]) && curvesAreLinear(s[i])) ++i;
    } else {
        if (!(i < n && isCurves(s[i]) && s[i]->inputs == 3)) return false;
        outCurves = s[i++];
    }
    if (i != n || labIn == labOut) return false;

    // The white and the PCS normalisation into the matrix: XYZ / 1.999969…
    // in the pipeline, f(X / Xn) on the Lab side.
    const double white[3] = {D50.X, D50.Y, D50.Z};
    const double scale = 65535.0 / 32768.0;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            if (labIn) m[r * 3 + c] *= white[c] / scale;
            if (labOut) m[r * 3 + c] *= scale / white[r];
        }
        if (labOut) offsets[r] *= scale / white[r];
    }
    if (intent != IntentAbsoluteColorimetric && !(flags & XformNoWhiteFixup)) {
        // Lab white is 1, 1, 1 relative to D50 on its side.
        double inWhite[3] = {1, 1, 1}, target[3] = {1, 1, 1};
        if (inCurves)
            for (int j = 0; j < 3; ++j) inWhite[j] = evalCurveFloat(stageCurves(inCurves)[j], 1.0f);
        for (int r = 0; outCurves && r < 3; ++r)
            if (std::fabs(evalCurveFloat(stageCurves(outCurves)[r], 1.0f) - 1.0f) > 1e-6f) target[r] = 1e9;
        snapRows(m, offsets, inWhite, target);
    }

    EngineContext* ctx = src->ctx;
    WideMatrixShaper* data = newWideMatrixShaper(ctx, inCurves, m, offsets, outCurves);
    if (!data) return false;
    PipelinePtr copy(duplicatePipeline(src), &freePipeline);
    if (!copy) {
        freeWideMatrixShaper(ctx, data);
        return false;
    }
    useDefaultEvaluators(copy.get());
    setPipelineEvaluators(copy.get(), evalPcsMatrixShaper16, nullptr, data, freeWideMatrixShaper,
                          dupWideMatrixShaper);
    replacePipeline(pipeline, copy.release());
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

// The CLUT value that the post-curve takes to `target`: the exact hit
// nearest to `near` (the value the table gives now), else the closest miss.
uint16_t postCurveSource(const ToneCurve* curve, uint16_t target, uint16_t near)
{
    for (int32_t delta = 0; delta <= 0xFFFF; ++delta) {
        for (int32_t candidate : {int32_t(near) - delta, int32_t(near) + delta}) {
            if (candidate >= 0 && candidate <= 0xFFFF && evalCurve16(curve, uint16_t(candidate)) == target)
                return uint16_t(candidate);
        }
    }
    CurvePtr reversed(reverseCurveWith(4096, curve), &freeCurve);
    int32_t guess = reversed ? evalCurve16(reversed.get(), target) : target;
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

// Brings channel `channel` of the interpolation at `at` to `value`. When
// `at` is a node, the node is set. Otherwise every corner of its cell is
// moved by the same amount, which moves the interpolation at `at` by that
// amount and keeps the colours around it (setting the corners to the value
// would pull a whole cell of colours to white); with `overwrite`, or where a
// corner would leave the 16-bit range, the corners are set to the value.
void patchNodes(Stage* clut, const uint16_t at[], uint32_t channel, uint16_t value, bool overwrite)
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
    auto corner = [&](uint32_t k) {
        uint32_t node = base;
        for (uint32_t i = 0; i < moving; ++i)
            if (k & (1u << i)) node += steps[i];
        return node + channel;
    };
    const uint32_t corners = 1u << moving;
    int32_t delta = 0;
    if (moving > 0 && !overwrite) {
        uint16_t now[MaxStageChannels];
        p->routine.lerp16(at, now, p);
        delta = int32_t(value) - int32_t(now[channel]);
        for (uint32_t k = 0; k < corners && !overwrite; ++k) {
            const int32_t moved = int32_t(table[corner(k)]) + delta;
            overwrite = moved < 0 || moved > 0xFFFF;
        }
    }
    for (uint32_t k = 0; k < corners; ++k) {
        uint16_t& node = table[corner(k)];
        node = moving == 0 || overwrite ? value : uint16_t(int32_t(node) + delta);
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

    uint16_t at[MaxClutInputs];
    for (uint32_t i = 0; i < shape.clut->inputs; ++i)
        at[i] = shape.pre ? evalCurve16(stageCurves(shape.pre)[i], whiteIn[i]) : whiteIn[i];
    // Corners are moved first, and set only where moving them did not take.
    for (bool overwrite : {false, true}) {
        uint16_t obtained[MaxStageChannels], inTable[MaxStageChannels];
        evalShape16(shape, whiteIn, obtained);
        const InterpParams* params = clutInterpParams(shape.clut);
        params->routine.lerp16(at, inTable, params);
        bool patched = false;
        for (uint32_t o = 0; o < p->outputs; ++o) {
            const int32_t difference = std::abs(int32_t(obtained[o]) - int32_t(whiteOut[o]));
            if (difference == 0 || difference > 61440) continue;
            const uint16_t value =
                shape.post ? postCurveSource(stageCurves(shape.post)[o], whiteOut[o], inTable[o]) : whiteOut[o];
            patchNodes(shape.clut, at, o, value, overwrite);
            patched = true;
        }
        if (!patched) return true;
    }
    uint16_t obtained[MaxStageChannels];
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
    // When the range starts with curves, their values at the nodes of each
    // axis, worked out once instead of at every node: `axes` holds `points`
    // values per input, and evaluation goes on from `afterAxes`.
    uint32_t points = 0;
    std::vector<float> axes;
    const Stage* afterAxes = nullptr;
};

// The per-axis values of the curves that begin the range, for a uniform
// grid of `points` nodes. Curves treat each channel by itself, so a node's
// values are exactly those the stage gives at that node.
void precomputeAxes(StageRange& range, uint32_t points)
{
    const Stage* first = range.first;
    if (!first || first == range.stop || !isCurves(first) || points < 2 || first->inputs != range.inputs ||
        first->outputs != range.inputs)
        return;
    range.axes.resize(size_t(range.inputs) * points);
    float x[MaxStageChannels], y[MaxStageChannels];
    for (uint32_t k = 0; k < points; ++k) {
        const float v = wordToUnit(quantizeNode(k, points));
        for (uint32_t i = 0; i < range.inputs; ++i) x[i] = v;
        first->eval(x, y, first);
        for (uint32_t i = 0; i < range.inputs; ++i) range.axes[size_t(i) * points + k] = y[i];
    }
    range.points = points;
    range.afterAxes = first->next;
}

// The range's stages at one node, in float.
void evalRange(const StageRange& range, const uint16_t in[], float y[])
{
    float x[MaxStageChannels];
    if (range.points) {
        // A node of the grid the values were made for: look them up.
        uint32_t i = 0;
        for (; i < range.inputs; ++i) {
            const uint32_t k = (uint32_t(in[i]) * (range.points - 1) + 32767) / 65535;
            if (quantizeNode(k, range.points) != in[i]) break;
            x[i] = range.axes[size_t(i) * range.points + k];
        }
        if (i == range.inputs) {
            evalStages(range.afterAxes, range.stop, x, y, range.inputs);
            return;
        }
    }
    for (uint32_t i = 0; i < range.inputs; ++i) x[i] = wordToUnit(in[i]);
    if (!range.first) {
        // No stages: copy what fits, zeros for the rest.
        for (uint32_t o = 0; o < range.outputs; ++o) y[o] = o < range.inputs ? x[o] : 0.0f;
    } else {
        evalStages(range.first, range.stop, x, y, range.inputs);
    }
}

bool sampleRange(const uint16_t in[], uint16_t out[], void* cargo)
{
    auto* range = static_cast<const StageRange*>(cargo);
    float y[MaxStageChannels];
    evalRange(*range, in, y);
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

// Stretched post-curves. For 16-bit input into RGB or grey, the curves that
// end the pipeline (the output profile's shaper curves) stay behind the
// table, and the table holds their input, stretched over the range the
// pipeline reaches at the nodes. What the table then interpolates is close
// to linear in XYZ (and exactly so along the matrices of matrix-shapers),
// and colours beyond the gamut are clipped by the curves after
// interpolation rather than at the nodes, where clipping bends the colours
// of the whole cell.
constexpr uint32_t StretchedEntries = 16384;

struct StretchedRange {
    StageRange range;
    double low[MaxStageChannels];
    double span[MaxStageChannels];
};

bool measureRange(const uint16_t in[], uint16_t[], void* cargo)
{
    auto* r = static_cast<StretchedRange*>(cargo);
    float y[MaxStageChannels];
    evalRange(r->range, in, y);
    for (uint32_t o = 0; o < r->range.outputs; ++o) {
        if (!std::isfinite(y[o])) continue;
        r->low[o] = std::min(r->low[o], double(y[o]));
        r->span[o] = std::max(r->span[o], double(y[o]));   // the top, for now
    }
    return true;
}

bool sampleStretched(const uint16_t in[], uint16_t out[], void* cargo)
{
    auto* r = static_cast<const StretchedRange*>(cargo);
    float y[MaxStageChannels];
    evalRange(r->range, in, y);
    for (uint32_t o = 0; o < r->range.outputs; ++o)
        out[o] = quickSaturateWord((double(y[o]) - r->low[o]) / r->span[o] * 65535.0);
    return true;
}

// The last curves again, reading the stretched values.
Stage* stretchedCurves(EngineContext* ctx, const Stage* curves, const StretchedRange& r)
{
    const uint32_t n = curves->inputs;
    ToneCurve* made[MaxPipelineChannels] = {};
    struct Release {
        ToneCurve** curves;
        uint32_t n;
        ~Release()
        {
            for (uint32_t c = 0; c < n; ++c) freeCurve(curves[c]);
        }
    } release{made, n};
    std::vector<uint16_t> table(StretchedEntries);
    for (uint32_t o = 0; o < n; ++o) {
        for (uint32_t k = 0; k < StretchedEntries; ++k) {
            const double v = r.low[o] + r.span[o] * double(k) / (StretchedEntries - 1);
            table[k] = quickSaturateWord(double(evalCurveFloat(stageCurves(curves)[o], float(v))) * 65535.0);
        }
        made[o] = buildTabulatedCurve16(ctx, StretchedEntries, table.data());
        if (!made[o]) return nullptr;
    }
    return newCurvesStage(ctx, n, made);
}

// Where the table is chosen by its measured accuracy, also where the
// post-curves are asked for: stretched, they are still the curves kept
// behind the table. Not for 8-bit input, whose fast loops have no
// post-curves.
bool stretchesPostCurves(const Pipeline* p, const Stage* last, uint32_t inputFormat, uint32_t outputFormat,
                         uint32_t flags, bool measured)
{
    const uint32_t space = formatColorSpace(outputFormat);
    return (measured || !(flags & XformKeepPostLinearisation)) && formatBytes(inputFormat) == 2 &&
           (space == PixelRgb || space == PixelGray) && isCurves(last) && last != p->first &&
           !curvesAreLinear(last) && p->outputs < MaxPipelineChannels;
}

// How a resampled table treats the curves at the pipeline's ends: as the
// flags ask (and stretched post-curves where they pay), or not at all, a
// plain table in the encoded spaces.
// ShapedOnly refuses when the shaped table would be the plain one, and
// stretches kept post-curves too: it is tried among the candidates whose
// accuracy is measured.
enum class Resample { Shaped, ShapedOnly, Plain };

bool optimiseResampling(Pipeline** pipeline, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat,
                        uint32_t* flags, Resample mode = Resample::Shaped)
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
    const bool shaped = mode != Resample::Plain;
    if (shaped && (*flags & XformKeepPreLinearisation) && isCurves(first) && !curvesAreLinear(first)) pre = first;
    if (shaped && (*flags & XformKeepPostLinearisation) && isCurves(last) && last != pre && !curvesAreLinear(last))
        post = last;
    const bool stretched =
        shaped && stretchesPostCurves(src, last, inputFormat, outputFormat, *flags, mode == Resample::ShapedOnly) &&
        last != pre;
    if (stretched) post = last;
    if (mode == Resample::ShapedOnly && !pre && !post) return false;

    StageRange range{pre ? pre->next : first, post, inputs, outputs};
    const uint32_t points = first ? gridPointsForChannels(inputs, *flags) : 2;
    precomputeAxes(range, points);
    StagePtr clut(newClut16StageUniform(ctx, points, inputs, outputs, nullptr), &freeStage);
    if (!clut) return false;
    StagePtr postStage(nullptr, &freeStage);
    if (stretched) {
        StretchedRange r;
        r.range = range;
        for (uint32_t o = 0; o < outputs; ++o) {
            r.low[o] = 0.0;
            r.span[o] = 1.0;
        }
        if (!sampleClut16(clut.get(), measureRange, &r, SamplerInspect)) return false;
        for (uint32_t o = 0; o < outputs; ++o) r.span[o] -= r.low[o];
        postStage.reset(stretchedCurves(ctx, last, r));
        if (!postStage || !sampleClut16Shared(clut.get(), sampleStretched, &r)) return false;
    } else {
        if (!sampleClut16Shared(clut.get(), sampleRange, &range)) return false;
        if (post) postStage.reset(duplicateStage(post));
        if (post && !postStage) return false;
    }

    PipelinePtr resampled(newPipeline(ctx, inputs, outputs), &freePipeline);
    if (!resampled) return false;
    if (pre && !insertStage(resampled.get(), AtEnd, duplicateStage(pre))) return false;
    if (!insertStage(resampled.get(), AtEnd, clut.release())) return false;
    if (postStage && !insertStage(resampled.get(), AtEnd, postStage.release())) return false;

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
    // 8- and 16-bit input; wider input only when asked.
    const uint32_t inputBytes = formatBytes(inputFormat);
    if ((inputBytes == 0 || inputBytes > 2) && !(*flags & XformKeepPreLinearisation)) return false;
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
    if (!clut || !sampleClut16Shared(clut.get(), samplePipeline, copy.get())) return false;

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
// Measured choice
// ---------------------------------------------------------------------------

// A replacement is adopted only when it reproduces the pipeline it replaces
// on a fixed set of inputs, measured in codes of 8 bits (1/255 of the
// range) on every output channel: joined curves, matrix-shapers and
// pre-linearisation rest on assumptions about the chain (curves along the
// grey axis linearise it, the matrices hold) that a look in the chain can
// break, and a table's grid can be too coarse for what it follows. The
// limits leave room for the rounding of 8-bit output on top.
constexpr double AcceptedMaxCodes = 2.0;
constexpr double AcceptedMeanCodes = 0.3;
constexpr double WordsPerCode = 65535.0 / 255.0;

struct AccuracyCheck {
    uint32_t inputs = 0, outputs = 0;
    std::vector<uint16_t> in;   // the words the input formatter makes
    std::vector<float> want;    // the pipeline's results in words, clipped
};

struct Accuracy {
    double max = 0, mean = 0;
    bool accepted() const { return max <= AcceptedMaxCodes && mean <= AcceptedMeanCodes; }
};

// The inputs: a lattice through the whole space, random points over it, and
// random points close to its corners (the dark and the saturated colours,
// where curves bend most and one cell of a coarse grid holds most). 8-bit
// input gives the words of 8-bit samples, where the 8-bit evaluators take
// their own path. The white of the input space and the inputs around it
// (within 1/16 of the range on every channel, the cells of the coarsest
// table) are left out when the white fix-up may move them on purpose.
std::vector<uint16_t> checkInputs(uint32_t inputs, uint32_t inputFormat, bool skipWhite)
{
    const bool bytes = formatBytes(inputFormat) == 1;
    const uint32_t top = bytes ? 255 : 65535;
    auto word = [&](uint32_t v) { return uint16_t(bytes ? v * 257 : v); };
    uint32_t seed = 0x2545F491u;
    auto random = [&](uint32_t range) {
        seed = seed * 1664525u + 1013904223u;
        return uint32_t((uint64_t(seed) * range) >> 32);
    };
    std::vector<uint16_t> out;
    const uint32_t lattice = inputs <= 3 ? 9 : inputs == 4 ? 5 : 3;
    uint32_t latticeCount = 1;
    for (uint32_t i = 0; i < inputs; ++i) latticeCount *= lattice;
    for (uint32_t k = 0; k < latticeCount; ++k)
        for (uint32_t i = 0, rest = k; i < inputs; ++i, rest /= lattice)
            out.push_back(word((rest % lattice) * top / (lattice - 1)));
    const uint32_t spread = inputs <= 3 ? 2500 : 1500, corners = inputs <= 3 ? 2500 : 1500;
    for (uint32_t k = 0; k < spread; ++k)
        for (uint32_t i = 0; i < inputs; ++i) out.push_back(word(random(top + 1)));
    const uint32_t near = top / 8;
    for (uint32_t k = 0; k < corners; ++k)
        for (uint32_t i = 0; i < inputs; ++i) {
            const uint32_t v = random(near + 1);
            out.push_back(word(random(2) ? top - v : v));
        }
    uint16_t white[MaxStageChannels];
    if (skipWhite && whiteOf(formatColorSpace(inputFormat), inputs, white)) {
        std::vector<uint16_t> kept;
        for (size_t k = 0; k < out.size(); k += inputs) {
            bool nearWhite = true;
            for (uint32_t i = 0; i < inputs && nearWhite; ++i)
                nearWhite = std::abs(int32_t(out[k + i]) - int32_t(white[i])) <= 65535 / 16;
            if (!nearWhite)
                kept.insert(kept.end(), out.begin() + std::ptrdiff_t(k), out.begin() + std::ptrdiff_t(k + inputs));
        }
        out.swap(kept);
    }
    return out;
}

// The check for a pipeline before any replacement: its results in float.
AccuracyCheck makeCheck(const Pipeline* p, uint32_t inputFormat, uint32_t flags)
{
    AccuracyCheck c;
    c.inputs = p->inputs;
    c.outputs = p->outputs;
    if (c.inputs == 0 || c.outputs == 0 || c.inputs > MaxClutInputs || c.outputs >= MaxStageChannels) return c;
    c.in = checkInputs(c.inputs, inputFormat, !(flags & XformNoWhiteFixup));
    const size_t count = c.in.size() / c.inputs;
    c.want.resize(count * c.outputs);
    float x[MaxStageChannels], y[MaxStageChannels];
    for (size_t k = 0; k < count; ++k) {
        for (uint32_t i = 0; i < c.inputs; ++i) x[i] = wordToUnit(c.in[k * c.inputs + i]);
        evalPipelineFloat(x, y, p);
        for (uint32_t o = 0; o < c.outputs; ++o) {
            const float v = std::isfinite(y[o]) ? std::clamp(y[o], 0.0f, 1.0f) : 0.0f;
            c.want[k * c.outputs + o] = v * 65535.0f;
        }
    }
    return c;
}

Accuracy measureAccuracy(const AccuracyCheck& c, const Pipeline* candidate)
{
    Accuracy a;
    if (c.want.empty() || candidate->inputs != c.inputs || candidate->outputs != c.outputs) {
        a.max = a.mean = 1e9;
        return a;
    }
    const size_t count = c.in.size() / c.inputs;
    double sum = 0;
    uint16_t y[MaxStageChannels];
    for (size_t k = 0; k < count; ++k) {
        evalPipeline16(&c.in[k * c.inputs], y, candidate);
        double worst = 0;
        for (uint32_t o = 0; o < c.outputs; ++o)
            worst = std::max(worst, std::fabs(double(y[o]) - double(c.want[k * c.outputs + o])));
        worst /= WordsPerCode;
        sum += worst;
        a.max = std::max(a.max, worst);
    }
    a.mean = sum / double(count);
    return a;
}

// One candidate: an optimisation run on a copy of the pipeline, with the
// flags it may change.
using Optimisation = bool (*)(Pipeline** pipeline, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat,
                              uint32_t* flags, uint32_t gridFlags);

bool joinedCandidate(Pipeline** p, uint32_t, uint32_t inputFormat, uint32_t outputFormat, uint32_t* flags, uint32_t)
{
    return optimiseJoinedCurves(p, inputFormat, outputFormat, flags);
}

bool matrixShaperCandidate(Pipeline** p, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat,
                           uint32_t* flags, uint32_t)
{
    return optimiseMatrixShaper(p, intent, inputFormat, outputFormat, *flags) ||
           optimisePcsMatrixShaper(p, intent, inputFormat, outputFormat, *flags);
}

bool prelinearisationCandidate(Pipeline** p, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat,
                               uint32_t* flags, uint32_t)
{
    return optimisePrelinearisation(p, intent, inputFormat, outputFormat, flags);
}

// A table on the grid of `gridFlags` (bits 16-23, 0 for the flags' own);
// the transform's flags keep their grid bits.
bool tableCandidate(Pipeline** p, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat, uint32_t* flags,
                    uint32_t gridFlags, Resample mode)
{
    uint32_t tableFlags = (*flags & ~0x00FF0000u) | gridFlags;
    if (!optimiseResampling(p, intent, inputFormat, outputFormat, &tableFlags, mode)) return false;
    *flags = (tableFlags & ~0x00FF0000u) | (*flags & 0x00FF0000u);
    return true;
}

bool shapedTableCandidate(Pipeline** p, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat,
                          uint32_t* flags, uint32_t gridFlags)
{
    return tableCandidate(p, intent, inputFormat, outputFormat, flags, gridFlags, Resample::ShapedOnly);
}

// A plain table in the encoded spaces.
bool plainTableCandidate(Pipeline** p, uint32_t intent, uint32_t inputFormat, uint32_t outputFormat,
                         uint32_t* flags, uint32_t gridFlags)
{
    return tableCandidate(p, intent, inputFormat, outputFormat, flags, gridFlags, Resample::Plain);
}

struct Chooser {
    const AccuracyCheck& check;
    Pipeline** pipeline;
    uint32_t intent, inputFormat, outputFormat;
    uint32_t* flags;
    PipelinePtr best{nullptr, &freePipeline};   // the most accurate fallback table that missed
    uint32_t bestFlags = 0;
    double bestMax = 1e300;

    // True when the candidate was adopted; *error gets its largest error
    // when it could be made.
    bool tryCandidate(Optimisation optimise, uint32_t gridFlags, double* error = nullptr, bool fallback = false)
    {
        PipelinePtr trial(duplicatePipeline(*pipeline), &freePipeline);
        if (!trial) return false;
        uint32_t trialFlags = *flags;
        Pipeline* raw = trial.release();
        const bool made = optimise(&raw, intent, inputFormat, outputFormat, &trialFlags, gridFlags);
        trial.reset(raw);
        if (!made || !trial) return false;
        const Accuracy a = measureAccuracy(check, trial.get());
        if (error) *error = a.max;
        if (a.accepted()) {
            adopt(std::move(trial), trialFlags);
            return true;
        }
        if (fallback && a.max < bestMax) {
            bestMax = a.max;
            best = std::move(trial);
            bestFlags = trialFlags;
        }
        return false;
    }

    // When nothing met the limits: the most accurate of the tables that may
    // stand in, the plain ones and those shaped as the caller asked.
    bool settle()
    {
        if (!best) return false;
        adopt(std::move(best), bestFlags);
        return true;
    }

    void adopt(PipelinePtr chosen, uint32_t chosenFlags)
    {
        replacePipeline(pipeline, chosen.release());
        *flags = chosenFlags;
    }
};

// Denser grids for a table when the usual one misses; none when the caller
// chose the grid or a resolution.
std::vector<uint32_t> denserGrids(uint32_t inputs, uint32_t flags)
{
    if (((flags >> 16) & 0xFF) || (flags & (XformHighResolution | XformLowResolution))) return {};
    const uint32_t usual = gridPointsForChannels(inputs, flags);
    std::vector<uint32_t> grids;
    for (uint32_t g : inputs <= 3 ? std::vector<uint32_t>{49, 65} : inputs == 4 ? std::vector<uint32_t>{23, 33}
                                                                         : std::vector<uint32_t>{})
        if (g > usual) grids.push_back(g);
    return grids;
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
    if (formatFloat(*inputFormat) || formatFloat(*outputFormat)) return changed;

    // The built-in replacements in order of speed, each adopted only when it
    // is accurate; then a table with curves at its ends and a plain table in
    // the encoded spaces.
    const AccuracyCheck check = makeCheck(*pipeline, *inputFormat, *flags);
    Chooser chooser{check, pipeline, intent, *inputFormat, *outputFormat, flags};
    const uint32_t gridFlags = *flags & 0x00FF0000u;
    for (Optimisation candidate : {joinedCandidate, matrixShaperCandidate, prelinearisationCandidate})
        if (chooser.tryCandidate(candidate, gridFlags)) return true;
    // A plain table follows the chain as closely as its grid allows
    // anywhere; the shaped one can be closer on the inputs checked and
    // further elsewhere, and stands in only where the caller asked for its
    // curves (or, for 16-bit input, where it has always been used).
    // Where the caller asked for the curves, the shaped table alone stands
    // in when nothing meets the limits.
    const bool curvesAsked = *flags & (XformKeepPreLinearisation | XformKeepPostLinearisation);
    const bool shapedFallback = formatBytes(*inputFormat) != 1 || curvesAsked;
    double shapedError = 1e300, plainError = 1e300;
    if (chooser.tryCandidate(shapedTableCandidate, gridFlags, &shapedError, shapedFallback)) return true;
    const bool plainFallback = !(curvesAsked && shapedError < 1e300);
    if (chooser.tryCandidate(plainTableCandidate, gridFlags, &plainError, plainFallback)) return true;
    // The better of the two on a denser grid where that is what it takes.
    // Tables built only to miss again would make every transform slower:
    // a grid is tried only when the error, falling at least as fast as the
    // cells shrink (as it does across a fold of the chain), would then be
    // within the limit.
    const double error = std::min(shapedError, plainError);
    const Optimisation better = shapedError <= plainError ? shapedTableCandidate : plainTableCandidate;
    const uint32_t usual = gridPointsForChannels((*pipeline)->inputs, *flags);
    for (uint32_t grid : denserGrids((*pipeline)->inputs, *flags))
        if (error * double(usual - 1) / double(grid - 1) <= AcceptedMaxCodes &&
            chooser.tryCandidate(better, grid << 16, nullptr,
                                 better == plainTableCandidate ? plainFallback : shapedFallback))
            return true;
    return chooser.settle() || changed;
}
