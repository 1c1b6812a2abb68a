// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include "simulator.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QWaitCondition>

#include <memory>

class QThread;

// Runs a Simulator on a thread of its own, so it answers while the test's thread is
// blocked in socket waits. Everything here may be called from the test's thread.
class SimulatorThread
{
public:
    // Returns once the simulator listens, or failed to.
    // With recordReplies, replies() keeps every write to the clients (not for floods).
    explicit SimulatorThread(const SimulatorOptions &options, bool recordReplies = false);
    // Stops the server, closing its clients, and joins the thread.
    ~SimulatorThread();

    bool isListening() const;
    QString errorString() const;
    // Every line received from all clients, in order, terminators included.
    QList<QByteArray> lines() const;
    void clearLines();
    QList<QByteArray>
    replies() const;         // every write to any client, in order; cleared with the lines
    int connections() const; // connections accepted so far
    // Waits, without the caller's event loop, until lines().size() >= count. Flush
    // (e.g. waitForBytesWritten) what a client wrote before waiting for it here.
    bool waitForLines(int count, int timeoutMs = 2500) const;

private:
    mutable QMutex m_mutex;
    mutable QWaitCondition m_linesAdded;
    QList<QByteArray> m_lines;
    QList<QByteArray> m_replies;
    int m_connections = 0;
    bool m_listening = false;
    QString m_errorString;
    std::unique_ptr<QThread> m_thread;
};
