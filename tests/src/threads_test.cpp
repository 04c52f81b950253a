// Worker count and slicing of the default scheduler.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t Rgb8 = (4 << 16) | (3 << 3) | 1;
constexpr uint32_t Rgba8 = (4 << 16) | (1 << 7) | (3 << 3) | 1;
constexpr uint32_t Rgb16Planar = (4 << 16) | (1 << 12) | (3 << 3) | 2;

std::vector<std::string> messages;
void collect(EngineContext*, uint32_t, const char* text)
{
    messages.push_back(text);
}

TEST(PlanWorkers, SmallCallRunsOnTheCallingThread)
{
    Stride s{};
    auto slices = planWorkers(nullptr, Rgb8, Rgb8, 100, 100, s, -1, 8);   // 60000 bytes in all
    ASSERT_EQ(slices.size(), 1u);
    EXPECT_EQ(slices[0].lineCount, 100u);
    EXPECT_EQ(s.bytesPerLineIn, 300u);   // filled in
}

TEST(PlanWorkers, LargeRgbaImageUsesEightWorkersOnEightProcessors)
{
    Stride s{};
    auto slices = planWorkers(nullptr, Rgba8, Rgba8, 4096, 4096, s, -1, 8);   // 128 MiB
    ASSERT_EQ(slices.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(slices[i].lineCount, 512u);
        EXPECT_EQ(slices[i].inOffset, i * 512 * 4096 * 4);
    }
}

TEST(PlanWorkers, LeftoverLinesGoToTheLastWorker)
{
    Stride s{};
    auto slices = planWorkers(nullptr, Rgba8, Rgba8, 4096, 1001, s, -1, 8);
    ASSERT_EQ(slices.size(), 8u);
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(slices[i].lineCount, 125u);
    EXPECT_EQ(slices[7].lineCount, 126u);
    EXPECT_EQ(slices[7].inOffset, size_t(7) * 125 * 4096 * 4);
}

TEST(PlanWorkers, OneLongLineIsSplitByPixels)
{
    Stride s{};
    auto slices = planWorkers(nullptr, Rgb8, Rgba8, 1000000, 1, s, -1, 4);   // 7 MB
    ASSERT_EQ(slices.size(), 4u);
    EXPECT_EQ(slices[1].pixelsPerLine, 250000u);
    EXPECT_EQ(slices[1].inOffset, 250000u * 3);
    EXPECT_EQ(slices[1].outOffset, 250000u * 4);
    EXPECT_EQ(slices[3].lineCount, 1u);
}

TEST(PlanWorkers, OddPixelsGoToTheLastWorker)
{
    Stride s{};
    auto slices = planWorkers(nullptr, Rgb8, Rgb8, 1000003, 1, s, -1, 2);
    ASSERT_EQ(slices.size(), 2u);
    EXPECT_EQ(slices[0].pixelsPerLine, 500001u);
    EXPECT_EQ(slices[1].pixelsPerLine, 500002u);
}

TEST(PlanWorkers, TooManyWorkersAskedWarnsAndUsesThem)
{
    messages.clear();
    setErrorHandler(collect);
    Stride s{};
    auto slices = planWorkers(nullptr, Rgba8, Rgba8, 4096, 4096, s, 64, 4);
    setErrorHandler(nullptr);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Warning: too many threads for actual processor (CPUs=4, asked=64)");
    EXPECT_EQ(slices.size(), 64u);   // 128 MiB allows up to 1024 workers
}

TEST(PlanWorkers, DataSizeLimitsTheWorkers)
{
    Stride s{};
    // 3 × 131072 bytes in and out: three workers even with eight processors.
    auto slices = planWorkers(nullptr, Rgb8, Rgb8, 65536, 1, s, -1, 8);
    EXPECT_EQ(slices.size(), 3u);
}

TEST(PlanWorkers, PlanarSizeIsPlaneBytesTimesSamples)
{
    Stride s{0, 0, 200000, 200000};
    auto slices = planWorkers(nullptr, Rgb16Planar, Rgb16Planar, 1000, 100, s, -1, 8);
    EXPECT_EQ(s.bytesPerLineIn, 2000u);       // pixels × bytes per sample
    EXPECT_EQ(slices.size(), 8u);             // 1.2 MB / 128 KiB = 9, limited to 8
}

TEST(PlanWorkers, MoreWorkersThanLinesFallsBackToOneCall)
{
    Stride s{};
    auto slices = planWorkers(nullptr, Rgba8, Rgba8, 300000, 3, s, -1, 8);   // 7.2 MB, 3 lines
    EXPECT_EQ(slices.size(), 1u);
}

// The first piece of work waits (two seconds at most) until a second thread
// has taken one: the caller does not wait for a pool worker that has not
// started, and on a loaded machine one may start late.
void awaitSecondThread(std::unique_lock<std::mutex>& guard, std::condition_variable& arrived,
                       const std::set<std::thread::id>& threads, bool first)
{
    arrived.notify_all();
    if (first) arrived.wait_for(guard, std::chrono::seconds(2), [&] { return threads.size() > 1; });
}

// A transform worker of our own: inverts every byte and records which thread
// handled each piece of the call.
struct Recording {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::thread::id> threads;
    std::set<std::thread::id> distinct;
};
Recording recording;

void invertBytes(Transform*, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                 const Stride* stride)
{
    {
        std::unique_lock<std::mutex> guard(recording.lock);
        recording.threads.push_back(std::this_thread::get_id());
        recording.distinct.insert(std::this_thread::get_id());
        awaitSecondThread(guard, recording.arrived, recording.distinct, recording.threads.size() == 1);
    }
    for (uint32_t line = 0; line < lineCount; ++line) {
        auto* src = static_cast<const uint8_t*>(in) + size_t(line) * stride->bytesPerLineIn;
        auto* dst = static_cast<uint8_t*>(out) + size_t(line) * stride->bytesPerLineOut;
        for (uint32_t i = 0; i < pixelsPerLine * 4; ++i) dst[i] = uint8_t(~src[i]);
    }
}

std::set<std::thread::id> threadsOfOneCall(uint32_t width, uint32_t height)
{
    std::vector<uint8_t> in(size_t(width) * height * 4), out(in.size(), 0);
    for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 31 + 7);
    Transform t;
    t.inputFormat = Rgba8;
    t.outputFormat = Rgba8;
    t.worker = runWorkers;
    t.savedWorker = invertBytes;
    t.maxWorkers = 2;
    recording.threads.clear();
    recording.distinct.clear();
    Stride s{};
    t.worker(&t, in.data(), out.data(), width, height, &s);
    for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(out[i], uint8_t(~in[i])) << "byte " << i;
    return {recording.threads.begin(), recording.threads.end()};
}

TEST(RunWorkers, EveryByteIsConvertedExactlyOnceAcrossThreads)
{
    // 2 MiB in and out, in many lines and in one.
    for (auto [width, height] : {std::pair{1024u, 257u}, std::pair{263000u, 1u}}) {
        const std::set<std::thread::id> threads = threadsOfOneCall(width, height);
        EXPECT_EQ(threads.size(), 2u) << width << " × " << height;
        EXPECT_TRUE(threads.count(std::this_thread::get_id()));   // the caller takes its share
    }
}

TEST(RunWorkers, TheSameThreadsServeEveryCall)
{
    const std::set<std::thread::id> first = threadsOfOneCall(1024, 257);
    for (int call = 0; call < 5; ++call) EXPECT_EQ(threadsOfOneCall(1024, 257), first);
}

// Ranges of items (the nodes of a table being sampled) cover every item once,
// on the caller and a pool worker when the engine's scheduler is registered,
// on the caller alone when it is not.
std::set<std::thread::id> threadsOfRanges(EngineContext* ctx, std::vector<uint32_t>& visits, bool scheduled)
{
    struct Visits {
        std::mutex lock;
        std::condition_variable arrived;
        std::vector<uint32_t>* counts;
        std::set<std::thread::id> threads;
        bool scheduled;
    } v{{}, {}, &visits, {}, scheduled && std::thread::hardware_concurrency() > 1};
    runRanges(ctx, uint32_t(visits.size()), 1000, [](void* cargo, uint32_t first, uint32_t end) {
        auto* v = static_cast<Visits*>(cargo);
        std::unique_lock<std::mutex> guard(v->lock);
        const bool firstRange = v->threads.empty();
        v->threads.insert(std::this_thread::get_id());
        for (uint32_t i = first; i < end; ++i) ++(*v->counts)[i];
        awaitSecondThread(guard, v->arrived, v->threads, firstRange && v->scheduled);
    }, &v);
    return v.threads;
}

TEST(RunRanges, EveryItemOnceOnTheWorkersOfTheScheduler)
{
    for (bool scheduled : {false, true}) {
        EngineContext* ctx = createContext(nullptr, nullptr);
        PluginParallelization plugin{{PluginMagic, 2140, PluginParallelizationSig, nullptr}, 2, 0, runWorkers};
        if (scheduled) ASSERT_TRUE(registerPlugins(ctx, &plugin));
        std::vector<uint32_t> visits(35937);   // a 33-point RGB table
        const std::set<std::thread::id> threads = threadsOfRanges(ctx, visits, scheduled);
        EXPECT_EQ(std::count(visits.begin(), visits.end(), 1u), ptrdiff_t(visits.size()));
        EXPECT_TRUE(threads.count(std::this_thread::get_id()));
        if (std::thread::hardware_concurrency() > 1) EXPECT_EQ(threads.size(), scheduled ? 2u : 1u);
        deleteContext(ctx);
    }
}

// A real transform gives the same bytes whatever the number of workers.
TEST(RunWorkers, ResultsDoNotDependOnTheWorkers)
{
    using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
    using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
    const uint32_t width = 1536, height = 1024;   // a preview-sized image
    std::vector<uint8_t> in(size_t(width) * height * 4);
    uint32_t seed = 5;
    for (uint8_t& b : in) b = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    std::vector<std::vector<uint8_t>> results;
    for (int32_t workers : {1, 2}) {
        EngineContext* ctx = createContext(nullptr, nullptr);
        PluginParallelization plugin{{PluginMagic, 2140, PluginParallelizationSig, nullptr}, workers, 0, runWorkers};
        ASSERT_TRUE(registerPlugins(ctx, &plugin));
        {
            ProfilePtr srgb(openFromFile(ctx, "/usr/share/color/icc/colord/sRGB.icc", "r"), &closeProfile);
            ProfilePtr press(openFromFile(ctx, "/usr/share/color/icc/ghostscript/default_cmyk.icc", "r"),
                             &closeProfile);
            ASSERT_TRUE(srgb && press);
            TransformPtr t(createTransformContext(ctx, srgb.get(), Rgba8, press.get(), (6 << 16) | (4 << 3) | 1, 0, 0),
                           &deleteTransform);
            ASSERT_NE(t, nullptr);
            std::vector<uint8_t> out(in.size());
            doTransformLineStride(t.get(), in.data(), out.data(), width, height, width * 4, width * 4, 0, 0);
            // One long line too: cut by pixels.
            std::vector<uint8_t> line(in.size());
            doTransform(t.get(), in.data(), line.data(), width * height);
            EXPECT_EQ(line, out);
            results.push_back(std::move(out));
        }
        deleteContext(ctx);
    }
    EXPECT_EQ(results[0], results[1]);
}

} // namespace

