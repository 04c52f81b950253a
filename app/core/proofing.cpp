// Proof settings, the preview's proof chain and the difference tables.
#include "app/core/proofing.h"

#include "profiles/core/builtinspaces.h"

#include <QSettings>

#include <algorithm>
#include <cmath>

namespace {

// Table values: a difference times 2048, which leaves an 8-bit transform as
// about 8 steps to one ΔE (DifferenceTable::Scale).
constexpr double TableScale = 2048.0;

namespace Key {
constexpr char Enabled[] = "proofing/enabled";
constexpr char Profile[] = "proofing/profile";
constexpr char Intent[] = "proofing/intent";
constexpr char Paper[] = "proofing/simulate_paper";
constexpr char Warning[] = "proofing/gamut_warning";
constexpr char Tolerance[] = "proofing/gamut_tolerance";
constexpr char Colour[] = "proofing/gamut_colour";
}   // namespace Key

constexpr double Pi = 3.14159265358979323846;
constexpr double Degree = Pi / 180.0;


CieLab labOf(const float* p)
{
    return CieLab{p[0], p[1], p[2]};
}

// Lab in real units (L* 0..100) of every node colour through a chain.
bool labsThrough(const ProfileChain& chain, IccProfile* labProfile, uint32_t inputFormat, const void* in,
                 std::vector<float>& labs, uint32_t count)
{
    ProfileChain toLab = chain;
    toLab.push_back({labProfile, IntentRelativeColorimetric, false});
    TransformPtr t = makeChainTransform(toLab, inputFormat, FormatLabFloat, XformNoCache);
    if (!t) return false;
    labs.resize(size_t(count) * 3);
    doTransform(t.get(), in, labs.data(), count);
    return true;
}

// The intent the proof profile's table into the device is chosen by.
uint32_t intentIntoProof(const ProofSettings& settings)
{
    switch (settings.intent) {
    case ProofIntent::Perceptual: return IntentPerceptual;
    case ProofIntent::Saturation: return IntentSaturation;
    default: return IntentRelativeColorimetric;
    }
}

uint32_t bytesPerPixel(uint32_t format)
{
    const uint32_t bytes = formatBytes(format) == 0 ? 8 : formatBytes(format);
    return bytes * (formatChannels(format) + formatExtra(format));
}

}   // namespace

ProofSettings ProofSettings::read(const QSettings& s, const QString& fallbackProfile)
{
    ProofSettings p;
    const bool stored = s.contains(Key::Profile);
    p.profile = stored ? s.value(Key::Profile).toString() : fallbackProfile;
    p.enabled = s.value(Key::Enabled, !stored && !fallbackProfile.isEmpty()).toBool() && !p.profile.isEmpty();
    p.intent = ProofIntent(std::clamp(s.value(Key::Intent, int(p.intent)).toInt(), 0, 3));
    p.simulatePaper = s.value(Key::Paper, false).toBool();
    p.gamutWarning = s.value(Key::Warning, false).toBool();
    p.gamutTolerance = std::clamp(s.value(Key::Tolerance, p.gamutTolerance).toDouble(), 0.1, 50.0);
    p.warningColour = s.value(Key::Colour, p.warningColour).toUInt() & 0xFFFFFF;
    return p;
}

void ProofSettings::write(QSettings& s) const
{
    s.setValue(Key::Enabled, enabled);
    s.setValue(Key::Profile, profile);
    s.setValue(Key::Intent, int(intent));
    s.setValue(Key::Paper, simulatePaper);
    s.setValue(Key::Warning, gamutWarning);
    s.setValue(Key::Tolerance, gamutTolerance);
    s.setValue(Key::Colour, warningColour);
}

ProfileChain previewChain(IccProfile* image, IccProfile* look, IccProfile* proof, const ProofSettings& settings,
                          IccProfile* display)
{
    ProfileChain chain{{image, IntentPerceptual, false}};
    if (look) chain.push_back({look, IntentPerceptual, false});
    if (!proof) {
        chain.push_back({display, IntentPerceptual, false});
        return chain;
    }
    const uint32_t out = settings.simulatePaper ? IntentAbsoluteColorimetric : IntentRelativeColorimetric;
    chain.push_back({proof, intentIntoProof(settings), settings.intent == ProofIntent::RelativeWithBlackPoint});
    chain.push_back({proof, out, false});
    chain.push_back({display, out, false});
    return chain;
}

TransformPtr makeChainTransform(const ProfileChain& chain, uint32_t inputFormat, uint32_t outputFormat,
                                uint32_t flags)
{
    TransformPtr none(nullptr, &deleteTransform);
    if (chain.empty() || chain.size() > MaxProfilesInChain) return none;
    std::vector<IccProfile*> profiles;
    std::vector<uint32_t> intents;
    std::vector<double> states(chain.size(), 1.0);
    std::unique_ptr<bool[]> bpc(new bool[chain.size()]);
    for (size_t i = 0; i < chain.size(); ++i) {
        if (!chain[i].profile) return none;
        profiles.push_back(chain[i].profile);
        intents.push_back(chain[i].intent);
        bpc[i] = chain[i].blackPointCompensation;
    }
    return TransformPtr(createTransformExtended(nullptr, uint32_t(chain.size()), profiles.data(), bpc.get(),
                                                intents.data(), states.data(), nullptr, 0, inputFormat, outputFormat,
                                                flags),
                        &deleteTransform);
}

double deltaE2000(const CieLab& lab1, const CieLab& lab2)
{
    const double c1 = std::hypot(lab1.a, lab1.b), c2 = std::hypot(lab2.a, lab2.b);
    const double cMean7 = std::pow((c1 + c2) / 2.0, 7.0);
    const double g = 0.5 * (1.0 - std::sqrt(cMean7 / (cMean7 + std::pow(25.0, 7.0))));
    const double a1 = (1.0 + g) * lab1.a, a2 = (1.0 + g) * lab2.a;
    const double cp1 = std::hypot(a1, lab1.b), cp2 = std::hypot(a2, lab2.b);
    const auto hue = [](double b, double a) {
        if (a == 0 && b == 0) return 0.0;
        const double h = std::atan2(b, a) / Degree;
        return h < 0 ? h + 360.0 : h;
    };
    const double hp1 = hue(lab1.b, a1), hp2 = hue(lab2.b, a2);

    const double dL = lab2.L - lab1.L;
    const double dC = cp2 - cp1;
    double dh = 0;
    if (cp1 * cp2 != 0) {
        dh = hp2 - hp1;
        if (dh > 180) dh -= 360;
        else if (dh < -180) dh += 360;
    }
    const double dH = 2.0 * std::sqrt(cp1 * cp2) * std::sin(dh / 2.0 * Degree);

    const double lMean = (lab1.L + lab2.L) / 2.0;
    const double cpMean = (cp1 + cp2) / 2.0;
    double hMean = hp1 + hp2;
    if (cp1 * cp2 != 0) {
        if (std::abs(hp1 - hp2) <= 180) hMean /= 2.0;
        else hMean = hMean < 360 ? (hMean + 360) / 2.0 : (hMean - 360) / 2.0;
    }
    const double t = 1.0 - 0.17 * std::cos((hMean - 30) * Degree) + 0.24 * std::cos(2 * hMean * Degree) +
                     0.32 * std::cos((3 * hMean + 6) * Degree) - 0.20 * std::cos((4 * hMean - 63) * Degree);
    const double dTheta = 30.0 * std::exp(-std::pow((hMean - 275.0) / 25.0, 2.0));
    const double cpMean7 = std::pow(cpMean, 7.0);
    const double rC = 2.0 * std::sqrt(cpMean7 / (cpMean7 + std::pow(25.0, 7.0)));
    const double l50 = (lMean - 50) * (lMean - 50);
    const double sL = 1.0 + 0.015 * l50 / std::sqrt(20.0 + l50);
    const double sC = 1.0 + 0.045 * cpMean;
    const double sH = 1.0 + 0.015 * cpMean * t;
    const double rT = -std::sin(2.0 * dTheta * Degree) * rC;
    return std::sqrt((dL / sL) * (dL / sL) + (dC / sC) * (dC / sC) + (dH / sH) * (dH / sH) +
                     rT * (dC / sC) * (dH / sH));
}

uint32_t differenceColour(double deltaE)
{
    const auto& scale = DifferenceScale;
    if (!(deltaE > scale[0].deltaE)) return scale[0].rgb;
    for (size_t i = 1; i < std::size(scale); ++i) {
        if (deltaE > scale[i].deltaE) continue;
        const double t = (deltaE - scale[i - 1].deltaE) / (scale[i].deltaE - scale[i - 1].deltaE);
        uint32_t rgb = 0;
        for (int shift = 16; shift >= 0; shift -= 8) {
            const double a = (scale[i - 1].rgb >> shift) & 0xFF, b = (scale[i].rgb >> shift) & 0xFF;
            rgb |= uint32_t(std::lround(a + (b - a) * t)) << shift;
        }
        return rgb;
    }
    return scale[std::size(scale) - 1].rgb;
}

DifferenceTable DifferenceTable::make(Difference kind, const ProfileChain& toResult, IccProfile* proof,
                                      const ProofSettings& settings, uint32_t pixelFormat, uint32_t gridPoints)
{
    DifferenceTable none;
    const bool needsProof = kind != Difference::LookStrength;
    if (toResult.empty() || !toResult.front().profile || (needsProof && !proof) || gridPoints < 2) return none;
    const uint32_t space = profileColorSpace(toResult.front().profile);
    const uint32_t inputs = channelsOfSpace(space);
    if (inputs == 0 || inputs > 4 || formatChannels(pixelFormat) != inputs) return none;
    const uint32_t nodeFormat = formatForSpace(space, 2, false);

    // The nodes, the last input running fastest as in the engine's tables.
    uint32_t count = 1;
    for (uint32_t i = 0; i < inputs; ++i) count *= gridPoints;
    std::vector<uint16_t> nodes(size_t(count) * inputs);
    for (uint32_t index = 0; index < count; ++index) {
        uint32_t rest = index;
        for (uint32_t t = inputs; t > 0; --t) {
            const uint32_t k = rest % gridPoints;
            rest /= gridPoints;
            nodes[size_t(index) * inputs + t - 1] = uint16_t(std::lround(k * 65535.0 / (gridPoints - 1)));
        }
    }

    ProfilePtr lab(createLabIdentityV4(nullptr, nullptr), &closeProfile);
    if (!lab) return none;
    std::vector<float> result, other;
    if (!labsThrough(toResult, lab.get(), nodeFormat, nodes.data(), result, count)) return none;
    if (kind == Difference::LookStrength) {
        if (!labsThrough({toResult.front()}, lab.get(), nodeFormat, nodes.data(), other, count)) return none;
    } else {
        // Through the proof's device values in 16 bits, where what the
        // device cannot reach is clipped, and back.
        const bool gamut = kind == Difference::GamutDistance;
        const ChainLink into{proof, gamut ? uint32_t(IntentRelativeColorimetric) : intentIntoProof(settings),
                             !gamut && settings.intent == ProofIntent::RelativeWithBlackPoint};
        const uint32_t back = !gamut && settings.simulatePaper ? IntentAbsoluteColorimetric : IntentRelativeColorimetric;
        const ProfileChain trip{{lab.get(), IntentRelativeColorimetric, false}, into, {proof, back, false}};
        if (!labsThrough(trip, lab.get(), FormatLabFloat, result.data(), other, count)) return none;
    }

    std::vector<uint16_t> table(count);
    for (uint32_t i = 0; i < count; ++i) {
        const CieLab a = labOf(&result[size_t(i) * 3]), b = labOf(&other[size_t(i) * 3]);
        const double d = kind == Difference::GamutDistance ? deltaE76(a, b) : deltaE2000(a, b);
        table[i] = uint16_t(std::clamp(std::lround(d * TableScale), 0L, 65535L));
    }

    PipelinePtr pipeline(newPipeline(nullptr, inputs, 1), &freePipeline);
    Stage* clut = pipeline ? newClut16StageUniform(nullptr, gridPoints, inputs, 1, table.data()) : nullptr;
    if (!clut) return none;
    if (!insertStage(pipeline.get(), AtEnd, clut)) {
        freeStage(clut);
        return none;
    }
    // The table as a device link from the image's space to one gray
    // channel, so that the engine's transform reads the pixels in their own
    // layout, on its fast paths and its worker threads. Eight bits out are
    // enough for a warning and a map, and more than twice as fast.
    ProfilePtr link(createBlankProfile(nullptr), &closeProfile);
    if (!link) return none;
    setProfileDeviceClass(link.get(), ClassLink);
    setProfileColorSpace(link.get(), space);
    setProfilePcs(link.get(), SpaceGray);
    setProfileVersion(link.get(), 0x04300000);
    if (!storeTag(link.get(), sig("A2B0"), pipeline.get())) return none;
    TransformPtr measure(createTransform(link.get(), pixelFormat, nullptr, FormatGray8, IntentPerceptual, 0),
                         &deleteTransform);
    if (!measure) return none;
    none.transform_.reset(measure.release(), &deleteTransform);
    none.bytesPerPixel_ = bytesPerPixel(pixelFormat);
    return none;
}

void DifferenceTable::measure(const void* pixels, uint32_t count, float* differences) const
{
    if (!transform_ || count == 0) return;
    // In slices that stay in the cache.
    constexpr uint32_t Slice = 4096;
    uint8_t values[Slice];
    const auto* in = static_cast<const uint8_t*>(pixels);
    for (uint32_t first = 0; first < count; first += Slice) {
        const uint32_t n = std::min(Slice, count - first);
        doTransform(transform_.get(), in, values, n);
        for (uint32_t i = 0; i < n; ++i) differences[first + i] = float(values[i] / Scale);
        in += size_t(n) * bytesPerPixel_;
    }
}

void DifferenceTable::measureRows(const void* first, uint32_t width, uint32_t rows, uint32_t bytesPerLine,
                                  uint8_t* values) const
{
    if (!transform_ || width == 0 || rows == 0) return;
    doTransformLineStride(transform_.get(), first, values, width, rows, bytesPerLine, width, 0, 0);
}
