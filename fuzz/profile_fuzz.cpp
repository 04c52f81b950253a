// Opens arbitrary bytes as a profile, decodes every tag, saves the result to
// memory and reads that back: nothing may crash, leak or read out of bounds.
#include "osl.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0x1000000) return 0;
    IccProfile* p = openFromMemory(data, uint32_t(size));
    if (!p) return 0;
    const uint32_t n = tagCount(p);
    for (uint32_t i = 0; i < n; ++i) loadTag(p, tagSignatureAt(p, i));
    (void)linkedTypeOf(p, sig("rXYZ"));

    uint32_t bytes = 0;
    if (saveToMemory(p, nullptr, &bytes) && bytes > 0) {
        std::vector<uint8_t> out(bytes);
        uint32_t room = bytes;
        if (!saveToMemory(p, out.data(), &room)) std::abort();   // the size asked for must be enough
        IccProfile* again = openFromMemory(out.data(), room);
        if (!again) std::abort();                                 // what the engine writes, it reads
        if (tagCount(again) > n) std::abort();
        for (uint32_t i = 0; i < tagCount(again); ++i) loadTag(again, tagSignatureAt(again, i));
        closeProfile(again);
    }
    closeProfile(p);
    return 0;
}
