// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef WIREGRAMMAR_H
#define WIREGRAMMAR_H

#include <QByteArrayView>
#include <QString>

#include <optional>

// The instrument's command language as the link reads it: the lines sent, the source or
// channel a line names, and the numbers in its replies.
namespace WireGrammar {

inline constexpr char identityQuery[] = "*IDN?";

// Trigger types on the wire, in the order of the panel's combo box.
inline constexpr const char *triggerKeywords[] = {"OFF", "IN1", "IN2"};

bool isIdentityQuery(QByteArrayView line);

// A source or channel name, F or T and a number in any case, white space around it
// allowed: " t03 " is the letter 'T' and the number "3".
struct Target
{
    char letter = 0;
    QByteArrayView number; // digits, without leading zeros

    bool operator==(const Target &other) const
    {
        return letter == other.letter && number == other.number;
    }
    bool operator!=(const Target &other) const { return !(*this == other); }
};

std::optional<Target> targetNamed(QByteArrayView text);
// What a line names first: the source or channel a reply is about.
std::optional<Target> namedIn(QByteArrayView line);

// The command word of a line sent, "WIDTH" of "WIDTH T3,350" and "WIDTH?" of "WIDTH? T3", and
// what follows it, "T3,350" or "T3".
QByteArrayView commandWord(QByteArrayView line);
QByteArrayView argumentsOf(QByteArrayView line);

// Whether a set line and a query are about the same quantity of the same source or channel:
// "WIDTH T3,350" and "WIDTH? T3". The answer to the one then belongs where the other's goes.
bool sameQuantity(QByteArrayView setLine, QByteArrayView query);

// The value of a reply "<source or channel>,<value>": the second of exactly two non-empty
// comma-separated pieces.
std::optional<QString> replyValue(const QString &reply);
// The 32-bit whole number that a decimal number stands for, in any of the forms instruments
// write; none for a fraction, a value beyond 32 bits, and whatever is no decimal number.
std::optional<int> wholeNumber(const QString &text);
std::optional<int> replyInteger(const QString &reply);
std::optional<double> replyNumber(const QString &reply);

} // namespace WireGrammar

#endif // WIREGRAMMAR_H
