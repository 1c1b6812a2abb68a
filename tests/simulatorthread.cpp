// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "simulatorthread.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QSemaphore>
#include <QThread>

SimulatorThread::SimulatorThread(const SimulatorOptions &options, bool recordReplies)
{
    QSemaphore started;
    m_thread.reset(QThread::create([this, options, recordReplies, &started] {
        Simulator simulator(options);
        QObject::connect(&simulator, &Simulator::clientConnected, [this] {
            const QMutexLocker locker(&m_mutex);
            ++m_connections;
        });
        QObject::connect(&simulator, &Simulator::lineReceived, [this](const QByteArray &line) {
            const QMutexLocker locker(&m_mutex);
            m_lines.append(line);
            m_linesAdded.wakeAll();
        });
        if (recordReplies) {
            QObject::connect(&simulator, &Simulator::replySent, [this](const QByteArray &bytes) {
                const QMutexLocker locker(&m_mutex);
                m_replies.append(bytes);
            });
        }
        QString errorText;
        const bool listening = simulator.listen(&errorText);
        {
            const QMutexLocker locker(&m_mutex);
            m_listening = listening;
            m_errorString = errorText;
        }
        started.release();
        // QThread::quit() ends this loop, or keeps it from starting if it came first.
        if (listening)
            QEventLoop().exec();
    }));
    m_thread->start();
    started.acquire();
}

SimulatorThread::~SimulatorThread()
{
    m_thread->quit();
    m_thread->wait();
}

bool SimulatorThread::isListening() const
{
    const QMutexLocker locker(&m_mutex);
    return m_listening;
}

QString SimulatorThread::errorString() const
{
    const QMutexLocker locker(&m_mutex);
    return m_errorString;
}

QList<QByteArray> SimulatorThread::lines() const
{
    const QMutexLocker locker(&m_mutex);
    return m_lines;
}

void SimulatorThread::clearLines()
{
    const QMutexLocker locker(&m_mutex);
    m_lines.clear();
    m_replies.clear();
}

QList<QByteArray> SimulatorThread::replies() const
{
    const QMutexLocker locker(&m_mutex);
    return m_replies;
}

int SimulatorThread::connections() const
{
    const QMutexLocker locker(&m_mutex);
    return m_connections;
}

bool SimulatorThread::waitForLines(int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    const QMutexLocker locker(&m_mutex);
    while (m_lines.size() < count) {
        if (!m_linesAdded.wait(&m_mutex, deadline))
            break;
    }
    return m_lines.size() >= count;
}
