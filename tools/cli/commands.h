// The commands of tonemolder-cli, one file each: each takes the arguments
// after its name and returns the program's exit status.
#pragma once

#include "tools/cli/cliargs.h"

namespace cli {

int infoCommand(const Context& ctx, const QStringList& args);
int rebuildCommand(const Context& ctx, const QStringList& args);
int importCubeCommand(const Context& ctx, const QStringList& args);
int cubeCommand(const Context& ctx, const QStringList& args);
int linkCommand(const Context& ctx, const QStringList& args);
int embedCommand(const Context& ctx, const QStringList& args);
int applyCommand(const Context& ctx, const QStringList& args);

}   // namespace cli
