// tonemolder-cli: the abstract-profile tools of the program on the command
// line. It shares the builder, the recipe format, the built-in colour spaces
// and the two tools with the desktop program.
#include "app/core/appinfo.h"
#include "app/core/builder.h"
#include "app/core/fidelity.h"
#include "app/core/recipe.h"
#include "app/core/workerscheduler.h"
#include "curves/core/curvefamily.h"
#include "profiles/core/builtinspaces.h"
#include "profiles/core/profilecatalogue.h"
#include "tools/cli/imageapply.h"
#include "tools/core/cubewriter.h"
#include "tools/core/outputembedder.h"
#include "tools/core/toolfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <cstdio>
#include <ctime>
#include <optional>

namespace {

constexpr char Program[] = "tonemolder-cli";

enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

const char* const MainHelp = R"(Usage: tonemolder-cli [--profiles-dir DIR]... [--quiet] COMMAND [ARGUMENTS]

Commands:
  info PROFILE...            header, tags and embedded recipe of profiles
  rebuild PROFILE -o OUT     rebuild a saved recipe profile at a chosen resolution
  rebuild PROFILE --report   how closely that resolution reproduces the recipe
  import-cube LUT -o OUT     turn a .cube/.lut table into an abstract profile
  cube ABSTRACT -o OUT       write an abstract profile as a .cube table
  embed OUTPUT ABSTRACT -o OUT
                             embed an abstract profile into an output profile
  apply IMAGE... --chain P1,P2,... (-o OUT | --output-dir DIR)
                             images through a chain of profiles

Profiles are named as in the program: a built-in colour space ("*srgb",
"*argb", "*colormatchrgb", "*applergb", "*srgblin", "*argblin", "*prophoto",
"*prophotolin", "*ecirgb", "*oprgb", "*bt2020", "*dcip3", "*lab", "*gray10",
"*gray18", "*gray22", "*gray30") or a file. A file name that does not exist
as given is looked for in the profile folders: those given with
--profiles-dir, then the system colour directory.

Options of every command:
  --profiles-dir DIR   a folder to look for profile files in (repeatable)
  --quiet              no progress display
  --verbose            show the colour engine's messages
  -h, --help           this text, or a command's own with COMMAND --help

Run "tonemolder-cli COMMAND --help" for the options of a command.
)";

const char* const InfoHelp = R"(Usage: tonemolder-cli info PROFILE...

Shows each profile's header, its tags with their types, its description and
copyright, and whether it carries a recipe of this program (and which).
)";

const char* const ResolutionOptions = R"(Resolution:
  --version 4.3|2.1     ICC version of the profile
  --grid-lstar N        CLUT points along L* (7..64)
  --grid-abstar N       CLUT points along a* and b* (7..64; version 2.1 uses the L* grid)
  --curve-points N      entries of each prelinearisation curve (0..4096)
  --sigmoid K           shape of the a*/b* prelinearisation (1..9)
)";

const char* const RebuildHelp = R"(Usage: tonemolder-cli rebuild PROFILE (-o OUT | --report) [resolution]

Reads the recipe a profile saved by this program carries and builds the
profile again from it (never from the profile's tables), at the resolution
the recipe was saved with unless options change it. The Softproofing colour
space is looked for beside PROFILE and in the profile folders.

  -o, --output FILE     the profile to write
  --report              print how closely the rebuilt profile reproduces its
                        recipe: Delta E 76 (mean, 95th percentile, maximum)
                        between the profile as saved and the recipe applied
                        directly, over 20 000 colours inside sRGB and Adobe RGB
                        and the surfaces of both gamuts
  --description TEXT    a new description
  --copyright TEXT      a new copyright
)";

const char* const ImportCubeHelp = R"(Usage: tonemolder-cli import-cube LUT -o OUT [options] [resolution]

Makes the abstract profile that applies a .cube or .lut 3D table in an RGB
space: Lab -> the RGB space (intent) -> the table -> the RGB space -> Lab.
The profile carries its recipe, so the program can open and edit it.

  -o, --output FILE     the profile to write
  --space NAME          RGB profile the table works in (default *srgb)
  --intent I            0 perceptual (default), 1 relative colorimetric,
                        2 relative colorimetric with black-point compensation,
                        3 saturation; or perceptual, relative, relative-bpc,
                        saturation
  --description TEXT    the profile's description (default: the table's title,
                        else the file's name)
  --copyright TEXT      the profile's copyright (default "No copyright")
)";

const char* const CubeHelp = R"(Usage: tonemolder-cli cube ABSTRACT -o OUT [options]

Writes the effect of an abstract profile, applied in an RGB space, as a
.cube 3D table: RGB -> PCS -> abstract -> the same RGB, relative colorimetric.

  -o, --output FILE     the .cube file to write
  --space NAME          the RGB profile (default *srgb)
  --points N            grid points per axis, 2..255 (default 33)
  --title TEXT          TITLE of the table (default: the profile's description)
  --copyright TEXT      comment line (default: the profile's copyright)
)";

const char* const EmbedHelp = R"(Usage: tonemolder-cli embed OUTPUT ABSTRACT -o OUT [options]

Rebuilds the PCS-to-device tables of an output profile so that the abstract
profile's effect comes first, for the chosen intents. The base profile's file
is never written.

  -o, --output FILE     the profile to write
  --intents LIST        intents that get the effect, comma-separated from
                        perceptual, relative, saturation; or none
                        (default perceptual,saturation)
  --all-luts            regenerate every other table from the profile alone
  --version 4.3|2.1     ICC version of the result (default 4.3)
  --grid N              grid points of the rebuilt tables, 17..255 (default 33)
  --description TEXT    new description (default: the base profile's)
  --copyright TEXT      new copyright (default: the base profile's)
)";

const char* const ApplyHelp = R"(Usage: tonemolder-cli apply IMAGE... --chain P1,P2,... (-o OUT | --output-dir DIR) [options]

Sends images through a chain of profiles and writes new image files. TIFF,
PNG and JPEG are read and written a band of rows at a time, whatever their
size; other formats the toolkit reads are read whole. Gray, RGB and CMYK
(TIFF and JPEG), 8 or 16 bits per channel; alpha is kept.

The images' own profile: when the chain starts with a profile of the
images' colour space and goes on (*srgb,look.icc,*srgb), that profile
describes them; otherwise the profile embedded in each image is put first
(--chain look.icc,*srgb, or just --chain press.icc). An image without a
profile is taken as sRGB. The chain's last profile is embedded in every
result, and a chain that ends in a press profile writes CMYK. A photo's
orientation (TIFF tag, EXIF) is recorded in its result.

  --chain LIST          the profiles, comma-separated
  --source-profile P    the images' profile, put first instead of the one
                        each image carries
  -o, --output FILE     the result, for one image; the kind of file follows
                        its name (.tif, .png, .jpg, others by the toolkit;
                        without an extension, the input's kind)
  --output-dir DIR      for several images: results under their own names
  --overwrite           replace results that exist (else they are refused)
  --bits 8|16           bits per channel of the results (default: as read)
  --intent I            rendering intent of the chain, as for import-cube
  --compression C       none, lzw or deflate, for TIFF results (default: as
                        the input TIFF; deflate for PNG or JPEG input)
  --quality Q           JPEG quality of the results, 1..100 (default 90)
  --jobs N              images at once (default: one per processor)

The exit status is 0 only when every image was written.
)";

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

void printText(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

void printEngineMessage(EngineContext*, uint32_t, const char* text)
{
    std::fprintf(stderr, "%s: engine: %s\n", Program, text ? text : "");
}

int fail(const QString& message, int code = Failure)
{
    printText(stderr, QStringLiteral("%1: %2\n").arg(QLatin1String(Program), message));
    return code;
}

int usage(const QString& message)
{
    return fail(message + QStringLiteral("\nTry \"%1 --help\".").arg(QLatin1String(Program)), UsageError);
}

// A progress line on a terminal, redrawn in place; nothing elsewhere.
class Progress {
public:
    Progress(const QString& what, bool enabled) : what_(what.toLocal8Bit()), enabled_(enabled && isatty(STDERR_FILENO))
    {
    }
    ~Progress() { finish(); }
    void operator()(int done, int total)
    {
        if (!enabled_ || total <= 0) return;
        const int percent = int(qint64(done) * 100 / total);
        if (percent == last_) return;
        last_ = percent;
        std::fprintf(stderr, "\r%s: %3d%%", what_.constData(), percent);
        std::fflush(stderr);
        shown_ = true;
    }
    void finish()
    {
        if (shown_) std::fputs("\n", stderr);
        shown_ = false;
    }

private:
    QByteArray what_;
    bool enabled_;
    bool shown_ = false;
    int last_ = -1;
};

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

// The arguments of one command: options with values, flags and positionals.
class Arguments {
public:
    Arguments(const QStringList& args, const QStringList& valueOptions, const QStringList& flags)
    {
        for (int i = 0; i < args.size(); ++i) {
            const QString& a = args[i];
            if (a == QLatin1String("--")) {
                positional_ += args.mid(i + 1);
                break;
            }
            if (!a.startsWith(QLatin1Char('-')) || a == QLatin1String("-")) {
                positional_ << a;
                continue;
            }
            QString name = a;
            QString value;
            bool inlineValue = false;
            if (a.startsWith(QLatin1String("--")) && a.contains(QLatin1Char('='))) {
                name = a.left(a.indexOf(QLatin1Char('=')));
                value = a.mid(a.indexOf(QLatin1Char('=')) + 1);
                inlineValue = true;
            }
            if (name == QLatin1String("-o")) name = QStringLiteral("--output");
            if (name == QLatin1String("-h")) name = QStringLiteral("--help");
            if (valueOptions.contains(name)) {
                if (!inlineValue) {
                    if (i + 1 >= args.size()) {
                        error_ = QStringLiteral("option %1 needs a value").arg(name);
                        return;
                    }
                    value = args[++i];
                }
                values_.append({name, value});
            } else if (flags.contains(name) && !inlineValue) {
                flags_ << name;
            } else {
                error_ = QStringLiteral("unknown option %1").arg(a);
                return;
            }
        }
    }

    const QString& error() const { return error_; }
    const QStringList& positional() const { return positional_; }
    bool flag(const char* name) const { return flags_.contains(QLatin1String(name)); }
    bool has(const char* name) const { return !all(name).isEmpty(); }
    QString value(const char* name, const QString& fallback = {}) const
    {
        const QStringList v = all(name);
        return v.isEmpty() ? fallback : v.last();
    }
    QStringList all(const char* name) const
    {
        QStringList out;
        for (const auto& [n, v] : values_)
            if (n == QLatin1String(name)) out << v;
        return out;
    }

private:
    QStringList positional_;
    QStringList flags_;
    QList<QPair<QString, QString>> values_;
    QString error_;
};

std::optional<int> integerValue(const QString& text)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    return ok ? std::optional<int>(v) : std::nullopt;
}

std::optional<double> numberValue(const QString& text)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

// An intent index 0..3 of the recipe combos, by number or name.
std::optional<int> intentIndex(const QString& text)
{
    const QString t = text.trimmed().toLower();
    const QStringList names = {"perceptual", "relative", "relative-bpc", "saturation"};
    if (names.contains(t)) return int(names.indexOf(t));
    const std::optional<int> n = integerValue(t);
    if (n && *n >= 0 && *n < IntentChoiceCount) return n;
    return std::nullopt;
}

// Applies the resolution options over `res`; an error text for a bad value.
QString readResolution(const Arguments& a, ResolutionPreferences& res)
{
    if (a.has("--version")) {
        const QString v = a.value("--version");
        if (v == QLatin1String("4.3") || v == QLatin1String("4")) res.versionIndex = 0;
        else if (v == QLatin1String("2.1") || v == QLatin1String("2")) res.versionIndex = 1;
        else return QStringLiteral("--version must be 4.3 or 2.1");
    }
    const struct { const char* name; int* target; int lo, hi; } grids[] = {
        {"--grid-lstar", &res.gridLstar, 7, 64},
        {"--grid-abstar", &res.gridAbstar, 7, 64},
        {"--curve-points", &res.gridCurves, 0, 4096},
    };
    for (const auto& g : grids) {
        if (!a.has(g.name)) continue;
        const std::optional<int> v = integerValue(a.value(g.name));
        if (!v || *v < g.lo || *v > g.hi)
            return QStringLiteral("%1 must be a whole number from %2 to %3").arg(QLatin1String(g.name)).arg(g.lo).arg(g.hi);
        *g.target = *v;
    }
    if (a.has("--sigmoid")) {
        const std::optional<double> k = numberValue(a.value("--sigmoid"));
        if (!k || *k < 1.0 || *k > 9.0) return QStringLiteral("--sigmoid must be a number from 1 to 9");
        res.sigmoidShape = *k;
    }
    return {};
}

const QStringList ResolutionValueOptions = {"--version", "--grid-lstar", "--grid-abstar", "--curve-points",
                                            "--sigmoid"};

// ---------------------------------------------------------------------------
// Profile names
// ---------------------------------------------------------------------------

struct Context {
    QStringList profileDirs;
    bool quiet = false;

    // Built-ins, then the name as a path, then each folder in turn.
    QString resolve(const QString& name, const QStringList& firstDirs = {}) const
    {
        if (name.startsWith(QLatin1Char('*')) || QFileInfo(name).isFile()) return name;
        if (QFileInfo(name).isAbsolute()) return name;
        QStringList dirs = firstDirs + profileDirs;
        const QString system = systemColorDirectory();
        if (!system.isEmpty()) dirs << system;
        for (const QString& dir : dirs) {
            const QString candidate = QDir(dir).filePath(name);
            if (QFileInfo(candidate).isFile()) return candidate;
        }
        return name;
    }

    ProfileOpener opener(const QStringList& firstDirs = {}) const
    {
        return [this, firstDirs](const QString& name) { return openProfileByName(resolve(name, firstDirs)); };
    }
};

QString signatureText(uint32_t s)
{
    if (s == 0) return QStringLiteral("(none)");
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((s >> shift) & 0xFF);
        text += (c >= 32 && c < 127) ? QChar(c) : QChar('?');
    }
    return text;
}

QString utf8Text(IccProfile* p, uint32_t which)
{
    const uint32_t size = profileTextUtf8(p, which, "en", "US", nullptr, 0);
    if (size == 0) return {};
    QByteArray bytes(qsizetype(size), '\0');
    profileTextUtf8(p, which, "en", "US", bytes.data(), size);
    return QString::fromUtf8(bytes.constData());
}

const char* tabName(int generator)
{
    switch (generator) {
    case 0: return "Softproofing";
    case 1: return "CIE CAM16";
    case 2: return "CUBE import";
    default: return "unknown";
    }
}

bool wantsHelp(const QStringList& args)
{
    return args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"));
}

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------

int infoCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, InfoHelp), Success;
    const Arguments a(args, {}, {});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().isEmpty()) return usage(QStringLiteral("info needs at least one profile"));
    int code = Success;
    for (const QString& name : a.positional()) {
        const QString path = ctx.resolve(name);
        ProfilePtr p = adoptProfile(openProfileByName(path));
        if (!p) {
            code = fail(QStringLiteral("cannot open %1 as a profile").arg(name));
            continue;
        }
        const std::tm date = profileCreationDate(p.get());
        char when[64];
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &date);
        QString out;
        out += QStringLiteral("Profile:          %1\n").arg(path);
        out += QStringLiteral("Version:          %1 (0x%2)\n")
                   .arg(versionAsNumber(p.get()))
                   .arg(profileVersion(p.get()), 8, 16, QLatin1Char('0'));
        out += QStringLiteral("Class:            %1\n").arg(signatureText(profileDeviceClass(p.get())));
        out += QStringLiteral("Colour space:     %1\n").arg(signatureText(profileColorSpace(p.get())));
        out += QStringLiteral("Connection space: %1\n").arg(signatureText(profilePcs(p.get())));
        out += QStringLiteral("Rendering intent: %1\n").arg(profileRenderingIntent(p.get()));
        out += QStringLiteral("Created:          %1\n").arg(QString::fromLatin1(when));
        out += QStringLiteral("Creator:          %1\n").arg(signatureText(profileCreator(p.get())));
        out += QStringLiteral("Description:      %1\n").arg(utf8Text(p.get(), InfoDescription));
        out += QStringLiteral("Copyright:        %1\n").arg(utf8Text(p.get(), InfoCopyright));
        const uint32_t tags = tagCount(p.get());
        out += QStringLiteral("Tags:             %1\n").arg(tags);
        for (uint32_t i = 0; i < tags; ++i) {
            const uint32_t tag = tagSignatureAt(p.get(), i);
            const bool readable = loadTag(p.get(), tag) != nullptr;   // the type is known once read
            out += QStringLiteral("  %1  %2\n")
                       .arg(signatureText(tag),
                            readable ? signatureText(linkedTypeOf(p.get(), tag)) : QStringLiteral("(unreadable)"));
        }
        const RecipeReadResult recipe = readRecipeFromProfile(p.get());
        switch (recipe.status) {
        case RecipeReadResult::Ok: {
            const Recipe& r = recipe.recipe;
            const ResolutionPreferences& res = r.resolution;
            out += QStringLiteral("Recipe:           yes, written by version %1\n")
                       .arg(recipe.storedVersion, 0, 'g', 6);
            out += QStringLiteral("  Recipe tab:     %1\n").arg(QLatin1String(tabName(r.generator)));
            out += QStringLiteral("  Softproofing:   %1, intent %2\n").arg(r.softproofProfile).arg(r.softproofIntent);
            out += QStringLiteral("  CUBE import:    %1 in %2, intent %3\n")
                       .arg(r.cubeFile.isEmpty() ? QStringLiteral("(no table)") : r.cubeFile, r.lutProfile)
                       .arg(r.lutIntent);
            out += QStringLiteral("  Resolution:     ICC %1, grid %2 x %3 x %3, %4 curve points, sigmoid %5\n")
                       .arg(res.versionIndex == 1 ? "2.1" : "4.3")
                       .arg(res.gridLstar)
                       .arg(res.versionIndex == 1 ? res.gridLstar : res.gridAbstar)
                       .arg(res.gridCurves)
                       .arg(res.sigmoidShape);
            break;
        }
        case RecipeReadResult::NewerVersion:
            out += QStringLiteral("Recipe:           from a newer version (%1)\n").arg(recipe.storedVersion);
            break;
        default: out += QStringLiteral("Recipe:           none\n"); break;
        }
        printText(stdout, out);
    }
    return code;
}

int saveBuilt(BuildResult& built, const QString& output)
{
    if (!built.ok()) return fail(built.message);
    QString error;
    if (!saveProfileToFile(built.profile.get(), output, &error))
        return fail(QStringLiteral("%1: %2").arg(QLatin1String(RecipeText::SaveFailed),
                                                 error.isEmpty() ? output : error));
    return Success;
}

// How closely a built profile, as saved, reproduces its recipe.
int reportFidelity(const Context& ctx, const Recipe& recipe, const ResolutionPreferences& res, IccProfile* built,
                   const QStringList& beside)
{
    QString error;
    const std::unique_ptr<ExactRecipe> exact = ExactRecipe::forRecipe(recipe, ctx.opener(beside), &error);
    ProfilePtr saved = savedCopy(built);
    if (!exact || !saved) return fail(error.isEmpty() ? QString::fromLatin1(BuilderText::InternalError) : error);
    const FidelityFigures f = measureFidelity(saved.get(), *exact);
    const int gridAb = res.versionIndex == 1 ? res.gridLstar : res.gridAbstar;
    const auto figures = [](const FidelityFigures& g) {
        return QStringLiteral("  mean %1   95th percentile %2   maximum %3\n")
            .arg(g.mean, 0, 'f', 3)
            .arg(g.p95, 0, 'f', 3)
            .arg(g.max, 0, 'f', 3);
    };
    QString out = QStringLiteral("ICC %1, grid %2 x %3 x %3, %4 curve points: Delta E 76 against the recipe "
                                 "over %5 colours\n")
                      .arg(QLatin1String(res.versionIndex == 1 ? "2.1" : "4.3"))
                      .arg(res.gridLstar)
                      .arg(gridAb)
                      .arg(res.gridCurves)
                      .arg(f.colours) +
                  figures(f);
    // A version 4.3 profile also carries its 16-bit table for colour
    // managers that read no float tables.
    if (hasTag(saved.get(), sig("D2B0"))) {
        ProfilePtr sixteen = sixteenBitCopy(saved.get());
        if (!sixteen) return fail(QString::fromLatin1(BuilderText::InternalError));
        out += QStringLiteral("The 16-bit table alone, as colour managers without float tables read it, against "
                              "the recipe held within a* and b* -128 to 127:\n") +
               figures(measureFidelity(sixteen.get(), *exact));
    }
    printText(stdout, out);
    return Success;
}

int rebuildCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, QString::fromUtf8(RebuildHelp) + ResolutionOptions), Success;
    const Arguments a(args, ResolutionValueOptions + QStringList{"--output", "--description", "--copyright"},
                      {"--report"});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 1) return usage(QStringLiteral("rebuild needs one profile"));
    if (!a.has("--output") && !a.flag("--report")) return usage(QStringLiteral("rebuild needs --output or --report"));

    const QString path = ctx.resolve(a.positional().first());
    const RecipeReadResult read = readRecipeFromFile(path);
    if (!read.ok()) return fail(read.message);
    Recipe recipe = read.recipe;
    ResolutionPreferences res = recipe.resolution;
    if (const QString e = readResolution(a, res); !e.isEmpty()) return usage(e);
    if (a.has("--description")) recipe.description = a.value("--description");
    if (a.has("--copyright")) recipe.copyright = a.value("--copyright");

    const QStringList beside = {QFileInfo(path).absolutePath()};
    if (recipe.tab() == RecipeTab::Softproof) {
        ProfilePtr space = adoptProfile(ctx.opener(beside)(recipe.softproofProfile));
        if (!space)
            return fail(QStringLiteral("WARNING: Softproofing profile not found: %1 (name its folder with "
                                       "--profiles-dir)")
                            .arg(recipe.softproofProfile));
    }
    BuildResult built = buildProfileWithRecipe(recipe, res, ctx.opener(beside));
    if (!built.ok()) return fail(built.message);
    if (a.flag("--report") && reportFidelity(ctx, recipe, res, built.profile.get(), beside))
        return Failure;
    return a.has("--output") ? saveBuilt(built, a.value("--output")) : Success;
}

int importCubeCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, QString::fromUtf8(ImportCubeHelp) + ResolutionOptions), Success;
    const Arguments a(args,
                      ResolutionValueOptions + QStringList{"--output", "--space", "--intent", "--description",
                                                           "--copyright"},
                      {});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 1) return usage(QStringLiteral("import-cube needs one .cube or .lut file"));
    if (!a.has("--output")) return usage(QStringLiteral("import-cube needs --output"));
    const std::optional<int> intent = intentIndex(a.value("--intent", QStringLiteral("0")));
    if (!intent) return usage(QStringLiteral("unknown intent %1").arg(a.value("--intent")));

    Recipe recipe;
    recipe.generator = int(RecipeTab::CubeImport);
    recipe.cubeFile = QFileInfo(a.positional().first()).absoluteFilePath();
    recipe.lutProfile = a.value("--space", QStringLiteral("*srgb"));
    recipe.lutIntent = *intent;
    if (!QFileInfo(recipe.cubeFile).isFile())
        return fail(BuilderText::CubeUnreadable + a.positional().first());
    ProfilePtr space = adoptProfile(ctx.opener()(recipe.lutProfile));
    if (!space) return fail(QStringLiteral("cannot open the RGB profile %1").arg(recipe.lutProfile));
    if (profileColorSpace(space.get()) != SpaceRgb)
        return fail(QStringLiteral("%1 is not an RGB profile").arg(recipe.lutProfile));
    recipe.lutProfile = ctx.resolve(recipe.lutProfile);

    if (a.has("--description")) {
        recipe.description = a.value("--description");
    } else {
        ProfilePtr link = adoptProfile(readCubeDeviceLink(recipe.cubeFile));
        const QString title = link ? utf8Text(link.get(), InfoDescription).trimmed() : QString();
        recipe.description = title.isEmpty() ? QFileInfo(recipe.cubeFile).completeBaseName() : title;
    }
    if (a.has("--copyright")) recipe.copyright = a.value("--copyright");

    ResolutionPreferences res;
    if (const QString e = readResolution(a, res); !e.isEmpty()) return usage(e);
    BuildResult built = buildProfileWithRecipe(recipe, res, ctx.opener());
    return saveBuilt(built, a.value("--output"));
}

int cubeCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, CubeHelp), Success;
    const Arguments a(args, {"--output", "--space", "--points", "--title", "--copyright"}, {});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 1) return usage(QStringLiteral("cube needs one abstract profile"));
    if (!a.has("--output")) return usage(QStringLiteral("cube needs --output"));
    const std::optional<int> points = integerValue(a.value("--points", QStringLiteral("33")));
    if (!points || *points < 2 || *points > 255) return usage(QStringLiteral("--points must be from 2 to 255"));

    CubeRequest request;
    request.abstractProfile = ctx.resolve(a.positional().first());
    request.rgbProfile = ctx.resolve(a.value("--space", QStringLiteral("*srgb")));
    request.outputFile = a.value("--output");
    request.gridPoints = *points;
    {
        ProfilePtr abstract = adoptProfile(openProfileByName(request.abstractProfile));
        if (!abstract) return fail(QStringLiteral("cannot open %1 as a profile").arg(a.positional().first()));
        request.title = a.value("--title", utf8Text(abstract.get(), InfoDescription));
        request.copyright = a.value("--copyright", utf8Text(abstract.get(), InfoCopyright));
    }
    Progress progress(QStringLiteral("cube"), !ctx.quiet);
    const ToolResult result = writeCubeFile(request, openProfileByName, std::ref(progress));
    progress.finish();
    return result.ok ? Success : fail(result.message);
}

int embedCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, EmbedHelp), Success;
    const Arguments a(args, {"--output", "--intents", "--version", "--grid", "--description", "--copyright"},
                      {"--all-luts"});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 2) return usage(QStringLiteral("embed needs an output profile and an abstract profile"));
    if (!a.has("--output")) return usage(QStringLiteral("embed needs --output"));

    EmbedRequest request;
    request.baseProfile = ctx.resolve(a.positional()[0]);
    request.abstractProfile = ctx.resolve(a.positional()[1]);
    request.outputFile = a.value("--output");
    request.regenerateAll = a.flag("--all-luts");
    const QString intents = a.value("--intents", QStringLiteral("perceptual,saturation")).toLower();
    request.perceptual = request.saturation = request.relativeColorimetric = false;
    if (intents != QLatin1String("none")) {
        for (const QString& i : intents.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString t = i.trimmed();
            if (t == QLatin1String("perceptual")) request.perceptual = true;
            else if (t == QLatin1String("saturation")) request.saturation = true;
            else if (t == QLatin1String("relative")) request.relativeColorimetric = true;
            else return usage(QStringLiteral("unknown intent %1 in --intents").arg(t));
        }
    }
    const QString version = a.value("--version", QStringLiteral("4.3"));
    if (version != QLatin1String("4.3") && version != QLatin1String("2.1"))
        return usage(QStringLiteral("--version must be 4.3 or 2.1"));
    request.versionIndex = version == QLatin1String("2.1") ? 1 : 0;
    const std::optional<int> grid = integerValue(a.value("--grid", QStringLiteral("33")));
    if (!grid || *grid < 17 || *grid > 255) return usage(QStringLiteral("--grid must be from 17 to 255"));
    request.gridPoints = *grid;
    {
        ProfilePtr base = adoptProfile(openProfileByName(request.baseProfile));
        if (!base) return fail(EmbedderText::CannotOpen);
        request.description = a.value("--description", utf8Text(base.get(), InfoDescription));
        request.copyright = a.value("--copyright", utf8Text(base.get(), InfoCopyright));
    }
    Progress progress(QStringLiteral("embed"), !ctx.quiet);
    const ToolResult result = embedAbstractProfile(request, openProfileByName, std::ref(progress));
    progress.finish();
    return result.ok ? Success : fail(QString::fromUtf8(EmbedderText::FailurePrefix) + result.message);
}

// One progress bar over all the images of a run, on a terminal only; the
// messages of the images go above it.
class ApplyProgressBar {
public:
    ApplyProgressBar(int files, bool enabled) : fraction_(size_t(files), 0.0), enabled_(enabled && isatty(STDERR_FILENO))
    {
    }
    ~ApplyProgressBar()
    {
        if (shown_) std::fputs("\n", stderr);
    }

    void update(int file, int done, int total)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Bands finish on several threads: a late report of fewer rows is no step back.
        fraction_[size_t(file)] = std::max(fraction_[size_t(file)], total > 0 ? double(done) / total : 1.0);
        draw();
    }
    void finished(int file)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fraction_[size_t(file)] = 1.0;
        ++finished_;
        draw();
    }
    void message(const QString& text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shown_) std::fputs("\r\033[K", stderr);
        printText(stderr, text);
        last_ = -1;
        draw();
    }

private:
    void draw()
    {
        if (!enabled_) return;
        double sum = 0;
        for (double f : fraction_) sum += f;
        const int permille = int(sum * 1000 / double(fraction_.size()));
        if (permille == last_ && finished_ == lastFinished_) return;
        last_ = permille;
        lastFinished_ = finished_;
        constexpr int Width = 30;
        const int filled = permille * Width / 1000;
        std::fprintf(stderr, "\r[%s%s] %3d%%  %d/%d images", std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(Width - filled), ' ').c_str(), permille / 10, finished_,
                     int(fraction_.size()));
        std::fflush(stderr);
        shown_ = true;
    }

    std::mutex mutex_;
    std::vector<double> fraction_;
    bool enabled_;
    bool shown_ = false;
    int finished_ = 0;
    int lastFinished_ = 0;
    int last_ = -1;
};

int applyCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, ApplyHelp), Success;
    const Arguments a(args,
                      {"--output", "--output-dir", "--chain", "--bits", "--intent", "--source-profile",
                       "--compression", "--quality", "--jobs"},
                      {"--overwrite"});
    if (!a.error().isEmpty()) return usage(a.error());
    const QStringList images = a.positional();
    if (images.isEmpty()) return usage(QStringLiteral("apply needs at least one image"));
    if (!a.has("--chain")) return usage(QStringLiteral("apply needs --chain"));
    if (a.has("--output") == a.has("--output-dir"))
        return usage(QStringLiteral("apply needs either --output (one image) or --output-dir"));
    if (a.has("--output") && images.size() != 1) return usage(QStringLiteral("--output takes one image; use --output-dir"));
    const std::optional<int> bits = integerValue(a.value("--bits", QStringLiteral("0")));
    if (!bits || (*bits != 0 && *bits != 8 && *bits != 16)) return usage(QStringLiteral("--bits must be 8 or 16"));
    const std::optional<int> intent = intentIndex(a.value("--intent", QStringLiteral("0")));
    if (!intent) return usage(QStringLiteral("unknown intent %1").arg(a.value("--intent")));
    const IntentChoice choice = *intentChoice(*intent);
    const std::optional<int> quality = integerValue(a.value("--quality", QStringLiteral("90")));
    if (!quality || *quality < 1 || *quality > 100) return usage(QStringLiteral("--quality must be from 1 to 100"));
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    const std::optional<int> jobs = integerValue(a.value("--jobs", QString::number(cores)));
    if (!jobs || *jobs < 1 || *jobs > 256) return usage(QStringLiteral("--jobs must be from 1 to 256"));

    ApplySettings settings;
    for (const QString& name : a.value("--chain").split(QLatin1Char(','), Qt::SkipEmptyParts))
        settings.chain << ctx.resolve(name.trimmed());
    if (settings.chain.isEmpty()) return usage(QStringLiteral("--chain names no profile"));
    if (a.has("--source-profile")) settings.sourceProfile = ctx.resolve(a.value("--source-profile"));
    if (a.has("--compression")) {
        const QString c = a.value("--compression").toLower();
        if (c == QLatin1String("none")) settings.compression = imagefiles::Compression::None;
        else if (c == QLatin1String("lzw")) settings.compression = imagefiles::Compression::Lzw;
        else if (c == QLatin1String("deflate") || c == QLatin1String("zip")) settings.compression = imagefiles::Compression::Deflate;
        else return usage(QStringLiteral("--compression must be none, lzw or deflate"));
    }
    settings.intent = int(choice.intent);
    settings.blackPointCompensation = choice.blackPointCompensation;
    settings.bits = *bits;
    settings.quality = *quality;
    settings.overwrite = a.flag("--overwrite");
    if (a.has("--output-dir") && !QFileInfo(a.value("--output-dir")).isDir())
        return fail(QStringLiteral("no such folder: %1").arg(a.value("--output-dir")));

    // Several images at once, up to one per processor, the processors shared
    // among them for their transforms.
    const int threads = std::min<int>(*jobs, int(images.size()));
    settings.workers = std::max(1, cores / std::max(1, threads));
    ImageApplier applier(settings, openProfileByName);
    if (const QString e = applier.prepare(); !e.isEmpty()) return fail(e);

    QStringList outputs;
    for (const QString& image : images) {
        const QString out = a.has("--output") ? a.value("--output")
                                              : QDir(a.value("--output-dir")).filePath(QFileInfo(image).fileName());
        if (outputs.contains(out))
            return usage(QStringLiteral("two images would be written to %1").arg(out));
        outputs << out;
    }

    ApplyProgressBar bar(int(images.size()), !ctx.quiet);
    std::atomic<int> next{0};
    std::atomic<bool> allWritten{true};
    std::atomic<bool> toldDefault{false};
    const auto work = [&] {
        for (int i = next++; i < images.size(); i = next++) {
            const QString& image = images[i];
            const auto report = [&](const QString& text) {
                bar.message(QStringLiteral("%1: %2\n").arg(QLatin1String(Program), text));
            };
            if (QFileInfo(outputs[i]).absoluteFilePath() == QFileInfo(image).absoluteFilePath()) {
                report(QStringLiteral("%1: the result would replace the image itself").arg(image));
                allWritten = false;
                bar.finished(i);
                continue;
            }
            const ApplyResult r = applier.apply(image, outputs[i], [&bar, i](int done, int total) { bar.update(i, done, total); });
            if (!r.ok) {
                report(r.message);
                allWritten = false;
            } else {
                if (r.assumedDefaultProfile && !toldDefault.exchange(true))
                    report(QStringLiteral("%1 carries no ICC profile: taken as sRGB, as is every such image "
                                          "(name another with --source-profile)")
                               .arg(image));
                for (const QString& note : r.notes) report(QStringLiteral("%1: %2").arg(outputs[i], note));
            }
            bar.finished(i);
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    return allWritten ? Success : Failure;
}

int run(QStringList args)
{
    Context ctx;
    // Global options come before the command.
    while (!args.isEmpty() && args.first().startsWith(QLatin1Char('-'))) {
        const QString a = args.takeFirst();
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) return printText(stdout, MainHelp), Success;
        if (a == QLatin1String("--version")) {
            printText(stdout, QStringLiteral("%1 %2\n").arg(QLatin1String(Program), QLatin1String(AppInfo::Version)));
            return Success;
        }
        if (a == QLatin1String("--quiet")) {
            ctx.quiet = true;
        } else if (a == QLatin1String("--verbose")) {
            setErrorHandler(printEngineMessage);
        } else if (a == QLatin1String("--profiles-dir")) {
            if (args.isEmpty()) return usage(QStringLiteral("option --profiles-dir needs a value"));
            ctx.profileDirs << args.takeFirst();
        } else if (a.startsWith(QLatin1String("--profiles-dir="))) {
            ctx.profileDirs << a.mid(int(qstrlen("--profiles-dir=")));
        } else {
            return usage(QStringLiteral("unknown option %1").arg(a));
        }
    }
    if (args.isEmpty()) return usage(QStringLiteral("no command given"));
    const QString command = args.takeFirst();
    // The global options are also understood after the command.
    for (int i = 0; i < args.size();) {
        if (args[i] == QLatin1String("--quiet")) {
            ctx.quiet = true;
            args.removeAt(i);
        } else if (args[i] == QLatin1String("--verbose")) {
            setErrorHandler(printEngineMessage);
            args.removeAt(i);
        } else if (args[i] == QLatin1String("--profiles-dir") && i + 1 < args.size()) {
            ctx.profileDirs << args[i + 1];
            args.remove(i, 2);
        } else if (args[i].startsWith(QLatin1String("--profiles-dir="))) {
            ctx.profileDirs << args[i].mid(int(qstrlen("--profiles-dir=")));
            args.removeAt(i);
        } else {
            ++i;
        }
    }
    if (command == QLatin1String("info")) return infoCommand(ctx, args);
    if (command == QLatin1String("rebuild")) return rebuildCommand(ctx, args);
    if (command == QLatin1String("import-cube")) return importCubeCommand(ctx, args);
    if (command == QLatin1String("cube")) return cubeCommand(ctx, args);
    if (command == QLatin1String("embed")) return embedCommand(ctx, args);
    if (command == QLatin1String("apply")) return applyCommand(ctx, args);
    if (command == QLatin1String("help")) return printText(stdout, MainHelp), Success;
    return usage(QStringLiteral("unknown command %1").arg(command));
}

}   // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);   // image format plug-ins
    QCoreApplication::setApplicationName(QLatin1String(Program));
    QCoreApplication::setApplicationVersion(QLatin1String(AppInfo::Version));
    registerPlugins(nullptr, processorWideScheduler());
    if (!registerCurveFamilyPlugin()) {
        std::fputs("tonemolder-cli: the curve types could not be registered\n", stderr);
        return Failure;
    }
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    const int code = run(args);
    unregisterPlugins(nullptr);
    return code;
}
