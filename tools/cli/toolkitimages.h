// Images of the kinds the image-file library does not know (BMP, GIF, PPM,
// WebP ...), read and written whole through the toolkit's image plug-ins.
// The command-line program loads them from a module of their own when it
// first meets such an image, so that its start does not pay for the
// toolkit's GUI library; programs that have that library anyway link them in.
#pragma once

#include "tools/imagefiles/imagefile.h"

#include <QString>

#include <memory>
#include <string>

// Null with the reason when the image cannot be read.
std::unique_ptr<imagefiles::ImageReader> openToolkitImage(const QString& path, std::string& why);
// Null with the reason when the file type does not hold the layout.
std::unique_ptr<imagefiles::ImageWriter> createToolkitImage(const QString& path, const imagefiles::PixelLayout& layout,
                                                            std::string& why);

// Whether the toolkit writes files of the kind the name's extension asks
// for; the reason when not. Asked before any work is done on an image.
bool toolkitCanWrite(const QString& path, std::string& why);

// What the module hands out, through its one exported function.
struct ToolkitImageFunctions {
    decltype(&openToolkitImage) open;
    decltype(&createToolkitImage) create;
    decltype(&toolkitCanWrite) canWrite;
    decltype(&imagefiles::useTemporaryFileList) useTemporaryFileList;   // the program's, for its signal handler
};
#define OSL_TOOLKIT_IMAGES_ENTRY "tonemolderToolkitImages"
