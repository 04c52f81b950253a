// 3×3 matrix inversion, solving, products and the identity test.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(Matrix, ProductsFollowTheRowMajorLayout)
{
    const Mat3 a{{1, 2, 3, 4, 5, 6, 7, 8, 10}};
    const Mat3 b{{2, 0, 1, 1, 3, 0, 0, 1, 4}};
    const Mat3 ab = multiply3x3(a, b);
    const double want[9] = {4, 9, 13, 13, 21, 28, 22, 34, 47};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(ab.m[i], want[i]);
    const Vec3 v = apply3x3(a, Vec3{{1, -1, 2}});
    EXPECT_EQ(v.v[0], 5);
    EXPECT_EQ(v.v[1], 11);
    EXPECT_EQ(v.v[2], 19);
}

TEST(Matrix, InverseTimesMatrixIsIdentity)
{
    const Mat3 cases[] = {
        {{1, 2, 3, 4, 5, 6, 7, 8, 10}},
        {{0.4360747, 0.3850649, 0.1430804, 0.2225045, 0.7168786, 0.0606169, 0.0139322, 0.0971045, 0.7141733}},
        {{0, 1, 0, 0, 0, 1, 1, 0, 0}},   // a permutation: zero leading element
        {{-3, 0.5, 2, 7, 1e3, -4, 0.25, 9, 1}},
    };
    for (const Mat3& a : cases) {
        Mat3 inv;
        ASSERT_TRUE(invert3x3(a, &inv));
        const Mat3 p = multiply3x3(a, inv), q = multiply3x3(inv, a);
        for (int i = 0; i < 9; ++i) {
            EXPECT_NEAR(p.m[i], i % 4 == 0 ? 1 : 0, 1e-12);
            EXPECT_NEAR(q.m[i], i % 4 == 0 ? 1 : 0, 1e-12);
        }
    }
}

TEST(Matrix, DeterminantBelowOneTenThousandthIsSingular)
{
    Mat3 inv;
    EXPECT_TRUE(invert3x3(Mat3{{0.01, 0, 0, 0, 0.1, 0, 0, 0, 0.1001}}, &inv));    // det 1.001e-4
    EXPECT_FALSE(invert3x3(Mat3{{0.01, 0, 0, 0, 0.1, 0, 0, 0, 0.099}}, &inv));    // det 9.9e-5
    EXPECT_FALSE(invert3x3(Mat3{{1, 2, 3, 2, 4, 6, 0, 1, 1}}, &inv));             // rank 2
    EXPECT_FALSE(invert3x3(Mat3{{NAN, 0, 0, 0, 1, 0, 0, 0, 1}}, &inv));
    Vec3 x;
    EXPECT_FALSE(solve3x3(Mat3{{1, 2, 3, 2, 4, 6, 0, 1, 1}}, Vec3{{1, 2, 3}}, &x));
}

TEST(Matrix, SolveFindsTheKnownSolution)
{
    // 2x + y - z = 8, -3x - y + 2z = -11, -2x + y + 2z = -3 has x = 2, y = 3, z = -1.
    Vec3 x;
    ASSERT_TRUE(solve3x3(Mat3{{2, 1, -1, -3, -1, 2, -2, 1, 2}}, Vec3{{8, -11, -3}}, &x));
    EXPECT_NEAR(x.v[0], 2, 1e-12);
    EXPECT_NEAR(x.v[1], 3, 1e-12);
    EXPECT_NEAR(x.v[2], -1, 1e-12);
}

TEST(Matrix, IdentityToleratesOneSixteenBitStep)
{
    EXPECT_TRUE(isIdentity3x3(identity3x3()));
    for (int i = 0; i < 9; ++i) {
        Mat3 a = identity3x3();
        a.m[i] += 1.5e-5;
        EXPECT_TRUE(isIdentity3x3(a)) << i;
        a.m[i] += 0.1e-5;   // 1.6e-5 > 1/65535
        EXPECT_FALSE(isIdentity3x3(a)) << i;
        a.m[i] = NAN;
        EXPECT_FALSE(isIdentity3x3(a)) << i;
    }
}

} // namespace
