// Pipeline optimisation: the pre-pass that removes what cancels out, and the
// grid sizes for resampling.
#include "oslinternal.h"

#include <cmath>
#include <vector>

namespace {

// An identity 16-bit evaluator for empty pipelines; its data is the channel
// count, shared by every pipeline that uses it.
constexpr uint32_t ChannelCounts[MaxPipelineChannels] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

void identity16(const uint16_t in[], uint16_t out[], const void* data)
{
    const uint32_t n = *static_cast<const uint32_t*>(data);
    for (uint32_t i = 0; i < n; ++i) out[i] = in[i];
}

bool cancels(uint32_t first, uint32_t second)
{
    struct Pair {
        uint32_t a, b;
    };
    static constexpr Pair Pairs[] = {
        {StageLabToXyzKind, StageXyzToLabKind},         {StageXyzToLabKind, StageLabToXyzKind},
        {StageLabV4ToV2Kind, StageLabV2ToV4Kind},       {StageLabV2ToV4Kind, StageLabV4ToV2Kind},
        {StageLabToNormalisedKind, StageNormalisedToLabKind},
        {StageXyzToNormalisedKind, StageNormalisedToXyzKind},
    };
    for (const Pair& p : Pairs)
        if (p.a == first && p.b == second) return true;
    return false;
}

bool isMatrix3x3(const Stage* s)
{
    return s->kind == StageMatrixKind && s->inputs == 3 && s->outputs == 3 && stageMatrix(s);
}

// second ∘ first as one matrix stage, or null (and *identity) when the
// product does nothing.
Stage* joinMatrices(const Stage* first, const Stage* second, bool* identity)
{
    const double* a = stageMatrix(first);
    const double* b = stageMatrix(second);
    const double* oa = stageOffsets(first);
    const double* ob = stageOffsets(second);
    double m[9], offsets[3];
    bool anyOffset = false;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            double sum = 0;
            for (int k = 0; k < 3; ++k) sum += b[r * 3 + k] * a[k * 3 + c];
            m[r * 3 + c] = sum;
        }
        double o = ob ? ob[r] : 0.0;
        if (oa)
            for (int k = 0; k < 3; ++k) o += b[r * 3 + k] * oa[k];
        offsets[r] = o;
        if (std::fabs(o) > 1.0 / 65535.0) anyOffset = true;
    }
    Mat3 product;
    for (int i = 0; i < 9; ++i) product.m[i] = m[i];
    *identity = !anyOffset && isIdentity3x3(product);
    if (*identity) return nullptr;
    return newMatrixStage(first->ctx, 3, 3, m, (oa || ob) ? offsets : nullptr);
}

// One sweep of the pre-pass over the stage list; true when it changed it.
bool prePassSweep(std::vector<Stage*>& stages, bool* failed)
{
    for (size_t i = 0; i < stages.size(); ++i) {
        if (stages[i]->implements == StageIdentityKind) {
            freeStage(stages[i]);
            stages.erase(stages.begin() + long(i));
            return true;
        }
    }
    for (size_t i = 0; i + 1 < stages.size(); ++i) {
        Stage* a = stages[i];
        Stage* b = stages[i + 1];
        if (cancels(a->implements, b->implements)) {
            freeStage(a);
            freeStage(b);
            stages.erase(stages.begin() + long(i), stages.begin() + long(i) + 2);
            return true;
        }
        if (isMatrix3x3(a) && isMatrix3x3(b)) {
            bool identity = false;
            Stage* joined = joinMatrices(a, b, &identity);
            if (!joined && !identity) {
                *failed = true;
                return false;
            }
            freeStage(a);
            freeStage(b);
            stages.erase(stages.begin() + long(i), stages.begin() + long(i) + 2);
            if (joined) stages.insert(stages.begin() + long(i), joined);
            return true;
        }
    }
    return false;
}

// Removes identities, cancelling pairs and adjacent matrices; true when the
// pipeline changed.
bool prePass(Pipeline* p)
{
    std::vector<Stage*> stages;
    for (Stage* s = p->first; s; s = s->next) stages.push_back(s);
    bool changed = false, failed = false;
    while (prePassSweep(stages, &failed)) changed = true;

    p->first = nullptr;
    for (size_t i = stages.size(); i > 0; --i) {
        stages[i - 1]->next = p->first;
        p->first = stages[i - 1];
    }
    if (p->first) {
        p->inputs = p->first->inputs;
        p->outputs = stages.back()->outputs;
    }
    return changed && !failed;
}

} // namespace

uint32_t gridPointsFor(uint32_t colorSpace, uint32_t flags)
{
    const uint32_t explicitPoints = (flags >> 16) & 0xFF;
    if (explicitPoints) return explicitPoints;
    const uint32_t c = channelsOfSpace(colorSpace);
    if (flags & XformHighResolution) return c <= 3 ? 49 : c == 4 ? 23 : 7;
    if (flags & XformLowResolution) return c == 1 ? 33 : c <= 4 ? 17 : 6;
    return c <= 3 ? 33 : c == 4 ? 17 : 7;
}

bool optimisePipeline(EngineContext* ctx, Pipeline** pipeline, uint32_t intent, uint32_t* inputFormat,
                      uint32_t* outputFormat, uint32_t* flags)
{
    if (!pipeline || !*pipeline) return false;
    Pipeline* p = *pipeline;
    const bool changed = prePass(p);
    if (!p->first && p->inputs == p->outputs && p->inputs < MaxPipelineChannels) {
        setPipelineEvaluators(p, identity16, nullptr, const_cast<uint32_t*>(&ChannelCounts[p->inputs]), nullptr,
                              nullptr);
        return true;
    }
    return changed;
}
