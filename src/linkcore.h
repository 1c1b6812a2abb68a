// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef LINKCORE_H
#define LINKCORE_H

#include "lineframer.h"
#include "placefinder.h"
#include "replyreader.h"
#include "replyledger.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <limits>
#include <memory>
#include <optional>
#include <vector>

// Which control a read-back's value goes to.
enum class Quantity { Frequency, Trigger, Width, Amplitude, Delay };
struct Control
{
    Quantity quantity = Quantity::Frequency;
    int channel = 0; // the source (1, 2) or the channel (0-8)
};

// Something that happened, and when (milliseconds on the link's clock).
struct LinkEvent
{
    enum Kind {
        ConnectPressed, // Connect pressed, or Enter in the address field
        SetPressed,     // `line`: a set line, sent without waiting for an answer
        GetPressed,     // `line`: a query, its value for `controls[0]`
        UpdatePressed,  // `lines`: the sweep's queries, their values for `controls`
        Connected,      // the connection asked for is up
        ConnectFailed,  // it is not: `text` says why
        Written,        // the line asked for has been handed to the system (or its wait ended)
        BytesArrived,   // `bytes` came; also sent when a wait ended with nothing
        Lost,           // the instrument or the network closed the connection
        ReconnectDue,   // the event loop has come round to the new attempt after a loss
        Closing,        // the window closes
    };
    Kind kind = Lost;
    qint64 at = 0;
    // The connection as the driver finds it when it reports: a socket may leave the connected
    // state before it signals the loss.
    bool up = true;
    QByteArray bytes;
    QString text;
    QList<QString> lines;
    QList<Control> controls;
};

// What the link asks of its driver.
struct LinkAction
{
    enum Kind {
        Log,           // `text`, one line of the diagnostic log
        Connect,       // open a new connection (`afresh`: close the current one first, unnoticed)
        ShowConnected, // `connected`: the controls of a connected window, or of one that is not
        Write,         // `bytes`, then report Written
        WakeAt,        // report BytesArrived when bytes come, or at `at` at the latest
        Show,          // `value` (or `triggerType`) in `control`, read from the reply `bytes`
        ReconnectLater // report ReconnectDue from the event loop
    };
    Kind kind = Log;
    QString text;
    QByteArray bytes;
    qint64 at = 0;
    qint64 minimumWaitMs = 0; // WakeAt: however late the driver comes to it
    bool connected = false;
    bool afresh = false;
    Control control;
    // Show: where the reply began in the stream of the connection'th connection, in bytes.
    int connection = 0;
    qint64 offset = 0;
    double value = 0;
    int triggerType = -1;
};

// Everything the link to the instrument decides, without sockets or clocks: it takes events
// with their time and returns what to do. One command line is in flight at a time; a press
// (Connect, Get, Set, Update data) runs to its end through a nest of steps kept on a stack, each
// waiting for the driver to report what it asked for.
class LinkCore
{
public:
    static constexpr qint64 never = std::numeric_limits<qint64>::max();

    LinkCore();
    ~LinkCore();

    QList<LinkAction> handle(const LinkEvent &event);

    // Nothing under way: the window is the user's again.
    bool idle() const { return stack.empty(); }
    // How much the link takes in at once; what is beyond stays with the system.
    qsizetype inboxRoom() const { return framer.room(); }
    const ReplyLedger &replyLedger() const { return ledger; }

private:
    enum class Step;
    struct Exchange
    {
        enum Outcome { Replied, Unanswered, HeldBack, NotSent };
        Outcome outcome = NotSent;
        QByteArray reply;
        qint64 replyOffset = 0;
        bool heard = false;
    };
    struct Frame;

    void run();
    bool advance(Frame &frame);
    void push(Step step);
    void pop();
    LinkAction &ask(LinkAction::Kind kind);
    void log(const QString &text);
    void wakeAt(qint64 at, qint64 minimumWaitMs = 0);
    void showConnected(bool connectedWindow);
    void reconnectLater();

    bool connectStep(Frame &frame);
    bool exchangeStep(Frame &frame);
    bool look(Frame &frame, const ReplyReader::Look &look, Step next);
    bool follow(Frame &frame, PlaceFinder::Next next);
    PlaceFinder::Situation situation() const;
    bool readBackStep(Frame &frame);
    bool sweepStep(Frame &frame);
    void lost();
    void show(const Control &control, const QString &query, const Exchange &exchange);

    std::vector<std::unique_ptr<Frame>> stack;
    QList<LinkAction> actions;
    qint64 now = 0;
    bool connected = false;
    int connections = 0;
    LineFramer framer;
    ReplyLedger ledger;
    bool reconnectPending = false; // a new attempt after a lost connection is queued
    bool reconnecting = false;     // that attempt is under way, identity exchange included
    // When the connection was lost lately; a peer that keeps closing it is not called again and
    // again.
    QList<qint64> recentLosses;
    // Where the instrument's place cannot be found, a press may connect afresh.
    int freshConnectionsLeft = 0;
    // Update data gives the window back by this time: no wait of the link goes past it.
    qint64 sweepDeadline = never;
    // What the step just finished leaves to the one that started it.
    Exchange childExchange;
};

#endif // LINKCORE_H
