// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef REPLYREADER_H
#define REPLYREADER_H

#include "lineframer.h"
#include "replyledger.h"

#include <QByteArray>
#include <QStringList>

#include <optional>

// One command line's share of the stream: what came before it, which cannot be its reply, and
// then its reply. Each look takes in what has arrived, books every whole line in the ledger, and
// says whether the reading is done or when to look again. What is not taken is logged.
class ReplyReader
{
public:
    // The reply wait, and the late-reply wait that follows it.
    static constexpr qint64 waitMs = 1000;

    struct Look
    {
        bool done = true;
        qint64 wakeAt = 0;
        qint64 minimumWaitMs = 0;
    };

    ReplyReader(LineFramer &framer, ReplyLedger &ledger);

    // Before a query goes out; `deadline`: no wait goes past it.
    Look drain(qint64 now, qint64 deadline, bool connected);
    // The query has gone out.
    void sent(qint64 now, qint64 deadline);
    Look collect(qint64 now, bool connected);

    // The instrument sent something while this reader read.
    bool heard = false;
    // The reply, and where it began in the connection's stream.
    std::optional<QByteArray> reply;
    qint64 replyOffset = 0;
    // What to log, in order; taken by the caller after each look.
    QStringList log;

private:
    void logNotTaken(ReplyLedger::Verdict verdict, const QByteArray &line);
    void logOverflow();
    void dropPrompts();

    LineFramer &framer;
    ReplyLedger &ledger;
    qint64 dropped = 0;
    qint64 giveUp = -1;
    qint64 replyDeadline = 0, lateDeadline = 0;
    QByteArray tentative;
    qint64 tentativeOffset = 0;
};

#endif // REPLYREADER_H
