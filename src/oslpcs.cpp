// Colour-space arithmetic: XYZ, xyY, Lab and LCh, the 16-bit Lab and XYZ
// encodings, ΔE and the rectangular a*/b* clamp.
#include "oslinternal.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double Pi = 3.14159265358979323846;

// The CIE Lab companding function and its inverse, with the linear toe below
// (6/29)³ in XYZ or 6/29 in the companded domain (ISO/CIE 11664-4:2019, CIE
// 1976 L*a*b* colour space):
//   f(t) = t^(1/3) for t > (6/29)³, else (1/3)(29/6)² t + 4/29
//   f⁻¹(u) = u³ for u > 6/29, else 3 (6/29)² (u - 4/29)
constexpr double LabEpsilon = 0.008856451679035631;   // (6/29)³
constexpr double LabSlope = 7.787037037037037;        // (29/6)² / 3
constexpr double LabOffset = 0.13793103448275862;     // 4/29
constexpr double LabKnee = 0.20689655172413793;       // 6/29
constexpr double LabInverseSlope = 0.12841854934601665;   // 3·(6/29)²

double labCompand(double t)
{
    return t > LabEpsilon ? std::cbrt(t) : LabSlope * t + LabOffset;
}

// A cube root good to about 14 significant digits, five times quicker than
// the library's: a first guess from the exponent bits (within 4 %), then two
// Halley steps, each cubing the error.
double quickLabCompand(double t)
{
    if (!(t > LabEpsilon)) return LabSlope * t + LabOffset;
    if (!(t < 1e100)) return std::cbrt(t);
    uint64_t bits;
    std::memcpy(&bits, &t, sizeof bits);
    bits = bits / 3 + 0x2A9F7893782DA1CEull;
    double y;
    std::memcpy(&y, &bits, sizeof y);
    for (int step = 0; step < 2; ++step) {
        const double y3 = y * y * y;
        y *= (y3 + 2.0 * t) / (2.0 * y3 + t);
    }
    return y;
}

double labExpand(double t)
{
    return t > LabKnee ? t * t * t : (t - LabOffset) * LabInverseSlope;
}

// Clamps into [lo, hi]; NaN becomes lo.
double clampTo(double v, double lo, double hi)
{
    if (!(v >= lo)) return lo;
    return v > hi ? hi : v;
}

// Rounds half up and saturates into a 16-bit word; NaN becomes 0.
uint16_t toWord(double v)
{
    const double r = std::floor(v + 0.5);
    if (!(r >= 0)) return 0;
    if (r >= 65535.0) return 65535;
    return uint16_t(r);
}

// Hue angle of (a, b) in degrees, folded into [0, 360).
double hueDegrees(double a, double b)
{
    if (a == 0 && b == 0) return 0;
    double h = std::atan2(b, a) * (180.0 / Pi);
    if (h < 0) h += 360.0;
    if (h >= 360.0) h -= 360.0;
    return h;
}

bool inRange(double v, double lo, double hi)
{
    return v >= lo && v <= hi;
}

} // namespace

// ---------------------------------------------------------------------------
// XYZ, xyY, Lab and LCh
// ---------------------------------------------------------------------------

CieXyz xyYToXyz(const CieXyY& c)
{
    // A zero y has no defined XYZ; give black rather than infinities.
    if (c.y == 0) return CieXyz{0, 0, 0};
    return CieXyz{c.x / c.y * c.Y, c.Y, (1.0 - c.x - c.y) / c.y * c.Y};
}

CieXyY xyzToXyY(const CieXyz& c)
{
    const double sum = c.X + c.Y + c.Z;
    // Black has no chromaticity: report the PCS white's, with Y = 0.
    if (sum == 0) return CieXyY{D50.X / (D50.X + D50.Y + D50.Z), D50.Y / (D50.X + D50.Y + D50.Z), 0};
    const double s = 1.0 / sum;
    return CieXyY{c.X * s, c.Y * s, c.Y};
}

// The inverse of xyzToLab: f(Y/Yn) = (L* + 16) / 116, f(X/Xn) = f(Y/Yn) +
// a*/500, f(Z/Zn) = f(Y/Yn) - b*/200.
CieXyz labToXyz(const CieXyz* white, const CieLab& lab)
{
    const CieXyz& w = white ? *white : D50;
    const double fy = (lab.L + 16.0) / 116.0;
    const double fx = fy + 0.002 * lab.a;
    const double fz = fy - 0.005 * lab.b;
    return CieXyz{labExpand(fx) * w.X, labExpand(fy) * w.Y, labExpand(fz) * w.Z};
}

// CIE 1976 L*a*b* (ISO/CIE 11664-4:2019): L* = 116 f(Y/Yn) - 16,
// a* = 500 (f(X/Xn) - f(Y/Yn)), b* = 200 (f(Y/Yn) - f(Z/Zn)); the white is
// D50 unless another is given.
CieLab xyzToLab(const CieXyz* white, const CieXyz& xyz)
{
    const CieXyz& w = white ? *white : D50;
    const double fx = labCompand(xyz.X / w.X);
    const double fy = labCompand(xyz.Y / w.Y);
    const double fz = labCompand(xyz.Z / w.Z);
    return CieLab{116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz)};
}

CieLab xyzToLabForFloat(const CieXyz& xyz)
{
    const double fx = quickLabCompand(xyz.X / D50.X);
    const double fy = quickLabCompand(xyz.Y / D50.Y);
    const double fz = quickLabCompand(xyz.Z / D50.Z);
    return CieLab{116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz)};
}

// C*ab = √(a*² + b*²) and h_ab = atan2(b*, a*) in degrees (ISO/CIE 11664-4:2019).
CieLch labToLch(const CieLab& lab)
{
    return CieLch{lab.L, std::sqrt(lab.a * lab.a + lab.b * lab.b), hueDegrees(lab.a, lab.b)};
}

CieLab lchToLab(const CieLch& lch)
{
    const double h = lch.h * (Pi / 180.0);
    return CieLab{lch.L, lch.C * std::cos(h), lch.C * std::sin(h)};
}

// The CIE 1976 colour difference (ISO/CIE 11664-4:2019):
// ΔE*ab = √(ΔL*² + Δa*² + Δb*²).
double deltaE76(const CieLab& p, const CieLab& q)
{
    const double dL = p.L - q.L, da = p.a - q.a, db = p.b - q.b;
    return std::sqrt(dL * dL + da * da + db * db);
}

// ---------------------------------------------------------------------------
// 16-bit encodings
// ---------------------------------------------------------------------------

void labToLab16(const CieLab& lab, uint16_t out[3])
{
    out[0] = toWord(clampTo(lab.L, 0, 100) * 655.35);
    out[1] = toWord((clampTo(lab.a, -128, 127) + 128) * 257);
    out[2] = toWord((clampTo(lab.b, -128, 127) + 128) * 257);
}

void labToLab16V2(const CieLab& lab, uint16_t out[3])
{
    out[0] = toWord(clampTo(lab.L, 0, 100.390625) * 652.8);
    out[1] = toWord((clampTo(lab.a, -128, 127.99609375) + 128) * 256);
    out[2] = toWord((clampTo(lab.b, -128, 127.99609375) + 128) * 256);
}

CieLab lab16ToLab(const uint16_t in[3])
{
    return CieLab{in[0] / 655.35, in[1] / 257.0 - 128.0, in[2] / 257.0 - 128.0};
}

CieLab lab16V2ToLab(const uint16_t in[3])
{
    return CieLab{in[0] / 652.8, in[1] / 256.0 - 128.0, in[2] / 256.0 - 128.0};
}

void xyzToXyz16(const CieXyz& xyz, uint16_t out[3])
{
    constexpr double MaxXyz = 1.999969482421875;   // 65535 / 32768
    if (!(xyz.Y > 0)) {
        out[0] = out[1] = out[2] = 0;
        return;
    }
    out[0] = toWord(clampTo(xyz.X, 0, MaxXyz) * 32768.0);
    out[1] = toWord(clampTo(xyz.Y, 0, MaxXyz) * 32768.0);
    out[2] = toWord(clampTo(xyz.Z, 0, MaxXyz) * 32768.0);
}

CieXyz xyz16ToXyz(const uint16_t in[3])
{
    return CieXyz{in[0] / 32768.0, in[1] / 32768.0, in[2] / 32768.0};
}

// ---------------------------------------------------------------------------
// Rectangular a*/b* clamp
// ---------------------------------------------------------------------------

bool clampLabToBox(CieLab* lab, double aMax, double aMin, double bMax, double bMin)
{
    if (lab->L < 0) {
        *lab = CieLab{0, 0, 0};
        return false;
    }
    if (lab->L > 100) lab->L = 100;

    if (inRange(lab->a, aMin, aMax) && inRange(lab->b, bMin, bMax)) return true;

    if (lab->a == 0) {
        lab->b = lab->b < 0 ? bMin : bMax;
        return true;
    }

    const double h = hueDegrees(lab->a, lab->b);
    const double s = lab->b / lab->a;
    if ((h >= 0 && h < 45) || (h >= 315 && h <= 360)) {
        lab->a = aMax;
        lab->b = s * aMax;
    } else if (h >= 45 && h < 135) {
        lab->b = bMax;
        lab->a = bMax / s;
    } else if (h >= 135 && h < 225) {
        lab->a = aMin;
        lab->b = s * aMin;
    } else if (h >= 225 && h < 315) {
        lab->b = bMin;
        lab->a = bMin / s;
    } else {
        reportError(nullptr, ErrRange, "Invalid angle");
        return false;
    }

    // The diagonals split the edges exactly only for a square box centred on
    // the origin. For any other box the point can still lie beyond the
    // neighbouring edge: pull it in along the same hue line.
    auto shrink = [lab](double limit, double value) {
        if (value != 0 && limit / value >= 0 && limit / value < 1) {
            const double k = limit / value;
            lab->a *= k;
            lab->b *= k;
        }
    };
    if (lab->a > aMax) shrink(aMax, lab->a);
    if (lab->a < aMin) shrink(aMin, lab->a);
    if (lab->b > bMax) shrink(bMax, lab->b);
    if (lab->b < bMin) shrink(bMin, lab->b);
    // A box that does not contain the neutral axis cannot be reached along the
    // hue line; keep the colour inside it all the same.
    lab->a = clampTo(lab->a, aMin, aMax);
    lab->b = clampTo(lab->b, bMin, bMax);
    return true;
}
