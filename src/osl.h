// The Osterlane colour engine: the one public header.
//
// Opaque handles, plain functions in lower camel case, booleans or null for
// failure. Nothing throws across this interface; failures are reported through
// the context's error handler. A null EngineContext stands for the global one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// ---------------------------------------------------------------------------
// Basic types and signatures
// ---------------------------------------------------------------------------

constexpr uint32_t EngineVersion = 2160;

// Four-character codes as big-endian 32-bit numbers: sig("acsp") == 0x61637370.
constexpr uint32_t sig(const char (&s)[5])
{
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

struct EngineContext;
struct IoHandler;
struct IccProfile;
struct ToneCurve;
struct Stage;
struct Pipeline;
struct Transform;
struct LocalizedText;
struct CgatsSheet;
struct InterpParams;

struct CieXyz { double X, Y, Z; };
struct CieXyY { double x, y, Y; };
struct CieLab { double L, a, b; };
struct CieLch { double L, C, h; };

// ---------------------------------------------------------------------------
// Context, memory, errors, plug-ins and worker threads
// ---------------------------------------------------------------------------

enum ErrorCode : uint32_t {
    ErrUndefined = 0,
    ErrFile = 1,
    ErrRange = 2,
    ErrInternal = 3,
    ErrNull = 4,
    ErrRead = 5,
    ErrSeek = 6,
    ErrWrite = 7,
    ErrUnknownExtension = 8,
    ErrColorspaceCheck = 9,
    ErrBadSignature = 11,
    ErrCorruptionDetected = 12,
    ErrNotSuitable = 13,
};

constexpr size_t MaxErrorText = 1024;            // buffer, so at most 1023 characters
constexpr uint32_t MaxAllocation = 0x20000000;   // 512 MiB

using ErrorHandler = void (*)(EngineContext* ctx, uint32_t code, const char* text);

// A new context with its own plug-in state; `plugins` is an optional chain of
// plug-in records registered into it (a memory plug-in is installed first).
EngineContext* createContext(void* plugins, void* userData);
EngineContext* duplicateContext(EngineContext* ctx, void* userData);
void deleteContext(EngineContext* ctx);
void* contextUserData(EngineContext* ctx);

void setErrorHandler(ErrorHandler handler);                          // global context
void setContextErrorHandler(EngineContext* ctx, ErrorHandler handler);
ErrorHandler errorHandler();                                         // global context; null when silent
ErrorHandler contextErrorHandler(EngineContext* ctx);
void reportError(EngineContext* ctx, uint32_t code, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Memory, through the context's handlers (slot 4).
void* engineAlloc(EngineContext* ctx, size_t size);
void* engineAllocZero(EngineContext* ctx, size_t size);
void engineFree(EngineContext* ctx, void* block);
void* engineRealloc(EngineContext* ctx, void* block, size_t size);
void* engineAllocArray(EngineContext* ctx, size_t count, size_t size);
void* engineDup(EngineContext* ctx, const void* source, size_t size);
void* poolAlloc(EngineContext* ctx, size_t size);

// Mutexes, through the context's handlers (slot 14).
void* createMutex(EngineContext* ctx);
void destroyMutex(EngineContext* ctx, void* mutex);
bool lockMutex(EngineContext* ctx, void* mutex);
void unlockMutex(EngineContext* ctx, void* mutex);

// Gamut alarm codes (slot 2) and default adaptation state (slot 3).
void setAlarmCodes(EngineContext* ctx, const uint16_t codes[16]);
void alarmCodes(EngineContext* ctx, uint16_t codes[16]);
double setAdaptationState(EngineContext* ctx, double state);   // negative: only query

// Plug-in kinds.
constexpr uint32_t PluginMagic = sig("acpp");
constexpr uint32_t PluginMemHandlerSig = sig("memH");
constexpr uint32_t PluginInterpolationSig = sig("inpH");
constexpr uint32_t PluginParametricCurveSig = sig("parH");
constexpr uint32_t PluginFormattersSig = sig("frmH");
constexpr uint32_t PluginTagSig = sig("tagH");
constexpr uint32_t PluginTagTypeSig = sig("typH");
constexpr uint32_t PluginMpeTypeSig = sig("mpeH");
constexpr uint32_t PluginRenderingIntentSig = sig("intH");
constexpr uint32_t PluginOptimizationSig = sig("optH");
constexpr uint32_t PluginTransformSig = sig("zfmH");
constexpr uint32_t PluginMutexSig = sig("mtzH");
constexpr uint32_t PluginParallelizationSig = sig("prlH");

// The common head of every plug-in record.
struct PluginBase {
    uint32_t magic;             // PluginMagic
    uint32_t expectedVersion;   // engine version the plug-in needs
    uint32_t type;              // plug-in kind
    PluginBase* next;           // next record of the chain, or null
};

// 'memH': allocate, free and reallocate are required; the rest fall back to
// defaults built on the plug-in's allocate.
struct PluginMemHandler {
    PluginBase base;
    void* (*alloc)(EngineContext* ctx, size_t size);
    void (*free)(EngineContext* ctx, void* block);
    void* (*realloc)(EngineContext* ctx, void* block, size_t size);
    void* (*allocZero)(EngineContext* ctx, size_t size);
    void* (*allocArray)(EngineContext* ctx, size_t count, size_t size);
    void* (*dup)(EngineContext* ctx, const void* source, size_t size);
};

// 'inpH': asked first when a CLUT or curve sets up its interpolation.
using Interp16Fn = void (*)(const uint16_t in[], uint16_t out[], const InterpParams* p);
using InterpFloatFn = void (*)(const float in[], float out[], const InterpParams* p);
struct InterpFunction {
    Interp16Fn lerp16;          // used for 16-bit tables
    InterpFloatFn lerpFloat;    // used for float tables
};
constexpr uint32_t InterpFlagFloat = 0x1;
constexpr uint32_t InterpFlagTrilinear = 0x100;
// Float tables of three inputs: beyond 0 … 1 the edge cells carry on
// linearly instead of holding their end values.
constexpr uint32_t InterpFlagExtrapolate = 0x200;
using InterpFactory = InterpFunction (*)(uint32_t inputs, uint32_t outputs, uint32_t flags);
struct PluginInterpolation {
    PluginBase base;
    InterpFactory factory;
};

// 'parH': up to 20 parametric curve types with one evaluator for all of them.
constexpr uint32_t MaxTypesInPlugin = 20;
using ParametricCurveEvaluator = double (*)(int32_t type, const double params[10], double x);
struct PluginParametricCurves {
    PluginBase base;
    uint32_t functionCount;
    int32_t functionTypes[MaxTypesInPlugin];
    uint32_t parameterCounts[MaxTypesInPlugin];
    ParametricCurveEvaluator evaluator;
};

// 'frmH': pixel formatters. A 16-bit formatter packs or unpacks one pixel
// between the buffer and 16-bit words and returns the advanced buffer pointer;
// a float formatter does the same with floats.
using Formatter16 = uint8_t* (*)(const Transform* t, uint16_t values[], uint8_t* buffer, uint32_t stride);
using FormatterFloat = uint8_t* (*)(const Transform* t, float values[], uint8_t* buffer, uint32_t stride);
struct Formatter {
    Formatter16 fmt16;
    FormatterFloat fmtFloat;
};
enum FormatterDirection : uint32_t { FormatterInput = 0, FormatterOutput = 1 };
constexpr uint32_t FormatterFlagFloat = 0x1;
using FormatterFactory = Formatter (*)(uint32_t format, FormatterDirection dir, uint32_t flags);
struct PluginFormatters {
    PluginBase base;
    FormatterFactory factory;
};

// 'typH' / 'mpeH': tag type handlers.
struct TagTypeHandler {
    uint32_t signature;
    void* (*read)(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t sizeOfTag);
    bool (*write)(TagTypeHandler* self, IoHandler* io, void* object, uint32_t count);
    void* (*duplicate)(TagTypeHandler* self, const void* object, uint32_t count);
    void (*free)(TagTypeHandler* self, void* object);
    EngineContext* ctx;     // set by the container before each call
    uint32_t iccVersion;    // raw header version of the profile being read or written
};
struct PluginTagType {
    PluginBase base;
    TagTypeHandler handler;
};

// 'tagH': tag descriptors.
constexpr uint32_t MaxTypesInTag = 20;
struct TagDescriptor {
    uint32_t elementCount;
    uint32_t typeCount;
    uint32_t supportedTypes[MaxTypesInTag];
    uint32_t (*decideType)(double iccVersion, const void* object);
};
struct PluginTag {
    PluginBase base;
    uint32_t signature;
    TagDescriptor descriptor;
};

// 'intH': rendering intents with their linker.
using IntentLinker = Pipeline* (*)(EngineContext* ctx, uint32_t count, const uint32_t intents[],
                                   IccProfile* const profiles[], const bool bpc[],
                                   const double adaptationStates[], uint32_t flags);
struct PluginRenderingIntent {
    PluginBase base;
    uint32_t intent;
    IntentLinker link;
    char description[256];
};

// 'optH': pipeline optimisations, tried before the built-in ones.
using OptimizationFn = bool (*)(Pipeline** pipeline, uint32_t intent, uint32_t* inputFormat,
                                uint32_t* outputFormat, uint32_t* flags);
struct PluginOptimization {
    PluginBase base;
    OptimizationFn optimize;
};

// The stride record a transform call carries.
struct Stride {
    uint32_t bytesPerLineIn;
    uint32_t bytesPerLineOut;
    uint32_t bytesPerPlaneIn;
    uint32_t bytesPerPlaneOut;
};

// The function that transforms a block of lines: the transform's worker and
// the scheduler that may split a call among threads share this shape.
using TransformWorker = void (*)(Transform* t, const void* in, void* out, uint32_t pixelsPerLine,
                                 uint32_t lineCount, const Stride* stride);

// 'zfmH': whole-transform workers.
using FreeUserDataFn = void (*)(EngineContext* ctx, void* data);
using TransformFactory = bool (*)(TransformWorker* worker, void** userData, FreeUserDataFn* freeUserData,
                                  Pipeline** pipeline, uint32_t* inputFormat, uint32_t* outputFormat,
                                  uint32_t* flags);
struct PluginTransform {
    PluginBase base;
    TransformFactory factory;
};

// 'mtzH': mutex handlers.
struct PluginMutex {
    PluginBase base;
    void* (*create)(EngineContext* ctx);
    void (*destroy)(EngineContext* ctx, void* mutex);
    bool (*lock)(EngineContext* ctx, void* mutex);
    void (*unlock)(EngineContext* ctx, void* mutex);
};

// 'prlH': the worker scheduler.
struct PluginParallelization {
    PluginBase base;
    int32_t maxWorkers;       // -1: as many as processors
    uint32_t workerFlags;
    TransformWorker scheduler;
};

bool registerPlugins(EngineContext* ctx, void* firstRecord);
bool registerPluginsGlobal(void* firstRecord);
void unregisterPlugins(EngineContext* ctx);

// The default scheduler: splits one call over worker threads (see oslworkers).
void runWorkers(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                const Stride* stride);

// ---------------------------------------------------------------------------
// Colour-space arithmetic
// ---------------------------------------------------------------------------

// 3×3 matrices are row-major.
struct Mat3 { double m[9]; };
struct Vec3 { double v[3]; };

constexpr CieXyz D50{0.9642, 1.0, 0.8249};

CieXyz xyYToXyz(const CieXyY& xyY);                       // y == 0 gives black
CieXyY xyzToXyY(const CieXyz& xyz);                       // black gives D50's x, y with Y = 0
CieXyz labToXyz(const CieXyz* white, const CieLab& lab);   // white null: D50
CieLab xyzToLab(const CieXyz* white, const CieXyz& xyz);
CieLch labToLch(const CieLab& lab);
CieLab lchToLab(const CieLch& lch);

void labToLab16(const CieLab& lab, uint16_t out[3]);        // version-4 encoding
void labToLab16V2(const CieLab& lab, uint16_t out[3]);      // version-2 encoding
CieLab lab16ToLab(const uint16_t in[3]);
CieLab lab16V2ToLab(const uint16_t in[3]);
void xyzToXyz16(const CieXyz& xyz, uint16_t out[3]);
CieXyz xyz16ToXyz(const uint16_t in[3]);
double deltaE76(const CieLab& a, const CieLab& b);

// Daylight white (Y = 1) for 4000 K to 25000 K, and the correlated colour
// temperature of a white by Robertson's isotemperature lines (1667 K and up).
bool whitePointFromTemp(CieXyY* white, double kelvin);
bool tempFromWhitePoint(double* kelvin, const CieXyY& white);
// The XYZ-to-XYZ matrix that adapts colours seen under sourceWhite to destWhite.
bool bradfordAdaptation(Mat3* result, const CieXyz& sourceWhite, const CieXyz& destWhite);
// The RGB-to-XYZ matrix of primaries under white, adapted to D50.
bool primariesToXyz(Mat3* result, const CieXyY& white, const CieXyY primaries[3]);
// Moves a*, b* onto the box along their hue line; L is limited to 0..100. A
// negative L gives black and false.
bool clampLabToBox(CieLab* lab, double aMax, double aMin, double bMax, double bMin);

Mat3 identity3x3();
bool invert3x3(const Mat3& a, Mat3* inverse);          // fails when |det| < 1e-4
bool solve3x3(const Mat3& a, const Vec3& b, Vec3* x);      // a·x = b
Mat3 multiply3x3(const Mat3& a, const Mat3& b);            // a·b
Vec3 apply3x3(const Mat3& a, const Vec3& v);               // a·v
bool isIdentity3x3(const Mat3& a);                     // every element within 1/65535

// ---------------------------------------------------------------------------
// I/O handlers and profile container
// ---------------------------------------------------------------------------

// --- I/O handlers: byte streams over a file, a memory block or a counting sink.

constexpr uint32_t MaxPathLength = 256;   // file names are kept to 255 characters

// mode: "r" or "w", optionally with "e" (close-on-exec) added to the C mode.
IoHandler* openFileHandler(EngineContext* ctx, const char* fileName, const char* mode);
// A reader or writer over an open C stream; closing the handler closes the stream.
IoHandler* openStreamHandler(EngineContext* ctx, FILE* stream);
// mode "r": reads a private copy of block; mode "w": writes into the caller's
// block (never freed by the engine) and cuts writes at its end.
IoHandler* openMemoryHandler(EngineContext* ctx, void* block, uint32_t size, const char* mode);
// Counts what is written and stores nothing.
IoHandler* openNullHandler(EngineContext* ctx);
bool closeIoHandler(IoHandler* io);

uint32_t ioRead(IoHandler* io, void* buffer, uint32_t size, uint32_t count);   // elements read
bool ioSeek(IoHandler* io, uint32_t offset);                                    // from the start
uint32_t ioTell(IoHandler* io);
bool ioWrite(IoHandler* io, uint32_t size, const void* data);
uint32_t ioUsedSpace(const IoHandler* io);      // highest byte written so far
uint32_t ioReportedSize(const IoHandler* io);   // size of the data being read (0 for writers)
EngineContext* ioContext(const IoHandler* io);
const char* ioFileName(const IoHandler* io);    // empty unless opened by name

// --- Big-endian primitives of the ICC format. Each returns success; a read
// with a null destination still consumes the bytes.

bool readUInt8(IoHandler* io, uint8_t* n);
bool readUInt16(IoHandler* io, uint16_t* n);
bool readUInt16Array(IoHandler* io, uint32_t count, uint16_t* array);
bool readUInt32(IoHandler* io, uint32_t* n);
bool readUInt64(IoHandler* io, uint64_t* n);
bool readFloat32(IoHandler* io, float* n);         // refuses |n| > 1e20, NaN, infinities, subnormals
bool readS15Fixed16(IoHandler* io, double* n);
bool readXyzNumber(IoHandler* io, CieXyz* xyz);
bool readU8Fixed8(IoHandler* io, double* n);
bool readTypeBase(IoHandler* io, uint32_t* type);   // the 4 reserved bytes are skipped
bool readAlignment(IoHandler* io);                  // skips to the next multiple of 4 from tell()
bool readDateTimeNumber(IoHandler* io, std::tm* time);

bool writeUInt8(IoHandler* io, uint8_t n);
bool writeUInt16(IoHandler* io, uint16_t n);
bool writeUInt16Array(IoHandler* io, uint32_t count, const uint16_t* array);
bool writeUInt32(IoHandler* io, uint32_t n);
bool writeUInt64(IoHandler* io, uint64_t n);
bool writeFloat32(IoHandler* io, double n);         // refuses what readFloat32 would refuse
bool writeS15Fixed16(IoHandler* io, double n);
bool writeXyzNumber(IoHandler* io, const CieXyz& xyz);
bool writeU8Fixed8(IoHandler* io, double n);
bool writeTypeBase(IoHandler* io, uint32_t type);
bool writeAlignment(IoHandler* io);                 // zero bytes up to a multiple of 4 of used space
bool writeDateTimeNumber(IoHandler* io, const std::tm& time);

// Fixed-point conversions; out-of-range values saturate, NaN gives 0.
int32_t doubleToS15Fixed16(double v);               // floor(v·65536 + 0.5)
double s15Fixed16ToDouble(int32_t n);
uint16_t doubleToU8Fixed8(double v);                // floor(v·65536 + 0.5) >> 8
double u8Fixed8ToDouble(uint16_t n);

// --- The profile container.

constexpr uint32_t MaxTags = 100;
constexpr uint32_t MagicNumber = sig("acsp");

// Header signatures.
constexpr uint32_t ClassInput = sig("scnr");
constexpr uint32_t ClassDisplay = sig("mntr");
constexpr uint32_t ClassOutput = sig("prtr");
constexpr uint32_t ClassLink = sig("link");
constexpr uint32_t ClassColorSpace = sig("spac");
constexpr uint32_t ClassAbstract = sig("abst");
constexpr uint32_t ClassNamedColor = sig("nmcl");
constexpr uint32_t SpaceXyz = sig("XYZ ");
constexpr uint32_t SpaceLab = sig("Lab ");
constexpr uint32_t SpaceRgb = sig("RGB ");
constexpr uint32_t SpaceGray = sig("GRAY");
constexpr uint32_t SpaceCmyk = sig("CMYK");
constexpr uint32_t PlatformMicrosoft = sig("MSFT");
constexpr uint32_t EngineCreator = sig("ostl");   // CMM type and creator of new profiles

// A blank profile: version 2.1, display class, created now (UTC).
IccProfile* createBlankProfile(EngineContext* ctx);
// Open for reading ("r"). Mode "w" gives a blank profile that is written to
// the file or stream when it is closed. The profile owns the stream from the
// call on: it is closed with the profile, or at once when the open fails.
IccProfile* openFromFile(EngineContext* ctx, const char* fileName, const char* mode);
IccProfile* openFromStream(FILE* stream, const char* mode);
IccProfile* openFromStreamContext(EngineContext* ctx, FILE* stream, const char* mode);
IccProfile* openFromMemory(const void* block, uint32_t size);
IccProfile* openFromMemoryContext(EngineContext* ctx, const void* block, uint32_t size);
// Reads the profile from an open handler, which the profile then owns (it is
// closed with the profile, or at once when the open fails).
IccProfile* openFromHandler(EngineContext* ctx, IoHandler* io);
bool closeProfile(IccProfile* profile);

// block == nullptr: *bytes gets the size. Otherwise *bytes is the size of the
// block; a block too small for the profile fails (and *bytes gets the size
// needed) without writing past its end.
bool saveToMemory(IccProfile* profile, void* block, uint32_t* bytes);
// The stream stays open and belongs to the caller.
bool saveToStream(IccProfile* profile, FILE* stream);
bool saveToFile(IccProfile* profile, const char* fileName);
// Bytes of the profile, 0 on failure; io == nullptr only measures.
// Every saved profile carries its profile ID, computed as it is written.
uint32_t saveToHandler(IccProfile* profile, IoHandler* io);

// MD5 (RFC 1321) of a block of bytes.
void md5Digest(const void* data, size_t size, uint8_t digest[16]);
// The ICC profile ID of a serialised profile: the MD5 of its bytes with the
// header's profile flags, rendering intent and profile ID taken as zeros.
// False for fewer than 128 bytes.
bool computeProfileId(const void* profile, uint32_t size, uint8_t id[16]);

// Header fields.
EngineContext* profileContext(const IccProfile* profile);
uint32_t profileDeviceClass(const IccProfile* profile);
void setProfileDeviceClass(IccProfile* profile, uint32_t deviceClass);
uint32_t profileColorSpace(const IccProfile* profile);
void setProfileColorSpace(IccProfile* profile, uint32_t space);
uint32_t profilePcs(const IccProfile* profile);
void setProfilePcs(IccProfile* profile, uint32_t pcs);
uint32_t profileRenderingIntent(const IccProfile* profile);
void setProfileRenderingIntent(IccProfile* profile, uint32_t intent);
uint32_t profileVersion(const IccProfile* profile);                 // raw ICC encoding
void setProfileVersion(IccProfile* profile, uint32_t version);
uint32_t profileFlags(const IccProfile* profile);
void setProfileFlags(IccProfile* profile, uint32_t flags);
uint32_t profileManufacturer(const IccProfile* profile);
void setProfileManufacturer(IccProfile* profile, uint32_t manufacturer);
uint32_t profileModel(const IccProfile* profile);
void setProfileModel(IccProfile* profile, uint32_t model);
uint32_t profileCreator(const IccProfile* profile);
void setProfileCreator(IccProfile* profile, uint32_t creator);
uint32_t profileCmmType(const IccProfile* profile);
void setProfileCmmType(IccProfile* profile, uint32_t cmm);
uint32_t profilePlatform(const IccProfile* profile);
void setProfilePlatform(IccProfile* profile, uint32_t platform);
uint64_t profileAttributes(const IccProfile* profile);
void setProfileAttributes(IccProfile* profile, uint64_t attributes);
void profileId(const IccProfile* profile, uint8_t id[16]);
void setProfileId(IccProfile* profile, const uint8_t id[16]);
std::tm profileCreationDate(const IccProfile* profile);           // broken-down UTC
void setProfileCreationDate(IccProfile* profile, const std::tm& date);

// 0x04300000 gives 4.3; setVersionFromNumber(4.3) sets 0x04300000.
double versionAsNumber(const IccProfile* profile);
void setVersionFromNumber(IccProfile* profile, double version);

// The tag directory.
bool hasTag(const IccProfile* profile, uint32_t sig);
uint32_t tagCount(const IccProfile* profile);
uint32_t tagSignatureAt(const IccProfile* profile, uint32_t index);   // 0 past the end
// The decoded tag, owned by the profile (never freed by the caller), or null.
void* loadTag(IccProfile* profile, uint32_t sig);
// Stores a copy of object; a null object removes the tag.
bool storeTag(IccProfile* profile, uint32_t sig, const void* object);
// Makes sig share the data of target.
bool aliasTag(IccProfile* profile, uint32_t sig, uint32_t target);
// The tag sig is linked to (shares the data of), or 0 when it is not linked.
uint32_t tagLinkTarget(IccProfile* profile, uint32_t sig);
// The type signature of the handler that decoded or will encode the tag sig
// points at (following links), or 0.
uint32_t linkedTypeOf(IccProfile* profile, uint32_t sig);

// Text of 'desc' (0), 'dmnd' (1), 'dmdd' (2) or 'cprt' (3) for the language
// and country (two-letter codes). Returns the elements needed including the
// terminator when buffer is null, else the elements written (cut to size);
// 0 when there is no text.
enum ProfileInfo : uint32_t { InfoDescription = 0, InfoManufacturer = 1, InfoModel = 2, InfoCopyright = 3 };
uint32_t profileText(IccProfile* profile, uint32_t which, const char* language, const char* country,
                     wchar_t* buffer, uint32_t size);
uint32_t profileTextUtf8(IccProfile* profile, uint32_t which, const char* language, const char* country,
                         char* buffer, uint32_t size);

// ---------------------------------------------------------------------------
// Tag types
// ---------------------------------------------------------------------------

// Tags are read and written through loadTag and storeTag; the objects they
// carry are the engine's curves and pipelines, LocalizedText, and the records
// below. A tag object loaded from a profile belongs to the profile.

// --- LocalizedText: UTF-16 texts keyed by language and country, two-letter
// codes ("en", "US"); null or "" is the empty code. "\xff\xff" names the
// Unicode entry of a version-2 'desc' tag. Lookup takes the entry with both
// codes, else the first entry with the language, else the first entry.

LocalizedText* newLocalizedText(EngineContext* ctx, uint32_t expectedEntries);
void freeLocalizedText(LocalizedText* text);
LocalizedText* duplicateLocalizedText(const LocalizedText* text);
// Adds an entry; a language and country already present are refused. 8-bit
// text widens each byte as a signed value, so only ASCII round-trips.
bool setText8(LocalizedText* text, const char* language, const char* country, const char* string);
bool setTextUtf8(LocalizedText* text, const char* language, const char* country, const char* string);
bool setTextWide(LocalizedText* text, const char* language, const char* country, const wchar_t* string);
// The text for the codes. A null buffer asks for the elements needed, a
// buffer gets the text cut to its size; both count the terminator; 0 means no
// text. getText8 turns code units of 255 and above into '?'.
uint32_t getText8(const LocalizedText* text, const char* language, const char* country, char* buffer,
                  uint32_t size);
uint32_t getTextUtf8(const LocalizedText* text, const char* language, const char* country, char* buffer,
                     uint32_t size);
uint32_t getTextWide(const LocalizedText* text, const char* language, const char* country, wchar_t* buffer,
                     uint32_t size);
uint32_t localizedTextEntryCount(const LocalizedText* text);
// The codes of entry index as two-character strings ("" for the empty code).
bool localizedTextEntryCodes(const LocalizedText* text, uint32_t index, char language[3], char country[3]);

// --- Named colours ('ncl2') and colorant tables ('clrt', 'clot': a list
// without device coordinates). Names, prefix and suffix hold up to 32
// characters; PCS values are 16-bit encoded, device values 16-bit.

constexpr uint32_t MaxDeviceCoordinates = 16;
constexpr uint32_t MaxNamedColors = 65536;
constexpr uint32_t NamedColorNameLength = 32;
constexpr uint32_t StageNamedColorKind = sig("ncl ");

struct NamedColorList;
NamedColorList* newNamedColorList(EngineContext* ctx, uint32_t expected, uint32_t deviceCoordinates,
                                  const char* prefix, const char* suffix);
void freeNamedColorList(NamedColorList* list);
NamedColorList* duplicateNamedColorList(const NamedColorList* list);
// device may be null (zeros); a name longer than 32 characters is cut.
bool appendNamedColor(NamedColorList* list, const char* name, const uint16_t pcs[3], const uint16_t device[]);
uint32_t namedColorCount(const NamedColorList* list);
uint32_t namedColorDeviceCoordinates(const NamedColorList* list);
// Any out-parameter may be null; strings get up to 32 characters and a NUL.
bool namedColorInfo(const NamedColorList* list, uint32_t index, char name[33], char prefix[33], char suffix[33],
                    uint16_t pcs[3], uint16_t device[]);
int32_t namedColorIndex(const NamedColorList* list, const char* name);   // -1 when absent
// One input (the colour index as index/65535) to the PCS triple or to the
// device coordinates of the list, each as value/65535.
Stage* newNamedColorStage(const NamedColorList* list, bool toPcs);

// --- Profile sequences ('pseq' descriptions, 'psid' identifiers). The texts
// are owned by the sequence; null ones are written empty.

struct ProfileSequenceItem {
    uint8_t profileId[16];
    uint32_t manufacturer;
    uint32_t model;
    uint64_t attributes;
    uint32_t technology;
    LocalizedText* manufacturerText;
    LocalizedText* modelText;
    LocalizedText* description;
};
struct ProfileSequence {
    EngineContext* ctx;
    uint32_t count;
    ProfileSequenceItem* items;
};
ProfileSequence* newProfileSequence(EngineContext* ctx, uint32_t count);   // zeroed items
void freeProfileSequence(ProfileSequence* sequence);
ProfileSequence* duplicateProfileSequence(const ProfileSequence* sequence);

// --- Dictionaries ('dict'): name/value pairs in order, each with an optional
// localised display name and display value.

struct DictEntry {
    const DictEntry* next;
    wchar_t* name;
    wchar_t* value;                  // null: no value
    LocalizedText* displayName;      // null: none
    LocalizedText* displayValue;     // null: none
};
struct IccDictionary;
IccDictionary* newDictionary(EngineContext* ctx);
void freeDictionary(IccDictionary* dict);
IccDictionary* duplicateDictionary(const IccDictionary* dict);
// Appends copies; name is required.
bool addDictionaryEntry(IccDictionary* dict, const wchar_t* name, const wchar_t* value,
                        const LocalizedText* displayName, const LocalizedText* displayValue);
const DictEntry* dictionaryEntries(const IccDictionary* dict);

// --- Plain records; storeTag copies them.

struct Chromaticities {          // 'chrm': x, y of three colorants (Y unused)
    uint16_t colorantType;       // ICC code of a predefined set, 0 for none
    CieXyY red, green, blue;
};
struct ColorantOrder {           // 'clro'
    uint32_t count;              // at most 16
    uint8_t order[MaxDeviceCoordinates];
};
struct IccMeasurement {          // 'meas'
    uint32_t observer;
    CieXyz backing;
    uint32_t geometry;
    double flare;
    uint32_t illuminantType;
};
struct IccViewingConditions {    // 'view'
    CieXyz illuminant;
    CieXyz surround;
    uint32_t illuminantType;
};
struct IccScreeningChannel {
    double frequency;
    double angle;
    uint32_t spotShape;
};
struct IccScreening {            // 'scrn'
    uint32_t flags;
    uint32_t channels;           // at most 16
    IccScreeningChannel channel[MaxDeviceCoordinates];
};
struct VideoSignalType {         // 'cicp'
    uint8_t colourPrimaries;
    uint8_t transferCharacteristics;
    uint8_t matrixCoefficients;
    uint8_t videoFullRangeFlag;
};
struct IccData {                 // 'data': flag 0 ASCII, 1 binary
    uint32_t flag;
    uint32_t length;
    uint8_t* bytes;
};
struct UcrBg {                   // 'bfd ': either curve may be null
    ToneCurve* ucr;
    ToneCurve* bg;
    LocalizedText* description;
};
struct VideoCardGamma {          // 'vcgt': red, green, blue
    ToneCurve* curves[3];
};
struct Mhc2 {                    // 'MHC2': display calibration
    uint32_t entryCount;         // values in each curve
    double minLuminance;
    double peakLuminance;
    double matrix[12];           // 3×4, row-major
    double* red;
    double* green;
    double* blue;
};
// Arrays: 'sf32' and 'uf32' tags hold double arrays ('chad' and 'arts' nine
// values); 'sig ' tags a uint32_t; 'dtim' and 'calt' a std::tm; 'crdi' a
// LocalizedText with language "PS" and countries "nm" (product) and "#0" to
// "#3" (the CRD of each rendering intent).

// ---------------------------------------------------------------------------
// Tone curves
// ---------------------------------------------------------------------------

// The ends of the real line as curves store them (1e22 in single precision).
constexpr float PlusInfinity = 1e22f;
constexpr float MinusInfinity = -1e22f;
constexpr uint32_t MaxCurveEntries = 65530;      // 16-bit table entries of a curve
constexpr uint32_t MaxSmoothEntries = 4096;      // largest table smoothCurve accepts

// One piece of a curve, covering x0 < x <= x1: a parametric formula (type != 0,
// negative for the inverse) or `sampleCount` samples spread evenly over the
// piece (type 0).
struct CurveSegment {
    float x0, x1;
    int32_t type;
    double params[10];
    uint32_t sampleCount;
    float* samples;
};

// Constructors copy what they are given; every curve also carries a 16-bit
// table (2 entries for a plain gamma of about 1, else 4096). They return null,
// after reporting why, when they refuse.
ToneCurve* buildSegmentedCurve(EngineContext* ctx, uint32_t segmentCount, const CurveSegment segments[]);
ToneCurve* buildParametricCurve(EngineContext* ctx, int32_t type, const double params[]);
ToneCurve* buildGammaCurve(EngineContext* ctx, double exponent);
ToneCurve* buildTabulatedCurve16(EngineContext* ctx, uint32_t entries, const uint16_t values[]);   // values null: zeros
ToneCurve* buildTabulatedCurveFloat(EngineContext* ctx, uint32_t count, const float values[]);
ToneCurve* duplicateCurve(const ToneCurve* curve);
void freeCurve(ToneCurve* curve);
void freeCurveTriple(ToneCurve* curves[3]);   // each may be null; the slots are cleared

// Y⁻¹(X(t)) tabulated in float over `points` samples.
ToneCurve* joinCurves(EngineContext* ctx, const ToneCurve* x, const ToneCurve* y, uint32_t points);
ToneCurve* reverseCurve(const ToneCurve* curve);                       // 4096 entries
ToneCurve* reverseCurveWith(uint32_t entries, const ToneCurve* curve);
// Whittaker smoothing of the 16-bit table; a negative lambda keeps the result
// even when the monotonicity and degeneracy checks fail (they still report).
bool smoothCurve(ToneCurve* curve, double lambda);

float evalCurveFloat(const ToneCurve* curve, float x);
uint16_t evalCurve16(const ToneCurve* curve, uint16_t v);
// The curve carried on past 0 … 1 instead of held at its ends: a
// one-segment parametric curve by its own formula above 1 and point-symmetric
// about its value at 0 below 0 (so that a power law keeps its shape on
// negative values); any other curve along its first and last table
// intervals. Inside 0 … 1 the same as evalCurveFloat.
double evalCurveUnbounded(const ToneCurve* curve, double x);

int32_t parametricTypeOf(const ToneCurve* curve);   // type of a one-segment curve, else 0
bool isLinear(const ToneCurve* curve);
bool isMonotonic(const ToneCurve* curve);
bool isDescending(const ToneCurve* curve);
uint32_t tableEntryCount(const ToneCurve* curve);
const uint16_t* tableEntries(const ToneCurve* curve);
double estimateGamma(const ToneCurve* curve, double precision);   // -1 when not a gamma
uint32_t curveSegmentCount(const ToneCurve* curve);
const CurveSegment* curveSegment(const ToneCurve* curve, uint32_t index);   // null past the end
EngineContext* curveContext(const ToneCurve* curve);
// Parameters of a parametric type (plug-in types first), 0 when not registered.
uint32_t parametricParameterCount(EngineContext* ctx, int32_t type);

// ---------------------------------------------------------------------------
// Pipelines, stages and colour look-up tables
// ---------------------------------------------------------------------------

constexpr uint32_t MaxClutInputs = 15;           // inputs of a CLUT and of interpolation
constexpr uint32_t MaxStageChannels = 128;       // channels of a stage (pipeline buffers)
constexpr uint32_t MaxPipelineChannels = 16;     // a new pipeline's counts stay below this
constexpr uint32_t MaxGridProduct = 286331154;   // grid products must stay below this
constexpr uint32_t SamplerInspect = 0x1000000;   // sampleClut16 flag: leave the table as it is

// Stage kinds. Curves, matrix and CLUT are the ICC element signatures; the
// others are the engine's own. A stage also records the kind it implements
// (a matrix may implement a Lab normalisation), which the optimiser matches.
constexpr uint32_t StageCurvesKind = sig("cvst");
constexpr uint32_t StageMatrixKind = sig("matf");
constexpr uint32_t StageClutKind = sig("clut");
constexpr uint32_t StageIdentityKind = sig("idn ");
constexpr uint32_t StageClipNegativesKind = sig("clp ");
constexpr uint32_t StageLabToXyzKind = sig("l2x ");
constexpr uint32_t StageXyzToLabKind = sig("x2l ");
constexpr uint32_t StageLabV2ToV4Kind = sig("2 4 ");
constexpr uint32_t StageLabV4ToV2Kind = sig("4 2 ");
constexpr uint32_t StageLabToNormalisedKind = sig("l2n ");
constexpr uint32_t StageNormalisedToLabKind = sig("n2l ");
constexpr uint32_t StageXyzToNormalisedKind = sig("x2n ");
constexpr uint32_t StageNormalisedToXyzKind = sig("n2x ");

// Interpolation over a regular grid. The node for grid indices (k1 … kn)
// starts at Σ ki × strides[i]; the last input varies fastest and the outputs
// of a node are contiguous. 'inpH' plug-ins read this record.
struct InterpParams {
    EngineContext* ctx;
    uint32_t flags;                        // InterpFlagFloat, InterpFlagTrilinear, InterpFlagExtrapolate
    uint32_t inputs;
    uint32_t outputs;
    uint32_t gridPoints[MaxClutInputs];
    uint32_t domain[MaxClutInputs];        // gridPoints - 1
    uint32_t strides[MaxClutInputs];       // in table elements
    const void* table;                     // uint16_t or float, not owned
    InterpFunction routine;
};

// Stages: input floats to output floats. Kind-specific data are owned by the
// stage and copied and released through the two data functions.
using StageEvalFn = void (*)(const float in[], float out[], const Stage* stage);
using StageDupDataFn = void* (*)(EngineContext* ctx, const void* data);
using StageFreeDataFn = void (*)(EngineContext* ctx, void* data);

// A stage of any kind (plug-in elements, named colours). On failure the data
// stay the caller's.
Stage* newStage(EngineContext* ctx, uint32_t kind, uint32_t inputs, uint32_t outputs, StageEvalFn eval,
                StageDupDataFn dupData, StageFreeDataFn freeData, void* data);
Stage* newCurvesStage(EngineContext* ctx, uint32_t count, const ToneCurve* const curves[]);   // null: identities
Stage* newMatrixStage(EngineContext* ctx, uint32_t rows, uint32_t columns, const double matrix[],
                      const double offsets[]);
Stage* newClut16Stage(EngineContext* ctx, const uint32_t gridPoints[], uint32_t inputs, uint32_t outputs,
                      const uint16_t table[]);
Stage* newClut16StageUniform(EngineContext* ctx, uint32_t gridPoints, uint32_t inputs, uint32_t outputs,
                             const uint16_t table[]);
Stage* newClutFloatStage(EngineContext* ctx, const uint32_t gridPoints[], uint32_t inputs, uint32_t outputs,
                         const float table[]);
Stage* newClutFloatStageUniform(EngineContext* ctx, uint32_t gridPoints, uint32_t inputs, uint32_t outputs,
                                const float table[]);
Stage* newIdentityStage(EngineContext* ctx, uint32_t channels);
Stage* newIdentityClutStage(EngineContext* ctx, uint32_t channels);
Stage* newClipNegativesStage(EngineContext* ctx, uint32_t channels);
Stage* newLabToXyzStage(EngineContext* ctx);
Stage* newXyzToLabStage(EngineContext* ctx);
Stage* newLabV2ToV4Stage(EngineContext* ctx);
Stage* newLabV4ToV2Stage(EngineContext* ctx);
Stage* newLabV2ToV4CurvesStage(EngineContext* ctx);
Stage* newLabToNormalisedStage(EngineContext* ctx);
Stage* newNormalisedToLabStage(EngineContext* ctx);
Stage* newXyzToNormalisedStage(EngineContext* ctx);
Stage* newNormalisedToXyzStage(EngineContext* ctx);
Stage* duplicateStage(const Stage* stage);
void freeStage(Stage* stage);

uint32_t stageKind(const Stage* stage);
uint32_t stageImplementedKind(const Stage* stage);
uint32_t stageInputs(const Stage* stage);
uint32_t stageOutputs(const Stage* stage);
void* stageData(const Stage* stage);
Stage* stageNext(const Stage* stage);
EngineContext* stageContext(const Stage* stage);
void evalStageFloat(const Stage* stage, const float in[], float out[]);
// Kind-specific views; null (or 0) when the stage is of another kind.
ToneCurve* const* stageCurves(const Stage* stage);          // stageInputs() curves
const double* stageMatrix(const Stage* stage);              // rows = outputs, columns = inputs
const double* stageOffsets(const Stage* stage);             // null when the matrix has none
bool clutIsFloat(const Stage* stage);
const uint32_t* clutGridPoints(const Stage* stage);         // one per input
uint32_t clutEntryCount(const Stage* stage);                // grid product × outputs
uint16_t* clutTable16(const Stage* stage);
float* clutTableFloat(const Stage* stage);
const InterpParams* clutInterpParams(const Stage* stage);

// Pipelines. Evaluation functions may be replaced by the optimiser, which then
// owns private data released with the pipeline; the functions receive that
// data.
using PipelineEval16Fn = void (*)(const uint16_t in[], uint16_t out[], const void* data);
using PipelineEvalFloatFn = void (*)(const float in[], float out[], const void* data);
using DupUserDataFn = void* (*)(EngineContext* ctx, const void* data);
enum StagePlace : uint32_t { AtBegin = 0, AtEnd = 1 };

Pipeline* newPipeline(EngineContext* ctx, uint32_t inputs, uint32_t outputs);
Pipeline* duplicatePipeline(const Pipeline* pipeline);
void freePipeline(Pipeline* pipeline);
// Takes the stage (even when the channel check then fails); a place other than
// AtBegin or AtEnd refuses it and leaves it to the caller.
bool insertStage(Pipeline* pipeline, uint32_t where, Stage* stage);
bool unlinkStage(Pipeline* pipeline, uint32_t where, Stage** stage);   // stage null: freed
bool appendPipeline(Pipeline* first, const Pipeline* second);
bool matchStageKinds(const Pipeline* pipeline, uint32_t count, const uint32_t kinds[], Stage* stages[]);

void evalPipeline16(const uint16_t in[], uint16_t out[], const Pipeline* pipeline);
void evalPipelineFloat(const float in[], float out[], const Pipeline* pipeline);
// Finds the input that gives target[0..2] (target[3] holds a fourth input
// fixed); pipelines of 3 or 4 inputs and 3 outputs only.
bool reverseEvalFloat(const float target[4], float result[4], const float hint[4], const Pipeline* pipeline);

uint32_t pipelineInputs(const Pipeline* pipeline);
uint32_t pipelineOutputs(const Pipeline* pipeline);
uint32_t pipelineStageCount(const Pipeline* pipeline);
Stage* pipelineFirstStage(const Pipeline* pipeline);
Stage* pipelineLastStage(const Pipeline* pipeline);
EngineContext* pipelineContext(const Pipeline* pipeline);
void setPipelineSaveAs8Bits(Pipeline* pipeline, bool on);
bool pipelineSaveAs8Bits(const Pipeline* pipeline);
// Whether the pipeline's Lab ends (the Lab sides of a table whose profile
// connects through Lab) carry Lab in the version-2 16-bit encoding rather
// than the version-4 one. 'mft2' tables read from a file do; a table is
// re-encoded when it is written in a type of the other encoding.
void setPipelineLabV2(Pipeline* pipeline, bool on);
bool pipelineLabV2(const Pipeline* pipeline);
// A copy of the pipeline in the other Lab encoding (toV2: version-2) on the
// ends marked Lab: the copy gives for each colour what the original gives
// for the same colour. Curves at those ends absorb the change, or new curves
// are added. Null on failure.
Pipeline* reencodeLabPipeline(const Pipeline* pipeline, bool inputLab, bool outputLab, bool toV2);
// Which ends of a table tag are Lab in the profile (tags without Lab ends
// give false for both).
void tableLabEnds(const IccProfile* profile, uint32_t tag, bool* inputLab, bool* outputLab);
// Installs evaluators (null keeps the default of that precision) with their
// private data; data replaced by other data is released first.
void setPipelineEvaluators(Pipeline* pipeline, PipelineEval16Fn eval16, PipelineEvalFloatFn evalFloat, void* data,
                           FreeUserDataFn freeData, DupUserDataFn dupData);
void* pipelineEvaluatorData(const Pipeline* pipeline);

// CLUT sampling: the callback gets the node's coordinates and its current
// outputs, which it may change; false stops the walk.
using Sampler16Fn = bool (*)(const uint16_t in[], uint16_t out[], void* cargo);
using SamplerFloatFn = bool (*)(const float in[], float out[], void* cargo);
bool sampleClut16(Stage* clut, Sampler16Fn sampler, void* cargo, uint32_t flags);
bool sampleClutFloat(Stage* clut, SamplerFloatFn sampler, void* cargo, uint32_t flags);
// The same node coordinates without a table; `out` is a scratch buffer.
bool sliceSpace16(uint32_t inputs, const uint32_t gridPoints[], Sampler16Fn sampler, void* cargo);

// ---------------------------------------------------------------------------
// Transforms and pixel formats
// ---------------------------------------------------------------------------

// PixelFormat word fields.
constexpr uint32_t formatBytes(uint32_t f) { return f & 7; }               // 0 means 8 (double)
constexpr uint32_t formatChannels(uint32_t f) { return (f >> 3) & 15; }
constexpr uint32_t formatExtra(uint32_t f) { return (f >> 7) & 7; }
constexpr bool formatReversed(uint32_t f) { return (f >> 10) & 1; }
constexpr bool formatSwapped16(uint32_t f) { return (f >> 11) & 1; }
constexpr bool formatPlanar(uint32_t f) { return (f >> 12) & 1; }
constexpr bool formatInverted(uint32_t f) { return (f >> 13) & 1; }
constexpr bool formatSwapFirst(uint32_t f) { return (f >> 14) & 1; }
constexpr uint32_t formatColorSpace(uint32_t f) { return (f >> 16) & 31; }
constexpr bool formatFloat(uint32_t f) { return (f >> 22) & 1; }

// Bits of the PixelFormat word.
constexpr uint32_t PixelReversed = 1u << 10;     // channel order reversed
constexpr uint32_t PixelSwapped16 = 1u << 11;    // 16-bit samples byte-swapped (big-endian)
constexpr uint32_t PixelPlanar = 1u << 12;       // one plane per channel
constexpr uint32_t PixelInverted = 1u << 13;     // minimum is white: samples used as complements
constexpr uint32_t PixelSwapFirst = 1u << 14;    // first channel moved to the end (after the reversal)
constexpr uint32_t PixelFloat = 1u << 22;        // floating-point samples (2 bytes: half float)

// Colour space codes of the PixelFormat word.
enum PixelSpace : uint32_t {
    PixelAny = 0,
    PixelGray = 3,
    PixelRgb = 4,
    PixelCmy = 5,
    PixelCmyk = 6,
    PixelYCbCr = 7,
    PixelLuv = 8,
    PixelXyz = 9,
    PixelLab = 10,
    PixelHsv = 12,
    PixelHls = 13,
    PixelYxy = 14,
    PixelMch1 = 15,   // n-colour spaces: PixelMch1 + n - 1 for n = 1 … 15
    PixelLabV2 = 30,  // Lab in the version-2 16-bit encoding
};

constexpr uint32_t pixelFormat(uint32_t space, uint32_t channels, uint32_t bytes, uint32_t extra = 0,
                               uint32_t flags = 0)
{
    return (space << 16) | (channels << 3) | (extra << 7) | (bytes & 7) | flags;
}

// The formats the application and its tools use.
constexpr uint32_t FormatGray8 = pixelFormat(PixelGray, 1, 1);
constexpr uint32_t FormatGray16 = pixelFormat(PixelGray, 1, 2);
constexpr uint32_t FormatGrayA8 = pixelFormat(PixelGray, 1, 1, 1);
constexpr uint32_t FormatGrayFloat = pixelFormat(PixelGray, 1, 4, 0, PixelFloat);
constexpr uint32_t FormatRgb8 = pixelFormat(PixelRgb, 3, 1);
constexpr uint32_t FormatBgr8 = pixelFormat(PixelRgb, 3, 1, 0, PixelReversed);
constexpr uint32_t FormatRgba8 = pixelFormat(PixelRgb, 3, 1, 1);
constexpr uint32_t FormatBgra8 = pixelFormat(PixelRgb, 3, 1, 1, PixelReversed | PixelSwapFirst);
constexpr uint32_t FormatArgb8 = pixelFormat(PixelRgb, 3, 1, 1, PixelSwapFirst);
constexpr uint32_t FormatAbgr8 = pixelFormat(PixelRgb, 3, 1, 1, PixelReversed);
constexpr uint32_t FormatRgb8Planar = pixelFormat(PixelRgb, 3, 1, 0, PixelPlanar);
constexpr uint32_t FormatRgb16 = pixelFormat(PixelRgb, 3, 2);
constexpr uint32_t FormatRgb16BigEndian = pixelFormat(PixelRgb, 3, 2, 0, PixelSwapped16);
constexpr uint32_t FormatBgr16 = pixelFormat(PixelRgb, 3, 2, 0, PixelReversed);
constexpr uint32_t FormatRgba16 = pixelFormat(PixelRgb, 3, 2, 1);
constexpr uint32_t FormatBgra16 = pixelFormat(PixelRgb, 3, 2, 1, PixelReversed | PixelSwapFirst);
constexpr uint32_t FormatRgb16Planar = pixelFormat(PixelRgb, 3, 2, 0, PixelPlanar);
constexpr uint32_t FormatRgbHalf = pixelFormat(PixelRgb, 3, 2, 0, PixelFloat);
constexpr uint32_t FormatRgbFloat = pixelFormat(PixelRgb, 3, 4, 0, PixelFloat);
constexpr uint32_t FormatRgbaFloat = pixelFormat(PixelRgb, 3, 4, 1, PixelFloat);
constexpr uint32_t FormatRgbDouble = pixelFormat(PixelRgb, 3, 0, 0, PixelFloat);
constexpr uint32_t FormatCmyk8 = pixelFormat(PixelCmyk, 4, 1);
constexpr uint32_t FormatCmyk8Inverted = pixelFormat(PixelCmyk, 4, 1, 0, PixelInverted);
constexpr uint32_t FormatKymc8 = pixelFormat(PixelCmyk, 4, 1, 0, PixelReversed);
constexpr uint32_t FormatCmyk8Planar = pixelFormat(PixelCmyk, 4, 1, 0, PixelPlanar);
constexpr uint32_t FormatCmyk16 = pixelFormat(PixelCmyk, 4, 2);
constexpr uint32_t FormatCmykFloat = pixelFormat(PixelCmyk, 4, 4, 0, PixelFloat);
constexpr uint32_t FormatCmykDouble = pixelFormat(PixelCmyk, 4, 0, 0, PixelFloat);
constexpr uint32_t FormatLab8 = pixelFormat(PixelLab, 3, 1);
constexpr uint32_t FormatLab16 = pixelFormat(PixelLab, 3, 2);
constexpr uint32_t FormatLabV2_16 = pixelFormat(PixelLabV2, 3, 2);
constexpr uint32_t FormatLabFloat = pixelFormat(PixelLab, 3, 4, 0, PixelFloat);
constexpr uint32_t FormatLabDouble = pixelFormat(PixelLab, 3, 0, 0, PixelFloat);
constexpr uint32_t FormatXyz16 = pixelFormat(PixelXyz, 3, 2);
constexpr uint32_t FormatXyzFloat = pixelFormat(PixelXyz, 3, 4, 0, PixelFloat);
constexpr uint32_t FormatXyzDouble = pixelFormat(PixelXyz, 3, 0, 0, PixelFloat);

// The PixelFormat code of an ICC colour space signature, 0 when it has none.
uint32_t pixelSpaceOf(uint32_t colorSpace);
// Channels of a colour space; 3 (and *known false) when the space is unknown.
uint32_t channelsOfSpace(uint32_t colorSpace, bool* known = nullptr);
// channels × 8 | code << 16 | bytes, with the float bit when asked.
uint32_t formatForSpace(uint32_t colorSpace, uint32_t bytes, bool floating);

// Transform flags.
constexpr uint32_t XformKeepPostLinearisation = 0x1;
constexpr uint32_t XformForceClut = 0x2;
constexpr uint32_t XformNoWhiteFixup = 0x4;
constexpr uint32_t XformKeepPreLinearisation = 0x10;
constexpr uint32_t XformNoCache = 0x40;
constexpr uint32_t XformKeepSequence = 0x80;
constexpr uint32_t XformNoOptimise = 0x100;
constexpr uint32_t XformNullTransform = 0x200;
constexpr uint32_t XformHighResolution = 0x400;
constexpr uint32_t XformLowResolution = 0x800;
constexpr uint32_t XformGamutCheck = 0x1000;
constexpr uint32_t XformBlackPointCompensation = 0x2000;
constexpr uint32_t XformClipNegatives = 0x8000;
constexpr uint32_t XformCanChangeFormats = 0x2000000;   // set by the engine
constexpr uint32_t XformCopyAlpha = 0x4000000;
// Float values go on past the ends of every device range instead of being
// held there: curves carry on (a parametric curve by its own formula above 1
// and point-symmetric about its start below 0, any other along its end
// intervals) and float tables of three inputs extrapolate from their edge
// cells; 16-bit tables still clip. Meant for unoptimised float transforms
// (XformNoOptimise), which keep the linked stages as they are.
constexpr uint32_t XformUnbounded = 0x10000000;
constexpr uint32_t xformGridPoints(uint32_t n) { return (n & 0xFF) << 16; }

constexpr uint32_t MaxProfilesInChain = 255;

// A chain of one profile (output null) or two.
Transform* createTransform(IccProfile* input, uint32_t inputFormat, IccProfile* output, uint32_t outputFormat,
                           uint32_t intent, uint32_t flags);
Transform* createTransformContext(EngineContext* ctx, IccProfile* input, uint32_t inputFormat, IccProfile* output,
                                  uint32_t outputFormat, uint32_t intent, uint32_t flags);
// Every profile gets the same intent, black-point compensation from flag
// 0x2000 and the context's default adaptation state.
Transform* createMultiTransform(EngineContext* ctx, IccProfile* const profiles[], uint32_t count,
                                uint32_t inputFormat, uint32_t outputFormat, uint32_t intent, uint32_t flags);
// The same under the first profile's context.
Transform* createMultiTransformNoContext(IccProfile* const profiles[], uint32_t count, uint32_t inputFormat,
                                         uint32_t outputFormat, uint32_t intent, uint32_t flags);
Transform* createTransformExtended(EngineContext* ctx, uint32_t count, IccProfile* const profiles[],
                                   const bool blackPointCompensation[], const uint32_t intents[],
                                   const double adaptationStates[], IccProfile* gamutProfile,
                                   uint32_t gamutPcsPosition, uint32_t inputFormat, uint32_t outputFormat,
                                   uint32_t flags);
void deleteTransform(Transform* t);

void doTransform(Transform* t, const void* input, void* output, uint32_t pixelCount);
void doTransformLineStride(Transform* t, const void* input, void* output, uint32_t pixelsPerLine,
                           uint32_t lineCount, uint32_t bytesPerLineIn, uint32_t bytesPerLineOut,
                           uint32_t bytesPerPlaneIn, uint32_t bytesPerPlaneOut);
// Only for transforms created with at least 16 bits on input, or float.
bool changeTransformFormats(Transform* t, uint32_t inputFormat, uint32_t outputFormat);

EngineContext* transformContext(const Transform* t);
uint32_t transformInputFormat(const Transform* t);
uint32_t transformOutputFormat(const Transform* t);
uint32_t transformFlags(const Transform* t);
int32_t transformMaxWorkers(const Transform* t);
uint32_t transformWorkerFlags(const Transform* t);
TransformWorker transformWorker(const Transform* t);   // the transform's own, not the scheduler
void* transformUserData(const Transform* t);
void setTransformUserData(Transform* t, void* data, FreeUserDataFn freeData);
// What the chain was made of, for turning a transform into a profile.
const Pipeline* transformPipeline(const Transform* t);
uint32_t transformEntrySpace(const Transform* t);
uint32_t transformExitSpace(const Transform* t);
uint32_t transformIntent(const Transform* t);
CieXyz transformEntryWhitePoint(const Transform* t);
CieXyz transformExitWhitePoint(const Transform* t);
// Copies of the first profile's 'clrt' and of the last's 'clot' (device
// link) or 'clrt', owned by the transform; null when absent.
const NamedColorList* transformInputColorants(const Transform* t);
const NamedColorList* transformOutputColorants(const Transform* t);
// The chain's profile sequence, kept with flag 0x80; null otherwise.
const ProfileSequence* transformSequence(const Transform* t);

// ---------------------------------------------------------------------------
// Rendering intents and profile linking
// ---------------------------------------------------------------------------

enum RenderingIntent : uint32_t {
    IntentPerceptual = 0,
    IntentRelativeColorimetric = 1,
    IntentSaturation = 2,
    IntentAbsoluteColorimetric = 3,
    IntentPreserveKOnlyPerceptual = 10,
    IntentPreserveKOnlyRelativeColorimetric = 11,
    IntentPreserveKOnlySaturation = 12,
    IntentPreserveKPlanePerceptual = 13,
    IntentPreserveKPlaneRelativeColorimetric = 14,
    IntentPreserveKPlaneSaturation = 15,
};

// The direction in which a profile is asked about a table.
enum ProfileDirection : uint32_t { DirectionInput = 0, DirectionOutput = 1, DirectionProof = 2 };

// Intents that have a linker (plug-ins first): up to `max` codes and names.
// Returns how many there are in all.
uint32_t supportedIntents(EngineContext* ctx, uint32_t max, uint32_t codes[], const char* names[]);

// A profile's pipeline for an intent: device to PCS, PCS to device, or as a
// device link or abstract profile. The caller frees it; null when the profile
// has nothing for it.
Pipeline* inputPipelineOf(IccProfile* profile, uint32_t intent);
Pipeline* outputPipelineOf(IccProfile* profile, uint32_t intent);
Pipeline* deviceLinkPipelineOf(IccProfile* profile, uint32_t intent);
// 'wtpt', or D50 when missing or for display profiles below version 4.
CieXyz mediaWhitePointOf(IccProfile* profile);
// 'chad', or the identity; display profiles below version 4 get the Bradford
// matrix from 'wtpt' to D50.
Mat3 adaptationMatrixOf(IccProfile* profile);

bool isMatrixShaper(IccProfile* profile);
bool hasClutFor(IccProfile* profile, uint32_t intent, uint32_t direction);
bool isIntentSupported(IccProfile* profile, uint32_t intent, uint32_t direction);

// The pipeline of a chain of 1 … 255 profiles joined at the PCS.
Pipeline* linkProfiles(EngineContext* ctx, uint32_t count, const uint32_t intents[], IccProfile* const profiles[],
                       const bool blackPointCompensation[], const double adaptationStates[], uint32_t flags);

// Black points in XYZ (D50), (0, 0, 0) and false when there is none.
bool sourceBlackPoint(CieXyz* black, IccProfile* profile, uint32_t intent);
bool destinationBlackPoint(CieXyz* black, IccProfile* profile, uint32_t intent);

// A one-output 16-bit CLUT over the chain's input space that is non-zero
// where the colour falls outside the gamut profile.
Pipeline* buildGamutCheck(EngineContext* ctx, IccProfile* const profiles[], const bool blackPointCompensation[],
                          const uint32_t intents[], const double adaptationStates[], uint32_t gamutPcsPosition,
                          IccProfile* gamutProfile);

// ---------------------------------------------------------------------------
// Pipeline optimisation
// ---------------------------------------------------------------------------

// Grid points per dimension for resampling a pipeline over a colour space.
uint32_t gridPointsFor(uint32_t colorSpace, uint32_t flags);
// Simplifies the pipeline for the formats; true when it was replaced.
bool optimisePipeline(EngineContext* ctx, Pipeline** pipeline, uint32_t intent, uint32_t* inputFormat,
                      uint32_t* outputFormat, uint32_t* flags);

// ---------------------------------------------------------------------------
// Virtual profiles
// ---------------------------------------------------------------------------

// Complete profiles built in memory, each closed by the caller with
// closeProfile; null (after the failing step reported) on any failure. All
// carry 'desc' (their name) and 'cprt' ("No copyright, use freely") for "en"
// "US", and can be saved like profiles read from files.

struct CieXyYTriple {
    CieXyY red, green, blue;
};

// A version 4.4 RGB display profile. With a white point: 'wtpt' D50 and
// 'chad' (white to D50); with primaries too: the colorant tags and 'chrm';
// with curves: 'rTRC', and 'gTRC' / 'bTRC' linked to 'rTRC' when given the
// same curve object again.
IccProfile* createRgbProfile(EngineContext* ctx, const CieXyY* white, const CieXyYTriple* primaries,
                             const ToneCurve* const curves[3]);
// A version 4.4 gray display profile: 'wtpt' (when a white is given) and 'kTRC'.
IccProfile* createGrayProfile(EngineContext* ctx, const CieXyY* white, const ToneCurve* curve);
IccProfile* createSrgbProfile(EngineContext* ctx);
// Lab to Lab abstract profiles that change nothing: version 2.1 with a
// 2-point identity CLUT, version 4.4 with identity curves. White null: D50.
IccProfile* createLabIdentityV2(EngineContext* ctx, const CieXyY* white);
IccProfile* createLabIdentityV4(EngineContext* ctx, const CieXyY* white);
IccProfile* createXyzIdentity(EngineContext* ctx);
// A device link from a space to itself through one curve per channel.
IccProfile* createLinearizationLink(EngineContext* ctx, uint32_t colorSpace, const ToneCurve* const curves[]);

// Flags of transformToDeviceLink besides the transform flags it shares
// (0x2 always resample, 0x4 no white fix-up, grid points in bits 16-23 ...).
constexpr uint32_t DeviceLink8Bits = 0x8;          // write the table with 8-bit values
constexpr uint32_t DeviceLinkGuessClass = 0x20;    // abstract, output or input class by the spaces
// The transform as a profile of the given version: a device link, or with
// DeviceLinkGuessClass an abstract ('abst'), output ('prtr', table 'B2A0') or
// input ('scnr') profile; a named-colour transform gives a named-colour
// profile. The transform is not changed.
IccProfile* transformToDeviceLink(Transform* transform, double version, uint32_t flags);

// ---------------------------------------------------------------------------
// CGATS text and .cube files
// ---------------------------------------------------------------------------

// A CGATS.17 / IT8.7 text document: tables of header properties, field names
// and data cells. Sheets come from newCgatsSheet or a successful parse and are
// released with freeCgatsSheet. Table-relative operations address the current
// table (cgatsSelectTable). Errors are reported with code 12
// (ErrCorruptionDetected) as "<file>: Line <n>, <message>".
constexpr uint32_t CgatsMaxTables = 255;

CgatsSheet* newCgatsSheet(EngineContext* ctx);
void freeCgatsSheet(CgatsSheet* sheet);

// Parses CGATS text from memory; null when the text is not recognised as CGATS
// or does not parse. Text parsed from memory never opens files: an include
// directive in it is an error.
CgatsSheet* cgatsParseMemory(EngineContext* ctx, const void* text, uint32_t length);
// Parses a CGATS file; includes are resolved against the including file.
CgatsSheet* cgatsParseFile(EngineContext* ctx, const char* fileName);

// Writes the sheet as text. *length is the buffer size on entry (at most
// *length - 1 characters and a terminating 0 are stored) and the characters
// produced + 1 on return. A null buffer only measures.
bool cgatsSaveToMemory(CgatsSheet* sheet, void* buffer, uint32_t* length);

uint32_t cgatsTableCount(CgatsSheet* sheet);
// n below the table count selects, n equal to it appends an empty table; returns
// n, or -1 when refused.
int32_t cgatsSelectTable(CgatsSheet* sheet, int32_t n);

bool cgatsSetSheetType(CgatsSheet* sheet, const char* type);
const char* cgatsSheetType(CgatsSheet* sheet);
bool cgatsAddComment(CgatsSheet* sheet, const char* text);
bool cgatsSetPropertyText(CgatsSheet* sheet, const char* key, const char* value);   // written quoted
bool cgatsSetPropertyNumber(CgatsSheet* sheet, const char* key, double value);      // written "%.10g"
const char* cgatsPropertyText(CgatsSheet* sheet, const char* key);                   // null when absent
double cgatsPropertyNumber(CgatsSheet* sheet, const char* key);                      // 0 when absent

bool cgatsSetDataFormat(CgatsSheet* sheet, int32_t field, const char* name);
bool cgatsSetDataCell(CgatsSheet* sheet, int32_t set, int32_t field, const char* text);
const char* cgatsDataCell(CgatsSheet* sheet, int32_t set, int32_t field);           // null when unset

// Reads a .cube (or .lut) 3D table into an RGB device link under the global
// context: optional shaper curves, then a float CLUT, with red, green and blue
// as the first, second and third channel on both sides; the title goes to
// 'desc'.
IccProfile* readCubeFile(const char* fileName);
// The same, with what is wrong with the file (its name, the line and the
// reason) reported through `ctx`'s error handler; the profile belongs to the
// global context.
IccProfile* readCubeFileReporting(EngineContext* ctx, const char* fileName);
