// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "replyledger.h"
#include "wiregrammar.h"

#include <algorithm>
#include <cctype>

using namespace WireGrammar;

namespace {

// Lines kept for telling echoes from replies while an instrument answers nothing.
constexpr qsizetype rememberedLines = 64;

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
