// White points of the viewing-conditions editor: the named table, the
// Planckian locus below 4000 K and the temperature conversions.
#include "cam16/core/whitepoints.h"

#include "osl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct CmfRow { double nm, x, y, z; };

std::vector<CmfRow> readColourMatchingFunctions()
{
    std::ifstream in(std::string(OSL_SHARED_DATA) + "/cie1931_2deg_5nm.csv");
    std::vector<CmfRow> rows;
    std::string line;
    std::getline(in, line);   // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        CmfRow r;
        char comma;
        if (fields >> r.nm >> comma >> r.x >> comma >> r.y >> comma >> r.z) rows.push_back(r);
    }
    return rows;
}

// Chromaticity of a black body: Planck's law summed over the CMF rows.
void blackBody(const std::vector<CmfRow>& cmf, double kelvin, double* x, double* y)
{
    const double c2 = 1.438776877e-2;
    double X = 0, Y = 0, Z = 0;
    for (const CmfRow& r : cmf) {
        const double lambda = r.nm * 1e-9;
        const double radiance = std::pow(lambda, -5) / std::expm1(c2 / (lambda * kelvin));
        X += radiance * r.x;
        Y += radiance * r.y;
        Z += radiance * r.z;
    }
    *x = X / (X + Y + Z);
    *y = Y / (X + Y + Z);
}

// The CIE daylight locus, written out from its published polynomials.
void daylight(double T, double* x, double* y)
{
    *x = T <= 7000 ? -4.6070e9 / (T * T * T) + 2.9678e6 / (T * T) + 0.09911e3 / T + 0.244063
                   : -2.0064e9 / (T * T * T) + 1.9018e6 / (T * T) + 0.24748e3 / T + 0.237040;
    *y = -3 * *x * *x + 2.87 * *x - 0.275;
}

TEST(PlanckianLocus, EveryRowIsTheBlackBodyOfItsTemperature)
{
    const std::vector<CmfRow> cmf = readColourMatchingFunctions();
    ASSERT_EQ(cmf.size(), 95u) << "colour-matching functions missing from " << OSL_SHARED_DATA;
    const auto locus = lowTemperatureLocus();
    ASSERT_EQ(locus.size(), 301u);
    for (size_t i = 0; i < locus.size(); ++i) {
        EXPECT_EQ(locus[i].kelvin, int64_t(1000 + 10 * i));
        double x, y;
        blackBody(cmf, double(locus[i].kelvin), &x, &y);
        EXPECT_NEAR(locus[i].x, x, 1e-9) << locus[i].kelvin;   // nine decimals
        EXPECT_NEAR(locus[i].y, y, 1e-9) << locus[i].kelvin;
    }
}

TEST(PlanckianLocus, AgreesWithThePublishedRows)
{
    struct Row { int kelvin; double x, y; };
    const Row rows[] = {
        {1000, 0.652750056, 0.344462227}, {1500, 0.585716902, 0.393121906},
        {2000, 0.52667628, 0.413297275},  {3000, 0.436929834, 0.404073617},
        {4000, 0.380438429, 0.37674607},
    };
    const auto locus = lowTemperatureLocus();
    for (const Row& r : rows) {
        const LocusRow& got = locus[(r.kelvin - 1000) / 10];
        EXPECT_EQ(got.kelvin, r.kelvin);
        EXPECT_NEAR(got.x, r.x, 1e-5) << r.kelvin;
        EXPECT_NEAR(got.y, r.y, 1e-5) << r.kelvin;
    }
}

TEST(WhitePointTable, RowsInComboOrder)
{
    const auto table = whitePointTable();
    ASSERT_EQ(table.size(), 21u);
    EXPECT_STREQ(table[0].name, "Other");
    EXPECT_EQ(table[0].kelvin, 0);
    EXPECT_STREQ(table[4].name, "D50");
    EXPECT_STREQ(table[4].description, "Horizon Light. ICC profile PCS");
    EXPECT_EQ(table[8].x, 0.3333333333333333);
    EXPECT_EQ(table[8].y, 0.3333333333333333);
    EXPECT_STREQ(table[20].name, "F12");
    EXPECT_EQ(table[20].kelvin, 3000);
}

TEST(WhitePointTable, LookupByChromaticityAndTemperature)
{
    struct ByXy { double x, y; int row; };
    const ByXy byXy[] = {
        {0.34567, 0.3585, 4},            // D50 exactly
        {0.34576, 0.35841, 4},           // within 1e-4 on both
        {0.34567 + 2e-4, 0.3585, -1},    // x too far
        {0.3127, 0.3290, 6},             // D65 as four decimals show it
        {1.0 / 3, 1.0 / 3, 8},
        {0, 0, 0},                       // "Other"
        {0.5, 0.4, -1},
    };
    for (const ByXy& c : byXy) EXPECT_EQ(whitePointRowForChromaticity(c.x, c.y), c.row) << c.x << " " << c.y;

    struct ByT { int kelvin, row; };
    const ByT byT[] = {{5003, 4}, {2856, 1}, {4150, 14}, {5000, 16}, {2855, -1}, {6000, -1}, {25000, -1}};
    for (const ByT& c : byT) EXPECT_EQ(whitePointRowForTemperature(c.kelvin), c.row) << c.kelvin;
}

TEST(WhitePointTemperature, LocusBelow4000DaylightFrom4000)
{
    const auto locus = lowTemperatureLocus();
    struct Low { int kelvin; size_t row; };
    for (const Low& c : {Low{1000, 0}, Low{1009, 0}, Low{2855, 185}, Low{2850, 185}, Low{3999, 299}}) {
        double x, y;
        ASSERT_TRUE(chromaticityForTemperature(c.kelvin, &x, &y)) << c.kelvin;
        EXPECT_EQ(x, locus[c.row].x) << c.kelvin;
        EXPECT_EQ(y, locus[c.row].y) << c.kelvin;
    }
    for (int kelvin : {4000, 6000, 6504, 7000, 7001, 12000, 25000}) {
        double x, y, wx, wy;
        ASSERT_TRUE(chromaticityForTemperature(kelvin, &x, &y)) << kelvin;
        daylight(kelvin, &wx, &wy);
        EXPECT_NEAR(x, wx, 1e-12) << kelvin;
        EXPECT_NEAR(y, wy, 1e-12) << kelvin;
    }
    double x = -1, y = -1;
    EXPECT_FALSE(chromaticityForTemperature(999, &x, &y));
    EXPECT_FALSE(chromaticityForTemperature(25001, &x, &y));
    EXPECT_FALSE(chromaticityForTemperature(-5, &x, &y));
    EXPECT_EQ(x, -1);
    EXPECT_EQ(y, -1);
}

TEST(WhitePointTemperature, CorrelatedTemperatureOfAChromaticity)
{
    int kelvin = 0;
    ASSERT_TRUE(temperatureForChromaticity(0.31271, 0.32902, &kelvin));   // D65
    EXPECT_NEAR(kelvin, 6504, 5);
    ASSERT_TRUE(temperatureForChromaticity(0.44757, 0.40745, &kelvin));   // A
    EXPECT_NEAR(kelvin, 2856, 5);

    // Truncated, not rounded: the engine's value itself decides.
    double exact;
    ASSERT_TRUE(tempFromWhitePoint(&exact, {0.3, 0.3, 100}));
    ASSERT_TRUE(temperatureForChromaticity(0.3, 0.3, &kelvin));
    EXPECT_EQ(kelvin, int(exact));
}

}   // namespace
