// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "placefinder.h"
#include "replyledger.h"

bool PlaceFinder::needed(const ReplyLedger &ledger, bool identityQuery, bool connected)
{
    return !identityQuery && ledger.readBackOwed() && connected;
}

// What the identity queries bring in is no answer to this read-back: it counts only where the
// read-back is not sent. Without the identity to find its place by, an identity query settles
// nothing: an instrument that has answered in time, or been heard answering late, can only start
// afresh. One that never has may just be late: the identity query shows which. An identity query
// that went unanswered once settles nothing the second time either: a new connection does. Where
// the instrument answers the new connection's identity query, the read-back goes out; where it
// does not, that query has had this read-back's waits, and the read-back is left for the next
// press.
PlaceFinder::PlaceFinder(const ReplyLedger &ledger)
    : noMarker(!ledger.knowsIdentity())
    , heardFinding(noMarker && ledger.keepsTime())
    , silentBefore(noMarker && !heardFinding && ledger.silentResyncs > 0)
{
}

PlaceFinder::Next PlaceFinder::start(ReplyLedger &ledger, const Situation &situation)
{
    if (heardFinding || silentBefore)
        return decide(ledger, Resync::Unsure, situation);
    ledger.strangerHeard = false;
    owed = ledger.owedCount();
    return Next::AskIdentity;
}

// A try that settles only an older identity query has got closer and is followed by another;
// one that settles nothing ends it.
PlaceFinder::Next PlaceFinder::identityAnswered(ReplyLedger &ledger, bool heard, bool goOn,
                                                const Situation &situation)
{
    heardFinding = heard || heardFinding;
    if (!ledger.readBackOwed())
        return decide(ledger, Resync::Settled, situation);
    const qsizetype stillOwed = ledger.owedCount();
    if (stillOwed <= owed && goOn) {
        owed = stillOwed;
        return Next::AskIdentity;
    }
    // A line that names nothing and is not the identity given on connecting may be the identity
    // all the same (a changed one, or none was given): waiting longer cannot tell.
    const Resync resync = !heardFinding ? Resync::Silent
        : ledger.strangerHeard          ? Resync::Unsure
                                        : Resync::Late;
    return decide(ledger, resync, situation);
}

PlaceFinder::Next PlaceFinder::decide(ReplyLedger &ledger, Resync resync,
                                      const Situation &situation)
{
    if (resync == Resync::Silent && noMarker)
        ++ledger.silentResyncs;
    // Silent to the identity query, though heard answering late, and its identity has never
    // answered one since connecting: what was taken for its identity was something else (a
    // bridge's banner line).
    if (resync == Resync::Silent && !noMarker && !ledger.identityConfirmed && ledger.heardLate())
        resync = Resync::Unsure;
    if (resync == Resync::Unsure && situation.connected && !situation.reconnectPending
        && situation.freshConnectionsLeft > 0 && situation.timeForAfresh)
        return Next::ConnectAfresh;
    return resync == Resync::Settled ? Next::Send : Next::HoldBack;
}

PlaceFinder::Next PlaceFinder::connectedAfresh(const ReplyLedger &ledger) const
{
    return silentBefore && !ledger.knowsIdentity() ? Next::HoldBack : Next::Send;
}
