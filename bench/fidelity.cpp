// The fidelity report: how closely abstract profiles built by the program
// reproduce their recipes. For each look, at ICC versions 4.3 and 2.1 and at
// the default, 33-point and 64-point grids, the profile is built, saved and
// read back, then compared with the recipe evaluated directly (ΔE76 mean,
// 95th percentile and maximum over 20 000 random colours inside sRGB and
// Adobe RGB plus the surfaces of both gamuts). A version 4.3 profile is
// measured through its float table, which colour engines use, and through
// its 16-bit table alone; a 16-bit table against the recipe held in the box
// of a* and b* -128 … 127 it can carry. The last three columns measure over
// the colours the recipe keeps inside that box, where both tables are meant
// to follow it alike. A report, not a timed test:
// run it by hand (`build/bench/fidelity`), optionally with a look's name to
// report only the looks whose names contain it.
//
//   fidelity [--save DIR] [--profiles DIR] [--grid L[,AB]]... [--sigmoid K]
//            [--curve-points N] [--version 4.3|2.1] [--worst] [LOOK]
//
// --grid replaces the three grids by the ones given (L* points, and a*/b*
// points when they differ); --sigmoid and --curve-points set the rest of the
// resolution of every build (the defaults otherwise); --version reports one
// version only; --worst prints, under each row, the colour with the largest
// error with what the recipe and the profile make of it.
//
// --save DIR writes the looks' tables and each look as a saved recipe
// profile (DIR/<n>.icc, n counting the looks from 1), so that another build
// of the program can rebuild them (`tonemolder-cli rebuild DIR/1.icc
// --version 2.1 --grid-lstar 33 --grid-abstar 33 -o DIR/1-2.1-33.icc`).
// --profiles DIR measures DIR/<n>-<version>-<grid>.icc (grid "default", 33
// or 64) where such a file exists instead of building the profile: the
// figures of another build against the same recipes.
#include "app/core/builder.h"
#include "app/core/fidelity.h"
#include "app/core/workerscheduler.h"
#include "curves/core/curvefamily.h"
#include "tools/core/toolfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr char PressProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

using RgbFunction = std::function<void(double r, double g, double b, double out[3])>;

QString writeCube(const QDir& dir, const char* name, int n, const RgbFunction& f)
{
    const QString path = dir.absoluteFilePath(QString::fromLatin1(name));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return {};
    QByteArray text = "TITLE \"" + QByteArray(name) + "\"\nLUT_3D_SIZE " + QByteArray::number(n) + "\n";
    char line[96];
    for (int b = 0; b < n; ++b) {
        for (int g = 0; g < n; ++g) {
            for (int r = 0; r < n; ++r) {
                double o[3];
                f(double(r) / (n - 1), double(g) / (n - 1), double(b) / (n - 1), o);
                std::snprintf(line, sizeof line, "%.7f %.7f %.7f\n", o[0], o[1], o[2]);
                text += line;
            }
        }
    }
    file.write(text);
    return path;
}

struct Look {
    std::string name;
    Recipe recipe;
};

struct Grid {
    std::string name;
    int lstar, abstar;
};

struct Options {
    QString save;       // where the looks are written as recipe profiles
    QString profiles;   // where profiles of another build are read
    std::string only;
    std::vector<Grid> grids;
    ResolutionPreferences resolution;   // curve points and sigmoid of every build
    bool worst = false;                 // print where each largest error lies
    int version = -1;                   // 0: 4.3 only, 1: 2.1 only, else both
};

Recipe cubeRecipe(const QString& file, const char* space)
{
    Recipe r;
    r.tab = RecipeTab::CubeImport;
    r.cubeFile = file;
    r.lutProfile = QString::fromLatin1(space);
    return r;
}

std::vector<Look> looks(const QDir& dir)
{
    const QString warm = writeCube(dir, "warm.cube", 33, [](double r, double g, double b, double o[3]) {
        o[0] = std::pow(r, 1.0 / 1.1);
        o[1] = std::pow(g, 1.0 / 1.02);
        o[2] = std::pow(b, 1.15);
    });
    const QString cross = writeCube(dir, "cross.cube", 17, [](double r, double g, double b, double o[3]) {
        o[0] = r * r;
        o[1] = (g + b) / 2;
        o[2] = 0.2 + 0.6 * r * b;
    });
    const QString identity = writeCube(dir, "identity.cube", 17, [](double r, double g, double b, double o[3]) {
        o[0] = r;
        o[1] = g;
        o[2] = b;
    });

    std::vector<Look> out;
    out.push_back({"warm .cube, *srgb", cubeRecipe(warm, "*srgb")});
    out.push_back({"warm .cube, *argb", cubeRecipe(warm, "*argb")});
    out.push_back({"cross-channel .cube, *srgb", cubeRecipe(cross, "*srgb")});

    Recipe press;
    press.tab = RecipeTab::Softproof;
    press.softproofProfile = QString::fromLatin1(PressProfile);
    press.channels[3].selectFamily(CurveFamily::Gamma);
    press.channels[3].setValue(1.5);
    out.push_back({"K gamma 1.5, default_cmyk", press});

    Recipe chroma;
    chroma.tab = RecipeTab::Cam16;
    chroma.correlates[1].selectFamily(CurveFamily::PointList);
    chroma.correlates[1].setUserData(false, QMap<float, float>{{0.0f, 0.0f}, {1.0f, 1.2f}});
    out.push_back({"CAM16 chroma x1.2", chroma});

    out.push_back({"identity .cube, *srgb", cubeRecipe(identity, "*srgb")});
    out.push_back({"identity .cube, *argb", cubeRecipe(identity, "*argb")});
    Recipe neutralProof;
    neutralProof.tab = RecipeTab::Softproof;
    neutralProof.softproofProfile = QStringLiteral("*srgb");
    out.push_back({"neutral softproof, *srgb", neutralProof});
    Recipe neutralCam;
    neutralCam.tab = RecipeTab::Cam16;
    out.push_back({"neutral CAM16", neutralCam});
    // The press round trip alone, last so that the numbering of saved looks
    // stays: how much of the K look's error is the press profile's own
    // tables rather than the curve.
    Recipe pressOnly = press;
    pressOnly.channels[3] = ChannelCurve{};
    out.push_back({"neutral softproof, cmyk", pressOnly});
    return out;
}

ProfilePtr build(const Options& options, size_t index, const Recipe& recipe, int version, const Grid& grid)
{
    if (!options.profiles.isEmpty()) {
        const QString file = QDir(options.profiles)
                                 .filePath(QStringLiteral("%1-%2-%3.icc")
                                               .arg(index + 1)
                                               .arg(QLatin1String(version ? "2.1" : "4.3"))
                                               .arg(QString::fromStdString(grid.name)));
        if (QFile::exists(file)) return adoptProfile(openProfileFile(file));
    }
    ResolutionPreferences prefs = options.resolution;
    prefs.versionIndex = version;
    prefs.gridLstar = grid.lstar;
    prefs.gridAbstar = grid.abstar;
    BuildResult built = buildRecipe(recipe, prefs);
    return built.ok() ? savedCopy(built.profile.get()) : adoptProfile(nullptr);
}

// The colour with the largest error: where it came from, what the recipe
// makes of it and what the profile does.
void printWorst(IccProfile* profile, const ExactRecipe& exact, size_t index)
{
    const std::vector<CieLab> colour{fidelityColours().at(index)};
    std::vector<CieLab> wanted;
    exact.apply(colour, wanted);
    using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
    TransformPtr t{createTransform(profile, FormatLabDouble, nullptr, FormatLabDouble, IntentPerceptual,
                                   XformNoOptimise),
                   &deleteTransform};
    CieLab built{};
    if (t) doTransform(t.get(), colour.data(), &built, 1);
    const CieLab& c = colour[0];
    std::printf("    worst: %s colour %zu, Lab %.2f %.2f %.2f -> recipe %.2f %.2f %.2f, profile %.2f %.2f %.2f\n",
                index < fidelityColours().size() / 2 ? "sRGB" : "Adobe RGB", index, c.L, c.a, c.b, wanted[0].L,
                wanted[0].a, wanted[0].b, built.L, built.a, built.b);
}

// The colours whose result under the recipe lies inside the Lab box, where
// the 16-bit and the float table are meant to agree with it alike.
std::vector<CieLab> keptInBox(const ExactRecipe& exact)
{
    std::vector<CieLab> wanted, out;
    exact.apply(fidelityColours(), wanted);
    for (size_t i = 0; i < wanted.size(); ++i) {
        const CieLab& w = wanted[i];
        if (w.L >= 0 && w.L <= 100 && w.a >= -128 && w.a <= 127 && w.b >= -128 && w.b <= 127)
            out.push_back(fidelityColours()[i]);
    }
    return out;
}

void printRow(const Look& look, const char* version, const Grid& grid, const char* table, const FidelityFigures& f,
              const FidelityFigures* inBox)
{
    std::printf("%-28s  %s  %-7s  %-4s  %7.3f  %7.3f  %7.3f", look.name.c_str(), version, grid.name.c_str(), table,
                f.mean, f.p95, f.max);
    if (inBox) std::printf("   %7.3f  %7.3f  %7.3f", inBox->mean, inBox->p95, inBox->max);
    std::printf("\n");
}

void report(const Options& options, size_t index, const Look& look)
{
    QString error;
    const std::unique_ptr<ExactRecipe> exact = ExactRecipe::forRecipe(look.recipe, openProfileByName, &error);
    if (!exact) {
        std::printf("%-28s  no exact recipe: %s\n", look.name.c_str(), error.toLocal8Bit().constData());
        return;
    }
    const std::vector<CieLab> inBox = keptInBox(*exact);
    ProfilePtr defaults[2] = {adoptProfile(nullptr), adoptProfile(nullptr)};
    for (int version = 0; version < 2; ++version) {
        if (options.version >= 0 && version != options.version) continue;
        const char* v = version ? "2.1" : "4.3";
        for (const Grid& grid : options.grids) {
            ProfilePtr profile = build(options, index, look.recipe, version, grid);
            if (!profile) {
                std::printf("%-28s  %s  %-7s  build failed\n", look.name.c_str(), v, grid.name.c_str());
                continue;
            }
            // The table a colour engine uses, then, when the profile has a
            // float table, the 16-bit one that engines without float tables use.
            const bool withFloat = hasTag(profile.get(), sig("D2B0"));
            const FidelityFigures f = measureFidelity(profile.get(), *exact);
            const FidelityFigures fBox = measureFidelity(profile.get(), *exact, inBox);
            printRow(look, v, grid, withFloat ? "D2B0" : "A2B0", f, &fBox);
            if (options.worst) printWorst(profile.get(), *exact, f.worst);
            if (withFloat) {
                ProfilePtr sixteen = sixteenBitCopy(profile.get());
                const FidelityFigures g = measureFidelity(sixteen.get(), *exact);
                const FidelityFigures gBox = measureFidelity(sixteen.get(), *exact, inBox);
                printRow(look, v, grid, "A2B0", g, &gBox);
                if (options.worst) printWorst(sixteen.get(), *exact, g.worst);
            }
            std::fflush(stdout);
            if (&grid == &options.grids.front()) defaults[version] = std::move(profile);
        }
    }
    if (defaults[0] && defaults[1]) {
        // Over every colour, then over those whose result a version-2 table
        // can hold too.
        const FidelityFigures f = compareProfiles(defaults[0].get(), defaults[1].get());
        const FidelityFigures g = compareProfiles(defaults[0].get(), defaults[1].get(), inBox);
        std::printf("%-28s  2.1 against 4.3, default grid: mean %.3f  p95 %.3f  max %.3f;  in box: mean %.3f  "
                    "p95 %.3f  max %.3f\n",
                    look.name.c_str(), f.mean, f.p95, f.max, g.mean, g.p95, g.max);
    }
}

}   // namespace

int main(int argc, char** argv)
{
    registerPlugins(nullptr, processorWideScheduler());
    if (!registerCurveFamilyPlugin()) return 1;
    if (!QFile::exists(QString::fromLatin1(PressProfile))) {
        std::fprintf(stderr, "%s is missing\n", PressProfile);
        return 1;
    }
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--save" || a == "--profiles") && i + 1 < argc) {
            (a == "--save" ? options.save : options.profiles) = QString::fromLocal8Bit(argv[++i]);
        } else if (a == "--grid" && i + 1 < argc) {
            const std::string g = argv[++i];
            int l = 0, ab = 0;
            if (std::sscanf(g.c_str(), "%d,%d", &l, &ab) == 2) options.grids.push_back({g, l, ab});
            else if (std::sscanf(g.c_str(), "%d", &l) == 1) options.grids.push_back({g, l, l});
        } else if (a == "--sigmoid" && i + 1 < argc) {
            options.resolution.sigmoidShape = std::atof(argv[++i]);
        } else if (a == "--curve-points" && i + 1 < argc) {
            options.resolution.gridCurves = std::atoi(argv[++i]);
        } else if (a == "--version" && i + 1 < argc) {
            const std::string v = argv[++i];
            options.version = v == "4.3" ? 0 : v == "2.1" ? 1 : -1;
        } else if (a == "--worst") {
            options.worst = true;
        } else {
            options.only = a;
        }
    }
    if (options.grids.empty()) {
        const ResolutionPreferences defaults;
        options.grids = {{"default", defaults.gridLstar, defaults.gridAbstar}, {"33", 33, 33}, {"64", 64, 64}};
    }
    QTemporaryDir temporary;
    const QDir dir(options.save.isEmpty() ? temporary.path() : options.save);
    if (!options.save.isEmpty() && !dir.mkpath(QStringLiteral("."))) return 1;
    const std::vector<Look> all = looks(dir);
    if (!options.save.isEmpty()) {
        for (size_t i = 0; i < all.size(); ++i) {
            BuildResult built = buildProfileWithRecipe(all[i].recipe, ResolutionPreferences{});
            QString error;
            if (!built.ok() || !saveProfileToFile(built.profile.get(), dir.filePath(QStringLiteral("%1.icc").arg(i + 1)), &error))
                std::fprintf(stderr, "%s: not saved\n", all[i].name.c_str());
        }
        return 0;
    }
    std::printf("%zu colours; ΔE76 of the saved profile against the recipe evaluated directly (for a 16-bit\n"
                "table held in the Lab box); then over the colours the recipe keeps inside that box\n",
                fidelityColours().size());
    std::printf("%-28s  ver  grid     table     mean      p95      max   in box: mean      p95      max\n", "look");
    for (size_t i = 0; i < all.size(); ++i)
        if (options.only.empty() || all[i].name.find(options.only) != std::string::npos) report(options, i, all[i]);
    unregisterPlugins(nullptr);
    return 0;
}
