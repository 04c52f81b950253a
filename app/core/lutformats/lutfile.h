// LUT files as a whole: the formats the program reads and writes, which one a
// file name asks for, reading a file into a Lut3D and writing one out, and
// the small text scanner the line-based formats share.
#pragma once

#include "app/core/lutformats/lut3d.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lutformats {

enum class LutFormat { Cube, ThreeDl, Csp, Spi3d, Clf, HaldPng, HaldTiff };

// What a reader gives: the table, or why the file was refused (the file's
// name, the line or field, the reason).
struct LutRead {
    Lut3D lut;
    std::string error;
    bool ok() const { return error.empty(); }
};

// A refusal: lineError(file, line, what) and no table.
LutRead refused(const std::string& file, size_t line, const std::string& what);

// The name a recipe records and --format takes: "cube", "3dl", "csp",
// "spi3d", "clf", "hald-png", "hald-tiff".
const char* formatKey(LutFormat format);
std::optional<LutFormat> formatFromKey(std::string_view key);
// A human name for lists: "Autodesk .3dl", "Hald CLUT (PNG)" ...
const char* formatLabel(LutFormat format);
// The usual file extension, with its dot.
const char* formatExtension(LutFormat format);
// By the file name's extension (.cube .lut .3dl .csp .spi3d .clf .png .tif
// .tiff, any case); nothing for any other.
std::optional<LutFormat> formatOfName(std::string_view path);
// Every format, in the order lists show them.
const std::vector<LutFormat>& allFormats();

// A whole file as bytes; false with the reason when it cannot be read or is
// larger than 1 GiB.
bool readWholeFile(const std::string& path, std::string& bytes, std::string& error);

// Reads a file of any format but .cube (whose reader is the engine's) into a
// table and validates it; messages name the file by `path`.
LutRead readLutFile(const std::string& path, LutFormat format);

// The text of a table in a text format; empty for the Hald CLUT images
// (haldformat.h writes those) and when the format cannot hold the table.
std::string lutText(const Lut3D& lut, LutFormat format);

// Lines of text split at any line end, each into blank-separated words, with
// the number of the line each word came from.
class TextScanner {
public:
    explicit TextScanner(std::string_view text);

    // The next line that holds anything but blanks and (with `comments`)
    // a '#' comment, as words; false at the end of the text.
    bool nextLine(std::vector<std::string_view>& words, bool comments = true);
    size_t lineNumber() const { return line_; }
    // The current line as it stands (for free text).
    std::string_view lineText() const { return current_; }

private:
    std::string_view text_;
    size_t at_ = 0;
    size_t line_ = 0;
    std::string_view current_;
};

// A word as a number: the whole word must be one, in the C locale. Nothing
// for anything else, including infinities and NaN.
std::optional<double> parseNumber(std::string_view word);
std::optional<long long> parseInteger(std::string_view word);

// A float as the shortest text that reads back to the same float.
void appendShortest(std::string& out, float value);

// Free text on one line: line breaks become blanks.
std::string oneLine(std::string_view text);

}   // namespace lutformats
