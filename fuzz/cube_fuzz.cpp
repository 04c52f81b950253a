// .cube text from memory: read any bytes into a table; what is accepted must
// hold exactly the announced number of finite values and become a pipeline.
#include "oslinternal.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CubeTable table;
    if (!readCubeText(nullptr, data, size, &table)) {
        if (!table.clut.empty() || !table.shaper[0].empty()) std::abort();
        return 0;
    }
    const size_t n = table.gridPoints;
    if (table.clut.size() != n * n * n * 3) std::abort();
    for (const std::vector<float>& curve : table.shaper)
        if (curve.size() != table.shaperSize) std::abort();
    for (float v : table.clut)
        if (!std::isfinite(v)) std::abort();
    if (table.title.size() > 1023) std::abort();

    Pipeline* pipeline = buildCubePipeline(nullptr, table);
    if (!pipeline) std::abort();
    const float in[3] = {0.25f, 0.5f, 1.0f};
    float out[3];
    evalPipelineFloat(in, out, pipeline);
    freePipeline(pipeline);
    return 0;
}
