// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QRandomGenerator>
#include <QTimer>

class Instrument;
class QTcpSocket;
struct SimulatorOptions;

// One client of the simulator: reads its lines, lets the shared instrument answer
// them and writes the replies in order, applying the fault modes on the way.
class ClientConnection : public QObject
{
    Q_OBJECT

public:
    // A reply waiting to be written; a flood reply is made up piece by piece as it goes out,
    // and `bytes` holds only its line end.
    struct PendingReply
    {
        QByteArray bytes;
        qint64 floodSize = 0;
        qint64 written = 0;
        QDeadlineTimer due;
        bool answer = false; // an answer to a line, not an echo of it

        qint64 size() const { return floodSize > 0 ? floodSize : bytes.size(); }
        QByteArray take(qint64 count);
    };

    // What the instrument still owes: the replies not yet written, oldest first, and when it is
    // done with the line taken up last. A TCP instrument owes each connection its own, lost when
    // the connection closes. Behind a serial device server it owes one for all connections: the
    // one opened last of those still open writes it.
    struct Output
    {
        QQueue<PendingReply> pending;
        // A deadline of 0 ms is merely "expired", at no particular time (Qt 6.8 puts it at the
        // start of the clock): "now" is current().
        QDeadlineTimer busyUntil = QDeadlineTimer::current(Qt::PreciseTimer);
        QList<ClientConnection *> open; // oldest first
    };

    // With `shared`, the connection writes what an instrument behind a device server owes;
    // without, it keeps its own.
    ClientConnection(QTcpSocket *socket, Instrument &instrument, const SimulatorOptions &options,
                     Output *shared, QObject *parent);

signals:
    void lineReceived(const QByteArray &line);
    void replySent(const QByteArray &bytes);

private:
    void readLines();
    void handleLine(const QByteArray &line);
    QByteArray apply(const QByteArray &command, bool *understood);
    void drop();
    void enqueue(PendingReply reply, QDeadlineTimer due);
    void writePending();
    QByteArray garbage();
    QByteArray fuzzReply(const QByteArray &target);
    QByteArray newFuzzReply(const QByteArray &target);

    QTcpSocket *m_socket;
    Instrument &m_instrument;
    const SimulatorOptions &m_options;
    const QString m_peer; // address:port, kept for logging after the socket has closed
    QRandomGenerator m_random;
    int m_linesReceived = 0;
    bool m_dropped = false;
    bool m_answered = false; // has written an answer on this connection
    QByteArray m_lastFuzzLine;
    Output m_ownOutput;
    Output &m_output; // m_ownOutput, or the one shared behind a device server
    QTimer m_timer;
};
