#include "app/core/builder.h"

#include "app/core/floattable.h"
#include "curves/core/curvefamily.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using StagePtr = std::unique_ptr<Stage, decltype(&freeStage)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
using TextPtr = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;

CurvePtr adoptCurve(ToneCurve* c)
{
    return {c, &freeCurve};
}

// The preference clamps.
constexpr int MinGrid = 7;
constexpr int MaxGrid = 64;
constexpr int MaxCurvePoints = 4096;
constexpr int FallbackCurvePoints = 16;   // for counts too small to tabulate
constexpr double MinSigmoid = 1.0;
constexpr double MaxSigmoid = 9.0;

// The encoded a* and b* bounds of the CLUT's results.
constexpr double AbMax = 127.0;
constexpr double AbMin = -128.0;

// CAM16 works on XYZ scaled to Y = 100, under D50.
constexpr CieXyz White100{96.42, 100.0, 82.49};

// The lightness compression around the CAM16 round trip: L* 0..100 to
// 3.15..100 on the way in, and its inverse (to five digits) on the way out.
constexpr double LightnessScale = 0.9685;
constexpr double LightnessOffset = 3.15;
constexpr double LightnessExpand = 1.03252;
constexpr double LightnessExpandOffset = 3.25245;

// Threads for the CAM16 sampling: one per processor, but no thread for
// fewer nodes than this.
constexpr uint32_t NodesPerThread = 4096;

// A result into the box the CLUT can hold. L* is held at 0 first: a node a
// hair below black (as unclipped results near black are) keeps its a* and b*
// rather than becoming neutral black, which would bend every colour near it.
void clampIntoBox(CieLab& lab)
{
    lab.L = std::max(lab.L, 0.0);
    clampLabToBox(&lab, AbMax, AbMin, AbMax, AbMin);
}

uint16_t applyCurve16(const ToneCurve* curve, uint16_t v)
{
    return curve ? evalCurve16(curve, v) : v;
}

// The node's encoded a′, b′ back to a*, b* and the node decoded to Lab.
CieLab decodeNode(const ToneCurve* inverse, const uint16_t in[3])
{
    const uint16_t encoded[3] = {in[0], applyCurve16(inverse, in[1]), applyCurve16(inverse, in[2])};
    return lab16ToLab(encoded);
}

void encodeNode(const ToneCurve* forward, const CieLab& lab, uint16_t out[3])
{
    uint16_t encoded[3];
    labToLab16(lab, encoded);
    out[0] = encoded[0];
    out[1] = applyCurve16(forward, encoded[1]);
    out[2] = applyCurve16(forward, encoded[2]);
}

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

}   // namespace

Transform* createLabChainTransform(IccProfile* space, IccProfile* link, int intentIndex)
{
    const std::optional<IntentChoice> found = intentChoice(intentIndex);
    if (!found || !space || !link) return nullptr;
    const IntentChoice& choice = *found;
    ProfilePtr labIdentity = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    if (!labIdentity) return nullptr;
    IccProfile* const chain[5] = {labIdentity.get(), space, link, space, labIdentity.get()};
    const uint32_t intents[5] = {IntentRelativeColorimetric, choice.intent, choice.intent,
                                 IntentRelativeColorimetric, IntentRelativeColorimetric};
    const bool bpc = choice.blackPointCompensation;
    const bool compensation[5] = {bpc, bpc, bpc, bpc, bpc};
    const double adaptation[5] = {1.0, 1.0, 1.0, 1.0, 1.0};
    return createTransformExtended(nullptr, 5, chain, compensation, intents, adaptation, nullptr, 0,
                                   FormatLabDouble, FormatLabDouble, XformNoOptimise | XformUnbounded);
}

namespace {

// The Lab-to-Lab recipes share everything but the device link in the middle.
IccProfile* buildLabChainProfile(IccProfile* space, int intentIndex, IccProfile* link,
                                 const BuilderSettings& settings, Sampling sampling)
{
    const std::optional<IntentChoice> choice = intentChoice(intentIndex);
    if (!choice || !space || !link) return nullptr;
    CurvePtr forward = adoptCurve(buildPrelinearisation(settings.sigmoidShape));
    CurvePtr inverse = adoptCurve(buildPrelinearisationInverse(settings.sigmoidShape));
    if (!forward || !inverse) return nullptr;
    TransformPtr transform{createLabChainTransform(space, link, intentIndex), &deleteTransform};
    if (!transform) return nullptr;
    LabSamplerCargo cargo{forward.get(), inverse.get(), transform.get()};
    if (sampling == Sampling::Batch) return buildAbstractProfile(labChainRecipe(transform.get()), settings);
    return buildAbstractProfile(oneByOne(labChainRecipe(transform.get())), settings,
                                fillNodeByNode(labToLabSampler, &cargo));
}

}   // namespace

// ---------------------------------------------------------------------------
// Settings, intents, curves
// ---------------------------------------------------------------------------

BuilderSettings builderSettings(const ResolutionPreferences& p)
{
    BuilderSettings s;
    s.version = std::clamp(p.versionIndex, 0, 1) == 0 ? ProfileVersion4 : ProfileVersion2;
    s.gridLstar = uint32_t(std::clamp(p.gridLstar, MinGrid, MaxGrid));
    s.gridAbstar = uint32_t(std::clamp(p.gridAbstar, MinGrid, MaxGrid));
    const int points = std::clamp(p.gridCurves, 0, MaxCurvePoints);
    s.curvePoints = uint32_t(points < 2 ? FallbackCurvePoints : points);
    s.sigmoidShape = std::isnan(p.sigmoidShape) ? MinSigmoid : std::clamp(p.sigmoidShape, MinSigmoid, MaxSigmoid);
    return s;
}

std::optional<IntentChoice> intentChoice(int index)
{
    switch (index) {
    case 0: return IntentChoice{IntentPerceptual, false};
    case 1: return IntentChoice{IntentRelativeColorimetric, false};
    case 2: return IntentChoice{IntentRelativeColorimetric, true};
    case 3: return IntentChoice{IntentSaturation, false};
    default: return std::nullopt;
    }
}

const QStringList& intentChoiceNames()
{
    static const QStringList names = {
        QStringLiteral("Perceptual"),
        QStringLiteral("Relative colorimetric"),
        QStringLiteral("Relative colorimetric plus black point compensation"),
        QStringLiteral("Saturation"),
    };
    return names;
}

ToneCurve* buildPrelinearisation(double k)
{
    const double params[10] = {k};
    return buildParametricCurve(nullptr, PrelinSigmoidType, params);
}

ToneCurve* buildPrelinearisationInverse(double k)
{
    const double params[10] = {k};
    return buildParametricCurve(nullptr, -PrelinSigmoidType, params);
}

std::vector<uint16_t> tabulate(const ToneCurve* curve, uint32_t n)
{
    std::vector<uint16_t> table(n);
    if (n < 2 || !curve) return table;
    for (uint32_t i = 0; i < n; ++i) {
        const double y = std::clamp(double(evalCurveFloat(curve, float(double(i) / double(n - 1)))), 0.0, 1.0);
        table[i] = uint16_t(std::floor(y * 65535.0 + 0.5));
    }
    return table;
}

double adjust(const ToneCurve* curve, double v, double lo, double hi)
{
    if (!(v > lo)) return lo;
    const double t = (v - lo) / (hi - lo);
    const double y = curve ? evalCurveUnbounded(curve, t) : t;
    return std::max(y * (hi - lo) + lo, lo);
}

// ---------------------------------------------------------------------------
// Samplers
// ---------------------------------------------------------------------------

CieLab labSamplerInput(const LabSamplerCargo& cargo, const uint16_t in[3])
{
    return decodeNode(cargo.inverse, in);
}

void labSamplerOutput(const LabSamplerCargo& cargo, CieLab lab, uint16_t out[3])
{
    clampIntoBox(lab);
    encodeNode(cargo.forward, lab, out);
}

bool labToLabSampler(const uint16_t in[], uint16_t out[], void* cargo)
{
    const auto& c = *static_cast<const LabSamplerCargo*>(cargo);
    const CieLab lab = labSamplerInput(c, in);
    const double pixel[3] = {lab.L, lab.a, lab.b};
    double result[3];
    doTransform(c.transform, pixel, result, 1);
    labSamplerOutput(c, CieLab{result[0], result[1], result[2]}, out);
    return true;
}

CieLab cam16Recipe(const Cam16SamplerCargo& c, const CieLab& lab)
{
    const CieLab compressed{lab.L * LightnessScale + LightnessOffset, lab.a, lab.b};
    const CieXyz xyz = labToXyz(&White100, compressed);

    CieLab result = compressed;
    Cam16Correlates cc;
    if (xyz.X >= 0 && xyz.Y >= 0 && xyz.Z >= 0 && cam16Forward(c.source, xyz, &cc)) {
        if (c.flags & Cam16FromQ) cc.Q = adjust(c.curves[0], cc.Q, 0, 200);
        else cc.J = adjust(c.curves[0], cc.J, 0, 100);
        if (c.flags & Cam16FromM) cc.M = adjust(c.curves[1], cc.M, 0, 100);
        else if (c.flags & Cam16FromS) cc.s = adjust(c.curves[1], cc.s, 0, 100);
        else cc.C = adjust(c.curves[1], cc.C, 0, 100);
        if (c.curves[2]) cc.h = std::fmod(adjust(c.curves[2], cc.h, 0, 360), 360.0);
        CieXyz back;
        if (cam16Inverse(c.destination, c.flags, cc, &back)) result = xyzToLab(&White100, back);
    }
    result.L = std::max(result.L * LightnessExpand - LightnessExpandOffset, 0.0);
    return result;
}

bool cam16Sampler(const uint16_t in[], uint16_t out[], void* cargo)
{
    const auto& c = *static_cast<const Cam16SamplerCargo*>(cargo);
    // Held in the box after the lightness expansion rather than before, as
    // the results of the other recipes are: the same values, since the
    // expansion leaves a* and b* alone and the encoding holds L* at 100.
    encodeNode(c.forward, intoLabBox(cam16Recipe(c, decodeNode(c.inverse, in))), out);
    return true;
}

CieLab intoLabBox(CieLab lab)
{
    clampIntoBox(lab);
    return lab;
}

// ---------------------------------------------------------------------------
// Filling the CLUT
// ---------------------------------------------------------------------------

ClutFill fillNodeByNode(Sampler16Fn sampler, void* cargo)
{
    return [sampler, cargo](Stage* clut) { return sampleClut16(clut, sampler, cargo, 0); };
}

LabRecipe labChainRecipe(Transform* transform)
{
    return [transform](const std::vector<CieLab>& in, std::vector<CieLab>& out) {
        if (!transform || in.empty() || in.size() > UINT32_MAX) return false;
        out.resize(in.size());
        doTransform(transform, in.data(), out.data(), uint32_t(in.size()));
        return true;
    };
}

LabRecipe cam16BatchRecipe(const Cam16SamplerCargo& cargo)
{
    return [cargo](const std::vector<CieLab>& in, std::vector<CieLab>& out) {
        if (!cargo.source || !cargo.destination || in.empty()) return false;
        const size_t count = in.size();
        out.resize(count);
        auto work = [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) out[i] = cam16Recipe(cargo, in[i]);
        };
        const size_t processors = std::max<size_t>(std::thread::hardware_concurrency(), 1);
        const size_t threads = std::clamp<size_t>(count / NodesPerThread, 1, processors);
        std::vector<std::thread> workers;
        const size_t share = (count + threads - 1) / threads;
        for (size_t t = 1; t < threads; ++t)
            workers.emplace_back(work, t * share, std::min(count, (t + 1) * share));
        work(0, std::min(count, share));
        for (std::thread& w : workers) w.join();
        return true;
    };
}

LabRecipe oneByOne(LabRecipe recipe)
{
    return [recipe](const std::vector<CieLab>& in, std::vector<CieLab>& out) {
        if (!recipe) return false;
        out.resize(in.size());
        std::vector<CieLab> one(1), result;
        for (size_t i = 0; i < in.size(); ++i) {
            one[0] = in[i];
            if (!recipe(one, result) || result.size() != 1) return false;
            out[i] = result[0];
        }
        return true;
    };
}

// ---------------------------------------------------------------------------
// The generic builder
// ---------------------------------------------------------------------------

namespace {

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

IccProfile* buildAbstractProfile(const LabRecipe& recipe, const BuilderSettings& settings, const ClutFill& fill16)
{
    ProfilePtr profile = adoptProfile(createBlankProfile(nullptr));
    if (!profile || !recipe) return nullptr;
    setProfileDeviceClass(profile.get(), ClassAbstract);
    setProfileColorSpace(profile.get(), SpaceLab);
    setProfilePcs(profile.get(), SpaceLab);
    setProfileRenderingIntent(profile.get(), IntentPerceptual);
    setProfileVersion(profile.get(), settings.version);

    PipelinePtr pipeline{newPipeline(nullptr, 3, 3), &freePipeline};
    CurvePtr forward = adoptCurve(buildPrelinearisation(settings.sigmoidShape));
    CurvePtr inverse = adoptCurve(buildPrelinearisationInverse(settings.sigmoidShape));
    if (!pipeline || !forward || !inverse) return nullptr;

    // The version-2 table type has one grid size for every input.
    const uint32_t gridAb = settings.version < 0x04000000 ? settings.gridLstar : settings.gridAbstar;
    const uint32_t grid[3] = {settings.gridLstar, gridAb, gridAb};
    StagePtr clut{newClut16Stage(nullptr, grid, 3, 3, nullptr), &freeStage};
    if (!clut) return nullptr;

    // One sampling for both tables: the float table's nodes are the 16-bit
    // table's and one more beyond each end of a* and b*.
    const bool withFloat = carriesFloatTable(settings.version);
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

    const bool tabulatedLightness = settings.version <= 0x04000000;
    Stage* input = prelinearisationStage(forward.get(), tabulatedLightness, settings.curvePoints);
    if (!input || !insertStage(pipeline.get(), AtBegin, input)) return nullptr;
    if (!insertStage(pipeline.get(), AtEnd, clut.release())) return nullptr;
    Stage* output = prelinearisationStage(inverse.get(), tabulatedLightness, settings.curvePoints);
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

// ---------------------------------------------------------------------------
// The recipes
// ---------------------------------------------------------------------------

uint32_t softproofChannelCount(uint32_t colorSpace)
{
    switch (colorSpace) {
    case SpaceGray: return 1;
    case SpaceRgb: return 3;
    case SpaceCmyk: return 4;
    case SpaceLab: return 3;
    default: return 0;
    }
}

IccProfile* buildSoftproofProfile(IccProfile* space, int intentIndex, const ToneCurve* const channelCurves[],
                                  const BuilderSettings& settings, Sampling sampling)
{
    if (!space || !channelCurves) return nullptr;
    const uint32_t colorSpace = profileColorSpace(space);
    const uint32_t channels = softproofChannelCount(colorSpace);
    if (channels == 0 || !intentChoice(intentIndex)) return nullptr;
    for (uint32_t i = 0; i < channels; ++i)
        if (!channelCurves[i]) return nullptr;
    ProfilePtr link = adoptProfile(createLinearizationLink(nullptr, colorSpace, channelCurves));
    return buildLabChainProfile(space, intentIndex, link.get(), settings, sampling);
}

IccProfile* buildCubeProfile(IccProfile* rgbSpace, int intentIndex, IccProfile* cubeLink,
                             const BuilderSettings& settings, Sampling sampling)
{
    return buildLabChainProfile(rgbSpace, intentIndex, cubeLink, settings, sampling);
}

IccProfile* buildCam16Profile(const Cam16Conditions& source, const Cam16Conditions& destination, uint32_t flags,
                              const ToneCurve* const correlateCurves[3], const BuilderSettings& settings,
                              Sampling sampling)
{
    CurvePtr forward = adoptCurve(buildPrelinearisation(settings.sigmoidShape));
    CurvePtr inverse = adoptCurve(buildPrelinearisationInverse(settings.sigmoidShape));
    Cam16ModelPtr sourceModel{createCam16Model(nullptr, source), &freeCam16Model};
    Cam16ModelPtr destModel{createCam16Model(nullptr, destination), &freeCam16Model};
    if (!forward || !inverse || !sourceModel || !destModel) return nullptr;
    Cam16SamplerCargo cargo;
    cargo.forward = forward.get();
    cargo.inverse = inverse.get();
    cargo.source = sourceModel.get();
    cargo.destination = destModel.get();
    cargo.flags = flags;
    for (int i = 0; i < 3; ++i) cargo.curves[i] = correlateCurves ? correlateCurves[i] : nullptr;
    if (sampling == Sampling::Batch) return buildAbstractProfile(cam16BatchRecipe(cargo), settings);
    return buildAbstractProfile(oneByOne(cam16BatchRecipe(cargo)), settings, fillNodeByNode(cam16Sampler, &cargo));
}

namespace {

// The last .cube read, kept while the file's bytes stay the same: a live
// preview rebuilds the profile on every change, and parsing a 33-point table
// as text costs more than sampling the whole abstract profile.
struct CubeCache {
    std::mutex lock;
    QString path;
    QByteArray bytes;
    ProfilePtr link{nullptr, &closeProfile};
};

CubeCache& cubeCache()
{
    // The engine's global context first, so that it outlives the cached
    // profile, which is closed at exit.
    static const bool engineFirst = (contextUserData(nullptr), true);
    static CubeCache cache;
    (void)engineFirst;
    return cache;
}

// Files larger than this are read every time rather than kept twice.
constexpr qint64 MaxCachedCube = qint64(64) << 20;

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxCachedCube) return {};
    return file.readAll();
}

// A profile of its own for each caller, holding a copy of the table.
IccProfile* copyCubeLink(IccProfile* link)
{
    ProfilePtr copy = adoptProfile(createBlankProfile(nullptr));
    if (!copy) return nullptr;
    setProfileVersion(copy.get(), profileVersion(link));
    setProfileDeviceClass(copy.get(), profileDeviceClass(link));
    setProfileColorSpace(copy.get(), profileColorSpace(link));
    setProfilePcs(copy.get(), profilePcs(link));
    setProfileRenderingIntent(copy.get(), profileRenderingIntent(link));
    for (const uint32_t tag : {sig("desc"), sig("A2B0")}) {
        const void* object = loadTag(link, tag);
        if (!object || !storeTag(copy.get(), tag, object)) return nullptr;
    }
    return copy.release();
}

}   // namespace

IccProfile* readCubeDeviceLink(const QString& fileName)
{
    if (fileName.isEmpty()) return nullptr;
    const QString path = QFileInfo(fileName).absoluteFilePath();
    const QByteArray before = fileBytes(path);

    CubeCache& cache = cubeCache();
    const std::lock_guard<std::mutex> hold(cache.lock);
    if (cache.link && !before.isEmpty() && cache.path == path && cache.bytes == before)
        return copyCubeLink(cache.link.get());

    cache.link.reset();
    cache.bytes.clear();
    ProfilePtr link = adoptProfile(readCubeFile(QFile::encodeName(fileName).constData()));
    if (!link) return nullptr;
    const auto* table = static_cast<const Pipeline*>(loadTag(link.get(), sig("A2B0")));
    if (!table || pipelineInputs(table) != 3 || pipelineOutputs(table) != 3) return nullptr;
    // Kept only when the file did not change while it was read.
    if (!before.isEmpty() && fileBytes(path) == before) {
        cache.path = path;
        cache.bytes = before;
        cache.link = adoptProfile(copyCubeLink(link.get()));
    }
    return link.release();
}

QString spaceUnavailableMessage(const Recipe& recipe)
{
    const bool lut = recipe.tab() == RecipeTab::CubeImport;
    const QString& name = lut ? recipe.lutProfile : recipe.softproofProfile;
    if (name.isEmpty()) return QString::fromLatin1(lut ? BuilderText::NoLutSpace : BuilderText::NoSpace);
    return QString::fromLatin1(lut ? BuilderText::LutSpaceUnavailable : BuilderText::SpaceUnavailable).arg(name);
}

BuildResult buildRecipe(const Recipe& recipe, const ResolutionPreferences& preferences, const ProfileOpener& open,
                        Sampling sampling)
{
    BuildResult result;
    const BuilderSettings settings = builderSettings(preferences);
    switch (recipe.tab()) {
    case RecipeTab::Softproof: {
        ProfilePtr space = adoptProfile(recipe.softproofProfile.isEmpty() ? nullptr : open(recipe.softproofProfile));
        if (!space) {
            result.message = spaceUnavailableMessage(recipe);
            break;
        }
        const uint32_t channels = softproofChannelCount(profileColorSpace(space.get()));
        std::vector<ToneCurvePtr> owned;
        const ToneCurve* curves[SoftproofChannels] = {};
        for (uint32_t i = 0; i < channels; ++i) {
            owned.push_back(recipe.channels[i].buildCurvePtr());
            curves[i] = owned.back().get();
        }
        result.profile.reset(buildSoftproofProfile(space.get(), recipe.softproofIntent, curves, settings, sampling));
        break;
    }
    case RecipeTab::Cam16: {
        const ViewingConditionsEntry* destination = recipe.destinationConditions();
        if (!recipe.sourceConditions || !destination) break;
        std::vector<ToneCurvePtr> owned;
        const ToneCurve* curves[CorrelateCount] = {};
        for (int i = 0; i < CorrelateCount; ++i) {
            owned.push_back(recipe.correlates[size_t(i)].buildCurvePtr());
            curves[i] = owned.back().get();
        }
        result.profile.reset(buildCam16Profile(recipe.sourceConditions->values, destination->values,
                                               recipe.correlateFlags(), curves, settings, sampling));
        break;
    }
    case RecipeTab::CubeImport: {
        if (recipe.cubeFile.isEmpty()) break;
        ProfilePtr space = adoptProfile(recipe.lutProfile.isEmpty() ? nullptr : open(recipe.lutProfile));
        if (!space) {
            result.message = spaceUnavailableMessage(recipe);
            break;
        }
        ProfilePtr link = adoptProfile(readCubeDeviceLink(recipe.cubeFile));
        if (!link) {
            result.message = BuilderText::CubeUnreadable + recipe.cubeFile;
            break;
        }
        result.profile.reset(buildCubeProfile(space.get(), recipe.lutIntent, link.get(), settings, sampling));
        break;
    }
    }
    return result;
}

BuildResult buildProfileWithRecipe(const Recipe& recipe, const ResolutionPreferences& preferences,
                                   const ProfileOpener& open)
{
    BuildResult result = buildRecipe(recipe, preferences, open);
    if (result.ok()) {
        Recipe saved = recipe;
        saved.resolution = preferences;
        if (!storeRecipe(result.profile.get(), saved)) result.profile.reset();
    }
    if (!result.ok() && result.message.isEmpty()) result.message = RecipeText::SaveFailed;
    return result;
}
