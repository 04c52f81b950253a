// Memory handlers, error reporting and the sub-allocator pool.
#include "oslinternal.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------
// Default memory handlers
// ---------------------------------------------------------------------------

namespace {

void* defaultAlloc(EngineContext*, size_t size)
{
    if (size == 0 || size > MaxAllocation) return nullptr;
    return std::malloc(size);
}

void defaultFree(EngineContext*, void* block)
{
    std::free(block);   // free(nullptr) is a no-op
}

void* defaultRealloc(EngineContext*, void* block, size_t size)
{
    if (size > MaxAllocation) return nullptr;
    return std::realloc(block, size);
}

// The three operations below are built on whatever allocate is installed, so a
// memory plug-in that supplies only the required three gets them too.
void* allocZeroVia(EngineContext* ctx, size_t size)
{
    void* block = engineAlloc(ctx, size);
    if (block) std::memset(block, 0, size);
    return block;
}

void* allocArrayVia(EngineContext* ctx, size_t count, size_t size)
{
    const uint64_t total = uint64_t(count) * uint64_t(size);
    if (total == 0) return nullptr;
    if (count > UINT32_MAX || size > UINT32_MAX || total > UINT32_MAX) return nullptr;   // 32-bit overflow
    if (total > MaxAllocation) return nullptr;
    return engineAllocZero(ctx, size_t(total));
}

void* dupVia(EngineContext* ctx, const void* source, size_t size)
{
    if (size > MaxAllocation) return nullptr;
    void* block = engineAlloc(ctx, size);
    if (block && source) std::memcpy(block, source, size);
    return block;
}

MemoryState* memory(EngineContext* ctx)
{
    return slotState<MemoryState>(ctx, SlotMemory);
}

} // namespace

const MemoryState DefaultMemoryState = {defaultAlloc, allocZeroVia, defaultFree,
                                        defaultRealloc, allocArrayVia, dupVia};

void* engineAlloc(EngineContext* ctx, size_t size)
{
    return memory(ctx)->alloc(ctx, size);
}

void* engineAllocZero(EngineContext* ctx, size_t size)
{
    return memory(ctx)->allocZero(ctx, size);
}

void engineFree(EngineContext* ctx, void* block)
{
    if (block) memory(ctx)->free(ctx, block);
}

void* engineRealloc(EngineContext* ctx, void* block, size_t size)
{
    return memory(ctx)->realloc(ctx, block, size);
}

void* engineAllocArray(EngineContext* ctx, size_t count, size_t size)
{
    return memory(ctx)->allocArray(ctx, count, size);
}

void* engineDup(EngineContext* ctx, const void* source, size_t size)
{
    return memory(ctx)->dup(ctx, source, size);
}

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

void reportError(EngineContext* ctx, uint32_t code, const char* format, ...)
{
    char text[MaxErrorText];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);   // cuts at 1023 characters
    va_end(args);

    const ErrorHandler handler = slotState<ErrorState>(ctx, SlotError)->handler;
    if (handler) handler(ctx, code, text);
}

// ---------------------------------------------------------------------------
// Sub-allocator pool
// ---------------------------------------------------------------------------

struct PoolChunk {
    uint8_t* block;
    uint32_t size;
    uint32_t used;
    PoolChunk* previous;
};

namespace {

constexpr uint32_t DefaultPoolSize = 20480;

uint32_t roundUp8(uint32_t size)
{
    return (size + 7u) & ~7u;
}

PoolChunk* newChunk(EngineContext* ctx, uint32_t size)
{
    auto* chunk = static_cast<PoolChunk*>(engineAllocZero(ctx, sizeof(PoolChunk)));
    if (!chunk) return nullptr;
    chunk->block = static_cast<uint8_t*>(engineAllocZero(ctx, size));
    if (!chunk->block) {
        engineFree(ctx, chunk);
        return nullptr;
    }
    chunk->size = size;
    return chunk;
}

} // namespace

SubAllocator* createSubAllocator(EngineContext* ctx, uint32_t initialSize)
{
    auto* pool = static_cast<SubAllocator*>(engineAllocZero(ctx, sizeof(SubAllocator)));
    if (!pool) return nullptr;
    pool->ctx = ctx;
    pool->head = newChunk(ctx, initialSize ? initialSize : DefaultPoolSize);
    if (!pool->head) {
        engineFree(ctx, pool);
        return nullptr;
    }
    return pool;
}

void deleteSubAllocator(SubAllocator* pool)
{
    if (!pool) return;
    for (PoolChunk* chunk = pool->head; chunk;) {
        PoolChunk* previous = chunk->previous;
        engineFree(pool->ctx, chunk->block);
        engineFree(pool->ctx, chunk);
        chunk = previous;
    }
    engineFree(pool->ctx, pool);
}

void* subAlloc(SubAllocator* pool, uint32_t size)
{
    if (size > MaxAllocation) return nullptr;
    size = roundUp8(size);
    if (size > pool->head->size - pool->head->used) {
        const uint64_t doubled = uint64_t(pool->head->size) * 2;
        const uint32_t chunkSize = uint32_t(doubled > size ? std::min<uint64_t>(doubled, MaxAllocation) : size);
        PoolChunk* chunk = newChunk(pool->ctx, chunkSize);
        if (!chunk) return nullptr;
        chunk->previous = pool->head;
        pool->head = chunk;
    }
    void* block = pool->head->block + pool->head->used;
    pool->head->used += size;
    return block;
}

void* subDup(SubAllocator* pool, const void* source, uint32_t size)
{
    if (!source) return nullptr;
    void* block = subAlloc(pool, size);
    if (block) std::memcpy(block, source, size);
    return block;
}

uint32_t subAllocatorHeadSize(const SubAllocator* pool)
{
    return pool->head->size;
}
