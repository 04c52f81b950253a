// Worker count and slicing of the default scheduler.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <mutex>
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

// A transform worker of our own: inverts every byte and records which thread
// handled each slice.
struct Recording {
    std::mutex lock;
    std::vector<std::thread::id> threads;
};
Recording recording;

void invertBytes(Transform*, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                 const Stride* stride)
{
    {
        std::lock_guard<std::mutex> guard(recording.lock);
        recording.threads.push_back(std::this_thread::get_id());
    }
    for (uint32_t line = 0; line < lineCount; ++line) {
        auto* src = static_cast<const uint8_t*>(in) + size_t(line) * stride->bytesPerLineIn;
        auto* dst = static_cast<uint8_t*>(out) + size_t(line) * stride->bytesPerLineOut;
        for (uint32_t i = 0; i < pixelsPerLine * 4; ++i) dst[i] = uint8_t(~src[i]);
    }
}

TEST(RunWorkers, EveryByteIsConvertedExactlyOnceAcrossThreads)
{
    const uint32_t width = 1024, height = 257;   // 2 MiB in and out
    std::vector<uint8_t> in(size_t(width) * height * 4), out(in.size(), 0);
    for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 31 + 7);

    Transform t;
    t.inputFormat = Rgba8;
    t.outputFormat = Rgba8;
    t.worker = runWorkers;
    t.savedWorker = invertBytes;
    t.maxWorkers = 2;
    recording.threads.clear();
    Stride s{};
    t.worker(&t, in.data(), out.data(), width, height, &s);

    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], uint8_t(~in[i])) << "byte " << i;
    ASSERT_EQ(recording.threads.size(), 2u);
    EXPECT_NE(recording.threads[0], recording.threads[1]);
}

} // namespace
