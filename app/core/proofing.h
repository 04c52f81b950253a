// Proofing the preview against an output profile: the settings the user
// chooses (the proof profile with its intent, paper simulation, the gamut
// warning), the chain of profiles the preview is shown through, and tables
// over an image's colours that say how far each colour moves: outside the
// proof profile's gamut, under the look, or through the proof.
//
// Plain C++ over the engine, with Qt Core for the settings.
#pragma once

#include "app/core/samplers.h"
#include "osl.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class QSettings;

namespace ProofText {
inline constexpr char ProofProfile[] = "Proof profile…";
inline constexpr char GamutWarning[] = "Gamut warning";
inline constexpr char SimulatePaper[] = "Simulate paper";
inline constexpr char Split[] = "Split";
inline constexpr char Compare[] = "Compare";
}   // namespace ProofText

// The proof's rendering intent as the intent combos offer it.
enum class ProofIntent { Perceptual = 0, RelativeColorimetric = 1, RelativeWithBlackPoint = 2, Saturation = 3 };

struct ProofSettings {
    bool enabled = false;            // the preview is proofed at all
    QString profile;                 // by name: a built-in ("*...") or a path
    ProofIntent intent = ProofIntent::RelativeWithBlackPoint;
    bool simulatePaper = false;      // paper white and black shown as they are, not mapped to the display's
    bool gamutWarning = false;
    double gamutTolerance = 2.0;     // ΔE76 a colour may move through the proof and count as reproduced
    uint32_t warningColour = 0xFF00FF;   // 0xRRGGBB

    // With no stored choice, `fallbackProfile` (the Softproofing tab's colour
    // space when it is an output profile, else empty) is proofed against.
    static ProofSettings read(const QSettings& settings, const QString& fallbackProfile = {});
    void write(QSettings& settings) const;
    bool operator==(const ProofSettings&) const = default;
};

// One profile of a chain with the intent its table is chosen by and whether
// black-point compensation joins it to the profile before.
struct ChainLink {
    IccProfile* profile = nullptr;
    uint32_t intent = IntentPerceptual;
    bool blackPointCompensation = false;
};
using ProfileChain = std::vector<ChainLink>;

// The preview's chain: image → look (none: the image as it is) → display,
// and when `proof` is given image → look → proof device → back → display,
// into the proof with its intent, out of it relative colorimetric (absolute
// when the paper is simulated).
ProfileChain previewChain(IccProfile* image, IccProfile* look, IccProfile* proof, const ProofSettings& settings,
                          IccProfile* display);

// A transform over a chain of links; null when any profile is missing or
// the engine cannot link them.
TransformPtr makeChainTransform(const ProfileChain& chain, uint32_t inputFormat, uint32_t outputFormat,
                                uint32_t flags);

// CIEDE2000 colour difference (G. Sharma, W. Wu, E. N. Dalal, "The CIEDE2000
// color-difference formula: implementation notes, supplementary test data,
// and mathematical observations", Color Res. Appl. 30 (2005) 21-30), with
// kL = kC = kH = 1.
double deltaE2000(const CieLab& a, const CieLab& b);

// The false colours of the look-strength and proof-error maps: a difference
// takes the colour between the two stops around it (linearly in each
// component), and beyond the last stop the last colour.
struct DifferenceStop {
    double deltaE;
    uint32_t rgb;   // 0xRRGGBB
};
inline constexpr DifferenceStop DifferenceScale[] = {{0, 0x101040}, {1, 0x2060FF}, {2, 0x00C8FF},
                                                     {4, 0x20E040}, {8, 0xFFE000}, {16, 0xFF2000}};
uint32_t differenceColour(double deltaE);

// What a difference table measures for each colour of the image.
enum class Difference {
    GamutDistance,   // ΔE76 of the result to its round trip through the proof profile (relative colorimetric)
    LookStrength,    // ΔE00 of the original to the result
    ProofError,      // ΔE00 of the result to what the proof shows of it (the proof's intent)
};

// A table over the image's colour space, sampled on a grid and read by the
// engine's interpolation, that gives one difference for every colour: the
// engine's gamut check, with a tolerance of the user's and a measure of its
// choice. Move-only; the engine's objects go with it.
class DifferenceTable {
public:
    DifferenceTable() = default;
    // `toResult` leads from the image's space to the result (the image
    // profile and the look); `proof` is needed for the gamut distance and
    // the proof error. `pixelFormat` is the engine layout the measured
    // pixels come in. Null when the chain or the proof cannot be linked.
    static DifferenceTable make(Difference kind, const ProfileChain& toResult, IccProfile* proof,
                                const ProofSettings& settings, uint32_t pixelFormat, uint32_t gridPoints);

    bool isNull() const { return !transform_; }
    // The difference of each of `count` pixels of the layout given to make,
    // in ΔE units (steps of 1/Scale, at most Largest).
    void measure(const void* pixels, uint32_t count, float* differences) const;
    // The same over `rows` rows of `width` pixels, `bytesPerLine` apart, in
    // steps (ΔE × Scale), `width` values a row, in one engine call.
    void measureRows(const void* first, uint32_t width, uint32_t rows, uint32_t bytesPerLine,
                     uint8_t* values) const;

    // Steps per ΔE (the table holds ΔE × 2048, read back in 8 bits), and
    // the largest difference measured.
    static constexpr double Scale = 2048.0 / 257.0;
    static constexpr double Largest = 255.0 / Scale;

private:
    // The image's pixels through a device link holding the table, to one
    // 8-bit value each.
    std::shared_ptr<Transform> transform_;
    uint32_t bytesPerPixel_ = 0;
};
