// White points: daylight from correlated colour temperature and back,
// Bradford chromatic adaptation and the RGB primaries matrix.
#include "oslinternal.h"

#include <cmath>
#include <iterator>

namespace {

// Robertson's isotemperature lines (A. R. Robertson, "Computation of
// correlated color temperature and distribution temperature", J. Opt. Soc.
// Am. 58 (1968) 1528-1535): reciprocal megakelvin, CIE 1960 u and v
// of the point on the Planckian locus, and the slope of the isotemperature
// line through it (Wyszecki & Stiles, Color Science, 2nd ed., table 1(3.11);
// the 325 MK row with the usual correction of the printed u, 0.24792).
struct IsotemperatureLine {
    double mired, u, v, t;
};

constexpr IsotemperatureLine Isotemperature[] = {
    {0, 0.18006, 0.26352, -0.24341},    {10, 0.18066, 0.26589, -0.25479},
    {20, 0.18133, 0.26846, -0.26876},   {30, 0.18208, 0.27119, -0.28539},
    {40, 0.18293, 0.27407, -0.30470},   {50, 0.18388, 0.27709, -0.32675},
    {60, 0.18494, 0.28021, -0.35156},   {70, 0.18611, 0.28342, -0.37915},
    {80, 0.18740, 0.28668, -0.40955},   {90, 0.18880, 0.28997, -0.44278},
    {100, 0.19032, 0.29326, -0.47888},  {125, 0.19462, 0.30141, -0.58204},
    {150, 0.19962, 0.30921, -0.70471},  {175, 0.20525, 0.31647, -0.84901},
    {200, 0.21142, 0.32312, -1.0182},   {225, 0.21807, 0.32909, -1.2168},
    {250, 0.22511, 0.33439, -1.4512},   {275, 0.23247, 0.33904, -1.7298},
    {300, 0.24010, 0.34308, -2.0637},   {325, 0.24792, 0.34655, -2.4681},
    {350, 0.25591, 0.34951, -2.9641},   {375, 0.26400, 0.35200, -3.5814},
    {400, 0.27218, 0.35407, -4.3633},   {425, 0.28039, 0.35577, -5.3762},
    {450, 0.28863, 0.35714, -6.7262},   {475, 0.29685, 0.35823, -8.5955},
    {500, 0.30505, 0.35907, -11.324},   {525, 0.31320, 0.35968, -15.628},
    {550, 0.32129, 0.36011, -23.325},   {575, 0.32931, 0.36038, -40.770},
    {600, 0.33724, 0.36051, -116.45},
};

// The Bradford cone-response matrix (K. M. Lam, "Metamerism and colour
// constancy", PhD thesis, University of Bradford, 1985), used here in its
// linear form, without the nonlinearity of the blue response.
constexpr Mat3 Bradford{{0.8951, 0.2664, -0.1614, -0.7502, 1.7135, 0.0367, 0.0389, -0.0685, 1.0296}};

// Cone responses this small cannot be divided by.
constexpr double MinConeResponse = 1e-4;

Vec3 asVec(const CieXyz& c)
{
    return Vec3{{c.X, c.Y, c.Z}};
}

} // namespace

// The CIE daylight locus (Judd, MacAdam and Wyszecki, J. Opt. Soc. Am. 54
// (1964) 1031-1040, as CIE 15 Colorimetry gives it for the D illuminants):
//   x_D = -4.6070e9/T³ + 2.9678e6/T² + 0.09911e3/T + 0.244063   (4000 K to 7000 K)
//   x_D = -2.0064e9/T³ + 1.9018e6/T² + 0.24748e3/T + 0.237040   (above 7000 K to 25000 K)
//   y_D = -3.000 x_D² + 2.870 x_D - 0.275
bool whitePointFromTemp(CieXyY* white, double kelvin)
{
    const double t = kelvin, t2 = t * t, t3 = t2 * t;
    double x;
    if (t >= 4000 && t <= 7000)
        x = -4.6070e9 / t3 + 2.9678e6 / t2 + 0.09911e3 / t + 0.244063;
    else if (t > 7000 && t <= 25000)
        x = -2.0064e9 / t3 + 1.9018e6 / t2 + 0.24748e3 / t + 0.237040;
    else {
        reportError(nullptr, ErrRange, "oslWhitePointFromTemp: invalid temp");
        return false;
    }
    *white = CieXyY{x, -3.0 * x * x + 2.87 * x - 0.275, 1.0};
    return true;
}

// Robertson's method: the signed distance of (u, v) from each isotemperature
// line, d_i = ((v - v_i) - t_i (u - u_i)) / √(1 + t_i²), and the reciprocal
// temperature interpolated between the two lines whose distances change sign,
// M = M_(i-1) + d_(i-1) / (d_(i-1) - d_i) · (M_i - M_(i-1)).
bool tempFromWhitePoint(double* kelvin, const CieXyY& white)
{
    // CIE 1960 UCS: u = 4x / (-2x + 12y + 3), v = 6y / (-2x + 12y + 3).
    const double x = white.x, y = white.y;
    const double den = -x + 6.0 * y + 1.5;
    const double u = 2.0 * x / den;
    const double v = 3.0 * y / den;

    double dPrev = 0;
    for (size_t i = 0; i < std::size(Isotemperature); ++i) {
        const IsotemperatureLine& r = Isotemperature[i];
        const double d = ((v - r.v) - r.t * (u - r.u)) / std::sqrt(1.0 + r.t * r.t);
        // A sign change between rows i-1 and i, or a point lying exactly on
        // row i, brackets the temperature.
        if (i > 0 && ((dPrev < 0 && d > 0) || (dPrev > 0 && d < 0) || d == 0)) {
            const IsotemperatureLine& p = Isotemperature[i - 1];
            const double mired = p.mired + dPrev / (dPrev - d) * (r.mired - p.mired);
            if (!(mired > 0)) return false;
            *kelvin = 1.0e6 / mired;
            return true;
        }
        dPrev = d;
    }
    return false;
}

// A von Kries adaptation in the Bradford cone space:
// M = B⁻¹ · diag(ρ_d/ρ_s, γ_d/γ_s, β_d/β_s) · B, the cone responses of the two
// whites through B.
bool bradfordAdaptation(Mat3* result, const CieXyz& sourceWhite, const CieXyz& destWhite)
{
    const Vec3 src = apply3x3(Bradford, asVec(sourceWhite));
    const Vec3 dst = apply3x3(Bradford, asVec(destWhite));
    for (int i = 0; i < 3; ++i)
        if (!(std::fabs(src.v[i]) >= MinConeResponse) || !(std::fabs(dst.v[i]) >= MinConeResponse)) return false;

    Mat3 inverse;
    if (!invert3x3(Bradford, &inverse)) return false;
    const Mat3 gain{{dst.v[0] / src.v[0], 0, 0, 0, dst.v[1] / src.v[1], 0, 0, 0, dst.v[2] / src.v[2]}};
    *result = multiply3x3(inverse, multiply3x3(gain, Bradford));
    return true;
}

// The RGB-to-XYZ matrix of three primaries and a white (SMPTE RP 177-1993):
// the chromaticity columns (x, y, 1 - x - y) of the primaries, each scaled so
// that RGB = (1, 1, 1) gives the white at Y = 1; then adapted to D50 with
// Bradford, as an ICC matrix-shaper profile carries it.
bool primariesToXyz(Mat3* result, const CieXyY& white, const CieXyY primaries[3])
{
    const CieXyY& r = primaries[0];
    const CieXyY& g = primaries[1];
    const CieXyY& b = primaries[2];
    const Mat3 chroma{{r.x, g.x, b.x, r.y, g.y, b.y, 1 - r.x - r.y, 1 - g.x - g.y, 1 - b.x - b.y}};

    const CieXyz w = xyYToXyz(CieXyY{white.x, white.y, 1.0});
    Vec3 scale;
    if (!solve3x3(chroma, asVec(w), &scale)) return false;

    Mat3 rgbToXyz = chroma;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) rgbToXyz.m[row * 3 + col] *= scale.v[col];

    Mat3 adapt;
    if (!bradfordAdaptation(&adapt, w, D50)) return false;
    *result = multiply3x3(adapt, rgbToXyz);
    return true;
}
