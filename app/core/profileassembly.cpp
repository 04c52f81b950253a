// The generic builder: the abstract profile around a recipe sampled on the
// nodes of its tables (prelinearisation curves, a 16-bit CLUT, output curves,
// and for version 4 the float table).
#include "app/core/builder.h"

#include "app/core/floattable.h"

#include <algorithm>
#include <cmath>

namespace {

bool storeEnglishText(IccProfile* profile, uint32_t tag, const char* text)
{
    TextPtr mlu{newLocalizedText(nullptr, 1), &freeLocalizedText};
    return mlu && setText8(mlu.get(), "en", "US", text) && storeTag(profile, tag, mlu.get());
}

// A curves stage of the tabulated identity or parametric identity for L*
// and the tabulated `ab` for a* and b*.
Stage* prelinearisationStage(const ToneCurve* ab, bool tabulatedLightness, uint32_t n)
{
    CurvePtr identity = adoptCurve(buildGammaCurve(nullptr, 1.0));
    if (!identity || !ab) return nullptr;
    CurvePtr lightness = adoptCurve(nullptr);
    if (tabulatedLightness) {
        const std::vector<uint16_t> t = tabulate(identity.get(), n);
        lightness = adoptCurve(buildTabulatedCurve16(nullptr, n, t.data()));
    } else {
        lightness = adoptCurve(duplicateCurve(identity.get()));
    }
    const std::vector<uint16_t> abTable = tabulate(ab, n);
    CurvePtr abCurve = adoptCurve(buildTabulatedCurve16(nullptr, n, abTable.data()));
    if (!lightness || !abCurve) return nullptr;
    const ToneCurve* curves[3] = {lightness.get(), abCurve.get(), abCurve.get()};
    return newCurvesStage(nullptr, 3, curves);
}

// The 16-bit table from the recipe's results on `grid`, whose nodes are
// those of the table with `margin` more beyond each end of a* and b*.
void quantiseInto(Stage* clut, const ToneCurve* forward, const LabGrid& grid, size_t margin,
                  const std::vector<CieLab>& results)
{
    const uint32_t* n = clutGridPoints(clut);
    uint16_t* node = clutTable16(clut);
    for (uint32_t i = 0; i < n[0]; ++i)
        for (uint32_t j = 0; j < n[1]; ++j)
            for (uint32_t k = 0; k < n[2]; ++k, node += 3)
                encodeNode(forward, intoLabBox(results[grid.index(i, j + margin, k + margin)]), node);
}

}   // namespace

IccProfile* buildAbstractProfile(const LabRecipe& recipe, const ResolutionPreferences& settings, const ClutFill& fill16)
{
    ProfilePtr profile = adoptProfile(createBlankProfile(nullptr));
    if (!profile || !recipe) return nullptr;
    setProfileDeviceClass(profile.get(), ClassAbstract);
    setProfileColorSpace(profile.get(), SpaceLab);
    setProfilePcs(profile.get(), SpaceLab);
    setProfileRenderingIntent(profile.get(), IntentPerceptual);
    const uint32_t version = settings.profileVersion();
    setProfileVersion(profile.get(), version);

    PipelinePtr pipeline{newPipeline(nullptr, 3, 3), &freePipeline};
    CurvePtr forward = adoptCurve(buildPrelinearisation(settings.sigmoidShape));
    CurvePtr inverse = adoptCurve(buildPrelinearisationInverse(settings.sigmoidShape));
    if (!pipeline || !forward || !inverse) return nullptr;

    // The version-2 table type has one grid size for every input.
    const uint32_t gridL = uint32_t(settings.gridLstar);
    const uint32_t gridAb = version < 0x04000000 ? gridL : uint32_t(settings.gridAbstar);
    const uint32_t grid[3] = {gridL, gridAb, gridAb};
    StagePtr clut{newClut16Stage(nullptr, grid, 3, 3, nullptr), &freeStage};
    if (!clut) return nullptr;

    // One sampling for both tables: the float table's nodes are the 16-bit
    // table's and one more beyond each end of a* and b*.
    const bool withFloat = carriesFloatTable(version);
    const LabGrid nodes16 = clutNodeGrid(clut.get(), inverse.get());
    const LabGrid nodes = withFloat ? widenedChroma(nodes16) : nodes16;
    if (nodes16.size() == 0) return nullptr;
    std::vector<CieLab> results;
    if ((withFloat || !fill16) && (!recipe(nodes.colours(), results) || results.size() != nodes.size()))
        return nullptr;
    if (fill16) {
        if (!fill16(clut.get())) return nullptr;
    } else {
        quantiseInto(clut.get(), forward.get(), nodes, (nodes.a.size() - nodes16.a.size()) / 2, results);
    }

    const bool tabulatedLightness = version <= 0x04000000;
    const uint32_t curvePoints = uint32_t(settings.gridCurves);
    Stage* input = prelinearisationStage(forward.get(), tabulatedLightness, curvePoints);
    if (!input || !insertStage(pipeline.get(), AtBegin, input)) return nullptr;
    if (!insertStage(pipeline.get(), AtEnd, clut.release())) return nullptr;
    Stage* output = prelinearisationStage(inverse.get(), tabulatedLightness, curvePoints);
    if (!output || !insertStage(pipeline.get(), AtEnd, output)) return nullptr;

    if (!storeEnglishText(profile.get(), sig("desc"), BuilderText::Description) ||
        !storeEnglishText(profile.get(), sig("cprt"), BuilderText::Copyright) ||
        !storeTag(profile.get(), sig("wtpt"), &D50) || !storeTag(profile.get(), sig("A2B0"), pipeline.get()))
        return nullptr;
    if (withFloat) {
        PipelinePtr table{floatTablePipeline(nodes, results), &freePipeline};
        if (!table || !storeTag(profile.get(), sig("D2B0"), table.get())) return nullptr;
    }
    return profile.release();
}
