// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "widget.h"
#include "ui_widget.h"
#include "widget_p.h"

#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QDebug>
#include <QHostAddress>
#include <QIcon>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScopeGuard>
#include <QTcpSocket>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace {

constexpr quint16 instrumentPort = 4000;
constexpr int waitMs = 1000;
// No reply of the instrument comes near this; anything longer is noise.
constexpr qint64 maxReplyBytes = 64 * 1024;
// Lines kept for telling echoes from replies while an instrument answers nothing.
constexpr qsizetype rememberedLines = 64;
// Text without a line end is a whole reply once nothing has followed it for this long; an
// instrument still sending one byte at a time, even over a slow serial bridge, is far quicker.
constexpr int pauseMs = 100;
// Update data stops after this many read-backs in a row without a single byte from the
// instrument (each costs both waits): one that is switched off behind a serial bridge, hung, or
// busy in a front-panel menu would otherwise hold the window for over a minute.
constexpr int unheardReadBacksToStop = 2;
// Nor does it go on past this once replies have come late in it: each late one costs up to its
// own waits again to find the instrument's place, and a read-back that must first find it can
// take up to 8 s (a wait for a line to end, the identity, a fresh connection, its own waits), so
// that a press never holds the window past 20 s. An instrument that never answers one kind of
// query, and otherwise keeps time, is still asked for everything.
constexpr int lateSweepBudgetMs = 12000;
// And once a read-back has gone unanswered in it, it gives the window back within 20 s: every
// wait it is in ends by this time, and what is still unanswered then is owed. An instrument that
// never answers one kind of query costs 18 s of waits a sweep; one held reply on top would
// otherwise take it past 20 s. One that answers every line, however slowly, is read to the end.
constexpr int sweepLimitMs = 19500;
// No new attempt follows the third loss of the connection within this time: a peer that takes
// every connection and closes it again (a device that speaks another protocol on this port, a
// bridge that drops its clients) would otherwise be called again and again, for ever.
constexpr int lossesToStop = 3;
constexpr int lossWindowMs = 10000;

// Where the identity cannot find the instrument's place, a press connects afresh at most this
// often: each costs the identity exchange, up to 2 s, on top of the read-back's own waits.
constexpr int freshConnectionsPerPress = 3;

constexpr char identityQuery[] = "*IDN?";

// Trigger types on the wire, in the order of the panel's combo box.
const char *const triggerKeywords[] = {"OFF", "IN1", "IN2"};

// Reads the typed text as exactly four decimal parts. QHostAddress would read
// "010" as octal and complete "10.1" to 10.0.0.1; here such text is no address.
// A null address makes the socket fail at once as for an unknown host, without
// a name lookup.
QHostAddress instrumentAddress(const QString &text)
{
    static const QRegularExpression dottedQuad(
        QStringLiteral("^([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})$"));
    const QRegularExpressionMatch match = dottedQuad.match(text);
    if (!match.hasMatch())
        return QHostAddress();
    quint32 address = 0;
    for (int part = 1; part <= 4; ++part) {
        const uint octet = match.capturedView(part).toUInt();
        if (octet > 255)
            return QHostAddress();
        address = address << 8 | octet;
    }
    return QHostAddress(address);
}

// Qt's blocking socket waits may return before their time on Windows. Each of these runs the
// wait again until what it waits for has happened or its own deadline has passed.
bool connectedWithin(QTcpSocket *link, int ms)
{
    const QDeadlineTimer deadline(ms);
    while ((link->state() == QAbstractSocket::HostLookupState
            || link->state() == QAbstractSocket::ConnectingState)
           && !deadline.hasExpired())
        link->waitForConnected(int(deadline.remainingTime()));
    return link->state() == QAbstractSocket::ConnectedState;
}

bool disconnectedWithin(QTcpSocket *link, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (link->state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired())
        link->waitForDisconnected(int(deadline.remainingTime()));
    return link->state() == QAbstractSocket::UnconnectedState;
}

void writtenWithin(QTcpSocket *link, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (link->bytesToWrite() > 0 && link->state() == QAbstractSocket::ConnectedState
           && !deadline.hasExpired())
        link->waitForBytesWritten(int(deadline.remainingTime()));
}

// Where the first line in `bytes` ends: its length with its line end, which is LF, CR, or CR LF
// or LF CR taken as one; -1 while no line end has come. Instruments and the serial bridges in
// front of them end their lines in all these ways.
qsizetype lineLength(QByteArrayView bytes)
{
    const auto isLineEnd = [](char c) { return c == '\r' || c == '\n'; };
    const auto end = std::find_if(bytes.begin(), bytes.end(), isLineEnd);
    if (end == bytes.end())
        return -1;
    const qsizetype at = end - bytes.begin();
    const bool pair = at + 1 < bytes.size() && isLineEnd(bytes[at + 1]) && bytes[at + 1] != *end;
    return at + (pair ? 2 : 1);
}

// Moves buffered input into `line`, up to and including the first line end; what follows stays in
// the socket. Bytes beyond maxReplyBytes are counted in `dropped` instead of kept. Returns true
// once the line end has been taken.
bool takeLine(QTcpSocket *link, QByteArray &line, qint64 &dropped)
{
    while (link->bytesAvailable() > 0) {
        const QByteArray available = link->peek(qMin(link->bytesAvailable(), maxReplyBytes));
        const qsizetype length = lineLength(available);
        const qint64 count = length < 0 ? available.size() : length;
        link->skip(count);
        const qint64 room = qMax<qint64>(0, maxReplyBytes - line.size());
        line.append(available.first(qMin(count, room)));
        dropped += qMax<qint64>(0, count - room);
        if (length >= 0)
            return true;
    }
    return false;
}

bool isIdentityQuery(QByteArrayView line)
{
    return line.trimmed() == QByteArrayView(identityQuery);
}

// A source or channel name, F or T and a number in any case, white space around it
// allowed: " t03 " is the letter 'T' and the number "3".
struct Target
{
    char letter = 0;
    QByteArrayView number; // digits, without leading zeros

    bool operator==(const Target &other) const
    {
        return letter == other.letter && number == other.number;
    }
    bool operator!=(const Target &other) const { return !(*this == other); }
};

std::optional<Target> targetNamed(QByteArrayView text)
{
    text = text.trimmed();
    if (text.size() < 2)
        return std::nullopt;
    const char letter = char(std::toupper(uchar(text.front())));
    QByteArrayView number = text.sliced(1);
    if ((letter != 'F' && letter != 'T')
        || !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    while (number.size() > 1 && number.front() == '0')
        number = number.sliced(1);
    return Target{letter, number};
}

// The first non-empty comma-separated piece, as a reply is read.
QByteArrayView firstPiece(QByteArrayView line)
{
    for (qsizetype start = 0;;) {
        const qsizetype comma = line.indexOf(',', start);
        const QByteArrayView piece = line.sliced(start, (comma < 0 ? line.size() : comma) - start);
        if (!piece.isEmpty() || comma < 0)
            return piece;
        start = comma + 1;
    }
}

// What a line names first: the source or channel a reply is about.
std::optional<Target> namedIn(QByteArrayView line)
{
    return targetNamed(firstPiece(line));
}

// The command word of a line sent, "WIDTH" of "WIDTH T3,350" and "WIDTH?" of "WIDTH? T3", and
// what follows it, "T3,350" or "T3".
QByteArrayView commandWord(QByteArrayView line)
{
    line = line.trimmed();
    const qsizetype space = line.indexOf(' ');
    return space < 0 ? line : line.first(space);
}

QByteArrayView argumentsOf(QByteArrayView line)
{
    line = line.trimmed();
    const qsizetype space = line.indexOf(' ');
    return space < 0 ? QByteArrayView() : line.sliced(space + 1).trimmed();
}

// Whether a set line and a query are about the same quantity of the same source or channel:
// "WIDTH T3,350" and "WIDTH? T3". The answer to the one then belongs where the other's goes.
bool sameQuantity(QByteArrayView setLine, QByteArrayView query)
{
    const QByteArrayView set = commandWord(setLine);
    const QByteArrayView asked = commandWord(query);
    return asked.size() == set.size() + 1 && asked.startsWith(set) && asked.endsWith('?')
        && namedIn(argumentsOf(setLine)) == targetNamed(argumentsOf(query));
}

// Whether an instrument's confirmation carries the value a set line sent, in any form it writes
// numbers: "1500.500" for "1500.5", the amplitude in volts, "2.5", for the millivolts sent, "2500".
bool sameValue(QByteArrayView confirmed, QByteArrayView sent, QByteArrayView command)
{
    confirmed = confirmed.trimmed();
    sent = sent.trimmed();
    if (confirmed == sent)
        return true;
    bool confirmedIsNumber = false;
    bool sentIsNumber = false;
    const double confirmedValue =
        QByteArray(confirmed.data(), confirmed.size()).toDouble(&confirmedIsNumber);
    const double sentValue = QByteArray(sent.data(), sent.size()).toDouble(&sentIsNumber);
    if (!confirmedIsNumber || !sentIsNumber)
        return false;
    return confirmedValue == sentValue
        || (command.compare("AMPL", Qt::CaseInsensitive) == 0
            && qRound64(confirmedValue * 1000.0) == qRound64(sentValue));
}

// Whether a set line's confirmation, "<channel>,<value>", reads as the reply to the query of the
// same quantity would: not when it carries the amplitude in the millivolts it was set in, since
// the instrument answers in volts.
bool readsAsReply(QByteArrayView confirmation, QByteArrayView setLine)
{
    if (commandWord(setLine).compare("AMPL", Qt::CaseInsensitive) != 0)
        return true;
    const QByteArrayView arguments = argumentsOf(setLine);
    const QByteArrayView sent = arguments.sliced(arguments.indexOf(',') + 1).trimmed();
    const QByteArrayView value = confirmation.sliced(confirmation.indexOf(',') + 1).trimmed();
    return QByteArray(value.data(), value.size()).toDouble() * 1000.0
        == QByteArray(sent.data(), sent.size()).toDouble();
}

} // namespace

QByteArray ReplyLedger::identityText(QByteArrayView line)
{
    // Telnet: IAC (255) and a command; WILL, WONT, DO and DONT (251-254) take an option byte,
    // a subnegotiation (SB, 250) runs to IAC SE (255 240), and IAC IAC stands for 255 itself.
    QByteArray text;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (uchar(line[i]) != 255 || i + 1 == line.size()) {
            text += line[i];
            continue;
        }
        const uchar command = uchar(line[i + 1]);
        if (command == 255) {
            text += line[i];
            ++i;
        } else if (command >= 251) {
            i += 2;
        } else if (command == 250) {
            const qsizetype end = line.indexOf("\xff\xf0", i + 2);
            i = end < 0 ? line.size() : end + 1;
        } else {
            ++i;
        }
    }
    return text.trimmed();
}

// An identity is text that names the instrument: what holds control characters or bytes beyond
// ASCII is noise, and a short word ("OK", "ERR", a prompt) is what instruments answer to
// anything. No later reply can be told by either.
QByteArray ReplyLedger::markerFrom(QByteArrayView line)
{
    const QByteArray text = identityText(line);
    const bool printable =
        std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= 0x20 && c < 0x7f; });
    const bool named =
        std::any_of(text.cbegin(), text.cend(), [](char c) { return std::isalpha(uchar(c)); });
    return printable && named && text.size() >= 4 ? text : QByteArray();
}

// The identity, alone or behind a prompt that came before it ("> Tarvo,...").
bool ReplyLedger::isMarker(QByteArrayView line) const
{
    return knowsIdentity() && identityText(line).endsWith(identity);
}

void ReplyLedger::connected()
{
    // The count of late lines goes on: Update data reads it across a fresh connection.
    const int late = lateLines;
    *this = ReplyLedger();
    lateLines = late;
}

void ReplyLedger::sent(QByteArrayView line, bool query)
{
    Sent entry;
    entry.line = line.trimmed().toByteArray();
    entry.query = query;
    sentSinceReply.append(entry);
    // Set lines pile up while the instrument answers nothing; the oldest of them no longer
    // matter once the instrument has moved on this far. Owed queries are kept.
    if (sentSinceReply.size() > rememberedLines) {
        const auto forgettable = std::find_if(sentSinceReply.cbegin(), sentSinceReply.cend(),
                                              [](const Sent &sent) { return !sent.owed; });
        if (forgettable != sentSinceReply.cend() && forgettable + 1 != sentSinceReply.cend())
            sentSinceReply.erase(forgettable);
    }
    waiting = query;
    tentative.reset();
    doubt = false;
    otherTarget = false;
}

const ReplyLedger::Sent *ReplyLedger::waitingQuery() const
{
    return waiting && !sentSinceReply.isEmpty() ? &sentSinceReply.constLast() : nullptr;
}

qsizetype ReplyLedger::owedCount() const
{
    return std::count_if(sentSinceReply.cbegin(), sentSinceReply.cend(),
                         [](const Sent &sent) { return sent.owed; });
}

bool ReplyLedger::readBackOwed() const
{
    return std::any_of(sentSinceReply.cbegin(), sentSinceReply.cend(),
                       [](const Sent &sent) { return sent.owed && !isIdentityQuery(sent.line); });
}

// The oldest identity query whose waits ended without its reply, or the end.
QList<ReplyLedger::Sent>::const_iterator ReplyLedger::owedIdentity() const
{
    return std::find_if(sentSinceReply.cbegin(), sentSinceReply.cend(),
                        [](const Sent &sent) { return sent.owed && isIdentityQuery(sent.line); });
}

// The oldest set line not answered yet about the source or channel that `line` names, or about
// any if it names none.
qsizetype ReplyLedger::unansweredSetFor(QByteArrayView line) const
{
    const std::optional<Target> named = namedIn(line);
    const auto set =
        std::find_if(sentSinceReply.cbegin(), sentSinceReply.cend(), [&named](const Sent &sent) {
            return !sent.query && !sent.answered && !sent.confirmed()
                && (!named || namedIn(argumentsOf(sent.line)) == named);
        });
    return set == sentSinceReply.cend() ? -1 : set - sentSinceReply.cbegin();
}

// The set line that `line`, "<source or channel>,<value>", confirms: the same source or channel
// and the same value as the set line's own ("WIDTH T3,350" confirmed "T3,350"). `again`: one
// already confirmed, which an instrument or a bridge that repeats itself confirms twice.
qsizetype ReplyLedger::setConfirmedBy(QByteArrayView line, bool again) const
{
    const QByteArrayView text = line.trimmed();
    const qsizetype comma = text.indexOf(',');
    for (qsizetype i = 0; i < sentSinceReply.size(); ++i) {
        const Sent &set = sentSinceReply.at(i);
        if (set.query || set.confirmed() != again)
            continue;
        if (again) {
            if (set.confirmation == text)
                return i;
            continue;
        }
        const QByteArrayView arguments = argumentsOf(set.line);
        const qsizetype setComma = arguments.indexOf(',');
        const std::optional<Target> target =
            setComma < 0 ? std::nullopt : targetNamed(arguments.first(setComma));
        if (comma >= 0 && target && targetNamed(text.first(comma)) == target
            && sameValue(text.sliced(comma + 1), arguments.sliced(setComma + 1),
                         commandWord(set.line)))
            return i;
    }
    return -1;
}

// The one place that decides what an arriving line is. In the order the instrument answers:
// echoes and blank lines may come before anything; the identity settles what was asked before
// it; while a read-back is owed, any other line may be its late reply. Then the answers to set
// lines, the reply just taken once more, and only then the reply. Where a line could be both the
// reply and something still unanswered, it is the reply only when either way its value belongs
// to the control that asked (a set line's confirmation of the same quantity, a repeat of the
// same query's reply); otherwise it is doubtful and shown nowhere.
ReplyLedger::Verdict ReplyLedger::verdictFor(QByteArrayView line) const
{
    const QByteArrayView text = line.trimmed();
    if (text.isEmpty())
        return Verdict::Blank;
    if (std::any_of(sentSinceReply.cbegin(), sentSinceReply.cend(),
                    [text](const Sent &sent) { return sent.line == text; }))
        return Verdict::Echo;

    const Sent *query = waitingQuery();
    const bool askingIdentity = query && isIdentityQuery(query->line);
    if (isMarker(line)) {
        if (owedIdentity() != sentSinceReply.cend())
            return Verdict::Marker;
        // Answering the identity query that waits, it also settles every read-back before it.
        return askingIdentity ? Verdict::Reply : Verdict::Repeat;
    }

    const std::optional<Target> named = namedIn(line);
    if (readBackOwed())
        return named ? Verdict::Late : Verdict::LateOrIdentity;
    // The identity asked for on connecting came after its waits, before anything else was sent:
    // nothing else can it be.
    const bool identityOnlyOwed = sentSinceReply.size() == 1 && sentSinceReply.first().owed
        && isIdentityQuery(sentSinceReply.first().line);
    if (!knowsIdentity() && !named && !query && identityOnlyOwed && !markerFrom(line).isEmpty())
        return Verdict::Marker;

    const std::optional<Target> queried =
        query ? targetNamed(argumentsOf(query->line)) : std::nullopt;
    const bool setUnanswered = unansweredSetFor(line) >= 0;
    if (!text.contains(',') && setUnanswered)
        return Verdict::SetAnswer;
    qsizetype set = setConfirmedBy(text);
    if (set < 0 && repeats)
        set = setConfirmedBy(text, true);
    if (set >= 0) {
        const QByteArray &setLine = sentSinceReply.at(set).line;
        if (query && sameQuantity(setLine, query->line))
            return readsAsReply(text, setLine) ? Verdict::Reply : Verdict::SetAnswer;
        return named && named == queried ? Verdict::Doubtful : Verdict::SetAnswer;
    }
    // A line about another channel, with a value other than its set line's: the instrument
    // confirmed what it made of that value. About the queried channel, from an instrument that
    // confirms its set lines, it may be that too (a value clamped to its range).
    if (named && named != queried && setUnanswered)
        return Verdict::SetAnswer;
    if (named && named == queried && setUnanswered && confirmsSets
        && !(query && sameQuantity(sentSinceReply.at(unansweredSetFor(line)).line, query->line)))
        return Verdict::Doubtful;
    if (!lastReply.isEmpty() && text == lastReply) {
        // The same query asked again reads the same, unless its quantity was set in between and
        // the instrument repeats itself.
        const bool setSince = repeats && query
            && std::any_of(sentSinceReply.cbegin(), sentSinceReply.cend(),
                           [query](const Sent &sent) {
                               return !sent.query && sameQuantity(sent.line, query->line);
                           });
        if (query && query->line == lastQuery && !setSince)
            return Verdict::Reply;
        return named && named == queried ? Verdict::Doubtful : Verdict::Repeat;
    }
    // The last query took a line that named nothing for its reply: its own may still come, and
    // about its source or channel, only the same quantity's reply is sure.
    if (!unsureQuery.isEmpty() && named && named == targetNamed(argumentsOf(unsureQuery))
        && !(query && query->line == unsureQuery))
        return named == queried ? Verdict::Doubtful : Verdict::Late;

    if (!query)
        return Verdict::Unasked;
    if (askingIdentity)
        return named ? Verdict::OtherTarget : Verdict::Reply;
    if (!named) {
        // An identity still owed comes before this query's reply, and which of the two a line
        // that names nothing is, only the identity given on connecting could tell.
        const bool identityOwed = owedIdentity() != sentSinceReply.cend();
        return identityOwed && !knowsIdentity() ? Verdict::Doubtful : Verdict::Tentative;
    }
    return named == queried ? Verdict::Reply : Verdict::OtherTarget;
}

// The instrument answers in order: whatever was asked before the query just answered has been
// answered, or never will be.
void ReplyLedger::settle(QByteArrayView reply, bool sure)
{
    const Sent *query = waitingQuery();
    lastQuery = query ? query->line : QByteArray();
    lastReply = reply.trimmed().toByteArray();
    unsureQuery = sure || !query ? QByteArray() : query->line;
    answeredInTime = answeredInTime || (sure && query && !isIdentityQuery(query->line));
    // Given in answer to the identity query after connecting, the identity marks the
    // instrument's place later on, when replies come too late to be told apart.
    if (query && isIdentityQuery(query->line) && !knowsIdentity() && !namedIn(reply))
        identity = markerFrom(reply);
    sentSinceReply.clear();
    waiting = false;
}

void ReplyLedger::confirm(qsizetype set, QByteArrayView confirmation)
{
    sentSinceReply[set].confirmation = confirmation.trimmed().toByteArray();
}

ReplyLedger::Verdict ReplyLedger::arrived(QByteArrayView line)
{
    const Verdict verdict = verdictFor(line);
    // Echoes keep the line ends of the lines sent: only the instrument's own lines show how it
    // ends them.
    const bool ended = line.endsWith('\n') || line.endsWith('\r');
    if (verdict != Verdict::Echo && verdict != Verdict::Blank)
        endsLines = endsLines || ended;
    // A prompt without a line end, from an instrument that ends its replies, is no reply.
    if (verdict == Verdict::Reply || verdict == Verdict::Tentative)
        endsNone = endsNone || !ended;
    repeats = repeats || verdict == Verdict::Repeat;
    // The identity given on connecting, given again in answer to an identity query: it is the
    // instrument's own, not a bridge's banner that came in its place.
    if ((verdict == Verdict::Reply || verdict == Verdict::Marker) && knowsIdentity()
        && isMarker(line))
        identityConfirmed = true;
    if (verdict == Verdict::Late || verdict == Verdict::LateOrIdentity) {
        lateHeard = true;
        ++lateLines;
    }
    switch (verdict) {
    case Verdict::Reply:
        settle(line, true);
        break;
    case Verdict::Tentative:
        if (!tentative)
            tentative = line.toByteArray();
        break;
    case Verdict::Doubtful:
    case Verdict::Late:
        // Booked against what it may be, in the order verdictFor() looks: a set line's
        // confirmation, the reply just taken once more, the reply still owed to the last query.
        doubt = doubt || verdict == Verdict::Doubtful;
        if (readBackOwed())
            break;
        if (const qsizetype set = setConfirmedBy(line); set >= 0)
            confirm(set, line);
        else if (setConfirmedBy(line, true) >= 0)
            break; // a confirmation said again
        else if (const qsizetype clamped = unansweredSetFor(line); clamped >= 0 && confirmsSets)
            confirm(clamped, line);
        else if (line.trimmed() != lastReply)
            unsureQuery.clear();
        break;
    case Verdict::SetAnswer:
        confirmsSets = confirmsSets || line.contains(',');
        if (const qsizetype set = setConfirmedBy(line); set >= 0)
            confirm(set, line);
        else if (setConfirmedBy(line, true) >= 0)
            break; // a confirmation said again
        else if (const qsizetype answered = unansweredSetFor(line); answered >= 0)
            sentSinceReply[answered].answered = true;
        break;
    case Verdict::OtherTarget:
        otherTarget = true;
        break;
    case Verdict::LateOrIdentity:
        strangerHeard = true;
        break;
    case Verdict::Marker: {
        if (!knowsIdentity())
            identity = markerFrom(line);
        // Everything asked up to the oldest identity query still owed has come, or never will.
        // Which of several identity queries the identity answers cannot be told; the oldest is
        // the safe guess, as it settles the least.
        sentSinceReply.erase(sentSinceReply.cbegin(), owedIdentity() + 1);
        lastReply.clear();
        unsureQuery.clear();
        break;
    }
    default:
        break;
    }
    return verdict;
}

std::optional<QByteArray> ReplyLedger::waitsEnded()
{
    if (!waiting)
        return std::nullopt;
    if (!doubt && (tentative || otherTarget)) {
        // Nothing else came: what named no source or channel was the reply after all, and
        // so was one that named another, a wrong one that shows nowhere.
        const QByteArray reply = otherTarget ? QByteArray() : *tentative;
        settle(reply, false);
        return reply;
    }
    sentSinceReply.last().owed = true;
    waiting = false;
    return std::nullopt;
}

namespace {

// The value of a reply "<source or channel>,<value>": the second of exactly
// two non-empty comma-separated pieces.
std::optional<QString> replyValue(const QString &reply)
{
    const QStringList pieces = reply.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (pieces.size() != 2)
        return std::nullopt;
    return pieces.at(1);
}

// The 32-bit whole number that a decimal number stands for, in any of the forms instruments
// write: "1000", "+1000", "1000.000", "+1.000000E+03", "1e3", white space around it allowed.
// Worked out from the digits, not through a double, so that no fraction is rounded away. A
// fraction, a value beyond 32 bits, and whatever is no decimal number (inf, nan, hexadecimal)
// stand for none: such a reply leaves the control as it was.
std::optional<int> wholeNumber(const QString &text)
{
    static const QRegularExpression decimal(
        QStringLiteral("^([+-]?)([0-9]*)(?:\\.([0-9]*))?(?:[eE]([+-]?[0-9]+))?$"));
    const QRegularExpressionMatch match = decimal.match(text.trimmed());
    if (!match.hasMatch() || (match.capturedLength(2) == 0 && match.capturedLength(3) == 0))
        return std::nullopt;
    const QString allDigits = match.captured(2) + match.captured(3);
    QStringView digits = allDigits;
    const auto isZero = [](QChar c) { return c == QLatin1Char('0'); };
    digits = digits.sliced(std::find_if_not(digits.begin(), digits.end(), isZero) - digits.begin());
    if (digits.isEmpty())
        return 0;
    bool exponentFits = true;
    const int written = match.capturedLength(4) > 0 ? match.captured(4).toInt(&exponentFits) : 0;
    if (!exponentFits)
        return std::nullopt; // far beyond 32 bits, or far below 1
    qint64 exponent = qint64(written) - match.capturedLength(3);
    while (exponent < 0 && digits.endsWith(QLatin1Char('0'))) {
        digits.chop(1);
        ++exponent;
    }
    // Ten digits at the most: 2147483648 is the largest magnitude that fits.
    if (exponent < 0 || digits.size() + exponent > 10)
        return std::nullopt;
    qint64 magnitude = digits.toLongLong();
    for (; exponent > 0; --exponent)
        magnitude *= 10;
    const qint64 value = match.capturedView(1) == QLatin1String("-") ? -magnitude : magnitude;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(value);
}

std::optional<int> replyInteger(const QString &reply)
{
    const std::optional<QString> value = replyValue(reply);
    return value ? wholeNumber(*value) : std::nullopt;
}

std::optional<double> replyNumber(const QString &reply)
{
    const std::optional<QString> value = replyValue(reply);
    bool ok = false;
    const double number = value ? value->trimmed().toDouble(&ok) : 0.0;
    return ok && std::isfinite(number) ? std::optional<double>(number) : std::nullopt;
}

} // namespace

Widget::Widget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_Widget)
    , ledger(std::make_unique<ReplyLedger>())
{
    ui->setupUi(this);
    // On a screen scaled above 100 %, the photo drawn at twice the size keeps it sharp: QIcon
    // picks "Tarvo318@2x.png" by itself.
    if (devicePixelRatio() > 1.0) {
        const QIcon photo(QStringLiteral(":/image/Tarvo318.png"));
        ui->lImage->setPixmap(photo.pixmap(ui->lImage->size(), devicePixelRatio()));
    }

    const QString octet = QStringLiteral("(?:[0-1]?[0-9]?[0-9]|2[0-4][0-9]|25[0-5])");
    const QRegularExpression address(QLatin1Char('^') + octet + QLatin1String("\\.") + octet
                                     + QLatin1String("\\.") + octet + QLatin1String("\\.") + octet
                                     + QLatin1Char('$'));
    ui->leTcpIpAdress->setValidator(new QRegularExpressionValidator(address, this));
    // Enter in the address field connects, as it would in a dialog.
    connect(ui->leTcpIpAdress, &QLineEdit::returnPressed, ui->pbConnect, &QPushButton::click);

    // For screen readers and automation: the address field has no name of its own, the photo
    // none at all.
    ui->lImage->setAccessibleName(QStringLiteral("Tarvo Model 318, front panel"));
    ui->leTcpIpAdress->setAccessibleName(QStringLiteral("Instrument address"));
    ui->leTcpIpAdress->setAccessibleDescription(
        QStringLiteral("IPv4 address in dotted-decimal form, such as 192.168.1.20; the "
                       "instrument is reached on port %1")
            .arg(instrumentPort));
    ui->pbConnect->setAccessibleDescription(
        QStringLiteral("Connects to the instrument at the address typed"));
    ui->pbUpdateData->setAccessibleDescription(
        QStringLiteral("Reads every value of both sources and all nine channels back from "
                       "the instrument"));

    connectPanels();
}

Widget::~Widget()
{
    // A connected socket, destroyed with the window, still signals its loss:
    // nothing must handle it, and no new attempt may start.
    if (socket)
        socket->disconnect(this);
    delete ui;
}

void Widget::connectPanels()
{
    frequencyWidgets = {ui->wFrequency1, ui->wFrequency2};
    for (int p = 0; p < frequencyWidgets.size(); ++p) {
        FrequencyWidget *panel = frequencyWidgets.at(p);
        panel->setChannelIndex(p + 1);
        connect(panel, &FrequencyWidget::getButtonCkicked, this, &Widget::getFrequency);
        connect(panel, &FrequencyWidget::setButtonCkicked, this, &Widget::setFrequency);
    }

    channelWidgets = {ui->wChannel0, ui->wChannel1, ui->wChannel2, ui->wChannel3, ui->wChannel4,
                      ui->wChannel5, ui->wChannel6, ui->wChannel7, ui->wChannel8};
    for (int p = 0; p < channelWidgets.size(); ++p) {
        ChannelWidget *panel = channelWidgets.at(p);
        panel->setChannelIndex(p);
        connect(panel, &ChannelWidget::getTriggerTypeClicked, this, &Widget::getTriggerTypeClicked);
        connect(panel, &ChannelWidget::setTriggerTypeClicked, this, &Widget::setTriggerTypeClicked);
        connect(panel, &ChannelWidget::getWidthClicked, this, &Widget::getWidthClicked);
        connect(panel, &ChannelWidget::setWidthClicked, this, &Widget::setWidthClicked);
        connect(panel, &ChannelWidget::getAmplitudeClicked, this, &Widget::getAmplitudeClicked);
        connect(panel, &ChannelWidget::setAmplitudeClicked, this, &Widget::setAmplitudeClicked);
        connect(panel, &ChannelWidget::getDelayClicked, this, &Widget::getDelayClicked);
        connect(panel, &ChannelWidget::setDelayClicked, this, &Widget::setDelayClicked);
    }
}

ChannelWidget *Widget::channelPanel(int channel) const
{
    return channel >= 0 && channel < channelWidgets.size() ? channelWidgets.at(channel) : nullptr;
}

void Widget::showConnected(bool connected)
{
    ui->gbChannels->setEnabled(connected);
    ui->gbFrequency->setEnabled(connected);
    ui->pbUpdateData->setEnabled(connected);
    ui->pbConnect->setEnabled(!connected);
    ui->leTcpIpAdress->setEnabled(!connected);
}

void Widget::on_pbConnect_clicked()
{
    recentLosses.clear();
    openConnection();
}

void Widget::openConnection()
{
    // At most one socket lives at a time: release the one of an earlier attempt.
    if (socket) {
        socket->disconnect();
        socket->deleteLater();
    }
    socket = new QTcpSocket(this);
    ledger->connected();
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->setReadBufferSize(maxReplyBytes);
    connect(socket, &QAbstractSocket::disconnected, this, [this] { connectionLost(); });

    socket->connectToHost(instrumentAddress(ui->leTcpIpAdress->text()), instrumentPort,
                          QIODevice::ReadWrite);
    if (connectedWithin(socket, waitMs)) {
        // Nagle + delayed ACK hold a second small line ~40 ms; Qt 6.4 loses it if set earlier.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        qDebug() << "Connected";
        showConnected(true);
        socket->readAll();
        const Exchange identity = query(QLatin1String(identityQuery), true);
        qDebug() << identity.reply;
    } else {
        qDebug() << "error";
        qDebug() << socket->errorString();
        if (reconnecting)
            showConnected(false);
    }
}

// Runs on the socket's disconnected signal, possibly inside a wait of query().
void Widget::connectionLost()
{
    qDebug() << "disconnect";
    QTcpSocket *lost = socket;
    lost->disconnectFromHost();
    if (disconnectedWithin(lost, waitMs)) {
        qDebug("Disconnected!");
        lost->disconnect();
        lost->deleteLater();
        socket = nullptr;
    }

    if (reconnecting) {
        // The new attempt has lost its connection too: give the controls back
        // to the user rather than trying again and again.
        showConnected(false);
        return;
    }
    recentLosses.removeIf([](const QDeadlineTimer &forgotten) { return forgotten.hasExpired(); });
    recentLosses.append(QDeadlineTimer(lossWindowMs));
    if (recentLosses.size() >= lossesToStop) {
        qDebug("Reconnecting stopped: the connection was lost %d times within %d s",
               int(recentLosses.size()), lossWindowMs / 1000);
        showConnected(false);
        return;
    }
    // Try again from the event loop, once the wait that noticed the loss has
    // returned: an attempt made in here would nest inside that wait, and an
    // instrument that accepts and closes at once would nest them without end.
    reconnectPending = true;
    QMetaObject::invokeMethod(this, &Widget::reconnect, Qt::QueuedConnection);
}

void Widget::reconnect()
{
    if (!std::exchange(reconnectPending, false))
        return;
    reconnecting = true;
    openConnection();
    reconnecting = false;
}

// A new stream carries nothing owed: where the instrument's place cannot be found on this one,
// the program closes it itself (the instrument did not lose it) and opens another. Returns
// whether the new one is up.
bool Widget::connectAfresh()
{
    if (!socket)
        return false;
    qDebug("Connecting afresh: a reply to an earlier query may still come, and no identity "
           "shows where the instrument has got to");
    socket->disconnect(this);
    socket->abort();
    const bool wasReconnecting = std::exchange(reconnecting, true);
    openConnection();
    reconnecting = wasReconnecting;
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

void Widget::closeEvent(QCloseEvent *event)
{
    qDebug() << "close";
    reconnectPending = false;
    if (socket) {
        socket->disconnect();
        socket->disconnectFromHost();
        if (disconnectedWithin(socket, waitMs)) {
            qDebug("Disconnected!");
            socket->deleteLater();
            socket = nullptr;
        }
    }
    QWidget::closeEvent(event);
}

namespace {

// One log line for each line that is not the reply; blank lines are not worth one.
void logNotTaken(ReplyLedger::Verdict verdict, const QByteArray &line)
{
    using Verdict = ReplyLedger::Verdict;
    if (verdict == Verdict::Blank || verdict == Verdict::Reply)
        return;
    if (verdict == Verdict::Late || verdict == Verdict::LateOrIdentity
        || verdict == Verdict::Marker)
        qDebug() << "late, discarded:" << QString::fromUtf8(line);
    else
        qDebug() << "discarded:" << QString::fromUtf8(line);
}

} // namespace

// Moves what has arrived into the ledger's unfinished line, up to the end of that line; returns
// whether it has ended. Everything that arrives is split into lines here.
bool Widget::takeIn(QTcpSocket *link, qint64 &dropped, bool &heard)
{
    if (link->bytesAvailable() > 0) {
        heard = true;
        ledger->bytesArrived(pauseMs);
    }
    return takeLine(link, ledger->unfinished, dropped);
}

// Takes in what the instrument sent before a query goes out, which cannot be that query's
// reply, and returns whether anything came. Text without a line end is taken as a line once the
// instrument has paused (a prompt). From an instrument that ends its lines, while a read-back is
// owed, it is the start of a late line, whose rest is still to come; after a line that named
// nothing was taken for the last reply, it is given a reply wait to end.
bool Widget::takeWaiting(QTcpSocket *link)
{
    // With no event loop running, a zero wait pulls in what the system already holds.
    link->waitForReadyRead(0);
    bool heard = false;
    qint64 dropped = 0;
    // Bytes that keep coming without a line end (a device that talks on its own) hold the
    // query back no longer than a reply wait.
    const QDeadlineTimer giveUp = qMin(QDeadlineTimer(waitMs), sweepDeadline);
    for (;;) {
        const bool lineEnded = takeIn(link, dropped, heard);
        const bool keep = ledger->endsLines && ledger->readBackOwed();
        // After a line that named nothing was taken for the last reply, text without a line end
        // may be the start of that query's own: it is given until the query would be sent to end.
        const bool awaitEnd = ledger->endsLines && ledger->lastReplyUnsure();
        const bool ends = awaitEnd ? giveUp.hasExpired() : ledger->paused();
        if (lineEnded || (!ledger->unfinished.isEmpty() && !keep && ends)) {
            const QByteArray line = std::exchange(ledger->unfinished, QByteArray());
            logNotTaken(ledger->arrived(line), line);
            continue;
        }
        if (ledger->unfinished.isEmpty() || keep || giveUp.hasExpired()
            || link->state() != QAbstractSocket::ConnectedState)
            break;
        link->waitForReadyRead(int(qMin<qint64>(pauseMs, giveUp.remainingTime())));
    }
    if (dropped > 0)
        qDebug() << "overflow:" << dropped;
    return heard;
}

// Collects lines until the late-reply wait that follows the reply wait ends, and returns the
// first that is the reply to the query just sent; the others are logged. A line that names no
// source or channel is taken once the reply wait has ended and nothing else has come. Until the
// reply wait ends only a line end ends a line; from then on, from an instrument that has ended
// none, text without one is taken as a line once the instrument has paused: some send no line
// end at all, and a reply still coming in byte by byte is not cut short. `untilSettled`: returns
// as soon as no read-back is owed any more.
std::optional<QByteArray> Widget::collectReply(QTcpSocket *link, qint64 &dropped, bool &heard,
                                               bool untilSettled)
{
    const QDeadlineTimer replyDeadline = qMin(QDeadlineTimer(waitMs), sweepDeadline);
    const QDeadlineTimer lateDeadline = qMin(replyDeadline + waitMs, sweepDeadline);
    for (;;) {
        const bool lineEnded = takeIn(link, dropped, heard);
        // From an instrument that has sent a line without a line end, and none with one, the
        // pause ends text at once.
        const bool unfinished = !ledger->unfinished.isEmpty() && !ledger->endsLines
            && (replyDeadline.hasExpired() || ledger->endsNone);
        if (lineEnded || (unfinished && ledger->paused())) {
            const QByteArray line = std::exchange(ledger->unfinished, QByteArray());
            const std::optional<QByteArray> tentative = ledger->tentativeReply();
            const ReplyLedger::Verdict verdict = ledger->arrived(line);
            if (verdict == ReplyLedger::Verdict::Reply) {
                if (tentative)
                    logNotTaken(ReplyLedger::Verdict::Tentative, *tentative);
                return line;
            }
            // A line that may yet be the reply is logged once it is not.
            if (verdict != ReplyLedger::Verdict::Tentative || tentative)
                logNotTaken(verdict, line);
            if (untilSettled && !ledger->readBackOwed())
                break;
            continue;
        }
        const bool tentativeDue =
            ledger->tentativeTaken() && replyDeadline.hasExpired() && ledger->paused();
        if (tentativeDue || lateDeadline.hasExpired()
            || link->state() != QAbstractSocket::ConnectedState)
            break;
        QDeadlineTimer wakeUp = replyDeadline.hasExpired() ? lateDeadline : replyDeadline;
        if (unfinished || ledger->tentativeTaken())
            wakeUp = qMin(wakeUp, QDeadlineTimer(pauseMs));
        link->waitForReadyRead(int(qMax<qint64>(1, wakeUp.remainingTime())));
    }
    const std::optional<QByteArray> tentative = ledger->tentativeReply();
    const std::optional<QByteArray> reply = ledger->waitsEnded();
    if (tentative && reply != tentative)
        logNotTaken(ReplyLedger::Verdict::Tentative, *tentative);
    return reply;
}

// Asks for the identity until no reply owed to an earlier read-back can still come: the
// instrument answers in order, so the reply to an identity query settles everything asked before
// it. A try that settles only an older identity query has got closer and is followed by another;
// one that settles nothing ends it. `heard`: whether the instrument sent anything at all.
Widget::Resync Widget::resynchronise(bool &heard)
{
    ledger->strangerHeard = false;
    qsizetype owed = ledger->owedCount();
    for (;;) {
        heard = query(QLatin1String(identityQuery), true).heard || heard;
        if (!ledger->readBackOwed())
            return Resync::Settled;
        const qsizetype stillOwed = ledger->owedCount();
        if (stillOwed > owed || !socket || socket->state() != QAbstractSocket::ConnectedState
            || sweepDeadline.hasExpired())
            break;
        owed = stillOwed;
    }
    if (!heard)
        return Resync::Silent;
    // A line that names nothing and is not the identity given on connecting may be the identity
    // all the same (a changed one, or none was given): waiting longer cannot tell.
    return ledger->strangerHeard ? Resync::Unsure : Resync::Late;
}

Widget::Exchange Widget::query(const QString &command, bool waitForReply)
{
    Exchange exchange;
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return exchange;

    const QString line = command + QLatin1String("\r\n");
    const QByteArray bytes = line.toLocal8Bit();
    if (waitForReply) {
        // Whatever the instrument sent before this query (an answer to a set line, a late
        // reply) must not be read as its reply.
        exchange.heard = takeWaiting(socket);
        // A reply that an earlier read-back still owes would pass for this one's if it named
        // the same channel: the instrument must first show that it has nothing more to send.
        if (!isIdentityQuery(bytes) && ledger->readBackOwed() && socket
            && socket->state() == QAbstractSocket::ConnectedState) {
            // What the identity queries bring in is no answer to this read-back: it counts only
            // where the read-back is not sent. Without the identity to find its place by, an
            // identity query settles nothing: an instrument that has answered in time, or been
            // heard answering late, can only start afresh. One that never has may just be late:
            // the identity query shows which.
            // An identity query that went unanswered once settles nothing the second time either:
            // a new connection does. Where the instrument answers the new connection's identity
            // query, the read-back goes out; where it does not, that query has had this
            // read-back's waits, and the read-back is left for the next press.
            const bool noMarker = !ledger->knowsIdentity();
            bool heardResync = noMarker && ledger->keepsTime();
            const bool silentBefore = noMarker && !heardResync && ledger->silentResyncs > 0;
            Resync resync =
                heardResync || silentBefore ? Resync::Unsure : resynchronise(heardResync);
            if (resync == Resync::Silent && noMarker)
                ++ledger->silentResyncs;
            // Silent to the identity query, though heard answering late, and its identity has
            // never answered one since connecting: what was taken for its identity was something
            // else (a bridge's banner line).
            if (resync == Resync::Silent && !noMarker && !ledger->identityConfirmed
                && ledger->heardLate())
                resync = Resync::Unsure;
            const bool connected = socket && socket->state() == QAbstractSocket::ConnectedState;
            // A fresh connection costs up to 3 s: the connection and the identity's waits.
            const bool timeLeft = QDeadlineTimer(3 * waitMs) <= sweepDeadline;
            if (resync == Resync::Unsure && connected && !reconnectPending
                && freshConnectionsLeft > 0 && timeLeft) {
                --freshConnectionsLeft;
                if (!connectAfresh())
                    return exchange;
                resync =
                    silentBefore && !ledger->knowsIdentity() ? Resync::Silent : Resync::Settled;
            }
            if (resync != Resync::Settled) {
                if (socket && socket->state() == QAbstractSocket::ConnectedState) {
                    qDebug() << "not sent, a reply to an earlier query may still come:" << line;
                    exchange.outcome = Exchange::HeldBack;
                    exchange.heard = exchange.heard || heardResync;
                }
                return exchange;
            }
        }
    }
    // The lost-connection handler may replace `socket` during a wait below;
    // this exchange stays on the socket it started with.
    const QPointer<QTcpSocket> link = socket;
    if (!link || link->state() != QAbstractSocket::ConnectedState)
        return exchange;

    qDebug() << "query:" << line;
    link->write(bytes);
    // Hands the line to the system at once; the wait below then has nothing
    // left to do unless the system could not take it all.
    link->flush();
    writtenWithin(link, waitMs);
    ledger->sent(bytes, waitForReply);
    if (!waitForReply)
        return exchange;

    // A reply that comes after the reply wait, within the late-reply wait that follows, is still
    // this query's: taken now, it reaches its own control instead of waiting in the socket for
    // the next query. What comes later is owed: it is not taken for another query's reply.
    qint64 dropped = 0;
    bool heardReply = false;
    const bool resynchronising = isIdentityQuery(bytes) && ledger->readBackOwed();
    const std::optional<QByteArray> reply =
        collectReply(link, dropped, heardReply, resynchronising);
    exchange.heard = exchange.heard || heardReply;
    if (dropped > 0)
        qDebug() << "overflow:" << dropped;
    if (link->state() != QAbstractSocket::ConnectedState) {
        exchange.outcome = Exchange::NotSent; // lost: the remaining lines are not sent anyway
    } else {
        exchange.outcome = reply ? Exchange::Replied : Exchange::Unanswered;
    }
    exchange.reply = QString::fromUtf8(reply.value_or(QByteArray()));
    qDebug() << "answer:" << exchange.reply;
    return exchange;
}

Widget::Exchange Widget::readBack(Quantity quantity, int channel, bool press)
{
    if (press)
        freshConnectionsLeft = freshConnectionsPerPress;
    static const char *const templates[] = {"FREQ? F%1", "TRIG? T%1", "WIDTH? T%1", "AMPL? T%1",
                                            "DELAY? T%1"};
    const Exchange exchange =
        query(QString::fromLatin1(templates[int(quantity)]).arg(channel), true);
    const QString &reply = exchange.reply;
    ChannelWidget *panel = channelPanel(channel);
    switch (quantity) {
    case Quantity::Frequency:
        if (const std::optional<int> value = replyInteger(reply);
            value && channel >= 1 && channel <= frequencyWidgets.size())
            frequencyWidgets.at(channel - 1)->setFrequency(*value);
        break;
    case Quantity::Trigger:
        qDebug() << reply;
        if (const std::optional<QString> value = replyValue(reply); value && panel) {
            // Each keyword found sets its type, so with several the last one wins.
            for (int type = 0; type < int(std::size(triggerKeywords)); ++type) {
                if (value->contains(QLatin1String(triggerKeywords[type])))
                    panel->setTriggerType(type);
            }
        }
        break;
    case Quantity::Width:
        if (const std::optional<int> value = replyInteger(reply); value && panel)
            panel->setWidth(*value);
        break;
    case Quantity::Amplitude:
        // The instrument answers in volts.
        if (const std::optional<double> value = replyNumber(reply); value && panel)
            panel->setAmplitude(*value);
        break;
    case Quantity::Delay:
        if (const std::optional<double> value = replyNumber(reply); value && panel)
            panel->setDelay(*value);
        break;
    }
    return exchange;
}

void Widget::setFrequency(int channel, long value)
{
    query(QStringLiteral("FREQ F%1,%2").arg(channel).arg(value), false);
}

void Widget::getFrequency(int channel)
{
    readBack(Quantity::Frequency, channel);
}

void Widget::setTriggerTypeClicked(int channel, int value)
{
    const bool known = value >= 0 && value < int(std::size(triggerKeywords));
    const QString keyword = known ? QLatin1String(triggerKeywords[value]) : QString();
    query(QStringLiteral("TRIG T%1,%2").arg(channel).arg(keyword), false);
}

void Widget::getTriggerTypeClicked(int channel)
{
    readBack(Quantity::Trigger, channel);
}

void Widget::setWidthClicked(int channel, long value)
{
    query(QStringLiteral("WIDTH T%1,%2").arg(channel).arg(value), false);
}

void Widget::getWidthClicked(int channel)
{
    readBack(Quantity::Width, channel);
}

void Widget::setAmplitudeClicked(int channel, double value)
{
    // The instrument takes the amplitude in millivolts.
    query(QStringLiteral("AMPL T%1,%2").arg(channel).arg(qRound(value * 1000.0)), false);
}

void Widget::getAmplitudeClicked(int channel)
{
    readBack(Quantity::Amplitude, channel);
}

void Widget::setDelayClicked(int channel, double value)
{
    const QString delay = QString::number(value, 'g', QLocale::FloatingPointShortest);
    query(QStringLiteral("DELAY T%1,%2").arg(channel).arg(delay), false);
}

void Widget::getDelayClicked(int channel)
{
    readBack(Quantity::Delay, channel);
}

void Widget::on_pbUpdateData_clicked()
{
    QList<std::pair<Quantity, int>> readBacks = {{Quantity::Frequency, 1},
                                                 {Quantity::Frequency, 2}};
    for (int channel = 0; channel < channelWidgets.size(); ++channel) {
        readBacks << std::pair(Quantity::Amplitude, channel) << std::pair(Quantity::Width, channel)
                  << std::pair(Quantity::Delay, channel) << std::pair(Quantity::Trigger, channel);
    }

    int unheardInARow = 0;
    int lateLines = 0;
    const QDeadlineTimer lateBudget(lateSweepBudgetMs);
    const QDeadlineTimer sweepLimit(sweepLimitMs);
    const auto sweepEnded = qScopeGuard([this] { sweepDeadline = QDeadlineTimer::Forever; });
    for (qsizetype done = 0; done < readBacks.size();) {
        if (lateLines > 0 && lateBudget.hasExpired()) {
            qDebug("Update data stopped: the instrument answers later than the program waits, "
                   "%d not sent",
                   int(readBacks.size() - done));
            return;
        }
        if (sweepDeadline.hasExpired()) {
            qDebug("Update data stopped: a press holds the window 20 s at the most, %d not sent",
                   int(readBacks.size() - done));
            return;
        }
        const auto [quantity, channel] = readBacks.at(done++);
        const int lateBefore = ledger->lateLines;
        const Exchange exchange = readBack(quantity, channel, done == 1);
        const int lateCame = ledger->lateLines - lateBefore;
        lateLines += lateCame;
        if (exchange.outcome != Exchange::Replied || lateCame > 0)
            sweepDeadline = sweepLimit;
        // The read-backs before were answered after all, if late: the instrument is not silent.
        if (lateCame > 0)
            unheardInARow = 0;
        const bool heldBack = exchange.outcome == Exchange::HeldBack;
        const int notSent = int(readBacks.size() - done) + (heldBack ? 1 : 0);
        // An instrument that answers, but only after the waits, would have each read-back wait
        // for the one before it: none of the rest could be taken.
        if (heldBack && exchange.heard) {
            if (freshConnectionsLeft > 0)
                qDebug("Update data stopped: the instrument answers later than the program "
                       "waits, %d not sent",
                       notSent);
            else
                qDebug("Update data stopped: where the instrument has got to cannot be found, "
                       "even on a fresh connection, %d not sent",
                       notSent);
            return;
        }
        const bool unheard =
            (exchange.outcome == Exchange::Unanswered || heldBack) && !exchange.heard;
        unheardInARow = unheard ? unheardInARow + 1 : 0;
        if (unheardInARow == unheardReadBacksToStop && done < readBacks.size()) {
            qDebug("Update data stopped: no answer to %d read-backs in a row, %d not sent",
                   unheardInARow, notSent);
            return;
        }
    }
}
