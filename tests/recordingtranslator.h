// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef RECORDINGTRANSLATOR_H
#define RECORDINGTRANSLATOR_H

#include <QCoreApplication>
#include <QSet>
#include <QTranslator>

// Installed while it lives; records every (context, source text) pair that
// the program asks to translate, and translates nothing. Qt's own classes
// (contexts beginning with 'Q') ask too; they are left out.
class RecordingTranslator : public QTranslator
{
public:
    RecordingTranslator() { QCoreApplication::installTranslator(this); }
    ~RecordingTranslator() override { QCoreApplication::removeTranslator(this); }

    bool isEmpty() const override { return false; }

    QString translate(const char *context, const char *sourceText, const char *disambiguation,
                      int n) const override
    {
        Q_UNUSED(disambiguation);
        Q_UNUSED(n);
        if (context && context[0] != 'Q')
            requests.insert(QString::fromUtf8(context) + QLatin1Char('|')
                            + QString::fromUtf8(sourceText));
        return QString();
    }

    // "context|source" for every text asked for.
    mutable QSet<QString> requests;
};

#endif // RECORDINGTRANSLATOR_H
