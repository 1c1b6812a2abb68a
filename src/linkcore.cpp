// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "linkcore.h"
#include "updatesweep.h"
#include "wiregrammar.h"

#include <QDebug>

#include <memory>
#include <utility>

using namespace WireGrammar;

namespace {

// The fixed wait of every exchange: for the connection, the write, the reply, and again for a
// reply that comes late.
constexpr qint64 waitMs = 1000;
// No new attempt follows the third loss of the connection within this time: a peer that takes
// every connection and closes it again (a device that speaks another protocol on this port, a
// bridge that drops its clients) would otherwise be called again and again, for ever.
constexpr int lossesToStop = 3;
constexpr qint64 lossWindowMs = 10000;
// Where the identity cannot find the instrument's place, a press connects afresh at most this
// often: each costs the identity exchange, up to 2 s, on top of the read-back's own waits.
constexpr int freshConnectionsPerPress = 3;
constexpr qint64 pauseMs = LineFramer::pauseMs;

// A log line as the debug stream writes these values: words plain, text quoted and escaped.
template<typename... Parts>
QString debugText(const Parts &...parts)
{
    QString text;
    {
        QDebug stream(&text);
        (stream << ... << parts);
    }
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

} // namespace

enum class LinkCore::Step {
    // Connect: the connection, then the identity.
    Connect,
    Connecting,
    ConnectIdentified,
    // Exchange: one command line, from what came before it to its reply.
    Exchange,
    Draining,
    Drained,
    Resynchronised,
    Afresh,
    Write,
    Writing,
    Sent,
    Collecting,
    Collected,
    // Resync: identity queries until nothing owed can still come.
    Resync,
    ResyncAsked,
    // ReadBack: one query, its value shown.
    ReadBack,
    ReadBackDone,
    // Sweep: Update data.
    Sweep,
    SweepReadBackDone,
};

struct LinkCore::Frame
{
    Step step;
    // Exchange
    QByteArray bytes;
    QString line;
    bool wantsReply = false;
    Exchange result;
    qint64 giveUp = 0, replyDeadline = 0, lateDeadline = 0;
    qint64 dropped = 0;
    bool heard = false;
    bool untilSettled = false;
    bool noMarker = false, heardResync = false, silentBefore = false;
    Resync resync = Resync::Settled;
    bool wasReconnecting = false;
    bool askedResync = false;
    std::optional<QByteArray> reply;
    qint64 replyOffset = 0, tentativeOffset = 0;
    // Resync
    qsizetype owed = 0;
    // Connect
    bool afresh = false;
    bool restoreReconnecting = false;
    // ReadBack and Sweep
    Control control;
    bool press = false;
    QList<QString> lines;
    QList<Control> controls;
    std::optional<UpdateSweep> sweep;
    int lateBefore = 0;
};

QList<LinkAction> LinkCore::handle(const LinkEvent &event)
{
    actions.clear();
    now = event.at;
    Frame *top = stack.empty() ? nullptr : stack.back().get();
    const auto start = [this](Step step) { push(step); };
    switch (event.kind) {
    case LinkEvent::ConnectPressed:
        recentLosses.clear();
        start(Step::Connect);
        stack.back()->restoreReconnecting = reconnecting;
        break;
    case LinkEvent::SetPressed:
        start(Step::Exchange);
        stack.back()->line = event.text;
        break;
    case LinkEvent::GetPressed:
        start(Step::ReadBack);
        stack.back()->line = event.text;
        stack.back()->control = event.controls.value(0);
        stack.back()->press = true;
        break;
    case LinkEvent::UpdatePressed:
        start(Step::Sweep);
        stack.back()->lines = event.lines;
        stack.back()->controls = event.controls;
        break;
    case LinkEvent::Connected:
        if (top && top->step == Step::Connecting) {
            connected = true;
            log(QStringLiteral("Connected"));
            actions.append(LinkAction{LinkAction::ShowConnected, {}, {}, 0, true});
            top->step = Step::ConnectIdentified;
            push(Step::Exchange);
            stack.back()->line = QLatin1String(identityQuery);
            stack.back()->wantsReply = true;
        }
        break;
    case LinkEvent::ConnectFailed:
        if (top && top->step == Step::Connecting) {
            log(QStringLiteral("error"));
            log(debugText(event.text));
            if (reconnecting)
                actions.append(LinkAction{LinkAction::ShowConnected, {}, {}, 0, false});
            reconnecting = top->restoreReconnecting;
            pop();
        }
        break;
    case LinkEvent::Written:
        if (top && top->step == Step::Writing)
            top->step = Step::Sent;
        break;
    case LinkEvent::BytesArrived:
        framer.received(event.bytes);
        break;
    case LinkEvent::Lost:
        lost();
        return std::exchange(actions, {}); // the wait that noticed it goes on when it returns
    case LinkEvent::ReconnectDue:
        if (!std::exchange(reconnectPending, false))
            break;
        start(Step::Connect);
        stack.back()->restoreReconnecting = false;
        reconnecting = true;
        break;
    case LinkEvent::Closing:
        reconnectPending = false;
        break;
    }
    run();
    return std::exchange(actions, {});
}

LinkCore::LinkCore() = default;
LinkCore::~LinkCore() = default;

void LinkCore::push(Step step)
{
    stack.push_back(std::make_unique<Frame>());
    stack.back()->step = step;
}

void LinkCore::pop()
{
    stack.pop_back();
}

void LinkCore::log(const QString &text)
{
    LinkAction action;
    action.text = text;
    actions.append(action);
}

void LinkCore::wakeAt(qint64 at)
{
    LinkAction action;
    action.kind = LinkAction::WakeAt;
    action.at = at;
    actions.append(action);
}

// Runs the steps on top of the stack until one waits for the driver, or none is left.
void LinkCore::run()
{
    while (!stack.empty() && advance(*stack.back())) { }
}

// The one place that moves a press along: each step either goes on at once (true) or has asked
// the driver for something and waits for its report (false).
bool LinkCore::advance(Frame &frame)
{
    switch (frame.step) {
    case Step::Connect:
    case Step::Connecting:
    case Step::ConnectIdentified:
        return connectStep(frame);
    case Step::Resync:
    case Step::ResyncAsked:
        return resyncStep(frame);
    case Step::ReadBack:
    case Step::ReadBackDone:
        return readBackStep(frame);
    case Step::Sweep:
    case Step::SweepReadBackDone:
        return sweepStep(frame);
    default:
        return exchangeStep(frame);
    }
}

bool LinkCore::connectStep(Frame &frame)
{
    switch (frame.step) {
    case Step::Connect: {
        ledger.connected();
        framer.reset();
        connected = false;
        ++connections;
        LinkAction action;
        action.kind = LinkAction::Connect;
        action.afresh = frame.afresh;
        actions.append(action);
        frame.step = Step::Connecting;
        return false;
    }
    case Step::ConnectIdentified:
        log(debugText(QString::fromUtf8(childExchange.reply)));
        reconnecting = frame.restoreReconnecting;
        pop();
        return true;
    default:
        return false; // waits for Connected or ConnectFailed
    }
}

// One command line: what the instrument sent before it is taken in first, which cannot be its
// reply; a reply an earlier read-back still owes would pass for this one's if it named the same
// channel, so the instrument must first show that it has nothing more to send; then the line goes
// out, and a query collects its reply.
bool LinkCore::exchangeStep(Frame &frame)
{
    switch (frame.step) {
    case Step::Exchange:
        frame.result = Exchange();
        if (!connected)
            break;
        frame.bytes = (frame.line + QLatin1String("\r\n")).toLocal8Bit();
        if (!frame.wantsReply) {
            frame.step = Step::Write;
            return true;
        }
        // A zero wait first pulls in what the system already holds.
        frame.heard = false;
        frame.dropped = 0;
        // Bytes that keep coming without a line end (a device that talks on its own) hold the
        // query back no longer than a reply wait.
        frame.giveUp = qMin(now + waitMs, sweepDeadline);
        frame.step = Step::Draining;
        wakeAt(now);
        return false;
    case Step::Draining:
        return drainStep(frame);
    case Step::Drained:
        frame.result.heard = frame.heard;
        if (isIdentityQuery(frame.bytes) || !ledger.readBackOwed() || !connected) {
            frame.step = Step::Write;
            return true;
        }
        // What the identity queries bring in is no answer to this read-back: it counts only where
        // the read-back is not sent. Without the identity to find its place by, an identity query
        // settles nothing: an instrument that has answered in time, or been heard answering
        // late, can only start afresh. One that never has may just be late: the identity query
        // shows which. An identity query that went unanswered once settles nothing the second
        // time either: a new connection does. Where the instrument answers the new connection's
        // identity query, the read-back goes out; where it does not, that query has had this
        // read-back's waits, and the read-back is left for the next press.
        frame.noMarker = !ledger.knowsIdentity();
        frame.heardResync = frame.noMarker && ledger.keepsTime();
        frame.silentBefore = frame.noMarker && !frame.heardResync && ledger.silentResyncs > 0;
        frame.step = Step::Resynchronised;
        if (frame.heardResync || frame.silentBefore) {
            frame.resync = Resync::Unsure;
            return true;
        }
        frame.askedResync = true;
        push(Step::Resync);
        stack.back()->heard = frame.heardResync;
        return true;
    case Step::Resynchronised: {
        if (std::exchange(frame.askedResync, false)) {
            frame.resync = childResync;
            frame.heardResync = childHeard;
        }
        if (frame.resync == Resync::Silent && frame.noMarker)
            ++ledger.silentResyncs;
        // Silent to the identity query, though heard answering late, and its identity has never
        // answered one since connecting: what was taken for its identity was something else (a
        // bridge's banner line).
        if (frame.resync == Resync::Silent && !frame.noMarker && !ledger.identityConfirmed
            && ledger.heardLate())
            frame.resync = Resync::Unsure;
        // A fresh connection costs up to 3 s: the connection and the identity's waits.
        const bool timeLeft = now + 3 * waitMs <= sweepDeadline;
        if (frame.resync == Resync::Unsure && connected && !reconnectPending
            && freshConnectionsLeft > 0 && timeLeft) {
            --freshConnectionsLeft;
            // A new stream carries nothing owed: where the instrument's place cannot be found on
            // this one, the program closes it itself (the instrument did not lose it) and opens
            // another.
            log(QStringLiteral("Connecting afresh: a reply to an earlier query may still come, "
                               "and no identity shows where the instrument has got to"));
            frame.wasReconnecting = std::exchange(reconnecting, true);
            frame.step = Step::Afresh;
            push(Step::Connect);
            stack.back()->afresh = true;
            stack.back()->restoreReconnecting = frame.wasReconnecting;
            return true;
        }
        if (frame.resync != Resync::Settled) {
            if (connected) {
                log(debugText("not sent, a reply to an earlier query may still come:",
                              frame.line + QLatin1String("\r\n")));
                frame.result.outcome = Exchange::HeldBack;
                frame.result.heard = frame.result.heard || frame.heardResync;
            }
            break;
        }
        frame.step = Step::Write;
        return true;
    }
    case Step::Afresh:
        if (!connected)
            break;
        frame.resync =
            frame.silentBefore && !ledger.knowsIdentity() ? Resync::Silent : Resync::Settled;
        if (frame.resync != Resync::Settled) {
            log(debugText("not sent, a reply to an earlier query may still come:",
                          frame.line + QLatin1String("\r\n")));
            frame.result.outcome = Exchange::HeldBack;
            frame.result.heard = frame.result.heard || frame.heardResync;
            break;
        }
        frame.step = Step::Write;
        return true;
    case Step::Write: {
        if (!connected)
            break;
        log(debugText("query:", frame.line + QLatin1String("\r\n")));
        LinkAction action;
        action.kind = LinkAction::Write;
        action.bytes = frame.bytes;
        actions.append(action);
        frame.step = Step::Writing;
        return false;
    }
    case Step::Writing:
        return false; // waits for Written
    case Step::Sent:
        ledger.sent(frame.bytes, frame.wantsReply);
        if (!frame.wantsReply)
            break;
        // A reply that comes after the reply wait, within the late-reply wait that follows, is
        // still this query's: taken now, it reaches its own control instead of waiting for the
        // next query. What comes later is owed: it is not taken for another query's reply.
        frame.untilSettled = isIdentityQuery(frame.bytes) && ledger.readBackOwed();
        frame.replyDeadline = qMin(now + waitMs, sweepDeadline);
        frame.lateDeadline = qMin(frame.replyDeadline + waitMs, sweepDeadline);
        frame.heard = false;
        frame.dropped = 0;
        frame.step = Step::Collecting;
        return true;
    case Step::Collecting:
        return collectStep(frame);
    case Step::Collected:
        frame.result.heard = frame.result.heard || frame.heard;
        if (frame.dropped > 0)
            log(debugText("overflow:", frame.dropped));
        frame.result.replyOffset = frame.replyOffset;
        frame.result.outcome = !connected ? Exchange::NotSent
            : frame.reply                 ? Exchange::Replied
                                          : Exchange::Unanswered;
        frame.result.reply = frame.reply.value_or(QByteArray());
        log(debugText("answer:", QString::fromUtf8(frame.result.reply)));
        break;
    default:
        return false;
    }
    childExchange = frame.result;
    pop();
    return true;
}

// Takes in what the instrument sent before a query goes out, which cannot be that query's reply.
// Text without a line end is taken as a line once the instrument has paused (a prompt). From an
// instrument that ends its lines, while a read-back is owed, it is the start of a late line, whose
// rest is still to come; after a line that named nothing was taken for the last reply, it is
// given until the query would be sent to end, as it may be the start of that query's own reply.
bool LinkCore::drainStep(Frame &frame)
{
    const bool lineEnded = framer.takeIn(now, frame.heard, frame.dropped);
    const bool keep = ledger.endsLines && ledger.readBackOwed();
    const bool awaitEnd = ledger.endsLines && ledger.lastReplyUnsure();
    const bool ends = awaitEnd ? now >= frame.giveUp : framer.paused(now);
    if (lineEnded || (framer.hasUnfinished() && !keep && ends)) {
        const QByteArray line = framer.takeLine();
        logNotTaken(ledger.arrived(line), line);
        return true;
    }
    if (!framer.hasUnfinished() || keep || now >= frame.giveUp || !connected) {
        if (frame.dropped > 0)
            log(debugText("overflow:", frame.dropped));
        frame.step = Step::Drained;
        return true;
    }
    wakeAt(qMin(now + pauseMs, frame.giveUp));
    return false;
}

// Collects lines until the late-reply wait that follows the reply wait ends, and keeps the first
// that is the reply to the query just sent; the others are logged. A line that names no source
// or channel is taken once the reply wait has ended and nothing else has come. Until the reply
// wait ends only a line end ends a line; from then on, from an instrument that has ended none,
// text without one is taken as a line once the instrument has paused: some send no line end at
// all, and a reply still coming in byte by byte is not cut short. While finding the instrument's
// place, it stops as soon as no read-back is owed any more.
bool LinkCore::collectStep(Frame &frame)
{
    const bool lineEnded = framer.takeIn(now, frame.heard, frame.dropped);
    // From an instrument that has sent a line without a line end, and none with one, the pause
    // ends text at once.
    const bool unfinished = framer.hasUnfinished() && !ledger.endsLines
        && (now >= frame.replyDeadline || ledger.endsNone);
    if (lineEnded || (unfinished && framer.paused(now))) {
        const QByteArray line = framer.takeLine();
        const std::optional<QByteArray> tentative = ledger.tentativeReply();
        const ReplyLedger::Verdict verdict = ledger.arrived(line);
        if (verdict == ReplyLedger::Verdict::Reply) {
            if (tentative)
                logNotTaken(ReplyLedger::Verdict::Tentative, *tentative);
            frame.reply = line;
            frame.replyOffset = framer.lineStart();
            frame.step = Step::Collected;
            return true;
        }
        if (verdict == ReplyLedger::Verdict::Tentative && !tentative)
            frame.tentativeOffset = framer.lineStart();
        // A line that may yet be the reply is logged once it is not.
        if (verdict != ReplyLedger::Verdict::Tentative || tentative)
            logNotTaken(verdict, line);
        if (!frame.untilSettled || ledger.readBackOwed())
            return true;
    } else {
        const bool tentativeDue =
            ledger.tentativeTaken() && now >= frame.replyDeadline && framer.paused(now);
        if (!tentativeDue && now < frame.lateDeadline && connected) {
            qint64 wakeUp = now >= frame.replyDeadline ? frame.lateDeadline : frame.replyDeadline;
            if (unfinished || ledger.tentativeTaken())
                wakeUp = qMin(wakeUp, now + pauseMs);
            wakeAt(qMax(now + 1, wakeUp));
            return false;
        }
    }
    const std::optional<QByteArray> tentative = ledger.tentativeReply();
    frame.reply = ledger.waitsEnded();
    frame.replyOffset = frame.tentativeOffset;
    if (tentative && frame.reply != tentative)
        logNotTaken(ReplyLedger::Verdict::Tentative, *tentative);
    frame.step = Step::Collected;
    return true;
}

// Asks for the identity until no reply owed to an earlier read-back can still come: the
// instrument answers in order, so the reply to an identity query settles everything asked before
// it. A try that settles only an older identity query has got closer and is followed by another;
// one that settles nothing ends it.
bool LinkCore::resyncStep(Frame &frame)
{
    if (frame.step == Step::Resync) {
        ledger.strangerHeard = false;
        frame.owed = ledger.owedCount();
    } else {
        frame.heard = childExchange.heard || frame.heard;
        if (!ledger.readBackOwed()) {
            frame.resync = Resync::Settled;
        } else {
            const qsizetype stillOwed = ledger.owedCount();
            if (stillOwed > frame.owed || !connected || now >= sweepDeadline) {
                // A line that names nothing and is not the identity given on connecting may be
                // the identity all the same (a changed one, or none was given): waiting longer
                // cannot tell.
                frame.resync = !frame.heard ? Resync::Silent
                    : ledger.strangerHeard  ? Resync::Unsure
                                            : Resync::Late;
            } else {
                frame.owed = stillOwed;
                frame.step = Step::Resync; // and ask again
            }
        }
        if (frame.step == Step::ResyncAsked) {
            childResync = frame.resync;
            childHeard = frame.heard;
            pop();
            return true;
        }
    }
    frame.step = Step::ResyncAsked;
    push(Step::Exchange);
    stack.back()->line = QLatin1String(identityQuery);
    stack.back()->wantsReply = true;
    return true;
}

bool LinkCore::readBackStep(Frame &frame)
{
    if (frame.step == Step::ReadBack) {
        if (frame.press)
            freshConnectionsLeft = freshConnectionsPerPress;
        frame.step = Step::ReadBackDone;
        const QString line = frame.line;
        push(Step::Exchange);
        stack.back()->line = line;
        stack.back()->wantsReply = true;
        return true;
    }
    show(frame.control, childExchange);
    pop();
    return true;
}

// What a reply's value shows in its control. The value is the second of two comma-separated
// pieces; a reply that does not read as one leaves the control as it was.
void LinkCore::show(const Control &control, const Exchange &exchange)
{
    const QString reply = QString::fromUtf8(exchange.reply);
    LinkAction action;
    action.kind = LinkAction::Show;
    action.control = control;
    action.bytes = exchange.reply;
    action.connection = connections;
    action.offset = exchange.replyOffset;
    switch (control.quantity) {
    case Quantity::Frequency:
    case Quantity::Width:
        if (const std::optional<int> value = replyInteger(reply)) {
            action.value = *value;
            actions.append(action);
        }
        break;
    case Quantity::Amplitude: // the instrument answers in volts
    case Quantity::Delay:
        if (const std::optional<double> value = replyNumber(reply)) {
            action.value = *value;
            actions.append(action);
        }
        break;
    case Quantity::Trigger:
        log(debugText(reply));
        if (const std::optional<QString> value = replyValue(reply)) {
            // Each keyword found sets its type, so with several the last one wins.
            for (int type = 0; type < int(std::size(triggerKeywords)); ++type) {
                if (value->contains(QLatin1String(triggerKeywords[type]))) {
                    action.triggerType = type;
                    actions.append(action);
                }
            }
        }
        break;
    }
}

// Update data: every read-back in turn, each complete before the next, until the list ends or
// one of the sweep's rules gives the window back.
bool LinkCore::sweepStep(Frame &frame)
{
    if (frame.step == Step::Sweep) {
        frame.sweep.emplace(now, int(frame.lines.size()));
    } else {
        const Exchange &exchange = childExchange;
        UpdateSweep::ReadBack readBack;
        readBack.replied = exchange.outcome == Exchange::Replied;
        readBack.heldBack = exchange.outcome == Exchange::HeldBack;
        readBack.unanswered = exchange.outcome == Exchange::Unanswered;
        readBack.heard = exchange.heard;
        readBack.lateLines = ledger.lateLines - frame.lateBefore;
        const std::optional<QString> stop = frame.sweep->after(readBack, freshConnectionsLeft == 0);
        sweepDeadline = frame.sweep->deadline();
        if (stop) {
            log(*stop);
            sweepDeadline = never;
            pop();
            return true;
        }
    }
    if (const std::optional<QString> stop = frame.sweep->stopBefore(now)) {
        if (!stop->isEmpty())
            log(*stop);
        sweepDeadline = never;
        pop();
        return true;
    }
    const qsizetype next = frame.lines.size() - frame.sweep->left();
    frame.sweep->started();
    frame.lateBefore = ledger.lateLines;
    frame.step = Step::SweepReadBackDone;
    push(Step::ReadBack);
    stack.back()->line = frame.lines.at(next);
    stack.back()->control = frame.controls.value(next);
    stack.back()->press = next == 0;
    return true;
}

// The connection is gone: the driver has closed its end. A new attempt follows from the event
// loop, once the wait that noticed the loss has returned: an attempt made in there would nest
// inside that wait, and an instrument that accepts and closes at once would nest them without
// end.
void LinkCore::lost()
{
    connected = false;
    if (reconnecting) {
        // The new attempt has lost its connection too: give the controls back to the user
        // rather than trying again and again.
        actions.append(LinkAction{LinkAction::ShowConnected, {}, {}, 0, false});
        return;
    }
    recentLosses.removeIf([this](qint64 forgotten) { return forgotten <= now; });
    recentLosses.append(now + lossWindowMs);
    if (recentLosses.size() >= lossesToStop) {
        log(QStringLiteral("Reconnecting stopped: the connection was lost %1 times within %2 s")
                .arg(recentLosses.size())
                .arg(lossWindowMs / 1000));
        actions.append(LinkAction{LinkAction::ShowConnected, {}, {}, 0, false});
        return;
    }
    reconnectPending = true;
    actions.append(LinkAction{LinkAction::ReconnectLater});
}

// One log line for each line that is not the reply; blank lines are not worth one.
void LinkCore::logNotTaken(ReplyLedger::Verdict verdict, const QByteArray &line)
{
    using Verdict = ReplyLedger::Verdict;
    if (verdict == Verdict::Blank || verdict == Verdict::Reply)
        return;
    if (verdict == Verdict::Late || verdict == Verdict::LateOrIdentity
        || verdict == Verdict::Marker)
        log(debugText("late, discarded:", QString::fromUtf8(line)));
    else
        log(debugText("discarded:", QString::fromUtf8(line)));
}
