// The worker scheduler: splits one transform call over worker threads.
//
// How many workers a call gets follows the size of its data (planWorkers).
// The workers are threads of one pool, started when first needed and kept
// for the life of the process, so that a call pays no thread creation. A
// call is cut into chunks of whole lines (or, for a single line, of pixels)
// of about 128 KiB of pixel data, which the calling thread and the pool's
// threads take in turn until none is left: a worker slowed by other work on
// the machine takes fewer chunks instead of holding up the call. Chunks of
// lines write whole lines, and chunks of one line start on 64-byte
// boundaries of the output where they can, so that workers rarely share a
// cache line of output.
#include "oslinternal.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr uint64_t BytesPerWorker = 0x20000;   // 128 KiB
constexpr uint64_t BytesPerChunk = 0x20000;
constexpr uint32_t CacheLine = 64;

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

// ---------------------------------------------------------------------------
// Chunks
// ---------------------------------------------------------------------------

// One call cut into chunks: `count` chunks of `lines` lines each (the last
// takes what is left), or, for one line, of `pixels` pixels each.
struct Chunking {
    uint32_t count;
    uint32_t lines;
    uint32_t pixels;
};

Chunking chunking(uint32_t inputFormat, uint32_t outputFormat, uint32_t pixelsPerLine, uint32_t lineCount,
                  const Stride& s, uint64_t dataSize, uint32_t workers)
{
    // At least a few chunks per worker, so that the faster ones can take more.
    const uint64_t wanted = std::max<uint64_t>(dataSize / BytesPerChunk, uint64_t(workers) * 4);
    if (lineCount > 1) {
        const uint32_t lines = uint32_t(std::max<uint64_t>(1, lineCount / std::min<uint64_t>(wanted, lineCount)));
        return {(lineCount + lines - 1) / lines, lines, pixelsPerLine};
    }
    // One line: chunks of a whole number of 64-byte output blocks where the
    // pixel size allows it.
    const uint32_t step = pixelStep(outputFormat);
    uint32_t align = 1;
    if (!formatPlanar(outputFormat) && step > 0 && CacheLine % step == 0) align = CacheLine / step;
    uint32_t pixels = uint32_t(std::max<uint64_t>(1, pixelsPerLine / std::min<uint64_t>(wanted, pixelsPerLine)));
    if (pixels > align) pixels -= pixels % align;
    return {(pixelsPerLine + pixels - 1) / pixels, 1, pixels};
}

// ---------------------------------------------------------------------------
// The pool
// ---------------------------------------------------------------------------

struct Job {
    Transform* t;
    TransformWorker work;
    const uint8_t* in;
    uint8_t* out;
    uint32_t pixelsPerLine;
    uint32_t lineCount;
    Stride stride;
    uint32_t inStep, outStep;    // bytes per pixel, for chunks of one line
    Chunking chunks;
    alignas(CacheLine) std::atomic<uint32_t> next{0};
    alignas(CacheLine) std::atomic<uint32_t> helpersLeft{0};
};

// Takes chunks until none is left.
void takeChunks(Job& job)
{
    const Chunking& c = job.chunks;
    for (uint32_t k = job.next.fetch_add(1, std::memory_order_relaxed); k < c.count;
         k = job.next.fetch_add(1, std::memory_order_relaxed)) {
        if (job.lineCount > 1) {
            const uint32_t first = k * c.lines;
            const uint32_t lines = std::min(c.lines, job.lineCount - first);
            job.work(job.t, job.in + size_t(first) * job.stride.bytesPerLineIn,
                     job.out + size_t(first) * job.stride.bytesPerLineOut, job.pixelsPerLine, lines, &job.stride);
        } else {
            const uint32_t first = k * c.pixels;
            const uint32_t pixels = std::min(c.pixels, job.pixelsPerLine - first);
            job.work(job.t, job.in + size_t(first) * job.inStep, job.out + size_t(first) * job.outStep, pixels, 1,
                     &job.stride);
        }
    }
}

class WorkerPool {
public:
    ~WorkerPool()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

    // Runs the job on the calling thread and up to `helpers` pool threads;
    // false when the pool is busy with another call (the caller then runs
    // the job alone).
    bool run(Job& job, uint32_t helpers, EngineContext* ctx)
    {
        std::unique_lock<std::mutex> busy(callLock_, std::try_to_lock);
        if (!busy.owns_lock()) return false;
        helpers = grow(helpers, ctx);
        job.helpersLeft.store(helpers, std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> guard(lock_);
            job_ = &job;
            wanted_ = helpers;
            started_ = 0;
            ++generation_;
        }
        if (helpers) wake_.notify_all();
        takeChunks(job);
        // The job lives on the caller's stack: wait until every helper that
        // took it has let go of it. Helpers not yet running (on a busy
        // machine they may wait a while for a processor) would find nothing
        // left to do: the job is withdrawn from them instead of waited for.
        std::unique_lock<std::mutex> guard(lock_);
        job_ = nullptr;
        job.helpersLeft.fetch_sub(wanted_ - started_, std::memory_order_acq_rel);
        done_.wait(guard, [&] { return job.helpersLeft.load(std::memory_order_acquire) == 0; });
        return true;
    }

private:
    // Starts threads up to `helpers`; returns how many there are.
    uint32_t grow(uint32_t helpers, EngineContext* ctx)
    {
        while (threads_.size() < helpers) {
            try {
                threads_.emplace_back([this, index = uint32_t(threads_.size())] { serve(index); });
            } catch (const std::system_error&) {
                reportError(ctx, ErrUndefined, "Cannot create thread");
                break;
            }
        }
        return std::min<uint32_t>(helpers, uint32_t(threads_.size()));
    }

    void serve(uint32_t index)
    {
        uint64_t seen = 0;
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            wake_.wait(guard, [&] { return stopping_ || (generation_ != seen && job_ && index < wanted_); });
            if (stopping_) return;
            seen = generation_;
            ++started_;
            Job* job = job_;
            guard.unlock();
            clearUpperVectorState();
            takeChunks(*job);
            const bool last = job->helpersLeft.fetch_sub(1, std::memory_order_acq_rel) == 1;
            guard.lock();
            if (last) done_.notify_one();
        }
    }

    std::mutex callLock_;   // one call at a time uses the pool
    std::mutex lock_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> threads_;
    Job* job_ = nullptr;
    uint32_t wanted_ = 0;
    uint32_t started_ = 0;   // helpers that took the current job
    uint64_t generation_ = 0;
    bool stopping_ = false;
};

WorkerPool& pool()
{
    static WorkerPool instance;
    return instance;
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

    // Planar buffers are cut by lines of every plane alike: the plan's slices.
    const uint32_t workers = uint32_t(
        planWorkers(t->ctx, t->inputFormat, t->outputFormat, pixelsPerLine, lineCount, s, t->maxWorkers, processors)
            .size());
    if (workers <= 1) {
        work(t, in, out, pixelsPerLine, lineCount, &s);
        return;
    }

    Job job;
    job.t = t;
    job.work = work;
    job.in = static_cast<const uint8_t*>(in);
    job.out = static_cast<uint8_t*>(out);
    job.pixelsPerLine = pixelsPerLine;
    job.lineCount = lineCount;
    job.stride = s;
    job.inStep = pixelStep(t->inputFormat);
    job.outStep = pixelStep(t->outputFormat);
    job.chunks = chunking(t->inputFormat, t->outputFormat, pixelsPerLine, lineCount, s, dataSize, workers);
    if (!pool().run(job, workers - 1, t->ctx)) takeChunks(job);
}
