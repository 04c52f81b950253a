// The accuracy of optimised transforms through chains that hold a look: for
// each chain, random pixels go through the transform as `apply` makes it
// (integer formats, optimised) and through the same chain unoptimised in
// double precision; both results are clipped to 0 … 1 and compared in 8-bit
// codes (16-bit results in the same units: a code is 1/255 of the range).
// Beside it, the same figures for a plain table of 33 points per input in
// the encoded input space, sampled from the exact chain and interpolated
// tetrahedrally in double, its results rounded to the output's codes: what
// a naive table export reaches. The error of one pixel is the largest over
// its output channels; the columns are the mean, 99th percentile and maximum
// over the pixels. Goal: every chain p99 ≤ 1.5 and max ≤ 3 codes, and never
// worse than the plain table. A report, not a timed test: run it by hand.
//
//   chain_accuracy [--pixels N] [--worst] [--save DIR]
//
// --worst prints, under each row, the pixel with the largest error.
// --save DIR writes the looks as profiles (DIR/<name>.icc) for other tools.
#include "app/core/builder.h"
#include "app/core/fidelity.h"
#include "profiles/core/builtinspaces.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

constexpr char PressProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";
constexpr int PlainPoints = 33;

// The strong look: a cross-channel .cube of 17 points, as the fidelity
// report's.
QString writeCrossCube(const QDir& dir)
{
    const QString path = dir.absoluteFilePath(QStringLiteral("cross.cube"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return {};
    const int n = 17;
    QByteArray text = "TITLE \"cross\"\nLUT_3D_SIZE 17\n";
    char line[96];
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                const double R = double(r) / (n - 1), G = double(g) / (n - 1), B = double(b) / (n - 1);
                std::snprintf(line, sizeof line, "%.7f %.7f %.7f\n", R * R, (G + B) / 2, 0.2 + 0.6 * R * B);
                text += line;
            }
    file.write(text);
    return path;
}

ProfilePtr cubeLook(const QString& cube, int versionIndex)
{
    Recipe r;
    r.tab = RecipeTab::CubeImport;
    r.cubeFile = cube;
    r.lutProfile = QStringLiteral("*srgb");
    ResolutionPreferences prefs;
    prefs.versionIndex = versionIndex;
    BuildResult built = buildRecipe(r, prefs);
    return built.ok() ? savedCopy(built.profile.get()) : adoptProfile(nullptr);
}

uint16_t word(double v)
{
    return uint16_t(std::clamp(std::floor(v * 65535.0 + 0.5), 0.0, 65535.0));
}

// A version-2 abstract profile as other programs write them: one 33-point
// 16-bit table on version-2 Lab, chroma × 1.2.
ProfilePtr chromaLookV2()
{
    ProfilePtr p = adoptProfile(createLabIdentityV2(nullptr, nullptr));
    if (!p) return p;
    Stage* clut = newClut16StageUniform(nullptr, 33, 3, 3, nullptr);
    auto chroma = [](const uint16_t in[], uint16_t out[], void*) {
        // Version-4 Lab words inside the pipeline; a*, b* around 128/255.
        const double a = in[1] / 65535.0 * 255.0 - 128.0, b = in[2] / 65535.0 * 255.0 - 128.0;
        out[0] = in[0];
        out[1] = word((a * 1.2 + 128.0) / 255.0);
        out[2] = word((b * 1.2 + 128.0) / 255.0);
        return true;
    };
    Pipeline* lut = newPipeline(nullptr, 3, 3);
    sampleClut16(clut, chroma, nullptr, 0);
    insertStage(lut, AtEnd, clut);
    storeTag(p.get(), sig("A2B0"), lut);
    freePipeline(lut);
    return savedCopy(p.get());
}

struct Chain {
    std::string name;
    std::vector<IccProfile*> profiles;
    int bits;            // of input and output samples
};

struct Figures {
    double mean = 0, p99 = 0, max = 0;
};

Figures figuresOf(std::vector<double>& errors)
{
    Figures f;
    if (errors.empty()) return f;
    double sum = 0;
    for (double e : errors) sum += e;
    f.mean = sum / double(errors.size());
    std::sort(errors.begin(), errors.end());
    f.p99 = errors[size_t(0.99 * double(errors.size() - 1))];
    f.max = errors.back();
    return f;
}

uint32_t integerFormat(uint32_t space, int bits)
{
    return formatForSpace(space, bits / 8, false);
}

uint32_t doubleFormat(uint32_t space)
{
    return formatForSpace(space, 0, true);
}

// Tetrahedral interpolation of a 3-input table of n points per input in
// double (the last input varies fastest).
void tetrahedral(const std::vector<double>& table, int n, int outputs, const double in[3], double out[])
{
    int cell[3];
    double f[3];
    for (int i = 0; i < 3; ++i) {
        const double v = std::clamp(in[i], 0.0, 1.0) * (n - 1);
        cell[i] = std::min(int(v), n - 2);
        f[i] = v - cell[i];
    }
    auto node = [&](int a, int b, int c) {
        return &table[((size_t(cell[0] + a) * n + (cell[1] + b)) * n + (cell[2] + c)) * outputs];
    };
    const double *c0 = node(0, 0, 0), *c1, *c2, *c3;
    double r1, r2, r3;
    // The corner path follows the fractions from largest to smallest.
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int a, int b) { return f[a] > f[b]; });
    int step[3] = {0, 0, 0};
    step[order[0]] = 1;
    c1 = node(step[0], step[1], step[2]);
    step[order[1]] = 1;
    c2 = node(step[0], step[1], step[2]);
    c3 = node(1, 1, 1);
    r1 = f[order[0]];
    r2 = f[order[1]];
    r3 = f[order[2]];
    for (int o = 0; o < outputs; ++o)
        out[o] = c0[o] + (c1[o] - c0[o]) * r1 + (c2[o] - c1[o]) * r2 + (c3[o] - c2[o]) * r3;
}

bool showWorst = false;

bool measure(const Chain& chain, size_t pixels, Figures* optimised, Figures* plain)
{
    const uint32_t entry = profileColorSpace(chain.profiles.front());
    const bool linkLast = profileDeviceClass(chain.profiles.back()) == ClassLink ||
                          profileDeviceClass(chain.profiles.back()) == ClassAbstract;
    const uint32_t exit = linkLast ? profilePcs(chain.profiles.back()) : profileColorSpace(chain.profiles.back());
    const uint32_t inputs = channelsOfSpace(entry), outputs = channelsOfSpace(exit);
    if (inputs != 3) return false;
    const uint32_t n = uint32_t(chain.profiles.size());
    // As `apply` makes it: abstract profiles move white on purpose.
    TransformPtr fast(createMultiTransform(nullptr, chain.profiles.data(), n, integerFormat(entry, chain.bits),
                                           integerFormat(exit, chain.bits), IntentPerceptual,
                                           XformNoCache | XformNoWhiteFixup),
                      &deleteTransform);
    TransformPtr exact(createMultiTransform(nullptr, chain.profiles.data(), n, doubleFormat(entry),
                                            doubleFormat(exit), IntentPerceptual, XformNoOptimise | XformNoCache),
                       &deleteTransform);
    if (!fast || !exact) return false;

    const double top = chain.bits == 8 ? 255.0 : 65535.0;
    // Ink amounts in double are per cent.
    const double exactScale = exit == SpaceCmyk ? 0.01 : 1.0;
    std::mt19937 random(24);
    std::uniform_int_distribution<uint32_t> code(0, uint32_t(top));
    std::vector<uint16_t> in16(pixels * 3), out16(pixels * outputs);
    std::vector<uint8_t> in8(pixels * 3), out8(pixels * outputs);
    std::vector<double> inD(pixels * 3), outD(pixels * outputs);
    for (size_t i = 0; i < pixels * 3; ++i) {
        const uint32_t c = code(random);
        in16[i] = uint16_t(c);
        in8[i] = uint8_t(c);
        inD[i] = c / top;
    }
    if (chain.bits == 8)
        doTransform(fast.get(), in8.data(), out8.data(), uint32_t(pixels));
    else
        doTransform(fast.get(), in16.data(), out16.data(), uint32_t(pixels));
    doTransform(exact.get(), inD.data(), outD.data(), uint32_t(pixels));
    for (double& v : outD) v *= exactScale;

    // The plain table, sampled from the exact chain.
    const size_t nodes = size_t(PlainPoints) * PlainPoints * PlainPoints;
    std::vector<double> nodeIn(nodes * 3), table(nodes * outputs);
    for (size_t k = 0; k < nodes; ++k) {
        nodeIn[k * 3 + 0] = double(k / (PlainPoints * PlainPoints)) / (PlainPoints - 1);
        nodeIn[k * 3 + 1] = double(k / PlainPoints % PlainPoints) / (PlainPoints - 1);
        nodeIn[k * 3 + 2] = double(k % PlainPoints) / (PlainPoints - 1);
    }
    doTransform(exact.get(), nodeIn.data(), table.data(), uint32_t(nodes));
    for (double& v : table) v = std::clamp(v * exactScale, 0.0, 1.0);

    std::vector<double> fastErrors(pixels), plainErrors(pixels);
    for (size_t i = 0; i < pixels; ++i) {
        double fromTable[MaxStageChannels];
        tetrahedral(table, PlainPoints, int(outputs), &inD[i * 3], fromTable);
        double worstFast = 0, worstPlain = 0;
        for (uint32_t o = 0; o < outputs; ++o) {
            const double want = std::clamp(outD[i * outputs + o], 0.0, 1.0);
            const double got = chain.bits == 8 ? out8[i * outputs + o] / 255.0 : out16[i * outputs + o] / 65535.0;
            const double tabled = std::round(fromTable[o] * top) / top;
            worstFast = std::max(worstFast, std::fabs(got - want) * 255.0);
            worstPlain = std::max(worstPlain, std::fabs(tabled - want) * 255.0);
        }
        fastErrors[i] = worstFast;
        plainErrors[i] = worstPlain;
    }
    if (showWorst) {
        const size_t i = size_t(std::max_element(fastErrors.begin(), fastErrors.end()) - fastErrors.begin());
        std::printf("    worst: in %.0f %.0f %.0f ->", inD[i * 3] * top, inD[i * 3 + 1] * top, inD[i * 3 + 2] * top);
        for (uint32_t o = 0; o < outputs; ++o)
            std::printf(" %.2f/%.2f", (chain.bits == 8 ? out8[i * outputs + o] / 255.0 : out16[i * outputs + o] / 65535.0) * 255,
                        std::clamp(outD[i * outputs + o], 0.0, 1.0) * 255);
        std::printf("  (optimised/exact, codes)\n");
    }
    *optimised = figuresOf(fastErrors);
    *plain = figuresOf(plainErrors);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    size_t pixels = 100000;
    QString save;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pixels") == 0 && i + 1 < argc) {
            pixels = size_t(std::max(1000L, std::atol(argv[++i])));
        } else if (std::strcmp(argv[i], "--worst") == 0) {
            showWorst = true;
        } else if (std::strcmp(argv[i], "--save") == 0 && i + 1 < argc) {
            save = QString::fromLocal8Bit(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: chain_accuracy [--pixels N] [--worst] [--save DIR]\n");
            return 2;
        }
    }
    QTemporaryDir dir;
    const QString cube = writeCrossCube(QDir(dir.path()));
    ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    ProfilePtr press = adoptProfile(openProfileByName(QString::fromLatin1(PressProfile)));
    ProfilePtr look4 = cubeLook(cube, 0);
    ProfilePtr look2 = cubeLook(cube, 1);
    ProfilePtr chroma2 = chromaLookV2();
    if (!srgb || !press || !look4 || !look2 || !chroma2) {
        std::fprintf(stderr, "cannot make the profiles (is %s installed?)\n", PressProfile);
        return 1;
    }
    if (!save.isEmpty()) {
        QDir().mkpath(save);
        const std::pair<const char*, IccProfile*> named[] = {
            {"cross-4.3.icc", look4.get()}, {"cross-2.1.icc", look2.get()}, {"chroma-2.1.icc", chroma2.get()}};
        for (const auto& [name, p] : named)
            saveToFile(p, QDir(save).absoluteFilePath(QString::fromLatin1(name)).toLocal8Bit().constData());
    }

    IccProfile* s = srgb.get();
    const std::vector<Chain> chains = {
        {"*srgb, cross .cube 4.3, *srgb (8-bit)", {s, look4.get(), s}, 8},
        {"*srgb, cross .cube 2.1, *srgb (8-bit)", {s, look2.get(), s}, 8},
        {"*srgb, v2 chroma x1.2, *srgb (8-bit)", {s, chroma2.get(), s}, 8},
        {"*srgb, cross 4.3, cmyk proof (8-bit)", {s, look4.get(), press.get(), press.get(), s}, 8},
        {"*srgb, cross 4.3, cmyk (8-bit CMYK)", {s, look4.get(), press.get()}, 8},
        {"*srgb, cross .cube 4.3, *srgb (16-bit)", {s, look4.get(), s}, 16},
        {"*srgb, v2 chroma x1.2, *srgb (16-bit)", {s, chroma2.get(), s}, 16},
    };
    std::printf("%zu random pixels; error in 8-bit codes, largest channel per pixel\n\n", pixels);
    std::printf("%-40s %26s   %26s\n", "", "optimised transform", "plain 33-point table");
    std::printf("%-40s %8s %8s %8s   %8s %8s %8s\n", "chain", "mean", "p99", "max", "mean", "p99", "max");
    bool allMet = true;
    for (const Chain& c : chains) {
        Figures fast, plain;
        if (!measure(c, pixels, &fast, &plain)) {
            std::printf("%-40s   (no transform)\n", c.name.c_str());
            allMet = false;
            continue;
        }
        const bool met = fast.p99 <= 1.5 && fast.max <= 3.0 && fast.p99 <= plain.p99 + 1e-9 &&
                         fast.max <= plain.max + 1e-9;
        allMet = allMet && met;
        std::printf("%-40s %8.3f %8.3f %8.3f   %8.3f %8.3f %8.3f %s\n", c.name.c_str(), fast.mean, fast.p99,
                    fast.max, plain.mean, plain.p99, plain.max, met ? "" : " <- misses");
    }
    std::printf("\n%s\n", allMet ? "every chain meets the goal" : "some chains miss the goal");
    return 0;
}
