// tonemolder-cli: the abstract-profile tools of the program on the command
// line. It shares the builder, the recipe format, the built-in colour spaces
// and the two tools with the desktop program.
//
// This file only dispatches: the shared parts are in cliargs.*, each command
// in a file of its own (info.cpp, rebuild.cpp, importcube.cpp, cube.cpp,
// link.cpp, embed.cpp, apply.cpp).
#include "app/core/appinfo.h"
#include "app/core/workerscheduler.h"
#include "curves/core/curvefamily.h"
#include "tools/cli/commands.h"
#include "tools/imagefiles/imagefile.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

using namespace cli;

namespace {

const char* const MainHelp = R"(Usage: tonemolder-cli [--profiles-dir DIR]... [--quiet] COMMAND [ARGUMENTS]

Commands:
  info PROFILE...            header, tags and embedded recipe of profiles
  rebuild PROFILE -o OUT     rebuild a saved recipe profile at a chosen resolution
  rebuild PROFILE --report   how closely that resolution reproduces the recipe
  import-cube LUT -o OUT     turn a 3D table (.cube, .3dl, .csp, .spi3d, .clf,
                             Hald CLUT) into an abstract profile; also import-lut
  cube ABSTRACT -o OUT       write an abstract profile as a 3D table in any of
                             those formats
  link SOURCE LOOK DESTINATION -o OUT
                             a device link: source -> look -> destination
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
    if (command == QLatin1String("import-cube") || command == QLatin1String("import-lut"))
        return importCubeCommand(ctx, args);
    if (command == QLatin1String("link")) return linkCommand(ctx, args);
    if (command == QLatin1String("cube")) return cubeCommand(ctx, args);
    if (command == QLatin1String("embed")) return embedCommand(ctx, args);
    if (command == QLatin1String("apply")) return applyCommand(ctx, args);
    if (command == QLatin1String("help")) return printText(stdout, MainHelp), Success;
    return usage(QStringLiteral("unknown command %1").arg(command));
}

}   // namespace

int main(int argc, char* argv[])
{
    // Ctrl+C, a kill or a closed terminal leave no half-written file behind.
    imagefiles::removeTemporaryFilesOnSignals();
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
