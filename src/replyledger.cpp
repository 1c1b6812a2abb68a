// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "replyledger.h"

#include <algorithm>

using namespace WireGrammar;

namespace {

// Lines kept while the instrument settles nothing: set lines pile up while it answers none.
constexpr qsizetype rememberedLines = 64;
// Lines sent that an echo coming late may still repeat.
constexpr qsizetype echoedLines = 16;
// The query words a marker may use, most telling first, and the sources or channels of each.
const char *const markerWords[] = {"WIDTH?", "DELAY?", "AMPL?", "TRIG?", "FREQ?"};
constexpr int channels = 9;
constexpr int sources = 2;
// An identity shorter than this may read as an error word with its code ("ERR,3"), or as a word
// a bridge says: it cannot show where the instrument has got to.
constexpr qsizetype tellingIdentity = 8;

// "T3" for a line about channel 3: a key that outlives the line it came from.
QByteArray keyOf(const std::optional<Target> &target)
{
    return target ? target->letter + target->number.toByteArray() : QByteArray();
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

void ReplyLedger::connected()
{
    // A query cut off by the connection's end is owed like any other.
    waitsEnded();
    justConnected = true;
    connecting = true;
    endsLines = false;
    endsNone = false;
}

void ReplyLedger::sent(QByteArrayView line, bool query)
{
    Sent entry;
    entry.line = line.trimmed().toByteArray();
    entry.query = query;
    entry.identity = isIdentityQuery(entry.line);
    entry.onConnecting = std::exchange(justConnected, false) && entry.identity;
    entry.target = keyOf(namedIn(argumentsOf(entry.line)));
    // A repeat of the last reply no longer reads as the same query's once its quantity is set.
    if (!query && !previousQuery.isEmpty() && sameQuantity(entry.line, previousQuery))
        previousQuery.clear();
    unsettled.append(entry);
    recentlySent.append(entry.line);
    if (recentlySent.size() > echoedLines)
        recentlySent.removeFirst();
    tentative.clear();
    // Set lines pile up while the instrument answers none; the oldest is let go, but the channel
    // it names stays one that an answer may still name, until something settles it.
    if (unsettled.size() > rememberedLines) {
        const auto forgettable = std::find_if(unsettled.cbegin(), unsettled.cend() - 1,
                                              [](const Sent &sent) { return !sent.query; });
        if (forgettable != unsettled.cend() - 1) {
            forgotten.insert(forgettable->target);
            unsettled.erase(forgettable);
        }
    }
    waiting = query;
}

const ReplyLedger::Sent *ReplyLedger::waitingQuery() const
{
    return waiting && !unsettled.isEmpty() ? &unsettled.constLast() : nullptr;
}

bool ReplyLedger::readBackOwed() const
{
    return std::any_of(unsettled.cbegin(), unsettled.cend(),
                       [](const Sent &sent) { return sent.owed && !sent.identity; });
}

// Whether `sent`, still unsettled, could have sent a line naming `named` (or nothing). A query
// answers with a line naming its own source or channel, or with one naming none (an error word,
// the identity). A set line may be answered with a word, an error word, or its channel and the
// value kept; how an instrument answers one set line (accepted: "OK", or nothing) does not say
// how it answers the next (refused: the value kept).
bool ReplyLedger::couldSend(const Sent &sent, const std::optional<Target> &named)
{
    if (sent.identity)
        return !named;
    return !named || keyOf(named) == sent.target;
}

// Any line may be said twice, or more: the same text right after the line before it.
bool ReplyLedger::repeatMayBe(QByteArrayView text) const
{
    return text == previousLine;
}

bool ReplyLedger::contested(QByteArrayView readBack) const
{
    const QByteArray line = readBack.trimmed().toByteArray();
    return contestedBesides(keyOf(namedIn(argumentsOf(line))), line);
}

// Whether anything unsettled names `target`, but for queries the same as `line`.
bool ReplyLedger::contestedBesides(const QByteArray &target, const QByteArray &line) const
{
    return forgotten.contains(target)
        || std::any_of(unsettled.cbegin(), unsettled.cend(), [&](const Sent &sent) {
               return sent.target == target && sent.line != line;
           });
}

// Whether only set lines name `target`: a marker about it settles them, whichever answers.
bool ReplyLedger::namedBySetsOnly(const QByteArray &target) const
{
    return std::none_of(unsettled.cbegin(), unsettled.cend(),
                        [&](const Sent &sent) { return sent.target == target && sent.query; });
}

// Whether every line that could have sent the one arriving is the same query: then it is the
// oldest one's answer, whichever it is, as the instrument answers in order.
bool ReplyLedger::sameQueryOnly(const QList<qsizetype> &producers, const Sent *query) const
{
    if (producers.isEmpty())
        return false;
    const QByteArray &line = unsettled.at(producers.first()).line;
    return unsettled.at(producers.first()).query && (!query || query->line == line)
        && std::all_of(producers.cbegin(), producers.cend(),
                       [&](qsizetype i) { return unsettled.at(i).line == line; });
}

std::optional<QByteArray> ReplyLedger::markerFor(QByteArrayView readBack,
                                                 const QList<QByteArray> &tried) const
{
    // Kinds the instrument has answered first, the read-back's own ahead of the others; then,
    // where it has answered none yet, the read-back's own and the others: one of them may be a
    // kind it answers with an error word.
    const QByteArray own = commandWord(readBack).toByteArray().toUpper();
    QList<QByteArray> words = {own};
    for (const char *word : markerWords)
        if (own != word)
            words.append(word);
    std::stable_partition(words.begin(), words.end(),
                          [this](const QByteArray &word) { return answeredKinds.contains(word); });
    const QByteArray ownTarget = keyOf(namedIn(argumentsOf(readBack)));
    const QByteArray previousTarget = keyOf(namedIn(previousLine));
    // A source or channel that nothing unsettled names; where there is none (markers unanswered
    // while the instrument was silent), one that only the same marker still owed names; then one
    // that only set lines name: whichever of them answers, each line about it settles the
    // oldest, and the marker's own reply is sure once they have.
    for (const int pass : {0, 1, 2}) {
        for (const QByteArray &word : std::as_const(words)) {
            if (tried.contains(word))
                continue;
            const bool frequency = word == "FREQ?";
            for (int i = 0; i < (frequency ? sources : channels); ++i) {
                const QByteArray name =
                    (frequency ? "F" : "T") + QByteArray::number(frequency ? i + 1 : i);
                const QByteArray marker = word + ' ' + name;
                const bool free = pass == 0 ? !contestedBesides(name, QByteArray())
                    : pass == 1             ? !contestedBesides(name, marker)
                                            : namedBySetsOnly(name);
                if (name != ownTarget && name != previousTarget && free)
                    return marker;
            }
        }
    }
    // Where every source and channel is named by something unsettled, the identity, if it tells.
    // Right after the identity it could not be told from that one said twice: the read-back
    // itself goes first, its reply shown nowhere, and the identity after it.
    if (identityLine.size() >= tellingIdentity && !tried.contains(identityQuery)) {
        if (identityText(previousLine) == identityLine && !tried.contains(own))
            return readBack.toByteArray();
        return QByteArray(identityQuery);
    }
    return std::nullopt;
}

// The instrument answers in order: whatever was sent before the line that `index` answered has
// been answered, or never will be.
void ReplyLedger::settleThrough(qsizetype index)
{
    forgotten.clear(); // older than anything still listed
    unsettled.erase(unsettled.cbegin(), unsettled.cbegin() + index + 1);
}

// A line that one of several unsettled lines sent: whichever it was, everything before the oldest
// of them has been answered, and so has the oldest, unless it may send more than one line.
void ReplyLedger::settleOldest(const QList<qsizetype> &producers, bool forgottenMay)
{
    if (forgottenMay) {
        forgotten.clear();
        return;
    }
    const qsizetype oldest = producers.first();
    if (!unsettled.at(oldest).unsure)
        settleThrough(oldest);
    else if (oldest > 0)
        settleThrough(oldest - 1);
}

ReplyLedger::Verdict ReplyLedger::arrived(QByteArrayView line)
{
    const QByteArray text = line.trimmed().toByteArray();
    if (text.isEmpty())
        return Verdict::Blank;
    if (recentlySent.contains(text))
        return Verdict::Echo;
    // Echoes keep the line ends of the lines sent: only the instrument's own lines show how it
    // ends them.
    const bool ended = line.endsWith('\n') || line.endsWith('\r');
    endsLines = endsLines || ended;

    const std::optional<Target> named = namedIn(text);
    const Sent *query = waitingQuery();
    const qsizetype before = query ? unsettled.size() - 1 : unsettled.size();
    QList<qsizetype> producers;
    for (qsizetype i = 0; i < before; ++i)
        if (couldSend(unsettled.at(i), named))
            producers.append(i);
    const bool forgottenMay = named ? forgotten.contains(keyOf(named)) : !forgotten.isEmpty();
    const bool repeat = repeatMayBe(text);
    const QByteArray sameQueryBefore = std::exchange(previousQuery, QByteArray());
    previousLine = text;
    const bool identity = !identityLine.isEmpty() && identityText(text) == identityLine;
    // The identity, once given, comes again only from an identity query that has not given it
    // yet: the oldest such one's, and everything sent before it has been answered. Not while a
    // new connection's identity query waits: a bridge's banner may have come in the identity's
    // place the first time, and comes again there.
    if (identity && !repeat && identityLine.size() >= tellingIdentity && !connecting) {
        const auto asked = std::find_if(unsettled.cbegin(), unsettled.cend(), [](const Sent &sent) {
            return sent.identity && !sent.gaveIdentity;
        });
        if (asked != unsettled.cend()) {
            const qsizetype index = asked - unsettled.cbegin();
            const bool answersWaiting = query && index == unsettled.size() - 1;
            settleThrough(index);
            if (!answersWaiting)
                return Verdict::Late;
            waiting = false;
            return Verdict::Reply;
        }
    }

    // A read-back is never answered with the identity.
    if (query && couldSend(*query, named) && !(identity && !query->identity)) {
        if (query->identity) {
            // Taken for the log, whatever else may have sent it, but it settles nothing, and the
            // identity query stays unsettled: a banner may have come in the identity's place,
            // and the identity may still come.
            if (identityLine.isEmpty())
                identityLine = identityText(text);
            unsettled.last().gaveIdentity = identityText(text) == identityLine;
            connecting = connecting && !query->onConnecting;
            leaveOpen();
            return Verdict::Reply;
        }
        if (producers.isEmpty() && !forgottenMay && (!repeat || query->line == sameQueryBefore)) {
            endsNone = endsNone || !ended;
            // A word without a code ("OK", "ERR") may be one the instrument says after each
            // reply: the reply, unless a better one comes within the reply wait.
            if (!named && !text.contains(',') && !repeat) {
                if (tentative.isEmpty())
                    tentative = text;
                return Verdict::Tentative;
            }
            // Said twice or not, it is this query's value; but if it was said twice, this
            // query's own reply is still to come, and must not pass for another's. So may be a
            // named reply after an error word with its code.
            const QByteArray asked = query->line;
            if (named)
                answeredKinds.insert(commandWord(asked).toByteArray().toUpper());
            if (repeat || !named) {
                takeUnsure(repeat);
            } else {
                settleThrough(before);
                previousQuery = asked;
                waiting = false;
            }
            tentative.clear();
            return Verdict::Reply;
        }
        // The same query asked before, still unsettled: the oldest one's answer. Its value is
        // this query's too (no set line of its channel is unsettled between them), and this
        // query's own reply may still come.
        if (!repeat && !forgottenMay && !query->identity && sameQueryOnly(producers, query)) {
            if (unsettled.at(producers.first()).owed)
                ++lateLines;
            settleThrough(producers.first());
            if (!named)
                return Verdict::Late;
            leaveOpen();
            return Verdict::Reply;
        }
        if (!repeat && named && (!producers.isEmpty() || forgottenMay))
            settleOldest(producers, forgottenMay);
        return Verdict::Doubtful;
    }
    if (!producers.isEmpty() || forgottenMay) {
        const bool owedReadBack =
            std::any_of(producers.cbegin(), producers.cend(), [this](qsizetype i) {
                return unsettled.at(i).owed && !unsettled.at(i).identity;
            });
        // Late where a reply still owed may have sent it; else a set line's answer, or a line
        // about nothing asked (an identity already taken, said again).
        const bool owedQuery =
            std::any_of(producers.cbegin(), producers.cend(), [this](qsizetype i) {
                const Sent &sent = unsettled.at(i);
                return sent.query && (sent.owed || !sent.identity);
            });
        const bool sets = forgottenMay
            || std::any_of(producers.cbegin(), producers.cend(),
                           [this](qsizetype i) { return !unsettled.at(i).query; });
        if (owedReadBack)
            ++lateLines;
        if ((producers.size() == 1 || sameQueryOnly(producers, nullptr)) && !forgottenMay && !repeat
            && !identity) {
            const Sent &from = unsettled.at(producers.first());
            if (from.query && named)
                answeredKinds.insert(commandWord(from.line).toByteArray().toUpper());
            settleThrough(producers.first());
        } else if (!repeat && named) {
            // Not a line naming nothing: a bridge's banner, an identity said again, a word of its
            // own may be one, and come from none of them.
            settleOldest(producers, forgottenMay);
        }
        return owedQuery ? Verdict::Late : sets ? Verdict::SetAnswer : Verdict::Unasked;
    }
    if (repeat)
        return Verdict::Repeat;
    return query ? Verdict::OtherTarget : Verdict::Unasked;
}

// Taken for the reply, the query is left open to its own: a repeat, a word, or an error word is
// what it may have been. Its own answer came, and with it everything before it; a repeat shows
// nothing of that.
void ReplyLedger::takeUnsure(bool repeat)
{
    const qsizetype before = unsettled.size() - 1;
    if (before > 0 && !repeat)
        settleThrough(before - 1);
    leaveOpen();
}

// The query that waits takes its line, but may still send one of its own.
void ReplyLedger::leaveOpen()
{
    unsettled.last().unsure = true;
    waiting = false;
}

QByteArray ReplyLedger::takeTentative()
{
    takeUnsure(false);
    return std::exchange(tentative, QByteArray());
}

void ReplyLedger::waitsEnded()
{
    if (!waiting)
        return;
    connecting = connecting && !unsettled.last().onConnecting;
    unsettled.last().owed = true;
    waiting = false;
}
