// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include "clientconnection.h"
#include "instrument.h"

#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QStringList>

#include <optional>
#include <utility>

class QTcpServer;

struct SimulatorOptions
{
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 4000;
    int latencyMs = 0;    // time the instrument takes for each line, one line after another
    bool echo = false;    // write every line back, as received, before answering it
    bool verbose = false; // log every line received and sent
    // Ends every line the instrument writes (replies, answers to set lines, the identity);
    // echoes keep the line end they came with.
    QByteArray terminator = "\r\n";
    NumberForm numbers = NumberForm::Plain; // how replies write frequency, width, amplitude, delay

    // Fault modes, all off by default.
    std::optional<QByteArray> answerSets; // answer set lines with this text and the terminator
    int splitBytes = 0;                   // write replies in pieces of this size...
    int splitGapMs = 20;                  // ...this far apart
    int lateMs = 0;                       // extra delay before answers to queries
    QStringList mutePrefixes;             // never answer lines that begin with one of these
    bool silent = false;                  // answer nothing at all
    int silentForLines = 0;               // answer none of the first n lines, on any connection
    int dropAfterLines = 0;               // close a connection when its n-th line arrives
    int closeAfterAnswerMs = -1;          // close a connection this long after each answer
    bool refuse = false;                  // close every connection as soon as it is accepted
    std::optional<quint32> garbageSeed;   // answer every line with random bytes
    std::optional<quint32> fuzzSeed; // answer queries with random replies shaped like real ones
    qint64 floodBytes = 0;           // answer "*IDN?" with this many bytes
    QMap<QByteArray, QByteArray>
        replies; // answer these lines (without terminator) with this text and the terminator
    // Hold the answers to these lines (without terminator) back this many milliseconds, the first
    // time each comes; every later answer waits behind them, as on one TCP stream.
    QMap<QByteArray, int> holdMs;
    // Answer lines that begin with these (without terminator) with this text and the terminator,
    // as an error with a code; the line changes nothing. The first that fits.
    QList<std::pair<QByteArray, QByteArray>> errors;
    // Habits of real instruments and of the bridges in front of them, all off by default.
    bool confirmSets = false;    // answer a set line with its channel and value: "T3,350"
    int repeatMs = -1;           // write every answer once more, this long after the first time
    bool telnetGreeting = false; // a bridge in telnet mode: its negotiation before the first answer
    std::optional<QByteArray> banner; // a bridge's banner line, this long after a client connects
    int bannerMs = 50;
    // Write the answer to these lines (without terminator) in two pieces: so many bytes, then the
    // rest this many milliseconds later.
    QMap<QByteArray, std::pair<int, int>> cuts;
    std::optional<QByteArray> afterAnswer; // write this, with the terminator, after each answer
    int afterAnswerMs = 0;                 // to a query, this long after it, in a write of its own
    // A console-style instrument's prompt: written without a line end this long after each
    // answer, in a write of its own; at 0, right behind the answer in the same write.
    std::optional<QByteArray> prompt;
    int promptMs = 0;
    // With confirmSets, the value a set line leaves and its answer carries: the value sent; with
    // keepOld the one held before (the set is refused); with keepStep the value sent rounded to
    // the nearest multiple of keepStep, in the unit set lines use (millivolts).
    bool keepOld = false;
    int keepStep = 0;
    // Behind a serial device server the instrument keeps going when a connection closes: what
    // it owes comes out when due on the connection opened last, or waits for the next one.
    bool deviceServer = false;
    // Hold one answer in holdOneIn back for a time drawn from holdRandomMs (random, from
    // holdSeed), every later answer waiting behind it; only while the instrument has taken no
    // more than holdRandomLines lines, when that is above 0: then it is prompt again.
    int holdOneIn = 0;
    std::pair<int, int> holdRandomMs{1200, 3500};
    int holdRandomLines = 0;
    quint32 holdSeed = 0;
};

// Serves one simulated instrument over TCP to any number of clients at once.
class Simulator : public QObject
{
    Q_OBJECT

public:
    explicit Simulator(const SimulatorOptions &options, QObject *parent = nullptr);

    bool listen(QString *errorText = nullptr);
    quint16 serverPort() const;

signals:
    void clientConnected();
    void lineReceived(const QByteArray &line); // as received, terminator included
    void replySent(const QByteArray &bytes);   // each write, so a split reply arrives in pieces

private:
    void acceptConnections();

    const SimulatorOptions m_options;
    Instrument m_instrument;
    ClientConnection::Output m_output; // what the instrument owes, behind a device server
    QTcpServer *m_server;
};
