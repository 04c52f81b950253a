// The worker scheduler: splits one transform call into slices, one per thread.
#include "oslinternal.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace {

constexpr uint64_t BytesPerWorker = 0x20000;   // 128 KiB

uint32_t bytesPerSample(uint32_t format)
{
    const uint32_t bytes = formatBytes(format);
    return bytes ? bytes : 8;
}

uint32_t samplesPerPixel(uint32_t format)
{
    return formatChannels(format) + formatExtra(format);
}

// Bytes of one side of the call; fills in a missing bytes-per-line.
uint64_t bufferSize(uint32_t format, uint32_t pixelsPerLine, uint32_t lineCount, uint32_t& bytesPerLine,
                    uint32_t bytesPerPlane)
{
    if (formatPlanar(format)) {
        if (bytesPerLine == 0) bytesPerLine = pixelsPerLine * bytesPerSample(format);
        return uint64_t(bytesPerPlane) * samplesPerPixel(format);
    }
    if (bytesPerLine == 0) bytesPerLine = pixelsPerLine * samplesPerPixel(format) * bytesPerSample(format);
    return uint64_t(lineCount) * bytesPerLine;
}

// Bytes from one pixel to the next within a line.
uint32_t pixelStep(uint32_t format)
{
    return formatPlanar(format) ? bytesPerSample(format) : samplesPerPixel(format) * bytesPerSample(format);
}

uint32_t workerCount(EngineContext* ctx, int32_t maxWorkers, uint32_t processors)
{
    if (maxWorkers == -1) return std::max(processors, 1u);
    if (maxWorkers > int32_t(processors)) {
        reportError(ctx, ErrRange, "Warning: too many threads for actual processor (CPUs=%d, asked=%d)",
                    int(processors), int(maxWorkers));
    }
    return uint32_t(std::max(maxWorkers, 1));
}

} // namespace

std::vector<WorkSlice> planWorkers(EngineContext* ctx, uint32_t inputFormat, uint32_t outputFormat,
                                   uint32_t pixelsPerLine, uint32_t lineCount, Stride& stride,
                                   int32_t maxWorkers, uint32_t processors)
{
    const uint32_t available = workerCount(ctx, maxWorkers, processors);
    const uint64_t dataSize =
        bufferSize(inputFormat, pixelsPerLine, lineCount, stride.bytesPerLineIn, stride.bytesPerPlaneIn) +
        bufferSize(outputFormat, pixelsPerLine, lineCount, stride.bytesPerLineOut, stride.bytesPerPlaneOut);

    const WorkSlice whole{0, 0, pixelsPerLine, lineCount};
    const uint64_t wanted = dataSize / BytesPerWorker;
    const uint32_t workers = wanted == 0 ? 1 : uint32_t(std::min<uint64_t>(wanted, available));
    if (workers <= 1 || pixelsPerLine == 0 || stride.bytesPerLineIn == 0 || stride.bytesPerLineOut == 0) {
        return {whole};
    }

    std::vector<WorkSlice> slices;
    if (lineCount > 1) {
        const uint32_t share = lineCount / workers;
        if (share == 0) return {whole};
        for (uint32_t i = 0; i < workers; ++i) {
            const uint32_t lines = i + 1 == workers ? lineCount - share * (workers - 1) : share;
            slices.push_back({size_t(i) * share * stride.bytesPerLineIn, size_t(i) * share * stride.bytesPerLineOut,
                              pixelsPerLine, lines});
        }
    } else {
        const uint32_t share = pixelsPerLine / workers;
        if (share == 0) return {whole};
        for (uint32_t i = 0; i < workers; ++i) {
            const uint32_t pixels = i + 1 == workers ? pixelsPerLine - share * (workers - 1) : share;
            slices.push_back({size_t(i) * share * pixelStep(inputFormat),
                              size_t(i) * share * pixelStep(outputFormat), pixels, lineCount});
        }
    }
    return slices;
}

void runWorkers(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                const Stride* stride)
{
    const TransformWorker work = t->savedWorker ? t->savedWorker : t->worker;
    if (!work || work == runWorkers) return;

    Stride s = *stride;
    static const uint32_t processors = std::max(std::thread::hardware_concurrency(), 1u);

    // Calls too small for a second worker go straight through, without any
    // set-up: the one-pixel calls of colour pickers and samplers come here.
    const uint64_t dataSize =
        bufferSize(t->inputFormat, pixelsPerLine, lineCount, s.bytesPerLineIn, s.bytesPerPlaneIn) +
        bufferSize(t->outputFormat, pixelsPerLine, lineCount, s.bytesPerLineOut, s.bytesPerPlaneOut);
    if (dataSize < 2 * BytesPerWorker) {
        if (t->maxWorkers != -1) workerCount(t->ctx, t->maxWorkers, processors);   // its warning still applies
        work(t, in, out, pixelsPerLine, lineCount, &s);
        return;
    }

    const std::vector<WorkSlice> slices =
        planWorkers(t->ctx, t->inputFormat, t->outputFormat, pixelsPerLine, lineCount, s, t->maxWorkers, processors);

    auto runSlice = [&](const WorkSlice& slice) {
        work(t, static_cast<const uint8_t*>(in) + slice.inOffset, static_cast<uint8_t*>(out) + slice.outOffset,
             slice.pixelsPerLine, slice.lineCount, &s);
    };
    if (slices.size() == 1) {
        runSlice(slices[0]);
        return;
    }

    std::vector<std::thread> threads;
    std::vector<const WorkSlice*> unstarted;
    for (size_t i = 1; i < slices.size(); ++i) {
        try {
            threads.emplace_back(runSlice, std::cref(slices[i]));
        } catch (const std::system_error&) {
            reportError(t->ctx, ErrUndefined, "Cannot create thread");
            unstarted.push_back(&slices[i]);
        }
    }
    runSlice(slices[0]);
    // A slice whose thread could not start is still converted, here.
    for (const WorkSlice* slice : unstarted) runSlice(*slice);
    for (std::thread& thread : threads) {
        try {
            thread.join();
        } catch (const std::system_error&) {
            reportError(t->ctx, ErrUndefined, "Cannot join thread");
        }
    }
}
