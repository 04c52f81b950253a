// Interpolation routines against a slow reference written from the
// definitions: multilinear and tetrahedral (Kuhn simplex) interpolation on
// the grid, with 4 and more inputs blended linearly between slices.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::string> messages;
std::vector<uint32_t> codes;

void collect(EngineContext*, uint32_t code, const char* text)
{
    codes.push_back(code);
    messages.push_back(text);
}

using StagePtr = std::unique_ptr<Stage, decltype(&freeStage)>;
using ParamsPtr = std::unique_ptr<InterpParams, decltype(&freeInterpParams)>;

// ---------------------------------------------------------------------------
// The reference
// ---------------------------------------------------------------------------

struct Reference {
    std::vector<uint32_t> grid;
    uint32_t outputs;
    std::function<double(size_t)> value;   // table element
    bool trilinear = false;
    bool round16 = false;                  // round where the 16-bit routines keep 16-bit values

    std::vector<size_t> strides() const
    {
        std::vector<size_t> s(grid.size());
        s.back() = outputs;
        for (size_t i = grid.size() - 1; i > 0; --i) s[i - 1] = s[i] * grid[i];
        return s;
    }

    double r(double v) const { return round16 ? std::floor(v + 0.5) : v; }

    // Cell below position u (in grid steps) and the fraction; the top end
    // u = d is the top of the last cell.
    void split(uint32_t dim, double u, size_t* cell, double* f) const
    {
        const uint32_t d = grid[dim] - 1;
        size_t c = size_t(std::floor(u));
        if (c >= d) c = d - 1;
        *cell = c;
        *f = u - double(c);
    }

    // Multilinear over dims [dim, last], reducing the first dim first (the
    // order the cascades of the 16-bit routines round in).
    double cascade(size_t base, uint32_t dim, uint32_t last, const std::vector<double>& u, uint32_t o) const
    {
        const std::vector<size_t> s = strides();
        size_t cell;
        double f;
        split(last, u[last], &cell, &f);
        const size_t lo = base + cell * s[last], hi = lo + s[last];
        if (last == dim) return r(value(lo + o) + (value(hi + o) - value(lo + o)) * f);
        const double a = cascade(lo, dim, last - 1, u, o), b = cascade(hi, dim, last - 1, u, o);
        return r(a + (b - a) * f);
    }

    // Kuhn simplex: from the base corner step along the dimensions in order
    // of decreasing fraction.
    double tetrahedral(size_t base, uint32_t dim, const std::vector<double>& u, uint32_t o) const
    {
        const std::vector<size_t> s = strides();
        size_t cell[3];
        double f[3];
        size_t at = base;
        for (int i = 0; i < 3; ++i) {
            split(dim + i, u[dim + i], &cell[i], &f[i]);
            at += cell[i] * s[dim + i];
        }
        int order[3] = {0, 1, 2};
        std::stable_sort(order, order + 3, [&](int a, int b) { return f[a] > f[b]; });
        double v = value(at + o);
        for (int i : order) {
            const size_t next = at + s[dim + i];
            v += (value(next + o) - value(at + o)) * f[i];
            at = next;
        }
        return r(v);
    }

    double eval(size_t base, uint32_t dim, const std::vector<double>& u, uint32_t o) const
    {
        const uint32_t n = uint32_t(grid.size()) - dim;
        if (n >= 4) {
            const std::vector<size_t> s = strides();
            size_t cell;
            double f;
            split(dim, u[dim], &cell, &f);
            const double a = eval(base + cell * s[dim], dim + 1, u, o);
            const double b = eval(base + (cell + 1) * s[dim], dim + 1, u, o);
            return r(a + (b - a) * f);
        }
        if (n == 3 && !trilinear) return tetrahedral(base, dim, u, o);
        return cascade(base, dim, uint32_t(grid.size()) - 1, u, o);
    }

    double at(const std::vector<double>& u, uint32_t o) const { return eval(0, 0, u, o); }
};

// ---------------------------------------------------------------------------
// Random grids
// ---------------------------------------------------------------------------

struct Shape {
    std::vector<uint32_t> grid;
    uint32_t outputs;
    size_t nodes() const { return std::accumulate(grid.begin(), grid.end(), size_t(1), std::multiplies<>()); }
};

Shape randomShape(std::mt19937& rng, uint32_t inputs)
{
    const uint32_t maxPoints[] = {0, 300, 24, 12, 7, 5, 4, 3, 3};
    std::uniform_int_distribution<uint32_t> points(2, maxPoints[inputs]);
    std::uniform_int_distribution<uint32_t> outs(1, 5);
    Shape s;
    for (uint32_t i = 0; i < inputs; ++i) s.grid.push_back(points(rng));
    s.outputs = outs(rng);
    return s;
}

// Random inputs plus the corners of the unit cube and some node coordinates.
std::vector<std::vector<uint16_t>> inputs16(std::mt19937& rng, const Shape& s, int count)
{
    const uint32_t n = uint32_t(s.grid.size());
    std::uniform_int_distribution<uint32_t> word(0, 65535);
    std::vector<std::vector<uint16_t>> all;
    for (int i = 0; i < count; ++i) {
        std::vector<uint16_t> v(n);
        for (auto& x : v) x = uint16_t(word(rng));
        all.push_back(v);
    }
    for (uint32_t corner = 0; corner < (1u << n); ++corner) {
        std::vector<uint16_t> v(n);
        for (uint32_t i = 0; i < n; ++i) v[i] = (corner >> i) & 1 ? 65535 : 0;
        all.push_back(v);
    }
    for (int i = 0; i < 20; ++i) {
        std::vector<uint16_t> v(n);
        for (uint32_t d = 0; d < n; ++d)
            v[d] = quantizeNode(std::uniform_int_distribution<uint32_t>(0, s.grid[d] - 1)(rng), s.grid[d]);
        all.push_back(v);
    }
    return all;
}

class InterpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        messages.clear();
        codes.clear();
        ctx = createContext(nullptr, nullptr);
        setContextErrorHandler(ctx, collect);
    }
    void TearDown() override { deleteContext(ctx); }
    EngineContext* ctx = nullptr;
};

// ---------------------------------------------------------------------------
// Comparisons on random tables
// ---------------------------------------------------------------------------

void check16(EngineContext* ctx, std::mt19937& rng, uint32_t inputs, uint32_t flags)
{
    const Shape s = randomShape(rng, inputs);
    std::vector<uint16_t> table(s.nodes() * s.outputs);
    std::uniform_int_distribution<uint32_t> word(0, 65535);
    for (auto& v : table) v = uint16_t(word(rng));
    ParamsPtr p(newInterpParams(ctx, s.grid.data(), inputs, s.outputs, table.data(), flags), &freeInterpParams);
    ASSERT_TRUE(p);

    Reference rounded{s.grid, s.outputs, [&](size_t i) { return double(table[i]); }};
    rounded.trilinear = (flags & InterpFlagTrilinear) && inputs == 3;
    rounded.round16 = true;
    Reference exact = rounded;
    exact.round16 = false;
    // Each rounding the routine makes is worth half a unit against the exact value.
    const int roundings = inputs == 1 ? 1 : inputs == 2 ? 2 : inputs == 3 ? (rounded.trilinear ? 3 : 1) : int(inputs) - 2;

    uint16_t out[MaxStageChannels];
    for (const auto& in : inputs16(rng, s, 400)) {
        // The rounded reference takes the 16.16 positions of the routines;
        // the exact one the true positions.
        std::vector<double> fixed(inputs), u(inputs);
        for (uint32_t i = 0; i < inputs; ++i) {
            const uint64_t a = uint64_t(s.grid[i] - 1) * in[i];
            fixed[i] = double(a + (a + 0x7FFF) / 0xFFFF) / 65536.0;
            u[i] = in[i] * double(s.grid[i] - 1) / 65535.0;
        }
        p->routine.lerp16(in.data(), out, p.get());
        for (uint32_t o = 0; o < s.outputs; ++o) {
            ASSERT_NEAR(out[o], rounded.at(fixed, o), 1.0)
                << inputs << " inputs, grid " << ::testing::PrintToString(s.grid) << " at "
                << ::testing::PrintToString(in) << " output " << o;
            ASSERT_NEAR(out[o], exact.at(u, o), 0.5 * roundings + 1.0);
        }
    }
}

void checkFloat(EngineContext* ctx, std::mt19937& rng, uint32_t inputs, uint32_t flags)
{
    const Shape s = randomShape(rng, inputs);
    std::vector<float> table(s.nodes() * s.outputs);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (auto& v : table) v = unit(rng);
    ParamsPtr p(newInterpParams(ctx, s.grid.data(), inputs, s.outputs, table.data(), flags | InterpFlagFloat),
                &freeInterpParams);
    ASSERT_TRUE(p);
    Reference exact{s.grid, s.outputs, [&](size_t i) { return double(table[i]); }};
    exact.trilinear = (flags & InterpFlagTrilinear) && inputs == 3;

    std::uniform_real_distribution<float> wide(-0.2f, 1.2f);   // outside values clamp to the ends
    float out[MaxStageChannels];
    for (int k = 0; k < 400 + (1 << inputs); ++k) {
        std::vector<float> in(inputs);
        for (uint32_t i = 0; i < inputs; ++i) in[i] = k < (1 << inputs) ? float((k >> i) & 1) : wide(rng);
        std::vector<double> u(inputs);
        for (uint32_t i = 0; i < inputs; ++i) u[i] = std::clamp(double(in[i]), 0.0, 1.0) * (s.grid[i] - 1);
        p->routine.lerpFloat(in.data(), out, p.get());
        for (uint32_t o = 0; o < s.outputs; ++o)
            ASSERT_NEAR(out[o], exact.at(u, o), 1e-6)
                << inputs << " inputs, grid " << ::testing::PrintToString(s.grid) << " at "
                << ::testing::PrintToString(in) << " output " << o;
    }
}

TEST_F(InterpTest, SixteenBitMatchesTheReference)
{
    std::mt19937 rng(2024);
    for (uint32_t inputs = 1; inputs <= 8; ++inputs)
        for (int round = 0; round < 6; ++round) check16(ctx, rng, inputs, 0);
}

TEST_F(InterpTest, SixteenBitTrilinearMatchesTheReference)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 10; ++round) check16(ctx, rng, 3, InterpFlagTrilinear);
}

TEST_F(InterpTest, FloatMatchesTheReference)
{
    std::mt19937 rng(99);
    for (uint32_t inputs = 1; inputs <= 8; ++inputs)
        for (int round = 0; round < 6; ++round) checkFloat(ctx, rng, inputs, 0);
    for (int round = 0; round < 10; ++round) checkFloat(ctx, rng, 3, InterpFlagTrilinear);
}

TEST_F(InterpTest, ManyInputsUpToFifteen)
{
    // 15 inputs of 2 points, 2 outputs: every input pulls one output up.
    const uint32_t n = 15;
    std::vector<uint32_t> grid(n, 2);
    std::vector<uint16_t> table((size_t(1) << n) * 2);
    for (size_t node = 0; node < (size_t(1) << n); ++node) {
        table[node * 2] = uint16_t(std::popcount(node) * 4369);   // 65535 / 15
        table[node * 2 + 1] = 1234;
    }
    ParamsPtr p(newInterpParams(ctx, grid.data(), n, 2, table.data(), 0), &freeInterpParams);
    ASSERT_TRUE(p);
    std::vector<uint16_t> in(n, 0);
    uint16_t out[2];
    p->routine.lerp16(in.data(), out, p.get());
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 1234);
    std::fill(in.begin(), in.end(), 65535);
    p->routine.lerp16(in.data(), out, p.get());
    EXPECT_EQ(out[0], 65535);
    std::fill(in.begin(), in.end(), 32768);   // each input halfway: half of the full sum
    p->routine.lerp16(in.data(), out, p.get());
    EXPECT_NEAR(out[0], 32768, 8);
    EXPECT_EQ(out[1], 1234);
}

// ---------------------------------------------------------------------------
// One input: the end rules
// ---------------------------------------------------------------------------

TEST_F(InterpTest, OneInputEnds)
{
    const uint16_t words[3] = {100, 40000, 65000};
    ParamsPtr p(newInterpParamsUniform(ctx, 3, 1, 1, words, 0), &freeInterpParams);
    uint16_t in = 65535, out = 0;
    p->routine.lerp16(&in, &out, p.get());
    EXPECT_EQ(out, 65000);
    in = 0;
    p->routine.lerp16(&in, &out, p.get());
    EXPECT_EQ(out, 100);
    in = 32768;   // v = 2·32768 + 1 = 65537: cell 1, fraction 1
    p->routine.lerp16(&in, &out, p.get());
    EXPECT_EQ(out, 40000 + ((25000 * 1 + 0x8000) >> 16));

    const uint16_t single = 777;
    ParamsPtr one(newInterpParamsUniform(ctx, 1, 1, 1, &single, 0), &freeInterpParams);
    in = 1234;
    one->routine.lerp16(&in, &out, one.get());
    EXPECT_EQ(out, 777);

    const float values[3] = {0.25f, 0.5f, 0.125f};
    ParamsPtr f(newInterpParamsUniform(ctx, 3, 1, 1, values, InterpFlagFloat), &freeInterpParams);
    struct Case {
        float x;
        float y;
    };
    const Case cases[] = {{std::nanf(""), 0.25f}, {-1.0f, 0.25f}, {1e-10f, 0.25f}, {1.0f, 0.125f},
                          {5.0f, 0.125f},         {0.25f, 0.375f}, {0.75f, 0.3125f}};
    for (const Case& c : cases) {
        float y = -1;
        f->routine.lerpFloat(&c.x, &y, f.get());
        EXPECT_FLOAT_EQ(y, c.y) << c.x;
    }
    const float lone = 0.625f;
    ParamsPtr fOne(newInterpParamsUniform(ctx, 1, 1, 1, &lone, InterpFlagFloat), &freeInterpParams);
    float x = 0.3f, y = 0;
    fOne->routine.lerpFloat(&x, &y, fOne.get());
    EXPECT_EQ(y, 0.625f);
}

// ---------------------------------------------------------------------------
// Refusals and plug-ins
// ---------------------------------------------------------------------------

TEST_F(InterpTest, UnsupportedShapesAreRefused)
{
    const uint16_t table[4] = {};
    std::vector<uint32_t> grid(16, 2);
    EXPECT_FALSE(ParamsPtr(newInterpParams(ctx, grid.data(), 16, 1, table, 0), &freeInterpParams));
    EXPECT_FALSE(ParamsPtr(newInterpParams(ctx, grid.data(), 4, 128, table, 0), &freeInterpParams));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Too many input channels (16 channels, max=15)");
    EXPECT_EQ(codes[0], uint32_t(ErrRange));
    EXPECT_EQ(messages[1], "Unsupported interpolation (4->128 channels)");
    EXPECT_EQ(codes[1], uint32_t(ErrUnknownExtension));
    // 127 outputs are still fine for 4 inputs, 128 for 3.
    std::vector<uint16_t> big(16 * 128);
    EXPECT_TRUE(ParamsPtr(newInterpParams(ctx, grid.data(), 4, 127, big.data(), 0), &freeInterpParams));
    EXPECT_TRUE(ParamsPtr(newInterpParams(ctx, grid.data(), 3, 128, big.data(), 0), &freeInterpParams));
}

void marker16(const uint16_t[], uint16_t out[], const InterpParams* p)
{
    for (uint32_t o = 0; o < p->outputs; ++o) out[o] = 4242;
}

InterpFunction markerFactory(uint32_t inputs, uint32_t outputs, uint32_t flags)
{
    if (inputs == 3 && outputs == 3 && !(flags & InterpFlagFloat)) return {marker16, nullptr};
    return {nullptr, nullptr};
}

TEST_F(InterpTest, PluginRoutinesAreAskedFirst)
{
    PluginInterpolation plugin{{PluginMagic, 2160, PluginInterpolationSig, nullptr}, markerFactory};
    ASSERT_TRUE(registerPlugins(ctx, &plugin));
    StagePtr clut(newClut16StageUniform(ctx, 2, 3, 3, nullptr), &freeStage);
    ASSERT_TRUE(clut);
    float in[3] = {0.5f, 0.5f, 0.5f}, out[3];
    evalStageFloat(clut.get(), in, out);
    EXPECT_FLOAT_EQ(out[0], 4242 / 65535.0f);

    // Shapes the plug-in declines get the built-in routines.
    StagePtr floatClut(newClutFloatStageUniform(ctx, 2, 3, 3, nullptr), &freeStage);
    evalStageFloat(floatClut.get(), in, out);
    EXPECT_EQ(out[0], 0.0f);
    StagePtr two(newClut16StageUniform(ctx, 2, 2, 3, nullptr), &freeStage);
    evalStageFloat(two.get(), in, out);
    EXPECT_EQ(out[0], 0.0f);
}

} // namespace
