// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "updatesweep.h"

namespace {

// Update data stops after this many read-backs in a row without a single byte from the
// instrument (each costs both waits): one that is switched off behind a serial bridge, hung, or
// busy in a front-panel menu would otherwise hold the window for over a minute.
constexpr int unheardReadBacksToStop = 2;
// Nor does it go on past this once replies have come late in it, and every wait it is in ends by
// then: each late reply costs up to its own waits again to find the instrument's place, and an
// instrument that answers every line a little after the waits would otherwise hold the window for
// as long as the last read-back takes on top. An instrument that never answers one kind of
// query, and otherwise keeps time, is still asked for everything.
constexpr qint64 lateSweepBudgetMs = 9500;
// And once a read-back has gone unanswered in it, it gives the window back within 20 s: every
// wait it is in ends by this time, and what is still unanswered then is owed. An instrument that
// never answers one kind of query costs 18 s of waits a sweep; one held reply on top would
// otherwise take it past 20 s. One that answers every line, however slowly, is read to the end.
constexpr qint64 sweepLimitMs = 19500;

QString answersLate(int notSent)
{
    return QStringLiteral("Update data stopped: the instrument answers later than the program "
                          "waits, %1 not sent")
        .arg(notSent);
}

} // namespace

UpdateSweep::UpdateSweep(qint64 now, int readBacks)
    : total(readBacks)
    , lateBudget(now + lateSweepBudgetMs)
    , sweepLimit(now + sweepLimitMs)
{
}

std::optional<QString> UpdateSweep::stopBefore(qint64 now) const
{
    if (left() == 0)
        return QString();
    if (lateLines > 0 && now >= lateBudget)
        return answersLate(left());
    if (now >= deadline())
        return QStringLiteral("Update data stopped: a press holds the window 20 s at the most, "
                              "%1 not sent")
            .arg(left());
    return std::nullopt;
}

std::optional<QString> UpdateSweep::after(const ReadBack &readBack, qint64 now)
{
    lateLines += readBack.lateLines;
    if (!readBack.replied || readBack.lateLines > 0)
        limitSet = true;
    // The read-backs before were answered after all, if late: the instrument is not silent.
    if (readBack.lateLines > 0)
        unheardInARow = 0;
    const int notSent = left() + (readBack.heldBack ? 1 : 0);
    // An instrument that answers, but only after the waits, would have each read-back wait for
    // the one before it: none of the rest could be taken.
    if (readBack.heldBack && readBack.heard)
        return answersLate(notSent);
    // Its waits were cut short at the time given to an instrument that answers late.
    if (lateLines > 0 && now >= lateBudget && notSent > 0)
        return answersLate(notSent);
    const bool unheard = (readBack.unanswered || readBack.heldBack) && !readBack.heard;
    unheardInARow = unheard ? unheardInARow + 1 : 0;
    if (unheardInARow == unheardReadBacksToStop && left() > 0)
        return QStringLiteral("Update data stopped: no answer to %1 read-backs in a row, %2 not "
                              "sent")
            .arg(unheardInARow)
            .arg(notSent);
    return std::nullopt;
}
