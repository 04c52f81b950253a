// Reading a 65-point .cube file (274625 data lines), as the CUBE import does
// on every profile build.
#include "oslinternal.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

// A 65-point table written like the .CUBE generator writes it: red fastest,
// six significant digits, a slight warm cast so the values are not trivial.
class CubeFile {
public:
    explicit CubeFile(int n)
    {
        path_ = (std::filesystem::temp_directory_path() / ("cube_bench_" + std::to_string(n) + ".cube")).string();
        FILE* f = std::fopen(path_.c_str(), "w");
        if (!f) return;
        std::fprintf(f, "TITLE \"bench %d\"\n# warm cast\nDOMAIN_MIN 0 0 0\nDOMAIN_MAX 1 1 1\nLUT_3D_SIZE %d\n", n, n);
        const float step = float(1.0 / (n - 1));
        for (int b = 0; b < n; ++b)
            for (int g = 0; g < n; ++g)
                for (int r = 0; r < n; ++r)
                    std::fprintf(f, "%.6g %.6g %.6g\n", double(r * step) * 0.98 + 0.02, double(g * step),
                                 double(b * step) * 0.95);
        ok_ = std::fclose(f) == 0;
    }
    ~CubeFile() { std::filesystem::remove(path_); }
    const char* path() const { return path_.c_str(); }
    bool ok() const { return ok_; }

private:
    std::string path_;
    bool ok_ = false;
};

const CubeFile& file65()
{
    static const CubeFile file(65);
    return file;
}

void readTable65(benchmark::State& state)
{
    const CubeFile& file = file65();
    if (!file.ok()) state.SkipWithError("cannot write the .cube file");
    for (auto _ : state) {
        CubeTable table;
        if (!readCubeTable(nullptr, file.path(), &table)) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(table.clut.data());
    }
    state.SetItemsProcessed(state.iterations() * 65 * 65 * 65);
}
BENCHMARK(readTable65)->Unit(benchmark::kMillisecond);

void readPipeline65(benchmark::State& state)
{
    const CubeFile& file = file65();
    if (!file.ok()) state.SkipWithError("cannot write the .cube file");
    for (auto _ : state) {
        CubeTable table;
        if (!readCubeTable(nullptr, file.path(), &table)) state.SkipWithError("read failed");
        Pipeline* pipeline = buildCubePipeline(nullptr, table);
        if (!pipeline) state.SkipWithError("pipeline failed");
        freePipeline(pipeline);
    }
    state.SetItemsProcessed(state.iterations() * 65 * 65 * 65);
}
BENCHMARK(readPipeline65)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
