#include "numericreading.h"

#include <QLocale>

#include <clocale>
#include <cstdlib>
#include <locale.h>
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

int digitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return 99;
}

// Walks a text one character at a time, never stopping on a blank.
template <typename Text> class Scanner
{
public:
    explicit Scanner(const Text &text)
        : m_text(text)
    {}

    char16_t peek()
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
    while (isDecimalDigit(scanner.peek())) {
        literal += char(scanner.peek());
        scanner.advance();
    }
}

// &H1F or &O17: a whole number in base 16 or 8, read after the "&".
template <typename Text> double readRadixNumber(Scanner<Text> &scanner)
{
    const char16_t marker = scanner.peek();
    const int base = (marker == u'H' || marker == u'h')   ? 16
                     : (marker == u'O' || marker == u'o') ? 8
                                                          : 0;
    if (base == 0)
        return 0;
    scanner.advance();
    double value = 0;
    while (digitValue(scanner.peek()) < base) {
        value = value * base + digitValue(scanner.peek());
        scanner.advance();
    }
    return value;
}

// The C library's conversion, pinned to the "C" locale so that the decimal point is always
// "."; it gives +-HUGE_VAL (an infinity) on overflow and 0 on underflow.
double convertDecimal(const std::string &literal)
{
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return strtod_l(literal.c_str(), nullptr, cLocale);
}

template <typename Text> double readNumberIn(const Text &text)
{
    Scanner<Text> scanner(text);
    if (scanner.peek() == u'&') {
        scanner.advance();
        return readRadixNumber(scanner);
    }

    std::string literal;
    if (scanner.peek() == u'+' || scanner.peek() == u'-') {
        literal += char(scanner.peek());
        scanner.advance();
    }
    const auto signLength = literal.size();
    appendDigits(scanner, literal);
    if (scanner.peek() == u'.') {
        literal += '.';
        scanner.advance();
        appendDigits(scanner, literal);
    }
    if (literal.find_first_of("0123456789", signLength) == std::string::npos)
        return 0;

    // The exponent counts only when at least one digit follows its marker.
    const char16_t marker = scanner.peek();
    if (marker == u'E' || marker == u'e' || marker == u'D' || marker == u'd') {
        const qsizetype markerPosition = scanner.position();
        std::string exponent = "e";
        scanner.advance();
        if (scanner.peek() == u'+' || scanner.peek() == u'-') {
            exponent += char(scanner.peek());
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
