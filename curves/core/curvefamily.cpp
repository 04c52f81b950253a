#include "curves/core/curvefamily.h"

#include "curves/core/sliderscale.h"

#include <cmath>
#include <mutex>

// ---------------------------------------------------------------------------
// Families and their controls
// ---------------------------------------------------------------------------

bool isCurveFamily(int32_t value)
{
    for (CurveFamily f : FamilySelectorOrder)
        if (int32_t(f) == value) return true;
    return false;
}

std::vector<CurveFamily> familiesInMask(FamilyMask mask)
{
    std::vector<CurveFamily> out;
    for (CurveFamily f : FamilySelectorOrder)
        if (mask & familyBit(f)) out.push_back(f);
    return out;
}

const char* familyLabel(CurveFamily f)
{
    switch (f) {
    case CurveFamily::Preserve: return "preserve";
    case CurveFamily::Gamma: return "gamma";
    case CurveFamily::Sigmoidal: return "sigmoidal  ";
    case CurveFamily::Offset: return "offset";
    case CurveFamily::Tabulated: return "Tabulated";
    case CurveFamily::InverseGamma: return "inverse gamma";
    case CurveFamily::InverseSigmoid: return "inverse sigmoid";
    case CurveFamily::PointList: return "Point list";
    case CurveFamily::PrelinSigmoid: break;
    }
    return "";
}

namespace {

// The offset pair of every family that has one.
constexpr ParameterControl OffsetControl{.shown = true, .configured = true, .minimum = -1, .maximum = 1,
                                         .step = 0.01, .defaultValue = 0, .scaleMode = LinearHundredths,
                                         .sliderMinimum = -100, .sliderMaximum = 100};

} // namespace

FamilyControls familyControls(CurveFamily f)
{
    FamilyControls c;
    switch (f) {
    case CurveFamily::Gamma:
    case CurveFamily::InverseGamma:
        // Larger gammas to the left: the slider is drawn inverted.
        c.value = {.shown = true, .configured = true, .minimum = 0.25, .maximum = 4.0, .step = 0.01,
                   .defaultValue = 1.0, .scaleMode = LogarithmicGamma, .sliderMinimum = 1, .sliderMaximum = 100,
                   .sliderInverted = true};
        c.offset = OffsetControl;
        break;
    case CurveFamily::Sigmoidal:
    case CurveFamily::InverseSigmoid:
        c.value = {.shown = true, .configured = true, .minimum = -9, .maximum = 9, .step = 0.1, .defaultValue = 0,
                   .scaleMode = LinearStrength, .sliderMinimum = -100, .sliderMaximum = 100};
        c.offset = OffsetControl;
        break;
    case CurveFamily::Offset:
        // The value pair is hidden, but still keeps the value within -1 to 1.
        c.value = {.shown = false, .configured = true, .minimum = -1, .maximum = 1, .step = 0.01, .defaultValue = 0,
                   .scaleMode = LinearHundredths, .sliderMinimum = -100, .sliderMaximum = 100};
        c.offset = OffsetControl;
        break;
    case CurveFamily::Tabulated:
    case CurveFamily::PointList:
        c.dataButton = true;
        break;
    case CurveFamily::PrelinSigmoid:
        // The slider's left end, 0.99, shows as the lowest shape.
        c.value = {.shown = true, .configured = true, .minimum = PrelinShapeMinimum, .maximum = PrelinShapeMaximum,
                   .step = 0.1, .defaultValue = 2.5, .scaleMode = LinearShape, .sliderMinimum = 11,
                   .sliderMaximum = 100};
        break;
    case CurveFamily::Preserve:
        break;
    }
    return c;
}

// ---------------------------------------------------------------------------
// Evaluator of types 109 to 114
// ---------------------------------------------------------------------------

namespace {

// Beyond the asymptotes of the sigmoid its inverse saturates to the ends of
// the real line as curves store them, rather than becoming NaN.
constexpr double Huge = double(PlusInfinity);

// Below this strength the sigmoid is the identity to double precision, and the
// scale K(c) would lose all its digits.
constexpr double FlatStrength = 1e-6;

double logistic(double z) { return 1.0 / (1.0 + std::exp(-z)); }

// K(c): stretches the logistic over [-c, c] so that S passes through 0 and 1.
double sigmoidScale(double c) { return 0.5 / (logistic(c) - 0.5); }

// S(x; c): the S-shaped contrast curve through (0, 0), (0.5, 0.5), (1, 1),
//   S(x; c) = (σ(c (2x - 1)) - 1/2) · K(c) + 1/2,  σ(z) = 1 / (1 + e^(-z)),
// with K(c) = (1/2) / (σ(c) - 1/2). Even in c.
double sigmoid(double x, double c)
{
    if (std::fabs(c) < FlatStrength) return x;
    return (logistic(c * (2.0 * x - 1.0)) - 0.5) * sigmoidScale(c) + 0.5;
}

// S⁻¹(y; c), the inverse of S(·; c) for any real x; even in c:
//   S⁻¹(y; c) = (1 - ln(1/u - 1) / c) / 2,  u = (y - 1/2) / K(c) + 1/2.
double sigmoidInverse(double y, double c)
{
    c = std::fabs(c);
    if (c < FlatStrength) return y;
    const double u = (y - 0.5) / sigmoidScale(c) + 0.5;   // the logistic value S reached
    if (u <= 0.0) return -Huge;
    if (u >= 1.0) return Huge;
    return 0.5 * (1.0 - std::log(1.0 / u - 1.0) / c);
}

// A positive strength raises contrast around the middle, a negative one
// flattens it (the inverse sigmoid); then the curve is moved by o.
double shape(double x, double c, double o)
{
    if (c == 0.0) return x + o;
    return (c > 0.0 ? sigmoid(x, c) : sigmoidInverse(x, c)) + o;
}

// The inverse of shape(·; c, o): undo the move first, then the contrast.
double shapeInverse(double y, double c, double o)
{
    return shape(y - o, -c, 0.0);
}

bool unitExponent(double g) { return std::fabs(g - 1.0) < 0.0001; }

double power(double x, double g, double o)
{
    if (x >= 0.0) return std::pow(x, g) + o;
    return unitExponent(g) ? x + o : o;
}

// The inverse of power(·; g, o). Below the curve's foot (y < o) only the
// straight line of a unit exponent reaches; elsewhere the answer is 0.
double powerInverse(double y, double g, double o)
{
    const double t = y - o;
    if (t >= 0.0) return std::pow(t, 1.0 / g);
    return unitExponent(g) ? t : 0.0;
}

} // namespace

double evaluateFamilyCurve(int32_t type, const double params[10], double x)
{
    const double p = params[0];
    const double o = params[1] / 3.0;   // the offset control moves a curve by at most a third
    switch (type) {
    case PrelinSigmoidType: return p == 0.0 ? x : sigmoid(x, p);
    case -PrelinSigmoidType: return p == 0.0 ? x : sigmoidInverse(x, p);
    case GammaType: return power(x, p, o);
    case -GammaType: return powerInverse(x, p, o);
    case SigmoidalType: return p == 0.0 ? x : shape(x, p, o);
    case -SigmoidalType: return p == 0.0 ? x : shapeInverse(x, p, o);
    case OffsetType: return p == 0.0 ? x : x + p / 3.0;
    case -OffsetType: return p == 0.0 ? x : x - p / 3.0;
    case InverseGammaType: return 1.0 - power(x, 1.0 / p, o);
    case -InverseGammaType: return powerInverse(1.0 - x, 1.0 / p, o);
    case InverseSigmoidType: return 1.0 - shape(x, p, o);
    case -InverseSigmoidType: return shapeInverse(1.0 - x, p, o);
    default: return 0.0;
    }
}

// ---------------------------------------------------------------------------
// The plug-in record
// ---------------------------------------------------------------------------

namespace {

// The engine version the record was written for.
constexpr uint32_t PluginEngineVersion = 2160;

PluginParametricCurves makePlugin()
{
    PluginParametricCurves plugin{};
    plugin.base = {PluginMagic, PluginEngineVersion, PluginParametricCurveSig, nullptr};
    plugin.functionCount = 6;
    const int32_t types[] = {PrelinSigmoidType, GammaType,        SigmoidalType,
                             OffsetType,        InverseGammaType, InverseSigmoidType};
    const uint32_t counts[] = {1, 2, 2, 1, 2, 2};
    for (uint32_t i = 0; i < plugin.functionCount; ++i) {
        plugin.functionTypes[i] = types[i];
        plugin.parameterCounts[i] = counts[i];
    }
    plugin.evaluator = evaluateFamilyCurve;
    return plugin;
}

// Whether the global context already knows the types. The engine has a
// sigmoid 109 of its own but none of 110 to 114, which only arrive with this
// record.
bool familyTypesRegistered(const PluginParametricCurves& plugin)
{
    for (uint32_t i = 0; i < plugin.functionCount; ++i) {
        const int32_t type = plugin.functionTypes[i];
        if (type != PrelinSigmoidType && parametricParameterCount(nullptr, type) != plugin.parameterCounts[i])
            return false;
    }
    return true;
}

} // namespace

const PluginParametricCurves& curveFamilyPlugin()
{
    static const PluginParametricCurves plugin = makePlugin();
    return plugin;
}

bool registerCurveFamilyPlugin()
{
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (familyTypesRegistered(curveFamilyPlugin())) return true;
    // The engine copies the record, so the chain link of a local copy is free to use.
    PluginParametricCurves record = curveFamilyPlugin();
    return registerPlugins(nullptr, &record);
}
