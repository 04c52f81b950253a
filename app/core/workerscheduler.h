// The engine's worker scheduler as the programs register it: as many
// workers as there are processors.
#pragma once

#include <osl.h>

inline PluginParallelization* processorWideScheduler()
{
    static PluginParallelization scheduler{{PluginMagic, 2140, PluginParallelizationSig, nullptr}, -1, 0, runWorkers};
    return &scheduler;
}
