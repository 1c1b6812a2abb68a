// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef PLACEFINDER_H
#define PLACEFINDER_H

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

class ReplyLedger;

// Where the instrument has got to, before a read-back goes out while something unsettled may
// still send a line naming the same source or channel: that line would pass for the read-back's
// reply. The instrument answers in order, so a sure reply settles everything sent before it. A
// marker is a read-back whose reply is sure: of a kind the instrument has answered, about a
// source or channel that nothing unsettled names. Where markers bring nothing at all back, the
// stream may be broken, and a fresh connection is tried; where nothing helps, the read-back is
// held back.
class PlaceFinder
{
public:
    enum class Next { AskMarker, Send, ConnectAfresh, HoldBack };
    struct Situation
    {
        bool connected = false;
        bool reconnectPending = false;
        int freshConnectionsLeft = 0;
        bool timeForAfresh = false; // a fresh connection costs up to 3 s
    };

    // Whether the query `line` must find the instrument's place first.
    static bool needed(const ReplyLedger &ledger, QByteArrayView line, bool connected);

    explicit PlaceFinder(QByteArrayView readBack);

    // The first step: a marker, or holding back where none can be told apart.
    Next start(const ReplyLedger &ledger);
    // After each marker. `heard`: it brought something; `goOn`: the connection is up and the
    // press has time left.
    Next markerAnswered(ReplyLedger &ledger, bool heard, bool goOn, const Situation &situation);
    // On the fresh connection.
    Next connectedAfresh(const ReplyLedger &ledger);
    // The marker to send next.
    const QByteArray &marker() const { return markerLine; }
    // The instrument sent something while its place was being found.
    bool heard() const { return heardFinding; }

private:
    Next askMarker(const ReplyLedger &ledger);
    bool settled(const ReplyLedger &ledger) const;

    QByteArray readBack;
    QByteArray markerLine;
    QList<QByteArray> triedWords; // a marker that did not settle is not asked again in its kind
    int markersAsked = 0;
    bool heardFinding = false;
};

#endif // PLACEFINDER_H
