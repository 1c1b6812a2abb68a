// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "wiregrammar.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

namespace WireGrammar {

bool isIdentityQuery(QByteArrayView line)
{
    return line.trimmed() == QByteArrayView(identityQuery);
}

std::optional<Target> targetNamed(QByteArrayView text)
{
    text = text.trimmed();
    if (text.size() < 2)
        return std::nullopt;
    const char letter = char(std::toupper(uchar(text.front())));
    QByteArrayView number = text.sliced(1);
    if ((letter != 'F' && letter != 'T')
        || !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    while (number.size() > 1 && number.front() == '0')
        number = number.sliced(1);
    return Target{letter, number};
}

namespace {

// The first non-empty comma-separated piece, as a reply is read.
QByteArrayView firstPiece(QByteArrayView line)
{
    for (qsizetype start = 0;;) {
        const qsizetype comma = line.indexOf(',', start);
        const QByteArrayView piece = line.sliced(start, (comma < 0 ? line.size() : comma) - start);
        if (!piece.isEmpty() || comma < 0)
            return piece;
        start = comma + 1;
    }
}

} // namespace

// What a line names first: the source or channel a reply is about.
std::optional<Target> namedIn(QByteArrayView line)
{
    return targetNamed(firstPiece(line));
}

QByteArrayView commandWord(QByteArrayView line)
{
    line = line.trimmed();
    const qsizetype space = line.indexOf(' ');
    return space < 0 ? line : line.first(space);
}

QByteArrayView argumentsOf(QByteArrayView line)
{
    line = line.trimmed();
    const qsizetype space = line.indexOf(' ');
    return space < 0 ? QByteArrayView() : line.sliced(space + 1).trimmed();
}

bool sameQuantity(QByteArrayView setLine, QByteArrayView query)
{
    const QByteArrayView set = commandWord(setLine);
    const QByteArrayView asked = commandWord(query);
    return asked.size() == set.size() + 1 && asked.startsWith(set) && asked.endsWith('?')
        && namedIn(argumentsOf(setLine)) == targetNamed(argumentsOf(query));
}

std::optional<QString> replyValue(const QString &reply)
{
    const QStringList pieces = reply.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (pieces.size() != 2)
        return std::nullopt;
    return pieces.at(1);
}

// "1000", "+1000", "1000.000", "+1.000000E+03", "1e3", white space around it allowed: worked out
// from the digits, not through a double, so that no fraction is rounded away. A fraction, a value
// beyond 32 bits, and whatever is no decimal number (inf, nan, hexadecimal) stand for none: such
// a reply leaves the control as it was.
std::optional<int> wholeNumber(const QString &text)
{
    static const QRegularExpression decimal(
        QStringLiteral("^([+-]?)([0-9]*)(?:\\.([0-9]*))?(?:[eE]([+-]?[0-9]+))?$"));
    const QRegularExpressionMatch match = decimal.match(text.trimmed());
    if (!match.hasMatch() || (match.capturedLength(2) == 0 && match.capturedLength(3) == 0))
        return std::nullopt;
    const QString allDigits = match.captured(2) + match.captured(3);
    QStringView digits = allDigits;
    const auto isZero = [](QChar c) { return c == QLatin1Char('0'); };
    digits = digits.sliced(std::find_if_not(digits.begin(), digits.end(), isZero) - digits.begin());
    if (digits.isEmpty())
        return 0;
    bool exponentFits = true;
    const int written = match.capturedLength(4) > 0 ? match.captured(4).toInt(&exponentFits) : 0;
    if (!exponentFits)
        return std::nullopt; // far beyond 32 bits, or far below 1
    qint64 exponent = qint64(written) - match.capturedLength(3);
    while (exponent < 0 && digits.endsWith(QLatin1Char('0'))) {
        digits.chop(1);
        ++exponent;
    }
    // Ten digits at the most: 2147483648 is the largest magnitude that fits.
    if (exponent < 0 || digits.size() + exponent > 10)
        return std::nullopt;
    qint64 magnitude = digits.toLongLong();
    for (; exponent > 0; --exponent)
        magnitude *= 10;
    const qint64 value = match.capturedView(1) == QLatin1String("-") ? -magnitude : magnitude;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(value);
}

std::optional<int> replyInteger(const QString &reply)
{
    const std::optional<QString> value = replyValue(reply);
    return value ? wholeNumber(*value) : std::nullopt;
}

std::optional<double> replyNumber(const QString &reply)
{
    const std::optional<QString> value = replyValue(reply);
    bool ok = false;
    const double number = value ? value->trimmed().toDouble(&ok) : 0.0;
    return ok && std::isfinite(number) ? std::optional<double>(number) : std::nullopt;
}

} // namespace WireGrammar
