// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "placefinder.h"
#include "replyledger.h"
#include "wiregrammar.h"

using namespace WireGrammar;

namespace {

// Each marker unanswered costs its waits, 2 s: a read-back tries two before it is held back.
constexpr int markersPerReadBack = 2;

} // namespace

bool PlaceFinder::needed(const ReplyLedger &ledger, QByteArrayView line, bool connected)
{
    return connected && !isIdentityQuery(line) && namedIn(argumentsOf(line))
        && ledger.contested(line);
}

PlaceFinder::PlaceFinder(QByteArrayView readBack)
    : readBack(readBack.toByteArray())
{
}

bool PlaceFinder::settled(const ReplyLedger &ledger) const
{
    return !ledger.contested(readBack);
}

PlaceFinder::Next PlaceFinder::askMarker(const ReplyLedger &ledger)
{
    const std::optional<QByteArray> next = ledger.markerFor(readBack, triedWords);
    if (!next)
        return Next::HoldBack;
    markerLine = *next;
    triedWords.append(commandWord(markerLine).toByteArray());
    ++markersAsked;
    return Next::AskMarker;
}

PlaceFinder::Next PlaceFinder::start(const ReplyLedger &ledger)
{
    return askMarker(ledger);
}

// A marker that brought its reply has settled everything before it. One that brought something
// else is followed by another, as the instrument is catching up; one that brought not a byte,
// after another that brought none, shows a stream that may be broken: a fresh connection is
// tried. It settles nothing (a device server keeps what its instrument owes), but a TCP
// instrument stuck on the old one answers the new one.
PlaceFinder::Next PlaceFinder::markerAnswered(ReplyLedger &ledger, bool heard, bool goOn,
                                              const Situation &situation)
{
    heardFinding = heardFinding || heard;
    ledger.silentMarkers = heard ? 0 : ledger.silentMarkers + 1;
    if (settled(ledger))
        return Next::Send;
    if (!goOn)
        return Next::HoldBack;
    if (ledger.silentMarkers >= 2 && situation.connected && !situation.reconnectPending
        && situation.freshConnectionsLeft > 0 && situation.timeForAfresh) {
        ledger.silentMarkers = 0; // two more silent ones before the next
        return Next::ConnectAfresh;
    }
    if (heard && markersAsked < markersPerReadBack)
        return askMarker(ledger);
    return Next::HoldBack;
}

// The fresh connection's identity exchange has had this read-back's time: it is sent if that
// settled its channel, and left for the next press if not.
PlaceFinder::Next PlaceFinder::connectedAfresh(const ReplyLedger &ledger)
{
    return settled(ledger) ? Next::Send : Next::HoldBack;
}
