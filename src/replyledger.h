// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef REPLYLEDGER_H
#define REPLYLEDGER_H

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>

#include <optional>

// What the instrument may still send on one connection, and what each line that arrives is.
// The instrument answers one line at a time, in order: before the reply to a query may come
// echoes of the lines sent, answers to set lines (a word such as "OK", or the channel and the
// value just set), the reply just taken once more (an instrument or a bridge that repeats), and
// replies still owed to queries whose waits ended. A line is a read-back's reply only when none
// of these could have sent it; where that cannot be told yet, it is shown nowhere.
class ReplyLedger
{
    Q_GADGET

public:
    enum class Verdict {
        Reply,          // the reply to the query that waits
        Tentative,      // names no source or channel: the reply, if nothing else comes in time
        Doubtful,       // names the queried one, but something unanswered may read the same
        Blank,          // white space only
        Echo,           // a line sent, written back
        SetAnswer,      // the answer to a set line, with its value or without
        Repeat,         // the reply just taken, once more
        OtherTarget,    // about another source or channel
        Late,           // may be the reply still owed to an earlier read-back
        LateOrIdentity, // names nothing while a read-back is owed: a late reply, or an identity
                        // that is not the one the instrument gave on connecting
        Marker,         // the identity, answering an identity query still owed
        Unasked,        // came while no query waits, and answers nothing still owed
    };
    Q_ENUM(Verdict)

    // A new connection: nothing is owed on a new stream.
    void connected();
    // `line` was written; a query now waits for its reply.
    void sent(QByteArrayView line, bool query);
    // Decides what one whole line is, and books it.
    Verdict arrived(QByteArrayView line);
    // The waits of the query ended without its reply: the line taken for it after all (empty
    // when its reply named another source or channel), or nothing, and the query is owed.
    std::optional<QByteArray> waitsEnded();

    bool readBackOwed() const;
    qsizetype owedCount() const;
    bool knowsIdentity() const { return !identity.isEmpty(); }
    const std::optional<QByteArray> &tentativeReply() const { return tentative; }
    // The last query took a line that named nothing for its reply: its own may still come.
    bool lastReplyUnsure() const { return !unsureQuery.isEmpty(); }
    // A line that names nothing would be taken for the reply now: nothing doubtful has come.
    bool tentativeTaken() const { return tentative && !doubt; }
    // A line came that names nothing, while a read-back was owed, and was not the identity.
    bool strangerHeard = false;
    // Identity queries asked to find the instrument's place that brought not a byte back.
    int silentResyncs = 0;
    // Whether the instrument has answered a read-back within its waits on this connection, or
    // been heard answering one after them.
    bool keepsTime() const { return answeredInTime || lateHeard; }
    bool heardLate() const { return lateHeard; }
    // The identity has answered an identity query since the one on connecting.
    bool identityConfirmed = false;
    // Lines heard, on this connection and those before, that may have been replies owed: the
    // instrument answers later than the waits.
    int lateLines = 0;

    // Once the instrument has ended one line on this connection, it ends them all: text without
    // a line end is then an unfinished line, never a reply.
    bool endsLines = false;
    // Whether the instrument has sent a reply without a line end, taken at a pause.
    bool endsNone = false;

    // The identity's own text: without white space around it, and without the telnet commands
    // that a serial bridge in telnet mode puts in front of the first bytes of a connection.
    static QByteArray identityText(QByteArrayView line);
    static QByteArray markerFrom(QByteArrayView line);
    bool isMarker(QByteArrayView line) const;

private:
    struct Sent
    {
        QByteArray line;
        bool query = false;
        bool owed = false;       // its waits ended without its reply
        bool answered = false;   // a set line answered without its value
        QByteArray confirmation; // a set line's answer with its value, which may come once more

        bool confirmed() const { return !confirmation.isEmpty(); }
    };

    Verdict verdictFor(QByteArrayView line) const;
    QList<Sent>::const_iterator owedIdentity() const;
    qsizetype unansweredSetFor(QByteArrayView line) const;
    void settle(QByteArrayView reply, bool sure);
    const Sent *waitingQuery() const;
    qsizetype setConfirmedBy(QByteArrayView line, bool again = false) const;
    void confirm(qsizetype set, QByteArrayView confirmation);

    // Lines sent since the last reply was taken, oldest first; the last one may be the query
    // that waits.
    QList<Sent> sentSinceReply;
    bool waiting = false;
    QByteArray identity;             // as given on connecting
    QByteArray lastQuery, lastReply; // the reply just taken, trimmed, and what it answered
    QByteArray unsureQuery;    // the last query, when a line that named nothing was taken for it
    bool confirmsSets = false; // has answered a set line with its channel and value
    bool repeats = false;      // has sent a line once more: the identity, a reply
    bool answeredInTime = false;
    bool lateHeard = false;
    std::optional<QByteArray> tentative;
    bool doubt = false;
    bool otherTarget = false;
};

#endif // REPLYLEDGER_H
