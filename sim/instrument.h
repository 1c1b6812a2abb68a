// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <QByteArray>
#include <QSet>

#include <array>

// How the instrument writes the numbers in its replies. Instruments answer in the standard
// forms of their command languages: plain ("1000", "2.5"), with an exponent ("+1.000000E+03")
// or with a fixed number of decimals ("1000.000").
enum class NumberForm { Plain, Exponent, Decimal };

// The state of the delay generator and its line-based command language.
// Two frequency sources (F1, F2) and nine channels (T0..T8).
class Instrument
{
public:
    static constexpr int sourceCount = 2;
    static constexpr int channelCount = 9;
    static const QByteArray identity;

    explicit Instrument(NumberForm numbers = NumberForm::Plain);

    // Handles one line (without its terminator) and returns the reply including "\r\n".
    // Set lines and lines that are not understood return an empty array; *understood
    // tells them apart.
    QByteArray reply(const QByteArray &line, bool *understood = nullptr);

    // The command word of a line in upper case, e.g. "FREQ?" for "freq? f1".
    static QByteArray commandOf(const QByteArray &line);

    // What a set line sets, as the instrument holds it now, written as set lines write it: the
    // source or channel and its value, e.g. "T3,100" for "WIDTH T3,350" while the width is 100,
    // "T3,5000" for "AMPL T3,2500" (millivolts). Empty for a line that sets nothing.
    QByteArray held(const QByteArray &setLine) const;

    // Counts a line taken up, over every connection; returns how many so far. An instrument
    // busy for its first lines is busy for them whoever sends them.
    int countLine() { return ++m_linesTaken; }
    int linesTaken() const { return m_linesTaken; }
    // Whether `line` comes for the first time, on any connection.
    bool firstTime(const QByteArray &line)
    {
        const qsizetype before = m_linesSeen.size();
        m_linesSeen.insert(line);
        return m_linesSeen.size() > before;
    }

private:
    bool answer(const QByteArray &command, const QList<QByteArray> &arguments, QByteArray *reply);
    bool query(const QByteArray &command, const QByteArray &target, QByteArray *reply) const;
    bool set(const QByteArray &command, const QByteArray &target, const QByteArray &value);

    enum Quantity { Whole, Fraction };
    QByteArray written(double value, Quantity quantity) const;

    NumberForm m_numbers;
    std::array<int, sourceCount> m_frequencyHz;
    std::array<QByteArray, channelCount> m_trigger;
    std::array<int, channelCount> m_widthNs;
    std::array<int, channelCount> m_amplitudeMv;
    std::array<double, channelCount> m_delayPs;
    int m_linesTaken = 0;
    QSet<QByteArray> m_linesSeen;
};
