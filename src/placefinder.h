// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef PLACEFINDER_H
#define PLACEFINDER_H

class ReplyLedger;

// Where the instrument has got to, before a read-back goes out while an earlier one's reply may
// still come: that reply would pass for this one's if it named the same channel. The instrument
// answers in order, so the reply to an identity query settles everything asked before it; where
// no identity can tell, a fresh connection is tried; where nothing helps, the read-back is held
// back.
class PlaceFinder
{
public:
    enum class Next { AskIdentity, Send, ConnectAfresh, HoldBack };
    struct Situation
    {
        bool connected = false;
        bool reconnectPending = false;
        int freshConnectionsLeft = 0;
        bool timeForAfresh = false; // a fresh connection costs up to 3 s
    };

    // Whether a read-back (`identityQuery` false) must find the instrument's place first.
    static bool needed(const ReplyLedger &ledger, bool identityQuery, bool connected);

    explicit PlaceFinder(const ReplyLedger &ledger);

    // The first step: an identity query, or straight to what follows from none.
    Next start(ReplyLedger &ledger, const Situation &situation);
    // After each identity query: another, or what follows. `heard`: it brought something;
    // `goOn`: the connection is up and the press has time left.
    Next identityAnswered(ReplyLedger &ledger, bool heard, bool goOn, const Situation &situation);
    // On the fresh connection, its identity query answered or not.
    Next connectedAfresh(const ReplyLedger &ledger) const;
    // The instrument sent something while its place was being found.
    bool heard() const { return heardFinding; }

private:
    enum class Resync { Settled, Silent, Late, Unsure };
    Next decide(ReplyLedger &ledger, Resync resync, const Situation &situation);

    bool noMarker;
    bool heardFinding;
    bool silentBefore;
    long long owed = 0;
};

#endif // PLACEFINDER_H
