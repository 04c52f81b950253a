// .cube 3D tables: the reader (the CGATS lexer in cube mode) and the device
// link built from what it read.
#include "oslinternal.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <filesystem>
#include <new>

namespace {

using SheetPtr = std::unique_ptr<CgatsSheet, decltype(&freeCgatsSheet)>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

constexpr size_t MaxTitle = 1023;

class CubeParser {
public:
    CubeParser(CgatsLexer& lexer, CubeTable& table) : lex_(lexer), table_(table) {}

    bool run()
    {
        lex_.next();
        for (;;) {
            switch (lex_.token()) {
            case CgatsToken::Eof:
                // Sizes announced but no data: the file was cut short.
                if (table_.shaperSize > 0 || table_.gridPoints > 0) {
                    lex_.fail("Number expected: the file ends before the table");
                    return false;
                }
                // Nothing is no table: an empty file, a binary one (its first
                // 0 byte ends the text) or a header alone would otherwise
                // become a table that changes nothing.
                return fail("No table: neither LUT_3D_SIZE nor LUT_1D_SIZE with its lines");
            case CgatsToken::SynError:
                return false;
            case CgatsToken::Eoln:
                lex_.next();
                break;
            case CgatsToken::Title:
                lex_.next();
                if (lex_.token() != CgatsToken::String) return fail("Title string expected");
                table_.title = lex_.text().substr(0, MaxTitle);
                lex_.next();
                break;
            case CgatsToken::Lut1dSize:
                if (!readSize("Shaper size expected", "Shaper size", CubeMaxShaperSize, table_.shaperSize))
                    return false;
                break;
            case CgatsToken::Lut3dSize:
                if (!readSize("LUT size expected", "LUT size", CubeMaxGridPoints, table_.gridPoints))
                    return false;
                break;
            case CgatsToken::DomainMin:
                lex_.next();
                if (!readNumbers(table_.domainMin, 3)) return false;
                break;
            case CgatsToken::DomainMax:
                lex_.next();
                if (!readNumbers(table_.domainMax, 3)) return false;
                break;
            case CgatsToken::Lut1dInputRange:
            case CgatsToken::Lut3dInputRange: {
                const bool shaper = lex_.token() == CgatsToken::Lut1dInputRange;
                double* range = shaper ? table_.shaperRange : table_.clutRange;
                lex_.next();
                if (!readNumbers(range, 2)) return false;
                if (!(range[0] < range[1])) {
                    lex_.fail("%s %g %g: the minimum must be below the maximum",
                              shaper ? "LUT_1D_INPUT_RANGE" : "LUT_3D_INPUT_RANGE", range[0], range[1]);
                    return false;
                }
                break;
            }
            case CgatsToken::Integer:
            case CgatsToken::Real:
                return readData();
            default:
                return fail("Unsupported format");
            }
        }
    }

private:
    bool fail(const char* message)
    {
        lex_.fail("%s", message);
        return false;
    }

    // A size is 0 (none), or 2 points up to what the table can hold.
    bool readSize(const char* expected, const char* what, uint32_t maximum, uint32_t& size)
    {
        lex_.next();
        if (lex_.token() != CgatsToken::Integer) return fail(expected);
        const int32_t n = lex_.integer();
        if (n != 0 && (n < 2 || uint32_t(n) > maximum)) {
            lex_.fail("%s %d out of range (2 to %u)", what, n, maximum);
            return false;
        }
        size = uint32_t(n);
        lex_.next();
        return true;
    }

    // Why the token is not the number wanted.
    bool notANumber()
    {
        if (lex_.token() == CgatsToken::Identifier || lex_.token() == CgatsToken::String) {
            lex_.fail("Number expected, found \"%.40s\"", lex_.text().c_str());
            return false;
        }
        if (lex_.token() == CgatsToken::Eoln) return fail("Number expected, the line has too few");
        if (lex_.token() == CgatsToken::Eof) return fail("Number expected, the file ends within the line");
        return fail("Number expected");
    }

    // The end of a line of values: a line end (consumed) or the end of the
    // file, whose last line need not be ended.
    bool lineEnd()
    {
        if (lex_.token() == CgatsToken::Eof) return true;
        if (lex_.token() != CgatsToken::Eoln) {
            if (lex_.token() != CgatsToken::SynError) fail("Expected separator, the line has too many values");
            return false;
        }
        lex_.next();
        return true;
    }

    // count numbers and the end of their line.
    bool readNumbers(double* values, int count)
    {
        for (int i = 0; i < count; ++i) {
            if (!lex_.atNumber()) return notANumber();
            values[i] = lex_.number();
            if (!std::isfinite(values[i])) return fail("Number out of range");
            lex_.next();
        }
        return lineEnd();
    }

    // One data line, normalised by the domain and then by `range`. Blank
    // lines before it are skipped; line `index` of `count` names a table cut
    // short.
    bool readLine(float out[3], const double range[2], size_t index, size_t count, const char* what)
    {
        lex_.skipLineEnds();
        if (lex_.token() == CgatsToken::Eof) {
            lex_.fail("Number expected: the %s ends after %zu of its %zu lines", what, index, count);
            return false;
        }
        for (int c = 0; c < 3; ++c) {
            if (!lex_.atNumber()) return notANumber();
            const double inDomain = (lex_.number() - table_.domainMin[c]) / (table_.domainMax[c] - table_.domainMin[c]);
            const double v = (inDomain - range[0]) / (range[1] - range[0]);
            if (!(std::fabs(v) <= FLT_MAX)) return fail("Number out of range");
            out[c] = float(v);
            lex_.next();
        }
        return lineEnd();
    }

    bool readData()
    {
        for (int c = 0; c < 3; ++c) {
            if (table_.domainMax[c] == table_.domainMin[c])
                return fail("DOMAIN_MIN and DOMAIN_MAX must differ in every channel");
        }

        // Memory grows with the lines actually read, so a large size announced
        // by a short file costs nothing.
        // A shaper's values are inputs of the 3D table; without a 3D table
        // they are the results.
        float line[3];
        const double unit[2] = {0, 1};
        const double* shaperValues = table_.gridPoints > 0 ? table_.clutRange : unit;
        for (uint32_t i = 0; i < table_.shaperSize; ++i) {
            if (!readLine(line, shaperValues, i, table_.shaperSize, "1D table")) return false;
            for (int c = 0; c < 3; ++c) table_.shaper[c].push_back(line[c]);
        }
        const size_t nodes = size_t(table_.gridPoints) * table_.gridPoints * table_.gridPoints;
        table_.clut.reserve(std::min<size_t>(nodes, 1u << 16) * 3);
        for (size_t i = 0; i < nodes; ++i) {
            if (!readLine(line, unit, i, nodes, "3D table")) return false;
            table_.clut.insert(table_.clut.end(), line, line + 3);
        }
        lex_.skipLineEnds();
        if (lex_.token() == CgatsToken::SynError) return false;
        if (lex_.token() != CgatsToken::Eof) return fail("Extra symbols found in file");
        return true;
    }

    CgatsLexer& lex_;
    CubeTable& table_;
};

template <typename Open>
bool readCube(EngineContext* ctx, CubeTable* table, Open&& open)
{
    if (!table) return false;
    *table = CubeTable();
    try {
        SheetPtr sheet(newCgatsSheet(ctx), &freeCgatsSheet);
        if (!sheet) return false;
        CgatsLexer lexer(sheet.get(), true);
        if (!open(lexer)) return false;
        lexer.skipByteOrderMark();
        if (CubeParser(lexer, *table).run()) return true;
    } catch (const std::bad_alloc&) {
        reportError(ctx, ErrCorruptionDetected, "Cube table too large: out of memory");
    }
    *table = CubeTable();
    return false;
}

} // namespace

bool readCubeTable(EngineContext* ctx, const char* fileName, CubeTable* table)
{
    if (!fileName) return false;
    // Only a file can be a table, and no table is larger than the largest
    // the format allows: a device, a pipe or a folder is not read at all.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(fileName, error);
    if (!error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        reportError(ctx, ErrFile, "%s is not a file", fileName);
        return false;
    }
    const uintmax_t size = std::filesystem::file_size(fileName, error);
    if (!error && size > CubeMaxFileBytes) {
        reportError(ctx, ErrFile, "%s is too large for a table (%ju bytes)", fileName, size);
        return false;
    }
    return readCube(ctx, table, [&](CgatsLexer& lexer) {
        if (lexer.openFile(fileName)) return true;
        reportError(ctx, ErrFile, "File %s not found", fileName);
        return false;
    });
}

bool readCubeText(EngineContext* ctx, const void* text, size_t length, CubeTable* table)
{
    if (!text) return false;
    return readCube(ctx, table, [&](CgatsLexer& lexer) {
        lexer.openMemory(static_cast<const char*>(text), length);
        return true;
    });
}

// The table as a 3-in, 3-out pipeline in red, green, blue order on both
// sides: the shaper curves first, then the float CLUT, each only when
// present. A CLUT's last input varies fastest and a file's red does, so the
// nodes are transposed: node (r, g, b) is the file's line (b·N + g)·N + r.
namespace {

// Inputs 0 … 1 onto the place they take in a table whose first entry stands
// for range[0] and last for range[1]: (x − min) / (max − min), held within
// 0 … 1 as any table's input is. Nothing when the range is 0 … 1 itself.
bool insertInputRange(EngineContext* ctx, Pipeline* pipeline, const double range[2])
{
    if (range[0] == 0 && range[1] == 1) return true;
    constexpr uint32_t Points = 4096;
    std::vector<float> ramp(Points);
    for (uint32_t i = 0; i < Points; ++i) {
        const double x = double(i) / (Points - 1);
        ramp[i] = float(std::clamp((x - range[0]) / (range[1] - range[0]), 0.0, 1.0));
    }
    CurvePtr curve(buildTabulatedCurveFloat(ctx, Points, ramp.data()), &freeCurve);
    if (!curve) return false;
    const ToneCurve* curves[3] = {curve.get(), curve.get(), curve.get()};
    Stage* stage = newCurvesStage(ctx, 3, curves);
    return stage && insertStage(pipeline, AtBegin, stage);
}

} // namespace

Pipeline* buildCubePipeline(EngineContext* ctx, const CubeTable& table)
{
    PipelinePtr pipeline(newPipeline(ctx, 3, 3), &freePipeline);
    if (!pipeline) return nullptr;

    if (table.shaperSize > 0) {
        CurvePtr curves[3] = {{nullptr, &freeCurve}, {nullptr, &freeCurve}, {nullptr, &freeCurve}};
        const ToneCurve* stageCurves[3];
        for (int i = 0; i < 3; ++i) {
            const std::vector<float>& column = table.shaper[i];
            if (column.size() != table.shaperSize) return nullptr;
            curves[i].reset(buildTabulatedCurveFloat(ctx, table.shaperSize, column.data()));
            if (!curves[i]) return nullptr;
            stageCurves[i] = curves[i].get();
        }
        Stage* stage = newCurvesStage(ctx, 3, stageCurves);
        if (!stage || !insertStage(pipeline.get(), AtBegin, stage)) return nullptr;
    }

    if (table.gridPoints > 0) {
        const size_t n = table.gridPoints;
        if (table.clut.size() != n * n * n * 3) return nullptr;
        std::vector<float> nodes(table.clut.size());
        size_t at = 0;
        for (size_t r = 0; r < n; ++r)
            for (size_t g = 0; g < n; ++g)
                for (size_t b = 0; b < n; ++b, at += 3)
                    std::copy_n(&table.clut[((b * n + g) * n + r) * 3], 3, &nodes[at]);
        Stage* stage = newClutFloatStageUniform(ctx, table.gridPoints, 3, 3, nodes.data());
        if (!stage || !insertStage(pipeline.get(), AtEnd, stage)) return nullptr;
    }
    // In front of everything: the input range of the first table.
    const bool shaperFirst = table.shaperSize > 0;
    if ((shaperFirst || table.gridPoints > 0) &&
        !insertInputRange(ctx, pipeline.get(), shaperFirst ? table.shaperRange : table.clutRange))
        return nullptr;
    return pipeline.release();
}

// ---------------------------------------------------------------------------
// The device link
// ---------------------------------------------------------------------------

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TextPtr = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;

// An RGB device link (version 4.4, intent 0) carrying the table as 'A2B0' and
// its title as the single ASCII entry of 'desc'.
IccProfile* cubeDeviceLink(EngineContext* ctx, const CubeTable& table)
{
    ProfilePtr profile(createBlankProfile(ctx), &closeProfile);
    if (!profile) return nullptr;
    setVersionFromNumber(profile.get(), 4.4);
    setProfileDeviceClass(profile.get(), sig("link"));
    setProfileColorSpace(profile.get(), sig("RGB "));
    setProfilePcs(profile.get(), sig("RGB "));
    setProfileRenderingIntent(profile.get(), 0);

    PipelinePtr pipeline(buildCubePipeline(ctx, table), &freePipeline);
    TextPtr title(newLocalizedText(ctx, 1), &freeLocalizedText);
    if (!pipeline || !title) return nullptr;
    if (!setText8(title.get(), "", "", table.title.c_str())) return nullptr;
    if (!storeTag(profile.get(), sig("desc"), title.get())) return nullptr;
    if (!storeTag(profile.get(), sig("A2B0"), pipeline.get())) return nullptr;
    return profile.release();
}

} // namespace

IccProfile* readCubeFile(const char* fileName)
{
    return readCubeFileReporting(nullptr, fileName);
}

IccProfile* readCubeFileReporting(EngineContext* ctx, const char* fileName)
{
    CubeTable table;
    if (!fileName || !readCubeTable(ctx, fileName, &table)) return nullptr;
    return cubeDeviceLink(nullptr, table);
}
