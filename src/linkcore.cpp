// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "linkcore.h"
#include "debugtext.h"
#include "placefinder.h"
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
// Where markers bring nothing back, a Get connects afresh at most this often: each costs the
// identity exchange, up to 2 s, on top of the read-back's own waits.
constexpr int freshConnectionsPerPress = 1;
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
    MarkerAsked, // finding the instrument's place: a marker answered, or not
    Afresh,      // finding it on a fresh connection
    Write,
    Writing,
    Sent,
    Collecting,
    Collected,
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
    bool marker = false; // finding the instrument's place: it finds none of its own
    Exchange result;
    std::optional<ReplyReader> reader;
    std::optional<PlaceFinder> finder;
    bool wasReconnecting = false;
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
    if (event.kind != LinkEvent::Connected && event.kind != LinkEvent::ConnectPressed
        && event.kind != LinkEvent::ReconnectDue)
        connected = connected && event.up;
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
            showConnected(true);
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
                showConnected(false);
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
        if (reconnectPending && !idle()) {
            // Not in the middle of a press: its waits would go on on the new connection.
            reconnectLater();
            break;
        }
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

// A new action for the driver, its fields still to fill in.
LinkAction &LinkCore::ask(LinkAction::Kind kind)
{
    actions.append(LinkAction());
    actions.last().kind = kind;
    return actions.last();
}

void LinkCore::log(const QString &text)
{
    ask(LinkAction::Log).text = text;
}

void LinkCore::showConnected(bool connectedWindow)
{
    ask(LinkAction::ShowConnected).connected = connectedWindow;
}

void LinkCore::reconnectLater()
{
    ask(LinkAction::ReconnectLater);
}

void LinkCore::wakeAt(qint64 at, qint64 minimumWaitMs)
{
    LinkAction &action = ask(LinkAction::WakeAt);
    action.at = at;
    action.minimumWaitMs = minimumWaitMs;
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
        ask(LinkAction::Connect).afresh = frame.afresh;
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
        frame.reader.emplace(framer, ledger);
        frame.step = Step::Draining;
        wakeAt(now);
        return false;
    case Step::Draining:
        return look(frame, frame.reader->drain(now, sweepDeadline, connected), Step::Drained);
    case Step::Drained:
        frame.result.heard = frame.reader->heard;
        if (frame.marker || !PlaceFinder::needed(ledger, frame.bytes, connected)) {
            frame.step = Step::Write;
            return true;
        }
        frame.finder.emplace(frame.bytes);
        return follow(frame, frame.finder->start(ledger));
    case Step::MarkerAsked:
        // A marker's value is not shown: its control may hold a value the user is typing.
        return follow(frame,
                      frame.finder->markerAnswered(ledger, childExchange.heard,
                                                   connected && now < sweepDeadline, situation()));
    case Step::Afresh:
        reconnecting = frame.wasReconnecting;
        if (!connected)
            break;
        return follow(frame, frame.finder->connectedAfresh(ledger));
    case Step::Write: {
        if (!connected)
            break;
        log(debugText("query:", frame.line + QLatin1String("\r\n")));
        ask(LinkAction::Write).bytes = frame.bytes;
        frame.step = Step::Writing;
        return false;
    }
    case Step::Writing:
        return false; // waits for Written
    case Step::Sent:
        ledger.sent(frame.bytes, frame.wantsReply);
        if (!frame.wantsReply)
            break;
        frame.reader->sent(now, sweepDeadline);
        frame.step = Step::Collecting;
        return true;
    case Step::Collecting:
        return look(frame, frame.reader->collect(now, connected), Step::Collected);
    case Step::Collected:
        frame.result.heard = frame.result.heard || frame.reader->heard;
        frame.result.replyOffset = frame.reader->replyOffset;
        frame.result.outcome = !connected ? Exchange::NotSent
            : frame.reader->reply         ? Exchange::Replied
                                          : Exchange::Unanswered;
        frame.result.reply = frame.reader->reply.value_or(QByteArray());
        log(debugText("answer:", QString::fromUtf8(frame.result.reply)));
        break;
    default:
        return false;
    }
    childExchange = frame.result;
    pop();
    return true;
}

// Logs what the reader did not take; goes on to `next` once it is done, or waits.
bool LinkCore::look(Frame &frame, const ReplyReader::Look &look, Step next)
{
    const QStringList lines = std::exchange(frame.reader->log, {});
    for (const QString &line : lines)
        log(line);
    if (!look.done) {
        wakeAt(look.wakeAt, look.minimumWaitMs);
        return false;
    }
    frame.step = next;
    return true;
}

PlaceFinder::Situation LinkCore::situation() const
{
    PlaceFinder::Situation situation;
    situation.connected = connected;
    situation.reconnectPending = reconnectPending;
    situation.freshConnectionsLeft = freshConnectionsLeft;
    situation.timeForAfresh = now + 3 * waitMs <= sweepDeadline;
    return situation;
}

// Goes on as finding the instrument's place says: a marker, a fresh connection, the read-back
// itself, or none.
bool LinkCore::follow(Frame &frame, PlaceFinder::Next next)
{
    switch (next) {
    case PlaceFinder::Next::AskMarker:
        frame.step = Step::MarkerAsked;
        push(Step::Exchange);
        stack.back()->line = QString::fromLatin1(frame.finder->marker());
        stack.back()->wantsReply = true;
        stack.back()->marker = true;
        return true;
    case PlaceFinder::Next::ConnectAfresh:
        --freshConnectionsLeft;
        // The program closes the stream itself (the instrument did not lose it) and opens
        // another: what the instrument owes may come on it all the same.
        log(QStringLiteral("Connecting afresh: the instrument has sent nothing back while a reply "
                           "to an earlier query may still come"));
        frame.wasReconnecting = std::exchange(reconnecting, true);
        frame.step = Step::Afresh;
        push(Step::Connect);
        stack.back()->afresh = true;
        stack.back()->restoreReconnecting = frame.wasReconnecting;
        return true;
    case PlaceFinder::Next::HoldBack:
        if (connected) {
            log(debugText("not sent, a reply to an earlier query may still come:",
                          frame.line + QLatin1String("\r\n")));
            frame.result.outcome = Exchange::HeldBack;
            frame.result.heard = frame.result.heard || frame.finder->heard();
        }
        childExchange = frame.result;
        pop();
        return true;
    case PlaceFinder::Next::Send:
        frame.step = Step::Write;
        return true;
    }
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
    show(frame.control, frame.line, childExchange);
    pop();
    return true;
}

// What a reply's value shows in its control. The value is the second of two comma-separated
// pieces; a reply that does not read as one leaves the control as it was, and so does one that
// does not name the source or channel asked for: an error word with its code ("ERR,3"), a line
// that was taken for the reply because nothing else came.
void LinkCore::show(const Control &control, const QString &query, const Exchange &exchange)
{
    const QByteArray asked = query.toLatin1();
    const std::optional<Target> named = namedIn(exchange.reply);
    if (!named || named != targetNamed(argumentsOf(asked)))
        return;
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
        const std::optional<QString> stop = frame.sweep->after(readBack, now);
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
    // Update data connects afresh never: a silent instrument gives the window back sooner.
    if (next == 0)
        freshConnectionsLeft = 0;
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
        showConnected(false);
        return;
    }
    recentLosses.removeIf([this](qint64 forgotten) { return forgotten <= now; });
    recentLosses.append(now + lossWindowMs);
    if (recentLosses.size() >= lossesToStop) {
        log(QStringLiteral("Reconnecting stopped: the connection was lost %1 times within %2 s")
                .arg(recentLosses.size())
                .arg(lossWindowMs / 1000));
        showConnected(false);
        return;
    }
    reconnectPending = true;
    reconnectLater();
}
