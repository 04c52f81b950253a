// Whittaker smoothing of curve tables, checked against a dense solve of
// (I + λ·DᵀD)·z = y.
#include "osl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::string> messages;

void collect(EngineContext*, uint32_t code, const char* text)
{
    EXPECT_EQ(code, uint32_t(ErrRange));
    messages.push_back(text);
}

using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

// z solving (I + λ·DᵀD)·z = y, D the (n-2)×n second differences, by Gaussian
// elimination with partial pivoting on the dense matrix.
std::vector<double> denseWhittaker(const std::vector<double>& y, double lambda)
{
    const size_t n = y.size();
    std::vector<std::vector<double>> a(n, std::vector<double>(n + 1, 0.0));
    for (size_t i = 0; i < n; ++i) {
        a[i][i] = 1.0;
        a[i][n] = y[i];
    }
    const double d[3] = {1, -2, 1};
    for (size_t k = 0; k + 2 < n; ++k)
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) a[k + r][k + c] += lambda * d[r] * d[c];

    for (size_t col = 0; col < n; ++col) {
        size_t pivot = col;
        for (size_t r = col + 1; r < n; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        std::swap(a[col], a[pivot]);
        for (size_t r = col + 1; r < n; ++r) {
            const double f = a[r][col] / a[col][col];
            for (size_t c = col; c <= n; ++c) a[r][c] -= f * a[col][c];
        }
    }
    std::vector<double> z(n);
    for (size_t i = n; i-- > 0;) {
        double s = a[i][n];
        for (size_t c = i + 1; c < n; ++c) s -= a[i][c] * z[c];
        z[i] = s / a[i][i];
    }
    return z;
}

uint16_t toWord(double v)
{
    v = std::floor(v + 0.5);
    return uint16_t(v < 0 ? 0 : v > 65535 ? 65535 : v);
}

class SmoothTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        messages.clear();
        ctx = createContext(nullptr, nullptr);
        setContextErrorHandler(ctx, collect);
    }
    void TearDown() override { deleteContext(ctx); }

    CurvePtr table(const std::vector<uint16_t>& v)
    {
        return CurvePtr(buildTabulatedCurve16(ctx, uint32_t(v.size()), v.data()), &freeCurve);
    }
    static std::vector<uint16_t> entries(const ToneCurve* c)
    {
        return std::vector<uint16_t>(tableEntries(c), tableEntries(c) + tableEntryCount(c));
    }

    EngineContext* ctx = nullptr;
};

// A rising power curve with noise.
std::vector<uint16_t> noisyCurve(size_t n, double noise, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(-noise, noise);
    std::vector<uint16_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = toWord(std::pow(double(i) / double(n - 1), 1.6) * 65535.0 + jitter(rng));
    return v;
}

TEST_F(SmoothTest, MatchesTheDenseSolve)
{
    struct Case {
        size_t n;
        double lambda;
    };
    const Case cases[] = {{3, 1.0},  {4, 2.0},  {5, 0.5},   {7, 10.0},  {64, 4.0},
                          {64, 50.0}, {400, 1.0}, {400, 25.0}, {1000, 8.0}};
    unsigned seed = 1;
    for (const Case& c : cases) {
        std::vector<uint16_t> y = noisyCurve(c.n, 3000.0, seed++);
        if (c.n == 3) y = {0, 50000, 65535};
        CurvePtr curve = table(y);
        // Negative lambda: the result is kept whatever the checks find.
        ASSERT_TRUE(smoothCurve(curve.get(), -c.lambda)) << c.n;
        const std::vector<double> z = denseWhittaker(std::vector<double>(y.begin(), y.end()), c.lambda);
        const std::vector<uint16_t> got = entries(curve.get());
        for (size_t i = 0; i < c.n; ++i)
            ASSERT_NEAR(got[i], toWord(z[i]), 1.0) << "n=" << c.n << " lambda=" << c.lambda << " i=" << i;
    }
}

TEST_F(SmoothTest, SmoothsAMonotonicCurveInPlace)
{
    // A curve that rises everywhere (at least 4 units a step), with noise
    // that makes it wobble.
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> jitter(-40, 40);
    std::vector<uint16_t> y(4096);
    for (size_t i = 0; i < y.size(); ++i) {
        const double x = i / 4095.0;
        y[i] = toWord((0.3 * x + 0.7 * x * x) * 65535.0 + (i > 0 && i < 4095 ? jitter(rng) : 0.0));
    }
    CurvePtr curve = table(y);
    ASSERT_FALSE(isLinear(curve.get()));
    ASSERT_FALSE(isMonotonic(curve.get()));
    ASSERT_TRUE(smoothCurve(curve.get(), 500.0)) << ::testing::PrintToString(messages);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(isMonotonic(curve.get()));
    EXPECT_NE(entries(curve.get()), y);
}

TEST_F(SmoothTest, LinearTablesAreLeftAlone)
{
    std::vector<uint16_t> ramp(512);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = toWord(i * 65535.0 / 511);
    ramp[10] += 15;
    ramp[300] -= 15;
    CurvePtr curve = table(ramp);
    EXPECT_TRUE(smoothCurve(curve.get(), 100.0));
    EXPECT_EQ(entries(curve.get()), ramp);
    EXPECT_TRUE(messages.empty());
}

TEST_F(SmoothTest, TooManyPointsIsRefused)
{
    std::vector<uint16_t> y = noisyCurve(5000, 0.0, 3);
    CurvePtr curve = table(y);
    EXPECT_FALSE(smoothCurve(curve.get(), 1.0));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "oslSmoothToneCurve: Too many points.");
    EXPECT_EQ(entries(curve.get()), y);
}

TEST_F(SmoothTest, FailedChecksLeaveTheTableUnlessLambdaIsNegative)
{
    struct Case {
        std::vector<uint16_t> table;
        std::vector<std::string> expected;   // messages of the negative-lambda run
        size_t firstOnly;                    // messages of the positive run
    };
    std::vector<uint16_t> falling(100), zeros(100, 0), poles(100, 65535), cliff(100, 0);
    for (size_t i = 0; i < 100; ++i) falling[i] = uint16_t(65535 - i * 600);
    for (size_t i = 0; i < 40; ++i) cliff[i] = 65535;
    const std::string nonMonotonic = "oslSmoothToneCurve: Non-Monotonic.";
    const std::string mostlyZeros = "oslSmoothToneCurve: Degenerated, mostly zeros.";
    const std::string mostlyPoles = "oslSmoothToneCurve: Degenerated, mostly poles.";
    const Case cases[] = {
        {falling, {nonMonotonic}, 1},
        {zeros, {mostlyZeros}, 1},
        {poles, {mostlyPoles}, 1},
        // The walk stops at the cliff, before it reaches the poles.
        {cliff, {nonMonotonic, mostlyZeros}, 1},
    };
    for (const Case& c : cases) {
        // Zero strength leaves the data exact, so only the checks act.
        messages.clear();
        CurvePtr kept = table(c.table);
        EXPECT_FALSE(smoothCurve(kept.get(), 0.0));
        EXPECT_EQ(entries(kept.get()), c.table);
        EXPECT_EQ(messages, std::vector<std::string>(c.expected.begin(), c.expected.begin() + c.firstOnly));

        messages.clear();
        CurvePtr forced = table(c.table);
        EXPECT_TRUE(smoothCurve(forced.get(), -1e-12));
        EXPECT_EQ(messages, c.expected);
    }
}

TEST_F(SmoothTest, NegativeLambdaKeepsASmoothedFallingCurve)
{
    std::vector<uint16_t> y = noisyCurve(200, 2000.0, 5);
    std::reverse(y.begin(), y.end());
    CurvePtr curve = table(y);
    EXPECT_TRUE(smoothCurve(curve.get(), -6.0));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], "oslSmoothToneCurve: Non-Monotonic.");
    const std::vector<double> z = denseWhittaker(std::vector<double>(y.begin(), y.end()), 6.0);
    const std::vector<uint16_t> got = entries(curve.get());
    for (size_t i = 0; i < y.size(); ++i) ASSERT_NEAR(got[i], toWord(z[i]), 1.0) << i;
}

size_t refuseAbove = SIZE_MAX;
void* limitedAlloc(EngineContext*, size_t size)
{
    return size > refuseAbove ? nullptr : std::malloc(size);
}
void limitedFree(EngineContext*, void* block)
{
    std::free(block);
}
void* limitedRealloc(EngineContext*, void* block, size_t size)
{
    return std::realloc(block, size);
}

TEST_F(SmoothTest, AllocationFailureIsReported)
{
    PluginMemHandler mem{{PluginMagic, 2160, PluginMemHandlerSig, nullptr}, limitedAlloc, limitedFree,
                         limitedRealloc, nullptr, nullptr, nullptr};
    EngineContext* small = createContext(&mem, nullptr);
    ASSERT_NE(small, nullptr);
    setContextErrorHandler(small, collect);
    const std::vector<uint16_t> y = noisyCurve(300, 100.0, 8);
    CurvePtr curve(buildTabulatedCurve16(small, uint32_t(y.size()), y.data()), &freeCurve);
    ASSERT_TRUE(curve);
    refuseAbove = 20000;
    EXPECT_FALSE(smoothCurve(curve.get(), 1.0));
    refuseAbove = SIZE_MAX;
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "oslSmoothToneCurve: Could not allocate memory.");
    EXPECT_EQ(entries(curve.get()), y);
    curve.reset();
    deleteContext(small);
}

} // namespace
