// CIE CAM16 with a continuous surround.
//
// The model is the one published by C. Li, Z. Li, Z. Wang, Y. Xu, M. R. Luo,
// G. Cui, M. Melgosa, M. H. Brill and M. Pointer, "Comprehensive color
// solutions: CAM16, CAT16, and CAM16-UCS", Color Res. Appl. 42 (2017) 703-718,
// and adopted as CIE 248:2022. Comments below name the steps of that paper's
// appendix: Part 1 (the forward model) Steps 0 to 7, Part 2 (the inverse
// model) Steps 1 to 7. Hue quadrature H (Step 5) is not computed.
//
// Where this code departs from the text:
// - The surround is a continuous value S (0 dark, 1 dim, 2 average) instead of
//   the three rows of the table of Step 0; see surroundFactors.
// - The post-adaptation compression (Step 3) carries no +0.1 and the
//   achromatic signal (Step 6) no -0.305. Three responses each 0.1 lower make
//   2·0.1 + 0.1 + 0.05·0.1 = 0.305 less in 2R'a + G'a + B'a/20, so A and A_w
//   are exactly the published ones; the chroma denominator R'a + G'a + 21/20 B'a
//   of Step 7 loses the same 0.305 and adds it back. J, C and h are therefore
//   those of the published model, and the inverse is the exact counterpart of
//   the forward direction.
// - The inverse compression clips negative responses to 0 instead of keeping
//   their sign, and saturates responses of 400 and more.
#include "cam16/core/cam16.h"

#include <cmath>

namespace {

constexpr double Pi = 3.141592653589793;

// M16, the CAT16 matrix from XYZ to sharpened cone responses (Step 1:
// [R G B]ᵀ = M16 [X Y Z]ᵀ), and its inverse (inverse Step 7).
constexpr double M16[9] = {
    0.401288, 0.650173, -0.051461,
    -0.250268, 1.204414, 0.045854,
    -0.002079, 0.048952, 0.953127,
};
constexpr double M16Inverse[9] = {
    1.862067855087233, -1.011254630531685, 0.1491867754444518,
    0.3875265432361372, 0.6214474419314753, -0.008973985167612518,
    -0.01584149884933386, -0.03412293802851557, 1.04996443687785,
};

constexpr double ChromaScale = 3846.153846153846;        // 50000 / 13, the factor of t in Step 7
constexpr double InverseCompressExponent = 2.380952380952381;   // 1 / 0.42
constexpr double InverseChromaExponent = 1.1111111111111112;    // 1 / 0.9
constexpr double Inverse1403 = 0.0007127583749109052;   // 1 / 1403, inverse Step 4
constexpr double InverseAdaptation = 0.2777777777777778;  // 1 / 3.6, in D of Step 0
constexpr double Saturated = 1e10;

// 27.13^(1/0.42): the scale of the inverse compression.
const double InverseCompressScale = std::pow(27.13, InverseCompressExponent);

inline void apply(const double m[9], double x, double y, double z, double out[3])
{
    out[0] = m[0] * x + m[1] * y + m[2] * z;
    out[1] = m[3] * x + m[4] * y + m[5] * z;
    out[2] = m[6] * x + m[7] * y + m[8] * z;
}

// base^exponent, 0 for a negative base; false when the result is not a number.
inline bool powerOrZero(double base, double exponent, double* out)
{
    if (base < 0) {
        *out = 0;
        return true;
    }
    *out = std::pow(base, exponent);
    return !std::isnan(*out);
}

// Post-adaptation compression (Step 3), without the +0.1:
//   R'a = 400 · sgn(Rc) · (F_L |Rc| / 100)^0.42 / ((F_L |Rc| / 100)^0.42 + 27.13)
inline bool compress(double x, double FL, double* out)
{
    double p;
    if (!powerOrZero(std::fabs(x) * FL / 100.0, 0.42, &p))
        return false;
    const double sign = x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0);
    *out = 400.0 * sign * p / (p + 27.13);
    return true;
}

// Inverse compression (inverse Step 5), on a response without the +0.1:
//   Rc = (100 / F_L) · (27.13 R'a / (400 - R'a))^(1 / 0.42)
// Negative responses clip to 0, responses of 400 or more saturate.
inline bool expand(double x, double FL, double* out)
{
    if (x >= 400) {
        *out = Saturated;
        return true;
    }
    double q;
    if (!powerOrZero(x / (400 - x), InverseCompressExponent, &q))
        return false;
    *out = InverseCompressScale * (100 / FL) * q;
    return true;
}

// Surround factors from the continuous surround. The table of Step 0 gives
// (F, c, Nc) = (0.8, 0.525, 0.8) dark, (0.9, 0.59, 0.9) dim and (1.0, 0.69,
// 1.0) average; here c is interpolated linearly in S between those rows, and
// F and Nc linearly in c between the same rows.
void surroundFactors(double S, double* F, double* c, double* Nc)
{
    if (S >= 1)
        *c = (S - 1) * (0.69 - 0.59) + 0.59;
    else
        *c = S * (0.59 - 0.525) + 0.525;

    if (*c >= 0.59)
        *F = (*c - 0.59) / 0.1 * (1.0 - 0.9) + 0.9;
    else
        *F = (*c - 0.525) / 0.065 * (0.9 - 0.8) + 0.8;
    *Nc = *F;
}

// Step 0: everything that depends on the viewing conditions alone.
bool initialise(Cam16Model* m, const Cam16Conditions& vc)
{
    m->white = {vc.Xw, vc.Yw, vc.Zw};
    m->La = vc.La;
    m->Yb = vc.Yb;
    m->Yw = vc.Yw;
    m->surround = vc.surround;

    surroundFactors(vc.surround, &m->F, &m->c, &m->Nc);

    // k = 1 / (5 L_A + 1);  F_L = 0.2 k⁴ (5 L_A) + 0.1 (1 - k⁴)² (5 L_A)^(1/3)
    m->k = 1 / (5 * m->La + 1);
    const double k4 = m->k * m->k * m->k * m->k;
    double cubeRoot;
    if (!powerOrZero(5 * m->La, 1.0 / 3.0, &cubeRoot))
        return false;
    m->FL = k4 * m->La + 0.1 * (1 - k4) * (1 - k4) * cubeRoot;
    m->FLroot4 = std::pow(m->FL, 0.25);
    if (std::isnan(m->FLroot4))
        return false;

    // n = Y_b / Y_w;  z = 1.48 + √n;  N_bb = N_cb = 0.725 n^(-0.2)
    m->n = m->Yb / m->Yw;
    const double rootN = std::sqrt(m->n);
    if (std::isnan(rootN))
        return false;
    m->z = 1.48 + rootN;
    double nPower;
    if (!powerOrZero(m->n, -0.2, &nPower))
        return false;
    m->Nbb = m->Ncb = 0.725 * nPower;

    // D = F (1 - (1/3.6) e^((-L_A - 42) / 92)), within 0 to 1; 1 when the
    // illuminant is discounted.
    if (vc.discounting != 0) {
        m->D = 1;
    } else {
        m->D = m->F * (1 - InverseAdaptation * std::exp((-m->La - 42) / 92));
        m->D = m->D < 0 ? 0 : (m->D > 1 ? 1 : m->D);
    }

    // D_R = D · Y_w / R_w + 1 - D (likewise G, B), and the white through
    // Steps 1 to 3;  A_w = (2 R'aw + G'aw + B'aw / 20 - 0.305) N_bb.
    apply(M16, vc.Xw, vc.Yw, vc.Zw, m->rgbW);
    for (int i = 0; i < 3; ++i) {
        m->d[i] = (m->Yw / m->rgbW[i] - 1) * m->D + 1;
        m->inverseD[i] = 1 / m->d[i];
        m->rgbWc[i] = m->d[i] * m->rgbW[i];
    }
    for (int i = 0; i < 3; ++i)
        if (!compress(m->rgbWc[i], m->FL, &m->rgbAw[i]))
            return false;
    m->Aw = (2 * m->rgbAw[0] + m->rgbAw[1] + 0.05 * m->rgbAw[2]) * m->Nbb;

    // The exponents of J = 100 (A / A_w)^(c z) taken as √(J/100), and the
    // factor (1.64 - 0.29^n)^0.73 of C (Step 7), with their inverses.
    m->lightnessExponent = 0.5 * m->c * m->z;
    m->achromaticExponent = 2 / m->c / m->z;
    const double chromaBase = 1.64 - std::pow(0.29, m->n);
    return powerOrZero(chromaBase, 0.73, &m->chromaFactor) &&
           powerOrZero(chromaBase, -0.73, &m->inverseChromaFactor);
}

}   // namespace

Cam16Model* createCam16Model(EngineContext* ctx, const Cam16Conditions& conditions)
{
    auto* model = static_cast<Cam16Model*>(engineAllocZero(ctx, sizeof(Cam16Model)));
    if (model == nullptr)
        return nullptr;
    model->context = ctx;
    if (!initialise(model, conditions)) {
        freeCam16Model(model);
        return nullptr;
    }
    return model;
}

void freeCam16Model(Cam16Model* model)
{
    if (model != nullptr)
        engineFree(model->context, model);
}

bool cam16Forward(const Cam16Model* m, const CieXyz& xyz, Cam16Correlates* out)
{
    // Steps 1 to 3: cone responses, adapted (Rc = D_R · R), compressed.
    double rgb[3];
    apply(M16, xyz.X, xyz.Y, xyz.Z, rgb);
    double ra, ga, ba;
    if (!compress(rgb[0] * m->d[0], m->FL, &ra) || !compress(rgb[1] * m->d[1], m->FL, &ga) ||
        !compress(rgb[2] * m->d[2], m->FL, &ba))
        return false;

    // Step 4: a = R'a - 12 G'a / 11 + B'a / 11;  b = (R'a + G'a - 2 B'a) / 9;
    // h = atan2(b, a) in degrees, within [0, 360).
    const double a = ra - 12 * ga / 11 + ba / 11;
    const double b = (ra + ga - 2 * ba) / 9;

    const double hRad = std::atan2(b, a);
    double h = std::fmod(hRad * 180 / Pi, 360);
    while (h < 0)
        h += 360;
    if (h >= 360)   // a tiny negative angle rounds up to 360 when folded
        h = 0;
    // Step 5: the eccentricity e_t = (cos(h π/180 + 2) + 3.8) / 4.
    const double et = (std::cos(hRad + 2) + 3.8) * 0.25;

    // Step 6: A = (2 R'a + G'a + B'a / 20 - 0.305) N_bb (see the top of the file).
    const double A = (2 * ra + ga + 0.05 * ba) * m->Nbb;
    double tJ;
    if (!powerOrZero(A / m->Aw, m->lightnessExponent, &tJ))
        return false;

    // Step 7: t = (50000/13 · N_c N_cb e_t √(a² + b²)) / (R'a + G'a + 21/20 B'a);
    // J = 100 (A / A_w)^(c z);  Q = (4 / c) √(J/100) (A_w + 4) F_L^0.25;
    // C = t^0.9 √(J/100) (1.64 - 0.29^n)^0.73;  M = C F_L^0.25;
    // s = 100 √(M / Q), which is 50 √(α c / (A_w + 4)) with α = t^0.9 (1.64 - 0.29^n)^0.73.
    const double t = ChromaScale * m->Nc * m->Ncb * et * std::sqrt(a * a + b * b) /
                     (ra + ga + 1.05 * ba + 0.305);
    double t09;
    if (!powerOrZero(t, 0.9, &t09))
        return false;
    const double alpha = t09 * m->chromaFactor;

    out->J = 100 * tJ * tJ;
    out->Q = (4 / m->c) * tJ * (m->Aw + 4) * m->FLroot4;
    out->C = alpha * tJ;
    out->M = out->C * m->FLroot4;
    out->s = 50 * std::sqrt(alpha * m->c / (m->Aw + 4));
    out->h = h;
    return !std::isnan(out->J + out->Q + out->C + out->M + out->s + out->h);
}

bool cam16Inverse(const Cam16Model* m, uint32_t flags, const Cam16Correlates& in, CieXyz* out)
{
    const double hRad = std::fmod(in.h, 360) * Pi / 180;
    const double sinH = std::sin(hRad);
    const double cosH = std::cos(hRad);

    // Inverse Step 1: √(J/100) from J, or from Q as c Q / (4 (A_w + 4) F_L^0.25);
    // then α = C / √(J/100), with C = M / F_L^0.25 from M, or α from s as
    // (s / 50)² (A_w + 4) / c.
    double tJ;
    if (flags & Cam16FromQ) {
        if (in.Q <= 0) {
            *out = {0, 0, 0};
            return true;
        }
        tJ = m->c * 0.25 * in.Q / ((m->Aw + 4) * m->FLroot4);
    } else {
        if (in.J <= 0) {
            *out = {0, 0, 0};
            return true;
        }
        tJ = std::sqrt(in.J) * 0.1;
    }

    double alpha;
    if (flags & Cam16FromS)
        alpha = in.s * 0.0004 * in.s * (m->Aw + 4) / m->c;
    else if (flags & Cam16FromM)
        alpha = (in.M / m->FLroot4) / tJ;
    else
        alpha = in.C / tJ;

    // Inverse Step 2: t = (C / (√(J/100) (1.64 - 0.29^n)^0.73))^(1/0.9);
    // A = A_w (J/100)^(1/(c z));  p2 = A / N_bb (the published p2 less 0.305,
    // see the top of the file).
    double t, achromatic;
    if (!powerOrZero(alpha * m->inverseChromaFactor, InverseChromaExponent, &t) ||
        !powerOrZero(tJ, m->achromaticExponent, &achromatic))
        return false;
    const double p2 = achromatic * m->Aw / m->Nbb;

    // Inverse Step 3: a = γ cos h, b = γ sin h, with
    //   γ = 23 (p2 + 0.305) t / (23 · 50000/13 · N_c N_cb e_t + 11 t cos h + 108 t sin h),
    // which solves the definition of t in Step 7 for √(a² + b²) once a and b
    // are written through p2 as in inverse Step 4.
    const double et = (std::cos(hRad + 2) + 3.8) * 0.25;
    const double gamma = (p2 + 0.305) * 23 * t /
                         (ChromaScale * m->Nc * m->Ncb * et * 23 + (11 * cosH + 108 * sinH) * t);
    const double a = gamma * cosH;
    const double b = gamma * sinH;

    // Inverse Step 4 (responses without the +0.1): R'a = (460 p2 + 451 a + 288 b) / 1403;
    // G'a = (460 p2 - 891 a - 261 b) / 1403;  B'a = (460 p2 - 220 a - 6300 b) / 1403.
    const double ra = (460 * p2 + 451 * a + 288 * b) * Inverse1403;
    const double ga = (460 * p2 - 891 * a - 261 * b) * Inverse1403;
    const double ba = (460 * p2 - 220 * a - 6300 * b) * Inverse1403;

    double rgb[3];
    if (!expand(ra, m->FL, &rgb[0]) || !expand(ga, m->FL, &rgb[1]) || !expand(ba, m->FL, &rgb[2]))
        return false;
    // Inverse Steps 5 and 6: uncompressed, then R = Rc / D_R (likewise G, B).
    for (int i = 0; i < 3; ++i)
        rgb[i] *= m->inverseD[i];

    // Inverse Step 7: [X Y Z]ᵀ = M16⁻¹ [R G B]ᵀ.
    double xyz[3];
    apply(M16Inverse, rgb[0], rgb[1], rgb[2], xyz);
    *out = {xyz[0], xyz[1], xyz[2]};
    return !std::isnan(xyz[0] + xyz[1] + xyz[2]);
}
