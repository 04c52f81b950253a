// The CIE CAM16 colour appearance model: viewing conditions, the model derived
// from them, and the forward (XYZ to correlates) and inverse directions.
//
// The model is immutable once created; forward and inverse only read it, so
// several threads may run them on one model at once. Neither allocates.
#pragma once

#include "osl.h"

#include <cstdint>
#include <memory>

// Viewing-condition values, the model's only input.
struct Cam16Conditions {
    double Xw, Yw, Zw;       // adopted white, on the scale where its Y is Yw (presets: 100)
    double Yb;               // relative luminance of the background, percent
    double La;               // luminance of the adapting field, cd/m²
    double surround;         // continuous: 0 dark, 1 dim, 2 average
    int32_t discounting;     // non-zero: illuminant discounted, D = 1
};

// Appearance correlates.
struct Cam16Correlates {
    double J;   // lightness
    double Q;   // brightness
    double C;   // chroma
    double M;   // colourfulness
    double s;   // saturation
    double h;   // hue angle in degrees, [0, 360)
};

// Which correlates the inverse reads: lightness from J unless Cam16FromQ;
// chroma from C unless Cam16FromM or Cam16FromS (Cam16FromS wins when both).
constexpr uint32_t Cam16FromQ = 0x01;
constexpr uint32_t Cam16FromM = 0x10;
constexpr uint32_t Cam16FromS = 0x20;

// The model derived from a set of conditions. Read-only after creation.
struct Cam16Model {
    EngineContext* context;    // whose allocator holds the model
    CieXyz white;
    double rgbW[3];            // M16 · white
    double d[3];               // per-channel adaptation factors D_R, D_G, D_B
    double inverseD[3];        // 1 / D_i
    double rgbWc[3];           // D_i · rgbW_i
    double rgbAw[3];           // post-adaptation compression of rgbWc
    double La, Yb, Yw;
    double F, c, Nc;           // surround factors
    double surround;
    double n;                  // Yb / Yw
    double Nbb, Ncb;
    double z;
    double FL;                 // luminance-level adaptation factor
    double FLroot4;            // FL^0.25
    double D;                  // degree of adaptation
    double k;
    double Aw;                 // achromatic response of the white

    // Constants of the conditions that forward and inverse would otherwise
    // recompute for every colour; each is the same expression evaluated once.
    double lightnessExponent;  // 0.5 · c · z
    double achromaticExponent; // 2 / c / z
    double chromaFactor;       // (1.64 − 0.29^n)^0.73
    double inverseChromaFactor;// (1.64 − 0.29^n)^−0.73
};

// A new model for the conditions, its memory from the context's allocator
// (null: the global context). Null when the allocation fails or a power of the
// initialisation is not a number.
Cam16Model* createCam16Model(EngineContext* ctx, const Cam16Conditions& conditions);

// Correlates of an XYZ colour on the white's scale. False when a power is not
// a number; `out` is then not to be used.
bool cam16Forward(const Cam16Model* model, const CieXyz& xyz, Cam16Correlates* out);

// XYZ of the correlates chosen by `flags` (h is always read). Non-positive J
// (or Q with Cam16FromQ) is black: (0, 0, 0) and success.
bool cam16Inverse(const Cam16Model* model, uint32_t flags, const Cam16Correlates& in, CieXyz* out);

// Null does nothing.
void freeCam16Model(Cam16Model* model);

using Cam16ModelPtr = std::unique_ptr<Cam16Model, decltype(&freeCam16Model)>;
