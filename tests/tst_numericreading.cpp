// SPDX-License-Identifier: GPL-3.0-or-later
#include "numericreading.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

// The numeric reading that the URL's port and the status code share.
class tst_NumericReading : public QObject
{
    Q_OBJECT

private slots:
    void readNumber_data();
    void readNumber();
    void numberText_data();
    void numberText();
};

namespace {

constexpr double Infinity = std::numeric_limits<double>::infinity();

} // namespace

void tst_NumericReading::readNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    // Blanks (space, tab, LF) count nowhere, also inside the number.
    QTest::newRow("digits") << u"80"_s << 80.0;
    QTest::newRow("blank-inside-digits") << u"8 0"_s << 80.0;
    QTest::newRow("status-line-rest") << u"200 OK"_s << 200.0;
    QTest::newRow("stops-at-slash") << u"8080/"_s << 8080.0;
    QTest::newRow("leading-space-tab-lf") << u" \t\n42"_s << 42.0;
    QTest::newRow("tab-and-lf-inside") << u"1\t2\n3"_s << 123.0;
    QTest::newRow("cr-is-not-blank") << u"\r5"_s << 0.0;
    QTest::newRow("nbsp-is-not-blank") << u"\u00A05"_s << 0.0;
    // Sign.
    QTest::newRow("plus") << u"+7"_s << 7.0;
    QTest::newRow("minus") << u"-7"_s << -7.0;
    QTest::newRow("minus-blank-digits") << u"- 7"_s << -7.0;
    QTest::newRow("sign-alone") << u"-"_s << 0.0;
    QTest::newRow("two-signs") << u"+-7"_s << 0.0;
    // Fraction.
    QTest::newRow("fraction") << u"1.5"_s << 1.5;
    QTest::newRow("fraction-without-integer") << u".5"_s << 0.5;
    QTest::newRow("point-without-fraction") << u"5."_s << 5.0;
    QTest::newRow("point-alone") << u"."_s << 0.0;
    QTest::newRow("second-point-stops") << u"1.5.3"_s << 1.5;
    QTest::newRow("comma-stops") << u"1,5"_s << 1.0;
    // Exponent, marked E or D in either case.
    QTest::newRow("exponent-E") << u"1.5E2"_s << 150.0;
    QTest::newRow("exponent-e") << u"1.5e2"_s << 150.0;
    QTest::newRow("exponent-D") << u"15D-1"_s << 1.5;
    QTest::newRow("exponent-d") << u"15d1"_s << 150.0;
    QTest::newRow("exponent-plus") << u"1E+2"_s << 100.0;
    QTest::newRow("exponent-blanks") << u"1 e - 2"_s << 0.01;
    QTest::newRow("exponent-then-point-stops") << u"1e2.5"_s << 100.0;
    QTest::newRow("exponent-marker-alone") << u"12E"_s << 12.0;
    QTest::newRow("exponent-marker-sign-alone") << u"12E+"_s << 12.0;
    QTest::newRow("exponent-marker-then-letter") << u"12Dx"_s << 12.0;
    QTest::newRow("exponent-without-mantissa") << u"E5"_s << 0.0;
    // &H hexadecimal, &O octal.
    QTest::newRow("hex") << u"&H1F"_s << 31.0;
    QTest::newRow("hex-lower-case") << u"&h1f"_s << 31.0;
    QTest::newRow("hex-stops-at-non-digit") << u"&HFG"_s << 15.0;
    QTest::newRow("hex-blanks") << u"& H 1 F"_s << 31.0;
    QTest::newRow("octal") << u"&O17"_s << 15.0;
    QTest::newRow("octal-stops-at-8") << u"&O78"_s << 7.0;
    QTest::newRow("octal-without-digits") << u"&O8"_s << 0.0;
    QTest::newRow("hex-without-digits") << u"&H"_s << 0.0;
    QTest::newRow("ampersand-other-letter") << u"&X1"_s << 0.0;
    QTest::newRow("c-hex-is-zero-then-x") << u"0x10"_s << 0.0;
    // No number at the start.
    QTest::newRow("empty") << QString() << 0.0;
    QTest::newRow("letters") << u"abc"_s << 0.0;
    QTest::newRow("letters-then-digits") << u"OK 200"_s << 0.0;
    // Beyond the double range: an infinity of the number's sign, or a 0 of its sign when
    // too small.
    QTest::newRow("overflow") << u"1e999"_s << Infinity;
    QTest::newRow("negative-overflow") << u"-1e999"_s << -Infinity;
    QTest::newRow("underflow") << u"1e-999"_s << 0.0;
    QTest::newRow("negative-underflow") << u"-1e-400"_s << -0.0;
    QTest::newRow("negative-zero") << u"-0"_s << -0.0;
    QTest::newRow("overflow-in-digits") << (u"1"_s + QString(400, u'0')) << Infinity;
    QTest::newRow("largest-double")
        << u"1.7976931348623157e308"_s << std::numeric_limits<double>::max();
}

void tst_NumericReading::readNumber()
{
    QFETCH(QString, text);
    QFETCH(double, expected);

    // The status code is read from bytes, the port from text; both must agree.
    const double fromText = ::readNumber(text);
    const double fromBytes = ::readNumber(QByteArrayView(text.toLatin1()));
    QCOMPARE(fromText, expected);
    QCOMPARE(fromBytes, expected);
    QCOMPARE(std::signbit(fromText), std::signbit(expected));
}

void tst_NumericReading::numberText_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("integral") << 80.0 << u"80"_s;
    QTest::newRow("five-digits") << 12345.0 << u"12345"_s;
    QTest::newRow("status-code") << 404.0 << u"404"_s;
    QTest::newRow("thousand") << 1000.0 << u"1000"_s;
    QTest::newRow("fraction") << 1.5 << u"1.5"_s;
    QTest::newRow("shortest-fraction") << 0.1 << u"0.1"_s;
    QTest::newRow("negative") << -3.0 << u"-3"_s;
    QTest::newRow("zero") << 0.0 << u"0"_s;
    QTest::newRow("negative-zero") << -0.0 << u"0"_s;
    QTest::newRow("infinity") << Infinity << u"inf"_s;
    QTest::newRow("negative-infinity") << -Infinity << u"-inf"_s;
}

void tst_NumericReading::numberText()
{
    QFETCH(double, value);
    QFETCH(QString, expected);

    QCOMPARE(::numberText(value), expected);
}

QTEST_APPLESS_MAIN(tst_NumericReading)
#include "tst_numericreading.moc"
