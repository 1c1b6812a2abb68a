// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "clientconnection.h"

#include "instrument.h"
#include "simulator.h"

#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <utility>

using std::chrono::ceil;
using std::chrono::milliseconds;

namespace {

constexpr qint64 floodChunkBytes = 64 * 1024;
constexpr int verboseLogBytes = 200;

// Lines are made up ending in "\r\n"; the instrument ends them its own way.
QByteArray endedWith(QByteArray line, const QByteArray &terminator)
{
    if (line.endsWith("\r\n")) {
        line.chop(2);
        line += terminator;
    }
    return line;
}

// "T3,352" rounded to the nearest multiple of 5: "T3,350". A trigger source stays as it is.
QByteArray stepped(const QByteArray &setting, int step)
{
    const qsizetype comma = setting.indexOf(',');
    bool ok = false;
    const double value = setting.mid(comma + 1).toDouble(&ok);
    if (!ok)
        return setting;
    return setting.left(comma + 1) + QByteArray::number(std::round(value / step) * step, 'f', 0);
}

} // namespace

ClientConnection::ClientConnection(QTcpSocket *socket, Instrument &instrument,
                                   const SimulatorOptions &options, Output *shared, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_instrument(instrument)
    , m_options(options)
    , m_peer(socket->peerAddress().toString() + ':' + QString::number(socket->peerPort()))
    // Random holds go on where the last connection left them, not again from the start.
    , m_random(options.garbageSeed.value_or(
          options.fuzzSeed.value_or(options.holdSeed + quint32(instrument.linesTaken()))))
    , m_output(shared ? *shared : m_ownOutput)
{
    m_socket->setParent(this);
    // Replies go out when the instrument is done, not when the client's delayed ACK
    // lets Nagle send them (40 ms behind an echo).
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ClientConnection::writePending);
    connect(m_socket, &QTcpSocket::readyRead, this, &ClientConnection::readLines);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &ClientConnection::writePending);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        if (m_options.verbose)
            qInfo().nospace() << qPrintable(m_peer) << ": disconnected";
        m_output.open.removeOne(this);
        // Behind a device server, what the instrument still owes goes to the connection opened
        // before, if one is still open, else it waits for the next one.
        writePending();
        deleteLater();
    });
    if (m_options.verbose)
        qInfo().nospace() << qPrintable(m_peer) << ": connected";
    m_output.open.append(this);
    if (m_options.banner) {
        PendingReply banner;
        banner.bytes = *m_options.banner + m_options.terminator;
        enqueue(banner, QDeadlineTimer(m_options.bannerMs, Qt::PreciseTimer));
    }
    writePending(); // what an instrument behind a device server owes from before
    readLines();
}

void ClientConnection::readLines()
{
    while (!m_dropped && m_socket->canReadLine())
        handleLine(m_socket->readLine());
}

void ClientConnection::handleLine(const QByteArray &line)
{
    emit lineReceived(line);
    if (m_options.verbose)
        qInfo().nospace() << qPrintable(m_peer) << ": received " << line;

    ++m_linesReceived;
    if (m_options.dropAfterLines > 0 && m_linesReceived >= m_options.dropAfterLines) {
        drop();
        return;
    }

    // Like a real instrument, it takes up one line once it is done with the one
    // before, and each line, set lines included, takes the latency.
    const QDeadlineTimer start =
        qMax(QDeadlineTimer::current(Qt::PreciseTimer), m_output.busyUntil);
    m_output.busyUntil = start + m_options.latencyMs;
    if (m_options.echo) {
        PendingReply echo;
        echo.bytes = line;
        enqueue(echo, start);
    }

    QByteArray command = line;
    if (command.endsWith('\n'))
        command.chop(1);
    if (command.endsWith('\r'))
        command.chop(1);

    bool understood = false;
    PendingReply reply;
    const auto error = std::find_if(
        m_options.errors.cbegin(), m_options.errors.cend(),
        [&command](const auto &prefixAndText) { return command.startsWith(prefixAndText.first); });
    if (error != m_options.errors.cend()) {
        // Like an instrument that reports an error with a code: the line changes nothing.
        reply.bytes = error->second + "\r\n";
        understood = true;
    } else {
        reply.bytes = apply(command, &understood);
        if (const auto canned = m_options.replies.constFind(command);
            canned != m_options.replies.cend()) {
            reply.bytes = *canned + "\r\n";
            understood = true;
        }
    }
    if (!understood)
        qWarning().nospace() << qPrintable(m_peer) << ": not understood: " << command;

    const bool query = Instrument::commandOf(command).endsWith('?');
    if (m_options.garbageSeed)
        reply.bytes = garbage();
    else if (m_options.fuzzSeed && query)
        reply.bytes = newFuzzReply(command.trimmed().split(' ').value(1));
    else if (understood && reply.bytes.isEmpty() && m_options.answerSets)
        reply.bytes = *m_options.answerSets + "\r\n";
    else if (understood && reply.bytes.isEmpty() && m_options.confirmSets)
        reply.bytes = (m_options.keepOld || m_options.keepStep > 0
                           ? m_instrument.held(command)
                           : command.mid(command.indexOf(' ') + 1).trimmed())
            + "\r\n";
    else if (understood && m_options.floodBytes > 0 && Instrument::commandOf(command) == "*IDN?")
        reply.floodSize = m_options.floodBytes;
    // Garbage stays as random as it came; a flood ends in the bytes it holds.
    if (!m_options.garbageSeed)
        reply.bytes = reply.floodSize > 0 ? m_options.terminator
                                          : endedWith(reply.bytes, m_options.terminator);

    // Silent and muted lines have been applied all the same; only their answers are lost.
    const auto mutes = [&command](const QString &prefix) {
        return command.startsWith(prefix.toUtf8());
    };
    const int linesTaken = m_instrument.countLine();
    if (m_options.silent || linesTaken <= m_options.silentForLines || reply.size() == 0
        || std::any_of(m_options.mutePrefixes.cbegin(), m_options.mutePrefixes.cend(), mutes))
        return;

    // A serial bridge in telnet mode negotiates first; its bytes come before the first answer.
    if (m_options.telnetGreeting && !std::exchange(m_answered, true))
        reply.bytes.prepend("\xff\xfb\x03\xff\xfb\x01");
    // A held answer is one lost and sent again: the first time only.
    int heldMs = m_options.holdMs.contains(command) && m_instrument.firstTime(command)
        ? m_options.holdMs.value(command)
        : 0;
    // An instrument busy now and then, or a network that loses a packet now and then.
    if (m_options.holdOneIn > 0
        && (m_options.holdRandomLines == 0 || linesTaken <= m_options.holdRandomLines)
        && m_random.bounded(m_options.holdOneIn) == 0)
        heldMs += m_random.bounded(m_options.holdRandomMs.first, m_options.holdRandomMs.second + 1);
    const QDeadlineTimer due = m_output.busyUntil + (query ? m_options.lateMs : 0) + heldMs;
    // A console-style instrument writes its prompt after each answer: right behind it, in the
    // same write, when at once, else in a write of its own.
    const bool promptBehind = m_options.prompt && m_options.promptMs == 0 && reply.floodSize == 0;
    if (promptBehind)
        reply.bytes += *m_options.prompt;
    const auto cut = m_options.cuts.constFind(command);
    if (cut != m_options.cuts.cend() && reply.floodSize == 0 && cut->first < reply.bytes.size()) {
        PendingReply head;
        head.bytes = reply.bytes.left(cut->first);
        enqueue(head, due);
        reply.bytes.remove(0, cut->first);
        reply.answer = true;
        enqueue(reply, due + cut->second);
    } else {
        reply.answer = true;
        enqueue(reply, due);
    }
    if (m_options.repeatMs >= 0 && reply.floodSize == 0) {
        PendingReply again;
        again.bytes = reply.bytes;
        enqueue(again, due + m_options.repeatMs);
    }
    if (m_options.afterAnswer && query) {
        PendingReply trailer;
        trailer.bytes = *m_options.afterAnswer + m_options.terminator;
        enqueue(trailer, due + m_options.afterAnswerMs);
    }
    if (m_options.prompt && !promptBehind) {
        PendingReply prompt;
        prompt.bytes = *m_options.prompt;
        enqueue(prompt, due + m_options.promptMs);
    }
}

// Applies the line to the instrument and returns its reply. With their sets confirmed, some
// instruments refuse them, keeping what they held, or keep them rounded to their steps.
QByteArray ClientConnection::apply(const QByteArray &command, bool *understood)
{
    const QByteArray before = m_instrument.held(command);
    const QByteArray reply = m_instrument.reply(command, understood);
    if (!*understood || !reply.isEmpty() || !m_options.confirmSets)
        return reply;
    const QByteArray set = Instrument::commandOf(command) + ' ';
    if (m_options.keepOld)
        m_instrument.reply(set + before);
    else if (m_options.keepStep > 0)
        m_instrument.reply(set + stepped(m_instrument.held(command), m_options.keepStep));
    return reply;
}

// Like an instrument that reboots: the line that triggers it goes unanswered and unapplied,
// replies still waiting are lost. Behind a device server only the connection goes: the
// instrument still owes what it owed.
void ClientConnection::drop()
{
    if (m_options.verbose)
        qInfo().nospace() << qPrintable(m_peer) << ": dropping the connection";
    m_dropped = true;
    if (!m_options.deviceServer)
        m_output.pending.clear();
    m_timer.stop();
    m_socket->disconnectFromHost();
}

void ClientConnection::enqueue(PendingReply reply, QDeadlineTimer due)
{
    reply.due = due;
    m_output.pending.enqueue(reply);
    writePending();
}

// Writes what is due, oldest first. A reply that must wait (latency, the next piece of a
// split reply, room in the socket for a flood) leaves the ones behind it waiting too. Only the
// connection opened last writes; behind a device server the others, still open, leave it to it.
void ClientConnection::writePending()
{
    if (!m_output.open.endsWith(this)) {
        if (!m_output.open.isEmpty())
            m_output.open.last()->writePending();
        return;
    }
    while (!m_output.pending.isEmpty() && m_socket->state() == QAbstractSocket::ConnectedState) {
        PendingReply &reply = m_output.pending.head();
        if (!reply.due.hasExpired()) {
            // Rounded up: a reply never leaves before it is due.
            m_timer.start(ceil<milliseconds>(reply.due.remainingTimeAsDuration()));
            return;
        }

        qint64 count = reply.size() - reply.written;
        if (m_options.splitBytes > 0) {
            count = qMin<qint64>(count, m_options.splitBytes);
        } else if (reply.floodSize > 0) {
            // bytesWritten brings us back here once the socket has sent its share.
            if (m_socket->bytesToWrite() >= floodChunkBytes)
                return;
            count = qMin(count, floodChunkBytes);
        }

        const QByteArray piece = reply.take(count);
        m_socket->write(piece);
        emit replySent(piece);
        if (m_options.verbose) {
            QDebug log = qInfo().nospace();
            log << qPrintable(m_peer) << ": sent " << piece.left(verboseLogBytes);
            if (piece.size() > verboseLogBytes)
                log << "... (" << piece.size() << " bytes)";
        }

        if (reply.written < reply.size()) {
            if (m_options.splitBytes > 0)
                reply.due = QDeadlineTimer(m_options.splitGapMs, Qt::PreciseTimer);
        } else {
            // Like a device that speaks another protocol on this port, or a bridge that drops
            // its clients: it hangs up once it has answered.
            if (reply.answer && m_options.closeAfterAnswerMs >= 0)
                QTimer::singleShot(m_options.closeAfterAnswerMs, this, &ClientConnection::drop);
            m_output.pending.dequeue();
        }
    }
}

QByteArray ClientConnection::PendingReply::take(qint64 count)
{
    QByteArray piece;
    if (floodSize == 0) {
        piece = bytes.mid(written, count);
    } else {
        // Filler with the line end, held in `bytes`, only at the very end.
        piece = QByteArray(count, 'X');
        const qint64 lineEndAt = floodSize - bytes.size();
        for (qint64 i = qMax(written, lineEndAt); i < written + count; ++i)
            piece[i - written] = bytes[i - lineEndAt];
    }
    written += count;
    return piece;
}

// Mostly short lines, now and then one of up to 100 kB; control characters, bytes that are
// not UTF-8, commas; usually ending in "\r\n", sometimes in "\n" or nothing.
QByteArray ClientConnection::garbage()
{
    const int length =
        m_random.bounded(10) == 0 ? m_random.bounded(1, 100000) : m_random.bounded(1, 80);
    QByteArray bytes(length, Qt::Uninitialized);
    for (char &byte : bytes) {
        switch (m_random.bounded(4)) {
        case 0:
            byte = char(m_random.bounded(0x20));
            break;
        case 1:
            byte = char(m_random.bounded(0x80, 0x100));
            break;
        case 2:
            byte = ',';
            break;
        default:
            byte = char(m_random.bounded(0x20, 0x7f));
            break;
        }
    }
    switch (m_random.bounded(8)) {
    case 0:
        break;
    case 1:
        bytes += '\n';
        break;
    default:
        bytes += "\r\n";
        break;
    }
    return bytes;
}

// A reply that does not begin with the line the one before began with: a client cannot tell the
// same line sent again from a reply of its own.
QByteArray ClientConnection::newFuzzReply(const QByteArray &target)
{
    const auto firstLine = [](QByteArray reply) {
        return reply.replace('\r', '\n').split('\n').value(0).trimmed();
    };
    QByteArray reply = fuzzReply(target);
    while (firstLine(reply) == m_lastFuzzLine)
        reply = fuzzReply(target);
    m_lastFuzzLine = firstLine(reply);
    return reply;
}

// Replies that look almost like real ones: the queried source or channel (`target`, e.g. "T3")
// in one of its spellings, then a few comma-separated pieces of names, numbers at and beyond the
// 32-bit limits and in the forms instruments write them, trigger keywords in any case, empty
// pieces and stray line ends after the first piece. Every reply ends in a line end. One reply in
// strayShare names another source or channel first, and one in strayShare nothing at all: a
// client waits those out, so they stay rare.
QByteArray ClientConnection::fuzzReply(const QByteArray &target)
{
    constexpr int strayShare = 1000;
    static const char *const numbers[] = {
        "0",          "1",           "-1",          "200",        "2147483647",
        "2147483648", "-2147483648", "-2147483649", "4294967296", "99999999999999999999",
        "1e+06",      "1e999",       "-1e999",      "nan",        "inf",
        "-inf",       "0x10",        " 12 ",        "+5",         "3.3",
        "2.005",      "1e-05",       "1,5",         "",           " ",
        "+1.0E+03",   "345.000",     "345.5",       "4.29E+09",   "-2.147483648E+09",
    };
    static const char *const names[] = {"F1", "F2", "F3", "T0", "T4", "T8", "T9", "t3"};
    static const char *const words[] = {
        "OFF",    "off",    "In1",       "IN1",      "IN2", "iN2",
        "OFFIN2", "IN1IN2", "\xc2\xb5s", "\xff\xfe", "?",   "\t",
    };
    QByteArrayList pieces;
    const int count = m_random.bounded(2) ? 2 : m_random.bounded(5); // usable or not, about evenly
    for (int i = 1; i < count; ++i) {
        switch (m_random.bounded(4)) {
        case 0: {
            const int word = m_random.bounded(int(std::size(names) + std::size(words)));
            pieces += word < int(std::size(names)) ? names[word] : words[word - std::size(names)];
            break;
        }
        case 1:
            pieces += QByteArray::number(m_random.bounded(-3000000, 3000000));
            break;
        case 2:
            pieces +=
                QByteArray::number(m_random.generateDouble() * 10.0, 'g', 1 + m_random.bounded(8));
            break;
        default:
            pieces += numbers[m_random.bounded(int(std::size(numbers)))];
            break;
        }
    }
    const QByteArray spellings[] = {target, target.toLower(), ' ' + target + ' '};
    QByteArray first = spellings[m_random.bounded(int(std::size(spellings)))];
    if (target.isEmpty() || m_random.bounded(strayShare) == 0)
        first = names[m_random.bounded(int(std::size(names)))];
    else if (m_random.bounded(strayShare) == 0)
        first = words[m_random.bounded(int(std::size(words)))];
    pieces.prepend(first);

    QByteArray reply = m_random.bounded(8) == 0 ? QByteArray(",") : QByteArray();
    reply += pieces.join(',');
    if (m_random.bounded(10) == 0)
        reply += ",,";
    // A reply of nothing but white space would be waited out as no reply at all.
    if (QByteArrayView(reply).trimmed().isEmpty())
        reply += ',';
    // After the first piece, so that the first line still names what it is about.
    const qsizetype afterFirst = reply.indexOf(',', reply.startsWith(',') ? 1 : 0);
    if (afterFirst >= 0 && m_random.bounded(10) == 0)
        reply.insert(afterFirst + 1 + m_random.bounded(int(reply.size() - afterFirst)),
                     m_random.bounded(2) ? "\r\n" : "\n");
    reply += m_random.bounded(4) == 0 ? "\n" : "\r\n";
    return reply;
}
