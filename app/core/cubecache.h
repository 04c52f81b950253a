// The .cube and .lut tables of the Import LUT recipe, read as RGB device
// links and kept while their files stay the same.
#pragma once

#include "osl.h"

#include <QString>

// A .cube/.lut file as an RGB device link whose channels are in red, green,
// blue order like the profiles around it. Null when it cannot be read.
IccProfile* readCubeDeviceLink(const QString& fileName);
