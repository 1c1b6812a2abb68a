// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "replyreader.h"
#include "debugtext.h"

namespace {

constexpr qint64 pauseMs = LineFramer::pauseMs;

} // namespace

ReplyReader::ReplyReader(LineFramer &framer, ReplyLedger &ledger)
    : framer(framer)
    , ledger(ledger)
{
}

// Text without a line end is taken as a line once the instrument has paused. From an instrument
// that ends its lines, while a read-back is owed, it is the start of a late line, whose rest is
// still to come.
ReplyReader::Look ReplyReader::drain(qint64 now, qint64 deadline, bool connected)
{
    // Bytes that keep coming without a line end (a device that talks on its own) hold the query
    // back no longer than a reply wait.
    if (giveUp < 0)
        giveUp = qMin(now + waitMs, deadline);
    for (;;) {
        const bool lineEnded = framer.takeIn(now, heard, dropped);
        dropPrompts();
        const bool keep = ledger.endsLines && ledger.readBackOwed();
        if (lineEnded || (framer.hasUnfinished() && !keep && framer.paused(now))) {
            const QByteArray line = framer.takeLine();
            logNotTaken(ledger.arrived(line), line);
            continue;
        }
        if (!framer.hasUnfinished() || keep || now >= giveUp || !connected) {
            logOverflow();
            return Look();
        }
        return {false, qMin(now + pauseMs, giveUp), 0};
    }
}

void ReplyReader::sent(qint64 now, qint64 deadline)
{
    // A reply that comes after the reply wait, within the late-reply wait that follows, is still
    // this query's: taken now, it reaches its own control instead of waiting for the next query.
    // What comes later is owed: it is not taken for another query's reply.
    replyDeadline = qMin(now + waitMs, deadline);
    lateDeadline = qMin(replyDeadline + waitMs, deadline);
    dropped = 0;
}

// Collects lines until the late-reply wait ends, and keeps the first that is the reply to the
// query just sent; the others are logged. A word that names nothing is taken once the reply wait
// has ended and nothing better has come. Until the reply wait ends only a line end ends a line;
// from then on, from an instrument that has ended none, text without one is taken as a line once
// the instrument has paused: some send no line end at all, and a reply still coming in byte by
// byte is not cut short.
ReplyReader::Look ReplyReader::collect(qint64 now, bool connected)
{
    for (;;) {
        const bool lineEnded = framer.takeIn(now, heard, dropped);
        dropPrompts();
        // From an instrument that has sent a line without a line end, and none with one, the
        // pause ends text at once.
        const bool unfinished = framer.hasUnfinished() && !ledger.endsLines
            && (now >= replyDeadline || ledger.endsNone);
        if (lineEnded || (unfinished && framer.paused(now))) {
            const QByteArray line = framer.takeLine();
            const bool tentativeBefore = ledger.tentativeHeld();
            const ReplyLedger::Verdict verdict = ledger.arrived(line);
            if (verdict == ReplyLedger::Verdict::Reply) {
                if (tentativeBefore)
                    logNotTaken(ReplyLedger::Verdict::Tentative, tentative);
                reply = line;
                replyOffset = framer.lineStart();
                logOverflow();
                return Look();
            }
            // A word that may yet be the reply is logged once it is not.
            if (verdict == ReplyLedger::Verdict::Tentative && !tentativeBefore) {
                tentative = line;
                tentativeOffset = framer.lineStart();
            } else {
                logNotTaken(verdict, line);
            }
            continue;
        }
        if (ledger.tentativeHeld() && now >= replyDeadline && framer.paused(now)) {
            ledger.takeTentative();
            reply = tentative;
            replyOffset = tentativeOffset;
            logOverflow();
            return Look();
        }
        if (now >= lateDeadline || !connected)
            break;
        qint64 wakeUp = now >= replyDeadline ? lateDeadline : replyDeadline;
        if (unfinished || ledger.tentativeHeld())
            wakeUp = qMin(wakeUp, now + pauseMs);
        return {false, qMax(now + 1, wakeUp), 1};
    }
    if (ledger.tentativeHeld())
        logNotTaken(ReplyLedger::Verdict::Tentative, tentative);
    ledger.waitsEnded();
    reply.reset();
    logOverflow();
    return Look();
}

// A prompt names nothing and answers nothing: it is dropped at once, and never waited for.
void ReplyReader::dropPrompts()
{
    while (framer.promptLength() > 0)
        framer.dropPrompt();
}

void ReplyReader::logOverflow()
{
    if (dropped > 0)
        log.append(debugText("overflow:", dropped));
    dropped = 0;
}

// One log line for each line that is not the reply; blank lines are not worth one.
void ReplyReader::logNotTaken(ReplyLedger::Verdict verdict, const QByteArray &line)
{
    using Verdict = ReplyLedger::Verdict;
    if (verdict == Verdict::Blank || verdict == Verdict::Reply)
        return;
    if (verdict == Verdict::Late)
        log.append(debugText("late, discarded:", QString::fromUtf8(line)));
    else
        log.append(debugText("discarded:", QString::fromUtf8(line)));
}
