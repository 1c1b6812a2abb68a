// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QThread>
#include <QtGlobal>

// Records the program's debug log lines, exactly as written, while it lives.
// Only lines written on the thread that created it count: the simulator
// logs from a thread of its own.
// Messages still reach the usual output, so a failing test shows its log.
class LogCapture
{
public:
    LogCapture()
    {
        owner = QThread::currentThread();
        previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { qInstallMessageHandler(previous); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    static QStringList lines()
    {
        QMutexLocker locker(&mutex());
        return recorded();
    }

    static void clear()
    {
        QMutexLocker locker(&mutex());
        recorded().clear();
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type == QtDebugMsg && QThread::currentThread() == owner
            && (!context.category || qstrcmp(context.category, "default") == 0)) {
            QMutexLocker locker(&mutex());
            recorded().append(message);
        }
        if (previous)
            previous(type, context, message);
    }

    static QStringList &recorded()
    {
        static QStringList lines;
        return lines;
    }

    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }

    static inline QtMessageHandler previous = nullptr;
    static inline QThread *owner = nullptr;
};

#endif // LOGCAPTURE_H
