// What the engine's modules share and callers never see.
#pragma once

#include "osl.h"

#include <memory>
#include <type_traits>
#include <vector>

// ---------------------------------------------------------------------------
// Context slots
// ---------------------------------------------------------------------------

enum ContextSlot : uint32_t {
    SlotUserData = 0,
    SlotError = 1,
    SlotAlarmCodes = 2,
    SlotAdaptationState = 3,
    SlotMemory = 4,
    SlotInterpolation = 5,
    SlotParametricCurves = 6,
    SlotFormatters = 7,
    SlotTagTypes = 8,
    SlotTags = 9,
    SlotIntents = 10,
    SlotMpeTypes = 11,
    SlotOptimizations = 12,
    SlotTransforms = 13,
    SlotMutex = 14,
    SlotParallelization = 15,
    SlotCount = 16,
};

struct ErrorState {
    ErrorHandler handler;
};

struct AlarmCodesState {
    uint16_t codes[16];
};

struct AdaptationState {
    double state;
};

struct MemoryState {
    void* (*alloc)(EngineContext* ctx, size_t size);
    void* (*allocZero)(EngineContext* ctx, size_t size);
    void (*free)(EngineContext* ctx, void* block);
    void* (*realloc)(EngineContext* ctx, void* block, size_t size);
    void* (*allocArray)(EngineContext* ctx, size_t count, size_t size);
    void* (*dup)(EngineContext* ctx, const void* source, size_t size);
};

// The built-in handlers: malloc-based, refusing 0 bytes and more than 512 MiB.
extern const MemoryState DefaultMemoryState;

// The plug-in kinds that extend a list (interpolation, curves, formatters, tag
// types, tags, intents, MPE types, optimisations, transforms) keep the copies of
// their records, newest first, in the context's pool.
struct PluginChain {
    PluginBase* first;
};

struct MutexState {
    void* (*create)(EngineContext* ctx);
    void (*destroy)(EngineContext* ctx, void* mutex);
    bool (*lock)(EngineContext* ctx, void* mutex);
    void (*unlock)(EngineContext* ctx, void* mutex);
};

struct ParallelizationState {
    int32_t maxWorkers;
    uint32_t workerFlags;
    TransformWorker scheduler;   // null: none registered
};

// The state of `slot` for the context: its own, or the global default.
// A slot above 15 reports "Bad context client -- possible corruption".
void* contextSlot(EngineContext* ctx, uint32_t slot);

template <typename State>
State* slotState(EngineContext* ctx, ContextSlot slot)
{
    return static_cast<State*>(contextSlot(ctx, slot));
}

// Plug-in records of one list kind for the context, newest first; walk with
// record->next until null.
inline PluginBase* pluginChain(EngineContext* ctx, ContextSlot slot)
{
    return slotState<PluginChain>(ctx, slot)->first;
}

// ---------------------------------------------------------------------------
// Sub-allocator pool
// ---------------------------------------------------------------------------

struct PoolChunk;
struct SubAllocator {
    EngineContext* ctx;
    PoolChunk* head;
};

SubAllocator* createSubAllocator(EngineContext* ctx, uint32_t initialSize);
void deleteSubAllocator(SubAllocator* pool);
void* subAlloc(SubAllocator* pool, uint32_t size);
void* subDup(SubAllocator* pool, const void* source, uint32_t size);
uint32_t subAllocatorHeadSize(const SubAllocator* pool);   // bytes of the head chunk

// ---------------------------------------------------------------------------
// RAII over the engine's allocator
// ---------------------------------------------------------------------------

// Deleters that release through the engine's free operations.
struct EngineFree {
    EngineContext* ctx;
    void operator()(void* block) const { engineFree(ctx, block); }
};
template <typename T>
using EngineBuffer = std::unique_ptr<T, EngineFree>;

// Allocates count elements of trivially copyable T through the context, or
// returns an empty buffer (the allocator reports its own refusals).
template <typename T>
EngineBuffer<T> engineArray(EngineContext* ctx, size_t count)
{
    static_assert(std::is_trivially_copyable_v<T>);
    return EngineBuffer<T>(static_cast<T*>(engineAllocArray(ctx, count, sizeof(T))), EngineFree{ctx});
}

// A guard that holds a context mutex for a scope.
class MutexLock {
public:
    MutexLock(EngineContext* ctx, void* mutex) : ctx_(ctx), mutex_(mutex), locked_(lockMutex(ctx, mutex)) {}
    ~MutexLock()
    {
        if (locked_) unlockMutex(ctx_, mutex_);
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    bool locked() const { return locked_; }

private:
    EngineContext* ctx_;
    void* mutex_;
    bool locked_;
};

// ---------------------------------------------------------------------------
// Worker threads
// ---------------------------------------------------------------------------

// One worker's share of a transform call: byte offsets into the input and
// output buffers and the block of pixels it converts.
struct WorkSlice {
    size_t inOffset;
    size_t outOffset;
    uint32_t pixelsPerLine;
    uint32_t lineCount;
};

// Clears the upper halves of the vector registers on processors with AVX.
// Code elsewhere (the toolkit's drawing, for one) may leave them dirty, and
// then every SSE instruction of this thread pays for merging them, many
// times over; threads started from such a thread inherit the state. The
// transform calls and the pool's workers clear it before their work.
inline void clearUpperVectorState()
{
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx"))
        asm volatile("vzeroupper" ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7"
#if defined(__x86_64__)
                     , "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"
#endif
        );
#endif
}

// Splits a call as runWorkers does, for `processors` processors. `stride` gets
// its missing bytes-per-line filled in. A single slice means no threads.
std::vector<WorkSlice> planWorkers(EngineContext* ctx, uint32_t inputFormat, uint32_t outputFormat,
                                   uint32_t pixelsPerLine, uint32_t lineCount, Stride& stride,
                                   int32_t maxWorkers, uint32_t processors);

// Runs task(cargo, first, end) over [0, count) in ranges of `grain`, on the
// calling thread and, where the context has the engine's own scheduler
// registered, on the pool's workers as well. The task must be safe to run
// on several threads at once, each on ranges of its own.
using RangeTask = void (*)(void* cargo, uint32_t first, uint32_t end);
void runRanges(EngineContext* ctx, uint32_t count, uint32_t grain, RangeTask task, void* cargo);

// sampleClut16 for a sampler that only reads its cargo and may run on
// several threads at once: the nodes are shared out as runRanges does.
bool sampleClut16Shared(Stage* clut, Sampler16Fn sampler, void* cargo);

// ---------------------------------------------------------------------------
// Transform record
// ---------------------------------------------------------------------------

constexpr uint32_t MaxCacheWords = 16;    // words of the one-pixel cache
constexpr uint32_t MaxPixelSamples = 22;  // 15 colour channels and 7 extra

// Where each sample of a pixel lies and how its value is scaled, worked out
// once from a PixelFormat for the built-in formatters. Samples are numbered
// colour channels first, then the extra channels.
struct PixelLayout {
    uint32_t format = 0;
    uint32_t channels = 0;
    uint32_t extra = 0;
    uint32_t samples = 0;                    // channels + extra
    uint32_t sampleBytes = 0;                // 1, 2, 4 or 8
    bool planar = false;
    bool inverted = false;
    bool swapped16 = false;
    bool half = false;                       // 2-byte floats
    bool labV2 = false;                      // 16-bit Lab in the version-2 encoding
    uint8_t position[MaxPixelSamples] = {};  // sample (or plane) index in memory
    // Float formatters: normalised = sample × toNormal + offset, and back.
    float toNormal[MaxCacheWords] = {};
    float fromNormal[MaxCacheWords] = {};
    float offset[MaxCacheWords] = {};
};

// A copy of a tag object kept past the profile it came from, released through
// the type handler that made it.
struct TagObjectCopy {
    void* object = nullptr;
    const TagTypeHandler* handler = nullptr;
};

struct Transform {
    EngineContext* ctx = nullptr;
    uint32_t inputFormat = 0;
    uint32_t outputFormat = 0;
    uint32_t flags = 0;
    TransformWorker worker = nullptr;        // what a call runs
    TransformWorker savedWorker = nullptr;   // the transform's own worker when a scheduler replaced it
    int32_t maxWorkers = -1;
    uint32_t workerFlags = 0;

    Formatter16 fromInput = nullptr;
    Formatter16 toOutput = nullptr;
    FormatterFloat fromInputFloat = nullptr;
    FormatterFloat toOutputFloat = nullptr;
    PixelLayout inLayout;
    PixelLayout outLayout;

    Pipeline* lut = nullptr;
    Pipeline* gamutCheck = nullptr;          // one output: non-zero outside the gamut
    uint16_t cacheIn[MaxCacheWords] = {};
    uint16_t cacheOut[MaxCacheWords] = {};

    TagObjectCopy inputColorants;
    TagObjectCopy outputColorants;
    TagObjectCopy sequence;
    uint32_t entrySpace = 0;
    uint32_t exitSpace = 0;
    CieXyz entryWhite{0.9642, 1.0, 0.8249};
    CieXyz exitWhite{0.9642, 1.0, 0.8249};
    uint32_t intent = 0;

    bool pluginWorker = false;               // the worker came from a 'zfmH' plug-in
    void* userData = nullptr;
    FreeUserDataFn freeUserData = nullptr;
};

// ---------------------------------------------------------------------------
// Interpolation
// ---------------------------------------------------------------------------

// Sets up interpolation over a table of the given grid (not copied). Asks the
// 'inpH' plug-ins first; reports and returns null when no routine fits.
InterpParams* newInterpParams(EngineContext* ctx, const uint32_t gridPoints[], uint32_t inputs, uint32_t outputs,
                              const void* table, uint32_t flags);
InterpParams* newInterpParamsUniform(EngineContext* ctx, uint32_t gridPoints, uint32_t inputs, uint32_t outputs,
                                     const void* table, uint32_t flags);
void freeInterpParams(InterpParams* params);
// Whether the routine is the engine's own for the shape (no 'inpH' plug-in took it).
bool hasBuiltinRoutine(const InterpParams* params);
// The 16-bit interpolation of a curve over its table.
const InterpParams* curveInterpParams(const ToneCurve* curve);

// floor(d + 0.5) clamped to 0 … 65535; NaN gives 0.
inline uint16_t quickSaturateWord(double d)
{
    d += 0.5;
    if (!(d > 0.0)) return 0;
    if (d >= 65535.0) return 0xFFFF;
    return uint16_t(d);
}

// v / 65535 as a float; the reciprocal gives the same floats for every word.
inline float wordToUnit(uint16_t v)
{
    return float(v * (1.0 / 65535.0));
}

// Coordinate of node k of a grid dimension with `points` points.
inline uint16_t quantizeNode(uint32_t k, uint32_t points)
{
    return quickSaturateWord(double(k) * 65535.0 / double(points - 1));
}

// XYZ (relative to D50) to Lab for the float stages, whose results are
// floats: the cube root is good to about 14 digits instead of the last bit.
CieLab xyzToLabForFloat(const CieXyz& xyz);

// ---------------------------------------------------------------------------
// Pipelines and stages
// ---------------------------------------------------------------------------

struct Stage {
    EngineContext* ctx;
    uint32_t kind;
    uint32_t implements;
    uint32_t inputs;
    uint32_t outputs;
    StageEvalFn eval;
    StageDupDataFn dupData;
    StageFreeDataFn freeData;
    void* data;
    Stage* next;
};

struct CurvesStageData {
    uint32_t count;
    ToneCurve** curves;
};

struct MatrixStageData {
    uint32_t rows;
    uint32_t columns;
    double* matrix;    // rows × columns
    double* offsets;   // rows, or null
};

struct ClutStageData {
    void* table;       // uint16_t or float
    uint32_t entries;  // grid product × outputs
    bool isFloat;
    InterpParams* params;
};

struct Pipeline {
    EngineContext* ctx;
    Stage* first;
    uint32_t inputs;
    uint32_t outputs;
    bool consistent;             // the last channel check passed
    bool saveAs8Bits;
    bool labV2;                  // Lab ends in the version-2 encoding
    PipelineEval16Fn eval16;     // null: the stage-by-stage default
    PipelineEvalFloatFn evalFloat;
    void* data;                  // the optimiser's private data
    FreeUserDataFn freeData;
    DupUserDataFn dupData;
};

// Makes a pipeline carry values past 0 … 1: its curve stages evaluate their
// curves as above, and its float tables of three inputs extrapolate from
// their edge cells. 16-bit tables still hold their end values.
bool makeUnbounded(Pipeline* pipeline);

// The channel check after a change of stages: the pipeline's counts follow
// its first and last stages, and neighbouring stages must agree (reported
// otherwise; the pipeline then evaluates to zeros until it agrees again).
bool checkPipelineChannels(Pipeline* pipeline);

// ---------------------------------------------------------------------------
// I/O handlers and profile container
// ---------------------------------------------------------------------------

// One open byte stream. The kind-specific record hangs off `state`.
struct IoHandler {
    EngineContext* ctx;
    uint32_t usedSpace;      // highest byte written (writers); running count (file writer)
    uint32_t reportedSize;   // size of the data when reading; 0 when writing
    char physicalFile[MaxPathLength];
    void* state;
    uint32_t (*read)(IoHandler* io, void* buffer, uint32_t size, uint32_t count);
    bool (*seek)(IoHandler* io, uint32_t offset);
    bool (*close)(IoHandler* io);
    uint32_t (*tell)(IoHandler* io);
    bool (*write)(IoHandler* io, uint32_t size, const void* data);
};

// A handler over a C stream that the caller keeps: closing it flushes the
// stream and reports whether everything reached it, but leaves it open.
IoHandler* openBorrowedStreamHandler(EngineContext* ctx, FILE* stream);

// A signature as four printable characters for messages.
struct SigText {
    char text[5];
};
SigText sigText(uint32_t sig);

// ---------------------------------------------------------------------------
// Tag type registry
// ---------------------------------------------------------------------------

// The descriptor of a tag signature and the handler of a type signature: the
// context's 'tagH' / 'typH' plug-ins first, then the built-in tables.
const TagDescriptor* findTagDescriptor(EngineContext* ctx, uint32_t sig);
const TagTypeHandler* findTypeHandler(EngineContext* ctx, uint32_t typeSig);
bool isTypeAllowed(const TagDescriptor* descriptor, uint32_t typeSig);

// Registered handlers are shared: calls go through a private copy that carries
// the caller's context and the profile's version.
void* callTypeRead(const TagTypeHandler* h, EngineContext* ctx, uint32_t version, IoHandler* io, uint32_t* count,
                   uint32_t sizeOfTag);
bool callTypeWrite(const TagTypeHandler* h, EngineContext* ctx, uint32_t version, IoHandler* io, void* object,
                   uint32_t count);
void* callTypeDuplicate(const TagTypeHandler* h, EngineContext* ctx, uint32_t version, const void* object,
                        uint32_t count);
void callTypeFree(const TagTypeHandler* h, EngineContext* ctx, void* object);

// Localized-text lookup by language and country (two-letter codes), used by
// profileText. Sizes count buffer elements and include the terminator; a null
// buffer asks for the size; 0 means no text.
uint32_t localizedTextWide(const LocalizedText* text, const char* language, const char* country, wchar_t* buffer,
                           uint32_t size);
uint32_t localizedTextUtf8(const LocalizedText* text, const char* language, const char* country, char* buffer,
                           uint32_t size);

// ---------------------------------------------------------------------------
// Pixel formatters
// ---------------------------------------------------------------------------

// The formatter for a format: the context's 'frmH' plug-ins first, then the
// built-in ones. FormatterFlagFloat in `flags` asks for a float formatter.
Formatter findFormatter(EngineContext* ctx, uint32_t format, FormatterDirection dir, uint32_t flags);
// Fills in the layout the built-in formatters read; false for a format with
// no colour channels or with more samples than a pixel can hold.
bool makePixelLayout(uint32_t format, PixelLayout* layout);
// Bytes of one sample of the format (8 for a byte field of 0).
uint32_t sampleBytesOf(uint32_t format);
// Copies the extra channels of a block of lines from input to output,
// converting their sample width.
void copyExtraChannels(const Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                       const Stride* stride);
float halfToFloat(uint16_t h);
uint16_t floatToHalf(float f);

// ---------------------------------------------------------------------------
// Transforms
// ---------------------------------------------------------------------------

// What a transform is made from once its pipeline exists.
struct TransformSetup {
    uint32_t inputFormat = 0;
    uint32_t outputFormat = 0;
    uint32_t flags = 0;
    uint32_t intent = 0;
    uint32_t entrySpace = 0;
    uint32_t exitSpace = 0;
    Pipeline* gamutCheck = nullptr;   // taken like the pipeline
};

// A transform over a ready pipeline, which it takes in every case (a failed
// call frees it, and the gamut check with it). Optimisation, formatters, workers and the cache are set up
// as for a transform made from profiles.
Transform* transformFromPipeline(EngineContext* ctx, Pipeline* pipeline, const TransformSetup& setup);

// ---------------------------------------------------------------------------
// Intents and linking
// ---------------------------------------------------------------------------

constexpr double XyzNormalise = 32768.0 / 65535.0;   // real XYZ to the pipeline's units
constexpr double XyzDenormalise = 65535.0 / 32768.0;

bool isPcsSpace(uint32_t space);
// Whether a space produced by one profile can feed the next: equal, CMYK and
// '4CLR', or the two PCS encodings.
bool spacesCompatible(uint32_t produced, uint32_t wanted);
// The spaces at both ends of a chain, walked as the linker walks it; false
// when a profile is missing.
bool chainSpaces(IccProfile* const profiles[], uint32_t count, uint32_t* entry, uint32_t* exit);
// A named-colour profile as one stage over its list: colour index to the PCS,
// or to device values.
Pipeline* namedColorPipelineOf(IccProfile* profile, bool toPcs);

// ---------------------------------------------------------------------------
// Black points
// ---------------------------------------------------------------------------

// The root of y = c0 + c1·x + c2·x² fitted to n points by least squares; 0
// for fewer than four points or a singular system.
double blackPointFitRoot(const double x[], const double y[], uint32_t n);

// ---------------------------------------------------------------------------
// CGATS lexer and the .cube reader
// ---------------------------------------------------------------------------

#include <string>

enum class CgatsToken : uint8_t {
    Undefined,
    Integer,
    Real,
    Identifier,
    String,
    Comment,
    Eoln,
    Eof,
    SynError,
    // CGATS keywords
    Include,
    BeginData,
    BeginDataFormat,
    DataFormatId,
    EndData,
    EndDataFormat,
    Keyword,
    // .cube keywords
    DomainMax,
    DomainMin,
    Lut1dSize,
    Lut1dInputRange,
    Lut3dSize,
    Lut3dInputRange,
    LutInVideoRange,
    LutOutVideoRange,
    Title,
};

// How real numbers become text in sheets and lexer output.
constexpr const char* CgatsNumberFormat = "%.10g";

// Tokens of CGATS text or, in cube mode, of a .cube file. The outermost source
// is a memory block or a file; in CGATS mode a file may include others (up to
// 20 levels). Errors are reported through the sheet as "<file>: Line <n>,
// <message>" with code 12, and make the current token SynError.
class CgatsLexer {
public:
    CgatsLexer(CgatsSheet* sheet, bool cubeMode);
    ~CgatsLexer();
    CgatsLexer(const CgatsLexer&) = delete;
    CgatsLexer& operator=(const CgatsLexer&) = delete;

    // Memory text: a 0 byte or the end of the block ends input. Memory text
    // never includes files.
    void openMemory(const char* text, size_t length);
    // A file as the outermost source, its first `skip` characters passed over;
    // false when it cannot be opened.
    bool openFile(const char* fileName, size_t skip = 0);
    // Skips a UTF-8 byte-order mark at the current position.
    void skipByteOrderMark();

    void next();
    void skipLineEnds();
    // Makes the token SynError after a failure that was reported already.
    void stop();
    CgatsToken token() const { return token_; }
    bool atNumber() const { return token_ == CgatsToken::Integer || token_ == CgatsToken::Real; }
    int32_t integer() const { return integer_; }
    double number() const { return token_ == CgatsToken::Integer ? double(integer_) : real_; }
    const std::string& text() const { return text_; }   // identifier or string
    // The token as cell or property text: numbers printed, identifiers and
    // strings as they are; false for any other token.
    bool tokenText(std::string& out) const;

    void fail(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    // Comment lines met since the last call, each the text after its '#'.
    std::vector<std::string> takeComments();
    void dropComments() { comments_.clear(); }

    const char* sourceName() const;
    int32_t line() const { return line_; }
    // Bytes of the outermost memory text (0 for files): bounds what a parse
    // from memory may allocate.
    size_t memorySize() const { return memorySize_; }

private:
    struct Source;
    int read();
    void advance() { ch_ = read(); }
    void scanString();
    void scanComment();
    bool pushInclude();

    CgatsSheet* sheet_;
    bool cubeMode_;
    std::vector<std::unique_ptr<Source>> stack_;
    size_t memorySize_ = 0;
    int ch_ = ' ';
    int pendingChar_ = -1;   // the includer's look-ahead, after an included file ends
    int32_t line_ = 1;
    CgatsToken token_ = CgatsToken::Undefined;
    int32_t integer_ = 0;
    double real_ = 0;
    std::string text_;
    std::vector<std::string> comments_;
};

// Reports through the sheet's context with the active lexer's file name and
// line (or an empty name and the sheet's last line).
void cgatsReport(CgatsSheet* sheet, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// A .cube table as read, before it becomes a device link. Values are already
// normalised by the domain. The CLUT holds one node per data line in file
// order (red fastest, so the node's first input is the file's blue), each with
// the line's values reversed (blue, green, red).
//
// The input ranges that grading tools write (LUT_1D_INPUT_RANGE,
// LUT_3D_INPUT_RANGE) say which inputs the first and last entries stand for;
// the device link takes inputs 0 to 1 and maps them onto the range in front
// of the table. A shaper's values feed the 3D table, so they are normalised
// by its range.
struct CubeTable {
    std::string title;
    double domainMin[3] = {0, 0, 0};
    double domainMax[3] = {1, 1, 1};
    double shaperRange[2] = {0, 1};
    double clutRange[2] = {0, 1};
    uint32_t shaperSize = 0;
    std::vector<float> shaper[3];   // file channels red, green, blue
    uint32_t gridPoints = 0;
    std::vector<float> clut;        // gridPoints³ lines of red, green, blue, in file order
};

constexpr uint32_t CubeMaxShaperSize = 65536;
constexpr uint32_t CubeMaxGridPoints = 256;
// The largest file that can hold a table: every line of the largest shaper
// and 3D table at 128 bytes, and a megabyte of header and comments.
constexpr uint64_t CubeMaxFileBytes =
    (uint64_t(CubeMaxShaperSize) + uint64_t(CubeMaxGridPoints) * CubeMaxGridPoints * CubeMaxGridPoints) * 128 +
    (uint64_t(1) << 20);

bool readCubeTable(EngineContext* ctx, const char* fileName, CubeTable* table);
bool readCubeText(EngineContext* ctx, const void* text, size_t length, CubeTable* table);
Pipeline* buildCubePipeline(EngineContext* ctx, const CubeTable& table);

// ---------------------------------------------------------------------------
// Tag types: text, named colours and the type modules
// ---------------------------------------------------------------------------

// "en" as 0x656E; null or "" as 0.
uint16_t packTextCode(const char* code);

// One entry of a LocalizedText: byte offset and byte length into the pool.
struct TextEntry {
    uint16_t language;
    uint16_t country;
    uint32_t offset;
    uint32_t length;
};

struct LocalizedText {
    EngineContext* ctx;
    uint32_t count;
    uint32_t capacity;
    TextEntry* entries;
    uint32_t poolUsed;    // bytes
    uint32_t poolSize;    // bytes allocated
    uint8_t* pool;        // UTF-16 code units in machine order
};

// The entry the lookup rule picks, or null for a text without entries.
const TextEntry* findTextEntry(const LocalizedText* text, uint16_t language, uint16_t country);
// The code units of the text the lookup picks, up to its first NUL; null
// (and *count 0) when there is no text or its entry reaches past the pool.
const uint16_t* lookupTextUnits(const LocalizedText* text, uint16_t language, uint16_t country, uint32_t* count);
// Adds an entry of count code units; refuses a language and country present.
bool addTextUnits(LocalizedText* text, uint16_t language, uint16_t country, const uint16_t* units, uint32_t count);
// Replaces the pool by `bytes` uninitialised bytes for a reader to fill.
bool resizeTextPool(LocalizedText* text, uint32_t bytes);
bool reserveTextEntries(LocalizedText* text, uint32_t count);

// UTF-16 and wide text (UTF-32 where wchar_t has 32 bits). Pairs of
// surrogates combine; lone surrogates pass through unchanged, so both ways
// round-trip. `out` null only counts.
uint32_t utf16ToWide(const uint16_t* units, uint32_t count, wchar_t* out);
uint32_t wideToUtf16(const wchar_t* text, size_t length, uint16_t* out);

// Owners for the objects the type readers build.
using OwnedText = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;
using OwnedCurve = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
using OwnedStage = std::unique_ptr<Stage, decltype(&freeStage)>;
using OwnedPipeline = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

struct NamedColor {
    char name[NamedColorNameLength + 1];
    uint16_t pcs[3];
    uint16_t device[MaxDeviceCoordinates];
};

struct NamedColorList {
    EngineContext* ctx;
    uint32_t count;
    uint32_t capacity;
    uint32_t deviceCoordinates;
    uint32_t vendorFlag;
    char prefix[NamedColorNameLength + 1];
    char suffix[NamedColorNameLength + 1];
    NamedColor* colors;
};

// The built-in handlers of the curve and pipeline types ('curv', 'para',
// 'mft1', 'mft2', 'mAB ', 'mBA ', 'mpet', 'vcgt' and the broken curve alias).
const TagTypeHandler* curveAndLutTypeHandlers(uint32_t* count);
// Whether a pipeline has a shape the 16-bit table, the A-to-B or the B-to-A
// form can hold (the version decisions of the LUT tags ask).
bool pipelineFitsLut16(const Pipeline* pipeline);
bool pipelineFitsLutAToB(const Pipeline* pipeline);
bool pipelineFitsLutBToA(const Pipeline* pipeline);

// Types whose data hold offsets to their own parts are written twice: first
// into a counting sink that starts where the tag starts, to learn where the
// parts land, then for real with those offsets. `write(io, known, found)`
// writes the tag data after the type base with the offsets in `known` and
// records in `found` where the parts went (from the start of the tag).
template <typename Layout, typename WriteFn>
bool writeWithLayout(IoHandler* io, WriteFn write)
{
    Layout known{}, found{};
    IoHandler* sink = openNullHandler(io->ctx);
    if (!sink) return false;
    const uint8_t base[8] = {};
    const bool measured = sink->write(sink, sizeof base, base) && write(sink, known, found);
    closeIoHandler(sink);
    if (!measured) return false;
    known = found;
    return write(io, known, found);
}

// Where a part of a tag lies, from the start of the tag.
struct TagSpan {
    uint32_t offset;
    uint32_t size;
};

inline bool spanInside(const TagSpan& s, uint32_t tagEnd)
{
    return s.offset <= tagEnd && s.size <= tagEnd - s.offset;
}

// Parts may share bytes, but together they may take at most a few times the
// tag: a position table of many entries on one large part would otherwise
// cost time and memory out of all proportion to the data.
inline bool spansWithinBudget(const std::vector<TagSpan>& spans, uint32_t tagEnd)
{
    uint64_t total = 0;
    for (const TagSpan& s : spans) total += s.size;
    return total <= 4 * uint64_t(tagEnd);
}

// The start of the tag whose type base was just read or written.
inline uint32_t tagStart(IoHandler* io)
{
    return io->tell(io) - 8;
}

// ---------------------------------------------------------------------------
// Pipeline optimisation
// ---------------------------------------------------------------------------

// A whole-line worker for a transform whose optimised pipeline can run
// straight on its 8- or 16-bit interleaved buffers (the matrix-shapers and
// the 3-input CLUTs), or null. It gives the same bytes as the 16-bit worker
// with the pipeline's evaluator, without unpacking each pixel.
TransformWorker optimisedWorkerFor(const Transform* t);
// Whether the line workers may use the processor's vector instructions (on by
// default where there are any); off, they run their plain loops, which give
// the same bytes. For tests and measurements.
void setOptimiserVectorCode(bool on);
// The same by level: 0 plain loops, 1 SSE4.1, 2 AVX2, 3 AVX-512; a level the
// processor lacks falls to the highest it has (highestVectorLevel).
void setOptimiserVectorLevel(int level);
int highestVectorLevel();
