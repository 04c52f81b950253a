// Engine contexts, their plug-in slots and plug-in registration.
#include "oslinternal.h"

#include <cstring>
#include <mutex>
#include <new>

// ---------------------------------------------------------------------------
// Context record
// ---------------------------------------------------------------------------

namespace {

struct ContextStates {
    ErrorState error;
    AlarmCodesState alarm;
    AdaptationState adaptation;
    MemoryState memory;
    PluginChain interpolation;
    PluginChain curves;
    PluginChain formatters;
    PluginChain tagTypes;
    PluginChain tags;
    PluginChain intents;
    PluginChain mpeTypes;
    PluginChain optimizations;
    PluginChain transforms;
    MutexState mutex;
    ParallelizationState parallelization;
};

void* defaultMutexCreate(EngineContext* ctx)
{
    void* block = engineAlloc(ctx, sizeof(std::mutex));
    return block ? new (block) std::mutex : nullptr;
}

void defaultMutexDestroy(EngineContext* ctx, void* mutex)
{
    if (!mutex) return;
    static_cast<std::mutex*>(mutex)->~mutex();
    engineFree(ctx, mutex);
}

bool defaultMutexLock(EngineContext*, void* mutex)
{
    static_cast<std::mutex*>(mutex)->lock();
    return true;
}

void defaultMutexUnlock(EngineContext*, void* mutex)
{
    static_cast<std::mutex*>(mutex)->unlock();
}

const MutexState DefaultMutexState = {defaultMutexCreate, defaultMutexDestroy, defaultMutexLock,
                                      defaultMutexUnlock};

ContextStates defaultStates()
{
    ContextStates s{};
    s.error.handler = nullptr;
    s.alarm = AlarmCodesState{{0x7F00, 0x7F00, 0x7F00}};
    s.adaptation.state = 1.0;
    s.memory = DefaultMemoryState;
    s.mutex = DefaultMutexState;
    s.parallelization = ParallelizationState{-1, 0, nullptr};
    return s;
}

} // namespace

struct EngineContext {
    void* userData = nullptr;
    SubAllocator* pool = nullptr;
    std::once_flag poolOnce;
    uint32_t poolInitialSize = 0;
    void* slots[SlotCount] = {};
    ContextStates states = defaultStates();

    explicit EngineContext(uint32_t poolSize = 0) : poolInitialSize(poolSize) { pointSlots(); }
    EngineContext(const EngineContext&) = delete;
    EngineContext& operator=(const EngineContext&) = delete;

    void pointSlots()
    {
        slots[SlotUserData] = &userData;
        slots[SlotError] = &states.error;
        slots[SlotAlarmCodes] = &states.alarm;
        slots[SlotAdaptationState] = &states.adaptation;
        slots[SlotMemory] = &states.memory;
        slots[SlotInterpolation] = &states.interpolation;
        slots[SlotParametricCurves] = &states.curves;
        slots[SlotFormatters] = &states.formatters;
        slots[SlotTagTypes] = &states.tagTypes;
        slots[SlotTags] = &states.tags;
        slots[SlotIntents] = &states.intents;
        slots[SlotMpeTypes] = &states.mpeTypes;
        slots[SlotOptimizations] = &states.optimizations;
        slots[SlotTransforms] = &states.transforms;
        slots[SlotMutex] = &states.mutex;
        slots[SlotParallelization] = &states.parallelization;
    }
};

namespace {

EngineContext& globalContext()
{
    static EngineContext global(2048);
    return global;
}

EngineContext* resolve(EngineContext* ctx)
{
    return ctx ? ctx : &globalContext();
}

// The context's pool, created on first use (the global one with 2048 bytes).
SubAllocator* contextPool(EngineContext* ctx)
{
    EngineContext* c = resolve(ctx);
    std::call_once(c->poolOnce, [c, ctx] { c->pool = createSubAllocator(ctx, c->poolInitialSize); });
    return c->pool;
}

} // namespace

void* contextSlot(EngineContext* ctx, uint32_t slot)
{
    EngineContext* c = resolve(ctx);
    if (slot >= SlotCount) {
        reportError(ctx, ErrInternal, "Bad context client -- possible corruption");
        return globalContext().slots[SlotUserData];
    }
    return c->slots[slot] ? c->slots[slot] : globalContext().slots[slot];
}

void* poolAlloc(EngineContext* ctx, size_t size)
{
    SubAllocator* pool = contextPool(ctx);
    if (!pool || size > MaxAllocation) return nullptr;
    return subAlloc(pool, uint32_t(size));
}

// ---------------------------------------------------------------------------
// Plug-in registration
// ---------------------------------------------------------------------------

namespace {

size_t recordSize(ContextSlot slot)
{
    switch (slot) {
    case SlotInterpolation: return sizeof(PluginInterpolation);
    case SlotParametricCurves: return sizeof(PluginParametricCurves);
    case SlotFormatters: return sizeof(PluginFormatters);
    case SlotTagTypes:
    case SlotMpeTypes: return sizeof(PluginTagType);
    case SlotTags: return sizeof(PluginTag);
    case SlotIntents: return sizeof(PluginRenderingIntent);
    case SlotOptimizations: return sizeof(PluginOptimization);
    case SlotTransforms: return sizeof(PluginTransform);
    default: return 0;
    }
}

constexpr ContextSlot ChainSlots[] = {SlotInterpolation, SlotParametricCurves, SlotFormatters,
                                      SlotTagTypes,      SlotTags,             SlotIntents,
                                      SlotMpeTypes,      SlotOptimizations,    SlotTransforms};

// Copies a record into the context's pool and puts it at the head of its list.
bool chainCopy(EngineContext* ctx, ContextSlot slot, const PluginBase* record)
{
    const size_t size = recordSize(slot);
    auto* copy = static_cast<PluginBase*>(poolAlloc(ctx, size));
    if (!copy) return false;
    std::memcpy(copy, record, size);
    auto* chain = slotState<PluginChain>(ctx, slot);
    copy->next = chain->first;
    chain->first = copy;
    return true;
}

bool registerMemory(EngineContext* ctx, const PluginBase* record)
{
    auto* plugin = reinterpret_cast<const PluginMemHandler*>(record);
    if (!plugin->alloc || !plugin->free || !plugin->realloc) {
        reportError(ctx, ErrInternal, "Memory plug-in lacks allocate, free or reallocate");
        return false;
    }
    MemoryState& m = *slotState<MemoryState>(ctx, SlotMemory);
    m = DefaultMemoryState;
    m.alloc = plugin->alloc;
    m.free = plugin->free;
    m.realloc = plugin->realloc;
    if (plugin->allocZero) m.allocZero = plugin->allocZero;
    if (plugin->allocArray) m.allocArray = plugin->allocArray;
    if (plugin->dup) m.dup = plugin->dup;
    return true;
}

bool registerParametricCurves(EngineContext* ctx, const PluginBase* record)
{
    auto* plugin = reinterpret_cast<const PluginParametricCurves*>(record);
    if (plugin->functionCount > MaxTypesInPlugin || !plugin->evaluator) {
        reportError(ctx, ErrRange, "Parametric curve plug-in declares %u types, max=%u",
                    plugin->functionCount, MaxTypesInPlugin);
        return false;
    }
    return chainCopy(ctx, SlotParametricCurves, record);
}

bool registerMutex(EngineContext* ctx, const PluginBase* record)
{
    auto* plugin = reinterpret_cast<const PluginMutex*>(record);
    if (!plugin->create || !plugin->destroy || !plugin->lock || !plugin->unlock) {
        reportError(ctx, ErrInternal, "Mutex plug-in lacks one of its four handlers");
        return false;
    }
    *slotState<MutexState>(ctx, SlotMutex) = {plugin->create, plugin->destroy, plugin->lock, plugin->unlock};
    return true;
}

bool registerParallelization(EngineContext* ctx, const PluginBase* record)
{
    auto* plugin = reinterpret_cast<const PluginParallelization*>(record);
    *slotState<ParallelizationState>(ctx, SlotParallelization) = {plugin->maxWorkers, plugin->workerFlags,
                                                                  plugin->scheduler};
    return true;
}

bool registerOne(EngineContext* ctx, const PluginBase* record)
{
    switch (record->type) {
    case PluginMemHandlerSig: return registerMemory(ctx, record);
    case PluginInterpolationSig: return chainCopy(ctx, SlotInterpolation, record);
    case PluginParametricCurveSig: return registerParametricCurves(ctx, record);
    case PluginFormattersSig: return chainCopy(ctx, SlotFormatters, record);
    case PluginTagTypeSig: return chainCopy(ctx, SlotTagTypes, record);
    case PluginTagSig: return chainCopy(ctx, SlotTags, record);
    case PluginMpeTypeSig: return chainCopy(ctx, SlotMpeTypes, record);
    case PluginRenderingIntentSig: return chainCopy(ctx, SlotIntents, record);
    case PluginOptimizationSig: return chainCopy(ctx, SlotOptimizations, record);
    case PluginTransformSig: return chainCopy(ctx, SlotTransforms, record);
    case PluginMutexSig: return registerMutex(ctx, record);
    case PluginParallelizationSig: return registerParallelization(ctx, record);
    default:
        reportError(ctx, ErrUnknownExtension, "Unrecognized plugin type '%X'", record->type);
        return false;
    }
}

} // namespace

bool registerPlugins(EngineContext* ctx, void* firstRecord)
{
    for (auto* record = static_cast<const PluginBase*>(firstRecord); record; record = record->next) {
        if (record->magic != PluginMagic) {
            reportError(ctx, ErrUnknownExtension, "Unrecognized plugin");
            return false;
        }
        if (record->expectedVersion > EngineVersion) {
            reportError(ctx, ErrUnknownExtension, "plugin needs Osterlane %d, current version is %d",
                        int(record->expectedVersion), int(EngineVersion));
            return false;
        }
        if (!registerOne(ctx, record)) return false;
    }
    return true;
}

bool registerPluginsGlobal(void* firstRecord)
{
    return registerPlugins(nullptr, firstRecord);
}

void unregisterPlugins(EngineContext* ctx)
{
    ContextStates& s = resolve(ctx)->states;
    const ContextStates d = defaultStates();
    s.memory = d.memory;
    s.interpolation = d.interpolation;
    s.tagTypes = d.tagTypes;
    s.tags = d.tags;
    s.formatters = d.formatters;
    s.intents = d.intents;
    s.curves = d.curves;
    s.mpeTypes = d.mpeTypes;
    s.optimizations = d.optimizations;
    s.transforms = d.transforms;
    s.mutex = d.mutex;
    s.parallelization = d.parallelization;
}

// ---------------------------------------------------------------------------
// Contexts
// ---------------------------------------------------------------------------

EngineContext* createContext(void* plugins, void* userData)
{
    auto* ctx = new (std::nothrow) EngineContext;
    if (!ctx) return nullptr;
    ctx->userData = userData;
    // A memory plug-in anywhere in the chain must be in place before anything
    // is allocated from the new context.
    for (auto* r = static_cast<const PluginBase*>(plugins); r; r = r->next) {
        if (r->magic == PluginMagic && r->type == PluginMemHandlerSig && !registerMemory(ctx, r)) {
            delete ctx;
            return nullptr;
        }
    }
    if (!registerPlugins(ctx, plugins)) {
        deleteContext(ctx);
        return nullptr;
    }
    return ctx;
}

EngineContext* duplicateContext(EngineContext* ctx, void* userData)
{
    auto* copy = new (std::nothrow) EngineContext;
    if (!copy) return nullptr;
    copy->userData = userData;
    copy->states = resolve(ctx)->states;
    // The list records live in the source's pool: give the copy its own, in
    // the same order.
    for (ContextSlot slot : ChainSlots) {
        std::vector<const PluginBase*> records;
        for (const PluginBase* r = pluginChain(ctx, slot); r; r = r->next) records.push_back(r);
        slotState<PluginChain>(copy, slot)->first = nullptr;
        for (auto r = records.rbegin(); r != records.rend(); ++r) {
            if (!chainCopy(copy, slot, *r)) {
                deleteContext(copy);
                return nullptr;
            }
        }
    }
    return copy;
}

void deleteContext(EngineContext* ctx)
{
    if (!ctx || ctx == &globalContext()) return;
    deleteSubAllocator(ctx->pool);
    delete ctx;
}

void* contextUserData(EngineContext* ctx)
{
    return resolve(ctx)->userData;
}

void setErrorHandler(ErrorHandler handler)
{
    setContextErrorHandler(nullptr, handler);
}

void setContextErrorHandler(EngineContext* ctx, ErrorHandler handler)
{
    slotState<ErrorState>(ctx, SlotError)->handler = handler;   // null restores the silent default
}

ErrorHandler errorHandler()
{
    return contextErrorHandler(nullptr);
}

ErrorHandler contextErrorHandler(EngineContext* ctx)
{
    return slotState<ErrorState>(ctx, SlotError)->handler;
}

// ---------------------------------------------------------------------------
// Mutexes, alarm codes and adaptation state
// ---------------------------------------------------------------------------

void* createMutex(EngineContext* ctx)
{
    return slotState<MutexState>(ctx, SlotMutex)->create(ctx);
}

void destroyMutex(EngineContext* ctx, void* mutex)
{
    if (mutex) slotState<MutexState>(ctx, SlotMutex)->destroy(ctx, mutex);
}

bool lockMutex(EngineContext* ctx, void* mutex)
{
    if (!mutex) return true;
    return slotState<MutexState>(ctx, SlotMutex)->lock(ctx, mutex);
}

void unlockMutex(EngineContext* ctx, void* mutex)
{
    if (mutex) slotState<MutexState>(ctx, SlotMutex)->unlock(ctx, mutex);
}

void setAlarmCodes(EngineContext* ctx, const uint16_t codes[16])
{
    std::memcpy(slotState<AlarmCodesState>(ctx, SlotAlarmCodes)->codes, codes, 16 * sizeof(uint16_t));
}

void alarmCodes(EngineContext* ctx, uint16_t codes[16])
{
    std::memcpy(codes, slotState<AlarmCodesState>(ctx, SlotAlarmCodes)->codes, 16 * sizeof(uint16_t));
}

double setAdaptationState(EngineContext* ctx, double state)
{
    auto* s = slotState<AdaptationState>(ctx, SlotAdaptationState);
    const double previous = s->state;
    if (state >= 0) s->state = state;
    return previous;
}
