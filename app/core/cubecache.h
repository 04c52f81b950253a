// The 3D tables of the Import LUT recipe (.cube and .lut, .3dl, .csp,
// .spi3d, CLF, Hald CLUT images), read as RGB device links and kept while
// their files stay the same.
#pragma once

#include "osl.h"

#include <QString>

// A .cube/.lut file as an RGB device link whose channels are in red, green,
// blue order like the profiles around it. Null when it cannot be read, with
// `why` (optional) saying so as the user is told: "Unable to access .cube
// file: " and the name when it cannot be opened, else "This is not a .CUBE
// file: " and what is wrong (the file, the line and the reason).
IccProfile* readCubeDeviceLink(const QString& fileName, QString* why = nullptr);

// The key of the format a table file is read as: `format` when it names one
// ("3dl", "hald-png" ...), else the one the file's extension asks for, else
// "cube" (the engine's reader takes any name).
QString lutFormatKey(const QString& fileName, const QString& format = {});

// A table file of that format as an RGB device link; null when it cannot be
// read, with the message for the user in `why` when given: as above for a
// .cube file, else "Unable to access .cube file: " and the name, then the
// reader's reason (the file, the line or field, what is wrong) on a line of
// its own.
IccProfile* readLutDeviceLink(const QString& fileName, const QString& format, QString* why = nullptr);
