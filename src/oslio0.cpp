// I/O handlers (file, C stream, memory block, null sink) and the profile
// container: header, tag directory, lazy tag loading and two-pass saving.
#include "oslinternal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

// ---------------------------------------------------------------------------
// Handler records
// ---------------------------------------------------------------------------

namespace {

struct FileState {
    FILE* stream;
    bool owned;   // closed with the handler
};

struct MemoryBlock {
    uint8_t* block;
    uint32_t size;
    uint32_t pointer;
    bool freeOnClose;
};

struct NullState {
    uint32_t pointer;
};

IoHandler* newHandler(EngineContext* ctx, size_t stateSize)
{
    auto* io = static_cast<IoHandler*>(engineAllocZero(ctx, sizeof(IoHandler)));
    if (!io) return nullptr;
    io->ctx = ctx;
    io->state = engineAllocZero(ctx, stateSize);
    if (!io->state) {
        engineFree(ctx, io);
        return nullptr;
    }
    return io;
}

void freeHandler(IoHandler* io)
{
    engineFree(io->ctx, io->state);
    engineFree(io->ctx, io);
}

template <typename State>
State* stateOf(IoHandler* io)
{
    return static_cast<State*>(io->state);
}

// --- Files and C streams

uint32_t fileRead(IoHandler* io, void* buffer, uint32_t size, uint32_t count)
{
    const size_t got = std::fread(buffer, size, count, stateOf<FileState>(io)->stream);
    if (got != count) {
        reportError(io->ctx, ErrFile, "Read error. Got %d bytes, block should be of %d bytes",
                    int(uint64_t(got) * size), int(uint64_t(size) * count));
        return 0;
    }
    return count;
}

bool fileSeek(IoHandler* io, uint32_t offset)
{
    if (std::fseek(stateOf<FileState>(io)->stream, long(offset), SEEK_SET) != 0) {
        reportError(io->ctx, ErrFile, "Seek error; probably corrupted file");
        return false;
    }
    return true;
}

uint32_t fileTell(IoHandler* io)
{
    const long at = std::ftell(stateOf<FileState>(io)->stream);
    if (at == -1L) {
        reportError(io->ctx, ErrFile, "Tell error; probably corrupted file");
        return 0;
    }
    return uint32_t(at);
}

bool fileWrite(IoHandler* io, uint32_t size, const void* data)
{
    if (size == 0) return true;
    if (size > UINT32_MAX - io->usedSpace) return false;   // a profile cannot pass 4 GiB
    io->usedSpace += size;
    return std::fwrite(data, size, 1, stateOf<FileState>(io)->stream) == 1;
}

bool fileClose(IoHandler* io)
{
    FileState* s = stateOf<FileState>(io);
    // A borrowed stream stays open; either way, report whether every byte got
    // there. The stream is unusable after a failed fclose, so the handler goes
    // in both cases.
    const bool ok = s->owned ? std::fclose(s->stream) == 0
                             : std::fflush(s->stream) == 0 && !std::ferror(s->stream);
    freeHandler(io);
    return ok;
}

IoHandler* streamHandler(EngineContext* ctx, FILE* stream, bool owned)
{
    IoHandler* io = newHandler(ctx, sizeof(FileState));
    if (!io) return nullptr;
    *stateOf<FileState>(io) = FileState{stream, owned};
    io->read = fileRead;
    io->seek = fileSeek;
    io->close = fileClose;
    io->tell = fileTell;
    io->write = fileWrite;
    return io;
}

// The size of a stream, by seeking to its end and back; false when it cannot
// be measured.
bool measureStream(FILE* stream, uint32_t* size)
{
    const long at = std::ftell(stream);
    if (at < 0 || std::fseek(stream, 0, SEEK_END) != 0) return false;
    const long end = std::ftell(stream);
    if (end < 0 || std::fseek(stream, at, SEEK_SET) != 0) return false;
    *size = end > long(UINT32_MAX) ? UINT32_MAX : uint32_t(end);
    return true;
}

// --- Memory blocks

uint32_t memoryRead(IoHandler* io, void* buffer, uint32_t size, uint32_t count)
{
    MemoryBlock* m = stateOf<MemoryBlock>(io);
    const uint64_t length = uint64_t(size) * count;
    if (uint64_t(m->pointer) + length > m->size) {
        reportError(io->ctx, ErrRead, "Read from memory error. Got %d bytes, block should be of %d bytes",
                    int(m->size - m->pointer), int(length));
        return 0;
    }
    if (length > 0) std::memcpy(buffer, m->block + m->pointer, size_t(length));
    m->pointer += uint32_t(length);
    return count;
}

bool memorySeek(IoHandler* io, uint32_t offset)
{
    MemoryBlock* m = stateOf<MemoryBlock>(io);
    if (offset > m->size) {
        reportError(io->ctx, ErrSeek, "Too few data; probably corrupted profile");
        return false;
    }
    m->pointer = offset;
    return true;
}

uint32_t memoryTell(IoHandler* io)
{
    MemoryBlock* m = stateOf<MemoryBlock>(io);
    return m->block ? m->pointer : 0;
}

bool memoryWrite(IoHandler* io, uint32_t size, const void* data)
{
    MemoryBlock* m = stateOf<MemoryBlock>(io);
    if (!m->block) return false;
    // Writes are cut, silently, at the end of the block.
    const uint32_t room = m->size - m->pointer;
    if (size > room) size = room;
    if (size == 0) return true;
    std::memcpy(m->block + m->pointer, data, size);
    m->pointer += size;
    io->usedSpace = std::max(io->usedSpace, m->pointer);
    return true;
}

bool memoryClose(IoHandler* io)
{
    MemoryBlock* m = stateOf<MemoryBlock>(io);
    if (m->freeOnClose) engineFree(io->ctx, m->block);
    freeHandler(io);
    return true;
}

// --- Null sink

uint32_t nullRead(IoHandler* io, void* buffer, uint32_t size, uint32_t count)
{
    const uint64_t length = uint64_t(size) * count;
    if (buffer && length > 0) std::memset(buffer, 0, size_t(length));   // nothing to copy: give zeros
    NullState* n = stateOf<NullState>(io);
    n->pointer = uint32_t(std::min<uint64_t>(uint64_t(n->pointer) + length, UINT32_MAX));
    return count;
}

bool nullSeek(IoHandler* io, uint32_t offset)
{
    stateOf<NullState>(io)->pointer = offset;
    return true;
}

uint32_t nullTell(IoHandler* io)
{
    return stateOf<NullState>(io)->pointer;
}

bool nullWrite(IoHandler* io, uint32_t size, const void*)
{
    NullState* n = stateOf<NullState>(io);
    if (size > UINT32_MAX - n->pointer) return false;   // a profile cannot pass 4 GiB
    n->pointer += size;
    io->usedSpace = std::max(io->usedSpace, n->pointer);
    return true;
}

bool nullClose(IoHandler* io)
{
    freeHandler(io);
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Handler constructors and calls
// ---------------------------------------------------------------------------

IoHandler* openFileHandler(EngineContext* ctx, const char* fileName, const char* mode)
{
    if (!fileName || !mode) {
        reportError(ctx, ErrNull, "Null file name or access mode");
        return nullptr;
    }
    char access = 0;
    char cmode[4] = {0, 'b', 0, 0};
    for (const char* c = mode; *c; ++c) {
        switch (*c) {
        case 'r':
        case 'w':
            if (access) {
                reportError(ctx, ErrFile, "Access mode already specified '%c'", *c);
                return nullptr;
            }
            access = *c;
            break;
        case 'e': cmode[2] = 'e'; break;
        default: reportError(ctx, ErrFile, "Wrong access mode '%c'", *c); return nullptr;
        }
    }
    if (!access) return nullptr;
    cmode[0] = access;

    FILE* stream = std::fopen(fileName, cmode);
    if (!stream) {
        if (access == 'r')
            reportError(ctx, ErrFile, "File '%s' not found", fileName);
        else
            reportError(ctx, ErrFile, "Couldn't create '%s'", fileName);
        return nullptr;
    }
    uint32_t size = 0;
    if (access == 'r' && !measureStream(stream, &size)) {
        std::fclose(stream);
        reportError(ctx, ErrFile, "Cannot get size of file '%s'", fileName);
        return nullptr;
    }
    IoHandler* io = streamHandler(ctx, stream, true);
    if (!io) {
        std::fclose(stream);
        return nullptr;
    }
    io->reportedSize = size;
    std::strncpy(io->physicalFile, fileName, MaxPathLength - 1);
    io->physicalFile[MaxPathLength - 1] = 0;
    return io;
}

IoHandler* openStreamHandler(EngineContext* ctx, FILE* stream)
{
    if (!stream) {
        reportError(ctx, ErrNull, "Null stream");
        return nullptr;
    }
    uint32_t size = 0;
    if (!measureStream(stream, &size)) {
        reportError(ctx, ErrFile, "Cannot get size of stream");
        return nullptr;
    }
    IoHandler* io = streamHandler(ctx, stream, true);
    if (io) io->reportedSize = size;
    return io;
}

IoHandler* openBorrowedStreamHandler(EngineContext* ctx, FILE* stream)
{
    if (!stream) {
        reportError(ctx, ErrNull, "Null stream");
        return nullptr;
    }
    return streamHandler(ctx, stream, false);
}

IoHandler* openMemoryHandler(EngineContext* ctx, void* block, uint32_t size, const char* mode)
{
    const char access = mode ? mode[0] : 0;
    if (access != 'r' && access != 'w') {
        reportError(ctx, ErrUnknownExtension, "Unknown access mode '%c'", access ? access : '?');
        return nullptr;
    }
    IoHandler* io = newHandler(ctx, sizeof(MemoryBlock));
    if (!io) return nullptr;
    MemoryBlock* m = stateOf<MemoryBlock>(io);
    if (access == 'r') {
        if (!block) {
            reportError(ctx, ErrRead, "Couldn't read profile from NULL pointer");
            freeHandler(io);
            return nullptr;
        }
        m->block = static_cast<uint8_t*>(engineAlloc(ctx, size));
        if (!m->block) {
            reportError(ctx, ErrRead, "Couldn't allocate %ld bytes for profile", long(size));
            freeHandler(io);
            return nullptr;
        }
        std::memcpy(m->block, block, size);
        m->freeOnClose = true;
        io->reportedSize = size;
    } else {
        m->block = static_cast<uint8_t*>(block);
        m->freeOnClose = false;
    }
    m->size = size;
    io->read = memoryRead;
    io->seek = memorySeek;
    io->close = memoryClose;
    io->tell = memoryTell;
    io->write = memoryWrite;
    return io;
}

IoHandler* openNullHandler(EngineContext* ctx)
{
    IoHandler* io = newHandler(ctx, sizeof(NullState));
    if (!io) return nullptr;
    io->read = nullRead;
    io->seek = nullSeek;
    io->close = nullClose;
    io->tell = nullTell;
    io->write = nullWrite;
    return io;
}

bool closeIoHandler(IoHandler* io)
{
    return io && io->close(io);
}

uint32_t ioRead(IoHandler* io, void* buffer, uint32_t size, uint32_t count)
{
    return io->read(io, buffer, size, count);
}

bool ioSeek(IoHandler* io, uint32_t offset)
{
    return io->seek(io, offset);
}

uint32_t ioTell(IoHandler* io)
{
    return io->tell(io);
}

bool ioWrite(IoHandler* io, uint32_t size, const void* data)
{
    return io->write(io, size, data);
}

uint32_t ioUsedSpace(const IoHandler* io)
{
    return io->usedSpace;
}

uint32_t ioReportedSize(const IoHandler* io)
{
    return io->reportedSize;
}

EngineContext* ioContext(const IoHandler* io)
{
    return io->ctx;
}

const char* ioFileName(const IoHandler* io)
{
    return io->physicalFile;
}

// ---------------------------------------------------------------------------
// Profile record
// ---------------------------------------------------------------------------

namespace {

constexpr uint32_t HeaderSize = 128;
constexpr uint32_t MinTagSize = 8;          // the type base
constexpr uint32_t MaxVersion = 0x05000000;
constexpr uint32_t BlankVersion = 0x02100000;
constexpr uint32_t ProfileIdOffset = 84;   // the 16 bytes of the header's profile ID

struct TagSlot {
    uint32_t sig;        // 0: empty slot
    uint32_t linkedTo;   // 0: not linked
    uint32_t offset;
    uint32_t size;
    void* object;                    // decoded tag, or null when never loaded
    const TagTypeHandler* handler;   // decoded or will encode `object`
};

} // namespace

struct IccProfile {
    EngineContext* ctx;
    IoHandler* io;
    void* mutex;
    bool saveOnClose;   // opened for writing: saved to `io` when closed

    std::tm created;
    uint32_t cmm, version, deviceClass, colorSpace, pcs, intent, platform, flags, manufacturer, model, creator;
    uint64_t attributes;
    uint8_t id[16];

    uint32_t slotCount;
    TagSlot slots[MaxTags];
};

namespace {

uint32_t be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint16_t be16(const uint8_t* p)
{
    return uint16_t((p[0] << 8) | p[1]);
}

// Clamps each version digit to 9 and clears the two bytes ICC reserves.
uint32_t sanitiseVersion(uint32_t v)
{
    const uint32_t major = std::min<uint32_t>(v >> 24, 9);
    const uint32_t minor = std::min<uint32_t>((v >> 20) & 0xF, 9);
    const uint32_t fix = std::min<uint32_t>((v >> 16) & 0xF, 9);
    return (major << 24) | (minor << 20) | (fix << 16);
}

bool isKnownClass(uint32_t c)
{
    switch (c) {
    case ClassInput:
    case ClassDisplay:
    case ClassOutput:
    case ClassLink:
    case ClassColorSpace:
    case ClassAbstract:
    case ClassNamedColor:
    case 0: return true;
    default: return false;
    }
}

IccProfile* newProfile(EngineContext* ctx)
{
    auto* p = static_cast<IccProfile*>(engineAllocZero(ctx, sizeof(IccProfile)));
    if (!p) return nullptr;
    p->ctx = ctx;
    p->mutex = createMutex(ctx);
    if (!p->mutex) {
        engineFree(ctx, p);
        return nullptr;
    }
    return p;
}

void releaseObject(IccProfile* p, TagSlot& slot)
{
    if (slot.object) {
        if (slot.handler)
            callTypeFree(slot.handler, p->ctx, slot.object);
        else
            engineFree(p->ctx, slot.object);
    }
    slot.object = nullptr;
    slot.handler = nullptr;
}

// Releases everything of a profile but its stream, which the caller handles.
void releaseProfile(IccProfile* p)
{
    for (uint32_t i = 0; i < p->slotCount; ++i) releaseObject(p, p->slots[i]);
    destroyMutex(p->ctx, p->mutex);
    engineFree(p->ctx, p);
}

int findSlot(const IccProfile* p, uint32_t sig)
{
    if (sig == 0) return -1;
    for (uint32_t i = 0; i < p->slotCount; ++i)
        if (p->slots[i].sig == sig) return int(i);
    return -1;
}

// The slot that holds sig's data, following links; -1 when a link leads
// nowhere or round in a circle.
int resolveSlot(const IccProfile* p, uint32_t sig)
{
    int n = findSlot(p, sig);
    for (uint32_t hops = 0; n >= 0 && p->slots[n].linkedTo; ++hops) {
        if (hops >= MaxTags) return -1;
        n = findSlot(p, p->slots[n].linkedTo);
    }
    return n;
}

// The slot for a new or replaced tag: the tag's own, a blank one, or a new one.
int slotForStore(IccProfile* p, uint32_t sig)
{
    int n = findSlot(p, sig);
    if (n >= 0) return n;
    for (uint32_t i = 0; i < p->slotCount; ++i)
        if (p->slots[i].sig == 0) return int(i);
    if (p->slotCount >= MaxTags) {
        reportError(p->ctx, ErrRange, "Too many tags (%d)", int(MaxTags));
        return -1;
    }
    return int(p->slotCount++);
}

bool sameDescriptor(const TagDescriptor* a, const TagDescriptor* b)
{
    if (!a || !b) return false;
    if (a->elementCount != b->elementCount || a->typeCount != b->typeCount) return false;
    return std::equal(a->supportedTypes, a->supportedTypes + std::min(a->typeCount, MaxTypesInTag),
                      b->supportedTypes);
}

// --- Reading the header and directory

bool readHeader(IccProfile* p)
{
    IoHandler* io = p->io;
    uint8_t h[HeaderSize];
    if (io->read(io, h, HeaderSize, 1) != 1) return false;

    if (be32(h + 36) != MagicNumber) {
        reportError(p->ctx, ErrBadSignature, "not an ICC profile, invalid signature");
        return false;
    }
    const uint32_t declaredSize = be32(h);
    p->cmm = be32(h + 4);
    p->version = sanitiseVersion(be32(h + 8));
    if (p->version > MaxVersion) {
        reportError(p->ctx, ErrUnknownExtension, "Unsupported profile version '0x%x'", p->version);
        return false;
    }
    p->deviceClass = be32(h + 12);
    if (!isKnownClass(p->deviceClass)) {
        reportError(p->ctx, ErrUnknownExtension, "Unsupported device class '0x%x'", p->deviceClass);
        return false;
    }
    p->colorSpace = be32(h + 16);
    p->pcs = be32(h + 20);
    std::tm t{};
    t.tm_year = be16(h + 24) - 1900;
    t.tm_mon = be16(h + 26) - 1;
    t.tm_mday = be16(h + 28);
    t.tm_hour = be16(h + 30);
    t.tm_min = be16(h + 32);
    t.tm_sec = be16(h + 34);
    t.tm_wday = -1;
    t.tm_yday = -1;
    p->created = t;
    p->platform = be32(h + 40);
    p->flags = be32(h + 44);
    p->manufacturer = be32(h + 48);
    p->model = be32(h + 52);
    p->attributes = (uint64_t(be32(h + 56)) << 32) | be32(h + 60);
    p->intent = be32(h + 64);
    p->creator = be32(h + 80);
    std::memcpy(p->id, h + 84, 16);

    uint32_t count;
    if (!readUInt32(io, &count)) return false;
    if (count > MaxTags) {
        reportError(p->ctx, ErrRange, "Too many tags (%u)", count);
        return false;
    }

    // Tags must lie inside both the declared profile and the data we have.
    const uint64_t limit = std::min(declaredSize, io->reportedSize);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t sig, offset, size;
        if (!readUInt32(io, &sig) || !readUInt32(io, &offset) || !readUInt32(io, &size)) return false;
        const uint64_t end = uint64_t(offset) + size;
        if (sig == 0 || size == 0 || offset == 0 || end > limit || end > UINT32_MAX) continue;

        TagSlot& slot = p->slots[p->slotCount];
        slot = TagSlot{sig, 0, offset, size, nullptr, nullptr};
        // Tags that share their bytes with an earlier one of the same kind
        // are links to it; other sharers stay independent.
        const TagDescriptor* mine = findTagDescriptor(p->ctx, sig);
        for (uint32_t j = 0; j < p->slotCount; ++j) {
            const TagSlot& earlier = p->slots[j];
            if (earlier.offset == offset && earlier.size == size &&
                sameDescriptor(mine, findTagDescriptor(p->ctx, earlier.sig))) {
                slot.linkedTo = earlier.sig;
                break;
            }
        }
        ++p->slotCount;
    }

    for (uint32_t i = 0; i < p->slotCount; ++i)
        for (uint32_t j = i + 1; j < p->slotCount; ++j)
            if (p->slots[i].sig == p->slots[j].sig) {
                reportError(p->ctx, ErrRange, "Duplicate tag found");
                return false;
            }
    return true;
}

// --- Writing

// What one slot contributes to a saved profile.
struct SaveEntry {
    uint32_t slot;
    int target;                       // linked: the slot whose data it shares; -1 otherwise
    const TagTypeHandler* handler;    // with a decoded object
    uint32_t type;
    uint32_t elements;
    uint32_t offset, size;            // where it landed
    std::shared_ptr<Pipeline> reencoded;   // a table written in the other Lab encoding
};

bool isLutType(uint32_t type)
{
    return type == sig("mft2") || type == sig("mft1") || type == sig("mAB ") || type == sig("mBA ");
}

// A table whose Lab ends are in the other encoding than the type it is
// written as uses: the version-2 one for 'mft2', the version-4 one for the
// others. Null when it needs no change.
std::shared_ptr<Pipeline> reencodedFor(IccProfile* p, const TagSlot& slot, uint32_t type, bool* ok)
{
    *ok = true;
    if (!isLutType(type)) return nullptr;
    const auto* table = static_cast<const Pipeline*>(slot.object);
    const bool wantV2 = type == sig("mft2");
    bool inLab = false, outLab = false;
    tableLabEnds(p, slot.sig, &inLab, &outLab);
    if (pipelineLabV2(table) == wantV2 || (!inLab && !outLab)) return nullptr;
    std::shared_ptr<Pipeline> copy(reencodeLabPipeline(table, inLab, outLab, wantV2), &freePipeline);
    *ok = bool(copy);
    return copy;
}

// Tags of float tables ('D2B0' …, 'B2D0' …), whose only type, 'mpet', came
// with version 4: a profile written as an earlier version leaves them out,
// loaded or not (its 16-bit tables stand alone there).
bool isVersion4Only(EngineContext* ctx, uint32_t tag)
{
    const TagDescriptor* d = findTagDescriptor(ctx, tag);
    return d && d->typeCount == 1 && d->supportedTypes[0] == sig("mpet");
}

std::vector<SaveEntry> planSave(IccProfile* p, bool* ok)
{
    *ok = true;
    const double version = versionAsNumber(p);
    std::vector<SaveEntry> plan;
    for (uint32_t i = 0; i < p->slotCount; ++i) {
        const TagSlot& slot = p->slots[i];
        if (slot.sig == 0) continue;
        if (version < 4.0 && isVersion4Only(p->ctx, slot.sig)) continue;
        SaveEntry e{i, -1, nullptr, 0, 0, 0, 0, nullptr};
        if (slot.linkedTo) {
            e.target = resolveSlot(p, slot.sig);
            if (e.target < 0) continue;   // a link to nothing is dropped
        } else if (slot.object) {
            const TagDescriptor* d = findTagDescriptor(p->ctx, slot.sig);
            if (!d) continue;
            e.type = d->decideType ? d->decideType(version, slot.object) : d->supportedTypes[0];
            e.handler = isTypeAllowed(d, e.type) ? findTypeHandler(p->ctx, e.type) : nullptr;
            if (!e.handler || !e.handler->write) {
                reportError(p->ctx, ErrInternal, "(Internal) no handler for tag %x", slot.sig);
                continue;
            }
            e.elements = d->elementCount;
            bool reencodedOk = true;
            e.reencoded = reencodedFor(p, slot, e.type, &reencodedOk);
            if (!reencodedOk) {
                reportError(p->ctx, ErrWrite, "Couldn't re-encode the Lab of tag '%s'", sigText(slot.sig).text);
                *ok = false;
                return {};
            }
        }
        plan.push_back(e);
    }
    // Links to slots that are themselves left out go too.
    std::erase_if(plan, [&](const SaveEntry& e) {
        return e.target >= 0 && std::none_of(plan.begin(), plan.end(), [&](const SaveEntry& t) {
                   return int(t.slot) == e.target && t.target < 0;
               });
    });
    return plan;
}

bool writeHeaderAndDirectory(IccProfile* p, IoHandler* io, uint32_t totalSize, const std::vector<SaveEntry>& plan)
{
    bool ok = writeUInt32(io, totalSize) && writeUInt32(io, p->cmm) && writeUInt32(io, p->version) &&
              writeUInt32(io, p->deviceClass) && writeUInt32(io, p->colorSpace) && writeUInt32(io, p->pcs) &&
              writeDateTimeNumber(io, p->created) && writeUInt32(io, MagicNumber) &&
              writeUInt32(io, p->platform) && writeUInt32(io, p->flags) && writeUInt32(io, p->manufacturer) &&
              writeUInt32(io, p->model) && writeUInt64(io, p->attributes) && writeUInt32(io, p->intent) &&
              writeXyzNumber(io, D50) && writeUInt32(io, p->creator) && io->write(io, 16, p->id);
    const uint8_t reserved[28] = {};
    ok = ok && io->write(io, sizeof reserved, reserved) && writeUInt32(io, uint32_t(plan.size()));
    for (const SaveEntry& e : plan)
        ok = ok && writeUInt32(io, p->slots[e.slot].sig) && writeUInt32(io, e.offset) && writeUInt32(io, e.size);
    return ok;
}

// Copies a never-loaded tag from the stream the profile was read from.
bool copyRawTag(IccProfile* p, IoHandler* source, const TagSlot& slot, IoHandler* io)
{
    if (!source) {
        reportError(p->ctx, ErrCorruptionDetected, "Corrupted built-in profile.");
        return false;
    }
    EngineBuffer<uint8_t> bytes(static_cast<uint8_t*>(engineAlloc(p->ctx, slot.size)), EngineFree{p->ctx});
    if (!bytes) return false;
    return source->seek(source, slot.offset) && source->read(source, bytes.get(), slot.size, 1) == 1 &&
           io->write(io, slot.size, bytes.get());
}

bool writeTags(IccProfile* p, IoHandler* io, IoHandler* source, std::vector<SaveEntry>& plan, bool check)
{
    for (SaveEntry& e : plan) {
        if (e.target >= 0) continue;
        const TagSlot& slot = p->slots[e.slot];
        const uint32_t begin = io->usedSpace;
        if (check && begin != e.offset) {
            reportError(p->ctx, ErrInternal, "(Internal) tag '%s' moved between passes", sigText(slot.sig).text);
            return false;
        }
        if (e.handler) {
            if (!writeTypeBase(io, e.type)) return false;
            void* object = e.reencoded ? e.reencoded.get() : slot.object;
            if (!callTypeWrite(e.handler, p->ctx, p->version, io, object, e.elements)) {
                reportError(p->ctx, ErrWrite, "Couldn't write type '%s'", sigText(e.type).text);
                return false;
            }
        } else if (!copyRawTag(p, source, slot, io)) {
            return false;
        }
        const uint32_t size = io->usedSpace - begin;
        if (check && size != e.size) {
            reportError(p->ctx, ErrInternal, "(Internal) tag '%s' changed size between passes",
                        sigText(slot.sig).text);
            return false;
        }
        e.offset = begin;
        e.size = size;
        if (!writeAlignment(io)) return false;
    }
    return true;
}

// Linked entries point at their target's data.
void placeLinks(std::vector<SaveEntry>& plan)
{
    for (SaveEntry& e : plan) {
        if (e.target < 0) continue;
        for (const SaveEntry& t : plan)
            if (int(t.slot) == e.target && t.target < 0) {
                e.offset = t.offset;
                e.size = t.size;
                break;
            }
    }
}

// Tag data of pass 1 and 2 are deterministic; pass 2 checks that they are.
// Pass 2 goes to memory first, so that the profile ID of the finished bytes
// can be filled in before they reach io.
uint32_t saveLocked(IccProfile* p, IoHandler* io)
{
    bool planned = false;
    std::vector<SaveEntry> plan = planSave(p, &planned);
    if (!planned) return 0;

    IoHandler* sink = openNullHandler(p->ctx);
    if (!sink) return 0;
    bool ok = writeHeaderAndDirectory(p, sink, 0, plan) && writeTags(p, sink, p->io, plan, false);
    const uint32_t total = sink->usedSpace;
    closeIoHandler(sink);
    if (!ok) return 0;

    if (io) {
        placeLinks(plan);
        EngineBuffer<uint8_t> bytes(static_cast<uint8_t*>(engineAlloc(p->ctx, total)), EngineFree{p->ctx});
        if (!bytes) return 0;
        IoHandler* memory = openMemoryHandler(p->ctx, bytes.get(), total, "w");
        if (!memory) return 0;
        ok = writeHeaderAndDirectory(p, memory, total, plan) && writeTags(p, memory, p->io, plan, true);
        ok = closeIoHandler(memory) && ok;
        if (!ok) return 0;
        uint8_t id[16];
        if (!computeProfileId(bytes.get(), total, id)) return 0;
        std::memcpy(bytes.get() + ProfileIdOffset, id, sizeof id);
        if (!io->write(io, total, bytes.get())) return 0;
    }
    return total;
}

// A profile read from io, which it owns from now on.
IccProfile* readProfile(EngineContext* ctx, IoHandler* io)
{
    if (!io) return nullptr;
    IccProfile* p = newProfile(ctx);
    if (!p) {
        closeIoHandler(io);
        return nullptr;
    }
    p->io = io;
    if (!readHeader(p)) {
        closeIoHandler(io);
        releaseProfile(p);
        return nullptr;
    }
    return p;
}

// A blank profile that writes itself to io when closed.
IccProfile* blankForWriting(EngineContext* ctx, IoHandler* io)
{
    if (!io) return nullptr;
    IccProfile* p = createBlankProfile(ctx);
    if (!p) {
        closeIoHandler(io);
        return nullptr;
    }
    p->io = io;
    p->saveOnClose = true;
    return p;
}

bool wantsWrite(const char* mode)
{
    return mode && std::strchr(mode, 'w');
}

} // namespace

// ---------------------------------------------------------------------------
// Opening, closing and saving
// ---------------------------------------------------------------------------

IccProfile* createBlankProfile(EngineContext* ctx)
{
    std::tm now{};
    const std::time_t t = std::time(nullptr);
    if (t == std::time_t(-1) || !gmtime_r(&t, &now)) {
        reportError(ctx, ErrUndefined, "Cannot get the current time");
        return nullptr;
    }
    IccProfile* p = newProfile(ctx);
    if (!p) return nullptr;
    p->created = now;
    p->version = BlankVersion;
    p->cmm = EngineCreator;
    p->creator = EngineCreator;
    p->platform = PlatformMicrosoft;
    p->deviceClass = ClassDisplay;
    return p;
}

IccProfile* openFromHandler(EngineContext* ctx, IoHandler* io)
{
    return readProfile(ctx, io);
}

IccProfile* openFromFile(EngineContext* ctx, const char* fileName, const char* mode)
{
    IoHandler* io = openFileHandler(ctx, fileName, mode);
    return wantsWrite(mode) ? blankForWriting(ctx, io) : readProfile(ctx, io);
}

IccProfile* openFromStreamContext(EngineContext* ctx, FILE* stream, const char* mode)
{
    IoHandler* io = openStreamHandler(ctx, stream);
    if (!io) {
        if (stream) std::fclose(stream);   // the stream was handed over
        return nullptr;
    }
    return wantsWrite(mode) ? blankForWriting(ctx, io) : readProfile(ctx, io);
}

IccProfile* openFromStream(FILE* stream, const char* mode)
{
    return openFromStreamContext(nullptr, stream, mode);
}

IccProfile* openFromMemoryContext(EngineContext* ctx, const void* block, uint32_t size)
{
    return readProfile(ctx, openMemoryHandler(ctx, const_cast<void*>(block), size, "r"));
}

IccProfile* openFromMemory(const void* block, uint32_t size)
{
    return openFromMemoryContext(nullptr, block, size);
}

bool closeProfile(IccProfile* profile)
{
    if (!profile) return false;
    bool ok = true;
    if (profile->saveOnClose && profile->io) ok = saveToHandler(profile, profile->io) != 0;
    if (profile->io) ok = profile->io->close(profile->io) && ok;
    releaseProfile(profile);
    return ok;
}

uint32_t saveToHandler(IccProfile* profile, IoHandler* io)
{
    if (!profile) return 0;
    MutexLock lock(profile->ctx, profile->mutex);
    if (!lock.locked()) return 0;
    return saveLocked(profile, io);
}

bool saveToMemory(IccProfile* profile, void* block, uint32_t* bytes)
{
    if (!profile || !bytes) return false;
    if (!block) {
        *bytes = saveToHandler(profile, nullptr);
        return *bytes != 0;
    }
    IoHandler* io = openMemoryHandler(profile->ctx, block, *bytes, "w");
    if (!io) return false;
    const uint32_t total = saveToHandler(profile, io);
    const bool closed = closeIoHandler(io);
    if (total == 0 || !closed) return false;
    if (total > *bytes) {
        // The handler stopped at the end of the block; the profile is cut.
        reportError(profile->ctx, ErrWrite, "Block of %u bytes is too small for a profile of %u bytes", *bytes,
                    total);
        *bytes = total;
        return false;
    }
    *bytes = total;
    return true;
}

bool saveToStream(IccProfile* profile, FILE* stream)
{
    if (!profile) return false;
    IoHandler* io = openBorrowedStreamHandler(profile->ctx, stream);
    if (!io) return false;
    const bool saved = saveToHandler(profile, io) != 0;
    const bool closed = closeIoHandler(io);
    return saved && closed;
}

bool saveToFile(IccProfile* profile, const char* fileName)
{
    if (!profile) return false;
    IoHandler* io = openFileHandler(profile->ctx, fileName, "w");
    if (!io) return false;
    const bool saved = saveToHandler(profile, io) != 0;
    const bool closed = closeIoHandler(io);
    if (saved && closed) return true;
    std::remove(fileName);   // leave no half-written profile behind
    return false;
}

// ---------------------------------------------------------------------------
// Header fields
// ---------------------------------------------------------------------------

EngineContext* profileContext(const IccProfile* p) { return p->ctx; }
uint32_t profileDeviceClass(const IccProfile* p) { return p->deviceClass; }
void setProfileDeviceClass(IccProfile* p, uint32_t v) { p->deviceClass = v; }
uint32_t profileColorSpace(const IccProfile* p) { return p->colorSpace; }
void setProfileColorSpace(IccProfile* p, uint32_t v) { p->colorSpace = v; }
uint32_t profilePcs(const IccProfile* p) { return p->pcs; }
void setProfilePcs(IccProfile* p, uint32_t v) { p->pcs = v; }
uint32_t profileRenderingIntent(const IccProfile* p) { return p->intent; }
void setProfileRenderingIntent(IccProfile* p, uint32_t v) { p->intent = v; }
uint32_t profileVersion(const IccProfile* p) { return p->version; }
void setProfileVersion(IccProfile* p, uint32_t v) { p->version = v; }
uint32_t profileFlags(const IccProfile* p) { return p->flags; }
void setProfileFlags(IccProfile* p, uint32_t v) { p->flags = v; }
uint32_t profileManufacturer(const IccProfile* p) { return p->manufacturer; }
void setProfileManufacturer(IccProfile* p, uint32_t v) { p->manufacturer = v; }
uint32_t profileModel(const IccProfile* p) { return p->model; }
void setProfileModel(IccProfile* p, uint32_t v) { p->model = v; }
uint32_t profileCreator(const IccProfile* p) { return p->creator; }
void setProfileCreator(IccProfile* p, uint32_t v) { p->creator = v; }
uint32_t profileCmmType(const IccProfile* p) { return p->cmm; }
void setProfileCmmType(IccProfile* p, uint32_t v) { p->cmm = v; }
uint32_t profilePlatform(const IccProfile* p) { return p->platform; }
void setProfilePlatform(IccProfile* p, uint32_t v) { p->platform = v; }
uint64_t profileAttributes(const IccProfile* p) { return p->attributes; }
void setProfileAttributes(IccProfile* p, uint64_t v) { p->attributes = v; }
void profileId(const IccProfile* p, uint8_t id[16]) { std::memcpy(id, p->id, 16); }
void setProfileId(IccProfile* p, const uint8_t id[16]) { std::memcpy(p->id, id, 16); }
std::tm profileCreationDate(const IccProfile* p) { return p->created; }
void setProfileCreationDate(IccProfile* p, const std::tm& date) { p->created = date; }

double versionAsNumber(const IccProfile* p)
{
    // The upper 16 bits read as decimal digits: 0x0430 is 430, so 4.30.
    const uint32_t n = p->version >> 16;
    const uint32_t digits = ((n >> 12) & 0xF) * 1000 + ((n >> 8) & 0xF) * 100 + ((n >> 4) & 0xF) * 10 + (n & 0xF);
    return digits / 100.0;
}

void setVersionFromNumber(IccProfile* p, double version)
{
    const double r = std::floor(version * 100.0 + 0.5);
    const uint32_t n = r <= 0 ? 0 : r >= 9999 ? 9999 : uint32_t(r);   // NaN gives 0
    const uint32_t nibbles = ((n / 1000) % 10) << 12 | ((n / 100) % 10) << 8 | ((n / 10) % 10) << 4 | (n % 10);
    p->version = nibbles << 16;
}

// ---------------------------------------------------------------------------
// Tags
// ---------------------------------------------------------------------------

bool hasTag(const IccProfile* profile, uint32_t sig)
{
    return findSlot(profile, sig) >= 0;
}

uint32_t tagCount(const IccProfile* profile)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < profile->slotCount; ++i)
        if (profile->slots[i].sig) ++n;
    return n;
}

uint32_t tagSignatureAt(const IccProfile* profile, uint32_t index)
{
    for (uint32_t i = 0; i < profile->slotCount; ++i) {
        if (!profile->slots[i].sig) continue;
        if (index-- == 0) return profile->slots[i].sig;
    }
    return 0;
}

void* loadTag(IccProfile* p, uint32_t sig)
{
    MutexLock lock(p->ctx, p->mutex);
    if (!lock.locked()) return nullptr;

    const int n = resolveSlot(p, sig);
    if (n < 0) return nullptr;
    TagSlot& slot = p->slots[n];
    const TagDescriptor* descriptor = findTagDescriptor(p->ctx, sig);

    if (slot.object) {
        // A cached object of a type this signature does not take stays in the
        // slot for saving but is not handed out.
        if (slot.handler && descriptor && isTypeAllowed(descriptor, slot.handler->signature)) return slot.object;
        return nullptr;
    }

    if (slot.size < MinTagSize) return nullptr;
    if (!p->io) {
        reportError(p->ctx, ErrCorruptionDetected, "Corrupted built-in profile.");
        return nullptr;
    }
    if (!p->io->seek(p->io, slot.offset)) return nullptr;
    if (!descriptor) {
        reportError(p->ctx, ErrUnknownExtension, "Unknown tag type '%s' found.", sigText(sig).text);
        return nullptr;
    }
    uint32_t type = 0;
    if (!readTypeBase(p->io, &type) || type == 0 || !isTypeAllowed(descriptor, type)) return nullptr;
    const TagTypeHandler* handler = findTypeHandler(p->ctx, type);
    if (!handler || !handler->read) return nullptr;

    uint32_t count = 0;
    void* object = callTypeRead(handler, p->ctx, p->version, p->io, &count, slot.size - MinTagSize);
    if (!object) {
        reportError(p->ctx, ErrCorruptionDetected, "Corrupted tag '%s'", sigText(sig).text);
        return nullptr;
    }
    if (count < descriptor->elementCount) {
        reportError(p->ctx, ErrCorruptionDetected, "'%s' Inconsistent number of items: expected %d, got %d",
                    sigText(sig).text, int(descriptor->elementCount), int(count));
        callTypeFree(handler, p->ctx, object);
        return nullptr;
    }
    slot.object = object;
    slot.handler = handler;
    return object;
}

bool storeTag(IccProfile* p, uint32_t sig, const void* object)
{
    MutexLock lock(p->ctx, p->mutex);
    if (!lock.locked()) return false;

    if (!object) {
        const int n = findSlot(p, sig);
        if (n < 0) return false;
        releaseObject(p, p->slots[n]);
        p->slots[n] = TagSlot{};
        return true;
    }

    const int n = slotForStore(p, sig);
    if (n < 0) return false;
    auto abandon = [&] {
        // A slot taken from the end for this call goes back.
        if (uint32_t(n) + 1 == p->slotCount && p->slots[n].sig == 0) --p->slotCount;
        return false;
    };

    const TagDescriptor* d = findTagDescriptor(p->ctx, sig);
    if (!d) {
        reportError(p->ctx, ErrUnknownExtension, "Unsupported tag '%x'", sig);
        return abandon();
    }
    const uint32_t type = d->decideType ? d->decideType(versionAsNumber(p), object) : d->supportedTypes[0];
    const TagTypeHandler* handler = isTypeAllowed(d, type) ? findTypeHandler(p->ctx, type) : nullptr;
    if (!handler || !handler->duplicate) {
        reportError(p->ctx, ErrUnknownExtension, "Unsupported type '%s' for tag '%s'", sigText(type).text,
                    sigText(sig).text);
        return abandon();
    }
    void* copy = callTypeDuplicate(handler, p->ctx, p->version, object, d->elementCount);
    if (!copy) {
        reportError(p->ctx, ErrCorruptionDetected, "Malformed struct in type '%s' for tag '%s'", sigText(type).text,
                    sigText(sig).text);
        return abandon();
    }
    TagSlot& slot = p->slots[n];
    releaseObject(p, slot);
    slot = TagSlot{sig, 0, 0, 0, copy, handler};
    return true;
}

bool aliasTag(IccProfile* p, uint32_t sig, uint32_t target)
{
    if (sig == 0 || target == 0 || sig == target) {
        reportError(p->ctx, ErrRange, "Cannot link tag '%s' to '%s'", sigText(sig).text, sigText(target).text);
        return false;
    }
    MutexLock lock(p->ctx, p->mutex);
    if (!lock.locked()) return false;
    const int n = slotForStore(p, sig);
    if (n < 0) return false;
    TagSlot& slot = p->slots[n];
    releaseObject(p, slot);
    slot = TagSlot{sig, target, 0, 0, nullptr, nullptr};
    return true;
}

uint32_t tagLinkTarget(IccProfile* p, uint32_t sig)
{
    MutexLock lock(p->ctx, p->mutex);
    if (!lock.locked()) return 0;
    const int n = findSlot(p, sig);
    return n < 0 ? 0 : p->slots[n].linkedTo;
}

uint32_t linkedTypeOf(IccProfile* p, uint32_t sig)
{
    MutexLock lock(p->ctx, p->mutex);
    if (!lock.locked()) return 0;
    const int n = resolveSlot(p, sig);
    if (n < 0 || !p->slots[n].handler) return 0;
    return p->slots[n].handler->signature;
}

uint32_t profileText(IccProfile* p, uint32_t which, const char* language, const char* country, wchar_t* buffer,
                     uint32_t size)
{
    static constexpr uint32_t Tags[] = {sig("desc"), sig("dmnd"), sig("dmdd"), sig("cprt")};
    if (which > 3) return 0;
    const auto* text = static_cast<const LocalizedText*>(loadTag(p, Tags[which]));
    return text ? localizedTextWide(text, language, country, buffer, size) : 0;
}

uint32_t profileTextUtf8(IccProfile* p, uint32_t which, const char* language, const char* country, char* buffer,
                         uint32_t size)
{
    static constexpr uint32_t Tags[] = {sig("desc"), sig("dmnd"), sig("dmdd"), sig("cprt")};
    if (which > 3) return 0;
    const auto* text = static_cast<const LocalizedText*>(loadTag(p, Tags[which]));
    return text ? localizedTextUtf8(text, language, country, buffer, size) : 0;
}
