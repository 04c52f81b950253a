// The .cube and .lut tables of the Import LUT recipe, read as RGB device
// links and kept while their files stay the same.
#pragma once

#include "osl.h"

#include <QString>

// A .cube/.lut file as an RGB device link whose channels are in red, green,
// blue order like the profiles around it. Null when it cannot be read, with
// `why` (optional) saying so: "Unable to access .cube file: " and the name
// when it cannot be opened, else "This is not a .CUBE file: " and what is
// wrong (the file, the line and the reason).
IccProfile* readCubeDeviceLink(const QString& fileName, QString* why = nullptr);
