// CGATS text: the sheet with its tables, properties and cells, the lexer, the
// parser and the writer.
#include "oslinternal.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <new>
#include <string_view>

// ---------------------------------------------------------------------------
// Sheet data
// ---------------------------------------------------------------------------

namespace {

constexpr uint32_t SheetPoolSize = 20480;
constexpr size_t MaxSheetType = 1023;
constexpr size_t MaxCellText = 255;
constexpr size_t MaxIncludeName = 255;
constexpr size_t MaxIncludeDepth = 20;
constexpr int32_t MaxCount = 32766;   // fields or sets of one table
constexpr size_t FileBufferSize = 65536;

enum class WriteMode : uint8_t { Uncooked = 0, Quoted = 1, Pair = 4 };

} // namespace

// A header node. Pairs of one key are also chained through nextSubkey,
// starting at the key's first node.
struct CgatsProperty {
    const char* key;
    const char* subkey;
    const char* value;
    WriteMode mode;
    CgatsProperty* next;
    CgatsProperty* nextSubkey;
};

struct CgatsKnownName {
    const char* name;
    WriteMode mode;
    CgatsKnownName* next;
};

struct CgatsTable {
    char sheetType[MaxSheetType + 1];
    int32_t fieldCount;
    int32_t setCount;
    int32_t sampleIdColumn;
    CgatsProperty* header;
    const char** dataFormat;   // fieldCount + 1 slots
    const char** data;         // (fieldCount + 1) × (setCount + 1) slots
};

// Every string, node and array of a sheet lives in its pool.
struct CgatsSheet {
    EngineContext* ctx;
    SubAllocator* pool;
    uint32_t tableCount;
    uint32_t currentTable;
    CgatsTable* tables[CgatsMaxTables];
    CgatsKnownName* keywords;
    CgatsKnownName** keywordsTail;
    CgatsKnownName* samples;
    CgatsKnownName** samplesTail;
    int32_t line;          // last line read, for messages after a parse
    CgatsLexer* lexer;     // the active lexer while parsing
};

namespace {

using SheetPtr = std::unique_ptr<CgatsSheet, decltype(&freeCgatsSheet)>;

const char* const PredefinedKeywords[][2] = {
    {"NUMBER_OF_FIELDS", "0"}, {"NUMBER_OF_SETS", "0"}, {"ORIGINATOR", "1"},
    {"FILE_DESCRIPTOR", "1"}, {"CREATED", "1"}, {"DESCRIPTOR", "1"},
    {"DIFFUSE_GEOMETRY", "1"}, {"MANUFACTURER", "1"}, {"MANUFACTURE", "1"},
    {"PROD_DATE", "1"}, {"SERIAL", "1"}, {"MATERIAL", "1"},
    {"INSTRUMENTATION", "1"}, {"MEASUREMENT_SOURCE", "1"}, {"PRINT_CONDITIONS", "1"},
    {"SAMPLE_BACKING", "1"}, {"CHISQ_DOF", "1"}, {"MEASUREMENT_GEOMETRY", "1"},
    {"FILTER", "1"}, {"POLARIZATION", "1"}, {"WEIGHTING_FUNCTION", "4"},
    {"COMPUTATIONAL_PARAMETER", "4"}, {"TARGET_TYPE", "1"}, {"COLORANT", "1"},
    {"TABLE_DESCRIPTOR", "1"}, {"TABLE_NAME", "1"},
};

const char* const PredefinedSamples[] = {
    "SAMPLE_ID",   "STRING",         "CMYK_C",       "CMYK_M",      "CMYK_Y",       "CMYK_K",
    "D_RED",       "D_GREEN",        "D_BLUE",       "D_VIS",       "D_MAJOR_FILTER", "RGB_R",
    "RGB_G",       "RGB_B",          "SPECTRAL_NM",  "SPECTRAL_PCT", "SPECTRAL_DEC", "XYZ_X",
    "XYZ_Y",       "XYZ_Z",          "XYY_X",        "XYY_Y",       "XYY_CAPY",     "LAB_L",
    "LAB_A",       "LAB_B",          "LAB_C",        "LAB_H",       "LAB_DE",       "LAB_DE_94",
    "LAB_DE_CMC",  "LAB_DE_2000",    "MEAN_DE",      "STDEV_X",     "STDEV_Y",      "STDEV_Z",
    "STDEV_L",     "STDEV_A",        "STDEV_B",      "STDEV_DE",    "CHI_SQD_PAR",
};

struct KeywordEntry {
    const char* name;
    CgatsToken token;
};

// Both tables are sorted by their upper-case spelling for binary search.
constexpr KeywordEntry CgatsKeywords[] = {
    {"$INCLUDE", CgatsToken::Include},
    {".INCLUDE", CgatsToken::Include},
    {"BEGIN_DATA", CgatsToken::BeginData},
    {"BEGIN_DATA_FORMAT", CgatsToken::BeginDataFormat},
    {"DATA_FORMAT_IDENTIFIER", CgatsToken::DataFormatId},
    {"END_DATA", CgatsToken::EndData},
    {"END_DATA_FORMAT", CgatsToken::EndDataFormat},
    {"KEYWORD", CgatsToken::Keyword},
};

constexpr KeywordEntry CubeKeywords[] = {
    {"DOMAIN_MAX", CgatsToken::DomainMax},
    {"DOMAIN_MIN", CgatsToken::DomainMin},
    {"LUT_1D_INPUT_RANGE", CgatsToken::Lut1dInputRange},
    {"LUT_1D_SIZE", CgatsToken::Lut1dSize},
    {"LUT_3D_INPUT_RANGE", CgatsToken::Lut3dInputRange},
    {"LUT_3D_SIZE", CgatsToken::Lut3dSize},
    {"LUT_IN_VIDEO_RANGE", CgatsToken::LutInVideoRange},
    {"LUT_OUT_VIDEO_RANGE", CgatsToken::LutOutVideoRange},
    {"TITLE", CgatsToken::Title},
};

// ---------------------------------------------------------------------------
// Characters and names
// ---------------------------------------------------------------------------

int upper(int c)
{
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

bool isDigit(int c)
{
    return c >= '0' && c <= '9';
}

bool isBlank(int c)
{
    return c == ' ' || c == '\t';
}

// Printable characters that may stand inside an identifier.
bool isIdentChar(int c)
{
    return c >= 33 && c <= 126 && c != '"' && c != '#' && c != '\'';
}

bool isIdentStart(int c)
{
    return isIdentChar(c) && !isDigit(c) && c != '-';
}

// Keys, keywords and sample names compare without regard to letter case.
int compareNoCase(std::string_view a, std::string_view b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const int ca = upper(uint8_t(a[i]));
        const int cb = upper(uint8_t(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && compareNoCase(a, b) == 0;
}

bool isCommentKey(const char* key)
{
    return key[0] == '#';
}

template <size_t N>
CgatsToken lookUpKeyword(const KeywordEntry (&table)[N], std::string_view word)
{
    const auto* end = table + N;
    const auto* hit = std::lower_bound(table, end, word, [](const KeywordEntry& entry, std::string_view w) {
        return compareNoCase(entry.name, w) < 0;
    });
    return (hit != end && compareNoCase(hit->name, word) == 0) ? hit->token : CgatsToken::Identifier;
}

double scaleByPowerOfTen(double value, int64_t exponent)
{
    if (value == 0 || exponent == 0) return value;
    // Powers up to 1e22 are exact, so one multiplication or division rounds once.
    static const double exact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (exponent > 0 && exponent <= 22) return value * exact[exponent];
    if (exponent < 0 && exponent >= -22) return value / exact[-exponent];
    exponent = std::clamp<int64_t>(exponent, -800, 800);
    const double half = std::pow(10.0, double(exponent / 2));
    return value * half * std::pow(10.0, double(exponent - exponent / 2));
}

// Decimal digits gathered as an integer mantissa and a power of ten; digits
// beyond what a double can tell apart are dropped.
struct DecimalDigits {
    uint64_t mantissa = 0;
    int64_t exponent = 0;
    bool any = false;

    void integerDigit(int d)
    {
        any = true;
        if (mantissa < 100000000000000000ull) mantissa = mantissa * 10 + uint64_t(d);
        else ++exponent;
    }
    void fractionDigit(int d)
    {
        any = true;
        if (mantissa < 100000000000000000ull) {
            mantissa = mantissa * 10 + uint64_t(d);
            --exponent;
        }
    }
    double value(int64_t extraExponent) const { return scaleByPowerOfTen(double(mantissa), exponent + extraExponent); }
};

// Exponent digits that would take the exponent past 2147483647 are dropped.
template <typename Next>
int32_t readExponentDigits(Next&& next)
{
    int32_t exponent = 0;
    for (int c = next(); c >= 0; c = next()) {
        const int d = c - '0';
        if (exponent <= (INT32_MAX - d) / 10) exponent = exponent * 10 + d;
    }
    return exponent;
}

// The numeric forms of the lexer, applied to a whole run of identifier
// characters that begins with a digit or '-': a number only when the run is a
// number from start to end, otherwise plain text (an identifier).
enum class NumberKind { Integer, Real, Text, BadHex, BadBinary };
struct ScannedNumber {
    NumberKind kind;
    int32_t integer;
    double real;
};

ScannedNumber scanNumberText(std::string_view run)
{
    const size_t n = run.size();
    size_t i = 0;
    const bool negative = n > 0 && run[0] == '-';
    if (negative) i = 1;

    // 0x… and 0b…: unsigned, the sign is ignored.
    if (i + 1 < n && run[i] == '0' && (upper(run[i + 1]) == 'X' || upper(run[i + 1]) == 'B')) {
        const bool hex = upper(run[i + 1]) == 'X';
        uint64_t value = 0;
        size_t j = i + 2;
        for (; j < n; ++j) {
            const int c = upper(uint8_t(run[j]));
            int digit;
            if (hex && isDigit(c)) digit = c - '0';
            else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            else if (!hex && (c == '0' || c == '1')) digit = c - '0';
            else break;
            value = value * (hex ? 16 : 2) + uint64_t(digit);
            if (value > uint64_t(INT32_MAX)) return {hex ? NumberKind::BadHex : NumberKind::BadBinary, 0, 0};
        }
        if (j != n) return {NumberKind::Text, 0, 0};
        return {NumberKind::Integer, int32_t(value), 0};
    }

    // Decimal: an integer while it fits in 31 bits, a real past that, after
    // a '.' or with an exponent.
    DecimalDigits digits;
    bool isReal = false;
    int32_t integer = 0;
    for (; i < n && isDigit(run[i]); ++i) {
        const int d = run[i] - '0';
        digits.integerDigit(d);
        if (!isReal && integer > (INT32_MAX - d) / 10) isReal = true;
        if (!isReal) integer = integer * 10 + d;
    }
    if (i < n && run[i] == '.') {
        isReal = true;
        for (++i; i < n && isDigit(run[i]); ++i) digits.fractionDigit(run[i] - '0');
    }
    int64_t exponent = 0;
    if (digits.any && i < n && upper(run[i]) == 'E') {
        size_t j = i + 1;
        bool negativeExponent = false;
        if (j < n && (run[j] == '+' || run[j] == '-')) negativeExponent = run[j++] == '-';
        if (j >= n || !isDigit(run[j])) return {NumberKind::Text, 0, 0};
        const int32_t magnitude = readExponentDigits([&]() { return (j < n && isDigit(run[j])) ? run[j++] : -1; });
        exponent = negativeExponent ? -int64_t(magnitude) : int64_t(magnitude);
        isReal = true;
        i = j;
    }
    if (!digits.any || i != n) return {NumberKind::Text, 0, 0};
    if (isReal) {
        const double real = digits.value(exponent);
        return {NumberKind::Real, 0, negative ? -real : real};
    }
    return {NumberKind::Integer, negative ? -integer : integer, 0};
}

std::string printNumber(const ScannedNumber& number)
{
    char text[64];
    if (number.kind == NumberKind::Integer) std::snprintf(text, sizeof text, "%d", number.integer);
    else std::snprintf(text, sizeof text, CgatsNumberFormat, number.real);
    return text;
}

// True when the text, written bare, is read back as one identifier with the
// same text.
bool lexesAsIdentifier(std::string_view text)
{
    if (text.empty()) return false;
    for (char c : text)
        if (!isIdentChar(uint8_t(c))) return false;
    if (isIdentStart(uint8_t(text[0]))) return lookUpKeyword(CgatsKeywords, text) == CgatsToken::Identifier;
    return scanNumberText(text).kind == NumberKind::Text;
}

// True when the text, written bare, is read back as exactly the same text.
bool writesAsItself(std::string_view text)
{
    if (lexesAsIdentifier(text)) return true;
    if (text.empty() || !(isDigit(text[0]) || text[0] == '-')) return false;
    for (char c : text)
        if (!isIdentChar(uint8_t(c))) return false;
    const ScannedNumber number = scanNumberText(text);
    if (number.kind != NumberKind::Integer && number.kind != NumberKind::Real) return false;
    return printNumber(number) == text;
}

// A quoted value cannot hold a line end, nor both quote characters.
bool quotable(std::string_view text)
{
    if (text.find_first_of("\r\n") != std::string_view::npos) return false;
    return text.find('"') == std::string_view::npos || text.find('\'') == std::string_view::npos;
}

char quoteFor(std::string_view text)
{
    return text.find('"') == std::string_view::npos ? '"' : '\'';
}

// The engine's own reader of property numbers: locale-free, '.' as the
// decimal separator, 0 for null or non-numeric text.
double readPropertyNumber(const char* text)
{
    if (!text) return 0;
    const char* p = text;
    while (isBlank(*p)) ++p;
    double sign = 1;
    if (*p == '-' || *p == '+') sign = (*p++ == '-') ? -1 : 1;
    DecimalDigits digits;
    for (; isDigit(*p); ++p) digits.integerDigit(*p - '0');
    if (*p == '.')
        for (++p; isDigit(*p); ++p) digits.fractionDigit(*p - '0');
    int64_t exponent = 0;
    if (*p == 'e' || *p == 'E') {
        ++p;
        int64_t exponentSign = 1;
        if (*p == '-' || *p == '+') exponentSign = (*p++ == '-') ? -1 : 1;
        exponent = exponentSign * readExponentDigits([&]() { return isDigit(*p) ? *p++ : -1; });
    }
    return sign * digits.value(exponent);
}

// Counts taken from a property: the number truncated, saturated to int32.
int32_t propertyCount(const char* text)
{
    const double v = readPropertyNumber(text);
    if (!(v > double(INT32_MIN))) return v < 0 ? INT32_MIN : 0;
    if (v >= double(INT32_MAX)) return INT32_MAX;
    return int32_t(v);
}

// ---------------------------------------------------------------------------
// Pool storage
// ---------------------------------------------------------------------------

void* sheetAlloc(CgatsSheet* sheet, size_t size)
{
    if (size == 0 || size > MaxAllocation) return nullptr;
    return subAlloc(sheet->pool, uint32_t(size));
}

const char* sheetDup(CgatsSheet* sheet, std::string_view text)
{
    auto* copy = static_cast<char*>(sheetAlloc(sheet, text.size() + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = 0;
    return copy;
}

CgatsKnownName* findKnown(CgatsKnownName* list, std::string_view name)
{
    for (CgatsKnownName* k = list; k; k = k->next)
        if (sameName(k->name, name)) return k;
    return nullptr;
}

// Registers a name (a no-op when it is known already); null when out of memory.
CgatsKnownName* registerKnown(CgatsSheet* sheet, CgatsKnownName**& tail, CgatsKnownName* list,
                              std::string_view name, WriteMode mode)
{
    if (CgatsKnownName* known = findKnown(list, name)) return known;
    auto* entry = static_cast<CgatsKnownName*>(sheetAlloc(sheet, sizeof(CgatsKnownName)));
    if (!entry || !(entry->name = sheetDup(sheet, name))) {
        cgatsReport(sheet, "AddToList: out of memory");
        return nullptr;
    }
    entry->mode = mode;
    *tail = entry;
    tail = &entry->next;
    return entry;
}

CgatsKnownName* registerKeyword(CgatsSheet* sheet, std::string_view name, WriteMode mode)
{
    return registerKnown(sheet, sheet->keywordsTail, sheet->keywords, name, mode);
}

CgatsKnownName* registerSample(CgatsSheet* sheet, std::string_view name)
{
    return registerKnown(sheet, sheet->samplesTail, sheet->samples, name, WriteMode::Uncooked);
}

// ---------------------------------------------------------------------------
// Tables and properties
// ---------------------------------------------------------------------------

bool appendTable(CgatsSheet* sheet)
{
    if (sheet->tableCount >= CgatsMaxTables) {
        cgatsReport(sheet, "Too many tables (%u tables, max=%u)", sheet->tableCount + 1, CgatsMaxTables);
        return false;
    }
    auto* table = static_cast<CgatsTable*>(sheetAlloc(sheet, sizeof(CgatsTable)));
    if (!table) {
        cgatsReport(sheet, "Out of memory");
        return false;
    }
    sheet->tables[sheet->tableCount++] = table;
    return true;
}

CgatsTable* currentTable(CgatsSheet* sheet)
{
    if (sheet->currentTable >= sheet->tableCount) {
        cgatsReport(sheet, "Table %u out of sequence", sheet->currentTable);
        return sheet->tables[0];
    }
    return sheet->tables[sheet->currentTable];
}

// The first node of key (comments never match), or null.
CgatsProperty* findProperty(CgatsTable* table, std::string_view key)
{
    for (CgatsProperty* p = table->header; p; p = p->next)
        if (!isCommentKey(p->key) && sameName(p->key, key)) return p;
    return nullptr;
}

const char* propertyValue(CgatsTable* table, std::string_view key)
{
    const CgatsProperty* p = findProperty(table, key);
    return p ? p->value : nullptr;
}

bool isCountKey(std::string_view key)
{
    return sameName(key, "NUMBER_OF_FIELDS") || sameName(key, "NUMBER_OF_SETS");
}

// Adds a property at the end of the header, or updates it in place. A new
// subkey of a known pair key is also linked after the key's last subkey.
bool addProperty(CgatsSheet* sheet, CgatsTable* table, std::string_view key, const char* subkey,
                 std::string_view value, WriteMode mode)
{
    CgatsProperty* head = findProperty(table, key);
    CgatsProperty* found = head;
    CgatsProperty* lastSubkey = nullptr;
    if (head && subkey) {
        found = nullptr;
        for (CgatsProperty* q = head; q; q = q->nextSubkey) {
            if (q->subkey && sameName(q->subkey, subkey)) {
                found = q;
                break;
            }
            lastSubkey = q;
        }
    }

    if (found) {
        if (isCountKey(key)) {
            cgatsReport(sheet, "duplicate key <%.*s>", int(key.size()), key.data());
            return false;
        }
        const char* copy = sheetDup(sheet, value);
        if (!copy) {
            cgatsReport(sheet, "AddToList: out of memory");
            return false;
        }
        found->value = copy;
        found->mode = mode;
        return true;
    }

    auto* node = static_cast<CgatsProperty*>(sheetAlloc(sheet, sizeof(CgatsProperty)));
    if (!node || !(node->key = sheetDup(sheet, key)) || !(node->value = sheetDup(sheet, value)) ||
        (subkey && !(node->subkey = sheetDup(sheet, subkey)))) {
        cgatsReport(sheet, "AddToList: out of memory");
        return false;
    }
    node->mode = mode;
    CgatsProperty** link = &table->header;
    while (*link) link = &(*link)->next;
    *link = node;
    if (lastSubkey) lastSubkey->nextSubkey = node;
    return true;
}

bool addComment(CgatsSheet* sheet, CgatsTable* table, std::string_view text)
{
    auto* node = static_cast<CgatsProperty*>(sheetAlloc(sheet, sizeof(CgatsProperty)));
    if (!node || !(node->key = sheetDup(sheet, "# ")) || !(node->value = sheetDup(sheet, text))) {
        cgatsReport(sheet, "AddToList: out of memory");
        return false;
    }
    node->mode = WriteMode::Uncooked;
    CgatsProperty** link = &table->header;
    while (*link) link = &(*link)->next;
    *link = node;
    return true;
}

// The field count is read from NUMBER_OF_FIELDS when the first of the two
// arrays is made; the second one keeps it, so both always agree.
bool allocateDataFormat(CgatsSheet* sheet, CgatsTable* table)
{
    if (table->dataFormat) return true;
    const int32_t fields = table->data ? table->fieldCount
                                       : propertyCount(propertyValue(table, "NUMBER_OF_FIELDS"));
    if (fields <= 0) {
        cgatsReport(sheet, "AllocateDataFormat: Unknown NUMBER_OF_FIELDS");
        return false;
    }
    if (fields > MaxCount) {
        cgatsReport(sheet, "AllocateDataFormat: too many fields");
        return false;
    }
    table->dataFormat = static_cast<const char**>(sheetAlloc(sheet, (size_t(fields) + 1) * sizeof(char*)));
    if (!table->dataFormat) {
        cgatsReport(sheet, "AllocateDataFormat: Unable to allocate dataFormat array");
        return false;
    }
    table->fieldCount = fields;
    return true;
}

bool allocateData(CgatsSheet* sheet, CgatsTable* table)
{
    if (table->data) return true;
    const int32_t fields = table->dataFormat ? table->fieldCount
                                             : propertyCount(propertyValue(table, "NUMBER_OF_FIELDS"));
    const int32_t sets = propertyCount(propertyValue(table, "NUMBER_OF_SETS"));
    bool tooMuch = fields < 0 || sets < 0 || fields > MaxCount || sets > MaxCount;
    // Text in memory cannot fill more cells than it has bytes: refuse before
    // allocating for counts it could never satisfy.
    if (!tooMuch && sheet->lexer && sheet->lexer->memorySize() > 0 && sets > 1)
        tooMuch = uint64_t(sets - 1) * uint64_t(fields) > sheet->lexer->memorySize();
    if (tooMuch) {
        cgatsReport(sheet, "AllocateDataSet: too much data");
        return false;
    }
    const size_t slots = (size_t(fields) + 1) * (size_t(sets) + 1);
    table->data = static_cast<const char**>(sheetAlloc(sheet, slots * sizeof(char*)));
    if (!table->data) {
        cgatsReport(sheet, "AllocateDataSet: Unable to allocate data array");
        return false;
    }
    table->fieldCount = fields;
    table->setCount = sets;
    return true;
}

bool setFieldName(CgatsSheet* sheet, CgatsTable* table, int32_t field, std::string_view name)
{
    if (!allocateDataFormat(sheet, table)) return false;
    if (field >= table->fieldCount) {
        cgatsReport(sheet, "More than NUMBER_OF_FIELDS fields.");
        return false;
    }
    if (field < 0) {
        cgatsReport(sheet, "Sample %d out of range, there are %d samples", field, table->fieldCount);
        return false;
    }
    const char* copy = sheetDup(sheet, name);
    if (!copy) {
        cgatsReport(sheet, "AllocateDataFormat: Unable to allocate dataFormat array");
        return false;
    }
    table->dataFormat[field] = copy;
    return true;
}

bool setCell(CgatsSheet* sheet, CgatsTable* table, int32_t set, int32_t field, std::string_view text)
{
    if (!allocateData(sheet, table)) return false;
    if (set < 0 || set >= table->setCount) {
        cgatsReport(sheet, "Patch %d out of range, there are %d patches", set, table->setCount);
        return false;
    }
    if (field < 0 || field >= table->fieldCount) {
        cgatsReport(sheet, "Sample %d out of range, there are %d samples", field, table->fieldCount);
        return false;
    }
    const char* copy = sheetDup(sheet, text);
    if (!copy) {
        cgatsReport(sheet, "AllocateDataSet: Unable to allocate data array");
        return false;
    }
    table->data[size_t(set) * size_t(table->fieldCount) + size_t(field)] = copy;
    return true;
}

const char* cell(const CgatsTable* table, int32_t set, int32_t field)
{
    if (!table->data || set < 0 || field < 0 || set >= table->setCount || field >= table->fieldCount)
        return nullptr;
    return table->data[size_t(set) * size_t(table->fieldCount) + size_t(field)];
}

void setSheetType(CgatsTable* table, std::string_view type)
{
    const size_t n = std::min(type.size(), MaxSheetType);
    std::memcpy(table->sheetType, type.data(), n);
    table->sheetType[n] = 0;
}

} // namespace

// ---------------------------------------------------------------------------
// Error reporting
// ---------------------------------------------------------------------------

void cgatsReport(CgatsSheet* sheet, const char* format, ...)
{
    char message[256];   // at most 255 characters
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    const char* source = sheet->lexer ? sheet->lexer->sourceName() : "";
    const int32_t line = sheet->lexer ? sheet->lexer->line() : sheet->line;
    reportError(sheet->ctx, ErrCorruptionDetected, "%s: Line %d, %s", source, line, message);
}

// ---------------------------------------------------------------------------
// Lexer
// ---------------------------------------------------------------------------

// One level of the include stack: a memory block or a file read through a
// buffer of our own.
struct CgatsLexer::Source {
    std::string name;
    FILE* file = nullptr;
    const uint8_t* pos = nullptr;
    const uint8_t* end = nullptr;
    std::vector<uint8_t> buffer;
    int savedChar = -1;   // the including level's look-ahead character

    ~Source()
    {
        if (file) std::fclose(file);
    }

    bool refill()
    {
        if (!file) return false;
        if (buffer.empty()) buffer.resize(FileBufferSize);
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), file);
        pos = buffer.data();
        end = pos + n;
        return n > 0;
    }
};

CgatsLexer::CgatsLexer(CgatsSheet* sheet, bool cubeMode) : sheet_(sheet), cubeMode_(cubeMode)
{
    sheet_->lexer = this;
}

CgatsLexer::~CgatsLexer()
{
    sheet_->line = line_;
    sheet_->lexer = nullptr;
}

void CgatsLexer::openMemory(const char* text, size_t length)
{
    stack_.clear();
    auto source = std::make_unique<Source>();
    source->pos = reinterpret_cast<const uint8_t*>(text);
    source->end = source->pos + length;
    stack_.push_back(std::move(source));
    memorySize_ = length;
    pendingChar_ = -1;
    advance();
}

bool CgatsLexer::openFile(const char* fileName, size_t skip)
{
    stack_.clear();
    FILE* file = std::fopen(fileName, "r");
    if (!file) return false;
    auto source = std::make_unique<Source>();
    source->name = fileName;
    source->file = file;
    stack_.push_back(std::move(source));
    memorySize_ = 0;
    pendingChar_ = -1;
    advance();
    for (size_t i = 0; i < skip && ch_ != 0; ++i) advance();
    return true;
}

void CgatsLexer::skipByteOrderMark()
{
    if (stack_.size() != 1 || ch_ != 0xEF) return;
    Source& s = *stack_.back();
    if (s.end - s.pos >= 2 && s.pos[0] == 0xBB && s.pos[1] == 0xBF) {
        s.pos += 2;
        advance();
    }
}

const char* CgatsLexer::sourceName() const
{
    return stack_.empty() ? "" : stack_.back()->name.c_str();
}

// The next character, or 0 at the end of input. A 0 byte ends input for good;
// the end of an included file yields a blank and returns to the includer.
int CgatsLexer::read()
{
    if (pendingChar_ >= 0) {
        const int c = pendingChar_;
        pendingChar_ = -1;
        return c;
    }
    for (;;) {
        if (stack_.empty()) return 0;
        Source& s = *stack_.back();
        if (s.pos < s.end) {
            const int c = *s.pos;
            if (c != 0) ++s.pos;
            return c;
        }
        if (s.refill()) continue;
        if (stack_.size() == 1) return 0;
        stack_.pop_back();
        pendingChar_ = stack_.back()->savedChar;
        stack_.back()->savedChar = -1;
        return ' ';
    }
}

void CgatsLexer::next()
{
    // A line end counts once the lexer moves past it, so a message about the
    // line end itself names the line it ends.
    if (token_ == CgatsToken::Eoln) ++line_;
    for (;;) {
        while (isBlank(ch_)) advance();

        if (ch_ == 0 || ch_ == 26) {
            token_ = CgatsToken::Eof;
            return;
        }
        if (ch_ == '\r' || ch_ == '\n') {
            const bool cr = ch_ == '\r';
            advance();
            if (cr && ch_ == '\n') advance();
            token_ = CgatsToken::Eoln;
            return;
        }
        if (ch_ == '#') {
            scanComment();
            continue;
        }
        if (ch_ == '"' || ch_ == '\'') {
            scanString();
            token_ = CgatsToken::String;
            return;
        }
        if (!isIdentChar(ch_)) {
            fail("Unrecognized character: 0x%x", unsigned(ch_));
            return;
        }

        // A run of identifier characters: a keyword, a number or an identifier.
        const int first = ch_;
        std::string run;
        while (isIdentChar(ch_)) {
            run += char(ch_);
            advance();
        }
        if (isDigit(first) || first == '-') {
            const ScannedNumber number = scanNumberText(run);
            switch (number.kind) {
            case NumberKind::Integer:
                token_ = CgatsToken::Integer;
                integer_ = number.integer;
                return;
            case NumberKind::Real:
                token_ = CgatsToken::Real;
                real_ = number.real;
                return;
            case NumberKind::BadHex:
                fail("Invalid hexadecimal number");
                return;
            case NumberKind::BadBinary:
                fail("Invalid binary number");
                return;
            case NumberKind::Text:
                break;
            }
            text_ = std::move(run);
            token_ = CgatsToken::Identifier;
            return;
        }
        token_ = cubeMode_ ? lookUpKeyword(CubeKeywords, run) : lookUpKeyword(CgatsKeywords, run);
        text_ = std::move(run);
        if (token_ != CgatsToken::Include) return;
        if (!pushInclude()) return;
    }
}

void CgatsLexer::skipLineEnds()
{
    while (token_ == CgatsToken::Eoln) next();
}

void CgatsLexer::scanString()
{
    const int quote = ch_;
    advance();
    text_.clear();
    while (ch_ != quote && ch_ != '\n' && ch_ != '\r' && ch_ != 0) {
        text_ += char(ch_);
        advance();
    }
    if (ch_ == quote) advance();
}

// A comment runs to the end of the line; the line end is a token of its own.
void CgatsLexer::scanComment()
{
    advance();
    std::string text;
    while (ch_ != '\n' && ch_ != '\r' && ch_ != 0) {
        if (!cubeMode_) text += char(ch_);
        advance();
    }
    if (!cubeMode_) comments_.push_back(std::move(text));
}

std::vector<std::string> CgatsLexer::takeComments()
{
    std::vector<std::string> taken;
    taken.swap(comments_);
    return taken;
}

bool CgatsLexer::tokenText(std::string& out) const
{
    char text[64];
    switch (token_) {
    case CgatsToken::Integer:
        std::snprintf(text, sizeof text, "%d", integer_);
        out = text;
        return true;
    case CgatsToken::Real:
        std::snprintf(text, sizeof text, CgatsNumberFormat, real_);
        out = text;
        return true;
    case CgatsToken::Identifier:
    case CgatsToken::String:
        out = text_;
        return true;
    default:
        return false;
    }
}

void CgatsLexer::fail(const char* format, ...)
{
    if (token_ == CgatsToken::SynError) return;   // the first failure is the one reported
    char message[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    cgatsReport(sheet_, "%s", message);
    token_ = CgatsToken::SynError;
}

// An include directive: its file name follows as a string. Text read from
// memory (a profile's tag, a clipboard) never opens files.
bool CgatsLexer::pushInclude()
{
    if (stack_.front()->file == nullptr) {
        fail("Includes are not allowed in text parsed from memory");
        return false;
    }
    if (stack_.size() - 1 > MaxIncludeDepth - 2) {
        fail("Too many recursion levels");
        return false;
    }
    while (isBlank(ch_)) advance();
    if (ch_ != '"' && ch_ != '\'') {
        fail("Filename expected");
        return false;
    }
    scanString();
    const std::string& name = text_;

    // Absolute names stand as they are; others are taken relative to the
    // directory of the including file.
    std::string path;
    const bool absolute = !name.empty() && (name[0] == '/' || name[0] == '\\' ||
                                            (name.size() > 1 && ((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z') && name[1] == ':'));
    const std::string& including = stack_.back()->name;
    const size_t slash = including.find_last_of("/\\");
    if (absolute || slash == std::string::npos) path = name;
    else path = including.substr(0, slash + 1) + name;
    if (path.size() > MaxIncludeName) {
        fail("File path too long");
        return false;
    }

    FILE* file = std::fopen(path.c_str(), "r");
    if (!file) {
        fail("File %s not found", path.c_str());
        return false;
    }
    auto source = std::make_unique<Source>();
    source->name = path;
    source->file = file;
    stack_.back()->savedChar = ch_;
    stack_.push_back(std::move(source));
    advance();
    return true;
}

void CgatsLexer::stop()
{
    token_ = CgatsToken::SynError;
}

// ---------------------------------------------------------------------------
// Parser
// ---------------------------------------------------------------------------

namespace {

// Recognises CGATS text by its first line: 1 word (a sheet type) or 2 words (a
// property), counted from the second character on; 0 for anything else.
int recogniseText(const char* text, size_t length)
{
    if (length < 10) return 0;
    int words = 0;
    bool quoted = false;
    bool inWord = false;
    const size_t limit = std::min<size_t>(length, 132);
    for (size_t i = 1; i < limit; ++i) {
        const int c = uint8_t(text[i]);
        if (c == '\n' || c == '\r') return (!quoted && (words == 1 || words == 2)) ? words : 0;
        if (c == '"') {
            quoted = !quoted;
        } else if (isBlank(c)) {
            if (!quoted) inWord = false;
        } else if (c >= 33 && c <= 127) {
            if (!inWord) {
                ++words;
                inWord = true;
            }
        } else {
            return 0;
        }
    }
    return 0;
}

// The first line as a sheet type: after leading blanks, up to a tab or the
// line end. Returns the offset of the first line end.
size_t readFirstLine(const char* text, size_t length, std::string& type)
{
    size_t i = 0;
    while (i < length && isBlank(text[i])) ++i;
    const size_t start = i;
    while (i < length && text[i] != '\t' && text[i] != '\n' && text[i] != '\r' && text[i] != 0) ++i;
    type.assign(text + start, std::min(i - start, MaxSheetType));
    size_t lineEnd = 0;
    while (lineEnd < length && text[lineEnd] != '\n' && text[lineEnd] != '\r') ++lineEnd;
    return lineEnd;
}

class Parser {
public:
    Parser(CgatsSheet* sheet, CgatsLexer& lexer) : sheet_(sheet), lex_(lexer) {}

    bool run(bool sheetTypeLines)
    {
        lex_.next();
        for (;;) {
            lex_.skipLineEnds();
            const CgatsToken token = lex_.token();
            if (token == CgatsToken::Eof || token == CgatsToken::SynError) break;
            if (token == CgatsToken::BeginDataFormat) {
                flushComments();
                readDataFormat();
            } else if (token == CgatsToken::BeginData) {
                flushComments();
                readData();
                if (lex_.token() != CgatsToken::Eof && lex_.token() != CgatsToken::SynError) {
                    if (!appendTable(sheet_)) {
                        lex_.stop();
                        break;
                    }
                    sheet_->currentTable = sheet_->tableCount - 1;
                    if (sheetTypeLines) readNextSheetType();
                }
            } else {
                readHeader();
            }
        }
        if (lex_.token() == CgatsToken::SynError) return false;
        return cook();
    }

private:
    CgatsTable* table() { return sheet_->tables[sheet_->currentTable]; }

    // Comment lines become header comments. A block the writer made ("#",
    // "# text"…, "#") becomes one comment again, its lines joined by line feeds.
    void flushComments()
    {
        const std::vector<std::string> lines = lex_.takeComments();
        const size_t n = lines.size();
        for (size_t i = 0; i < n;) {
            if (lines[i].empty()) {
                size_t j = i + 1;
                while (j < n && !lines[j].empty() && lines[j][0] == ' ') ++j;
                if (j < n && lines[j].empty() && j > i + 1) {
                    std::string text;
                    for (size_t k = i + 1; k < j; ++k) {
                        if (k > i + 1) text += '\n';
                        text.append(lines[k], 1);
                    }
                    addComment(sheet_, table(), text);
                    i = j + 1;
                } else {
                    ++i;   // a lone "#" holds nothing
                }
                continue;
            }
            const std::string& line = lines[i];
            const std::string_view text = line[0] == ' ' ? std::string_view(line).substr(1) : std::string_view(line);
            if (!text.empty()) addComment(sheet_, table(), text);
            ++i;
        }
    }

    // After the data of a table: a lone identifier or a string on the next
    // line names the next table; anything else starts its header.
    void readNextSheetType()
    {
        if (lex_.token() == CgatsToken::String) {
            setSheetType(table(), lex_.text());
            lex_.next();
        } else if (lex_.token() == CgatsToken::Identifier) {
            std::string word = lex_.text();
            lex_.next();
            if (lex_.token() == CgatsToken::Eoln || lex_.token() == CgatsToken::Eof) {
                setSheetType(table(), word);
            } else {
                flushComments();
                readProperty(std::move(word));
            }
        }
    }

    void readHeader()
    {
        for (;;) {
            const CgatsToken token = lex_.token();
            if (token == CgatsToken::Eof || token == CgatsToken::SynError || token == CgatsToken::BeginDataFormat ||
                token == CgatsToken::BeginData)
                break;
            flushComments();
            switch (token) {
            case CgatsToken::Keyword:
                lex_.next();
                if (lex_.token() != CgatsToken::String && lex_.token() != CgatsToken::Identifier) {
                    lex_.fail("Keyword expected");
                    return;
                }
                if (!registerKeyword(sheet_, lex_.text(), WriteMode::Uncooked)) {
                    lex_.stop();
                    return;
                }
                lex_.next();
                break;
            case CgatsToken::DataFormatId:
                lex_.next();
                if (lex_.token() != CgatsToken::String && lex_.token() != CgatsToken::Identifier) {
                    lex_.fail("String expected");
                    return;
                }
                if (!registerSample(sheet_, lex_.text())) {
                    lex_.stop();
                    return;
                }
                lex_.next();
                break;
            case CgatsToken::Identifier: {
                std::string key = lex_.text();
                lex_.next();
                readProperty(std::move(key));
                break;
            }
            case CgatsToken::Eoln:
                break;
            default:
                lex_.fail("expected keyword or identifier");
                return;
            }
            if (lex_.token() == CgatsToken::SynError) return;
            lex_.skipLineEnds();
        }
        flushComments();
    }

    // A property line; the current token is its value. A property that cannot
    // be added (a repeated count, no memory) is reported and its line skipped.
    // Keys are kept whole: a shortened key could read back as a number or as
    // another key.
    void readProperty(std::string key)
    {
        const CgatsKnownName* known = findKnown(sheet_->keywords, key);
        if (!known && !(known = registerKeyword(sheet_, key, WriteMode::Uncooked))) {
            lex_.stop();
            return;
        }

        const CgatsToken token = lex_.token();
        std::string value;
        if (token != CgatsToken::Eoln && !lex_.tokenText(value)) {
            lex_.fail("Property data expected");
            return;
        }

        bool added;
        if (known->mode == WriteMode::Pair) {
            if (token != CgatsToken::String) {
                lex_.fail("Invalid value '%s' for property '%s'.", value.c_str(), key.c_str());
                return;
            }
            added = addPairs(key, value);
            if (lex_.token() == CgatsToken::SynError) return;
        } else {
            added = addProperty(sheet_, table(), key, nullptr, value,
                                token == CgatsToken::String ? WriteMode::Quoted : WriteMode::Uncooked);
        }
        if (!added) {
            while (lex_.token() != CgatsToken::Eoln && lex_.token() != CgatsToken::Eof &&
                   lex_.token() != CgatsToken::SynError)
                lex_.next();
            return;
        }
        if (token != CgatsToken::Eoln) lex_.next();
    }

    // "subkey,value;subkey,value": each item split at its last comma.
    bool addPairs(const std::string& key, std::string_view text)
    {
        for (;;) {
            const size_t semicolon = text.find(';');
            const std::string_view item = text.substr(0, semicolon);
            const size_t comma = item.rfind(',');
            if (comma == std::string_view::npos) {
                lex_.fail("Invalid value for property '%s'.", key.c_str());
                return false;
            }
            std::string_view subkey = item.substr(0, comma);
            std::string_view value = item.substr(comma + 1);
            while (!subkey.empty() && isBlank(subkey.front())) subkey.remove_prefix(1);
            while (!subkey.empty() && isBlank(subkey.back())) subkey.remove_suffix(1);
            while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
            if (subkey.empty() || value.empty()) {
                lex_.fail("Invalid value for property '%s'.", key.c_str());
                return false;
            }
            const std::string subkeyText(subkey);
            if (!addProperty(sheet_, table(), key, subkeyText.c_str(), value, WriteMode::Pair)) return false;
            if (semicolon == std::string_view::npos) return true;
            text.remove_prefix(semicolon + 1);
        }
    }

    void readDataFormat()
    {
        lex_.next();
        if (lex_.token() != CgatsToken::Eoln) {
            lex_.fail("Expected separator");
            return;
        }
        lex_.skipLineEnds();
        int32_t count = 0;
        while (lex_.token() == CgatsToken::Identifier) {
            if (!setFieldName(sheet_, table(), count, lex_.text())) {
                lex_.stop();
                return;
            }
            ++count;
            lex_.next();
            lex_.skipLineEnds();
        }
        if (lex_.token() == CgatsToken::SynError) return;
        if (lex_.token() != CgatsToken::EndDataFormat && lex_.token() != CgatsToken::Eof) {
            lex_.fail("Sample type expected");
            return;
        }
        if (count != table()->fieldCount) {
            lex_.fail("Count mismatch. NUMBER_OF_FIELDS was %d, found %d\n", table()->fieldCount, count);
            return;
        }
        lex_.dropComments();
        if (lex_.token() == CgatsToken::EndDataFormat) lex_.next();
    }

    void readData()
    {
        lex_.next();
        if (lex_.token() != CgatsToken::Eoln) {
            lex_.fail("Expected separator");
            return;
        }
        CgatsTable* t = table();
        if (!allocateData(sheet_, t)) {
            lex_.stop();
            return;
        }
        lex_.skipLineEnds();

        // The line structure is not checked: cells fill the sets row by row.
        int32_t field = 0;
        int32_t set = 0;
        std::string text;
        for (;;) {
            const CgatsToken token = lex_.token();
            if (token == CgatsToken::EndData || token == CgatsToken::Eof || token == CgatsToken::SynError) break;
            if (token == CgatsToken::Eoln) {
                lex_.next();
                continue;
            }
            if (field >= t->fieldCount) {
                field = 0;
                ++set;
            }
            if (!lex_.tokenText(text)) {
                lex_.fail("Sample data expected");
                return;
            }
            if (token == CgatsToken::Integer || token == CgatsToken::Real) text.resize(std::min(text.size(), MaxCellText));
            if (!setCell(sheet_, t, set, field, text)) {
                lex_.stop();
                return;
            }
            ++field;
            lex_.next();
        }
        if (lex_.token() == CgatsToken::SynError) return;
        if (set + 1 != t->setCount) {
            lex_.fail("Count mismatch. NUMBER_OF_SETS was %d, found %d\n", t->setCount, set + 1);
            return;
        }
        lex_.dropComments();
        if (lex_.token() == CgatsToken::EndData) {
            lex_.next();
            lex_.skipLineEnds();
        }
    }

    // After a successful parse: find the sample-ID columns, require a data
    // format wherever there are fields, and expand LABEL and '$' cells that
    // name a property of some table.
    bool cook()
    {
        for (uint32_t i = 0; i < sheet_->tableCount; ++i) {
            CgatsTable* t = sheet_->tables[i];
            t->sampleIdColumn = 0;
            if (t->dataFormat) {
                for (int32_t f = 0; f < t->fieldCount; ++f) {
                    if (t->dataFormat[f] && sameName(t->dataFormat[f], "SAMPLE_ID")) {
                        t->sampleIdColumn = f;
                        break;
                    }
                }
            }
            if (t->fieldCount > 0 && !t->dataFormat) {
                cgatsReport(sheet_, "Undefined DATA_FORMAT");
                return false;
            }
            if (!t->dataFormat || !t->data) continue;
            for (int32_t f = 0; f < t->fieldCount; ++f) {
                const char* name = t->dataFormat[f];
                if (!name || !(sameName(name, "LABEL") || name[0] == '$')) continue;
                for (int32_t s = 0; s < t->setCount; ++s) {
                    const char* text = cell(t, s, f);
                    if (!text) continue;
                    for (uint32_t l = 0; l < sheet_->tableCount; ++l) {
                        const CgatsProperty* p = findProperty(sheet_->tables[l], text);
                        if (!p) continue;
                        char expanded[MaxCellText + 1];
                        std::snprintf(expanded, sizeof expanded, "%s %u %s", text, l, p->value ? p->value : "");
                        if (!setCell(sheet_, t, s, f, expanded)) return false;
                        break;
                    }
                }
            }
        }
        return true;
    }

    CgatsSheet* sheet_;
    CgatsLexer& lex_;
};

// ---------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------

// Text into a caller's buffer, each write stored whole or not at all. The
// running length counts every write, stored or not.
class TextWriter {
public:
    TextWriter(EngineContext* ctx, char* buffer, uint32_t capacity)
        : ctx_(ctx), buffer_(buffer), capacity_(capacity)
    {
    }

    void put(std::string_view text)
    {
        if (text.empty()) return;
        if (buffer_) {
            if (capacity_ > 0 && produced_ + text.size() <= uint64_t(capacity_) - 1) {
                std::memcpy(buffer_ + produced_, text.data(), text.size());
                stored_ = produced_ + text.size();
            } else {
                reportError(ctx_, ErrWrite, "Write to memory overflows in CGATS parser");
            }
        }
        produced_ += text.size();
    }

    void put(char c) { put(std::string_view(&c, 1)); }

    bool finish(uint32_t* length)
    {
        if (buffer_ && capacity_ > 0) buffer_[stored_] = 0;
        if (produced_ + 1 > UINT32_MAX) {
            reportError(ctx_, ErrWrite, "Write to memory overflows in CGATS parser");
            return false;
        }
        *length = uint32_t(produced_ + 1);
        return true;
    }

private:
    EngineContext* ctx_;
    char* buffer_;
    uint32_t capacity_;
    uint64_t produced_ = 0;
    uint64_t stored_ = 0;
};

void writeQuoted(TextWriter& w, std::string_view text)
{
    const char quote = quoteFor(text);
    w.put(quote);
    w.put(text);
    w.put(quote);
}

void writeComment(TextWriter& w, const char* text)
{
    w.put("#\n# ");
    for (const char* p = text; *p; ++p) {
        w.put(*p);
        if (*p == '\n' || (*p == '\r' && p[1] != '\n')) w.put("# ");
    }
    w.put("\n#\n");
}

void writeProperty(CgatsSheet* sheet, TextWriter& w, const CgatsProperty* p)
{
    if (!findKnown(sheet->keywords, p->key)) registerKeyword(sheet, p->key, WriteMode::Uncooked);
    w.put(p->key);
    if (p->value) {
        w.put('\t');
        switch (p->mode) {
        case WriteMode::Uncooked:
            w.put(p->value);
            break;
        case WriteMode::Quoted:
            writeQuoted(w, p->value);
            break;
        case WriteMode::Pair: {
            const std::string pair = std::string(p->subkey ? p->subkey : "") + "," + p->value;
            writeQuoted(w, pair);
            break;
        }
        }
    }
    w.put('\n');
}

void writeCell(TextWriter& w, const char* text)
{
    if (!text || !*text) w.put("\"\"");
    else if (writesAsItself(text)) w.put(text);
    else writeQuoted(w, text);
}

void writeTable(CgatsSheet* sheet, TextWriter& w, uint32_t index)
{
    CgatsTable* t = sheet->tables[index];
    // The first line is read back whole; later sheet types must survive as
    // one token.
    const std::string_view type = t->sheetType;
    if (index == 0 || type.empty() || lexesAsIdentifier(type)) w.put(type);
    else writeQuoted(w, type);
    w.put('\n');

    for (const CgatsProperty* p = t->header; p; p = p->next) {
        if (isCommentKey(p->key)) writeComment(w, p->value ? p->value : "");
        else writeProperty(sheet, w, p);
    }

    if (t->dataFormat) {
        w.put("BEGIN_DATA_FORMAT\n");
        w.put(' ');
        const int32_t n = propertyCount(propertyValue(t, "NUMBER_OF_FIELDS"));
        if (n > 0 && t->fieldCount >= n) {
            for (int32_t f = 0; f < n; ++f) {
                const char* name = t->dataFormat[f];
                w.put(name && *name ? name : " ");
                w.put(f + 1 < n ? '\t' : '\n');
            }
        }
        w.put("END_DATA_FORMAT\n");
    }

    if (t->data) {
        w.put("BEGIN_DATA\n");
        const int32_t m = propertyCount(propertyValue(t, "NUMBER_OF_SETS"));
        if (m > 0 && t->setCount >= m) {
            for (int32_t s = 0; s < m; ++s) {
                w.put(' ');
                for (int32_t f = 0; f < t->fieldCount; ++f) {
                    if (f > 0) w.put('\t');
                    writeCell(w, cell(t, s, f));
                }
                w.put('\n');
            }
        }
        w.put("END_DATA\n");
    }
}

// Setters refuse what the writer could not write back faithfully.
bool checkKey(CgatsSheet* sheet, const char* key)
{
    if (key && lexesAsIdentifier(key)) return true;
    cgatsReport(sheet, "Invalid property name '%s'", key ? key : "");
    return false;
}

bool checkQuotable(CgatsSheet* sheet, const char* what, const char* text)
{
    if (quotable(text)) return true;
    cgatsReport(sheet, "%s cannot be written: it holds a line end or both quote characters", what);
    return false;
}

} // namespace

// ---------------------------------------------------------------------------
// Public operations
// ---------------------------------------------------------------------------

CgatsSheet* newCgatsSheet(EngineContext* ctx)
{
    auto* raw = static_cast<CgatsSheet*>(engineAllocZero(ctx, sizeof(CgatsSheet)));
    if (!raw) return nullptr;
    raw->ctx = ctx;
    raw->line = 1;
    raw->keywordsTail = &raw->keywords;
    raw->samplesTail = &raw->samples;
    SheetPtr sheet(raw, &freeCgatsSheet);
    sheet->pool = createSubAllocator(ctx, SheetPoolSize);
    if (!sheet->pool || !appendTable(sheet.get())) return nullptr;
    setSheetType(sheet->tables[0], "CGATS.17");
    for (const auto& keyword : PredefinedKeywords) {
        const WriteMode mode = WriteMode(keyword[1][0] - '0');
        if (!registerKeyword(sheet.get(), keyword[0], mode)) return nullptr;
    }
    for (const char* sample : PredefinedSamples)
        if (!registerSample(sheet.get(), sample)) return nullptr;
    return sheet.release();
}

void freeCgatsSheet(CgatsSheet* sheet)
{
    if (!sheet) return;
    deleteSubAllocator(sheet->pool);
    engineFree(sheet->ctx, sheet);
}

namespace {

// Parses a text whose first bytes are `head`: the sheet type is taken from
// the first line when it holds one word, then `open` points the lexer at the
// text after it.
template <typename Open>
CgatsSheet* parseRecognised(EngineContext* ctx, const char* head, size_t length, Open&& open)
{
    const int words = recogniseText(head, length);
    if (words == 0) return nullptr;
    try {
        SheetPtr sheet(newCgatsSheet(ctx), &freeCgatsSheet);
        if (!sheet) return nullptr;
        size_t start = 0;
        if (words == 1) {
            std::string type;
            start = readFirstLine(head, length, type);
            setSheetType(sheet->tables[0], type);
        }
        CgatsLexer lexer(sheet.get(), false);
        if (!open(lexer, start)) return nullptr;
        if (!Parser(sheet.get(), lexer).run(words == 1)) return nullptr;
        sheet->currentTable = 0;
        return sheet.release();
    } catch (const std::bad_alloc&) {
        reportError(ctx, ErrCorruptionDetected, "CGATS text too large: out of memory");
        return nullptr;
    }
}

} // namespace

CgatsSheet* cgatsParseMemory(EngineContext* ctx, const void* text, uint32_t length)
{
    if (!text || length == 0) return nullptr;
    const char* chars = static_cast<const char*>(text);
    return parseRecognised(ctx, chars, length, [&](CgatsLexer& lexer, size_t start) {
        lexer.openMemory(chars + start, length - start);
        return true;
    });
}

CgatsSheet* cgatsParseFile(EngineContext* ctx, const char* fileName)
{
    if (!fileName) return nullptr;
    char head[132];
    size_t length = 0;
    if (FILE* file = std::fopen(fileName, "r")) {
        length = std::fread(head, 1, sizeof head, file);
        std::fclose(file);
    } else {
        reportError(ctx, ErrFile, "File %s not found", fileName);
        return nullptr;
    }
    return parseRecognised(ctx, head, length, [&](CgatsLexer& lexer, size_t start) {
        if (lexer.openFile(fileName, start)) return true;
        reportError(ctx, ErrFile, "File %s not found", fileName);
        return false;
    });
}

bool cgatsSaveToMemory(CgatsSheet* sheet, void* buffer, uint32_t* length)
{
    if (!sheet || !length) return false;
    TextWriter writer(sheet->ctx, static_cast<char*>(buffer), buffer ? *length : 0);
    for (uint32_t i = 0; i < sheet->tableCount; ++i) {
        sheet->currentTable = i;
        writeTable(sheet, writer, i);
    }
    return writer.finish(length);
}

uint32_t cgatsTableCount(CgatsSheet* sheet)
{
    return sheet ? sheet->tableCount : 0;
}

int32_t cgatsSelectTable(CgatsSheet* sheet, int32_t n)
{
    if (!sheet) return -1;
    if (n < 0 || uint32_t(n) > sheet->tableCount) {
        cgatsReport(sheet, "Table %d is out of sequence", n);
        return -1;
    }
    if (uint32_t(n) == sheet->tableCount && !appendTable(sheet)) return -1;
    sheet->currentTable = uint32_t(n);
    return n;
}

bool cgatsSetSheetType(CgatsSheet* sheet, const char* type)
{
    if (!sheet || !type || !checkQuotable(sheet, "Sheet type", type)) return false;
    setSheetType(currentTable(sheet), type);
    return true;
}

const char* cgatsSheetType(CgatsSheet* sheet)
{
    return sheet ? currentTable(sheet)->sheetType : nullptr;
}

bool cgatsAddComment(CgatsSheet* sheet, const char* text)
{
    if (!sheet || !text || !*text) return false;
    return addComment(sheet, currentTable(sheet), text);
}

bool cgatsSetPropertyText(CgatsSheet* sheet, const char* key, const char* value)
{
    if (!sheet || !value || !*value) return false;
    if (!checkKey(sheet, key) || !checkQuotable(sheet, "Property value", value)) return false;
    return addProperty(sheet, currentTable(sheet), key, nullptr, value, WriteMode::Quoted);
}

bool cgatsSetPropertyNumber(CgatsSheet* sheet, const char* key, double value)
{
    if (!sheet || !checkKey(sheet, key)) return false;
    char text[MaxErrorText];
    std::snprintf(text, sizeof text, CgatsNumberFormat, value);
    return addProperty(sheet, currentTable(sheet), key, nullptr, text, WriteMode::Uncooked);
}

const char* cgatsPropertyText(CgatsSheet* sheet, const char* key)
{
    if (!sheet || !key) return nullptr;
    return propertyValue(currentTable(sheet), key);
}

double cgatsPropertyNumber(CgatsSheet* sheet, const char* key)
{
    return readPropertyNumber(cgatsPropertyText(sheet, key));
}

bool cgatsSetDataFormat(CgatsSheet* sheet, int32_t field, const char* name)
{
    if (!sheet) return false;
    if (!name || !lexesAsIdentifier(name)) {
        cgatsReport(sheet, "Invalid field name '%s'", name ? name : "");
        return false;
    }
    return setFieldName(sheet, currentTable(sheet), field, name);
}

bool cgatsSetDataCell(CgatsSheet* sheet, int32_t set, int32_t field, const char* text)
{
    if (!sheet || !text || !checkQuotable(sheet, "Data cell", text)) return false;
    return setCell(sheet, currentTable(sheet), set, field, text);
}

const char* cgatsDataCell(CgatsSheet* sheet, int32_t set, int32_t field)
{
    return sheet ? cell(currentTable(sheet), set, field) : nullptr;
}
