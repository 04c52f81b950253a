// 3×3 matrices and vectors: inversion, solving, products and the identity test.
#include "oslinternal.h"

#include <cmath>

namespace {

// Below this absolute determinant a matrix is treated as singular.
constexpr double SingularDeterminant = 1e-4;

// Elements within one 16-bit step of the identity count as the identity.
constexpr double IdentityTolerance = 1.0 / 65535.0;

double at(const Mat3& a, int row, int col)
{
    return a.m[row * 3 + col];
}

} // namespace

Mat3 identity3x3()
{
    return Mat3{{1, 0, 0, 0, 1, 0, 0, 0, 1}};
}

bool invert3x3(const Mat3& a, Mat3* inverse)
{
    // Cofactors of the first row give the determinant; the adjugate is the
    // transposed cofactor matrix.
    const double c00 = at(a, 1, 1) * at(a, 2, 2) - at(a, 1, 2) * at(a, 2, 1);
    const double c01 = at(a, 1, 2) * at(a, 2, 0) - at(a, 1, 0) * at(a, 2, 2);
    const double c02 = at(a, 1, 0) * at(a, 2, 1) - at(a, 1, 1) * at(a, 2, 0);
    const double det = at(a, 0, 0) * c00 + at(a, 0, 1) * c01 + at(a, 0, 2) * c02;
    if (!(std::fabs(det) >= SingularDeterminant)) return false;   // also refuses NaN

    const double c10 = at(a, 0, 2) * at(a, 2, 1) - at(a, 0, 1) * at(a, 2, 2);
    const double c11 = at(a, 0, 0) * at(a, 2, 2) - at(a, 0, 2) * at(a, 2, 0);
    const double c12 = at(a, 0, 1) * at(a, 2, 0) - at(a, 0, 0) * at(a, 2, 1);
    const double c20 = at(a, 0, 1) * at(a, 1, 2) - at(a, 0, 2) * at(a, 1, 1);
    const double c21 = at(a, 0, 2) * at(a, 1, 0) - at(a, 0, 0) * at(a, 1, 2);
    const double c22 = at(a, 0, 0) * at(a, 1, 1) - at(a, 0, 1) * at(a, 1, 0);

    const double k = 1.0 / det;
    *inverse = Mat3{{c00 * k, c10 * k, c20 * k, c01 * k, c11 * k, c21 * k, c02 * k, c12 * k, c22 * k}};
    return true;
}

bool solve3x3(const Mat3& a, const Vec3& b, Vec3* x)
{
    Mat3 inverse;
    if (!invert3x3(a, &inverse)) return false;
    *x = apply3x3(inverse, b);
    return true;
}

Mat3 multiply3x3(const Mat3& a, const Mat3& b)
{
    Mat3 r;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            r.m[row * 3 + col] =
                at(a, row, 0) * at(b, 0, col) + at(a, row, 1) * at(b, 1, col) + at(a, row, 2) * at(b, 2, col);
    return r;
}

Vec3 apply3x3(const Mat3& a, const Vec3& v)
{
    Vec3 r;
    for (int row = 0; row < 3; ++row)
        r.v[row] = at(a, row, 0) * v.v[0] + at(a, row, 1) * v.v[1] + at(a, row, 2) * v.v[2];
    return r;
}

bool isIdentity3x3(const Mat3& a)
{
    const Mat3 id = identity3x3();
    for (int i = 0; i < 9; ++i)
        if (!(std::fabs(a.m[i] - id.m[i]) <= IdentityTolerance)) return false;
    return true;
}
