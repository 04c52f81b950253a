#include "app/core/fidelity.h"

#include "app/core/builder.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

constexpr uint32_t RandomPerSpace = 10000;
constexpr uint32_t FloatTableTag = sig("D2B0");
constexpr int FaceGrid = 33;

// RGB colours of one space as Lab: random ones inside the cube, then its faces.
void appendSpaceColours(const char* name, uint32_t seed, std::vector<CieLab>& out)
{
    std::vector<double> rgb;
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (uint32_t i = 0; i < RandomPerSpace * 3; ++i) rgb.push_back(unit(random));
    for (int axis = 0; axis < 3; ++axis) {
        for (int side = 0; side < 2; ++side) {
            for (int i = 0; i < FaceGrid; ++i) {
                for (int j = 0; j < FaceGrid; ++j) {
                    double c[3];
                    c[axis] = side;
                    c[(axis + 1) % 3] = double(i) / (FaceGrid - 1);
                    c[(axis + 2) % 3] = double(j) / (FaceGrid - 1);
                    rgb.insert(rgb.end(), c, c + 3);
                }
            }
        }
    }
    ProfilePtr space = adoptProfile(openProfileByName(QString::fromLatin1(name)));
    ProfilePtr lab = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    TransformPtr t{createTransform(space.get(), FormatRgbDouble, lab.get(), FormatLabDouble,
                                   IntentRelativeColorimetric, XformNoOptimise),
                   &deleteTransform};
    if (!t) return;
    const size_t count = rgb.size() / 3;
    std::vector<CieLab> result(count);
    doTransform(t.get(), rgb.data(), result.data(), uint32_t(count));
    out.insert(out.end(), result.begin(), result.end());
}

// Lab arrays through a Lab-to-Lab transform.
void labThrough(Transform* t, const std::vector<CieLab>& in, std::vector<CieLab>& out)
{
    out.resize(in.size());
    if (!in.empty()) doTransform(t, in.data(), out.data(), uint32_t(in.size()));
}

FidelityFigures figuresOf(std::vector<double> errors)
{
    FidelityFigures f;
    f.colours = errors.size();
    if (errors.empty()) return f;
    double sum = 0;
    for (double e : errors) sum += e;
    f.mean = sum / double(errors.size());
    f.worst = size_t(std::max_element(errors.begin(), errors.end()) - errors.begin());
    std::sort(errors.begin(), errors.end());
    f.max = errors.back();
    const size_t at = size_t(std::ceil(0.95 * double(errors.size()))) - 1;
    f.p95 = errors[std::min(at, errors.size() - 1)];
    return f;
}

Transform* profileTransform(IccProfile* abstract)
{
    return createTransform(abstract, FormatLabDouble, nullptr, FormatLabDouble, IntentPerceptual, XformNoOptimise);
}

// ---------------------------------------------------------------------------
// Curves beyond 0 … 1
// ---------------------------------------------------------------------------

// A curve carried on past its ends: a parametric curve by its own formula
// above 1 and point-symmetric about its start below 0; any other along its
// first and last table intervals.
double curveBeyond(const ToneCurve* curve, double x)
{
    auto at = [curve](double v) { return double(evalCurveFloat(curve, float(v))); };
    if (parametricTypeOf(curve) != 0) return x >= 0 ? at(x) : 2.0 * at(0) - at(-x);
    const uint32_t entries = tableEntryCount(curve);
    const double h = 1.0 / double(entries > 1 ? entries - 1 : 4095);
    if (x < 0) return at(0) + (at(h) - at(0)) / h * x;
    if (x > 1) return at(1) + (at(1) - at(1 - h)) / h * (x - 1);
    return at(x);
}

// The x at which a monotonic curve (carried on as above) reaches y, by bisection.
double curveInverse(const ToneCurve* curve, double y)
{
    const bool rising = curveBeyond(curve, 1) >= curveBeyond(curve, 0);
    auto below = [&](double x) { return rising ? curveBeyond(curve, x) < y : curveBeyond(curve, x) > y; };
    double lo = -1, hi = 2;
    for (int i = 0; i < 60 && !below(lo); ++i) lo *= 2;
    for (int i = 0; i < 60 && below(hi); ++i) hi *= 2;
    for (int i = 0; i < 64; ++i) {
        const double mid = 0.5 * (lo + hi);
        (below(mid) ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

// ---------------------------------------------------------------------------
// The exact recipes
// ---------------------------------------------------------------------------

// Through the recipe's own colour chain, colour by colour.
class ChainRecipe : public ExactRecipe {
public:
    ChainRecipe(ProfilePtr space, ProfilePtr link, std::vector<CurvePtr> curves, Transform* t)
        : space_(std::move(space)), link_(std::move(link)), curves_(std::move(curves)), transform_(t, &deleteTransform)
    {
    }
    void apply(const std::vector<CieLab>& in, std::vector<CieLab>& out) const override
    {
        labThrough(transform_.get(), in, out);
    }

private:
    ProfilePtr space_, link_;
    std::vector<CurvePtr> curves_;
    TransformPtr transform_;
};

class Cam16Recipe : public ExactRecipe {
public:
    Cam16Recipe(Cam16ModelPtr source, Cam16ModelPtr destination, uint32_t flags, std::vector<CurvePtr> curves)
        : source_(std::move(source)), destination_(std::move(destination)), curves_(std::move(curves))
    {
        cargo_.source = source_.get();
        cargo_.destination = destination_.get();
        cargo_.flags = flags;
        for (size_t i = 0; i < 3 && i < curves_.size(); ++i) cargo_.curves[i] = curves_[i].get();
    }
    void apply(const std::vector<CieLab>& in, std::vector<CieLab>& out) const override
    {
        out.resize(in.size());
        for (size_t i = 0; i < in.size(); ++i) out[i] = cam16Recipe(cargo_, in[i]);
    }

private:
    Cam16ModelPtr source_, destination_;
    std::vector<CurvePtr> curves_;
    Cam16SamplerCargo cargo_;
};

// A .cube table in a matrix-shaper RGB space, in double.
class CubeRecipe : public ExactRecipe {
public:
    // False when the space is not a matrix shaper or the table not a plain
    // 3D table (with or without shaper curves).
    bool init(ProfilePtr space, ProfilePtr link)
    {
        space_ = std::move(space);
        link_ = std::move(link);
        if (!isMatrixShaper(space_.get()) || profileColorSpace(space_.get()) != SpaceRgb) return false;
        const uint32_t colorants[3] = {sig("rXYZ"), sig("gXYZ"), sig("bXYZ")};
        const uint32_t trcs[3] = {sig("rTRC"), sig("gTRC"), sig("bTRC")};
        for (int c = 0; c < 3; ++c) {
            const auto* xyz = static_cast<const CieXyz*>(loadTag(space_.get(), colorants[c]));
            trc_[c] = static_cast<const ToneCurve*>(loadTag(space_.get(), trcs[c]));
            if (!xyz || !trc_[c]) return false;
            toXyz_.m[c] = xyz->X;
            toXyz_.m[3 + c] = xyz->Y;
            toXyz_.m[6 + c] = xyz->Z;
        }
        if (!invert3x3(toXyz_, &fromXyz_)) return false;

        const auto* table = static_cast<const Pipeline*>(loadTag(link_.get(), sig("A2B0")));
        if (!table) return false;
        for (Stage* s = pipelineFirstStage(table); s; s = stageNext(s)) {
            if (stageKind(s) == StageCurvesKind && !clut_ && stageInputs(s) == 3) {
                shaper_ = stageCurves(s);
            } else if (stageKind(s) == StageClutKind && !clut_ && clutIsFloat(s) && stageInputs(s) == 3 &&
                       stageOutputs(s) == 3) {
                clut_ = s;
            } else {
                return false;
            }
        }
        if (!clut_) return false;
        const uint32_t* grid = clutGridPoints(clut_);
        n_ = grid[0];
        return grid[1] == n_ && grid[2] == n_ && n_ >= 2;
    }

    void apply(const std::vector<CieLab>& in, std::vector<CieLab>& out) const override
    {
        out.resize(in.size());
        for (size_t i = 0; i < in.size(); ++i) out[i] = one(in[i]);
    }

private:
    CieLab one(const CieLab& lab) const
    {
        const CieXyz xyz = labToXyz(nullptr, lab);
        const Vec3 linear = apply3x3(fromXyz_, Vec3{{xyz.X, xyz.Y, xyz.Z}});
        double rgb[3];
        for (int c = 0; c < 3; ++c) {
            rgb[c] = curveInverse(trc_[c], linear.v[c]);
            if (shaper_) rgb[c] = curveBeyond(shaper_[c], rgb[c]);
        }
        double looked[3];
        lookUp(rgb, looked);
        Vec3 back;
        for (int c = 0; c < 3; ++c) back.v[c] = curveBeyond(trc_[c], looked[c]);
        const Vec3 result = apply3x3(toXyz_, back);
        return xyzToLab(nullptr, CieXyz{result.v[0], result.v[1], result.v[2]});
    }

    // Node (r, g, b), output channel c (red, green, blue).
    double node(uint32_t r, uint32_t g, uint32_t b, int c) const
    {
        const float* t = clutTableFloat(clut_);
        const size_t index = (size_t(r) * n_ + g) * n_ + b;
        return t[index * 3 + size_t(c)];
    }

    // Tetrahedral interpolation; beyond the domain the edge cell's
    // tetrahedra carry on linearly.
    void lookUp(const double rgb[3], double out[3]) const
    {
        uint32_t cell[3];
        double f[3];
        for (int i = 0; i < 3; ++i) {
            const double p = rgb[i] * double(n_ - 1);
            const double base = std::clamp(std::floor(p), 0.0, double(n_ - 2));
            cell[i] = uint32_t(base);
            f[i] = p - base;
        }
        int order[3] = {0, 1, 2};
        std::sort(order, order + 3, [&](int a, int b) { return f[a] > f[b]; });
        for (int c = 0; c < 3; ++c) {
            uint32_t at[3] = {cell[0], cell[1], cell[2]};
            double previous = node(at[0], at[1], at[2], c);
            double value = previous;
            for (int k = 0; k < 3; ++k) {
                ++at[order[k]];
                const double next = node(at[0], at[1], at[2], c);
                value += (next - previous) * f[order[k]];
                previous = next;
            }
            out[c] = value;
        }
    }

    ProfilePtr space_{nullptr, &closeProfile}, link_{nullptr, &closeProfile};
    Mat3 toXyz_{}, fromXyz_{};
    const ToneCurve* trc_[3] = {};
    ToneCurve* const* shaper_ = nullptr;
    Stage* clut_ = nullptr;
    uint32_t n_ = 0;
};

std::vector<CurvePtr> builtCurves(const ChannelCurve* curves, size_t count)
{
    std::vector<CurvePtr> out;
    for (size_t i = 0; i < count; ++i) out.emplace_back(curves[i].buildCurve(), &freeCurve);
    return out;
}

}   // namespace

const std::vector<CieLab>& fidelityColours()
{
    static const std::vector<CieLab> colours = [] {
        std::vector<CieLab> c;
        appendSpaceColours("*srgb", 17, c);
        appendSpaceColours("*argb", 18, c);
        return c;
    }();
    return colours;
}

std::unique_ptr<ExactRecipe> ExactRecipe::forRecipe(const Recipe& recipe, const ProfileOpener& open, QString* error)
{
    auto failed = [error](const QString& why) -> std::unique_ptr<ExactRecipe> {
        if (error) *error = why;
        return nullptr;
    };
    switch (recipe.tab) {
    case RecipeTab::Softproof: {
        ProfilePtr space = adoptProfile(recipe.softproofProfile.isEmpty() ? nullptr : open(recipe.softproofProfile));
        if (!space) return failed(spaceUnavailableMessage(recipe));
        const uint32_t colorSpace = profileColorSpace(space.get());
        const uint32_t channels = softproofChannelCount(colorSpace);
        std::vector<CurvePtr> curves = builtCurves(recipe.channels.data(), channels);
        const ToneCurve* raw[SoftproofChannels] = {};
        for (uint32_t i = 0; i < channels; ++i) raw[i] = curves[i].get();
        ProfilePtr link = adoptProfile(channels ? createLinearizationLink(nullptr, colorSpace, raw) : nullptr);
        Transform* t = createLabChainTransform(space.get(), link.get(), recipe.softproofIntent);
        if (!t) return failed(BuilderText::InternalError);
        return std::make_unique<ChainRecipe>(std::move(space), std::move(link), std::move(curves), t);
    }
    case RecipeTab::Cam16: {
        const ViewingConditionsEntry* destination = recipe.destinationConditions();
        if (!recipe.sourceConditions || !destination) return failed(BuilderText::InternalError);
        Cam16ModelPtr source{createCam16Model(nullptr, recipe.sourceConditions->values), &freeCam16Model};
        Cam16ModelPtr dest{createCam16Model(nullptr, destination->values), &freeCam16Model};
        if (!source || !dest) return failed(BuilderText::InternalError);
        return std::make_unique<Cam16Recipe>(std::move(source), std::move(dest), recipe.correlateFlags(),
                                             builtCurves(recipe.correlates.data(), CorrelateCount));
    }
    case RecipeTab::CubeImport: {
        ProfilePtr space = adoptProfile(recipe.lutProfile.isEmpty() ? nullptr : open(recipe.lutProfile));
        if (!space) return failed(spaceUnavailableMessage(recipe));
        const QByteArray file = QFile::encodeName(recipe.cubeFile);
        ProfilePtr raw = adoptProfile(recipe.cubeFile.isEmpty() ? nullptr : readCubeFile(file.constData()));
        if (!raw) return failed(BuilderText::CubeUnreadable + recipe.cubeFile);
        if (recipe.lutIntent != 2) {
            auto cube = std::make_unique<CubeRecipe>();
            ProfilePtr again = adoptProfile(open(recipe.lutProfile));
            if (cube->init(std::move(again), std::move(raw))) return cube;
        }
        ProfilePtr link = adoptProfile(readCubeDeviceLink(recipe.cubeFile));
        Transform* t = createLabChainTransform(space.get(), link.get(), recipe.lutIntent);
        if (!t) return failed(BuilderText::InternalError);
        return std::make_unique<ChainRecipe>(std::move(space), std::move(link), std::vector<CurvePtr>{}, t);
    }
    }
    return failed(BuilderText::InternalError);
}

namespace {

// How far the float table's nodes reach along a* and b*: where its node
// curves (first stage, real Lab in) reach their first and last node, the
// ends of their middle segments. False when the table is not of that kind.
bool floatTableReach(IccProfile* abstract, double low[3], double high[3])
{
    const auto* table = static_cast<const Pipeline*>(loadTag(abstract, FloatTableTag));
    const Stage* first = table ? pipelineFirstStage(table) : nullptr;
    if (!first || stageKind(first) != StageCurvesKind || stageInputs(first) != 3) return false;
    ToneCurve* const* curves = stageCurves(first);
    for (int c = 0; c < 3; ++c) {
        const uint32_t n = curveSegmentCount(curves[c]);
        if (n < 3) return false;
        low[c] = curveSegment(curves[c], 0)->x1;
        high[c] = curveSegment(curves[c], n - 1)->x0;
    }
    return true;
}

}   // namespace

FidelityFigures measureFidelity(IccProfile* abstract, const ExactRecipe& exact, const std::vector<CieLab>& colours)
{
    TransformPtr t{profileTransform(abstract), &deleteTransform};
    if (!t) return {};
    std::vector<CieLab> built, wanted;
    labThrough(t.get(), colours, built);
    exact.apply(colours, wanted);
    // A 16-bit table cannot hold more than the Lab box: that much of the
    // recipe is what it is measured against. A float table holds the recipe
    // within the plausible range, L* 0 … 100 and a*, b* as far as its nodes
    // reach (one node beyond the box).
    double low[3], high[3];
    if (!hasTag(abstract, FloatTableTag)) {
        for (CieLab& lab : wanted) lab = intoLabBox(lab);
    } else if (floatTableReach(abstract, low, high)) {
        for (CieLab& lab : wanted)
            lab = CieLab{std::clamp(lab.L, 0.0, 100.0), std::clamp(lab.a, low[1], high[1]),
                         std::clamp(lab.b, low[2], high[2])};
    }
    std::vector<double> errors(colours.size());
    for (size_t i = 0; i < colours.size(); ++i) errors[i] = deltaE76(built[i], wanted[i]);
    return figuresOf(std::move(errors));
}

FidelityFigures compareProfiles(IccProfile* a, IccProfile* b, const std::vector<CieLab>& colours)
{
    TransformPtr ta{profileTransform(a), &deleteTransform}, tb{profileTransform(b), &deleteTransform};
    if (!ta || !tb) return {};
    std::vector<CieLab> ra, rb;
    labThrough(ta.get(), colours, ra);
    labThrough(tb.get(), colours, rb);
    std::vector<double> errors(colours.size());
    for (size_t i = 0; i < colours.size(); ++i) errors[i] = deltaE76(ra[i], rb[i]);
    return figuresOf(std::move(errors));
}

ProfilePtr sixteenBitCopy(IccProfile* profile)
{
    ProfilePtr copy = savedCopy(profile);
    if (copy && hasTag(copy.get(), FloatTableTag) && !storeTag(copy.get(), FloatTableTag, nullptr)) copy.reset();
    return copy;
}

ProfilePtr savedCopy(IccProfile* profile)
{
    uint32_t size = 0;
    if (!profile || !saveToMemory(profile, nullptr, &size) || size == 0) return adoptProfile(nullptr);
    std::vector<char> bytes(size);
    if (!saveToMemory(profile, bytes.data(), &size)) return adoptProfile(nullptr);
    return adoptProfile(openFromMemory(bytes.data(), size));
}
