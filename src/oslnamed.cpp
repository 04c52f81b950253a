// Localized texts, named colour lists with their stage, profile sequences and
// dictionaries: the objects the text and list tag types carry.
#include "oslinternal.h"

#include <cstring>
#include <cwchar>

namespace {

constexpr uint32_t FirstPoolBytes = 256;
constexpr uint32_t FirstNamedColorCapacity = 64;
constexpr uint32_t MaxNamedColorCapacity = 102400;
constexpr uint16_t Replacement = 0xFFFD;

bool isHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// ---------------------------------------------------------------------------
// Text encodings
// ---------------------------------------------------------------------------

// The code point starting at units[i]; *used gets the units it took. Lone
// surrogates come back as themselves.
uint32_t decodeUtf16(const uint16_t* units, uint32_t count, uint32_t i, uint32_t* used)
{
    const uint32_t u = units[i];
    if (isHighSurrogate(u) && i + 1 < count && isLowSurrogate(units[i + 1])) {
        *used = 2;
        return 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
    }
    *used = 1;
    return u;
}

// Bytes of the UTF-8 form of a code point (lone surrogates become U+FFFD).
uint32_t utf8Length(uint32_t cp)
{
    if (cp < 0x80) return 1;
    if (cp < 0x800) return 2;
    if (cp < 0x10000) return 3;
    return 4;
}

uint32_t encodeUtf8(uint32_t cp, char* out)
{
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = Replacement;
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

// The code point at s (a NUL-terminated UTF-8 string); *used gets the bytes it
// took. Malformed, overlong or surrogate sequences give U+FFFD for one byte.
uint32_t decodeUtf8(const unsigned char* s, uint32_t* used)
{
    const uint32_t b = s[0];
    uint32_t need, cp, min;
    if (b < 0x80) {
        *used = 1;
        return b;
    }
    if ((b & 0xE0) == 0xC0) {
        need = 1, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        need = 2, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        need = 3, cp = b & 0x07, min = 0x10000;
    } else {
        *used = 1;
        return Replacement;
    }
    for (uint32_t k = 1; k <= need; ++k) {
        if ((s[k] & 0xC0) != 0x80) {   // also stops at the NUL
            *used = 1;
            return Replacement;
        }
        cp = (cp << 6) | (s[k] & 0x3F);
    }
    *used = need + 1;
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return Replacement;
    return cp;
}

// Appends the UTF-16 form of a code point; returns the units it took.
uint32_t encodeUtf16(uint32_t cp, uint16_t* out)
{
    if (cp < 0x10000) {
        if (out) out[0] = uint16_t(cp);
        return 1;
    }
    cp -= 0x10000;
    if (out) {
        out[0] = uint16_t(0xD800 + (cp >> 10));
        out[1] = uint16_t(0xDC00 + (cp & 0x3FF));
    }
    return 2;
}

// Copies what fits of `n` elements into a buffer of `size` with a terminator;
// returns the elements written including it, or the size needed without a
// buffer.
template <typename Char>
uint32_t deliver(const Char* text, uint32_t n, Char* buffer, uint32_t size)
{
    if (!buffer) return n + 1;
    if (size == 0) return 0;
    const uint32_t k = n < size - 1 ? n : size - 1;
    std::memcpy(buffer, text, k * sizeof(Char));
    buffer[k] = 0;
    return k + 1;
}

bool growEntries(LocalizedText* t)
{
    if (t->count < t->capacity) return true;
    if (t->capacity > UINT32_MAX / 2) return false;
    return reserveTextEntries(t, t->capacity ? t->capacity * 2 : 2);
}

bool growPool(LocalizedText* t, uint32_t more)
{
    if (more > UINT32_MAX - t->poolUsed) return false;
    const uint32_t needed = t->poolUsed + more;
    if (needed <= t->poolSize) return true;
    uint64_t size = t->poolSize ? t->poolSize : FirstPoolBytes;
    while (size < needed) size *= 2;
    if (size > MaxAllocation) return false;
    auto* pool = static_cast<uint8_t*>(engineRealloc(t->ctx, t->pool, size_t(size)));
    if (!pool) return false;
    t->pool = pool;
    t->poolSize = uint32_t(size);
    return true;
}

// The UTF-16 units of the text for the codes, as a vector-free view.
struct Units {
    const uint16_t* data;
    uint32_t count;
};

Units unitsFor(const LocalizedText* t, const char* language, const char* country)
{
    Units u{nullptr, 0};
    if (t) u.data = lookupTextUnits(t, packTextCode(language), packTextCode(country), &u.count);
    return u;
}

} // namespace

// ---------------------------------------------------------------------------
// Code conversions shared with the type readers
// ---------------------------------------------------------------------------

uint16_t packTextCode(const char* code)
{
    if (!code || !code[0]) return 0;
    return uint16_t((uint8_t(code[0]) << 8) | uint8_t(code[1]));
}

uint32_t utf16ToWide(const uint16_t* units, uint32_t count, wchar_t* out)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < count;) {
        uint32_t used;
        const uint32_t cp = decodeUtf16(units, count, i, &used);
        if (sizeof(wchar_t) < 4 && cp > 0xFFFF) {
            // A 16-bit wchar_t keeps the pair as it is.
            if (out) {
                out[n] = wchar_t(units[i]);
                out[n + 1] = wchar_t(units[i + 1]);
            }
            n += 2;
        } else {
            if (out) out[n] = wchar_t(cp);
            ++n;
        }
        i += used;
    }
    return n;
}

uint32_t wideToUtf16(const wchar_t* text, size_t length, uint16_t* out)
{
    uint32_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        uint32_t cp = uint32_t(text[i]);
        if (cp > 0x10FFFF) cp = Replacement;
        n += encodeUtf16(cp, out ? out + n : nullptr);
    }
    return n;
}

// ---------------------------------------------------------------------------
// LocalizedText
// ---------------------------------------------------------------------------

bool reserveTextEntries(LocalizedText* t, uint32_t count)
{
    if (count <= t->capacity) return true;
    auto* entries = static_cast<TextEntry*>(engineRealloc(t->ctx, t->entries, size_t(count) * sizeof(TextEntry)));
    if (!entries) return false;
    t->entries = entries;
    t->capacity = count;
    return true;
}

bool resizeTextPool(LocalizedText* t, uint32_t bytes)
{
    engineFree(t->ctx, t->pool);
    t->pool = nullptr;
    t->poolSize = t->poolUsed = 0;
    if (bytes == 0) return true;
    t->pool = static_cast<uint8_t*>(engineAlloc(t->ctx, bytes));
    if (!t->pool) return false;
    t->poolSize = t->poolUsed = bytes;
    return true;
}

const TextEntry* findTextEntry(const LocalizedText* t, uint16_t language, uint16_t country)
{
    if (!t || t->count == 0) return nullptr;
    const TextEntry* sameLanguage = nullptr;
    for (uint32_t i = 0; i < t->count; ++i) {
        const TextEntry& e = t->entries[i];
        if (e.language != language) continue;
        if (e.country == country) return &e;
        if (!sameLanguage) sameLanguage = &e;
    }
    return sameLanguage ? sameLanguage : &t->entries[0];
}

const uint16_t* lookupTextUnits(const LocalizedText* t, uint16_t language, uint16_t country, uint32_t* count)
{
    *count = 0;
    const TextEntry* e = findTextEntry(t, language, country);
    if (!e || e->offset > t->poolUsed || e->length > t->poolUsed - e->offset || (e->offset & 1)) return nullptr;
    if (e->length < 2) {
        static const uint16_t empty = 0;
        return &empty;
    }
    const auto* units = reinterpret_cast<const uint16_t*>(t->pool + e->offset);
    const uint32_t n = e->length / 2;
    uint32_t k = 0;
    while (k < n && units[k] != 0) ++k;
    *count = k;
    return units;
}

bool addTextUnits(LocalizedText* t, uint16_t language, uint16_t country, const uint16_t* units, uint32_t count)
{
    if (!t) return false;
    for (uint32_t i = 0; i < t->count; ++i)
        if (t->entries[i].language == language && t->entries[i].country == country) return false;
    if (count > (UINT32_MAX - 1) / 2) return false;
    const uint32_t bytes = count * 2;
    if (!growEntries(t) || !growPool(t, bytes)) return false;
    if (bytes) std::memcpy(t->pool + t->poolUsed, units, bytes);
    t->entries[t->count++] = TextEntry{language, country, t->poolUsed, bytes};
    t->poolUsed += bytes;
    return true;
}

LocalizedText* newLocalizedText(EngineContext* ctx, uint32_t expectedEntries)
{
    auto* t = static_cast<LocalizedText*>(engineAllocZero(ctx, sizeof(LocalizedText)));
    if (!t) return nullptr;
    t->ctx = ctx;
    if (!reserveTextEntries(t, expectedEntries ? expectedEntries : 2)) {
        engineFree(ctx, t);
        return nullptr;
    }
    return t;
}

void freeLocalizedText(LocalizedText* text)
{
    if (!text) return;
    engineFree(text->ctx, text->entries);
    engineFree(text->ctx, text->pool);
    engineFree(text->ctx, text);
}

LocalizedText* duplicateLocalizedText(const LocalizedText* text)
{
    if (!text) return nullptr;
    OwnedText copy(newLocalizedText(text->ctx, text->count), &freeLocalizedText);
    if (!copy || !resizeTextPool(copy.get(), text->poolUsed)) return nullptr;
    if (text->count) std::memcpy(copy->entries, text->entries, text->count * sizeof(TextEntry));
    if (text->poolUsed) std::memcpy(copy->pool, text->pool, text->poolUsed);
    copy->count = text->count;
    return copy.release();
}

bool setText8(LocalizedText* text, const char* language, const char* country, const char* string)
{
    if (!text) return false;
    if (!string) string = "";
    const size_t n = std::strlen(string);
    if (n > MaxAllocation / 2) return false;
    EngineBuffer<uint16_t> units = engineArray<uint16_t>(text->ctx, n ? n : 1);
    if (!units) return false;
    for (size_t i = 0; i < n; ++i) units.get()[i] = uint16_t(int16_t(int8_t(string[i])));   // sign-extended
    return addTextUnits(text, packTextCode(language), packTextCode(country), units.get(), uint32_t(n));
}

bool setTextUtf8(LocalizedText* text, const char* language, const char* country, const char* string)
{
    if (!text) return false;
    if (!string) string = "";
    const size_t n = std::strlen(string);
    if (n > MaxAllocation / 2) return false;
    // Never more units than bytes.
    EngineBuffer<uint16_t> units = engineArray<uint16_t>(text->ctx, n ? n : 1);
    if (!units) return false;
    const auto* s = reinterpret_cast<const unsigned char*>(string);
    uint32_t k = 0;
    for (size_t i = 0; i < n;) {
        uint32_t used;
        const uint32_t cp = decodeUtf8(s + i, &used);
        k += encodeUtf16(cp, units.get() + k);
        i += used;
    }
    return addTextUnits(text, packTextCode(language), packTextCode(country), units.get(), k);
}

bool setTextWide(LocalizedText* text, const char* language, const char* country, const wchar_t* string)
{
    if (!text) return false;
    if (!string) string = L"";
    const size_t n = std::wcslen(string);
    if (n > MaxAllocation / 4) return false;
    EngineBuffer<uint16_t> units = engineArray<uint16_t>(text->ctx, n ? 2 * n : 1);
    if (!units) return false;
    const uint32_t k = wideToUtf16(string, n, units.get());
    return addTextUnits(text, packTextCode(language), packTextCode(country), units.get(), k);
}

uint32_t getText8(const LocalizedText* text, const char* language, const char* country, char* buffer,
                  uint32_t size)
{
    const Units u = unitsFor(text, language, country);
    if (!u.data) return 0;
    if (!buffer) return u.count + 1;
    if (size == 0) return 0;
    const uint32_t k = u.count < size - 1 ? u.count : size - 1;
    for (uint32_t i = 0; i < k; ++i) buffer[i] = u.data[i] >= 255 ? '?' : char(u.data[i]);
    buffer[k] = 0;
    return k + 1;
}

uint32_t getTextWide(const LocalizedText* text, const char* language, const char* country, wchar_t* buffer,
                     uint32_t size)
{
    const Units u = unitsFor(text, language, country);
    if (!u.data) return 0;
    const uint32_t n = utf16ToWide(u.data, u.count, nullptr);
    if (!buffer) return n + 1;
    if (size == 0) return 0;
    EngineBuffer<wchar_t> wide = engineArray<wchar_t>(text->ctx, n ? n : 1);
    if (!wide) return 0;
    utf16ToWide(u.data, u.count, wide.get());
    return deliver(wide.get(), n, buffer, size);
}

uint32_t getTextUtf8(const LocalizedText* text, const char* language, const char* country, char* buffer,
                     uint32_t size)
{
    const Units u = unitsFor(text, language, country);
    if (!u.data) return 0;
    uint32_t n = 0;
    for (uint32_t i = 0; i < u.count;) {
        uint32_t used;
        n += utf8Length(decodeUtf16(u.data, u.count, i, &used));
        i += used;
    }
    if (!buffer) return n + 1;
    if (size == 0) return 0;
    // Whole characters only.
    uint32_t k = 0;
    char bytes[4];
    for (uint32_t i = 0; i < u.count;) {
        uint32_t used;
        const uint32_t len = encodeUtf8(decodeUtf16(u.data, u.count, i, &used), bytes);
        if (k + len > size - 1) break;
        std::memcpy(buffer + k, bytes, len);
        k += len;
        i += used;
    }
    buffer[k] = 0;
    return k + 1;
}

uint32_t localizedTextEntryCount(const LocalizedText* text)
{
    return text ? text->count : 0;
}

bool localizedTextEntryCodes(const LocalizedText* text, uint32_t index, char language[3], char country[3])
{
    if (!text || index >= text->count) return false;
    const TextEntry& e = text->entries[index];
    for (auto [code, out] : {std::pair{e.language, language}, std::pair{e.country, country}}) {
        if (!out) continue;
        out[0] = char(code >> 8);
        out[1] = char(code & 0xFF);
        out[2] = 0;
    }
    return true;
}

// Lookups for profileText.
uint32_t localizedTextWide(const LocalizedText* text, const char* language, const char* country, wchar_t* buffer,
                           uint32_t size)
{
    return getTextWide(text, language, country, buffer, size);
}

uint32_t localizedTextUtf8(const LocalizedText* text, const char* language, const char* country, char* buffer,
                           uint32_t size)
{
    return getTextUtf8(text, language, country, buffer, size);
}

// ---------------------------------------------------------------------------
// Named colours
// ---------------------------------------------------------------------------

namespace {

void copyName(char out[NamedColorNameLength + 1], const char* name)
{
    std::memset(out, 0, NamedColorNameLength + 1);
    if (name) std::memcpy(out, name, strnlen(name, NamedColorNameLength));
}

bool growNamedColors(NamedColorList* list, uint32_t wanted)
{
    if (wanted <= list->capacity) return true;
    uint32_t capacity = list->capacity ? list->capacity : FirstNamedColorCapacity;
    while (capacity < wanted) capacity *= 2;   // wanted is far below 2^31 here
    if (capacity > MaxNamedColorCapacity) {
        reportError(list->ctx, ErrRange, "Too many named colors '%u'", wanted);
        return false;
    }
    auto* colors =
        static_cast<NamedColor*>(engineRealloc(list->ctx, list->colors, size_t(capacity) * sizeof(NamedColor)));
    if (!colors) return false;
    list->colors = colors;
    list->capacity = capacity;
    return true;
}

bool sameNameIgnoringCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(*a) != lower(*b)) return false;
        if (!*a) return true;
    }
}

const NamedColorList* listOf(const Stage* stage)
{
    return static_cast<const NamedColorList*>(stage->data);
}

// The colour an input picks, or null (reported) when it names no colour.
const NamedColor* pickColor(const float in[], const Stage* stage)
{
    const NamedColorList* list = listOf(stage);
    const uint16_t index = quickSaturateWord(double(in[0]) * 65535.0);
    if (index >= list->count) {
        reportError(stage->ctx, ErrRange, "Color %d out of range", int(index));
        return nullptr;
    }
    return &list->colors[index];
}

void evalNamedToPcs(const float in[], float out[], const Stage* stage)
{
    const NamedColor* c = pickColor(in, stage);
    for (int i = 0; i < 3; ++i) out[i] = c ? float(c->pcs[i] / 65535.0) : 0.0f;
}

void evalNamedToDevice(const float in[], float out[], const Stage* stage)
{
    const NamedColor* c = pickColor(in, stage);
    for (uint32_t i = 0; i < stage->outputs; ++i) out[i] = c ? float(c->device[i] / 65535.0) : 0.0f;
}

void* dupNamedData(EngineContext*, const void* data)
{
    return duplicateNamedColorList(static_cast<const NamedColorList*>(data));
}

void freeNamedData(EngineContext*, void* data)
{
    freeNamedColorList(static_cast<NamedColorList*>(data));
}

} // namespace

NamedColorList* newNamedColorList(EngineContext* ctx, uint32_t expected, uint32_t deviceCoordinates,
                                  const char* prefix, const char* suffix)
{
    if (deviceCoordinates > MaxDeviceCoordinates) {
        reportError(ctx, ErrRange, "Too many device coordinates '%u'", deviceCoordinates);
        return nullptr;
    }
    if (expected > MaxNamedColors) {
        reportError(ctx, ErrRange, "Too many named colors '%u'", expected);
        return nullptr;
    }
    auto* list = static_cast<NamedColorList*>(engineAllocZero(ctx, sizeof(NamedColorList)));
    if (!list) return nullptr;
    list->ctx = ctx;
    list->deviceCoordinates = deviceCoordinates;
    copyName(list->prefix, prefix);
    copyName(list->suffix, suffix);
    if (!growNamedColors(list, expected ? expected : 1)) {
        freeNamedColorList(list);
        return nullptr;
    }
    return list;
}

void freeNamedColorList(NamedColorList* list)
{
    if (!list) return;
    engineFree(list->ctx, list->colors);
    engineFree(list->ctx, list);
}

NamedColorList* duplicateNamedColorList(const NamedColorList* list)
{
    if (!list) return nullptr;
    NamedColorList* copy =
        newNamedColorList(list->ctx, list->count, list->deviceCoordinates, list->prefix, list->suffix);
    if (!copy) return nullptr;
    if (list->count) std::memcpy(copy->colors, list->colors, size_t(list->count) * sizeof(NamedColor));
    copy->count = list->count;
    copy->vendorFlag = list->vendorFlag;
    return copy;
}

bool appendNamedColor(NamedColorList* list, const char* name, const uint16_t pcs[3], const uint16_t device[])
{
    if (!list) return false;
    if (list->count >= MaxNamedColors) {
        reportError(list->ctx, ErrRange, "Too many named colors '%u'", list->count + 1);
        return false;
    }
    if (!growNamedColors(list, list->count + 1)) return false;
    NamedColor& c = list->colors[list->count];
    std::memset(&c, 0, sizeof c);
    copyName(c.name, name);
    if (pcs) std::memcpy(c.pcs, pcs, sizeof c.pcs);
    if (device) std::memcpy(c.device, device, list->deviceCoordinates * sizeof(uint16_t));
    ++list->count;
    return true;
}

uint32_t namedColorCount(const NamedColorList* list)
{
    return list ? list->count : 0;
}

uint32_t namedColorDeviceCoordinates(const NamedColorList* list)
{
    return list ? list->deviceCoordinates : 0;
}

bool namedColorInfo(const NamedColorList* list, uint32_t index, char name[33], char prefix[33], char suffix[33],
                    uint16_t pcs[3], uint16_t device[])
{
    if (!list || index >= list->count) return false;
    const NamedColor& c = list->colors[index];
    if (name) std::memcpy(name, c.name, NamedColorNameLength + 1);
    if (prefix) std::memcpy(prefix, list->prefix, NamedColorNameLength + 1);
    if (suffix) std::memcpy(suffix, list->suffix, NamedColorNameLength + 1);
    if (pcs) std::memcpy(pcs, c.pcs, sizeof c.pcs);
    if (device) std::memcpy(device, c.device, list->deviceCoordinates * sizeof(uint16_t));
    return true;
}

int32_t namedColorIndex(const NamedColorList* list, const char* name)
{
    if (!list || !name) return -1;
    for (uint32_t i = 0; i < list->count; ++i)
        if (sameNameIgnoringCase(list->colors[i].name, name)) return int32_t(i);
    return -1;
}

Stage* newNamedColorStage(const NamedColorList* list, bool toPcs)
{
    if (!list) return nullptr;
    const uint32_t outputs = toPcs ? 3 : list->deviceCoordinates;
    if (outputs == 0) {
        reportError(list->ctx, ErrRange, "Named color list without device coordinates");
        return nullptr;
    }
    NamedColorList* copy = duplicateNamedColorList(list);
    if (!copy) return nullptr;
    Stage* stage = newStage(list->ctx, StageNamedColorKind, 1, outputs, toPcs ? evalNamedToPcs : evalNamedToDevice,
                            dupNamedData, freeNamedData, copy);
    if (!stage) freeNamedColorList(copy);
    return stage;
}

// ---------------------------------------------------------------------------
// Profile sequences
// ---------------------------------------------------------------------------

ProfileSequence* newProfileSequence(EngineContext* ctx, uint32_t count)
{
    auto* seq = static_cast<ProfileSequence*>(engineAllocZero(ctx, sizeof(ProfileSequence)));
    if (!seq) return nullptr;
    seq->ctx = ctx;
    if (count > 0) {
        seq->items = static_cast<ProfileSequenceItem*>(engineAllocArray(ctx, count, sizeof(ProfileSequenceItem)));
        if (!seq->items) {
            engineFree(ctx, seq);
            return nullptr;
        }
        std::memset(seq->items, 0, size_t(count) * sizeof(ProfileSequenceItem));
    }
    seq->count = count;
    return seq;
}

void freeProfileSequence(ProfileSequence* sequence)
{
    if (!sequence) return;
    for (uint32_t i = 0; i < sequence->count; ++i) {
        ProfileSequenceItem& item = sequence->items[i];
        freeLocalizedText(item.manufacturerText);
        freeLocalizedText(item.modelText);
        freeLocalizedText(item.description);
    }
    engineFree(sequence->ctx, sequence->items);
    engineFree(sequence->ctx, sequence);
}

ProfileSequence* duplicateProfileSequence(const ProfileSequence* sequence)
{
    if (!sequence) return nullptr;
    ProfileSequence* copy = newProfileSequence(sequence->ctx, sequence->count);
    if (!copy) return nullptr;
    for (uint32_t i = 0; i < sequence->count; ++i) {
        const ProfileSequenceItem& from = sequence->items[i];
        ProfileSequenceItem& to = copy->items[i];
        to = from;
        to.manufacturerText = to.modelText = to.description = nullptr;
        // A text that cannot be copied fails the whole copy.
        for (auto [source, target] : {std::pair{from.manufacturerText, &to.manufacturerText},
                                      std::pair{from.modelText, &to.modelText},
                                      std::pair{from.description, &to.description}}) {
            if (!source) continue;
            *target = duplicateLocalizedText(source);
            if (!*target) {
                freeProfileSequence(copy);
                return nullptr;
            }
        }
    }
    return copy;
}

// ---------------------------------------------------------------------------
// Dictionaries
// ---------------------------------------------------------------------------

struct IccDictionary {
    EngineContext* ctx;
    DictEntry* first;
    DictEntry* last;
};

namespace {

wchar_t* copyWide(EngineContext* ctx, const wchar_t* s)
{
    const size_t n = std::wcslen(s) + 1;
    if (n > MaxAllocation / sizeof(wchar_t)) return nullptr;
    return static_cast<wchar_t*>(engineDup(ctx, s, n * sizeof(wchar_t)));
}

void freeEntry(EngineContext* ctx, DictEntry* e)
{
    engineFree(ctx, e->name);
    engineFree(ctx, e->value);
    freeLocalizedText(e->displayName);
    freeLocalizedText(e->displayValue);
    engineFree(ctx, e);
}

} // namespace

IccDictionary* newDictionary(EngineContext* ctx)
{
    auto* dict = static_cast<IccDictionary*>(engineAllocZero(ctx, sizeof(IccDictionary)));
    if (dict) dict->ctx = ctx;
    return dict;
}

void freeDictionary(IccDictionary* dict)
{
    if (!dict) return;
    for (DictEntry* e = dict->first; e;) {
        DictEntry* next = const_cast<DictEntry*>(e->next);
        freeEntry(dict->ctx, e);
        e = next;
    }
    engineFree(dict->ctx, dict);
}

bool addDictionaryEntry(IccDictionary* dict, const wchar_t* name, const wchar_t* value,
                        const LocalizedText* displayName, const LocalizedText* displayValue)
{
    if (!dict || !name) return false;
    auto* e = static_cast<DictEntry*>(engineAllocZero(dict->ctx, sizeof(DictEntry)));
    if (!e) return false;
    e->name = copyWide(dict->ctx, name);
    bool ok = e->name != nullptr;
    if (ok && value) ok = (e->value = copyWide(dict->ctx, value)) != nullptr;
    if (ok && displayName) ok = (e->displayName = duplicateLocalizedText(displayName)) != nullptr;
    if (ok && displayValue) ok = (e->displayValue = duplicateLocalizedText(displayValue)) != nullptr;
    if (!ok) {
        freeEntry(dict->ctx, e);
        return false;
    }
    if (dict->last)
        dict->last->next = e;
    else
        dict->first = e;
    dict->last = e;
    return true;
}

IccDictionary* duplicateDictionary(const IccDictionary* dict)
{
    if (!dict) return nullptr;
    IccDictionary* copy = newDictionary(dict->ctx);
    if (!copy) return nullptr;
    for (const DictEntry* e = dict->first; e; e = e->next) {
        if (!addDictionaryEntry(copy, e->name, e->value, e->displayName, e->displayValue)) {
            freeDictionary(copy);
            return nullptr;
        }
    }
    return copy;
}

const DictEntry* dictionaryEntries(const IccDictionary* dict)
{
    return dict ? dict->first : nullptr;
}
