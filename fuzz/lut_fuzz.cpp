// LUT files from memory: the same bytes through every reader of the Import
// LUT recipe but the engine's .cube reader (cube_fuzz): .3dl, .csp, .spi3d
// and CLF as text, and as a Hald CLUT image. A refusal must name the file;
// a table a reader accepts and validate() passes must become a device link.
#include "app/core/lutformats/clfformat.h"
#include "app/core/lutformats/cspformat.h"
#include "app/core/lutformats/haldformat.h"
#include "app/core/lutformats/spi3dformat.h"
#include "app/core/lutformats/threedlformat.h"
#include "fuzz/memoryfile.h"

#include <cstdlib>
#include <string>

namespace {

void check(const lutformats::LutRead& read, const std::string& name)
{
    if (!read.ok()) {
        if (read.error.rfind(name, 0) != 0) std::abort();
        return;
    }
    if (!read.lut.validate().empty()) return;
    IccProfile* link = lutformats::lutDeviceLink(read.lut);
    if (!link) std::abort();
    const auto* pipeline = static_cast<const Pipeline*>(loadTag(link, sig("A2B0")));
    if (!pipeline) std::abort();
    const float in[3] = {0.25f, 0.5f, 1.0f};
    float out[3];
    evalPipelineFloat(in, out, pipeline);
    closeProfile(link);
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check(lutformats::readThreeDl(text, "fuzz.3dl"), "fuzz.3dl");
    check(lutformats::readCsp(text, "fuzz.csp"), "fuzz.csp");
    check(lutformats::readSpi3d(text, "fuzz.spi3d"), "fuzz.spi3d");
    check(lutformats::readClf(text, "fuzz.clf"), "fuzz.clf");

    const MemoryFile file(data, size);
    if (file.ok()) check(lutformats::readHald(file.path()), file.path());
    return 0;
}
