// CGATS text from memory: parse any bytes, read the result back through the
// interface, write it (measuring, into an exact buffer and into a small one),
// and require that what the writer produced parses again.
#include "osl.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool plainSheetType(const char* type)
{
    const size_t n = std::strlen(type);
    if (n < 2) return false;   // the first character of a text is never looked at
    for (size_t i = 0; i < n; ++i) {
        const char c = type[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
              c == '.' || c == '/'))
            return false;
    }
    return true;
}

void readBack(CgatsSheet* sheet)
{
    const uint32_t tables = cgatsTableCount(sheet);
    for (uint32_t t = 0; t < tables; ++t) {
        if (cgatsSelectTable(sheet, int32_t(t)) != int32_t(t)) std::abort();
        if (!cgatsSheetType(sheet)) std::abort();
        const double fields = cgatsPropertyNumber(sheet, "NUMBER_OF_FIELDS");
        const double sets = cgatsPropertyNumber(sheet, "NUMBER_OF_SETS");
        const int32_t f = fields > 64 ? 64 : int32_t(fields < 0 ? 0 : fields);
        const int32_t s = sets > 64 ? 64 : int32_t(sets < 0 ? 0 : sets);
        size_t total = 0;
        for (int32_t i = -1; i <= s; ++i)
            for (int32_t j = -1; j <= f; ++j)
                if (const char* cell = cgatsDataCell(sheet, i, j)) total += std::strlen(cell);
        (void)total;
    }
    cgatsSelectTable(sheet, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > UINT32_MAX) return 0;
    CgatsSheet* sheet = cgatsParseMemory(nullptr, data, uint32_t(size));
    if (!sheet) return 0;
    readBack(sheet);
    const bool plain = plainSheetType(cgatsSheetType(sheet));

    uint32_t length = 0;
    if (!cgatsSaveToMemory(sheet, nullptr, &length) || length == 0) std::abort();
    std::string text(length, '\x7f');
    uint32_t written = length;
    if (!cgatsSaveToMemory(sheet, text.data(), &written) || written != length || text.back() != 0) std::abort();
    text.pop_back();
    if (std::strlen(text.c_str()) != text.size()) std::abort();

    char small[37];
    uint32_t smallLength = sizeof small;
    cgatsSaveToMemory(sheet, small, &smallLength);
    if (smallLength != length || std::strlen(small) >= sizeof small) std::abort();
    freeCgatsSheet(sheet);

    if (plain && text.size() >= 10) {
        CgatsSheet* again = cgatsParseMemory(nullptr, text.data(), uint32_t(text.size()));
        if (!again) std::abort();
        freeCgatsSheet(again);
    }
    return 0;
}
