#include "tools/core/outputembedder.h"

#include "app/core/enginemessages.h"
#include "tools/core/toolfiles.h"

#include <algorithm>
#include <array>
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

// One rebuilt table: the chain linked under `intent`, resampled into a
// device link, and that link's table stored in the output profile.
QString buildTable(IccProfile* output, IccProfile* const chain[], uint32_t count, uint32_t intent, int gridPoints,
                   double version, Direction direction, uint32_t targetTag)
{
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
    if (!xyzIdentity || !labIdentity) return fail(EmbedderText::CannotOpen);

    const bool xyzPcs = profilePcs(base.get()) == SpaceXyz;
    IccProfile* identity = xyzPcs ? xyzIdentity.get() : labIdentity.get();
    IccProfile* const effectXyz[3] = {xyzIdentity.get(), abstract.get(), base.get()};
    IccProfile* const effectLab[2] = {abstract.get(), base.get()};
    IccProfile* const* effect = xyzPcs ? effectXyz : effectLab;
    const uint32_t effectCount = xyzPcs ? 3 : 2;
    IccProfile* const plain[2] = {identity, base.get()};
    IccProfile* const reverse[2] = {base.get(), identity};

    const int grid = std::clamp(request.gridPoints, MinGridPoints, MaxGridPoints);
    const double version = request.versionIndex == 1 ? 2.1 : 4.3;
    const bool ticked[3] = {request.perceptual, request.relativeColorimetric, request.saturation};
    std::vector<uint32_t> replaced;
    for (uint32_t i = 0; i < 3; ++i) {
        if (ticked[i] || request.regenerateAll) replaced.push_back(PcsToDeviceTags[i]);
        if (request.regenerateAll) replaced.push_back(DeviceToPcsTags[i]);
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
    for (uint32_t i = 0; i < 3; ++i) {
        QString message;
        if (ticked[i]) {
            message = buildTable(output.get(), effect, effectCount, i, grid, version, Direction::PcsToDevice,
                                 PcsToDeviceTags[i]);
            if (message.isEmpty()) tableDone();
        } else if (request.regenerateAll) {
            message = buildTable(output.get(), plain, 2, i, grid, version, Direction::PcsToDevice,
                                 PcsToDeviceTags[i]);
            if (message.isEmpty()) tableDone();
        }
        if (message.isEmpty() && request.regenerateAll) {
            message = buildTable(output.get(), reverse, 2, i, grid, version, Direction::DeviceToPcs,
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
        const QString engine = QString::fromStdString(capture.latest());
        return fail(engine.isEmpty() ? QString(EmbedderText::CannotSave) : engine);
    }
    result.ok = true;
    return result;
}
