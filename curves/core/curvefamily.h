// Curve families: the shapes a channel curve can take, the parameter controls
// each family shows, and the program's own parametric curve types 109 to 114,
// which are handed to the engine as a plug-in so that it evaluates, tabulates,
// stores and reverses them like its built-in types.
#pragma once

#include "osl.h"

#include <array>
#include <cstdint>
#include <vector>

// Single bits, so that a set of families (a family mask) is their OR. Any
// other value names no family: it builds no curve and shows no controls.
enum class CurveFamily : int32_t {
    Preserve = 1,          // identity
    Gamma = 2,             // type 110
    Sigmoidal = 4,         // type 111
    Offset = 8,            // type 112
    Tabulated = 16,        // 16-bit table from a list of values
    PrelinSigmoid = 32,    // type 109, the a*/b* prelinearisation shape
    InverseGamma = 64,     // type 113
    InverseSigmoid = 128,  // type 114
    PointList = 256,       // 4096-sample float table from a list of points
};

using FamilyMask = uint32_t;

constexpr FamilyMask familyBit(CurveFamily f) { return FamilyMask(f); }

// The masks the program offers: the Softproofing channels (all but the
// prelinearisation shape), the CAM16 correlates, and the preferences' shape.
constexpr FamilyMask SoftproofFamilies =
    familyBit(CurveFamily::Preserve) | familyBit(CurveFamily::Gamma) | familyBit(CurveFamily::Sigmoidal) |
    familyBit(CurveFamily::Offset) | familyBit(CurveFamily::Tabulated) | familyBit(CurveFamily::InverseGamma) |
    familyBit(CurveFamily::InverseSigmoid) | familyBit(CurveFamily::PointList);
constexpr FamilyMask Cam16Families = familyBit(CurveFamily::Preserve) | familyBit(CurveFamily::Gamma) |
                                     familyBit(CurveFamily::Sigmoidal) | familyBit(CurveFamily::Offset) |
                                     familyBit(CurveFamily::Tabulated) | familyBit(CurveFamily::PointList);
constexpr FamilyMask PrelinFamilies = familyBit(CurveFamily::PrelinSigmoid);

// The order in which a family selector lists the families of a mask.
constexpr std::array<CurveFamily, 9> FamilySelectorOrder = {
    CurveFamily::Preserve,     CurveFamily::Gamma,          CurveFamily::Sigmoidal,
    CurveFamily::Offset,       CurveFamily::InverseGamma,   CurveFamily::InverseSigmoid,
    CurveFamily::Tabulated,    CurveFamily::PointList,      CurveFamily::PrelinSigmoid,
};

// True for the nine values above.
bool isCurveFamily(int32_t value);

// The families of a mask in selector order.
std::vector<CurveFamily> familiesInMask(FamilyMask mask);

// The selector label of a family ("preserve", "gamma", ...); empty for the
// prelinearisation shape, which is only ever offered alone, and for values
// that name no family.
const char* familyLabel(CurveFamily f);

// How a parameter is edited: the spin box range, step and default, and the
// coupled slider's range and value mapping (the scale modes of SpinnedSlider).
struct ParameterControl {
    bool shown = false;        // visible for this family
    bool configured = false;   // the family sets the range below (a hidden control may still be configured)
    double minimum = 0;
    double maximum = 0;
    double step = 0;
    double defaultValue = 0;
    int scaleMode = 0;
    int sliderMinimum = 0;
    int sliderMaximum = 0;
    bool sliderInverted = false;
};

// The range of the prelinearisation shape. Below 1 the a*/b* grid would
// hardly crowd around the neutral axis at all; the builder never goes there.
constexpr double PrelinShapeMinimum = 1.0;
constexpr double PrelinShapeMaximum = 9.0;

// Spin boxes show two decimals; the value a curve uses is rounded likewise.
constexpr int ParameterDecimals = 2;
// Slider steps shared by every parameter slider.
constexpr int SliderSingleStep = 1;
constexpr int SliderPageStep = 5;

struct FamilyControls {
    ParameterControl value;    // the first control (strength, gamma, shape)
    ParameterControl offset;   // the second control, -1 to 1
    bool dataButton = false;   // the free-form data editor
};

// The controls of a family; all hidden and unconfigured for a value that
// names no family.
FamilyControls familyControls(CurveFamily f);

// ---------------------------------------------------------------------------
// The parametric curve plug-in
// ---------------------------------------------------------------------------

constexpr int32_t PrelinSigmoidType = 109;
constexpr int32_t GammaType = 110;
constexpr int32_t SigmoidalType = 111;
constexpr int32_t OffsetType = 112;
constexpr int32_t InverseGammaType = 113;
constexpr int32_t InverseSigmoidType = 114;

// The evaluator of types ±109 to ±114 (negative: the inverse curve), with the
// parameters P0 (strength, gamma or shape) and P1 (offset control, -1 to 1,
// which moves the curve by P1 / 3). Results are not clamped. Other types give 0.
double evaluateFamilyCurve(int32_t type, const double params[10], double x);

// The 'parH' record declaring the six types with evaluateFamilyCurve.
const PluginParametricCurves& curveFamilyPlugin();

// Registers the record with the global engine context unless the types are
// already known there; safe to call more than once. False when the engine
// refuses the record.
bool registerCurveFamilyPlugin();
