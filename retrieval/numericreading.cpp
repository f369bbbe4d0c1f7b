// SPDX-License-Identifier: GPL-3.0-or-later
#include "numericreading.h"

#include <QLocale>

#include <cmath>
#include <optional>
#include <string>

namespace {

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

bool isDecimalDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

// The value of `c` as a digit of `base` (8 or 16); nothing when it is none.
std::optional<int> digitValue(char16_t c, int base)
{
    int value = base;
    if (c >= u'0' && c <= u'9')
        value = c - u'0';
    else if (c >= u'a' && c <= u'f')
        value = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
        value = c - u'A' + 10;
    return value < base ? std::optional<int>(value) : std::nullopt;
}

// Walks a text one character at a time, never stopping on a blank.
template <typename Text> class Scanner
{
public:
    explicit Scanner(const Text &text)
        : m_text(text)
    {}

    // The next character that is not a blank, or NUL at the end. Blanks count for nothing
    // wherever they stand, so the position moves past them for good.
    char16_t skipBlanksAndPeek()
    {
        while (m_position < m_text.size() && isBlank(at(m_position)))
            ++m_position;
        return m_position < m_text.size() ? at(m_position) : u'\0';
    }
    void advance() { ++m_position; }
    qsizetype position() const { return m_position; }
    void rewindTo(qsizetype position) { m_position = position; }

private:
    char16_t at(qsizetype i) const { return char16_t(static_cast<unsigned char>(m_text[i])); }

    const Text &m_text;
    qsizetype m_position = 0;
};

template <> char16_t Scanner<QStringView>::at(qsizetype i) const
{
    return m_text[i].unicode();
}

template <typename Text> void appendDigits(Scanner<Text> &scanner, std::string &literal)
{
    while (isDecimalDigit(scanner.skipBlanksAndPeek())) {
        literal += char(scanner.skipBlanksAndPeek());
        scanner.advance();
    }
}

// &H1F or &O17: a whole number in base 16 or 8, read after the "&".
template <typename Text> double readRadixNumber(Scanner<Text> &scanner)
{
    const char16_t marker = scanner.skipBlanksAndPeek();
    const int base = (marker == u'H' || marker == u'h')   ? 16
                     : (marker == u'O' || marker == u'o') ? 8
                                                          : 0;
    if (base == 0)
        return 0;
    scanner.advance();
    double value = 0;
    while (const std::optional<int> digit = digitValue(scanner.skipBlanksAndPeek(), base)) {
        value = value * base + *digit;
        scanner.advance();
    }
    return value;
}

// The "C" locale's conversion, whatever the user's locale: "." is the decimal point. It
// gives an infinity of the number's sign on overflow, but an unsigned 0 on underflow, so
// the sign is put back: a negative number too small to represent is -0, as "-0" itself is.
double convertDecimal(const std::string &literal)
{
    const double value =
        QLocale::c().toDouble(QLatin1StringView(literal.data(), qsizetype(literal.size())));
    return literal.starts_with('-') ? -std::abs(value) : value;
}

template <typename Text> double readNumberIn(const Text &text)
{
    Scanner<Text> scanner(text);
    if (scanner.skipBlanksAndPeek() == u'&') {
        scanner.advance();
        return readRadixNumber(scanner);
    }

    std::string literal;
    if (scanner.skipBlanksAndPeek() == u'+' || scanner.skipBlanksAndPeek() == u'-') {
        literal += char(scanner.skipBlanksAndPeek());
        scanner.advance();
    }
    const auto signLength = literal.size();
    appendDigits(scanner, literal);
    if (scanner.skipBlanksAndPeek() == u'.') {
        literal += '.';
        scanner.advance();
        appendDigits(scanner, literal);
    }
    if (literal.find_first_of("0123456789", signLength) == std::string::npos)
        return 0;

    // The exponent counts only when at least one digit follows its marker.
    const char16_t marker = scanner.skipBlanksAndPeek();
    if (marker == u'E' || marker == u'e' || marker == u'D' || marker == u'd') {
        const qsizetype markerPosition = scanner.position();
        std::string exponent = "e";
        scanner.advance();
        if (scanner.skipBlanksAndPeek() == u'+' || scanner.skipBlanksAndPeek() == u'-') {
            exponent += char(scanner.skipBlanksAndPeek());
            scanner.advance();
        }
        const auto exponentDigitsStart = exponent.size();
        appendDigits(scanner, exponent);
        if (exponent.size() > exponentDigitsStart)
            literal += exponent;
        else
            scanner.rewindTo(markerPosition);
    }
    return convertDecimal(literal);
}

} // namespace

double readNumber(QStringView text)
{
    return readNumberIn(text);
}

double readNumber(QByteArrayView text)
{
    return readNumberIn(text);
}

QString numberText(double value)
{
    if (value == 0)
        return QStringLiteral("0"); // also for -0
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}
