// .cube 3D tables: the reader (the CGATS lexer in cube mode) and the device
// link built from what it read.
#include "oslinternal.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
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
                    lex_.fail("Number expected");
                    return false;
                }
                return true;
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
                double range[2];
                lex_.next();
                if (!readNumbers(range, 2)) return false;
                if (range[0] != 0 || range[1] != 1) return fail("Unsupported format");
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

    // count numbers and the line end after them; the line end is consumed.
    bool readNumbers(double* values, int count)
    {
        for (int i = 0; i < count; ++i) {
            if (!lex_.atNumber()) return fail("Number expected");
            values[i] = lex_.number();
            if (!std::isfinite(values[i])) return fail("Number out of range");
            lex_.next();
        }
        if (lex_.token() != CgatsToken::Eoln) return fail("Expected separator");
        lex_.next();
        return true;
    }

    // One data line, normalised by the domain. Blank lines before it are skipped.
    bool readLine(float out[3])
    {
        lex_.skipLineEnds();
        for (int c = 0; c < 3; ++c) {
            if (!lex_.atNumber()) return fail("Number expected");
            const double v = (lex_.number() - table_.domainMin[c]) / (table_.domainMax[c] - table_.domainMin[c]);
            if (!(std::fabs(v) <= FLT_MAX)) return fail("Number out of range");
            out[c] = float(v);
            lex_.next();
        }
        if (lex_.token() != CgatsToken::Eoln) return fail("Expected separator");
        lex_.next();
        return true;
    }

    bool readData()
    {
        for (int c = 0; c < 3; ++c) {
            if (table_.domainMax[c] == table_.domainMin[c])
                return fail("DOMAIN_MIN and DOMAIN_MAX must differ in every channel");
        }

        // Memory grows with the lines actually read, so a large size announced
        // by a short file costs nothing.
        float line[3];
        for (uint32_t i = 0; i < table_.shaperSize; ++i) {
            if (!readLine(line)) return false;
            for (int c = 0; c < 3; ++c) table_.shaper[c].push_back(line[c]);
        }
        const size_t nodes = size_t(table_.gridPoints) * table_.gridPoints * table_.gridPoints;
        table_.clut.reserve(std::min<size_t>(nodes, 1u << 16) * 3);
        for (size_t i = 0; i < nodes; ++i) {
            if (!readLine(line)) return false;
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
    CubeTable table;
    if (!fileName || !readCubeTable(nullptr, fileName, &table)) return nullptr;
    return cubeDeviceLink(nullptr, table);
}
