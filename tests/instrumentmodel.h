// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef INSTRUMENTMODEL_H
#define INSTRUMENTMODEL_H

#include "instrument.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSet>

#include <algorithm>
#include <limits>
#include <utility>

// The instrument as the link may assume it, on virtual time: it takes one line at a time and
// answers in order, each output perhaps late, perhaps never; on whatever connection is open when
// an output is due. Every output is tagged with the line that produced it, so that a test can
// tell which command a value the window shows came from. The link never sees a tag.
struct Habits
{
    bool deviceServer = false; // what is owed comes out on the next connection
    bool identity = true;      // answers "*IDN?"
    QByteArray identityText = Instrument::identity;
    QByteArray banner;   // a bridge's banner line, 50 ms into every connection
    bool telnet = false; // a bridge's telnet negotiation before a connection's first answer
    int echo = 0;        // 0 none, 1 each line written back, 2 behind a prompt "> "
    int setAnswer = 0;   // 0 none, 1 "OK", 2 channel and value sent, 3 the value kept
    QByteArray lineEnd = "\r\n";
    bool repeat = false;            // every answer said twice
    QList<QByteArray> mute;         // lines beginning so are never answered: "AMPL?", "*IDN?"
    QByteArray errorKind;           // a query answered "ERR,3"
    bool promptAfter = false;       // "> " without a line end, 20 ms after each answer
    qint64 everyReplyLate = 0;      // ms: every reply to a read-back
    qint64 queryLate = 0;           // ms: every answer to a query, the identity's too
    QMap<QByteArray, qint64> holds; // a line's answer held back, the first time it comes
    int silentFor = 0;              // none of the first lines answered, on any connection
};

class InstrumentModel
{
public:
    static constexpr qint64 never = -1;
    enum Kind { Echo, Answer, Reply, Extra };
    struct Output
    {
        QByteArray bytes;
        qint64 due = 0;
        int line = -1; // the line that produced it
        Kind kind = Extra;
        QByteArray target; // a reply's source or channel, "T3"
        QByteArray query;  // a reply's query kind, "WIDTH?"
    };
    struct Placed
    {
        qint64 from, to; // bytes of a connection's stream
        Output output;
    };

    explicit InstrumentModel(const Habits &habits)
        : habits(habits)
    {
    }

    // Lateness of each output, by the order in which they are made: ms, or never.
    QMap<int, qint64> lateness;
    // From now on every output comes at once.
    bool prompt = false;
    Instrument instrument;
    // The index of the last set line of each "<QUERY?> <target>", as sent.
    QMap<QByteArray, int> lastSet;

    void connect(qint64 now)
    {
        // What was due before now went to the old connection, and is gone with it; a TCP
        // instrument drops the rest too.
        pending.erase(
            std::remove_if(pending.begin(), pending.end(),
                           [&](const Output &o) { return o.due <= now || !habits.deviceServer; }),
            pending.end());
        streams.append(QList<Placed>());
        streamBytes.append(0);
        greeted = false;
        if (!habits.banner.isEmpty())
            emitOutput({habits.banner + habits.lineEnd, 0, -1, Extra, {}, {}}, now + 50);
    }

    void receive(const QByteArray &bytes, qint64 now)
    {
        const int index = lines++;
        const QByteArray line = bytes.trimmed();
        if (habits.echo)
            emitOutput({(habits.echo == 2 ? "> " : "") + bytes, 0, index, Echo, {}, {}}, now);
        const QByteArray command = Instrument::commandOf(line);
        const QByteArray target = line.mid(line.indexOf(' ') + 1).split(',').value(0).trimmed();
        // Silent and muted lines are taken all the same; only their answers are lost.
        const auto mutes = [&](const QByteArray &prefix) { return line.startsWith(prefix); };
        const bool silent = index < habits.silentFor
            || std::any_of(habits.mute.cbegin(), habits.mute.cend(), mutes);
        qint64 held = 0;
        if (habits.holds.contains(line) && !heldBefore.contains(line)) {
            heldBefore.insert(line);
            held = habits.holds.value(line);
        }
        const qint64 late = held + (command.endsWith('?') ? habits.queryLate : 0);
        if (line == "*IDN?") {
            if (habits.identity && !silent)
                answer({habits.identityText, 0, index, Answer, {}, {}}, now, late);
            return;
        }
        if (!command.endsWith('?')) {
            lastSet[command + "? " + target] = index;
            const QByteArray old = valueOf(command + "? " + target);
            const QByteArray sent = line.mid(line.indexOf(',') + 1);
            instrument.reply(habits.setAnswer == 3 ? QByteArray() : line);
            // Refused: the instrument keeps the value it had, and says so.
            const QByteArray kept = habits.setAnswer == 3 ? old : sent;
            if (silent)
                return;
            if (habits.setAnswer == 1)
                answer({"OK", 0, index, Answer, {}, {}}, now, late);
            else if (habits.setAnswer >= 2)
                answer({target + ',' + kept, 0, index, Answer, {}, {}}, now, late);
            return;
        }
        if (silent)
            return;
        if (!habits.errorKind.isEmpty() && line.startsWith(habits.errorKind)) {
            answer({"ERR,3", 0, index, Answer, {}, {}}, now, late);
            return;
        }
        answer({instrument.reply(line).trimmed(), 0, index, Reply, target, command}, now,
               late + habits.everyReplyLate);
    }

    int linesReceived() const { return lines; }

    // The next time an output is due, or never.
    int made() const { return outputsMade; }
    qint64 nextDue() const { return pending.isEmpty() ? never : pending.first().due; }
    qint64 lastDue() const { return pending.isEmpty() ? never : pending.last().due; }

    // The outputs due at `at`, as the stream of the current connection carries them.
    QByteArray deliver(qint64 at)
    {
        QByteArray bytes;
        while (!pending.isEmpty() && pending.first().due <= at) {
            const Output output = pending.takeFirst();
            qint64 &offset = streamBytes.last();
            streams.last().append({offset, offset + output.bytes.size(), output});
            offset += output.bytes.size();
            bytes += output.bytes;
        }
        return bytes;
    }

    // The output that the byte at `offset` of the connection'th stream (from 1) belongs to.
    const Output *outputAt(int connection, qint64 offset) const
    {
        if (connection < 1 || connection > streams.size())
            return nullptr;
        for (const Placed &placed : std::as_const(streams)[connection - 1])
            if (offset >= placed.from && offset < placed.to)
                return &placed.output;
        return nullptr;
    }

    // The value the instrument holds, as its reply to `query` carries it.
    QByteArray valueOf(const QByteArray &query)
    {
        const QByteArray reply = instrument.reply(query).trimmed();
        return reply.mid(reply.indexOf(',') + 1);
    }

private:
    void answer(Output output, qint64 now, qint64 late = 0)
    {
        output.bytes += habits.lineEnd;
        // A bridge in telnet mode negotiates first; its bytes come before the first answer.
        if (habits.telnet && !std::exchange(greeted, true))
            output.bytes.prepend("\xff\xfb\x03\xff\xfb\x01");
        const Output again = output;
        emitOutput(output, now, late);
        if (habits.repeat)
            emitOutput(again, now + 40, late);
        if (habits.promptAfter)
            emitOutput({"> ", 0, output.line, Extra, {}, {}}, now + 20, late);
    }

    // One line at a time, in order: an output late by some time holds back every output after it.
    void emitOutput(Output output, qint64 at, qint64 late = 0)
    {
        // The case's lateness of this output replaces the habits' own; a prompt instrument has
        // neither.
        const int made = outputsMade++;
        if (lateness.contains(made)) {
            late = lateness.value(made);
            if (late == never && !prompt)
                return;
        }
        if (prompt)
            late = 0;
        output.due = qMax(at + late, pending.isEmpty() ? at : pending.last().due);
        pending.append(output);
    }

    const Habits habits;
    QList<Output> pending;
    QList<QList<Placed>> streams;
    QList<qint64> streamBytes;
    int lines = 0;
    bool greeted = false;
    QSet<QByteArray> heldBefore;
    int outputsMade = 0;
};

#endif // INSTRUMENTMODEL_H
