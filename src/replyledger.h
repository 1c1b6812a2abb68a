// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef REPLYLEDGER_H
#define REPLYLEDGER_H

#include "wiregrammar.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QSet>

#include <optional>

// What the instrument may still send, and what each line that arrives is. The instrument
// answers one line at a time, in order, on whatever connection is open when it answers: a
// serial instrument behind a device server keeps what it owes across a new connection, so a new
// connection settles nothing. Each line sent may bring an echo, then an answer: to a set line a
// word ("OK") or the channel with the value kept, to a query its reply or an error word, to the
// identity query the identity; any answer may be said twice, come late, or never. A line is taken
// for the reply to the query that waits only when nothing else still unsettled could have sent
// it; it then settles everything sent before. Where that cannot be told, it is shown nowhere.
class ReplyLedger
{
    Q_GADGET

public:
    enum class Verdict {
        Reply,       // the reply to the query that waits: nothing else could have sent it
        Tentative,   // a word that names nothing: the reply, if nothing better comes in its wait
        Doubtful,    // the query that waits could have sent it, and so could something else
        Blank,       // white space only
        Echo,        // a line sent, written back
        SetAnswer,   // the answer to a set line still unanswered
        Repeat,      // the line just before it, said once more
        OtherTarget, // about a source or channel that nothing sent names
        Late,        // the answer to an earlier query whose waits ended, or may be
        Unasked,     // came while no query waits, and answers nothing unsettled
    };
    Q_ENUM(Verdict)

    // A new connection: what was sent before stays unsettled; only the stream's own state goes.
    void connected();
    // `line` was written; a query now waits for its reply.
    void sent(QByteArrayView line, bool query);
    // Decides what one whole line is, and books it.
    Verdict arrived(QByteArrayView line);
    // The waits of the query ended without its reply: it is owed.
    void waitsEnded();
    // Whether a word that names nothing came for the query that waits, and is taken for its
    // reply if its reply wait ends with nothing better; and taking it.
    bool tentativeHeld() const { return !tentative.isEmpty(); }
    QByteArray takeTentative();

    // Whether a read-back's waits have ended without its reply, and nothing has settled it since.
    bool readBackOwed() const;
    // Whether anything still unsettled but the same query may yet send a line naming the source
    // or channel `readBack` reads: its reply could not be told from that line.
    bool contested(QByteArrayView readBack) const;
    // A query to find the instrument's place before `readBack` goes out: of a kind the instrument
    // has answered if it has, and not one of the kinds `tried`, about a source or channel that
    // nothing unsettled names, so that its reply is sure, and settles everything before it.
    std::optional<QByteArray> markerFor(QByteArrayView readBack,
                                        const QList<QByteArray> &tried) const;

    // Lines heard, on this connection and those before, that were replies owed: the instrument
    // answers later than the waits.
    int lateLines = 0;
    // Queries asked to find the instrument's place that brought not a byte back.
    int silentMarkers = 0;

    // Once the instrument has ended one line on this connection, it ends them all: text without
    // a line end is then an unfinished line, never a reply.
    bool endsLines = false;
    // Whether the instrument has sent a reply without a line end, taken at a pause.
    bool endsNone = false;

    // The identity's own text: without white space around it, and without the telnet commands
    // that a serial bridge in telnet mode puts in front of the first bytes of a connection.
    static QByteArray identityText(QByteArrayView line);

private:
    struct Sent
    {
        QByteArray line;
        bool query = false;
        bool identity = false;
        QByteArray target;   // the source or channel it names, "T3"
        bool owed = false;   // a query whose waits ended without its reply
        bool unsure = false; // taken with a line that may not have been its own answer: its own
                             // may still come
        bool onConnecting = false; // the identity query of a new connection, which a bridge's
                                   // banner may answer
        bool gaveIdentity = false; // an identity query that took the identity
    };

    static bool couldSend(const Sent &sent, const std::optional<WireGrammar::Target> &named);
    bool contestedBesides(const QByteArray &target, const QByteArray &line) const;
    bool namedBySetsOnly(const QByteArray &target) const;
    void settleOldest(const QList<qsizetype> &producers, bool forgottenMay);
    bool sameQueryOnly(const QList<qsizetype> &producers, const Sent *query) const;
    bool repeatMayBe(QByteArrayView text) const;
    const Sent *waitingQuery() const;
    void settleThrough(qsizetype index);
    void takeUnsure(bool repeat);
    void leaveOpen();

    // Lines sent and not yet settled, oldest first; the last one may be the query that waits.
    QList<Sent> unsettled;
    bool waiting = false;
    // The last line the instrument sent (not an echo), and the query whose sure reply it was, with
    // no set line of that quantity sent since.
    QByteArray previousLine;
    QByteArray previousQuery;
    QList<QByteArray> recentlySent; // an echo may come after the answer it goes with
    QByteArray identityLine;        // the identity, as first given
    QByteArray tentative;
    bool justConnected = false;
    // From a new connection until its identity query has had its answer or its waits: a bridge's
    // banner may come there, in the identity's place.
    bool connecting = false;
    // Channels of set lines let go while they piled up: an answer may still name them.
    QSet<QByteArray> forgotten;
    QSet<QByteArray> answeredKinds; // query words the instrument has surely answered
};

#endif // REPLYLEDGER_H
