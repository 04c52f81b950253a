#include "curves/core/sliderscale.h"

#include <algorithm>
#include <cmath>

namespace {

// The logarithmic scale: v = A · e^(B·p), p = C · ln(D · v), with C = 1 / B
// and D = 1 / A to the digits the scale has always used.
constexpr double GammaA = 0.248567;
constexpr double GammaB = 0.0277842;
constexpr double GammaC = 35.9917;
constexpr double GammaD = 4.023060180957247;

// Far enough for any slider, near enough to convert to int safely.
constexpr double FarEnd = 1 << 30;

int nearestPosition(double p)
{
    if (std::isnan(p)) return 0;
    return int(std::round(std::clamp(p, -FarEnd, FarEnd)));   // halves away from zero
}

} // namespace

double sliderToValue(int scaleMode, int position)
{
    switch (scaleMode) {
    case LogarithmicGamma: return GammaA * std::exp(GammaB * position);
    case LinearStrength:
    case LinearShape: return position * 9.0 / 100.0;
    default: return position / 100.0;
    }
}

int valueToSlider(int scaleMode, double value)
{
    if (std::isnan(value)) return 0;
    switch (scaleMode) {
    case LogarithmicGamma:
        // log of zero or less is -inf or NaN: the far left end.
        return value > 0.0 ? nearestPosition(GammaC * std::log(GammaD * value)) : nearestPosition(-FarEnd);
    case LinearStrength:
    case LinearShape: return nearestPosition(value * 100.0 / 9.0);
    default: return nearestPosition(value * 100.0);
    }
}
