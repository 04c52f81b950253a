// The embedding itself: each rebuilt table is a chain of profiles linked,
// turned into a device link and its table stored in the output profile.
// Tables towards the device on an XYZ connection space start with shaper
// curves; perceptual and saturation tables that change between version 2
// and version 4 go through a stand-in that moves their black between the
// two reference media.
#include "tools/core/outputembedder.h"

#include "tools/core/toolfiles.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
using TextPtr = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;

constexpr int MinGridPoints = 17;
constexpr int MaxGridPoints = 255;

// No optimisation, no cache, no white-point fix-up: the chain is resampled
// exactly as linked.
constexpr uint32_t TableTransformFlags = XformNoOptimise | XformNoCache | XformNoWhiteFixup;
// Guess the device class, keep the pre- and post-linearisation curves.
constexpr uint32_t DeviceLinkFlags = DeviceLinkGuessClass | XformKeepPreLinearisation | XformKeepPostLinearisation;

// The latest message of the engine while an embedding runs, and the handler
// that was installed before, which still hears every message. The engine's
// handler is process-wide, so are these.
std::mutex capturedMutex;
std::string capturedMessage;
ErrorHandler previousHandler = nullptr;

void captureMessage(EngineContext* ctx, uint32_t code, const char* text)
{
    ErrorHandler previous;
    {
        std::lock_guard<std::mutex> lock(capturedMutex);
        capturedMessage = text ? text : "";
        previous = previousHandler;
    }
    if (previous) previous(ctx, code, text);
}

// Installs the capturing handler for its lifetime, then puts the previous
// one back.
class EngineMessageCapture {
public:
    EngineMessageCapture() : previous_(errorHandler())
    {
        {
            std::lock_guard<std::mutex> lock(capturedMutex);
            capturedMessage.clear();
            previousHandler = previous_ == captureMessage ? nullptr : previous_;
        }
        setErrorHandler(captureMessage);
    }
    ~EngineMessageCapture()
    {
        setErrorHandler(previous_);
        std::lock_guard<std::mutex> lock(capturedMutex);
        previousHandler = nullptr;
    }
    EngineMessageCapture(const EngineMessageCapture&) = delete;
    EngineMessageCapture& operator=(const EngineMessageCapture&) = delete;

    QString latest() const
    {
        std::lock_guard<std::mutex> lock(capturedMutex);
        return QString::fromUtf8(capturedMessage.c_str());
    }

private:
    ErrorHandler previous_;
};

enum class Direction { PcsToDevice, DeviceToPcs };

constexpr std::array<uint32_t, 3> PcsToDeviceTags = {sig("B2A0"), sig("B2A1"), sig("B2A2")};
constexpr std::array<uint32_t, 3> DeviceToPcsTags = {sig("A2B0"), sig("A2B1"), sig("A2B2")};
// Float tables, which colour engines prefer to the 16-bit ones of their
// intent (and absolute colorimetric's to relative colorimetric's table).
constexpr std::array<uint32_t, 4> PcsToDeviceFloatTags = {sig("B2D0"), sig("B2D1"), sig("B2D2"), sig("B2D3")};
constexpr std::array<uint32_t, 4> DeviceToPcsFloatTags = {sig("D2B0"), sig("D2B1"), sig("D2B2"), sig("D2B3")};

// The float tables that a rebuilt 16-bit table makes stale: left in place,
// they would be used instead of it.
std::vector<uint32_t> staleFloatTables(IccProfile* output, uint32_t rebuiltTag)
{
    std::vector<uint32_t> stale;
    for (uint32_t i = 0; i < 3; ++i) {
        for (const auto& [tables, floats] : {std::pair{PcsToDeviceTags, PcsToDeviceFloatTags},
                                             std::pair{DeviceToPcsTags, DeviceToPcsFloatTags}}) {
            if (tables[i] != rebuiltTag) continue;
            stale.push_back(floats[i]);
            if (i == IntentRelativeColorimetric) stale.push_back(floats[IntentAbsoluteColorimetric]);
        }
    }
    std::erase_if(stale, [output](uint32_t tag) { return !hasTag(output, tag); });
    return stale;
}

// The black of the perceptual reference medium, in XYZ (D50): where the
// perceptual and saturation tables of version-4 profiles put black. Those of
// version-2 profiles put it at zero (in principle; their tables may not).
constexpr CieXyz PerceptualBlack = {0.00336, 0.0034731, 0.00287};
constexpr double XyzNormalisation = 65535.0 / 32768.0;   // real XYZ to the pipelines' XYZ

using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

// A pipeline on the connection space `pcs` (Lab or XYZ, normalised as in
// every pipeline) that moves black from `from` to `to` and keeps the D50
// white: the linear black-point scaling per XYZ component,
// X' = to + (X − from) (W − to) / (W − from), by which perceptual values move
// between the version-2 reference medium (black at zero) and the version-4
// one (ICC.1:2010, annex on the perceptual reference medium; the ICC's notes
// on using version-2 and version-4 profiles together).
PipelinePtr blackScaling(uint32_t pcs, const CieXyz& from, const CieXyz& to)
{
    const bool lab = pcs != SpaceXyz;
    const double white[3] = {D50.X, D50.Y, D50.Z};
    const double source[3] = {from.X, from.Y, from.Z}, target[3] = {to.X, to.Y, to.Z};
    double matrix[9] = {}, offsets[3];
    for (int c = 0; c < 3; ++c) {
        const double scale = (white[c] - target[c]) / (white[c] - source[c]);
        matrix[c * 4] = scale;
        offsets[c] = (target[c] - source[c] * scale) / XyzNormalisation;
    }
    PipelinePtr scaling{newPipeline(nullptr, 3, 3), &freePipeline};
    const bool built = scaling && (!lab || insertStage(scaling.get(), AtEnd, newLabToXyzStage(nullptr))) &&
                       insertStage(scaling.get(), AtEnd, newMatrixStage(nullptr, 3, 3, matrix, offsets)) &&
                       (!lab || insertStage(scaling.get(), AtEnd, newXyzToLabStage(nullptr)));
    if (!built) scaling.reset();
    return scaling;
}

// A stand-in for the base profile in one intent's table when the table
// changes its reference medium: the base's own pipeline for the intent with
// a black scaling on its connection-space side, as the relative colorimetric
// table of a version-4 output profile (linked under relative colorimetric,
// it gets no black-point compensation at its junction, which the engine adds
// to version-4 perceptual and saturation tables).
//
// The scalings are those that keep what the engine renders through the
// table beside version-4 profiles, which compensate a version-4 table's
// black as the medium's and a version-2 one's as the black its table gives
// (towards the connection space; a version-2 table towards the device is
// not compensated): towards the device the medium's black and zero change
// places; towards the connection space a version-2 table's own black
// becomes the medium's, and the medium's black of a version-4 one zero.
ProfilePtr mediumStandIn(IccProfile* base, uint32_t intent, Direction direction, bool baseVersion4)
{
    const bool toDevice = direction == Direction::PcsToDevice;
    const uint32_t pcs = profilePcs(base);
    const CieXyz zero{0, 0, 0};
    CieXyz from = PerceptualBlack, to = zero;
    if (toDevice && baseVersion4) std::swap(from, to);
    if (!toDevice && !baseVersion4) {
        to = PerceptualBlack;
        if (!sourceBlackPoint(&from, base, intent)) from = zero;
    }
    PipelinePtr own{toDevice ? outputPipelineOf(base, intent) : inputPipelineOf(base, intent), &freePipeline};
    PipelinePtr scaling = blackScaling(pcs, from, to);
    if (!own || !scaling) return adoptProfile(nullptr);
    PipelinePtr joined{newPipeline(nullptr, toDevice ? 3 : pipelineInputs(own.get()), toDevice ? pipelineOutputs(own.get()) : 3),
                       &freePipeline};
    if (!joined || !appendPipeline(joined.get(), toDevice ? scaling.get() : own.get()) ||
        !appendPipeline(joined.get(), toDevice ? own.get() : scaling.get()))
        return adoptProfile(nullptr);
    ProfilePtr p = adoptProfile(createBlankProfile(nullptr));
    if (!p) return p;
    setVersionFromNumber(p.get(), 4.3);
    setProfileDeviceClass(p.get(), ClassOutput);
    setProfileColorSpace(p.get(), profileColorSpace(base));
    setProfilePcs(p.get(), pcs);
    if (!storeTag(p.get(), toDevice ? sig("B2A1") : sig("A2B1"), joined.get())) return adoptProfile(nullptr);
    return p;
}

// The XYZ identity with shaper curves: S and its inverse, one after the
// other, so that a table resampled from a chain that starts with it keeps S
// in front (the pre-linearisation curves the device link keeps) and spreads
// its nodes by lightness. On XYZ itself a table puts every colour darker
// than about L* 30 into its first cell. S is CIE L* of each component
// relative to Y = 1 (CIE 15:2004, 8.2.1.1), scaled so that the largest XYZ
// the pipelines carry, 1.99997, gives 1: an ICC parametric curve of
// function type 4 (ICC.1:2010, 10.18), written exactly in any version.
ProfilePtr shapedXyzIdentity()
{
    ProfilePtr p = adoptProfile(createXyzIdentity(nullptr));
    if (!p) return p;
    const double top = 1.16 * std::cbrt(XyzNormalisation) - 0.16;   // L*/100 at the largest XYZ
    const double params[7] = {1.0 / 3.0,
                              XyzNormalisation * std::pow(1.16 / top, 3.0),
                              0.0,
                              9.03296296 * XyzNormalisation / top,
                              0.00885645 / XyzNormalisation,
                              -0.16 / top,
                              0.0};
    using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
    CurvePtr shaper{buildParametricCurve(nullptr, 5, params), &freeCurve};
    CurvePtr inverse{buildParametricCurve(nullptr, -5, params), &freeCurve};
    if (!shaper || !inverse) return adoptProfile(nullptr);
    const ToneCurve* forward[3] = {shaper.get(), shaper.get(), shaper.get()};
    const ToneCurve* back[3] = {inverse.get(), inverse.get(), inverse.get()};
    std::unique_ptr<Pipeline, decltype(&freePipeline)> curves{newPipeline(nullptr, 3, 3), &freePipeline};
    if (!curves || !insertStage(curves.get(), AtEnd, newCurvesStage(nullptr, 3, forward)) ||
        !insertStage(curves.get(), AtEnd, newCurvesStage(nullptr, 3, back)) ||
        !storeTag(p.get(), sig("A2B0"), curves.get()))
        return adoptProfile(nullptr);
    return p;
}

// The grid of a profile's table (its first CLUT, first input), 0 when it
// has none.
int tableGridOf(IccProfile* profile, uint32_t tag)
{
    const auto* table = static_cast<const Pipeline*>(loadTag(profile, tag));
    for (const Stage* s = table ? pipelineFirstStage(table) : nullptr; s; s = stageNext(s))
        if (stageKind(s) == StageClutKind) return int(clutGridPoints(s)[0]);
    return 0;
}

// One rebuilt table: the chain linked under `intent`, resampled into a
// device link, and that link's table stored in the output profile.
QString buildTable(IccProfile* output, const std::vector<IccProfile*>& chainProfiles, uint32_t intent,
                   int gridPoints, double version, Direction direction, uint32_t targetTag)
{
    if (std::find(chainProfiles.begin(), chainProfiles.end(), nullptr) != chainProfiles.end())
        return EmbedderText::CannotTransform;
    IccProfile* const* chain = chainProfiles.data();
    const uint32_t count = uint32_t(chainProfiles.size());
    TransformPtr transform{createMultiTransform(nullptr, chain, count, 0, 0, intent, TableTransformFlags),
                           &deleteTransform};
    if (!transform) return EmbedderText::CannotTransform;
    ProfilePtr link = adoptProfile(
        transformToDeviceLink(transform.get(), version, (uint32_t(gridPoints) << 16) + DeviceLinkFlags));
    if (!link) return EmbedderText::CannotLink;
    const bool toDevice = direction == Direction::PcsToDevice;
    const void* table = loadTag(link.get(), toDevice ? sig("B2A0") : sig("A2B0"));
    if (!table) return QStringLiteral("I cannot find the %1 tag").arg(toDevice ? "BToA0" : "AToB0");
    if (!storeTag(output, targetTag, table))
        return QStringLiteral("I cannot write the %1 tag").arg(toDevice ? "BToAxx" : "AToBxx");
    return {};
}

// Replaces the English text of a text tag unless it already says the same.
bool replaceText(IccProfile* profile, uint32_t tag, const QString& text)
{
    const QByteArray wanted = text.toUtf8();
    if (const auto* current = static_cast<const LocalizedText*>(loadTag(profile, tag))) {
        const uint32_t size = getTextUtf8(current, "en", "US", nullptr, 0);
        if (size > 0) {
            QByteArray have(qsizetype(size), '\0');
            getTextUtf8(current, "en", "US", have.data(), size);
            if (qstrcmp(have.constData(), wanted.constData()) == 0) return true;
        }
    }
    TextPtr mlu{newLocalizedText(nullptr, 1), &freeLocalizedText};
    return mlu && setTextUtf8(mlu.get(), "en", "US", wanted.constData()) && storeTag(profile, tag, mlu.get());
}

// Profiles often share one table among intents (B2A1 and B2A2 stored as
// links to the B2A0 data). A table about to be replaced or removed must not
// take the tables linked to it along: those get their own copy of the old
// data first. Tables neither replaced nor linked to a replaced one are not
// touched, so they are written as they were read.
void separateSharedTables(IccProfile* output, const std::vector<uint32_t>& replaced)
{
    const auto isReplaced = [&](uint32_t tag) {
        return std::find(replaced.begin(), replaced.end(), tag) != replaced.end();
    };
    std::vector<uint32_t> all(PcsToDeviceTags.begin(), PcsToDeviceTags.end());
    all.insert(all.end(), DeviceToPcsTags.begin(), DeviceToPcsTags.end());
    all.insert(all.end(), PcsToDeviceFloatTags.begin(), PcsToDeviceFloatTags.end());
    all.insert(all.end(), DeviceToPcsFloatTags.begin(), DeviceToPcsFloatTags.end());
    for (uint32_t tag : all) {
        if (isReplaced(tag) || !hasTag(output, tag)) continue;
        bool shared = false;
        uint32_t at = tag;
        for (int hops = 0; hops < 100 && !shared; ++hops) {
            at = tagLinkTarget(output, at);
            if (at == 0) break;
            shared = isReplaced(at);
        }
        if (!shared) continue;
        if (const void* table = loadTag(output, tag)) storeTag(output, tag, table);
    }
}

// The profile written is a new one: it carries its own creation date.
bool currentUtcTime(std::tm* now)
{
    const std::time_t t = std::time(nullptr);
    return t != std::time_t(-1) && gmtime_r(&t, now);
}

}   // namespace

ToolResult embedAbstractProfile(const EmbedRequest& request, const ProfileOpener& open, const EmbedProgress& progress)
{
    EngineMessageCapture capture;
    ToolResult result;
    auto fail = [&result](const QString& message) {
        result.ok = false;
        result.message = message;
        return result;
    };

    // Every new table is made from the base profile as it was read: the
    // copy that is written changes table by table, and intents that share a
    // table would otherwise build on each other's results.
    ProfilePtr output = adoptProfile(open(request.baseProfile));
    ProfilePtr base = adoptProfile(open(request.baseProfile));
    ProfilePtr abstract = adoptProfile(open(request.abstractProfile));
    if (!output || !base || !abstract) return fail(EmbedderText::CannotOpen);
    ProfilePtr xyzIdentity = adoptProfile(createXyzIdentity(nullptr));
    ProfilePtr labIdentity = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    ProfilePtr xyzShaper = shapedXyzIdentity();
    if (!xyzIdentity || !labIdentity || !xyzShaper) return fail(EmbedderText::CannotOpen);

    const uint32_t pcs = profilePcs(base.get());
    const bool xyzPcs = pcs == SpaceXyz;
    IccProfile* identity = xyzPcs ? xyzIdentity.get() : labIdentity.get();
    // Tables towards the device begin with the shaper curves on XYZ.
    IccProfile* toDeviceIdentity = xyzPcs ? xyzShaper.get() : labIdentity.get();

    const int grid = std::clamp(request.gridPoints, MinGridPoints, MaxGridPoints);
    const double version = request.versionIndex == 1 ? 2.1 : 4.3;
    const bool ticked[3] = {request.perceptual, request.relativeColorimetric, request.saturation};

    // Between version 2 and version 4 the perceptual and saturation tables
    // change their reference medium: each of those tables is rebuilt through
    // the scaling between the two, so that rendering does not change.
    const bool baseVersion4 = versionAsNumber(base.get()) >= 4.0;
    const bool mediumChanges = baseVersion4 != (version >= 4.0);
    const auto converts = [&](uint32_t intent) { return mediumChanges && intent != IntentRelativeColorimetric; };
    std::vector<ProfilePtr> standIns;
    const auto standIn = [&](uint32_t intent, Direction direction) {
        standIns.push_back(mediumStandIn(base.get(), intent, direction, baseVersion4));
        return standIns.back().get();
    };
    const auto rebuildsToDevice = [&](uint32_t i) {
        return ticked[i] || request.regenerateAll || (converts(i) && hasTag(base.get(), PcsToDeviceTags[i]));
    };
    const auto rebuildsToPcs = [&](uint32_t i) {
        return request.regenerateAll || (converts(i) && hasTag(base.get(), DeviceToPcsTags[i]));
    };
    // The chains of intent i: the effect, the profile alone towards the
    // device, and back to the connection space.
    const auto effectChain = [&](uint32_t i) {
        std::vector<IccProfile*> chain;
        if (xyzPcs) chain.push_back(xyzShaper.get());
        chain.push_back(abstract.get());
        chain.push_back(converts(i) ? standIn(i, Direction::PcsToDevice) : base.get());
        return chain;
    };
    const auto plainChain = [&](uint32_t i) {
        return std::vector<IccProfile*>{toDeviceIdentity, converts(i) ? standIn(i, Direction::PcsToDevice) : base.get()};
    };
    const auto reverseChain = [&](uint32_t i) {
        return std::vector<IccProfile*>{converts(i) ? standIn(i, Direction::DeviceToPcs) : base.get(), identity};
    };
    // Stand-ins are linked under relative colorimetric: they carry the
    // intent's table as theirs.
    const auto linkIntent = [&](uint32_t i) { return converts(i) ? uint32_t(IntentRelativeColorimetric) : i; };

    std::vector<uint32_t> replaced;
    for (uint32_t i = 0; i < 3; ++i) {
        if (rebuildsToDevice(i)) replaced.push_back(PcsToDeviceTags[i]);
        if (rebuildsToPcs(i)) replaced.push_back(DeviceToPcsTags[i]);
    }
    std::vector<uint32_t> stale;
    for (const uint32_t tag : replaced)
        for (const uint32_t floatTag : staleFloatTables(output.get(), tag))
            if (std::find(stale.begin(), stale.end(), floatTag) == stale.end()) stale.push_back(floatTag);
    std::vector<uint32_t> going = replaced;
    going.insert(going.end(), stale.begin(), stale.end());
    separateSharedTables(output.get(), going);
    for (const uint32_t tag : stale) storeTag(output.get(), tag, nullptr);
    int done = 0;
    const auto tableDone = [&] {
        if (progress) progress(++done, int(replaced.size()));
    };
    // A table rebuilt only to change its reference medium keeps at least
    // the grid it had.
    const auto gridFor = [&](uint32_t tag, bool asked) {
        return asked ? grid : std::clamp(std::max(grid, tableGridOf(base.get(), tag)), MinGridPoints, MaxGridPoints);
    };
    for (uint32_t i = 0; i < 3; ++i) {
        QString message;
        if (rebuildsToDevice(i)) {
            const bool asked = ticked[i] || request.regenerateAll;
            message = buildTable(output.get(), ticked[i] ? effectChain(i) : plainChain(i), linkIntent(i),
                                 gridFor(PcsToDeviceTags[i], asked), version, Direction::PcsToDevice,
                                 PcsToDeviceTags[i]);
            if (message.isEmpty()) tableDone();
        }
        if (message.isEmpty() && rebuildsToPcs(i)) {
            message = buildTable(output.get(), reverseChain(i), linkIntent(i),
                                 gridFor(DeviceToPcsTags[i], request.regenerateAll), version, Direction::DeviceToPcs,
                                 DeviceToPcsTags[i]);
            if (message.isEmpty()) tableDone();
        }
        if (!message.isEmpty()) return fail(message);
    }

    if (!replaceText(output.get(), sig("desc"), request.description)) return fail(EmbedderText::CannotDescribe);
    if (!replaceText(output.get(), sig("cprt"), request.copyright)) return fail(EmbedderText::CannotCopyright);
    // Tables loaded from the base are re-encoded for the new version's Lab
    // encoding as the profile is written; the new tables were made for it.
    setVersionFromNumber(output.get(), version);
    if (std::tm now{}; currentUtcTime(&now)) setProfileCreationDate(output.get(), now);

    // Rebuilt tables replace the colorants and curves of a matrix-shaper.
    if (request.regenerateAll && isMatrixShaper(output.get())) {
        for (const uint32_t tag : {sig("rXYZ"), sig("gXYZ"), sig("bXYZ"), sig("rTRC"), sig("gTRC"), sig("bTRC")})
            storeTag(output.get(), tag, nullptr);
    }

    if (!saveProfileToFile(output.get(), request.outputFile)) {
        const QString engine = capture.latest();
        return fail(engine.isEmpty() ? QString(EmbedderText::CannotSave) : engine);
    }
    result.ok = true;
    return result;
}
