#include "curves/core/curvedatatext.h"

#include <gtest/gtest.h>

#include <utility>

TEST(CurveDataTextTest, NumbersShowThreeDecimals)
{
    const std::pair<double, const char*> cases[] = {
        {0.0, "0.000"}, {0.25, "0.250"}, {-1.5, "-1.500"}, {1.0 / 3.0, "0.333"},
        {2.0 / 3.0, "0.667"}, {1234.5678, "1234.568"}, {65535.0, "65535.000"},
    };
    for (const auto& [v, text] : cases) EXPECT_EQ(formatCurveNumber(v).toStdString(), text) << v;
}

TEST(CurveDataTextTest, RowsReadAsNumbersOrZero)
{
    const std::pair<const char*, float> cases[] = {
        {"0.5", 0.5f},     {" 0.25", 0.25f},  {"1 ", 1.0f},     {"\t-2.5\t", -2.5f}, {"+3", 3.0f},
        {"1e-3", 0.001f},  {".75", 0.75f},    {"0.333", 0.333f},
        // Not numbers, or not numbers a float can hold.
        {"", 0.0f},        {"   ", 0.0f},     {"abc", 0.0f},    {"0.5abc", 0.0f},    {"0,5", 0.0f},
        {"1e40", 0.0f},    {"-1e40", 0.0f},   {"nan", 0.0f},    {"inf", 0.0f},       {"-inf", 0.0f},
    };
    for (const auto& [text, v] : cases) EXPECT_EQ(readCurveNumber(QString::fromLatin1(text)), v) << '"' << text << '"';
}

TEST(CurveDataTextTest, TextIsCutAtSeparators)
{
    struct Case {
        QString text;
        QStringList pieces;
    };
    const Case cases[] = {
        {"0, 0.25,0.5\n0.75\t1", {"0", " 0.25", "0.5", "0.75", "1"}},
        {"1\r\n2\r\n", {"1", "2"}},
        {",,\t\r\n,", {}},
        {"42", {"42"}},
        {"1;2 3", {"1;2 3"}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(splitCurveText(c.text), c.pieces) << c.text.toStdString();
}

TEST(CurveDataTextTest, PastedTextReadsBackAsValues)
{
    const QList<float> values = readCurveValues(splitCurveText("0, 0.25,0.5\n0.75\t1"));
    EXPECT_EQ(values, (QList<float>{0.0f, 0.25f, 0.5f, 0.75f, 1.0f}));
    EXPECT_EQ(readCurveValues({"x", "0.5", ""}), (QList<float>{0.0f, 0.5f, 0.0f}));
    EXPECT_TRUE(readCurveValues({}).isEmpty());
}

TEST(CurveDataTextTest, PointRowsBecomeAMapByX)
{
    // A later row with the same x wins; rows need not come in order.
    using Rows = QList<std::pair<QString, QString>>;
    EXPECT_EQ(readCurvePoints(Rows{{"0.5", "0.2"}, {"0.5", "0.8"}}), (QMap<float, float>{{0.5f, 0.8f}}));
    EXPECT_EQ(readCurvePoints(Rows{{"1", "1"}, {"0", "0"}, {" 0.5", "0.25 "}}),
              (QMap<float, float>{{0.0f, 0.0f}, {0.5f, 0.25f}, {1.0f, 1.0f}}));
    // Non-numbers count as 0, so they can collide with a real 0.
    EXPECT_EQ(readCurvePoints(Rows{{"x", "1"}, {"2", "y"}, {"0", "0.5"}}),
              (QMap<float, float>{{0.0f, 0.5f}, {2.0f, 0.0f}}));
    EXPECT_TRUE(readCurvePoints(Rows{}).isEmpty());
}
