// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef DEBUGTEXT_H
#define DEBUGTEXT_H

#include <QDebug>
#include <QString>

// A log line as the debug stream writes these values: words plain, text quoted and escaped.
template<typename... Parts>
QString debugText(const Parts &...parts)
{
    QString text;
    {
        QDebug stream(&text);
        (stream << ... << parts);
    }
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

#endif // DEBUGTEXT_H
