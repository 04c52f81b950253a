// Contexts, memory handlers, error reporting, the pool and plug-in chains.
#include "oslinternal.h"

#include "engine_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class ContextTest : public EngineFixture {
protected:
};

TEST_F(ContextTest, DefaultAllocatorRefusesZeroAndOversizedBlocks)
{
    EXPECT_EQ(engineAlloc(ctx, 0), nullptr);
    EXPECT_EQ(engineAlloc(ctx, 0x20000001), nullptr);
    void* block = engineAlloc(ctx, 16);
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(engineRealloc(ctx, block, 0x20000001), nullptr);
    engineFree(ctx, block);
    engineFree(ctx, nullptr);   // ignored
    EXPECT_EQ(engineDup(ctx, nullptr, 0x20000001), nullptr);
}

TEST_F(ContextTest, ArrayAllocationRefusesZeroOverflowAndOversize)
{
    EXPECT_EQ(engineAllocArray(ctx, 0, 8), nullptr);
    EXPECT_EQ(engineAllocArray(ctx, 8, 0), nullptr);
    EXPECT_EQ(engineAllocArray(ctx, 0x10000, 0x10000), nullptr);   // 2^32 overflows 32 bits
    EXPECT_EQ(engineAllocArray(ctx, 0x20000001, 1), nullptr);      // above 512 MiB
    auto* words = static_cast<uint32_t*>(engineAllocArray(ctx, 100, 4));
    ASSERT_NE(words, nullptr);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(words[i], 0u);          // zeroed
    engineFree(ctx, words);
}

TEST_F(ContextTest, DupCopiesAndNullSourceCopiesNothing)
{
    const char text[] = "abcdef";
    auto* copy = static_cast<char*>(engineDup(ctx, text, sizeof text));
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "abcdef");
    engineFree(ctx, copy);
    void* empty = engineDup(ctx, nullptr, 8);
    EXPECT_NE(empty, nullptr);
    engineFree(ctx, empty);
}

TEST_F(ContextTest, ErrorsAreCutAt1023Characters)
{
    const std::string longText(3000, 'x');
    reportError(ctx, ErrRange, "%s", longText.c_str());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, uint32_t(ErrRange));
    EXPECT_EQ(reports[0].text.size(), 1023u);
}

TEST_F(ContextTest, NullHandlerRestoresSilentDefault)
{
    setContextErrorHandler(ctx, nullptr);
    reportError(ctx, ErrFile, "nobody hears this");
    EXPECT_TRUE(reports.empty());
}

TEST_F(ContextTest, SlotAboveFifteenIsReportedAndYieldsSlotZero)
{
    void* state = contextSlot(ctx, 16);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, uint32_t(ErrInternal));
    EXPECT_EQ(reports[0].text, "Bad context client -- possible corruption");
    EXPECT_EQ(state, contextSlot(nullptr, SlotUserData));
}

TEST_F(ContextTest, DefaultsOfAlarmCodesAndAdaptation)
{
    uint16_t codes[16];
    alarmCodes(ctx, codes);
    EXPECT_EQ(codes[0], 0x7F00);
    EXPECT_EQ(codes[1], 0x7F00);
    EXPECT_EQ(codes[2], 0x7F00);
    for (int i = 3; i < 16; ++i) EXPECT_EQ(codes[i], 0);
    EXPECT_EQ(setAdaptationState(ctx, -1), 1.0);
    EXPECT_EQ(setAdaptationState(ctx, 0.5), 1.0);
    EXPECT_EQ(setAdaptationState(ctx, -1), 0.5);
}

TEST_F(ContextTest, UserDataIsKept)
{
    int cookie = 7;
    EngineContext* mine = createContext(nullptr, &cookie);
    EXPECT_EQ(contextUserData(mine), &cookie);
    EngineContext* copy = duplicateContext(mine, nullptr);
    EXPECT_EQ(contextUserData(copy), nullptr);
    deleteContext(copy);
    deleteContext(mine);
}

TEST_F(ContextTest, MutexLocksAndUnlocks)
{
    void* m = createMutex(ctx);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(lockMutex(ctx, m));
    unlockMutex(ctx, m);
    {
        MutexLock lock(ctx, m);
        EXPECT_TRUE(lock.locked());
    }
    destroyMutex(ctx, m);
}

// ---------------------------------------------------------------------------
// Sub-allocator pool
// ---------------------------------------------------------------------------

TEST(Pool, RoundsToEightAndGrowsByDoubling)
{
    SubAllocator* pool = createSubAllocator(nullptr, 64);
    ASSERT_NE(pool, nullptr);
    auto* a = static_cast<uint8_t*>(subAlloc(pool, 3));
    auto* b = static_cast<uint8_t*>(subAlloc(pool, 1));
    EXPECT_EQ(b - a, 8);                           // 3 rounded up to 8
    EXPECT_EQ(subAllocatorHeadSize(pool), 64u);
    subAlloc(pool, 56);                            // 8 + 8 + 56 > 64: a new chunk of 128
    EXPECT_EQ(subAllocatorHeadSize(pool), 128u);
    subAlloc(pool, 1000);                          // bigger than double: exactly the request
    EXPECT_EQ(subAllocatorHeadSize(pool), 1000u);
    deleteSubAllocator(pool);
}

TEST(Pool, ZeroSizeGivesTheDefaultChunk)
{
    SubAllocator* pool = createSubAllocator(nullptr, 0);
    EXPECT_EQ(subAllocatorHeadSize(pool), 20480u);
    deleteSubAllocator(pool);
}

// ---------------------------------------------------------------------------
// Memory plug-ins
// ---------------------------------------------------------------------------

int countedAllocs = 0;
void* countingAlloc(EngineContext*, size_t size)
{
    ++countedAllocs;
    return malloc(size);
}
void countingFree(EngineContext*, void* block)
{
    free(block);
}
void* countingRealloc(EngineContext*, void* block, size_t size)
{
    return realloc(block, size);
}

TEST(MemoryPlugin, OptionalHandlersFallBackOnThePluginsAllocate)
{
    PluginMemHandler mem{{PluginMagic, 2160, PluginMemHandlerSig, nullptr}, countingAlloc, countingFree,
                         countingRealloc, nullptr, nullptr, nullptr};
    EngineContext* ctx = createContext(&mem, nullptr);
    ASSERT_NE(ctx, nullptr);
    countedAllocs = 0;
    engineFree(ctx, engineAllocZero(ctx, 10));
    engineFree(ctx, engineAllocArray(ctx, 4, 4));
    engineFree(ctx, engineDup(ctx, "ab", 3));
    EXPECT_EQ(countedAllocs, 3);
    deleteContext(ctx);
}

TEST(MemoryPlugin, MissingRequiredHandlerFailsRegistration)
{
    PluginMemHandler mem{{PluginMagic, 2160, PluginMemHandlerSig, nullptr}, countingAlloc, nullptr,
                         countingRealloc, nullptr, nullptr, nullptr};
    EXPECT_EQ(createContext(&mem, nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Plug-in chains
// ---------------------------------------------------------------------------

double twiceX(int32_t, const double[10], double x)
{
    return 2 * x;
}

PluginParametricCurves curvePlugin(int32_t type, uint32_t version, PluginBase* next)
{
    PluginParametricCurves p{};
    p.base = {PluginMagic, version, PluginParametricCurveSig, next};
    p.functionCount = 1;
    p.functionTypes[0] = type;
    p.parameterCounts[0] = 1;
    p.evaluator = twiceX;
    return p;
}

int countRecords(EngineContext* ctx, ContextSlot slot)
{
    int n = 0;
    for (PluginBase* r = pluginChain(ctx, slot); r; r = r->next) ++n;
    return n;
}

TEST_F(ContextTest, ChainFailsAtTheRecordNeedingANewerEngine)
{
    PluginParametricCurves second = curvePlugin(201, 2170, nullptr);
    PluginParametricCurves first = curvePlugin(200, 2160, &second.base);
    EXPECT_FALSE(registerPlugins(ctx, &first));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, uint32_t(ErrUnknownExtension));
    EXPECT_EQ(reports[0].text, "plugin needs Osterlane 2170, current version is 2160");
    // The first record stays registered.
    ASSERT_EQ(countRecords(ctx, SlotParametricCurves), 1);
    auto* kept = reinterpret_cast<PluginParametricCurves*>(pluginChain(ctx, SlotParametricCurves));
    EXPECT_EQ(kept->functionTypes[0], 200);
}

TEST_F(ContextTest, RecordWithoutMagicIsUnrecognized)
{
    PluginParametricCurves p = curvePlugin(200, 2160, nullptr);
    p.base.magic = sig("xxxx");
    EXPECT_FALSE(registerPlugins(ctx, &p));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text, "Unrecognized plugin");
}

TEST_F(ContextTest, UnknownKindIsReportedInHex)
{
    PluginBase p{PluginMagic, 2160, sig("abcd"), nullptr};
    EXPECT_FALSE(registerPlugins(ctx, &p));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text, "Unrecognized plugin type '61626364'");
}

TEST_F(ContextTest, RegisteredRecordsAreCopiesAndNewestComesFirst)
{
    PluginParametricCurves a = curvePlugin(300, 2160, nullptr);
    PluginParametricCurves b = curvePlugin(301, 2160, nullptr);
    ASSERT_TRUE(registerPlugins(ctx, &a));
    ASSERT_TRUE(registerPlugins(ctx, &b));
    a.functionTypes[0] = 999;   // the context keeps its own copy
    auto* head = reinterpret_cast<PluginParametricCurves*>(pluginChain(ctx, SlotParametricCurves));
    EXPECT_EQ(head->functionTypes[0], 301);
    EXPECT_EQ(reinterpret_cast<PluginParametricCurves*>(head->base.next)->functionTypes[0], 300);
}

TEST_F(ContextTest, DuplicatedContextOwnsItsRecords)
{
    PluginParametricCurves a = curvePlugin(300, 2160, nullptr);
    PluginParametricCurves b = curvePlugin(301, 2160, &a.base);
    ASSERT_TRUE(registerPlugins(ctx, &b));
    EngineContext* copy = duplicateContext(ctx, nullptr);
    deleteContext(ctx);
    ctx = createContext(nullptr, nullptr);
    auto* head = reinterpret_cast<PluginParametricCurves*>(pluginChain(copy, SlotParametricCurves));
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->functionTypes[0], 300);   // b registered first, then a on top
    EXPECT_EQ(countRecords(copy, SlotParametricCurves), 2);
    deleteContext(copy);
}

TEST_F(ContextTest, UnregisterResetsEveryKind)
{
    PluginParallelization prl{{PluginMagic, 2140, PluginParallelizationSig, nullptr}, 4, 0, runWorkers};
    PluginParametricCurves curves = curvePlugin(300, 2160, &prl.base);
    ASSERT_TRUE(registerPlugins(ctx, &curves));
    EXPECT_EQ(slotState<ParallelizationState>(ctx, SlotParallelization)->maxWorkers, 4);
    unregisterPlugins(ctx);
    EXPECT_EQ(countRecords(ctx, SlotParametricCurves), 0);
    EXPECT_EQ(slotState<ParallelizationState>(ctx, SlotParallelization)->scheduler, nullptr);
    EXPECT_EQ(slotState<ParallelizationState>(ctx, SlotParallelization)->maxWorkers, -1);
}

TEST_F(ContextTest, TooManyCurveTypesInOnePluginFail)
{
    PluginParametricCurves p = curvePlugin(300, 2160, nullptr);
    p.functionCount = 21;
    EXPECT_FALSE(registerPlugins(ctx, &p));
    EXPECT_EQ(countRecords(ctx, SlotParametricCurves), 0);
}

} // namespace
