// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "instrument.h"

#include <QList>
#include <QLocale>
#include <QString>

#include <algorithm>
#include <cmath>

const QByteArray Instrument::identity = "Tarvo,Model 318 Simulator,SN318001,1.0";

namespace {

// "F1" -> 0, "f2" -> 1; -1 for anything else.
int sourceIndex(const QByteArray &name)
{
    if (name.size() != 2 || (name[0] != 'F' && name[0] != 'f') || name[1] < '1' || name[1] > '2')
        return -1;
    return name[1] - '1';
}

// "T0" -> 0 ... "t8" -> 8; -1 for anything else.
int channelIndex(const QByteArray &name)
{
    if (name.size() != 2 || (name[0] != 'T' && name[0] != 't') || name[1] < '0' || name[1] > '8')
        return -1;
    return name[1] - '0';
}

QByteArray sourceName(int index)
{
    return 'F' + QByteArray::number(index + 1);
}

QByteArray channelName(int index)
{
    return 'T' + QByteArray::number(index);
}

QByteArray shortest(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest).toLatin1();
}

// Integers are read as 64 bits, so a value beyond 32 bits is clamped like any
// other value out of range; only text that is not a 64-bit integer is refused.
bool parseClamped(const QByteArray &text, int lowest, int highest, int *value)
{
    bool ok = false;
    const qint64 parsed = text.toLongLong(&ok);
    if (!ok)
        return false;
    *value = int(std::clamp<qint64>(parsed, lowest, highest));
    return true;
}

} // namespace

Instrument::Instrument(NumberForm numbers)
    : m_numbers(numbers)
{
    m_frequencyHz.fill(1000);
    m_trigger.fill("OFF");
    m_widthNs.fill(200);
    m_widthNs[0] = 500;
    m_amplitudeMv.fill(5000);
    m_delayPs.fill(0.0);
}

QByteArray Instrument::commandOf(const QByteArray &line)
{
    const QByteArray trimmed = line.trimmed();
    const int space = trimmed.indexOf(' ');
    return (space < 0 ? trimmed : trimmed.left(space)).toUpper();
}

QByteArray Instrument::reply(const QByteArray &line, bool *understood)
{
    const QByteArray trimmed = line.trimmed();
    const int space = trimmed.indexOf(' ');
    QList<QByteArray> arguments;
    if (space >= 0) {
        arguments = trimmed.mid(space + 1).split(',');
        for (QByteArray &argument : arguments)
            argument = argument.trimmed();
    }

    QByteArray text;
    const bool ok = answer(commandOf(trimmed), arguments, &text);
    if (understood)
        *understood = ok;
    return text;
}

QByteArray Instrument::held(const QByteArray &setLine) const
{
    const QByteArray trimmed = setLine.trimmed();
    const QByteArray command = commandOf(trimmed);
    const QByteArray target = trimmed.mid(command.size()).split(',').value(0).trimmed();
    if (command == "FREQ") {
        const int source = sourceIndex(target);
        return source < 0 ? QByteArray()
                          : sourceName(source) + ',' + QByteArray::number(m_frequencyHz[source]);
    }
    const int channel = channelIndex(target);
    if (channel < 0)
        return {};
    QByteArray value;
    if (command == "TRIG")
        value = m_trigger[channel];
    else if (command == "WIDTH")
        value = QByteArray::number(m_widthNs[channel]);
    else if (command == "AMPL")
        value = QByteArray::number(m_amplitudeMv[channel]);
    else if (command == "DELAY")
        value = shortest(m_delayPs[channel]);
    else
        return {};
    return channelName(channel) + ',' + value;
}

bool Instrument::answer(const QByteArray &command, const QList<QByteArray> &arguments,
                        QByteArray *reply)
{
    if (command == "*IDN?") {
        if (!arguments.isEmpty())
            return false;
        *reply = identity + "\r\n";
        return true;
    }
    if (command.endsWith('?'))
        return arguments.size() == 1 && query(command.chopped(1), arguments[0], reply);
    return arguments.size() == 2 && set(command, arguments[0], arguments[1]);
}

bool Instrument::query(const QByteArray &command, const QByteArray &target, QByteArray *reply) const
{
    QByteArray value;
    QByteArray name;
    if (command == "FREQ") {
        const int source = sourceIndex(target);
        if (source < 0)
            return false;
        name = sourceName(source);
        value = written(m_frequencyHz[source], Whole);
    } else {
        const int channel = channelIndex(target);
        if (channel < 0)
            return false;
        name = channelName(channel);
        if (command == "TRIG")
            value = m_trigger[channel];
        else if (command == "WIDTH")
            value = written(m_widthNs[channel], Whole);
        else if (command == "AMPL")
            value = written(m_amplitudeMv[channel] / 1000.0, Fraction);
        else if (command == "DELAY")
            value = written(m_delayPs[channel], Fraction);
        else
            return false;
    }
    *reply = name + ',' + value + "\r\n";
    return true;
}

QByteArray Instrument::written(double value, Quantity quantity) const
{
    switch (m_numbers) {
    case NumberForm::Exponent:
        return (std::signbit(value) ? "" : "+") + QByteArray::number(value, 'E', 6);
    case NumberForm::Decimal:
        return QByteArray::number(value, 'f', 3);
    case NumberForm::Plain:
        break;
    }
    return quantity == Whole ? QByteArray::number(qint64(value)) : shortest(value);
}

bool Instrument::set(const QByteArray &command, const QByteArray &target, const QByteArray &value)
{
    if (command == "FREQ") {
        const int source = sourceIndex(target);
        return source >= 0 && parseClamped(value, 1, 1000000, &m_frequencyHz[source]);
    }

    const int channel = channelIndex(target);
    if (channel < 0)
        return false;
    if (command == "TRIG") {
        const QByteArray keyword = value.toUpper();
        if (keyword != "OFF" && keyword != "IN1" && keyword != "IN2")
            return false;
        m_trigger[channel] = keyword;
        return true;
    }
    if (command == "WIDTH")
        return parseClamped(value, 10, 1000000, &m_widthNs[channel]);
    if (command == "AMPL")
        return parseClamped(value, 2000, 5000, &m_amplitudeMv[channel]);
    if (command == "DELAY") {
        bool ok = false;
        const double delay = value.toDouble(&ok);
        if (!ok || !std::isfinite(delay))
            return false;
        m_delayPs[channel] = delay;
        return true;
    }
    return false;
}
