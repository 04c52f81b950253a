// The 3D tables of the Import LUT recipe (.cube and .lut, .3dl, .csp,
// .spi3d, CLF, Hald CLUT images), read as RGB device links and kept while
// their files stay the same.
#pragma once

#include "osl.h"

#include <QString>

// A .cube/.lut file as an RGB device link whose channels are in red, green,
// blue order like the profiles around it. Null when it cannot be read.
IccProfile* readCubeDeviceLink(const QString& fileName);

// The key of the format a table file is read as: `format` when it names one
// ("3dl", "hald-png" ...), else the one the file's extension asks for, else
// "cube" (the engine's reader takes any name).
QString lutFormatKey(const QString& fileName, const QString& format = {});

// A table file of that format as an RGB device link; null when it cannot be
// read, with the reader's reason (the file, the line or field, what is
// wrong) in `error` when given.
IccProfile* readLutDeviceLink(const QString& fileName, const QString& format, QString* error = nullptr);
