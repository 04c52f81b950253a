// The abstract-profile builder and the tools around it, at the sizes users
// meet: default and largest builds of each recipe, a live-preview frame, the
// .cube export, and images through the command line.
//
// Goals on a 2-core machine: a default build (33³) in 30 ms, the
// largest (64³) in 1.5 s, a live-preview frame in 150 ms, a 65-point .cube in
// 1 s and a 255-point one in 20 s, and `apply` of a 24-megapixel image through
// three profiles with a peak memory under three times the two images' size.
#include "app/core/builder.h"
#include "app/core/workerscheduler.h"
#include "curves/core/curvefamily.h"
#include "tools/core/cubewriter.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr char PressProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

QTemporaryDir& workDir()
{
    static QTemporaryDir dir;
    return dir;
}

// A .cube that warms: red lifted by a tenth.
QString warmCube()
{
    static QString path;
    if (!path.isEmpty()) return path;
    path = workDir().filePath(QStringLiteral("warm.cube"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return {};
    const int n = 33;
    QByteArray text = "LUT_3D_SIZE 33\n";
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r)
                text += QByteArray::number(std::min(r / 32.0 + 0.1, 1.0)) + ' ' + QByteArray::number(g / 32.0) + ' ' +
                        QByteArray::number(b / 32.0) + '\n';
    f.write(text);
    return path;
}

Recipe recipeFor(int tab)
{
    Recipe r;
    r.tab = RecipeTab(tab);
    switch (tab) {
    case 0:
        r.softproofProfile = QString::fromLatin1(PressProfile);
        r.channels[0].selectFamily(CurveFamily::Gamma);
        r.channels[0].setValue(1.2);
        break;
    case 1:
        r.correlates[0].selectFamily(CurveFamily::Sigmoidal);
        r.correlates[0].setValue(1.5);
        r.correlates[1].selectFamily(CurveFamily::Gamma);
        r.correlates[1].setValue(0.8);
        break;
    default:
        r.lutProfile = QStringLiteral("*srgb");
        r.cubeFile = warmCube();
        break;
    }
    return r;
}

const char* const RecipeNames[] = {"softproof_cmyk_press", "cam16", "cube_import"};

void BM_Build(benchmark::State& state, int tab, int gridL, int gridAb)
{
    const Recipe recipe = recipeFor(tab);
    ResolutionPreferences prefs;
    prefs.gridLstar = gridL;
    prefs.gridAbstar = gridAb;
    for (auto _ : state) {
        BuildResult built = buildRecipe(recipe, prefs);
        if (!built.ok()) {
            state.SkipWithError("build failed");
            return;
        }
        benchmark::DoNotOptimize(built.profile.get());
    }
    state.counters["nodes"] = double(gridL) * gridAb * gridAb;
}

// A live-preview frame: the default build, then a 2-megapixel RGBA image
// through [sRGB, the new profile, sRGB].
void BM_LivePreviewFrame(benchmark::State& state)
{
    const Recipe recipe = recipeFor(0);
    const uint32_t width = 1920, height = 1080;
    std::vector<uint8_t> in(size_t(width) * height * 4), out(in.size());
    for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t((i * 2654435761u) >> 24);
    ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    for (auto _ : state) {
        BuildResult built = buildRecipe(recipe, ResolutionPreferences{});
        IccProfile* chain[3] = {srgb.get(), built.profile.get(), srgb.get()};
        Transform* t = createMultiTransform(nullptr, chain, 3, FormatRgba8, FormatRgba8, 0, XformCopyAlpha);
        if (!t) {
            state.SkipWithError("no transform");
            return;
        }
        doTransform(t, in.data(), out.data(), width * height);
        deleteTransform(t);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_CubeExport(benchmark::State& state)
{
    CubeRequest request;
    request.abstractProfile = workDir().filePath(QStringLiteral("look.icc"));
    request.rgbProfile = QStringLiteral("*srgb");
    request.outputFile = workDir().filePath(QStringLiteral("export.cube"));
    request.gridPoints = int(state.range(0));
    {
        BuildResult built = buildRecipe(recipeFor(1), ResolutionPreferences{});
        uint32_t size = 0;
        saveToMemory(built.profile.get(), nullptr, &size);
        std::vector<char> bytes(size);
        saveToMemory(built.profile.get(), bytes.data(), &size);
        QFile f(request.abstractProfile);
        if (!f.open(QIODevice::WriteOnly)) return;
        f.write(bytes.data(), qint64(size));
    }
    for (auto _ : state) {
        const ToolResult r = writeCubeFile(request);
        if (!r.ok) {
            state.SkipWithError("export failed");
            return;
        }
    }
    state.counters["lines"] = double(request.gridPoints) * request.gridPoints * request.gridPoints;
    QFile::remove(request.outputFile);
}

#ifdef TONEMOLDER_CLI
// `apply` of a 24-megapixel 8-bit image through three profiles, in a child
// process whose peak resident memory is reported against the two images.
void BM_Apply24Megapixels(benchmark::State& state)
{
    const int width = 6000, height = 4000;
    const QString input = workDir().filePath(QStringLiteral("big.ppm"));
    const QString output = workDir().filePath(QStringLiteral("big-out.ppm"));
    const QString look = workDir().filePath(QStringLiteral("look.icc"));
    {
        QFile f(input);
        if (!f.open(QIODevice::WriteOnly)) return;
        f.write(QByteArray("P6\n") + QByteArray::number(width) + ' ' + QByteArray::number(height) + "\n255\n");
        QByteArray row(width * 3, '\0');
        for (int y = 0; y < height; ++y) {
            for (int i = 0; i < row.size(); ++i) row[i] = char((i * 7 + y * 13) & 255);
            f.write(row);
        }
        BuildResult built = buildRecipe(recipeFor(1), ResolutionPreferences{});
        uint32_t size = 0;
        saveToMemory(built.profile.get(), nullptr, &size);
        std::vector<char> bytes(size);
        saveToMemory(built.profile.get(), bytes.data(), &size);
        QFile p(look);
        if (!p.open(QIODevice::WriteOnly)) return;
        p.write(bytes.data(), qint64(size));
    }
    const QByteArray chain = ("*srgb," + look + ",*argb").toLocal8Bit();
    const QByteArray in = input.toLocal8Bit(), out = output.toLocal8Bit();
    long peakKb = 0;
    for (auto _ : state) {
        const pid_t child = fork();
        if (child == 0) {
            execl(TONEMOLDER_CLI, TONEMOLDER_CLI, "--quiet", "apply", in.constData(), "--chain", chain.constData(), "-o",
                  out.constData(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        struct rusage usage {};
        wait4(child, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("apply failed");
            return;
        }
        peakKb = std::max(peakKb, usage.ru_maxrss);
    }
    // The decoded input (32 bits a pixel) and the result (32 bits a pixel).
    const double images = 2.0 * width * height * 4;
    state.counters["peak_MB"] = double(peakKb) / 1024.0;
    state.counters["images_MB"] = images / (1024.0 * 1024.0);
    state.counters["peak_per_images"] = double(peakKb) * 1024.0 / images;
    QFile::remove(output);
}
BENCHMARK(BM_Apply24Megapixels)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
#endif

void registerBuilds()
{
    for (int tab = 0; tab < 3; ++tab) {
        const ResolutionPreferences defaults;
        benchmark::RegisterBenchmark((std::string("BM_BuildDefault/") + RecipeNames[tab]).c_str(), BM_Build, tab,
                                     defaults.gridLstar, defaults.gridAbstar)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        // The default of earlier versions (23 × 17 × 17), for comparison.
        benchmark::RegisterBenchmark((std::string("BM_BuildEarlierDefault/") + RecipeNames[tab]).c_str(), BM_Build,
                                     tab, 23, 17)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("BM_BuildLargest/") + RecipeNames[tab]).c_str(), BM_Build, tab, 64, 64)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3)
            ->UseRealTime();
    }
}

}   // namespace

BENCHMARK(BM_LivePreviewFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CubeExport)->Arg(65)->Arg(255)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

int main(int argc, char** argv)
{
    registerPlugins(nullptr, processorWideScheduler());
    if (!registerCurveFamilyPlugin()) return 1;
    if (!QFile::exists(QString::fromLatin1(PressProfile))) {
        std::fprintf(stderr, "%s is missing\n", PressProfile);
        return 1;
    }
    registerBuilds();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unregisterPlugins(nullptr);
    return 0;
}
