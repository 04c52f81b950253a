// Looks the format tests read and write: an analytic one, smooth and
// channel-mixing, and a strong one like a film emulation (lifted blacks,
// crushed highlights, teal shadows and orange skin, desaturated greens),
// both as functions and sampled into tables; and random colours.
#pragma once

#include "app/core/lutformats/lut3d.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace looks {

using Rgb = std::array<double, 3>;

inline Rgb analytic(const Rgb& c)
{
    return {0.05 + 0.85 * std::pow(c[0], 0.8) + 0.1 * c[1] * c[2], 0.9 * c[1] + 0.1 * c[0] * c[0],
            0.1 + 0.7 * c[2] + 0.15 * std::sin(3.0 * c[0])};
}

inline Rgb strong(const Rgb& c)
{
    const double luma = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
    const double s = 1 / (1 + std::exp(-8 * (luma - 0.45)));   // contrast curve
    const double s0 = 1 / (1 + std::exp(3.6)), s1 = 1 / (1 + std::exp(-4.4));
    const double tone = 0.04 + 0.9 * (s - s0) / (s1 - s0);
    Rgb out;
    for (size_t i = 0; i < 3; ++i) out[i] = tone + 1.15 * (c[i] - luma);
    out[0] += 0.06 * (tone - 0.5);        // orange highlights, teal shadows
    out[2] -= 0.08 * (tone - 0.5);
    out[1] -= 0.25 * std::max(0.0, c[1] - std::max(c[0], c[2]));   // quieter greens
    return out;
}

template <typename Look>
lutformats::Lut3D sampled(Look look, uint32_t n)
{
    lutformats::Lut3D lut = lutformats::identityLut(n);
    for (size_t i = 0; i < lut.data.size(); i += 3) {
        const Rgb v = look(Rgb{lut.data[i], lut.data[i + 1], lut.data[i + 2]});
        for (size_t c = 0; c < 3; ++c) lut.data[i + c] = float(v[c]);
    }
    lut.title = "Look";
    return lut;
}

inline std::vector<Rgb> randomColours(size_t count, unsigned seed = 7)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Rgb> out(count);
    for (Rgb& c : out) c = {u(rng), u(rng), u(rng)};
    return out;
}

// Largest difference between two tables' node values.
inline double largestDifference(const lutformats::Lut3D& a, const lutformats::Lut3D& b)
{
    if (a.data.size() != b.data.size()) return HUGE_VAL;
    double d = 0;
    for (size_t i = 0; i < a.data.size(); ++i) d = std::max(d, std::fabs(double(a.data[i]) - b.data[i]));
    return d;
}

// The same table with its values held within 0 … 1 and rounded to a depth.
inline lutformats::Lut3D quantised(lutformats::Lut3D lut, double top)
{
    for (float& v : lut.data) v = float(std::round(std::clamp(double(v), 0.0, 1.0) * top) / top);
    return lut;
}

}   // namespace looks
